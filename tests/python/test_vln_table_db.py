"""The table database facade as the Python host sees it: the component taken from
arvcore.db.VLNDBQueryer, the caller's template dict, batches, and VLNTableDBError."""

import logging
import sys
import types

import pytest

from arvcore.VLNPublic import RetCode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (
    CalibrationTableManager,
    VLNTableDBError,
    _VLNTableDB,
)


class FakeDB:
    """Stands in for arvcore.db.VLNDBQueryer: records requests, answers scripted replies."""

    def __init__(self):
        self.calls = []
        self.replies = []
        self.tables = []
        outer = self

        class DBQueryer:
            def __init__(self, table_name):
                outer.tables.append(table_name)

            def queryDB(self, payload, queryCmd=None):
                outer.calls.append((payload, queryCmd))
                if outer.replies:
                    return outer.replies.pop(0)
                return {"code": 0, "data": None}

        self.module = types.ModuleType("arvcore.db.VLNDBQueryer")
        self.module.DBQueryer = DBQueryer


@pytest.fixture
def fake_db(monkeypatch):
    db = FakeDB()
    monkeypatch.setitem(sys.modules, "arvcore.db.VLNDBQueryer", db.module)
    return db


def raises_db_error(fn, *args, **kwargs):
    with pytest.raises(VLNTableDBError) as info:
        fn(*args, **kwargs)
    assert isinstance(info.value, Exception)
    return info.value.ret


def test_query_payload_template_and_reply(fake_db, arvcore_logs):
    temp = {"sn": "D2230E013-28", "frequency": 28}
    db = _VLNTableDB("calibration", temp)
    assert fake_db.tables == ["calibration"]

    fake_db.replies.append({"code": 0, "data": {"VER": "3.0.0"}})
    ret = db.query("VER")
    assert isinstance(ret, RetType)
    assert ret == RetType(data="3.0.0")
    payload, cmd = fake_db.calls[-1]
    assert cmd is None
    assert payload == {"sn": "D2230E013-28", "frequency": 28, "category": "GENERAL",
                       "query": ["VER"]}
    assert list(payload) == ["sn", "frequency", "category", "query"]
    assert type(payload["frequency"]) is int
    assert ("TblDB", logging.DEBUG, "[Query]: " + str(payload)) in arvcore_logs.record_tuples

    # Changes travel both ways between the facade and the caller's dict.
    assert db.setFreq(27.5) == RetType()
    assert db.setAAKitName("KIT_A") == RetType()
    assert temp == {"sn": "D2230E013-28", "frequency": 27.5, "AAKIT_NAME": "KIT_A"}
    temp["sn"] = "OTHER"
    db.query([["DR", "TX"], ("DR", "RX")], category="X")
    payload, _ = fake_db.calls[-1]
    assert payload["sn"] == "OTHER" and payload["frequency"] == 27.5
    assert payload["AAKIT_NAME"] == "KIT_A" and payload["category"] == "X"
    assert payload["query"] == ["DR.TX", "DR.RX"]
    db.query(["BOARD_1", "TX", "COMDR"])
    assert fake_db.calls[-1][0]["query"] == ["BOARD_1.TX.COMDR"]
    with pytest.raises(TypeError):
        db.query(["BOARD_1", 1])

    fake_db.replies.append({"code": 0, "data": {"a": 1, "b": [2]}})
    assert db.query().RetData == {"a": 1, "b": [2]}
    assert fake_db.calls[-1][0]["query"] == [""]


def test_batch_and_failures(fake_db):
    db = _VLNTableDB("calibration", {"sn": "S", "frequency": 28})
    assert db.query("A", applySetting=False) == RetType()
    assert db.query("B", "GENERAL", False) == RetType()
    assert fake_db.calls == []
    fake_db.replies.append({"code": 0, "data": {"query-1": [1], "query-2": {"x": 2}, "query-0": 0.5}})
    assert db.query("C").RetData == [0.5, [1], {"x": 2}]
    batch, cmd = fake_db.calls[-1]
    assert cmd == "getMultiData"
    assert list(batch) == ["query-0", "query-1", "query-2"]
    assert [b["query"] for b in batch.values()] == [["A"], ["B"], ["C"]]

    fake_db.replies.append("connection refused")
    assert raises_db_error(db.query, "VER") == RetType(RetCode.ERROR_DB_SERVER,
                                                        "DB server connection error")
    fake_db.replies.append({"code": 7, "data": None, "message": "no table"})
    err_ret = raises_db_error(db.getTableList, "Freq")
    assert err_ret == RetType(RetCode.ERROR_DB_FEEDBACK, "no table")
    assert fake_db.calls[-1] == ({"sn": "S", "frequency": 28}, "getFreqList")
    fake_db.replies.append({"data": 1})
    with pytest.raises(KeyError):
        db.query("VER")

    # A batch that fails is dropped: the next query goes out alone.
    db.query("A", applySetting=False)
    fake_db.replies.append({"code": 0, "data": {"query-0": 1, "bogus": 2}})
    with pytest.raises(ValueError):
        db.query("B")
    assert db._query_unsend == {}
    fake_db.replies.append({"code": 0, "data": {"VER": "3.0.0"}})
    assert db.query("VER") == RetType(data="3.0.0")
    assert fake_db.calls[-1][1] is None
    db.query("A", applySetting=False)
    db.cleanQueryCache()
    assert db._query_unsend == {}


def test_component_that_cannot_be_loaded(monkeypatch, arvcore_logs, files_dir):
    broken = types.ModuleType("arvcore.db.VLNDBQueryer")  # no DBQueryer in it
    monkeypatch.setitem(sys.modules, "arvcore.db.VLNDBQueryer", broken)
    temp = {"sn": "S", "frequency": 28}
    db = _VLNTableDB("calibration", temp)
    assert ("TblDB", logging.ERROR, "Dynamically import DB lib failed") in arvcore_logs.record_tuples
    down = RetType(RetCode.ERROR_DB_SERVER, "DB server connection error")
    for call in (lambda: db.query("VER"), lambda: db.setFreq(1), lambda: db.getTableList("Freq"),
                 db.cleanQueryCache):
        assert raises_db_error(call) == down
    assert temp == {"sn": "S", "frequency": 28}

    mgr = CalibrationTableManager("S", 28, lambda: (1, 1, 4), is_web_mode=True)
    assert mgr.queryCaliTableVer() == down
    assert mgr.getFrequencyList() == down
    assert mgr.checkCaliTableLocation().RetData is True


def test_default_component_and_web_manager(fake_db, files_dir, arvcore_logs):
    # The module is imported afresh for each facade: here the package's own one, which has no
    # server behind it.
    del sys.modules["arvcore.db.VLNDBQueryer"]
    mgr = CalibrationTableManager("S", 28, lambda: (1, 1, 4), is_web_mode=True)
    assert mgr.queryCaliTableVer() == RetType(RetCode.ERROR_DB_SERVER, "DB server connection error")
    assert any(r.msg.startswith("Exception: RetType(RetCode=RetCode.ERROR_DB_SERVER")
               for r in arvcore_logs.records if r.name == "CaliTbl")

    sys.modules["arvcore.db.VLNDBQueryer"] = fake_db.module
    mgr = CalibrationTableManager("S", 28, lambda: (1, 1, 4), is_web_mode=True)
    assert mgr._CaliTable is None
    assert mgr.parse(27.5) == RetType()
    fake_db.replies.append({"code": 0, "data": {"list": [27.5, 28]}})
    assert mgr.getFrequencyList().RetData == [27.5, 28]
    assert mgr._freq_list == [27.5, 28]
    payload, cmd = fake_db.calls[-1]
    assert cmd == "getFreqList" and payload == {"sn": "S", "frequency": 27.5}
