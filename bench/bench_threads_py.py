#!/usr/bin/env python3
"""Four devices changing frequency at once: four calibration managers (four serial numbers,
each its own table) parsing in four Python threads, against the same four parses in a row,
while a ticker thread that wakes every millisecond records the longest gap it sees.

Usage: PYTHONPATH=build/python bench_threads_py.py DATA_DIR [--rounds N] [--gen GEN_CALI]

DATA_DIR holds {SN}_28GHz.csv for the serial numbers below; with --gen, the missing tables are
written first by that generator (run as GEN_CALI DATA_DIR --sn SN). Rounds alternate the two
orders; the medians are printed with their ratio (threads / in a row).
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

SNS = ["D2230E013-28", "D2230E014-28", "D2230E015-28", "D2230E016-28"]


class Ticker:
    """Wakes every millisecond and keeps the longest gap between two wake-ups."""

    def __init__(self):
        self.stop = threading.Event()
        self.worst = 0.0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        last = time.perf_counter()
        while not self.stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            self.worst = max(self.worst, now - last)
            last = now

    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)
        self.worst = 0.0
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def parse_all(managers, threaded):
    def one(m):
        ret = m.parse(28)
        assert ret.RetCode.name == "OK", ret.RetMsg

    t0 = time.perf_counter()
    if threaded:
        threads = [threading.Thread(target=one, args=(m,)) for m in managers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    else:
        for m in managers:
            one(m)
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("data_dir")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--gen", help="calibration table generator for missing tables")
    a = ap.parse_args()
    for sn in SNS:
        if not os.path.exists(os.path.join(a.data_dir, f"{sn}_28GHz.csv")):
            if not a.gen:
                sys.exit(f"missing {sn}_28GHz.csv in {a.data_dir} (use --gen)")
            subprocess.run([sys.executable, a.gen, a.data_dir, "--sn", sn], check=True,
                           stdout=subprocess.DEVNULL)
    os.environ["ARVCORE_FILES_DIR"] = a.data_dir
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager

    managers = [CalibrationTableManager(sn, 28, lambda: (4, 1, 4)) for sn in SNS]
    parse_all(managers, False)  # warm the page cache and the value pool
    walls = {False: [], True: []}
    gaps = {False: [], True: []}
    for r in range(a.rounds):
        for threaded in ((False, True) if r % 2 == 0 else (True, False)):
            with Ticker() as ticker:
                walls[threaded].append(parse_all(managers, threaded))
            gaps[threaded].append(ticker.worst)
    # The same ticker with nothing else running in this process: what the machine's own load
    # costs a sleeping thread.
    idle = []
    for _ in range(a.rounds):
        with Ticker() as ticker:
            time.sleep(statistics.median(walls[True]))
        idle.append(ticker.worst)
    row = statistics.median(walls[False])
    par = statistics.median(walls[True])
    print(f"{'4 parses':20s} {'wall ms (median)':>18s} {'worst ticker gap ms':>20s}")
    print(f"{'in a row':20s} {row * 1e3:18.1f} {statistics.median(gaps[False]) * 1e3:20.1f}")
    print(f"{'4 threads':20s} {par * 1e3:18.1f} {statistics.median(gaps[True]) * 1e3:20.1f}")
    print(f"{'idle (no parse)':20s} {'':18s} {statistics.median(idle) * 1e3:20.1f}")
    print(f"ratio threads/row = {par / row:.2f}; "
          f"max ticker gap over all rounds = {max(gaps[True] + gaps[False]) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
