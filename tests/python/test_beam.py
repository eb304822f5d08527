"""BeamPatternTableManager as the SDK's device objects use it."""

import json
import logging
import os

import pytest

from arvcore.VLNPublic import BeamType, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (
    BeamPatternTableManager,
    BTModeFilter,
    BTSetOption,
    fake_check,
    fake_ic_check,
    fake_rf_layout,
)

DR = {"TX": [-5, 20.5], "RX": [-8, 15]}
COMDR = [[[0, 10], [0, 11], [0, 12], [0, 13]], [[0, 5], [0, 6], [0, 7], [0, 8]]]
ELEDR = [[3, 4, 5, 6], [1.5, 2.5, 3.5, 4.5]]


class Checks:
    """Device checks that record their positional calls."""

    def __init__(self):
        self.beam_calls = []
        self.group_calls = []
        self.beam_answer = None
        self.group_answer = None

    def beam(self, *args):
        self.beam_calls.append(args)
        if self.beam_answer is not None:
            return self.beam_answer
        return RetType(data=(args[1], args[2], args[3]))

    def group(self, *args):
        self.group_calls.append(args)
        return self.group_answer or RetType()


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    return tmp_path


@pytest.fixture
def checks():
    return Checks()


@pytest.fixture
def mgr(files, checks):
    m = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout, (checks.beam, checks.group))
    m._updateFreq(28, DR, COMDR, ELEDR)
    assert m._load(28).RetCode == RetCode.OK
    return m


def table_path(files, name="Beam_Configuration_SN7_28GHz.json"):
    return files / "BeamTable" / name


def test_fresh_table_file_matches_json_dump(files, mgr):
    path = table_path(files)
    table = mgr._BeamTable
    assert list(table) == ["VERSION", "SN", "DEV_TYPE", "FREQ", "AAKIT_NAME", "TX", "RX"]
    assert table["FREQ"] == 28 and isinstance(table["FREQ"], int)
    mgr.setBeamPattern(RFMode.TX, 1, BeamType.BEAM, {"db": 1.25, "theta": -3, "phi": 0.0},
                       "Nordstrahl \u00e4\u2192\u6771")
    with open(path, encoding="utf-8") as f:
        written = f.read()
    expected = json.dumps(mgr._BeamTable, indent=2, ensure_ascii=False)
    assert written == expected
    assert "\u00e4" in written


def test_float_frequency_keeps_its_kind(files, checks):
    m = BeamPatternTableManager("SN7", 9, 8, [4, 1, 4], None)
    m._updateFreq(28.0, DR, COMDR, ELEDR)
    ret = m._load(28.0, "KIT")
    assert ret.RetCode == RetCode.OK
    assert isinstance(ret.RetData["FREQ"], float)
    assert table_path(files, "Beam_Configuration_SN7_28GHz_KIT.json").exists()


def test_load_logs_frequency_with_one_decimal(files, checks, caplog):
    m = BeamPatternTableManager("SN7", 9, 8, (4, 1, 4), None)
    m._updateFreq(28, DR, COMDR, ELEDR)
    with caplog.at_level(logging.INFO, logger="BeamTbl"):
        m._load(28)
    assert "Loading Beam Table by: 28.0GHz, AAKIT_NAME: ''" in caplog.messages


def test_callback_load_and_save_answer_the_callbacks_object(files, mgr):
    seen = {}
    answer = RetType(RetCode.WARNING, "web")

    def cb(**kwargs):
        seen.update(kwargs)
        return answer

    assert mgr._load(28.5, "K", cb) is answer
    assert seen == {
        "func_name": "_load", "freq": 28.5, "aakit": "K", "devtype": 9, "num_beam": 8,
        "rf_layout": [4, 1, 4], "check_funcs": None, "web_client_id": None,
    }
    assert mgr._BeamTable is None
    seen.clear()
    assert mgr._saveToBeamTableFile(cb, {"TX": {}}) is answer
    assert seen == {"func_name": "_saveToBeamTableFile", "new_table": {"TX": {}}}


def test_set_beam_calls_the_check_positionally(mgr, checks):
    checks.beam_answer = RetType(data=(3.0, 0, 0))
    ret = mgr.setBeamPattern(RFMode.TX, 1, BeamType.BEAM, {"db": 3.5, "theta": 0, "phi": 0}, "d")
    assert ret == RetType()
    assert checks.beam_calls == [(RFMode.TX, 3.5, 0, 0, None)]
    assert mgr._BeamTable["TX"]["1"] == {
        "beam_description": "d", "beam_type": 0,
        "beam_config": {"db": 3.0, "theta": 0, "phi": 0},
    }
    assert mgr.getBeamPattern(0, 1).RetData == mgr._BeamTable["TX"]["1"]


def test_set_channel_checks_every_group(mgr, checks):
    cfg = {"board_2": {"channel_3": {"sw": 1, "db": 2.0, "deg": 90}}}
    assert mgr.setBeamPattern(1, 2.9, 1, cfg).RetCode == RetCode.OK  # id truncated to 2
    assert [c[:2] for c in checks.group_calls] == [(RFMode.RX, i) for i in range(4)]
    assert checks.group_calls[1][2:] == ([2.5, 2.5, 2.0, 2.5], 6)
    assert mgr._BeamTable["RX"]["2"]["channel_config"]["board_2"]["channel_3"] == cfg["board_2"]["channel_3"]


def test_argument_type_errors_are_raised(mgr):
    with pytest.raises(TypeError, match="config"):
        mgr.setBeamPattern(RFMode.TX, 1, BeamType.BEAM, [1, 2, 3])
    with pytest.raises(TypeError, match="description"):
        mgr.setBeamPattern(RFMode.TX, 1, BeamType.BEAM, None, 5)
    with pytest.raises(TypeError):
        mgr.setBeamPattern(RFMode.TX, "1", BeamType.BEAM)
    with pytest.raises(TypeError):
        mgr._setBatchBeamPattern([], BTSetOption.GET, None)
    with pytest.raises(TypeError):
        mgr._load(28, 5)
    with pytest.raises(ValueError):
        BeamPatternTableManager("SN7", 9, 8, (4, 1), None)


def test_failing_or_misshapen_checks_answer_set_exception(files):
    def raising(*args):
        raise RuntimeError("device gone")

    # The stand-in fake_check takes four arguments; the manager calls its check with five.
    for funcs in ((raising, raising), (fake_check, fake_ic_check), None):
        m = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout, funcs)
        m._updateFreq(28, DR, COMDR, ELEDR)
        m._load(28)
        ret = m.setBeamPattern(RFMode.TX, 1, BeamType.BEAM)
        assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR_BF_BEAM, "SetBeamPattern exception")
        assert m._BeamTable["TX"] == {}
    # An unknown beam type value is answered, not raised.
    assert m.setBeamPattern(RFMode.TX, 1, 7).RetMsg == "SetBeamPattern exception"


def test_batch_get_and_echo(mgr, checks):
    mgr.setBeamPattern(RFMode.RX, 3, BeamType.BEAM)
    ret = mgr._getBatchBeamPattern(2)
    assert list(ret.RetData) == ["RX"] and "3" in ret.RetData["RX"]
    assert list(mgr._getBatchBeamPattern().RetData) == ["TX", "RX"]
    assert list(mgr._getBatchBeamPattern(BTModeFilter.TX).RetData) == ["TX"]

    cfg = {"VERSION": "v2.0.0", "TX": {"1": {"beam_description": "", "beam_type": 0,
                                             "beam_config": {"db": 1, "theta": 2, "phi": 3}}}}
    calls = len(checks.beam_calls)
    echoed = mgr._setBatchBeamPattern(cfg, BTSetOption.GET, None)
    assert echoed.RetData is cfg and len(checks.beam_calls) == calls
    assert mgr._setBatchBeamPattern(cfg, 3, None).RetData is cfg
    assert checks.beam_calls[-1] == (RFMode.TX, 1, 2, 3, None)
    checks.beam_answer = RetType(RetCode.ERROR, "steer")
    refused = mgr._setBatchBeamPattern(cfg, BTSetOption.UI_EXPORT, None)
    assert (refused.RetCode, refused.RetMsg, refused.RetData) == (RetCode.ERROR, "steer", None)


def test_batch_save_and_replace(files, mgr, checks):
    cfg = {"SN": "x", "TX": {"4": {"beam_description": "b", "beam_type": 0,
                                   "beam_config": {"db": 1, "theta": 2, "phi": 3}}}, "RX": {}}
    ret = mgr._setBatchBeamPattern(cfg, BTSetOption.UI_SAVE_UPSERT, None)
    assert ret.RetCode == RetCode.OK and ret.RetData == mgr._BeamTable
    with open(table_path(files), encoding="utf-8") as f:
        assert json.load(f)["TX"]["4"]["beam_description"] == "b"

    saved = []
    calls = len(checks.beam_calls)
    ret = mgr._setBatchBeamPattern({"TX": {}, "RX": cfg["TX"]}, 13, lambda **kw: saved.append(kw) or RetType())
    assert ret.RetCode == RetCode.OK and len(checks.beam_calls) == calls
    assert mgr._BeamTable["TX"] == {} and mgr._BeamTable["RX"] == cfg["TX"]
    assert saved == [{"func_name": "_saveToBeamTableFile", "new_table": mgr._BeamTable}]


def test_fake_functions():
    assert fake_rf_layout() == (4, 1, 4)
    assert fake_check(RFMode.TX, 1.5, 10, 20).RetData == (1.5, 10, 20)
    gains = [1, 2]
    assert fake_ic_check(RFMode.TX, 0, gains).RetData is gains
    assert fake_check(RFMode.TX, 1.5, 10, 20).RetCode == RetCode.OK
    assert BeamPatternTableManager("S", 9, 5, fake_rf_layout, None).getBeamIdStorage().RetData == 5
