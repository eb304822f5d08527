"""8 processes query one table database while another process re-imports the same table.

    PYTHONPATH=build/python /usr/bin/python3 bench/table_db_concurrency.py URL [--seconds S]

Two tables A and B of one serial number and frequency (a 4,1,4 device) are generated; B is
imported, then the re-importer stores A, B, A, ... while 8 query processes each repeat a
web-mode frequency change, the offsets of 4 boards and a ComData batch for the whole chain.
Every answer must be A's or B's whole answer: any error, or an answer that is neither (a mix),
is counted. Prints the counts and exits 1 when one is not 0.
"""

import argparse
import multiprocessing as mp
import os
import subprocess
import sys
import tempfile
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


def answers(m, parse=True):
    if parse:
        m.parse(FREQ)
    return (m.queryCaliTableVer().RetData, m._getBoardsOffset([1, 2, 3, 4], "TX"),
            m._getComData(*CHAIN))


def local_answers(path):
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, fetchCsvFromFile=False)
    with open(path) as f:
        assert m.parse(FREQ, f).RetCode.name == "OK"
    return answers(m, parse=False)


def query_worker(url, expected, seconds, out):
    os.environ["ARVCORE_TABLE_DB"] = url
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager
    m = CalibrationTableManager(SN, FREQ, lambda: LAYOUT, is_web_mode=True)
    n = errors = mixed = 0
    end = time.time() + seconds
    while time.time() < end:
        try:
            _, offsets, comdata = answers(m)
        except Exception:
            errors += 1
            continue
        if not isinstance(offsets, list):
            errors += 1
        # Each of these is one request (one batch) to the database.
        elif offsets not in [e[1] for e in expected] or comdata not in [e[2] for e in expected]:
            mixed += 1
        n += 1
    out.put((n, errors, mixed))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("url")
    p.add_argument("--seconds", type=float, default=20)
    p.add_argument("--workers", type=int, default=8)
    a = p.parse_args()
    from arvcore import db
    with tempfile.TemporaryDirectory() as tmp:
        paths = [generate(os.path.join(tmp, name), seed) for name, seed in (("a", 1), ("b", 2))]
        expected = [local_answers(path) for path in paths]
        assert expected[0][1] != expected[1][1] and expected[0][2] != expected[1][2]
        db.import_tables([paths[1]], layout=LAYOUT, url=a.url)
        ctx = mp.get_context("spawn")
        out = ctx.Queue()
        procs = [ctx.Process(target=query_worker, args=(a.url, expected, a.seconds, out))
                 for _ in range(a.workers)]
        for proc in procs:
            proc.start()
        imports = 0
        end = time.time() + a.seconds
        while time.time() < end:
            subprocess.run([os.environ.get("ARVCORE_VLNTABLE", "build/tools/vlntable"), "db",
                            "import", "--db", a.url, "--layout", "4,1,4", paths[imports % 2]],
                           check=True, stdout=subprocess.DEVNULL)
            imports += 1
        results = [out.get() for _ in procs]
        for proc in procs:
            proc.join()
    n = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    mixed = sum(r[2] for r in results)
    print("%d re-imports by another process; %d query rounds in %d processes; "
          "errors %d, mixed answers %d" % (imports, n, a.workers, errors, mixed))
    return 1 if errors or mixed else 0


if __name__ == "__main__":
    sys.exit(main())
