#!/usr/bin/python3
"""CPU time of a plain csv.reader pass (NUL stripping per line, text mode) over a file.

The reference for bench_csv, which leaves its 50 MB file in /tmp/arvcore_bench_cali.csv:
/usr/bin/python3 tests/tools/time_python_csv.py
"""
import csv
import os
import sys
import time

path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/arvcore_bench_cali.csv"
best = float("inf")
cells = 0
for _ in range(2):
    t0 = time.process_time()
    cells = 0
    with open(path, encoding="utf-8") as f:
        for row in csv.reader(line.replace("\0", "") for line in f):
            cells += len(row)
    best = min(best, time.process_time() - t0)
size = os.path.getsize(path)
print("csv.reader: %.0f ms CPU, %.1f MB/s (%d cells)" % (best * 1e3, size / best / 1e6, cells))
