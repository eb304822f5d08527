"""The package beside other Python threads: no deadlock between the core's logging and the GIL,
log records of work done without the GIL still arrive in order, a manager shared by two
threads serialises its callers, managers on threads of their own keep to their own tables, and
a loaded table read late is the table as loaded while another thread changes the manager.
scripts/sanitize-python.sh runs these under the address and thread sanitizers.

Scenarios that used to hang run in a child process with a time limit, so a regression fails
instead of stopping the suite.
"""

import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

from arvcore.VLNPublic import BeamType, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (
    AAKitTableManager,
    BeamPatternTableManager,
    BTSetOption,
    CalibrationTableManager,
    fake_rf_layout,
)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GEN_CALI = os.path.join(ROOT, "scripts", "gen_cali.py")
SN = "D2230E013-28"


def small_table(directory, sn=SN, freq=28, seed=1):
    subprocess.run(
        [sys.executable, GEN_CALI, str(directory), "--sn", sn, "--freq", str(freq),
         "--com-steps", "2", "--gain-step", "4", "--phase-step", "45", "--seed", str(seed)],
        check=True, stdout=subprocess.DEVNULL)


def run_child(code, files_dir, timeout=120):
    """Runs `code` in a fresh interpreter; fails when it hangs or does not print 'done'."""
    env = dict(os.environ, ARVCORE_FILES_DIR=str(files_dir))
    prelude = "import sys\nsys.setswitchinterval(1e-5)\n"
    try:
        p = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child process hung")
    assert p.returncode == 0, p.stderr[-3000:]
    assert p.stdout.strip().endswith("done"), p.stdout[-500:]
    return p


def run_briskly(threads):
    """Starts and joins `threads`, with the GIL changing hands as often as it can."""
    threads = list(threads)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)


THREADS = """
import threading
from arvcore.vlndev.VLNTableManager import CalibrationTableManager
SN = "D2230E013-28"

def work(freq, rounds):
    mgr = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    for _ in range(rounds):
        ok = mgr.parse(freq).RetCode.name == "OK"
        assert ok == (freq == 28)
        if ok:
            mgr.getDR()
    finished.append(freq)

finished = []
threads = [threading.Thread(target=work, args=(FREQ, ROUNDS)) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert len(finished) == 2
print("done")
"""


def test_two_threads_logging_through_the_core_finish(tmp_path):
    small_table(tmp_path)
    # Records at info level go through Python handlers on every parse.
    run_child("import logging\nlogging.basicConfig(level=logging.INFO)\n"
              + THREADS.replace("FREQ", "28").replace("ROUNDS", "15"), tmp_path)
    # Without any logging configuration, a missing table writes an error record each time.
    p = run_child(THREADS.replace("FREQ", "26").replace("ROUNDS", "40"), tmp_path)
    assert p.stderr.count("Can not find file for Cali table") == 80


def test_log_handlers_that_call_the_package_again_finish(tmp_path):
    small_table(tmp_path)
    code = """
    import logging
    from arvcore.vlndev.VLNTableManager import (BeamPatternTableManager, CalibrationTableManager,
        UDDeltaFreqTableManager, fake_check, fake_ic_check, fake_rf_layout)
    SN = "D2230E013-28"
    seen = []

    class Again(logging.Handler):
        def __init__(self, action):
            super().__init__()
            self.action = action
            self.busy = False

        def emit(self, record):
            seen.append(record.getMessage())
            if not self.busy:
                self.busy = True
                try:
                    self.action()
                finally:
                    self.busy = False

    beam = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, (fake_check, fake_ic_check))
    beam._updateFreq(28, {"TX": [-5, 20], "RX": [-5, 20]}, [[[0, 10]] * 4] * 2, [[5] * 4] * 2)
    cali = logging.getLogger("CaliTbl")
    cali.setLevel(logging.INFO)
    cali.addHandler(Again(lambda: UDDeltaFreqTableManager(SN).parse()))
    bt = logging.getLogger("BeamTbl")
    bt.setLevel(logging.INFO)
    # The handler loads through the very manager that is logging.
    bt.addHandler(Again(lambda: beam._load(28)))
    logging.getLogger("UDDeltaTbl").setLevel(logging.DEBUG)
    mgr = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    assert mgr.parse(28).RetCode.name == "OK"
    assert mgr.parse(26).RetCode.name != "OK"
    assert beam._load(28).RetCode.name == "OK"
    assert any("parsing done" in m for m in seen), seen
    assert any("Loading Beam Table" in m for m in seen), seen
    print("done")
    """
    run_child(code, tmp_path)


def test_python_code_that_waits_for_a_thread_calling_the_same_manager_finishes(tmp_path):
    # A log handler and callbacks of each kind that lets the lock go start a thread that calls
    # the manager they came from, and wait for it.
    small_table(tmp_path)
    code = """
    import logging, threading
    from arvcore.VLNUtils import RetType
    from arvcore.vlndev.VLNTableManager import (AAKitTableManager, BeamPatternTableManager,
        CalibrationTableManager, fake_rf_layout)

    def on_another_thread(fn):
        answers = []
        t = threading.Thread(target=lambda: answers.append(fn()))
        t.start()
        t.join()
        return answers[0]

    class Handler(logging.Handler):
        def emit(self, record):
            if not seen:
                seen.append(on_another_thread(cali.getCOMDR).RetCode.name)

    seen = []
    cali = CalibrationTableManager("D2230E013-28", 28, fake_rf_layout)
    assert cali.parse(28).RetCode.name == "OK"
    logger = logging.getLogger("CaliTbl")
    logger.setLevel(logging.INFO)
    logger.addHandler(Handler())
    assert cali.getCOMDR().RetCode.name == "OK"  # writes "All DR: ..." at info level
    assert seen == ["OK"], seen

    beam = BeamPatternTableManager("SN1", 9, 4, fake_rf_layout, None, True)
    web = lambda **payload: on_another_thread(beam.getBeamIdStorage)
    assert beam._load(28, callback=web).RetData == 4
    assert beam._saveToBeamTableFile(callback=web).RetData == 4

    kits = AAKitTableManager(9, 16, path=".", is_web_mode=True)
    fetch = lambda *args: RetType(data={"K": on_another_thread(kits.getAAKitInfo).RetMsg})
    assert kits.getAAKitList(callback=fetch).RetCode.name == "OK"
    forward = lambda **payload: on_another_thread(lambda: kits.getAAKitInfo("K"))
    assert kits.saveAAKitFile("K", callback=forward, check=False) is not None
    print("done")
    """
    run_child(code, tmp_path, timeout=60)


def test_device_checks_and_web_callbacks_may_wait_for_a_thread_calling_the_same_manager(
        tmp_path, monkeypatch):
    # Each callback starts a thread that calls the manager it came from and waits for it, with
    # a limit: a manager still held fails the case instead of hanging the suite.
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    finished = []

    def wait_for(call):
        t = threading.Thread(target=call)
        t.start()
        t.join(5)
        finished.append(not t.is_alive())

    beam = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, (
        lambda *a: wait_for(beam.getBeamIdStorage) or RetType(data=a[1:4]),
        lambda *a: wait_for(beam.getBeamIdStorage) or RetType()))
    beam._updateFreq(28, {"TX": [-5, 20], "RX": [-5, 20]}, [[[0, 10]] * 4] * 2, [[5] * 4] * 2)
    assert beam._load(28).RetCode == RetCode.OK
    web = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, None, True)
    web._updateFreq(28, {}, [], [])
    kits = AAKitTableManager(9, 16, path=".", is_web_mode=True)
    steer = {"db": 1, "theta": 0, "phi": 0}
    assert kits.setAAKitInfo("K", [1, 1], [1, 1], [1, 1], [0] * 16, [0] * 16).RetData == "K"
    batch = {"TX": {"3": {"beam_type": 0, "beam_description": "", "beam_config": steer}}}
    cases = {
        "beam check": lambda: beam.setBeamPattern(RFMode.TX, 1, BeamType.BEAM, steer, save=False),
        "group check": lambda: beam.setBeamPattern(RFMode.RX, 2, BeamType.CHANNEL, {}),
        "batch check": lambda: beam._setBatchBeamPattern(batch, BTSetOption.VALIDATE, None),
        "batch set": lambda: beam._setBatchBeamPattern(batch, BTSetOption.SAVE, None),
        "batch load": lambda: web._getBatchBeamPattern(callback=lambda **kw: wait_for(
            web.getBeamIdStorage) or RetType(data={"TX": {}, "RX": {}})),
        "kit rename": lambda: kits.setAAKitInfo(
            "K", [1, 1], [1, 1], [1, 1], [0] * 16, [0] * 16, newKitName="L",
            callback=lambda **kw: wait_for(kits.getAAKitList) or RetType()),
    }
    for name, call in cases.items():
        finished.clear()
        assert call().RetCode == RetCode.OK, name
        assert finished and all(finished), name



def test_web_calibration_queries_let_the_manager_go_while_the_database_answers(monkeypatch):
    # The table database's component is host code: while it answers, another thread may call
    # the same manager, with queries of its own or a new frequency, and be waited for.
    on_next_query = []
    finished = []

    def query_db(payload, queryCmd=None):
        if on_next_query:
            call = on_next_query.pop()
            t = threading.Thread(target=call)
            t.start()
            t.join(5)
            finished.append(not t.is_alive())

        def answer(request):
            f = request["frequency"]
            return {key: {"CHANNEL_1": f} if "OFFSET" in key else [f, f]
                    for key in request["query"]}
        if queryCmd == "getMultiData":
            return {"code": 0, "data": {name: answer(r) for name, r in payload.items()}}
        return {"code": 0, "data": answer(payload)}

    module = types.ModuleType("arvcore.db.VLNDBQueryer")
    module.DBQueryer = lambda table_name: types.SimpleNamespace(queryDB=query_db)
    monkeypatch.setitem(sys.modules, "arvcore.db.VLNDBQueryer", module)
    m = CalibrationTableManager(SN, 28, lambda: (2, 1, 2), is_web_mode=True)
    assert m.parse(28).RetCode == RetCode.OK

    def frequencies(answer):
        if isinstance(answer, (dict, list)):
            values = answer.values() if isinstance(answer, dict) else answer
            return set().union(*map(frequencies, values))
        return {answer}

    inner = []
    cases = {
        "another query": (lambda: inner.append(m._getBoardsOffset([2, 1], "RX")),
                          lambda: m._getBoardsOffset([1, 2], "TX"), {28}),
        # What the database answered before the change is fetched again from the new table.
        "new frequency": (lambda: inner.append(m.parse(29)), lambda: m.getCOMDR().RetData, {29}),
        "new frequency, TC": (lambda: inner.append(m.parse(30)), m._getTC, {30}),
    }
    for name, (meanwhile, call, expected) in cases.items():
        finished.clear()
        on_next_query.append(meanwhile)
        assert frequencies(call()) == expected, name
        assert finished == [True] and inner, name
    assert inner[0] == [[28], [28]]  # the other thread's batch was its own

def test_records_of_released_work_keep_their_order_around_callbacks(tmp_path, monkeypatch,
                                                                    arvcore_logs):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    bt = logging.getLogger("BeamTbl")

    def group(mode, index, gains, common):
        bt.debug("python check %d", index)
        return RetType()

    mgr = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout, (None, group))
    mgr._updateFreq(28, {"TX": [-5, 20.5], "RX": [-8, 15]}, [[[0, 10]] * 4] * 2, [[5] * 4] * 2)
    assert mgr._load(28).RetCode == RetCode.OK
    arvcore_logs.clear()
    # A save writes the table without the GIL; the group checks call back into Python.
    assert mgr.setBeamPattern(RFMode.TX, 1, BeamType.CHANNEL, {}, save=True).RetCode == RetCode.OK
    messages = [r.getMessage() for r in arvcore_logs.records if r.name == "BeamTbl"]
    checks = [m.split(" gain")[0].split(" with")[0] for m in messages
              if m.startswith(("Checking board_", "Checked  board_", "python check"))]
    expected = []
    for i in range(4):
        expected += [f"Checking board_{i + 1}", f"python check {i}", f"Checked  board_{i + 1}"]
    assert checks == expected
    # Every record of the call has arrived when it returns, with its level.
    assert messages[-2].startswith("Set/update beam:1")
    assert messages[-1].startswith("Saving beam file")
    assert arvcore_logs.records[-1].levelno == logging.DEBUG


def test_other_threads_run_while_a_table_is_parsed(tmp_path, monkeypatch):
    subprocess.run([sys.executable, GEN_CALI, str(tmp_path), "--sn", SN, "--freq", "28",
                    "--com-steps", "4"], check=True, stdout=subprocess.DEVNULL)
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    mgr = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0)  # hands the GIL back at once

    t = threading.Thread(target=ticker)
    before = sys.getswitchinterval()
    sys.setswitchinterval(10.0)  # the GIL changes hands only when a thread lets it go
    try:
        t.start()
        while not ticks:
            time.sleep(0.001)
        ticks.clear()
        assert mgr.parse(28).RetCode == RetCode.OK
        during = len(ticks)
    finally:
        stop.set()
        sys.setswitchinterval(before)
        t.join()
    assert during > 0


def test_one_manager_shared_by_threads_serialises_them(tmp_path, monkeypatch):
    small_table(tmp_path)
    small_table(tmp_path, freq=29)
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    mgr = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    assert mgr.parse(28).RetCode == RetCode.OK
    expected = {28: mgr.getDR().RetData, 29: None}
    assert mgr.parse(29).RetCode == RetCode.OK
    expected[29] = mgr.getDR().RetData
    failures = []

    def work(freq):
        for _ in range(20):
            ret = mgr.parse(freq)
            if ret.RetCode != RetCode.OK:
                failures.append(ret)
            dr = mgr.getDR().RetData
            if dr not in (expected[28], expected[29]):
                failures.append(dr)
            mgr._getComData("TX", 1, 1, [1, 2, 3, 4], [[3.5, -2.0, 0.5, 7.0]], [[45, 90, 0, 355]],
                            [["COM_1"]])

    threads = [threading.Thread(target=work, args=(f,)) for f in (28, 29, 28, 29)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_managers_on_threads_of_their_own_keep_to_their_tables(tmp_path, monkeypatch):
    serials = [f"D2230E013-{i}" for i in range(4)]
    for i, sn in enumerate(serials):
        small_table(tmp_path, sn=sn, seed=i + 1)
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))

    def answers(mgr):
        return (mgr.getDR().RetData, mgr.getCOMDR().RetData, mgr._getBoardsOffset([1, 2, 3, 4]),
                mgr._getComData("TX", 1, 1, [1, 2, 3, 4], [[0, -4, 4, 0]], [[45, 90, 0, 315]],
                                [["COM_1"]]))

    managers = [CalibrationTableManager(sn, 28, lambda: (4, 1, 4)) for sn in serials]
    expected = []
    for mgr in managers:
        assert mgr.parse(28).RetCode == RetCode.OK
        expected.append(answers(mgr))
    assert len({repr(e) for e in expected}) == 4  # each table answers differently

    # Records of a parse done without the GIL are handed over by the thread that parsed.
    records = []

    class Collect(logging.Handler):
        def emit(self, record):
            records.append((record.threadName, record.getMessage()))

    logger = logging.getLogger("CaliTbl")
    handler = Collect()
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    failures = []
    rounds = 10

    def work(k):
        try:
            for _ in range(rounds):
                ret = managers[k].parse(28)
                if ret.RetCode != RetCode.OK or answers(managers[k]) != expected[k]:
                    failures.append((k, ret))
        except Exception as e:  # pragma: no cover - reported below
            failures.append((k, e))

    try:
        run_briskly(threading.Thread(target=work, args=(k,), name=f"device-{k}")
                    for k in range(4))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert failures == []
    for k, sn in enumerate(serials):
        done = [m for name, m in records if name == f"device-{k}" and m.endswith("parsing done")]
        assert len(done) == rounds and all(sn in m for m in done), (k, done[:2])


@pytest.fixture
def quiet_beams():
    """Beam records below warning are off, so answers are kept and the fast lanes used."""
    logging.getLogger("BeamTbl").setLevel(logging.WARNING)
    yield
    logging.getLogger("BeamTbl").setLevel(logging.NOTSET)


def test_loaded_tables_read_beside_changes_on_another_thread(tmp_path, monkeypatch, quiet_beams):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    mgr = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout,
                                  (lambda m, db, t, p, _: RetType(data=(db, t, p)), None))
    mgr._updateFreq(28, {"TX": [-5, 20], "RX": [-5, 20]}, [[[0, 10]] * 4] * 2, [[5] * 4] * 2)
    assert mgr._load(28).RetCode == RetCode.OK
    rounds = 30
    # Beam 1 of every table a load can answer: the first save, or one of the writer's.
    allowed = {repr({"db": 1.0, "theta": i, "phi": 0}) for i in range(-1, rounds)}
    assert mgr.setBeamPattern(RFMode.RX, 1, BeamType.BEAM, {"db": 1.0, "theta": -1, "phi": 0},
                              save=True).RetCode == RetCode.OK
    unread = []
    failures = []

    def check(table):
        if repr(table["RX"]["1"]["beam_config"]) not in allowed:
            failures.append(table["RX"]["1"])

    done = threading.Event()

    def reader():
        try:
            last = None
            while not done.is_set():
                answer = mgr._load(28)
                after = mgr._getBatchBeamPattern().RetData
                check(after)
                theta = after["RX"]["1"]["beam_config"]["theta"]
                if answer.RetCode != RetCode.OK:
                    failures.append(answer)
                elif theta != last:
                    # One load per change seen is read once the writer is done; the writer's
                    # thetas only grow, so the table as loaded has none above what the manager
                    # held just after.
                    unread.append((answer, theta))
                    last = theta
                else:
                    check(answer.RetData)
        except Exception as e:  # pragma: no cover - reported below
            failures.append(e)

    def writer():
        try:
            for i in range(rounds):
                ret = mgr.setBeamPattern(RFMode.RX, 1, BeamType.BEAM,
                                         {"db": 1.0, "theta": i, "phi": 0}, save=True)
                if ret.RetCode != RetCode.OK:
                    failures.append(ret)
                time.sleep(0.001)  # lets the reader load between the changes
        except Exception as e:  # pragma: no cover - reported below
            failures.append(e)
        finally:
            done.set()

    run_briskly([threading.Thread(target=reader), threading.Thread(target=writer)])
    for answer, bound in unread:
        check(answer.RetData)
        if answer.RetData["RX"]["1"]["beam_config"]["theta"] > bound:
            failures.append((answer.RetData["RX"]["1"], bound))
    assert failures == []
    assert len({bound for _, bound in unread}) > 1  # loads were made beside the changes
    assert mgr._load(28).RetData["RX"]["1"]["beam_config"]["theta"] == rounds - 1
