"""Cost of moving a large beam-table-shaped map across the Python/C++ boundary.

Run: PYTHONPATH=build/python /usr/bin/python3 python/bench/conversion.py
Times are CPU time (best of 15), so other load on the machine disturbs them little.
"""

import copy
import json
import time

from arvcore import _testing as core


def beam(i):
    return {
        "beam_description": f"beam {i}",
        "beam_type": 1,
        "beam_config": {"db": 1.5, "theta": 0, "phi": 0},
        "channel_config": {
            f"board_{b}": {
                "common_db": 3.0,
                **{f"channel_{c}": {"sw": 1, "db": 2.5, "deg": 30 + c} for c in range(1, 17)},
            }
            for b in range(1, 5)
        },
    }


def best_ms(fn, runs=15):
    best = float("inf")
    for _ in range(runs):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best * 1e3


def main():
    modes = {m: {str(i): beam(i) for i in range(1, 513)} for m in ("TX", "RX")}
    table = {"VERSION": "2.0.0", "SN": "D1", **modes}
    assert core.echo(table) == table
    text = json.dumps(table)
    print(f"table: {len(text) / 1e6:.1f} MB as JSON")
    print(f"Python -> C++ (load, then free)  {best_ms(lambda: core.call_kw(None, table)):7.1f} ms")
    print(f"Python -> C++ -> Python          {best_ms(lambda: core.echo(table)):7.1f} ms")
    print(f"reference: json.loads            {best_ms(lambda: json.loads(text)):7.1f} ms")
    print(f"reference: copy.deepcopy         {best_ms(lambda: copy.deepcopy(table)):7.1f} ms")


if __name__ == "__main__":
    main()
