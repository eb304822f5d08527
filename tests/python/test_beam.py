"""BeamPatternTableManager as the SDK's device objects call it from Python."""

import json

import pytest

from arvcore.VLNPublic import BeamType, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (
    BeamPatternTableManager,
    BTSetOption,
    fake_check,
    fake_ic_check,
    fake_rf_layout,
)

DR = {"TX": [-5, 20.5], "RX": [-8, 15]}
COMDR = [[[0, 10], [0, 11], [0, 12], [0, 13]], [[0, 5], [0, 6], [0, 7], [0, 8]]]
ELEDR = [[3, 4, 5, 6], [1.5, 2.5, 3.5, 4.5]]


@pytest.fixture
def calls():
    return []


@pytest.fixture
def mgr(tmp_path, monkeypatch, calls):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))

    def beam(*args):
        calls.append(args)
        return RetType(data=(3.0, args[2], args[3]))

    def group(*args):
        calls.append(args)
        return RetType()

    m = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout, (beam, group))
    m._updateFreq(28, DR, COMDR, ELEDR)
    assert m._load(28).RetCode == RetCode.OK
    return m


def test_checks_are_called_positionally_and_the_file_is_json_dump(tmp_path, mgr, calls):
    ret = mgr.setBeamPattern(RFMode.TX, 1.9, BeamType.BEAM, {"db": 3.5, "theta": 0, "phi": 0},
                             "Nordstrahl \u00e4\u2192\u6771")
    assert ret == RetType()
    assert calls == [(RFMode.TX, 3.5, 0, 0, None)]
    cfg = {"board_2": {"channel_3": {"sw": 1, "db": 2.0, "deg": 90}}}
    assert mgr.setBeamPattern(1, 2, 1, cfg).RetCode == RetCode.OK
    assert calls[2] == (RFMode.RX, 1, [2.5, 2.5, 2.0, 2.5], 6)
    table = mgr._BeamTable
    assert table["TX"]["1"]["beam_config"] == {"db": 3.0, "theta": 0, "phi": 0}
    assert isinstance(table["FREQ"], int)
    text = (tmp_path / "BeamTable" / "Beam_Configuration_SN7_28GHz.json").read_text("utf-8")
    assert text == json.dumps(table, indent=2, ensure_ascii=False)


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
    # Values the manager converts itself are answered, not raised.
    assert mgr.setBeamPattern(RFMode.TX, 1, 7).RetMsg == "SetBeamPattern exception"


def test_callbacks_get_keywords_and_their_answer_comes_back_as_is(mgr):
    seen = []
    answer = RetType(RetCode.WARNING, "web")

    def cb(**kwargs):
        seen.append(kwargs)
        return answer

    assert mgr._load(28.0, "K", cb) is answer
    assert mgr._saveToBeamTableFile(cb, {"TX": {}}) is answer
    assert seen == [
        {"func_name": "_load", "freq": 28.0, "aakit": "K", "devtype": 9, "num_beam": 8,
         "rf_layout": [4, 1, 4], "check_funcs": None, "web_client_id": None},
        {"func_name": "_saveToBeamTableFile", "new_table": {"TX": {}}},
    ]
    assert mgr._BeamTable is None


def test_batch_echo_answers_the_callers_object(mgr, calls):
    cfg = {"TX": {"1": {"beam_description": "", "beam_type": 0,
                        "beam_config": {"db": 1, "theta": 2, "phi": 3}}}}
    assert mgr._setBatchBeamPattern(cfg, BTSetOption.GET, None).RetData is cfg
    assert calls == []
    assert mgr._setBatchBeamPattern(cfg, 3, None).RetData is cfg
    assert calls == [(RFMode.TX, 1, 2, 3, None)]
    assert list(mgr._getBatchBeamPattern(2).RetData) == ["RX"]


def test_device_functions_that_fail_or_do_not_fit(tmp_path, monkeypatch):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))

    def raising(*args):
        raise RuntimeError("device gone")

    # fake_check takes four arguments; the manager calls its beam check with five.
    for funcs in ((raising, raising), (fake_check, fake_ic_check)):
        m = BeamPatternTableManager("SN7", 9, 8, [4, 1, 4], funcs)
        m._updateFreq(28, DR, COMDR, ELEDR)
        m._load(28)
        ret = m.setBeamPattern(RFMode.TX, 1, BeamType.BEAM)
        assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR_BF_BEAM, "SetBeamPattern exception")
        assert m._BeamTable["TX"] == {}


def test_fake_functions():
    assert fake_rf_layout() == (4, 1, 4)
    assert fake_check(RFMode.TX, 1.5, 10, 20).RetData == (1.5, 10, 20)
    gains = [1, 2]
    assert fake_ic_check(RFMode.TX, 0, gains).RetData is gains
    assert BeamPatternTableManager("S", 9, 5, fake_rf_layout, None).getBeamIdStorage().RetData == 5
