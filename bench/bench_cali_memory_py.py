#!/usr/bin/env python3
"""Resident memory of one Python process that parses calibration tables and drops them.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/bench_cali_memory_py.py FILE [--changes N]

FILE is a calibration table named {SN}_{FREQ}GHz.csv of 4 boards, 1 IC and 4 channels (from
scripts/gen_cali.py). Prints the RSS in MiB (from /proc/self/statm) at each step: start, one
manager parsed, dropped, three parsed, all dropped; then N frequency changes on one manager
(the old table dropped, the next parsed) with the median parse time and the highest RSS
seen after a parse.
"""
import argparse
import gc
import os
import statistics
import time


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--changes", type=int, default=20)
    args = ap.parse_args()
    path = os.path.abspath(args.file)
    name = os.path.basename(path)
    sn, freq = name[: name.rindex("_")], name[name.rindex("_") + 1 : -len("GHz.csv")]
    freq = float(freq) if "." in freq else int(freq)
    os.environ["ARVCORE_FILES_DIR"] = os.path.dirname(path)

    from arvcore.VLNPublic import RetCode
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager

    def layout():
        return [4, 1, 4]

    def parsed():
        m = CalibrationTableManager(sn, freq, layout)
        assert m.parse(freq).RetCode == RetCode.OK
        return m

    start = rss_mib()
    print(f"start                 rss_mib={start:.1f}")
    m = parsed()
    print(f"one manager parsed    rss_mib={rss_mib():.1f}")
    del m
    gc.collect()
    print(f"manager dropped       rss_mib={rss_mib():.1f} (start {rss_mib() - start:+.1f})")
    three = [parsed() for _ in range(3)]
    print(f"three managers parsed rss_mib={rss_mib():.1f}")
    del three
    gc.collect()
    print(f"all three dropped     rss_mib={rss_mib():.1f} (start {rss_mib() - start:+.1f})")

    m = parsed()
    one = rss_mib()
    seconds, highest = [], one
    for _ in range(args.changes):
        t0 = time.perf_counter()
        m.parse(freq)
        seconds.append(time.perf_counter() - t0)
        highest = max(highest, rss_mib())
    print(
        f"{args.changes} frequency changes: median_seconds={statistics.median(seconds):.3f} "
        f"highest_rss_mib={highest:.1f} (one table parsed: {one:.1f})"
    )


if __name__ == "__main__":
    main()
