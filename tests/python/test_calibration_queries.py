"""Calibration queries from Python: dynamic ranges, offsets, TC, common-arm steps, ComData."""

import io
import logging
import os
import subprocess
import sys
import types

import pytest

from arvcore.VLNPublic import CellRFMode, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import CalibrationTableManager

SN = "SNQ"


def query_table(boards=2):
    """Two channels per board, steps COM_1/COM_2, TX ComData for gains 3.5/1.0/-2.5 and phases
    0/45; an entry reads [board, step * 10 + channel, gain, phase]."""
    rows = ["VER,3.0.0", f"SN,{SN}", "FCENTER,28", "DR,-6.0,12.5,-9.5,6.0"]
    rows.append("OFFSET_TX," + ",".join(f"{b}1,{b}2" for b in range(1, boards + 1)))
    rows.append("OFFSET_RX," + ",".join(f"-{b}1,-{b}2" for b in range(1, boards + 1)))
    for b in range(1, boards + 1):
        rows += [f"COMDR,TX,x,{b},y,{-9.5 + b},{-2.0 + b},,", f"COMDR,RX,x,{b},y,{-8 + b},{b - 1}",
                 f"ELEDR,TX,x,{b},y,{7.0 + b}", f"ELEDR,RX,x,{b},y,{6.0 + b}"]
    for b in range(1, boards + 1):
        rows += [f"TEMPADC,x,{b},y,37", f"TC,x,{b},y,{b},2,3,{b + 3}"]
        for mode in ("TX", "RX"):
            rows += [f"COMSTEPDR,{mode},x,{b},y,z,1,w,10,v,-5",
                     f"COMSTEPDR,{mode},x,{b},y,z,2,w,0,v,-20"]
    for b in range(1, boards + 1):
        for step in (1, 2):
            for ch in (1, 2):
                for gain in (3.5, 1.0, -2.5):
                    for phase in (0, 45):
                        rows.append(f"DATA,TX,x,{b},c,1,ch,{ch},g,i,{gain},p,{phase},s,{step},r,"
                                    f"{b},{step * 10 + ch},d,{gain},{phase}")
    return "\n".join(rows + ["END"]) + "\n"


@pytest.fixture
def mgr():
    m = CalibrationTableManager(SN, 28, lambda: (2, 1, 2), fetchCsvFromFile=False)
    assert m.parse(28, io.StringIO(query_table())) == RetType()
    return m


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == "CaliTbl" and r.levelno == level]


def test_dynamic_ranges(mgr, arvcore_logs):
    assert mgr.getDR() == RetType(data={"RX": [-6.0, 12.5], "TX": [-9.5, 6.0]})
    assert mgr.getDR(RFMode.RX).RetData == [-6.0, 12.5]
    assert mgr.getDR(rf_mode=0).RetData == [-9.5, 6.0]
    assert mgr.getDR(CellRFMode.TX).RetData == [-9.5, 6.0]
    with pytest.raises(ValueError):
        mgr.getDR(7)

    comdr = mgr.getCOMDR()
    assert comdr.RetCode is RetCode.OK
    assert comdr.RetData == [[[-8.5, -1.0], [-7.5, 0.0]], [[-7.0, 0.0], [-6.0, 1.0]]]
    assert type(comdr.RetData) is list and type(comdr.RetData[0][0]) is list
    assert mgr.getELEDR().RetData == [[8.0, 9.0], [7.0, 8.0]]
    assert mgr._getBoardCOMDR(RFMode.RX, 1) == [-6.0, 1.0]
    assert mgr._getBoardELEDR(mode=0, board_idx=1) == 9.0
    with pytest.raises(IndexError):
        mgr._getBoardELEDR(0, 2)
    assert messages(arvcore_logs, logging.DEBUG) == [
        "Fetch ELEDR from cache", "Fetch COMDR from cache", "Fetch ELEDR from cache",
        "Fetch ELEDR from cache"]
    assert sum(m.startswith("All DR: {'COMDR': [[[-8.5, -1.0]")
               for m in messages(arvcore_logs, logging.INFO)) == 1


def test_offsets_tc_and_step_search(mgr, arvcore_logs):
    assert mgr._getBoardsOffset([1, 2]) == [[11, 12], [21, 22]]
    assert mgr._getBoardsOffset([1, 2], rf_mode_str="RX") == [[-11, -12], [-21, -22]]
    assert mgr._getBoardsOffset([2], "RX", 1) == [[-21, -22]]
    assert "OFFSET_TX: brd:1, offsets:[11, 12]" in messages(arvcore_logs, logging.DEBUG)
    assert "Fetch RX Offset from cache" in messages(arvcore_logs, logging.DEBUG)
    with pytest.raises(KeyError):
        mgr._getBoardsOffset([1], "TX", chip=2)

    assert mgr._getTC() == [[[1, 2, 3, 4], [2, 2, 3, 5]]]
    assert mgr._searchComStepDR(1, "TX", -3, 5) == ["COM_1"]
    assert mgr._searchComStepDR(2, "RX", 0, 0, polar=None) == ["COM_1", "COM_2"]
    assert mgr._searchComStepDR(2, "RX", -25.0, 5, "HORIZON") == []
    assert "Search COMSTEPDR -> COM list: []" in messages(arvcore_logs, logging.DEBUG)


def test_comdata_keys_keep_the_callers_kinds(mgr, arvcore_logs):
    # A whole-number float phase (45.0, as numpy gives) is the table's key 45; 22.5 stays 22.5.
    got = mgr._getComData("TX", 2, 1, [1, 2], [[3.5, 1.0], [-2.55, 1]], [[0, 45], [45, 45.0]],
                          [["COM_1"], ["COM_2", "COM_1", "COM_2"]])
    assert got == [{"COM_1": [[1, 11, 3.5, 0.0], [1, 12, 1.0, 45.0]]},
                   {"COM_2": [[2, 21, -2.5, 45.0], [2, 22, 1.0, 45.0]],
                    "COM_1": [[2, 11, -2.5, 45.0], [2, 12, 1.0, 45.0]]}]
    assert list(got[1]) == ["COM_2", "COM_1"]
    assert type(got) is list and type(got[0]) is dict and type(got[0]["COM_1"][0]) is list
    assert messages(arvcore_logs, logging.ERROR) == []
    assert mgr._getComData("TX", 1, 1, [2], [[1, 1]], [[0, 22.5]], [["COM_1"]]) == [{"COM_1": []}]
    errors = messages(arvcore_logs, logging.ERROR)
    assert errors == ["[COM_1] Can not find the ComData from key: 2_10_22.5"]
    assert ("[ComData] key: TX, 0/1/[1, 2] gain/phase: [3.5, 1.0]/[0, 45] with com list: "
            "['COM_1']") in messages(arvcore_logs, logging.DEBUG)
    # The result is the caller's own: changing it leaves the table alone.
    got[0]["COM_1"][0][0] = 99
    assert mgr._getComData("TX", 1, 1, [1], [[3.5]], [[0]], [["COM_1"]]) == [
        {"COM_1": [[1, 11, 3.5, 0.0]]}]


def test_comdata_argument_types_and_failures(mgr, arvcore_logs):
    good = dict(channel=[1], gain=[[1.0]], phase=[[0]], com_list=[["COM_1"]])
    for name, bad in (("channel", (1,)), ("gain", {"a": 1}), ("phase", None),
                      ("com_list", "COM_1")):
        with pytest.raises(TypeError, match=name):
            mgr._getComData("TX", 1, 1, **{**good, name: bad})
    assert arvcore_logs.records == []

    # A second board without gains for channel 2: the first board's data still comes back.
    got = mgr._getComData("TX", 2, 1, [1, 2], [[3.5, 1.0], [3.5]], [[0, 0], [0, 0]],
                          [["COM_1"], ["COM_1"]])
    assert got == [{"COM_1": [[1, 11, 3.5, 0.0], [1, 12, 1.0, 0.0]]}]
    assert messages(arvcore_logs, logging.ERROR) == ["Exception to fetch ComData"]
    assert mgr._getComData("TX", 1, 1, [0], [[1.0]], [[0]], [["COM_1"]]) == []
    assert mgr._getComData("TX", 0, 1, [1], [], [], []) == []


def test_comdata_answers_the_same_whatever_the_log_level(mgr, caplog):
    """Without debug records a fetch takes a shorter way through the table; it must answer and
    log exactly what the logged way does, and follow a new parse."""
    def fetch(level, *args, **kwargs):
        caplog.clear()
        caplog.set_level(level, logger="CaliTbl")
        got = mgr._getComData(*args, **kwargs)
        return got, [(r.levelno, r.getMessage()) for r in caplog.records
                     if r.levelno >= logging.WARNING]

    chain = ([1, 2], [[3.5, 1.0], [-2.55, 1]], [[0, 45], [45, 0]])
    cases = [
        ("TX", 2, 1, *chain, [["COM_1"], ["COM_2", "COM_1", "COM_2"]]),
        ("TX", 2, 1, [2, 1, 2], *chain[1:], [["COM_2"], []]),
        ("TX", 1, 1, [1], [[True]], [[0]], [["COM_1"]]),
        ("TX", 1, 1, [1], [[3.5]], [[45.0]], [["COM_1"]]),
        ("TX", 1, 1, [1], [[9.9]], [[0]], [["COM_1"]]),
        ("TX", 1, 1, [1], [[3.5]], [[0]], [["COM_3"]]),  # no such step
        ("TX", 1, 2, [1], [[3.5]], [[0]], [["COM_1"]]),  # no such chip
        ("RX", 1, 1, [1], [[3.5]], [[0]], [["COM_1"]]),
        ("TX", 3, 1, *chain, [["COM_1"]] * 3),  # no third board
        ("TX", 2, 1, [1, 2], [[3.5, 1.0]], [[0, 0], [0, 0]], [["COM_1"], ["COM_1"]]),
        ("TX", 1, 1, [0, 3, -1], [[3.5, 1.0]], [[0, 45]], [["COM_1"]]),
        ("TX", 1, 1, [1], [(3.5,)], [(0,)], [("COM_1",)]),
        ("TX", 1, 1, [1], [[float("nan")]], [[0]], [["COM_1"]]),
        ("TX", 1, 1, [1], [[10 ** 18]], [[0]], [["COM_1"]]),
        ("TX", 0, 1, [1], [], [], []),
        ("TX", 1, 1, [1], [[3.5]], [[22.5]], [["COM_1"]]),  # no such key: logged
    ]
    for args in cases:
        assert fetch(logging.WARNING, *args) == fetch(logging.DEBUG, *args), args
    names = ("rf_mode_str", "board", "chip", "channel", "gain", "phase", "com_list")
    assert fetch(logging.WARNING, **dict(zip(names, cases[0]))) == fetch(logging.DEBUG, *cases[0])
    # A gain step past 64 bits is written out whole, as the caller's number times ten.
    assert fetch(logging.WARNING, *cases[13])[1] == [
        (logging.ERROR, "[COM_1] Can not find the ComData from key: 1_10000000000000000000_0")]

    # The caller's own lists: changing an answer changes no later one.
    caplog.set_level(logging.WARNING, logger="CaliTbl")
    first = mgr._getComData("TX", 1, 1, [1], [[3.5]], [[0]], [["COM_1"]])
    first[0]["COM_1"][0][1] = 99
    assert mgr._getComData("TX", 1, 1, [1], [[3.5]], [[0]], [["COM_1"]]) == [
        {"COM_1": [[1, 11, 3.5, 0.0]]}]
    # A new table answers its own entries.
    assert mgr.parse(28, io.StringIO(query_table().replace("r,1,11,", "r,7,11,"))).RetMsg == ""
    assert mgr._getComData("TX", 1, 1, [1], [[3.5]], [[0]], [["COM_1"]]) == [
        {"COM_1": [[7, 11, 3.5, 0.0]]}]


def test_step_search_answers_the_same_whatever_the_log_level(mgr, caplog):
    """Without debug records a step search reads ranges kept per table; it must answer what
    the logged way does, errors included, and follow a new parse."""
    def search(level, table, *args, **kwargs):
        caplog.set_level(level, logger="CaliTbl")
        if table is not None:
            assert mgr.parse(28, io.StringIO(table)).RetCode == RetCode.OK
        try:
            return mgr._searchComStepDR(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - the error itself is compared
            return type(e), str(e)

    bad = query_table().replace("TX,x,1,y,z,2,w,0,", "TX,x,1,y,z,2,w,q,")
    cases = [
        ((1, "TX", -3, 5), {}), ((2, "RX", 0, 0), {"polar": None}), ((1, "TX", -25.0, 5), {}),
        ((1, "TX", -5, 10), {}), ((1, "TX", float("nan"), 0), {}), ((3, "TX", 0, 0), {}),
        ((1, "TX", -20, 0), {}),
        ((1, "XX", 0, 0), {}), ((1, "TX", 0, 0, "HORIZON"), {}), ((1, "TX", True, 0), {}),
        ((), {"board": 2, "rf_mode_str": "RX", "min": -20, "max": 0}), ((1, "TX", 0), {}),
        ((1, "TX", "0", 0), {}), ((1, "TX", 10 ** 30, 0), {}), ((2, "TX", -1e308, 1e308), {}),
    ]
    wide = query_table().replace("TX,x,1,y,z,1,w,10,v,-5", "TX,x,1,y,z,1,w,inf,v,-nan")
    for table in (query_table(), bad, wide):
        for args, kwargs in cases:
            for i in range(2):  # the second search reads what the first kept
                assert (search(logging.WARNING, table if i == 0 else None, *args, **kwargs) ==
                        search(logging.DEBUG, table, *args, **kwargs)), (args, kwargs)
    assert search(logging.WARNING, bad, 1, "TX", -20, 0) == (
        ValueError, "could not convert string to float: 'q'")

    # The caller's own list, and a new table's own steps.
    caplog.set_level(logging.WARNING, logger="CaliTbl")
    assert mgr.parse(28, io.StringIO(query_table())).RetCode == RetCode.OK
    mgr._searchComStepDR(1, "TX", -20, 0).append("COM_9")
    assert mgr._searchComStepDR(1, "TX", -20, 0) == ["COM_2"]
    lower = query_table().replace("w,0,v,-20", "w,-1,v,-20")
    assert mgr.parse(28, io.StringIO(lower)).RetCode == RetCode.OK
    assert mgr._searchComStepDR(1, "TX", -20, 0) == []


def test_polarization_device_standby(arvcore_logs):
    m = CalibrationTableManager("D2410E001-28", 28, lambda: (1, 1, 4), support_polar=True)
    for mode in (CellRFMode.STANDBY, 2):
        assert m.getDR(mode) == RetType(RetCode.WARNING, "DR not support for STANDBY mode")
    assert messages(arvcore_logs, logging.WARNING) == ["DR not support for STANDBY mode"] * 2
    assert m.getDR(CellRFMode.RX).RetData == {"HORIZON": [-5.0, 10.0], "VERTICAL": [-6.0, 9.0]}
    assert m.getELEDR().RetData == [[{"HORIZON": 7.0, "VERTICAL": 7.5}],
                                    [{"HORIZON": 4.0, "VERTICAL": 5.5}]]
    assert m._getTC() == [[[[8, 3, 2, 11], [8, 3, 2, 11]]]]


@pytest.fixture
def web_db(monkeypatch):
    """The table database: records (payload, queryCmd) pairs and answers through `respond`."""
    state = types.SimpleNamespace(calls=[], respond=lambda payload, cmd: {"code": 0, "data": None})

    def make_queryer(table_name):
        def query_db(payload, queryCmd=None):
            state.calls.append((payload, queryCmd))
            return state.respond(payload, queryCmd)
        return types.SimpleNamespace(queryDB=query_db)

    module = types.ModuleType("arvcore.db.VLNDBQueryer")
    module.DBQueryer = make_queryer
    monkeypatch.setitem(sys.modules, "arvcore.db.VLNDBQueryer", module)
    return state


def test_web_mode(web_db, arvcore_logs):
    m = CalibrationTableManager("SNW", 28, lambda: (2, 1, 2), is_web_mode=True)
    web_db.respond = lambda payload, cmd: {"code": 0, "data": {"DR.TX": [-9.5, 6.0]}}
    assert m.getDR(RFMode.TX) == RetType(data=[-9.5, 6.0])
    assert web_db.calls[-1][0]["query"] == ["DR.TX"]

    # A database failure answers its envelope; the next call sends only its own requests.
    web_db.respond = lambda payload, cmd: {"code": 3, "data": None, "message": "busy"}
    ret = m._getBoardsOffset([1, 2])
    assert ret == RetType(RetCode.ERROR_DB_FEEDBACK, "busy")
    assert "Exception: " + str(ret) in messages(arvcore_logs, logging.ERROR)

    def batch(payload, cmd):
        assert cmd == "getMultiData" and list(payload) == ["query-0", "query-1"]
        mode = payload["query-0"]["query"][0][:2]
        sign = 1 if mode == "TX" else -1
        return {"code": 0, "data": {
            f"query-{i}": {"OFFSET_CHIP_1": {"CHANNEL_1": sign * (i + 1), "CHANNEL_2": 0}}
            for i in range(2)}}
    web_db.calls.clear()
    web_db.respond = batch
    assert m._getBoardsOffset([1, 2], "RX") == [[-1, 0], [-2, 0]]
    assert len(web_db.calls) == 2

    def comdata(payload, cmd):
        return {"code": 0, "data": {name: {key: [len(key)] for key in request["query"]}
                                    for name, request in payload.items()}}
    web_db.respond = comdata
    got = m._getComData("TX", 2, 1, [1], [[1.0], [2.0]], [[0], [5.0]], [["COM_1"], ["COM_2"]])
    assert got == [{"COM_1": [[27]]}, {"COM_2": [[27]]}]
    assert web_db.calls[-1][0]["query-1"]["query"] == ["TX.DATA_CHIP_1.COM_2.1_20_5"]
    with pytest.raises(TypeError):
        m._getComData("TX", 2, 1, [1], [[1.0], [2.0]], [[0], [5.0]], (["COM_1"], ["COM_2"]))


def test_vlntable_query_commands(tmp_path):
    from test_calibration_files import vlntable_command

    exe = vlntable_command()
    (tmp_path / f"{SN}_28GHz.csv").write_text(query_table())

    def run(*args):
        env = {k: v for k, v in os.environ.items() if k != "ARVCORE_FILES_DIR"}
        return subprocess.run([exe, "cali", args[0], "--files", str(tmp_path), "--layout", "2,1,2",
                               SN, "28", *args[1:]], capture_output=True, text=True, env=env)

    r = run("show")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert "  TX   -9.5 .. 6.0" in lines
    row = next(line for line in lines if line.startswith("  BOARD_2") and ".." in line).split()
    assert row == ["BOARD_2", "-7.5", "..", "0.0", "9.0", "-6.0", "..", "1.0", "8.0"]
    assert "  BOARD_1    [1, 2, 3, 4]" in lines
    assert "  BOARD_2    RX  COM_1 -5 .. 10, COM_2 -20 .. 0" in lines

    r = run("offsets", "--boards", "2", "--mode", "RX")
    assert (r.returncode, r.stdout) == (0, "OFFSET RX chip 1\n  board 2: -21, -22\n")
    r = run("offsets", "--chip", "3")
    assert r.returncode == 2 and "--chip 3 is not within the layout 2,1,2" in r.stderr

    r = run("comdata", "--step", "1", "--channel", "1,2", "--gain", "3.5,1.0", "--phase", "0,45")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[3:6] == [
        "BOARD_2 TX chip 1 COM_1",
        "  channel 1: reg_gain 2, reg_phase 11, meas_gain 3.5 dB, meas_phase 0.0 degrees",
        "  channel 2: reg_gain 2, reg_phase 12, meas_gain 1.0 dB, meas_phase 45.0 degrees"]
    r = run("comdata", "--step", "1", "--channel", "3", "--gain", "1", "--phase", "0")
    assert r.returncode == 2 and "--channel 3 is not within the layout 2,1,2" in r.stderr
    r = run("comdata", "--step", "COM_2", "--channel", "2", "--gain", "1", "--phase", "22.5")
    assert r.returncode == 1
    assert "[COM_2] Can not find the ComData from key: 2_10_22.5" in r.stderr
    r = run("comdata", "--step", "1", "--channel", "1,2", "--gain", "1,2,3", "--phase", "0")
    assert r.returncode == 2 and "--gain" in r.stderr
