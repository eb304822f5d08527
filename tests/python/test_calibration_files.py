"""CalibrationTableManager construction, discovery, parse and JSON import from Python."""

import collections
import io
import json
import logging
import os
import pathlib
import subprocess
import traceback

import pytest

from arvcore.VLNPublic import RetCode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import CalibrationTableManager

SN = "D2230E013-28"


def table_csv(sn=SN, fcenter="28", end=True):
    rows = [
        "VER,3.0.0", "REALVER,3.0.0", f"SN,{sn}", f"FCENTER,{fcenter}", "DR,-5,10,-10,-5",
        "OFFSET_TX,1,2,3,4", "OFFSET_RX,5,6,7,8",
        "COMDR,TX,x,1,y,-6.5,10.0,,", "ELEDR,TX,x,1,y,7.5", "COMDR,RX,x,1,y,-4,8",
        "TEMPADC,x,1,y,2048", "TC,x,1,y,a,b,c,d",
        "COMSTEPDR,TX,x,1,y,z,3,w,-6.0,v,2.5",
        "DATA,TX,m,1,b,1,c,2,d,e,3.5,g,45,p,3,s,100,200,u,0.5,-0.25",
    ]
    if end:
        rows.append("END")
    return "\n".join(rows) + "\n"


def layout():
    return (1, 1, 4)


def test_local_set_up_search_and_parse(files_dir, arvcore_logs):
    (files_dir / f"{SN}_28GHz.csv").write_text(table_csv())
    (files_dir / f"{SN}_27.5GHz.csv").write_text(table_csv(fcenter="27.5"))
    (files_dir / f"{SN}0_29GHz.csv").write_text("")
    (files_dir / f"{SN}_newGHz.csv").write_text("")

    mgr = CalibrationTableManager(SN, 28, layout)
    assert mgr.sn == SN
    assert mgr._freq_list == [27.5, 28.0]
    assert all(type(f) is float for f in mgr._freq_list)
    assert mgr.defaultDir == pathlib.Path(files_dir)
    assert mgr.path_cali == ""
    assert mgr._CaliTable == {}
    assert (mgr._num_board, mgr._num_ic_per_board, mgr._num_channel_per_ic) == (1, 1, 4)
    assert mgr._cali_table_ver_limit == "2.0.0"
    assert any(r.levelno == logging.WARNING and f"{SN}_newGHz.csv" in r.getMessage()
               for r in arvcore_logs.records)
    assert mgr._searchCaliFile() == str(files_dir / f"{SN}_28GHz.csv")
    assert mgr._searchCaliFile(extension=".json") is False
    assert mgr._freq_list == []

    ret = mgr.parse(28)
    assert ret == RetType()
    assert mgr.path_cali == str(files_dir / f"{SN}_28GHz.csv")
    table = mgr._CaliTable
    assert list(table) == ["VER", "REALVER", "SN", "FCENTER", "DR", "BOARD_1"]
    tx = table["BOARD_1"]["TX"]
    assert tx["OFFSET_CHIP_1"] == {"CHANNEL_1": 1, "CHANNEL_2": 2, "CHANNEL_3": 3, "CHANNEL_4": 4}
    assert tx["DATA_CHIP_1"] == {"COM_3": {"2_35_45": [100, 200, 0.5, -0.25]}}
    assert [type(x) for x in tx["DATA_CHIP_1"]["COM_3"]["2_35_45"]] == [int, int, float, float]
    assert mgr.queryCaliTableVer() == RetType(data="3.0.0")
    assert mgr.checkCaliTableLocation() == RetType(data=True)
    messages = [(r.name, r.levelno, r.getMessage()) for r in arvcore_logs.records]
    assert ("CaliTbl", logging.INFO, f"Cali file path: {files_dir / (SN + '_28GHz.csv')}") in messages
    assert ("CaliTbl", logging.DEBUG, "TXmode DR: {-10.000000~-5.000000}") in messages

    # A file of 27.5 GHz, asked for as a float.
    assert mgr.parse(27.5) == RetType()
    assert mgr._CaliTable["FCENTER"] == "27.5"
    assert mgr.parse(26) == RetType(RetCode.ERROR_BF_CALI_PATH, "Can not find file for Cali table")


def test_parse_from_stream_and_export(files_dir, arvcore_logs, monkeypatch):
    mgr = CalibrationTableManager(SN, 28, layout, fetchCsvFromFile=False)
    assert mgr.defaultDir is None
    stream = io.StringIO(table_csv())
    assert mgr.parse(99, fileObject=stream, exportToJson=True) == RetType()
    assert not stream.closed
    assert stream.read() == ""
    assert mgr._CaliTable["SN"] == SN
    assert any(r.levelno == logging.WARNING and "JSON export skipped" in r.getMessage()
               for r in arvcore_logs.records)
    assert list(files_dir.iterdir()) == []
    with pytest.raises(RuntimeError):
        mgr._searchCaliFile()

    # Export next to the file, then load it back.
    csvdir = files_dir / "csvdir"
    csvdir.mkdir()
    (csvdir / f"{SN}_28GHz.csv").write_text(table_csv())
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(csvdir))
    mgr = CalibrationTableManager(SN, 28, layout)
    assert mgr.parseRawJson() == RetType(RetCode.ERROR_BF_CALI_PARSE, "cali file error")

    mgr2 = CalibrationTableManager(SN, 28.0, layout)
    assert mgr2.parse(28, exportToJson=True) == RetType()
    exported = csvdir / f"{SN}_28GHz.json"
    text = exported.read_text(encoding="utf-8")
    assert json.loads(text) == mgr2._CaliTable
    assert text == json.dumps(mgr2._CaliTable, indent=4, ensure_ascii=False)
    assert sorted(p.name for p in csvdir.iterdir()) == [f"{SN}_28GHz.csv", f"{SN}_28GHz.json"]


def test_parse_raw_json_prints_table(files_dir, capsys):
    (files_dir / f"{SN}_28GHz.json").write_text(json.dumps({"VER": "3.0.0", "FCENTER": "28",
                                                            "DR": {"TX": [1.0, 2]}}))
    mgr = CalibrationTableManager(SN, 28, layout)
    assert mgr._freq_list == []
    assert mgr.parseRawJson() == RetType()
    assert mgr._CaliTable == {"VER": "3.0.0", "FCENTER": "28", "DR": {"TX": [1.0, 2]}}
    assert mgr._freq_list == [28.0]
    assert capsys.readouterr().out == str(mgr._CaliTable) + "\n"

    (files_dir / f"{SN}_28GHz.json").write_text("{")
    with pytest.raises(ValueError):
        mgr.parseRawJson()
    assert mgr._CaliTable["VER"] == "3.0.0"


def test_polar_and_layout_callable(files_dir):
    mgr = CalibrationTableManager(SN, 28, lambda: [1, 1, 4], support_polar=1)
    assert mgr._freq_list == [26.5, 27.0, 27.5, 28.0, 28.5, 29.0, 29.5]
    table = mgr._CaliTable
    assert table["FCENTER"] == 28 and type(table["FCENTER"]) is int
    assert table["BOARD_1"]["TX"]["HORIZON"] == {"OFFSET": [0, 0, 0, 0], "COMDR": [-9.5, -2.0],
                                                 "ELEDR": 7.0}
    assert mgr.getFrequencyList(force_refresh=True).RetData == mgr._freq_list
    assert mgr.queryCaliTableVer().RetData == "3.0.0"
    assert mgr.defaultDir is None

    with pytest.raises(ValueError):
        CalibrationTableManager(SN, 28, lambda: (1, 1))

    class Boom(Exception):
        pass

    def failing():
        raise Boom("no layout")

    with pytest.raises(Boom):
        CalibrationTableManager(SN, 28, failing)


def vlntable_command():
    exe = os.environ.get("ARVCORE_VLNTABLE")
    if not exe:
        # Next to the package in a build tree: build/python/arvcore -> build/tools/vlntable.
        import arvcore

        exe = str(pathlib.Path(arvcore.__file__).resolve().parents[2] / "tools" / "vlntable")
    if not os.path.exists(exe):
        pytest.skip("the vlntable command is not built")
    return exe


def test_vlntable_cali_commands(tmp_path):
    exe = vlntable_command()
    sample = pathlib.Path(__file__).resolve().parents[2] / "examples" / "files"

    def run(*args, env_dir=None):
        env = dict(os.environ)
        env.pop("ARVCORE_FILES_DIR", None)
        if env_dir is not None:
            env["ARVCORE_FILES_DIR"] = str(env_dir)
        return subprocess.run([exe, "cali", *args], capture_output=True, text=True, env=env)

    r = run("check", "--files", str(sample), SN, "28")
    assert (r.returncode, r.stdout.splitlines()[0]) == (0, "OK")
    r = run("show", SN, "27.5", env_dir=sample)
    assert r.returncode == 0
    assert "27.5, 28.0" in r.stdout and "3.0.0" in r.stdout and SN in r.stdout

    broken = tmp_path / "files"
    broken.mkdir()
    text = (sample / f"{SN}_28GHz.csv").read_text()
    (broken / f"{SN}_28GHz.csv").write_text(text.replace("END", ""))
    r = run("check", "--files", str(broken), SN, "28")
    assert r.returncode == 1
    assert r.stdout.splitlines()[0] == "ERROR_BF_CALI_PARSE: cali file is broken"
    r = run("show", "--files", str(broken), SN, "28")
    assert r.returncode == 1 and "cali file is broken" in r.stdout
    r = run("check", "--files", str(broken), SN, "29")
    assert r.returncode == 2 and "Can not find file for Cali table" in r.stdout
    r = run("check", "--layout", "4,x,4", "--files", str(broken), SN, "28")
    assert r.returncode == 2 and "--layout" in r.stderr

    (broken / f"{SN}_28GHz.csv").write_text(text)
    r = run("export", "--files", str(broken), SN, "28")
    assert r.returncode == 0
    exported = json.loads((broken / f"{SN}_28GHz.json").read_text())
    assert exported["SN"] == SN and len(exported["BOARD_4"]["RX"]["DATA_CHIP_1"]["COM_2"]) == 4 * 4 * 8


def test_unreadable_stream_is_a_parse_exception(files_dir, arvcore_logs):
    mgr = CalibrationTableManager(SN, 28, layout)
    assert mgr.parse(28, fileObject=io.StringIO(table_csv())) == RetType()
    closed = io.StringIO(table_csv())
    closed.close()

    class NotText:
        def read(self):
            return 42

    for stream in (closed, NotText()):
        ret = mgr.parse(28, fileObject=stream)
        assert ret == RetType(RetCode.ERROR_BF_CALI_PARSE, "parse exception")
        assert mgr._CaliTable == {}
    errors = [r for r in arvcore_logs.records if r.getMessage() == "parse exception"]
    assert len(errors) == 2 and "closed file" in str(errors[0].exc_text or errors[0].exc_info)


# A failure kind: the file's bytes (None: no file), the parts of its error records in order,
# and where it failed, told in the trace of the failure's record or, without one, at INFO.
FAILURES = [
    ("no file", None, ["Can not find file for Cali table"],
     f"No calibration file {SN}_28GHz.csv in "),
    ("no END", table_csv(end=False).encode(), ["cali file is broken"], "no END row after line 14"),
    ("wrong SN", table_csv(sn="X").encode(), ["Wrong SN!", "cali file is broken"],
     "_28GHz.csv: line 3: Wrong SN! The table's SN is 'X'"),
    ("bad number", table_csv().replace("u,0.5", "u,x").encode(), ["parse exception"],
     "_28GHz.csv: line 14: DATA row: MEAS gain 'x' is not a number"),
    ("second SN", (table_csv() + "SN,X\n").encode(),
     ["__updateDict exception with key:SN", "parse exception"], "line 16: SN row: a second row"),
    ("not UTF-8", table_csv().replace("u,0.5", "u,\udcff").encode("utf-8", "surrogateescape"),
     ["parse exception"], "_28GHz.csv: line 14"),
]


def test_one_error_record_per_failure(files_dir, arvcore_logs):
    path = files_dir / f"{SN}_28GHz.csv"
    for name, content, errors, place in FAILURES:
        path.unlink(missing_ok=True)
        if content is not None:
            path.write_bytes(content)
        arvcore_logs.clear()
        assert CalibrationTableManager(SN, 28, layout).parse(28).RetCode != RetCode.OK, name
        records = arvcore_logs.records
        counts = collections.Counter((r.name, r.levelno) for r in records if r.levelno >= logging.WARNING)
        assert counts == {("CaliTbl", logging.ERROR): len(errors)}, (name, counts)
        failing = [r for r in records if r.levelno == logging.ERROR]
        assert all(part in r.getMessage() for part, r in zip(errors, failing)), name
        if failing[-1].exc_info:
            exc = failing[-1].exc_info[1]
            assert place not in str(exc) and any(place in note for note in exc.__notes__), name
            assert place in "".join(traceback.format_exception(exc)), name
        else:
            assert any(r.levelno == logging.INFO and place in r.getMessage() for r in records), name


def test_table_with_data_between_other_rows(files_dir):
    # DATA rows before and between other rows, chips and steps visited again, a key repeated.
    def data(chip, com, phase, a):
        return f"DATA,TX,m,1,b,{chip},c,1,d,e,1,g,{phase},p,{com},s,{a},{a},u,{a}.5,-{a}"

    rows = table_csv(end=False).splitlines()[:10] + [
        data(2, 1, 0, 1), data(1, 2, 0, 2), "TEMPADC,x,1,y,7", data(2, 3, 5, 3),
        "COMSTEPDR,TX,x,1,y,z,3,w,-6.0,v,2.5", data(2, 1, 5, 4), data(2, 1, 0, 5), "END"]
    (files_dir / f"{SN}_28GHz.csv").write_text("\n".join(rows) + "\n")
    mgr = CalibrationTableManager(SN, 28, layout)
    assert mgr.parse(28, exportToJson=True) == RetType()
    table = mgr._CaliTable
    assert list(table["BOARD_1"]["TX"]) == [
        "OFFSET_CHIP_1", "COMDR", "ELEDR", "DATA_CHIP_2", "DATA_CHIP_1", "TEMPADC", "COMSTEPDR"]
    assert table["BOARD_1"]["TX"]["DATA_CHIP_2"] == {
        "COM_1": {"1_10_0": [5, 5, 5.5, -5.0], "1_10_5": [4, 4, 4.5, -4.0]},
        "COM_3": {"1_10_5": [3, 3, 3.5, -3.0]}}
    text = (files_dir / f"{SN}_28GHz.json").read_text(encoding="utf-8")
    assert text == json.dumps(table, indent=4, ensure_ascii=False)
    for path in (["BOARD_1"], ["BOARD_1", "TX"], ["BOARD_1", "TX", "DATA_CHIP_2"]):
        part = table
        for key in path:
            part = part[key]
        assert json.dumps(mgr._CaliTableEntry(*path)) == json.dumps(part)
