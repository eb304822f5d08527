#!/usr/bin/env python3
"""Per-call time of the local ComData fetch of a whole 16-channel chain through the Python
package (4 boards x 4 channels, one step), optionally next to a plain-Python fetch module.

Usage: PYTHONPATH=build/python bench_comdata_py.py FILE [N] [--peer PATH_TO_MODULE.py]

FILE is a calibration table named {SN}_{FREQ}GHz.csv of 4 boards, 1 IC and 4 channels. With
--peer, the module's parse(path, sn, freq, boards, ics, channels) and get_comdata(table,
errors, ...) are timed on the same file and arguments, in the same process.
"""
import argparse
import importlib.util
import os
import time

from arvcore.vlndev.VLNTableManager import CalibrationTableManager

CHANNELS = [1, 2, 3, 4]
GAIN = [[3.5, -2.0, 0.5, 7.0] for _ in range(4)]
PHASE = [[45, 90, 0, 355] for _ in range(4)]
COMS = [["COM_3"] for _ in range(4)]


def timed(fn, n, rounds=5):
    """Best wall and CPU microseconds per call over `rounds` runs of `n` calls."""
    best_wall = best_cpu = None
    for _ in range(rounds):
        w0, c0 = time.perf_counter(), time.process_time()
        for _ in range(n):
            fn()
        w1, c1 = time.perf_counter(), time.process_time()
        wall, cpu = (w1 - w0) / n * 1e6, (c1 - c0) / n * 1e6
        best_wall = wall if best_wall is None else min(best_wall, wall)
        best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
    return best_wall, best_cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("n", type=int, nargs="?", default=20000)
    ap.add_argument("--peer")
    a = ap.parse_args()
    name = os.path.basename(a.file)
    sn, freq = name.rsplit("_", 1)[0], float(name.rsplit("_", 1)[1][: -len("GHz.csv")])

    m = CalibrationTableManager(sn, freq, lambda: (4, 1, 4), fetchCsvFromFile=False)
    with open(a.file) as f:
        r = m.parse(freq, f)
    assert r.RetCode.name == "OK", r
    res = m._getComData("TX", 4, 1, CHANNELS, GAIN, PHASE, COMS)
    assert len(res) == 4 and all(len(b["COM_3"]) == 4 for b in res), res
    wall, cpu = timed(lambda: m._getComData("TX", 4, 1, CHANNELS, GAIN, PHASE, COMS), a.n)
    print(f"package  us_per_call wall={wall:.2f} cpu={cpu:.2f}")

    if a.peer:
        peer_spec = importlib.util.spec_from_file_location("peer", a.peer)
        peer = importlib.util.module_from_spec(peer_spec)
        peer_spec.loader.exec_module(peer)
        table, ok = peer.parse(a.file, sn, freq, 4, 1, 4)
        assert ok
        errors = []
        assert peer.get_comdata(table, errors, "TX", 4, 1, CHANNELS, GAIN, PHASE, COMS) == res
        wall, cpu = timed(
            lambda: peer.get_comdata(table, errors, "TX", 4, 1, CHANNELS, GAIN, PHASE, COMS), a.n)
        print(f"peer     us_per_call wall={wall:.2f} cpu={cpu:.2f}")


if __name__ == "__main__":
    main()
