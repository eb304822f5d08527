"""Readers in several processes query one table database while another process re-imports
table A and table B of the same serial number and frequency in turn.

    PYTHONPATH=build/python ARVCORE_VLNTABLE=build/tools/vlntable \\
        /usr/bin/python3 bench/table_db_concurrency.py URL [--seconds S] [--workers N]
        [--min-rounds R] [--min-imports I] [--stops]
    ... bench/table_db_concurrency.py URL --frozen    # PostgreSQL started by pg-test-server.sh

A reader round is what a device does at a frequency change and after: parse(28), then
getDR(), getCOMDR(), getELEDR(), _getTC(), _getBoardsOffset() of 4 boards in TX and RX, and a
ComData batch for the whole 16-channel chain. Every round must answer A's whole answers or B's:
a round that mixes them (within one answer or across the round's answers), or any error, is
counted. So is every answer whose shape belongs to another query (a getter answering a ComData
batch's rows, or failing on them). On a SQLite store the size of the write-ahead log is sampled
throughout and must stay under twice the size of the table (the store file holding just one
import of it).

With --stops the store fails again and again while the readers run: on PostgreSQL the server of
ARVCORE_PG_TEST_DIR is frozen (SIGSTOP, beyond the readers' 1 s timeouts) and restarted in turn;
on SQLite imports retire the table at once (grace 0) and every third one removes it. Failed
rounds are expected then; mixed answers and answers of another query's shape must still be 0.

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


# The queries of a round, in order; the getters answer envelopes.
ROUND = (
    ("getDR", lambda m: m.getDR()),
    ("getCOMDR", lambda m: m.getCOMDR()),
    ("getELEDR", lambda m: m.getELEDR()),
    ("_getTC", lambda m: m._getTC()),
    ("offsets TX", lambda m: m._getBoardsOffset([1, 2, 3, 4], "TX")),
    ("offsets RX", lambda m: m._getBoardsOffset([1, 2, 3, 4], "RX")),
    ("_getComData", lambda m: m._getComData(*CHAIN)),
)


def shape(v):
    """What an answer looks like, whatever its numbers: its lists' lengths, its maps' keys."""
    if isinstance(v, dict):
        return tuple((k, shape(x)) for k, x in v.items())
    if isinstance(v, list):
        return tuple(shape(x) for x in v)
    return "number" if isinstance(v, (int, float)) else type(v).__name__


def answer_of(name, call, m):
    """(data, own failure): a query's answer, or None and True when it failed as itself (a
    failed envelope, TC's database error, ComData's empty answer); any other exception passes."""
    from arvcore.VLNUtils import RetType
    from arvcore.vlndev.VLNTableManager import VLNTableDBError
    try:
        got = call(m)
    except VLNTableDBError:
        return None, True
    if isinstance(got, RetType):
        return (got.RetData, False) if got.RetCode.name == "OK" else (None, True)
    if name == "_getComData" and got == []:
        return None, True
    return got, False


def round_answers(m, shapes=None):
    """The answers of one reader round, and how many failed as themselves and how many had the
    shape of another query's answer (by `shapes`, the shapes of a local manager's answers)."""
    out, failed, foreign = [], 0, 0
    for i, (name, call) in enumerate(ROUND):
        try:
            got, own_failure = answer_of(name, call, m)
        except (TypeError, IndexError, KeyError, ValueError):
            got, own_failure, foreign = None, False, foreign + 1  # failed on foreign rows
        failed += own_failure
        if shapes is not None and got is not None and shape(got) != shapes[i]:
            foreign += 1
        out.append(got)
    return out, failed, foreign


def local_answers(path):
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, fetchCsvFromFile=False)
    with open(path) as f:
        assert m.parse(FREQ, f).RetCode.name == "OK"
    answers, failed, _ = round_answers(m)
    assert failed == 0
    return answers


def query_worker(url, expected, seconds, out, quiet):
    if quiet:  # the failures of a run with stops log thousands of lines
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    os.environ["ARVCORE_TABLE_DB"] = url
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, is_web_mode=True)
    shapes = [shape(a) for a in expected[0]]
    n = errors = mixed = foreign = 0
    end = time.time() + seconds
    while time.time() < end:
        n += 1
        try:
            if m.parse(FREQ).RetCode.name != "OK":
                errors += 1
                continue
            got, failed, wrong = round_answers(m, shapes)
        except Exception:
            errors += 1
            continue
        foreign += wrong
        if failed or wrong:
            errors += 1
        elif got not in expected:
            mixed += 1
    out.put((n, errors, mixed, foreign))


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


def stopper(stop, stops):
    """Freezes the test server beyond the readers' timeouts and restarts it, in turn."""
    data_dir = os.path.join(os.environ["ARVCORE_PG_TEST_DIR"], "data")
    while not stop.wait(0.5):
        if stops[0] % 2 == 0:
            pids = server_processes(data_dir)
            signal_all(pids, signal.SIGSTOP)
            time.sleep(1.5)
            signal_all(pids, signal.SIGCONT)
        else:
            subprocess.run(["bash", os.path.join(HERE, "..", "scripts", "pg-test-server.sh"),
                            "restart"], check=True)
        stops[0] += 1


def import_or_remove(a, sqlite, path, n):
    """The writer's n-th change: an import; with --stops on SQLite an import that retires the
    table at once, or every third time its removal. False when it failed (a stopped server)."""
    exe = os.environ.get("ARVCORE_VLNTABLE", "build/tools/vlntable")
    env = dict(os.environ)
    cmd = [exe, "db", "import", "--db", a.url, path]
    if a.stops and sqlite:
        env["ARVCORE_TABLE_DB_GRACE"] = "0"
        if n % 3 == 2:
            cmd = [exe, "db", "rm", "--db", a.url, SN, str(FREQ)]
    done = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if done.returncode != 0 and not a.stops:
        raise RuntimeError("%s failed" % " ".join(cmd))
    return done.returncode == 0


def concurrency(a):
    from arvcore import db
    sqlite = "://" not in a.url or a.url.startswith("sqlite://")
    reader_url = a.url
    if a.stops and not sqlite:
        if not os.environ.get("ARVCORE_PG_TEST_DIR"):
            print("--stops on PostgreSQL needs the server of scripts/pg-test-server.sh")
            return 1
        reader_url += ("&" if "?" in a.url else "?") + "query_timeout=1&connect_timeout=1"
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
        procs = [ctx.Process(target=query_worker, args=(reader_url, expected, a.seconds, out, a.stops))
                 for _ in range(a.workers)]
        for proc in procs:
            proc.start()
        stops = [0]
        stopping = threading.Thread(target=stopper, args=(stop, stops))
        if a.stops and not sqlite:
            stopping.start()
        imports = changes = 0
        end = time.time() + a.seconds
        while time.time() < end or imports < a.min_imports:
            imports += import_or_remove(a, sqlite, paths[changes % 2], changes)
            changes += 1
            if a.stops and time.time() >= end + a.seconds:
                break  # a stopped server may refuse most imports; the readers are done
        results = [out.get() for _ in procs]
        for proc in procs:
            proc.join()
        stop.set()
        if sqlite:
            sampler.join()
        if stopping.is_alive():
            stopping.join()
    n = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    mixed = sum(r[2] for r in results)
    foreign = sum(r[3] for r in results)
    print("%d re-imports by other processes%s; %d reader rounds in %d processes; errors %d, "
          "mixed answers %d, answers of another query's shape %d"
          % (imports, "; %d server stops" % stops[0] if stops[0] else "", n, a.workers, errors,
             mixed, foreign))
    failed = mixed or foreign or n < a.min_rounds
    if not a.stops:
        failed = failed or errors or imports < a.min_imports
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
    p.add_argument("--stops", action="store_true",
                   help="make the store fail again and again while the readers run")
    a = p.parse_args()
    return frozen(a) if a.frozen else concurrency(a)


if __name__ == "__main__":
    sys.exit(main())
