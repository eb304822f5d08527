"""The package frame: enumerations, RetType, value conversion, callbacks, error mapping and
the logging bridge."""

import collections
import enum
import logging
import os
import subprocess
import sys
import textwrap

import pytest

import arvcore.vlndev.VLNTableManager as M
from arvcore import _testing as testing
from arvcore.VLNPublic import POLARIZATION, BeamType, CellRFMode, RetCode, RFMode
from arvcore.VLNUtils import RetType, _Utils
from arvcore.db.VLNDBQueryer import DBQueryer
from arvcore.vlndev.VLNTableManager import (
    AAKitField,
    BTBeamField,
    BTField,
    BTModeFilter,
    BTSetOption,
    VLNTableDBError,
)

MODULE_LOGGERS = ("CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB")

# --- enumerations -----------------------------------------------------------------------------


def test_public_enums_are_plain_enums_in_declaration_order():
    assert list(RFMode) == [RFMode.TX, RFMode.RX]
    assert RFMode(1) is RFMode.RX
    assert CellRFMode(2) is CellRFMode.STANDBY
    assert BeamType.CHANNEL.value == 1
    assert [p.name for p in POLARIZATION] == ["HORIZON", "VERTICAL", "DUAL"]
    # Members are not numbers: comparisons are between members.
    assert not isinstance(RFMode.TX, int)
    assert RFMode.TX != 0
    assert RFMode.TX != CellRFMode.TX
    with pytest.raises(ValueError):
        RFMode(2)


def test_bt_field_version_is_a_member():
    assert BTField._version in list(BTField)
    assert BTField("2.0.0") is BTField._version
    assert BTField._version.value == testing.bt_version()
    assert all(isinstance(m.value, int) for m in BTField if m is not BTField._version)
    assert [m.name for m in BTBeamField][7] == "board_"


def test_flag_sets_combine_and_print_like_the_core():
    assert BTSetOption.UI_IMPORT is BTSetOption.VALIDATE
    assert BTSetOption.UI_EXPORT == BTSetOption.VALIDATE | BTSetOption.GET
    assert BTSetOption.UI_SAVE_UPSERT == 5 and BTSetOption.UI_SAVE_REPLACE == 13
    assert BTModeFilter.ALL & BTModeFilter.RX
    for value in (0, 1, 2, 3, 5, 6, 10, 13, 15):
        member, text = testing.echo_option(value)
        assert member is BTSetOption(value) or member == BTSetOption(value)
        assert str(BTSetOption(value)) == text
    assert str(BTModeFilter.ALL) == "BTModeFilter.ALL"


def test_module_names():
    assert M.POL is POLARIZATION
    for name in ("RetType", "_Utils", "RFMode", "BeamType", "RetCode", "CellRFMode"):
        assert hasattr(M, name)
    assert M.RetType is RetType


# --- RetType ----------------------------------------------------------------------------------


def test_ret_type_construction_forms():
    def fields(r):
        return (r.RetCode, r.RetMsg, r.RetData)

    assert fields(RetType()) == (RetCode.OK, "", None)
    assert fields(RetType(RetCode.ERROR_BF_BEAM, "BeamTable is not ready")) == (
        RetCode.ERROR_BF_BEAM, "BeamTable is not ready", None)
    assert fields(RetType(RetCode.WARNING, msg="w")) == (RetCode.WARNING, "w", None)
    assert fields(RetType(msg="m")) == (RetCode.OK, "m", None)
    assert fields(RetType(data={"a": 1})) == (RetCode.OK, "", {"a": 1})
    r = RetType()
    r.RetCode, r.RetMsg, r.RetData = RetCode.ERROR, "x", [1]
    assert r == RetType(RetCode.ERROR, "x", [1])
    assert r != RetType(RetCode.ERROR, "x", [2])


@pytest.mark.parametrize(
    "ret",
    [
        RetType(),
        RetType(RetCode.ERROR_DB_SERVER, "DB server connection error"),
        RetType(data={"TX": [1.0, -2.5, 1e-05, 1e16], "s": "it's \"q\"", "n": None,
                      "b": [True, False], "u": "\u00b0C\n"}),
        RetType(RetCode.WARNING, "x", ["a", {"k": 3}]),
    ],
)
def test_ret_type_prints_like_the_core_and_round_trips(ret):
    assert repr(ret) == str(ret) == testing.ret_text(ret)
    back = testing.echo_ret(ret)
    assert type(back) is RetType
    assert back == ret
    assert back.RetCode is ret.RetCode


def test_ret_type_load_accepts_look_alikes_and_refuses_others():
    class LookAlike:
        RetCode = -200
        RetMsg = "m"
        RetData = (1, 2)

    assert testing.echo_ret(LookAlike()) == RetType(RetCode.ERROR_BF_BEAM, "m", [1, 2])
    LookAlike.RetCode = 12345
    with pytest.raises(ValueError, match="12345 is not a valid RetCode"):
        testing.echo_ret(LookAlike())
    with pytest.raises(TypeError):
        testing.echo_ret(None)
    with pytest.raises(TypeError):
        testing.echo_ret(RetType(data={1, 2}))


# --- value conversion -------------------------------------------------------------------------


def test_values_round_trip_with_order_nesting_and_number_kinds():
    value = {"z": 1, "a": 1.0, "m": {"y": [1, 2.5, None, True, "t"], "b": {}}, "e": [],
             "big": 2**63, "low": -2**63, "uni": "\u4e2d\u6587\u00b0"}
    back = testing.echo(value)
    assert back == value
    assert list(back) == ["z", "a", "m", "e", "big", "low", "uni"]
    assert list(back["m"]) == ["y", "b"]
    assert type(back["z"]) is int and type(back["a"]) is float
    assert back["m"]["y"][3] is True
    assert testing.echo(True) is True and type(testing.echo(1)) is int


def test_values_accept_tuples_enum_members_and_subclasses():
    od = collections.OrderedDict([("a", 1), ("b", 2)])
    od.move_to_end("a")
    assert list(testing.echo(od)) == ["b", "a"]
    assert testing.echo((1, (2, 3))) == [1, [2, 3]]
    assert testing.echo({"m": RFMode.RX, "v": BTField._version, "f": BTSetOption.GET | BTSetOption.SAVE}) == {
        "m": 1, "v": "2.0.0", "f": 6}
    assert type(testing.echo(BTSetOption.SAVE)) is int

    class Text(str):
        pass

    assert testing.echo({Text("k"): Text("v")}) == {"k": "v"}


@pytest.mark.parametrize(
    "bad",
    [{1: "int key"}, {"a": {2, 3}}, object(), b"bytes", [1, [2, object()]], 2**64, -2**63 - 1,
     1j],
)
def test_values_without_a_value_form_raise_type_error(bad):
    with pytest.raises(TypeError):
        testing.echo(bad)


def test_value_conversion_refuses_unsafe_input():
    looped = []
    looped.append(looped)
    with pytest.raises(RecursionError):
        testing.echo(looped)
    with pytest.raises(UnicodeEncodeError):
        testing.echo("\udcff")


def test_containers_changed_while_converting_are_read_safely():
    victim = [0] * 10

    class Shrinking(enum.Enum):
        A = 1

        @property
        def value(self):
            victim.clear()
            return 5

    victim.insert(0, Shrinking.A)
    assert testing.echo(victim) == [5]


# --- enumeration arguments --------------------------------------------------------------------


def test_mode_variant_resolves_each_kind():
    assert testing.echo_mode(RFMode.RX) == ("RFMode", RFMode.RX)
    assert testing.echo_mode(CellRFMode.STANDBY) == ("CellRFMode", CellRFMode.STANDBY)
    assert testing.echo_mode(CellRFMode.TX)[1] is CellRFMode.TX
    assert testing.echo_mode(1) == ("int", 1)
    assert testing.echo_mode(None) == ("none", None)


def test_enum_arguments_convert_ints_by_value_only():
    assert testing.echo_rfmode(1) is RFMode.RX
    assert testing.echo_rfmode(RFMode.TX) is RFMode.TX
    with pytest.raises(ValueError, match="^7 is not a valid RFMode$"):
        testing.echo_rfmode(7)
    # A member of the other mode enumeration stands for its value, as an int does.
    assert testing.echo_rfmode(CellRFMode.RX) is RFMode.RX
    with pytest.raises(ValueError, match="^2 is not a valid RFMode$"):
        testing.echo_rfmode(CellRFMode.STANDBY)
    for other in ("TX", 1.0, BTModeFilter.TX):
        with pytest.raises(TypeError):
            testing.echo_rfmode(other)
    assert testing.echo_field(BTField.SN) is BTField.SN
    with pytest.raises(TypeError):
        testing.echo_field(BTField._version)
    with pytest.raises(ValueError):
        testing.echo_option(16)


# --- callbacks --------------------------------------------------------------------------------


def test_keyword_callback_gets_payload_as_keywords():
    seen = {}

    def save(**kwargs):
        seen.update(kwargs)
        return RetType(data="ok")

    assert testing.call_kw(save, {"sn": "D1", "table": {"a": [1, 2.0]}}) == RetType(data="ok")
    assert seen == {"sn": "D1", "table": {"a": [1, 2.0]}}
    assert testing.call_kw(None, {}) is None
    with pytest.raises(TypeError, match="instead of a RetType"):
        testing.call_kw(lambda **kw: "not an envelope", {})
    with pytest.raises(TypeError):
        testing.call_kw(save, [1])
    with pytest.raises(ZeroDivisionError):
        testing.call_kw(lambda **kw: 1 / 0, {})


def test_positional_callbacks_convert_arguments_and_answers():
    calls = []

    def check(mode, gain):
        calls.append((mode, gain))
        return RetType(data=[gain[0] * 2])

    assert testing.call_check(check, 0, [1.5]).RetData == [3.0]
    assert calls == [(RFMode.TX, [1.5])]
    assert testing.call_layout(lambda: (2, 4, 4)) == [2, 4, 4]
    with pytest.raises(TypeError):
        testing.call_layout(lambda: {2, 4})


# --- errors -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("TypeError", TypeError),
        ("IndexError", IndexError),
        ("ValueError", ValueError),
        ("UnicodeError", UnicodeError),
        ("OSError", OSError),
        ("LoadError", ImportError),
        ("Error", RuntimeError),
        ("json_type", TypeError),
        ("json_index", IndexError),
        ("json_parse", ValueError),
    ],
)
def test_core_failures_map_to_python_exceptions(kind, expected):
    with pytest.raises(expected) as info:
        testing.raise_error(kind, "{bad")
    assert type(info.value) is expected or kind.startswith("json")


def test_missing_keys_raise_key_error_with_the_key():
    for kind in ("KeyError", "json_key"):
        with pytest.raises(KeyError) as info:
            testing.raise_error(kind, "FREQ")
        assert info.value.args == ("FREQ",)


def test_vln_table_db_error_carries_its_envelope():
    err = VLNTableDBError(RetCode.ERROR_DB_SERVER, "DB server connection error")
    assert isinstance(err, Exception)
    assert err.ret == RetType(RetCode.ERROR_DB_SERVER, "DB server connection error")
    assert str(err) == "DB server connection error"


def test_default_db_queryer_reports_no_server(files_dir, monkeypatch):
    # No table database in the data directory yet.
    monkeypatch.delenv("ARVCORE_TABLE_DB", raising=False)
    answer = DBQueryer("calibration").queryDB({"sn": "S", "frequency": 28},
                                               queryCmd="getFreqList")
    assert isinstance(answer, str) and "DB server connection error" in answer


# --- data directory ---------------------------------------------------------------------------


def test_files_dir_agrees_with_the_core(tmp_path, monkeypatch):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path / "data"))
    assert _Utils._get_files_dir() == testing.files_dir() == str(tmp_path / "data")
    monkeypatch.chdir(tmp_path)
    for unset in (lambda: monkeypatch.delenv("ARVCORE_FILES_DIR"),
                  lambda: monkeypatch.setenv("ARVCORE_FILES_DIR", "")):
        unset()
        assert _Utils._get_files_dir() == testing.files_dir() == os.path.join(str(tmp_path), "files")


def test_files_dir_fixture(files_dir):
    assert _Utils._get_files_dir() == str(files_dir) and files_dir.is_dir()


# --- logging bridge ---------------------------------------------------------------------------


class Counted:
    """Counts how often the core formats it."""

    def __init__(self):
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return "<counted>"


@pytest.fixture
def levels():
    """Puts back the levels a test changes on the module's loggers and the root logger."""
    names = MODULE_LOGGERS + ("",)
    saved = {n: logging.getLogger(n).level for n in names}
    yield
    for n, level in saved.items():
        logging.getLogger(n).setLevel(level)


def test_records_reach_python_logging_unchanged(arvcore_logs):
    testing.log("CaliTbl", logging.DEBUG, "parse %s of 100% done")
    testing.log("TblDB", logging.WARNING, "warn")
    [debug, warn] = arvcore_logs.records
    assert (debug.name, debug.levelno, debug.getMessage()) == (
        "CaliTbl", logging.DEBUG, "parse %s of 100% done")
    assert (warn.name, warn.levelname) == ("TblDB", "WARNING")
    # Attributed to the Python code that called into the core.
    assert debug.pathname == __file__ and debug.funcName == "test_records_reach_python_logging_unchanged"


class NotAnException(Exception):
    pass


def failing_check(failure):
    def check(mode, db, theta, phi, _):
        raise failure
    return check


@pytest.mark.parametrize("failure, kind, text", [
    # The core's own failure, and Python failures raised by a device function it called.
    (None, OSError, "a web-mode beam table has no file; load it through a callback"),
    (ZeroDivisionError("division by zero"), ZeroDivisionError, "division by zero"),
    (RuntimeError("boom"), RuntimeError, "boom"),
    (NotAnException("x"), RuntimeError, "NotAnException: x"),
])
def test_exception_records_carry_the_failure(arvcore_logs, tmp_path, monkeypatch, failure, kind,
                                             text):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    m = M.BeamPatternTableManager("SN7", 9, 8, M.fake_rf_layout,
                                  (failing_check(failure), M.fake_ic_check), failure is None)
    m._updateFreq(28, {"TX": [-5, 20], "RX": [-8, 15]}, [[[0, 10]] * 4] * 2, [[3, 4, 5, 6]] * 2)
    m._load(28)  # a web-mode manager has no file to load
    if failure is not None:
        m.setBeamPattern(RFMode.RX, 1, BeamType.BEAM, {"db": 1.0, "theta": 0, "phi": 0}, save=False)
    [record] = [r for r in arvcore_logs.records if r.exc_info]
    assert record.levelno == logging.ERROR and record.name == "BeamTbl"
    # A Python failure's text goes on with its traceback.
    assert record.exc_info[0] is kind and str(record.exc_info[1]).startswith(text)
    assert f"{kind.__name__}: {text}" in arvcore_logs.text


def test_levels_set_after_import_take_effect_without_formatting_disabled_records(caplog, levels):
    logger = logging.getLogger("AAKitTbl")
    counted = Counted()

    logger.setLevel(logging.WARNING)
    testing.log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 0 and not caplog.records

    logger.setLevel(logging.INFO)
    testing.log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 1 and caplog.records[-1].getMessage() == "info <counted>"

    logging.disable(logging.INFO)
    testing.log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 1 and len(caplog.records) == 1
    logging.disable(logging.NOTSET)

    # A parent's level applies to loggers left at NOTSET.
    logger.setLevel(logging.NOTSET)
    logging.getLogger().setLevel(logging.ERROR)
    testing.log("AAKitTbl", logging.WARNING, "warn", counted)
    assert counted.calls == 1 and len(caplog.records) == 1
    logging.getLogger().setLevel(logging.DEBUG)
    testing.log("AAKitTbl", logging.DEBUG, "debug", counted)
    assert counted.calls == 2 and caplog.records[-1].levelno == logging.DEBUG


def test_filters_and_propagation_are_honoured(arvcore_logs):
    logger = logging.getLogger("UDDeltaTbl")
    drop = lambda record: record.getMessage() != "drop me"  # noqa: E731
    logger.addFilter(drop)
    try:
        testing.log("UDDeltaTbl", logging.INFO, "drop me")
        testing.log("UDDeltaTbl", logging.INFO, "keep me")
    finally:
        logger.removeFilter(drop)
    assert [r.getMessage() for r in arvcore_logs.records] == ["keep me"]
    logger.propagate = False
    try:
        testing.log("UDDeltaTbl", logging.INFO, "not propagated")
    finally:
        logger.propagate = True
    assert len(arvcore_logs.records) == 1


def test_a_failing_handler_does_not_break_the_caller(arvcore_logs, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def explode(record):
        raise RuntimeError("filter failed")

    logger = logging.getLogger("TblDB")
    logger.addFilter(explode)
    try:
        testing.log("TblDB", logging.ERROR, "still fine")
    finally:
        logger.removeFilter(explode)
    assert len(unraisable) == 1 and isinstance(unraisable[0].exc_value, RuntimeError)


def test_configuring_logging_after_import_keeps_the_module_loggers():
    # fileConfig/dictConfig disable the loggers that exist when they run, so importing the
    # package must not create them.
    script = textwrap.dedent("""
        import logging, logging.config
        import arvcore.vlndev.VLNTableManager
        from arvcore import _testing as testing
        assert "CaliTbl" not in logging.Logger.manager.loggerDict
        logging.config.dictConfig({"version": 1, "root": {"level": "DEBUG", "handlers": ["out"]},
            "handlers": {"out": {"class": "logging.StreamHandler", "stream": "ext://sys.stdout"}}})
        testing.log("CaliTbl", logging.DEBUG, "reached the host")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "reached the host\n"
