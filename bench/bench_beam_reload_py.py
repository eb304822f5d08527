#!/usr/bin/env python3
"""Loading a beam table again and reading the answer's RetData, against json.load of the file.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/bench_beam_reload_py.py DIR [--loads N]

DIR is made (or reused) as a files directory holding BeamTable/ with a 2 x 1024-beam table of
16 boards x 4 channels (TX channel beams, RX beam beams). One manager loads it once, then N
times more, each time reading RetData["TX"]["1"] (the whole table is converted then). A plain
json.load of the same file stands for a module that keeps the table as Python objects. Both
free the previous table within the timed call, as a caller replacing it would. Prints the
medians in ms and their ratio (json.load / ours).
"""
import argparse
import json
import os
import statistics
import time

SN = "D2230E013-28"


def make_table():
    def channel_beam():
        boards = {}
        for k in range(1, 17):
            board = {"common_db": -2.5}
            for c in range(1, 5):
                board[f"channel_{c}"] = {"sw": 0, "db": 7.25, "deg": 45}
            boards[f"board_{k}"] = board
        return {"beam_description": "", "beam_type": 1, "channel_config": boards}

    def beam_beam():
        return {"beam_description": "b", "beam_type": 0,
                "beam_config": {"db": 5.0, "theta": 10, "phi": 20}}

    return {"VERSION": "v2.0.0", "SN": SN, "DEV_TYPE": 9, "FREQ": 28, "AAKIT_NAME": "",
            "TX": {str(i): channel_beam() for i in range(1, 1025)},
            "RX": {str(i): beam_beam() for i in range(1, 1025)}}


def timed(fn, n):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--loads", type=int, default=15)
    args = ap.parse_args()
    table_dir = os.path.join(os.path.abspath(args.dir), "BeamTable")
    path = os.path.join(table_dir, f"Beam_Configuration_{SN}_28GHz.json")
    if not os.path.exists(path):
        os.makedirs(table_dir, exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(make_table(), f, indent=2, ensure_ascii=False)
    os.environ["ARVCORE_FILES_DIR"] = os.path.dirname(table_dir)

    from arvcore.VLNUtils import RetType
    from arvcore.vlndev.VLNTableManager import BeamPatternTableManager

    def beam_check(mode, db, theta, phi, _):
        return RetType(data=(db, theta, phi))

    def group_check(mode, group, gains, common):
        return RetType()

    beam = BeamPatternTableManager(SN, 9, 1024, lambda: (16, 1, 4), (beam_check, group_check))
    beam._updateFreq(28, {"TX": [-12.0, 8.0], "RX": [-15.0, 10.0]},
                     [[[-9.0, 4.0]] * 16, [[-9.0, 4.0]] * 16], [[7.5] * 16, [7.5] * 16])
    beam._load(28).RetData

    kept = {}

    def peer():
        with open(path, encoding="utf-8") as f:
            kept["table"] = json.load(f)

    peer()
    ours = timed(lambda: beam._load(28).RetData["TX"]["1"], args.loads)
    theirs = timed(peer, args.loads)
    print(f"file {os.path.getsize(path) / 2**20:.1f} MiB, {args.loads} loads each")
    print(f"_load again + RetData read  median {ours:8.2f} ms")
    print(f"json.load                   median {theirs:8.2f} ms")
    print(f"ratio (json.load / ours)    {theirs / ours:.2f}")


if __name__ == "__main__":
    main()
