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
from arvcore import _arvcore as core
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
    assert BTField._version.value == core._bt_version()
    assert all(isinstance(m.value, int) for m in BTField if m is not BTField._version)
    assert [m.name for m in BTBeamField][7] == "board_"


def test_flag_sets_combine_and_print_like_the_core():
    assert BTSetOption.UI_IMPORT is BTSetOption.VALIDATE
    assert BTSetOption.UI_EXPORT == BTSetOption.VALIDATE | BTSetOption.GET
    assert BTSetOption.UI_SAVE_UPSERT == 5 and BTSetOption.UI_SAVE_REPLACE == 13
    assert BTModeFilter.ALL & BTModeFilter.RX
    for value in (0, 1, 2, 3, 5, 6, 10, 13, 15):
        member, text = core._echo_option(value)
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
    assert repr(ret) == str(ret) == core._ret_text(ret)
    back = core._echo_ret(ret)
    assert type(back) is RetType
    assert back == ret
    assert back.RetCode is ret.RetCode


def test_ret_type_load_accepts_look_alikes_and_refuses_others():
    class LookAlike:
        RetCode = -200
        RetMsg = "m"
        RetData = (1, 2)

    assert core._echo_ret(LookAlike()) == RetType(RetCode.ERROR_BF_BEAM, "m", [1, 2])
    LookAlike.RetCode = 12345
    with pytest.raises(ValueError, match="12345 is not a valid RetCode"):
        core._echo_ret(LookAlike())
    with pytest.raises(TypeError):
        core._echo_ret(None)
    with pytest.raises(TypeError):
        core._echo_ret(RetType(data={1, 2}))


# --- value conversion -------------------------------------------------------------------------


def test_values_round_trip_with_order_nesting_and_number_kinds():
    value = {"z": 1, "a": 1.0, "m": {"y": [1, 2.5, None, True, "t"], "b": {}}, "e": [],
             "big": 2**63, "low": -2**63, "uni": "\u4e2d\u6587\u00b0"}
    back = core._echo(value)
    assert back == value
    assert list(back) == ["z", "a", "m", "e", "big", "low", "uni"]
    assert list(back["m"]) == ["y", "b"]
    assert type(back["z"]) is int and type(back["a"]) is float
    assert back["m"]["y"][3] is True
    assert core._echo(True) is True and type(core._echo(1)) is int


def test_values_accept_tuples_enum_members_and_subclasses():
    od = collections.OrderedDict([("a", 1), ("b", 2)])
    od.move_to_end("a")
    assert list(core._echo(od)) == ["b", "a"]
    assert core._echo((1, (2, 3))) == [1, [2, 3]]
    assert core._echo({"m": RFMode.RX, "v": BTField._version, "f": BTSetOption.GET | BTSetOption.SAVE}) == {
        "m": 1, "v": "2.0.0", "f": 6}
    assert type(core._echo(BTSetOption.SAVE)) is int

    class Text(str):
        pass

    assert core._echo({Text("k"): Text("v")}) == {"k": "v"}


@pytest.mark.parametrize(
    "bad",
    [{1: "int key"}, {"a": {2, 3}}, object(), b"bytes", [1, [2, object()]], 2**64, -2**63 - 1,
     1j],
)
def test_values_without_a_value_form_raise_type_error(bad):
    with pytest.raises(TypeError):
        core._echo(bad)


def test_value_conversion_refuses_unsafe_input():
    looped = []
    looped.append(looped)
    with pytest.raises(RecursionError):
        core._echo(looped)
    with pytest.raises(UnicodeEncodeError):
        core._echo("\udcff")


def test_containers_changed_while_converting_are_read_safely():
    victim = [0] * 10

    class Shrinking(enum.Enum):
        A = 1

        @property
        def value(self):
            victim.clear()
            return 5

    victim.insert(0, Shrinking.A)
    assert core._echo(victim) == [5]


# --- enumeration arguments --------------------------------------------------------------------


def test_mode_variant_resolves_each_kind():
    assert core._echo_mode(RFMode.RX) == ("RFMode", RFMode.RX)
    assert core._echo_mode(CellRFMode.STANDBY) == ("CellRFMode", CellRFMode.STANDBY)
    assert core._echo_mode(CellRFMode.TX)[1] is CellRFMode.TX
    assert core._echo_mode(1) == ("int", 1)
    assert core._echo_mode(None) == ("none", None)


def test_enum_arguments_convert_ints_by_value_only():
    assert core._echo_rfmode(1) is RFMode.RX
    assert core._echo_rfmode(RFMode.TX) is RFMode.TX
    with pytest.raises(ValueError, match="^7 is not a valid RFMode$"):
        core._echo_rfmode(7)
    # A member of the other mode enumeration stands for its value, as an int does.
    assert core._echo_rfmode(CellRFMode.RX) is RFMode.RX
    with pytest.raises(ValueError, match="^2 is not a valid RFMode$"):
        core._echo_rfmode(CellRFMode.STANDBY)
    for other in ("TX", 1.0, BTModeFilter.TX):
        with pytest.raises(TypeError):
            core._echo_rfmode(other)
    assert core._echo_field(BTField.SN) is BTField.SN
    with pytest.raises(TypeError):
        core._echo_field(BTField._version)
    with pytest.raises(ValueError):
        core._echo_option(16)


# --- callbacks --------------------------------------------------------------------------------


def test_keyword_callback_gets_payload_as_keywords():
    seen = {}

    def save(**kwargs):
        seen.update(kwargs)
        return RetType(data="ok")

    assert core._call_kw(save, {"sn": "D1", "table": {"a": [1, 2.0]}}) == RetType(data="ok")
    assert seen == {"sn": "D1", "table": {"a": [1, 2.0]}}
    assert core._call_kw(None, {}) is None
    with pytest.raises(TypeError, match="instead of a RetType"):
        core._call_kw(lambda **kw: "not an envelope", {})
    with pytest.raises(TypeError):
        core._call_kw(save, [1])
    with pytest.raises(ZeroDivisionError):
        core._call_kw(lambda **kw: 1 / 0, {})


def test_positional_callbacks_convert_arguments_and_answers():
    calls = []

    def check(mode, gain):
        calls.append((mode, gain))
        return RetType(data=[gain[0] * 2])

    assert core._call_check(check, 0, [1.5]).RetData == [3.0]
    assert calls == [(RFMode.TX, [1.5])]
    assert core._call_layout(lambda: (2, 4, 4)) == [2, 4, 4]
    with pytest.raises(TypeError):
        core._call_layout(lambda: {2, 4})


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
        core._raise(kind, "{bad")
    assert type(info.value) is expected or kind.startswith("json")


def test_missing_keys_raise_key_error_with_the_key():
    for kind in ("KeyError", "json_key"):
        with pytest.raises(KeyError) as info:
            core._raise(kind, "FREQ")
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
    assert _Utils._get_files_dir() == core._files_dir() == str(tmp_path / "data")
    monkeypatch.chdir(tmp_path)
    for unset in (lambda: monkeypatch.delenv("ARVCORE_FILES_DIR"),
                  lambda: monkeypatch.setenv("ARVCORE_FILES_DIR", "")):
        unset()
        assert _Utils._get_files_dir() == core._files_dir() == os.path.join(str(tmp_path), "files")


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
    core._log("CaliTbl", logging.DEBUG, "parse %s of 100% done")
    core._log("TblDB", logging.WARNING, "warn")
    [debug, warn] = arvcore_logs.records
    assert (debug.name, debug.levelno, debug.getMessage()) == (
        "CaliTbl", logging.DEBUG, "parse %s of 100% done")
    assert (warn.name, warn.levelname) == ("TblDB", "WARNING")
    # Attributed to the Python code that called into the core.
    assert debug.pathname == __file__ and debug.funcName == "test_records_reach_python_logging_unchanged"


def test_exception_records_carry_the_failure(arvcore_logs):
    core._log_exception("BeamTbl", "BeamTable loading exception", "KeyError", "FREQ")
    core._log_exception("BeamTbl", "other", "Error", "boom")
    first, second = arvcore_logs.records
    assert first.levelno == logging.ERROR and first.getMessage() == "BeamTable loading exception"
    assert first.exc_info[0] is KeyError and str(first.exc_info[1]) == "'FREQ'"
    assert "KeyError: 'FREQ'" in arvcore_logs.text
    assert second.exc_info[0] is RuntimeError and str(second.exc_info[1]) == "boom"


def test_exception_records_of_python_failures_keep_their_type(arvcore_logs):
    core._log_call_failure("CaliTbl", "parse exception", lambda: 1 / 0)
    core._log_exception("CaliTbl", "odd", "Error", "NotAnException: x")
    first, second = arvcore_logs.records
    assert first.exc_info[0] is ZeroDivisionError
    assert "division by zero" in str(first.exc_info[1])
    assert second.exc_info[0] is RuntimeError and str(second.exc_info[1]) == "NotAnException: x"


def test_levels_set_after_import_take_effect_without_formatting_disabled_records(caplog, levels):
    logger = logging.getLogger("AAKitTbl")
    counted = Counted()

    logger.setLevel(logging.WARNING)
    core._log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 0 and not caplog.records

    logger.setLevel(logging.INFO)
    core._log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 1 and caplog.records[-1].getMessage() == "info <counted>"

    logging.disable(logging.INFO)
    core._log("AAKitTbl", logging.INFO, "info", counted)
    assert counted.calls == 1 and len(caplog.records) == 1
    logging.disable(logging.NOTSET)

    # A parent's level applies to loggers left at NOTSET.
    logger.setLevel(logging.NOTSET)
    logging.getLogger().setLevel(logging.ERROR)
    core._log("AAKitTbl", logging.WARNING, "warn", counted)
    assert counted.calls == 1 and len(caplog.records) == 1
    logging.getLogger().setLevel(logging.DEBUG)
    core._log("AAKitTbl", logging.DEBUG, "debug", counted)
    assert counted.calls == 2 and caplog.records[-1].levelno == logging.DEBUG


def test_filters_and_propagation_are_honoured(arvcore_logs):
    logger = logging.getLogger("UDDeltaTbl")
    drop = lambda record: record.getMessage() != "drop me"  # noqa: E731
    logger.addFilter(drop)
    try:
        core._log("UDDeltaTbl", logging.INFO, "drop me")
        core._log("UDDeltaTbl", logging.INFO, "keep me")
    finally:
        logger.removeFilter(drop)
    assert [r.getMessage() for r in arvcore_logs.records] == ["keep me"]
    logger.propagate = False
    try:
        core._log("UDDeltaTbl", logging.INFO, "not propagated")
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
        core._log("TblDB", logging.ERROR, "still fine")
    finally:
        logger.removeFilter(explode)
    assert len(unraisable) == 1 and isinstance(unraisable[0].exc_value, RuntimeError)


def test_configuring_logging_after_import_keeps_the_module_loggers():
    # fileConfig/dictConfig disable the loggers that exist when they run, so importing the
    # package must not create them.
    script = textwrap.dedent("""
        import logging, logging.config
        import arvcore.vlndev.VLNTableManager
        from arvcore import _arvcore as core
        assert "CaliTbl" not in logging.Logger.manager.loggerDict
        logging.config.dictConfig({"version": 1, "root": {"level": "DEBUG", "handlers": ["out"]},
            "handlers": {"out": {"class": "logging.StreamHandler", "stream": "ext://sys.stdout"}}})
        core._log("CaliTbl", logging.DEBUG, "reached the host")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "reached the host\n"
