"""Readers in several processes query one table database while another process re-imports
table A and table B of the same serial number and frequency in turn.

    PYTHONPATH=build/python ARVCORE_VLNTABLE=build/tools/vlntable \\
        /usr/bin/python3 bench/table_db_concurrency.py URL [--seconds S] [--workers N]
        [--min-rounds R] [--min-imports I]
    ... bench/table_db_concurrency.py URL --frozen    # PostgreSQL started by pg-test-server.sh

A reader round is what a device does at a frequency change and after: parse(28), then
getCOMDR(), getELEDR(), _getTC(), _getBoardsOffset() of 4 boards in TX and RX, and a ComData
batch for the whole 16-channel chain. Every round must answer A's whole answers or B's: a round
that mixes them (within one answer or across the round's answers), or any error, is counted.
On a SQLite store the size of the write-ahead log is sampled throughout and must stay under
twice the size of the table (the store file holding just one import of it).

With --frozen, the server of ARVCORE_PG_TEST_DIR is stopped with SIGSTOP, and the time a query
on a kept connection (query_timeout) and a query that connects anew (connect_timeout) take to
answer ERROR_DB_SERVER is measured; each must be within its timeout plus one second.

Exits 1 when a count is not 0 or a target is missed.
"""

import argparse
import multiprocessing as mp
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED_GEN = "/work/shared/bench/gen_cali.py"
GEN = os.path.join(HERE, "..", "scripts", "gen_cali.py")
SN, FREQ, LAYOUT = "CONCUR-28", 28, (4, 1, 4)
CHAIN = ("TX", 4, 1, [1, 2, 3, 4], [[0.0] * 4] * 4, [[0] * 4] * 4, [["COM_1", "COM_2"]] * 4)


def generate(out_dir, seed):
    common = [out_dir, "--sn", SN, "--freq", str(FREQ), "--seed", str(seed),
              "--gain-step", "1", "--phase-step", "15"]
    if os.path.exists(SHARED_GEN):
        cmd = [SHARED_GEN, *common, "--boards", "4", "--ics", "1", "--channels", "4", "--coms", "2"]
    else:
        cmd = [GEN, *common, "--layout", "4,1,4", "--com-steps", "2"]
    subprocess.run([sys.executable, *cmd], check=True, capture_output=True)
    return os.path.join(out_dir, "%s_%dGHz.csv" % (SN, FREQ))


def round_answers(m):
    """The answers of one reader round; raises on any failed envelope."""
    out = []
    for ret in (m.getCOMDR(), m.getELEDR()):
        if ret.RetCode.name != "OK":
            raise RuntimeError(ret.RetMsg)
        out.append(ret.RetData)
    out += [m._getTC(), m._getBoardsOffset([1, 2, 3, 4], "TX"),
            m._getBoardsOffset([1, 2, 3, 4], "RX"), m._getComData(*CHAIN)]
    return out


def local_answers(path):
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, fetchCsvFromFile=False)
    with open(path) as f:
        assert m.parse(FREQ, f).RetCode.name == "OK"
    return round_answers(m)


def query_worker(url, expected, seconds, out):
    os.environ["ARVCORE_TABLE_DB"] = url
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, is_web_mode=True)
    n = errors = mixed = 0
    end = time.time() + seconds
    while time.time() < end:
        n += 1
        try:
            if m.parse(FREQ).RetCode.name != "OK":
                errors += 1
                continue
            got = round_answers(m)
        except Exception:
            errors += 1
            continue
        if got not in expected:
            mixed += 1
    out.put((n, errors, mixed))


def wal_sampler(url, stop, peak):
    wal = url + "-wal"
    while not stop.is_set():
        try:
            peak[0] = max(peak[0], os.path.getsize(wal))
        except OSError:
            pass
        time.sleep(0.005)


def table_size(path, tmp):
    """Bytes a store file takes with one import of the table at `path`."""
    from arvcore import db
    one = os.path.join(tmp, "one.db")
    db.import_tables([path], url=one)
    return os.path.getsize(one)


def concurrency(a):
    from arvcore import db
    sqlite = "://" not in a.url or a.url.startswith("sqlite://")
    with tempfile.TemporaryDirectory() as tmp:
        paths = [generate(os.path.join(tmp, name), seed) for name, seed in (("a", 1), ("b", 2))]
        expected = [local_answers(path) for path in paths]
        assert expected[0] != expected[1]
        db.import_tables([paths[1]], layout=LAYOUT, url=a.url)
        largest = max(table_size(p, tmp) for p in paths) if sqlite else 0
        stop, peak = threading.Event(), [0]
        sampler = threading.Thread(target=wal_sampler, args=(a.url, stop, peak))
        if sqlite:
            sampler.start()
        ctx = mp.get_context("spawn")
        out = ctx.Queue()
        procs = [ctx.Process(target=query_worker, args=(a.url, expected, a.seconds, out))
                 for _ in range(a.workers)]
        for proc in procs:
            proc.start()
        imports = 0
        end = time.time() + a.seconds
        while time.time() < end or imports < a.min_imports:
            subprocess.run([os.environ.get("ARVCORE_VLNTABLE", "build/tools/vlntable"), "db",
                            "import", "--db", a.url, paths[imports % 2]],
                           check=True, stdout=subprocess.DEVNULL)
            imports += 1
        results = [out.get() for _ in procs]
        for proc in procs:
            proc.join()
        stop.set()
        if sqlite:
            sampler.join()
    n = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    mixed = sum(r[2] for r in results)
    print("%d re-imports by other processes; %d reader rounds in %d processes; "
          "errors %d, mixed answers %d" % (imports, n, a.workers, errors, mixed))
    failed = errors or mixed or n < a.min_rounds or imports < a.min_imports
    if sqlite:
        print("largest WAL %.2f MB; table %.2f MB (limit: twice that)"
              % (peak[0] / 1e6, largest / 1e6))
        failed = failed or peak[0] >= 2 * largest
    if n < a.min_rounds:
        print("too few reader rounds: %d < %d" % (n, a.min_rounds))
    return 1 if failed else 0


def signal_all(pids, sig):
    """Signals each process that still runs (a server process may end meanwhile)."""
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def server_processes(data_dir):
    with open(os.path.join(data_dir, "postmaster.pid")) as f:
        postmaster = int(f.readline())
    out = [postmaster]
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                    out.append(int(entry))
        except (OSError, ValueError, IndexError):
            continue
    return out


def frozen(a):
    from arvcore import db
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    data_dir = os.path.join(os.environ["ARVCORE_PG_TEST_DIR"], "data")
    query_timeout, connect_timeout = 2, 3
    with tempfile.TemporaryDirectory() as tmp:
        db.import_tables([generate(tmp, 1)], url=a.url)
    sep = "&" if "?" in a.url else "?"
    os.environ["ARVCORE_TABLE_DB"] = "%s%squery_timeout=%d&connect_timeout=%d" % (
        a.url, sep, query_timeout, connect_timeout)
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, is_web_mode=True)
    assert m.parse(FREQ).RetCode.name == "OK"
    pids = server_processes(data_dir)
    signal_all(pids, signal.SIGSTOP)
    failed = False
    try:
        for what, op, limit in (("kept connection", m.queryCaliTableVer, query_timeout + 1),
                                ("new connection", m.getDR, connect_timeout + 1)):
            start = time.monotonic()
            ret = op()
            took = time.monotonic() - start
            print("frozen server, %s: %s after %.2f s (limit %d s)"
                  % (what, ret.RetCode.name, took, limit))
            failed = failed or ret.RetCode.name != "ERROR_DB_SERVER" or took >= limit
    finally:
        signal_all(pids, signal.SIGCONT)
    return 1 if failed else 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("url")
    p.add_argument("--seconds", type=float, default=40)
    p.add_argument("--workers", type=int, default=8)
    p.add_argument("--min-rounds", type=int, default=20000)
    p.add_argument("--min-imports", type=int, default=50)
    p.add_argument("--frozen", action="store_true")
    a = p.parse_args()
    return frozen(a) if a.frozen else concurrency(a)


if __name__ == "__main__":
    sys.exit(main())
