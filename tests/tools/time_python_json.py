#!/usr/bin/python3
"""CPU time of Python's json.load and json.dump(indent=2, ensure_ascii=False) on a file.

The reference for bench_json, which leaves its 16 MB beam table in
/tmp/arvcore_bench_beam.json:  /usr/bin/python3 tests/tools/time_python_json.py
"""
import json
import sys
import time

path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/arvcore_bench_beam.json"
best_load = best_dump = float("inf")
for _ in range(5):
    with open(path, encoding="utf-8") as f:
        t0 = time.process_time()
        value = json.load(f)
        best_load = min(best_load, time.process_time() - t0)
for _ in range(3):
    with open(path + ".py-dump", "w", encoding="utf-8") as f:
        t0 = time.process_time()
        json.dump(value, f, indent=2, ensure_ascii=False)
        best_dump = min(best_dump, time.process_time() - t0)
print("json.load %.1f ms, json.dump(indent=2) %.1f ms (CPU, best run)"
      % (best_load * 1e3, best_dump * 1e3))
