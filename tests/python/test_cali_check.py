"""Whole-table checks (`arvcore.calicheck`, `vlntable cali check`) over tables broken on
purpose, and the records a device's failed parse leaves about where it failed."""

import json
import pathlib
import re
import subprocess

import pytest

from arvcore.calicheck import check_table, errors
from arvcore.VLNPublic import RetCode
from arvcore.vlndev.VLNTableManager import CalibrationTableManager, fake_rf_layout
from test_beam_commands import vlntable_command

SN = "D2230E013-28"
SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "files" / f"{SN}_28GHz.csv"


def drop(prefix):
    return lambda lines: [l for l in lines if not l.startswith(prefix)]


def drop_line(text):
    return lambda lines: [l for l in lines if l != text]


def replace(old, new, count=1):
    def edit(lines):
        out, n = [], 0
        for l in lines:
            if n < count and old in l:
                l, n = l.replace(old, new), n + 1
            out.append(l)
        return out
    return edit


def add(row, before="END"):
    return lambda lines: [x for l in lines for x in ([row, l] if l == before else [l])]


ONE_ROW = "DATA,TX,BOARD,1,CHIP,1,CH,1,GAIN,dB,-8.0,PHASE,45,COM,1,REG,0,8,MEAS,-8.059,43.55"

# (name, edit of the sample's lines, code of the device's parse, expected problems: severity,
# message part, fields)
CASES = [
    ("sound", lambda l: l, "OK", []),
    ("byte-order mark", lambda l: ["\ufeff" + l[0]] + l[1:], "OK", []),
    ("version with v", replace("VER,3.0.0", "VER, v3.0.0 "), "OK", []),
    ("TX board 2 channel 3", drop("DATA,TX,BOARD,2,CHIP,1,CH,3,"), "OK",
     [("error", "no DATA rows for TX board 2 chip 1 channel 3", {"board": 2, "channel": 3})]),
    ("RX step", lambda l: [x for x in l if not (x.startswith("DATA,RX,BOARD,1,CHIP,1,CH,1,")
                                                and ",COM,2," in x)], "OK",
     [("error", "no DATA rows for RX board 1 chip 1 channel 1 COM_2", {"step": "COM_2"})]),
    ("one DATA row", drop_line(ONE_ROW), "OK",
     [("error", "no DATA row for TX board 1 chip 1 channel 1 COM_1 gain -8.0 dB phase 45",
       {"gain": -8.0, "phase": 45, "mode": "TX"})]),
    ("COMDR row", drop("COMDR,RX,BOARD,3,"), "OK",
     [("error", "no COMDR row for RX section 3", {"row": "COMDR", "board": 3})]),
    ("second COMDR", add("COMDR,TX,BOARD,1,RANGE,-9.0,4.0,,"), "ERROR_BF_CALI_PARSE",
     [("error", "second COMDR row for TX section 1", {"row": "COMDR"})]),
    ("board beyond layout", add(ONE_ROW.replace("BOARD,1", "BOARD,5")), "ERROR_BF_CALI_PARSE",
     [("error", "board 5 is beyond the layout's 4 boards", {"row": "DATA"}),
      ("error", "describe the layout 5,1,4", {})]),
    ("not a number", replace(ONE_ROW, ONE_ROW.replace("-8.059", "abc")), "ERROR_BF_CALI_PARSE",
     [("error", "MEAS gain 'abc' is not a number", {"row": "DATA"})]),
    ("wrong SN", replace("SN,D2230E013-28", "SN,D2230E013-29"), "ERROR_BF_CALI_PARSE",
     [("error", "SN 'D2230E013-29' differs from the device's serial number 'D2230E013-28'",
       {"line": 3})]),
    ("version without number", replace("VER,3.0.0", "VER,abc"), "ERROR_BF_CALI_PARSE",
     [("error", "VER 'abc' holds no version number", {"line": 1})]),
    ("no END", drop("END"), "ERROR_BF_CALI_PARSE", [("error", "no END row", {})]),
    ("short OFFSET", replace("OFFSET_TX,-3,2,", "OFFSET_TX,"), "ERROR_BF_CALI_PARSE",
     [("error", "OFFSET_TX holds 14 offsets, the layout 4,1,4 needs 16", {"mode": "TX"})]),
    ("TEMPADC and TC", drop("TC,CODE,2,"), "OK", [("error", "no TC row for section 2", {})]),
    ("repeated DATA key", add(ONE_ROW), "OK",
     [("warning", "a second DATA row for the same ComData key", {"channel": 1})]),
    ("unknown key", add("GAINS,1,2"), "OK", [("warning", "row key 'GAINS'", {})]),
]


@pytest.mark.parametrize("name,edit,code,expected", CASES, ids=[c[0] for c in CASES])
def test_check_finds_each_hole(tmp_path, name, edit, code, expected):
    lines = edit(SAMPLE.read_text().splitlines())
    path = tmp_path / SAMPLE.name
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    report = check_table(path, layout=(4, 1, 4))
    assert report["result"]["code"] == code
    problems = report["problems"]
    # Exactly the expected problems: a whole channel or step missing is one problem.
    assert len(problems) == len(expected), json.dumps(problems, indent=1)
    for severity, part, fields in expected:
        hits = [p for p in problems if part in p["message"] and p["severity"] == severity]
        assert hits, (part, problems)
        assert all(hits[0].get(k) == v for k, v in fields.items()), hits[0]
    # The error count decides the exit status of the command.
    r = subprocess.run([vlntable_command(), "cali", "check", str(path), "--layout", "4,1,4"],
                       capture_output=True, text=True)
    assert r.returncode == (1 if errors(report) else 0), r.stdout
    assert r.stdout.splitlines()[0].startswith(code)
    assert len([l for l in r.stdout.splitlines() if re.match("(error|warning): ", l)]) == len(problems)


def test_check_command_json_and_unreadable(tmp_path):
    exe = vlntable_command()
    r = subprocess.run([exe, "cali", "check", "--files", str(SAMPLE.parent), SN, "28", "--json"],
                       capture_output=True, text=True)
    doc = json.loads(r.stdout)
    assert r.returncode == 0 and doc["problems"] == []
    assert doc["layout"] == {"device": [4, 1, 4], "table": [4, 1, 4]}
    assert doc["result"] == {"code": "OK", "message": ""}
    # A frequency without a table: the directory searched and the frequencies that exist.
    r = subprocess.run([exe, "cali", "check", "--files", str(SAMPLE.parent), SN, "29", "--json"],
                       capture_output=True, text=True)
    doc = json.loads(r.stdout)
    assert r.returncode == 2 and doc["frequencies"] == [27.5, 28.0]
    assert str(SAMPLE.parent) in doc["problems"][0]["message"]
    r = subprocess.run([exe, "cali", "check", str(tmp_path / "none_28GHz.csv"), "--json"],
                       capture_output=True, text=True)
    assert r.returncode == 2 and json.loads(r.stdout)["problems"][0]["severity"] == "error"


@pytest.mark.parametrize("edit,record", [
    (replace(ONE_ROW, ONE_ROW.replace("-8.059", "abc")),
     r"_28GHz.csv: line \d+: DATA row: MEAS gain 'abc' is not a number"),
    (add(ONE_ROW.replace("BOARD,1", "BOARD,5")),
     r"line \d+: DATA row: board 5 is beyond the layout's 4 boards"),
    (replace("SN,D2230E013-28", "SN,X-1"),
     r"line 3: Wrong SN! The table's SN is 'X-1', the device's is 'D2230E013-28'"),
    (drop("END"), r"no END row after line \d+"),
])
def test_failed_parse_says_where(files_dir, arvcore_logs, edit, record):
    lines = edit(SAMPLE.read_text().splitlines())
    (files_dir / SAMPLE.name).write_text("\n".join(lines) + "\n")
    cali = CalibrationTableManager(SN, 28, fake_rf_layout)
    assert cali.parse(28).RetCode == RetCode.ERROR_BF_CALI_PARSE
    # Told in the record's message, or in a note on its failure.
    told = [(r, [r.getMessage(), *getattr(r.exc_info and r.exc_info[1], "__notes__", [])])
            for r in arvcore_logs.records if r.name == "CaliTbl"]
    found = [r for r, texts in told if any(re.search(record, t) for t in texts)]
    assert len(found) == 1, [r.getMessage() for r in arvcore_logs.records]
    # A frequency without a table names the directory and what exists.
    arvcore_logs.clear()
    assert cali.parse(29).RetCode == RetCode.ERROR_BF_CALI_PATH
    assert any("frequencies found for %s: [28.0]" % SN in r.getMessage()
               and str(files_dir) in r.getMessage() for r in arvcore_logs.records)


def test_bytes_not_utf8_are_named_at_their_line(files_dir, arvcore_logs):
    # Far enough into the table that the reader's first window began long before.
    lines = SAMPLE.read_bytes().split(b"\n")
    lines[1999] = lines[1999].replace(b"BOARD", b"BO\xffARD")
    path = files_dir / SAMPLE.name
    path.write_bytes(b"\n".join(lines))
    [problem] = [p for p in check_table(path, layout=(4, 1, 4))["problems"] if "utf-8" in p["message"]]
    assert problem["line"] == 2000
    arvcore_logs.clear()
    cali = CalibrationTableManager(SN, 28, fake_rf_layout)
    assert cali.parse(28).RetMsg == "parse exception"
    [record] = [r for r in arvcore_logs.records if r.exc_info]
    assert isinstance(record.exc_info[1], UnicodeError)
    assert record.exc_info[1].__notes__[0].endswith("_28GHz.csv: line 2000")


def test_diff_and_list(tmp_path):
    exe = vlntable_command()
    other = tmp_path / "b" / SAMPLE.name
    other.parent.mkdir()
    text = SAMPLE.read_text()
    other.write_text(text.replace(ONE_ROW, ONE_ROW.replace("-8.059,43.55", "-7.9,359.95"))
                     .replace("COMDR,RX,BOARD,3,", "SKIPPED,RX,BOARD,3,"))

    def diff(*args):
        r = subprocess.run([exe, "cali", "diff", str(SAMPLE), str(other), "--json", *args],
                           capture_output=True, text=True)
        return r.returncode, json.loads(r.stdout)

    code, doc = diff("--tolerance", "0.2", "--plot", str(tmp_path / "d.png"))
    assert code == 1 and not doc["equal"]
    data = doc["summary"]["DATA"]
    # Phases compare around the circle: 43.55 and 359.95 are 43.6 degrees apart.
    assert data["count"] == 1 and data["largest"] == pytest.approx(43.6)
    assert data["where"] == {"row": "DATA", "mode": "TX", "board": 1, "chip": 1, "channel": 1,
                             "step": "COM_1", "gain": -8.0, "phase": 45, "field": "meas_phase"}
    assert doc["summary"]["COMDR"] == {"count": 0, "only_a": 1, "only_b": 0, "largest": None,
                                       "where": None}
    assert (tmp_path / "d.png").stat().st_size > 0
    code, doc = diff("--tolerance", "50")
    assert code == 1 and doc["summary"]["DATA"]["count"] == 0
    r = subprocess.run([exe, "cali", "diff", str(SAMPLE), str(SAMPLE)], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.endswith(
        "equal within the tolerance: 0 dB, 0 degrees, 0 codes\n")
    # A chip whose ComData only one table has: every entry is that table's only.
    other.write_text("".join(line for line in text.splitlines(keepends=True)
                             if not line.startswith("DATA,RX,BOARD,2,")))
    code, doc = diff()
    assert code == 1 and doc["summary"]["DATA"]["only_a"] == 256

    (tmp_path / "b" / "D1_27.5GHz.csv").write_text("VER,v3.0.0\nSN,D1\nFCENTER,27.5\nCOMDR,x\n")
    (tmp_path / "b" / "notes.csv").write_text("x\n")
    r = subprocess.run([exe, "cali", "list", "--files", str(other.parent),
                        "--json"], capture_output=True, text=True)
    tables = json.loads(r.stdout)["tables"]
    assert [(t["sn"], t["frequency"], t["VER"]) for t in tables] == [
        ("D1", 27.5, "v3.0.0"), (SN, 28.0, "3.0.0")]
    r = subprocess.run([exe, "cali", "list", "--files", str(other.parent), "D1"],
                       capture_output=True, text=True)
    assert len(r.stdout.splitlines()) == 2 and "D1_27.5GHz.csv" in r.stdout
    for level, shown in (("info", True), ("warning", False)):
        r = subprocess.run([exe, "--log-level", level, "cali", "check", str(SAMPLE)],
                           capture_output=True, text=True)
        assert ("parsing done" in r.stderr) == shown, r.stderr


CHANGED_ROW = ONE_ROW.replace("-8.059,43.55", "-7.9,44.55")  # 0.159 dB, 1 degree
BOARD_4_DATA = re.compile(r"^DATA,\w+,BOARD,4,.*\n", re.M)


# (name, change of A, change of B, options, exit status, verdict, expected (row, mode, field,
# unit) of the differences, per-unit counts)
DIFF_CASES = [
    ("units apart", None, lambda t: t.replace(ONE_ROW, CHANGED_ROW),
     ["--tol-db", "0.2", "--tol-deg", "0.5"], 1, "differ beyond",
     {("DATA", "TX", "meas_phase")}, {"dB": 0, "degrees": 1, "codes": 0}),
    ("each unit its own", None, lambda t: t.replace(ONE_ROW, CHANGED_ROW),
     ["--tolerance", "0.2", "--tol-deg", "2"], 0, "equal within", set(),
     {"dB": 0, "degrees": 0, "codes": 0}),
    ("codes", None,
     lambda t: t.replace(ONE_ROW, ONE_ROW.replace("REG,0,8", "REG,0,9"))
                .replace("TC,CODE,1,VAL,10,3,1,10", "TC,CODE,1,VAL,10,3,1,12"),
     ["--tol-db", "5", "--tol-code", "1.5"], 1, "differ beyond",
     {("TC", "RX", "second_code")}, {"dB": 0, "degrees": 0, "codes": 1}),
    ("named fields", None,
     lambda t: t.replace("DR,-15.0,10.0,-12.0,8.0", "DR,-15.0,10.0,-12.0,8.5")
                .replace("COMDR,TX,BOARD,1,RANGE,-9.0,4.0", "COMDR,TX,BOARD,1,RANGE,-9.5,4.0")
                .replace("ELEDR,TX,BOARD,1,RANGE,7.5", "ELEDR,TX,BOARD,1,RANGE,7.0")
                .replace("COM,1,HIGH,-2.50,LOW,-9.50\n", "COM,1,HIGH,-2.50,LOW,-9.00\n", 1),
     ["--tolerance", "0.1"], 1, "differ beyond",
     {("DR", "TX", "high"), ("COMDR", "TX", "low"), ("ELEDR", "TX", "limit"),
      ("COMSTEPDR", "TX", "low")}, {"dB": 4, "degrees": 0, "codes": 0}),
    ("texts", lambda t: t.replace("REALVER,3.0.2", "REALVER,3.1"),
     lambda t: t.replace("REALVER,3.0.2", "REALVER,3.10"), ["--tolerance", "1"], 1,
     "differ beyond", {("REALVER", "", "")}, {"dB": 0, "degrees": 0, "codes": 0}),
    ("layouts", None, lambda t: BOARD_4_DATA.sub("", t), ["--tolerance", "1"], 1,
     "differ beyond", None, None),
]


@pytest.mark.parametrize("name,change_a,change_b,options,status,verdict,fields,units",
                         DIFF_CASES, ids=[c[0] for c in DIFF_CASES])
def test_diff_reads_right(tmp_path, name, change_a, change_b, options, status, verdict, fields,
                          units):
    text = SAMPLE.read_text()
    paths = []
    for side, change in (("a", change_a), ("b", change_b)):
        path = tmp_path / side / SAMPLE.name
        path.parent.mkdir()
        path.write_text(change(text) if change else text)
        paths.append(str(path))
    command = [vlntable_command(), "cali", "diff", *paths, *options]
    shown = subprocess.run(command, capture_output=True, text=True)
    done = subprocess.run([*command, "--json"], capture_output=True, text=True)
    assert shown.returncode == done.returncode == status, shown.stderr
    assert shown.stdout.splitlines()[-1].startswith(verdict + " the tolerance: "), shown.stdout
    doc = json.loads(done.stdout)
    assert doc["verdict"] == verdict + " the tolerance"
    given = dict(zip(options[::2], map(float, options[1::2])))
    assert doc["tolerances"] == {
        unit: given.get(option, given.get("--tolerance", 0))
        for unit, option in (("dB", "--tol-db"), ("degrees", "--tol-deg"), ("codes", "--tol-code"))}
    if fields is None:
        assert doc["layout"] == {"a": [4, 1, 4], "b": [3, 1, 4], "equal": False}
        assert shown.stdout.splitlines()[2] == "layouts differ: A 4,1,4, B 3,1,4"
        return
    assert doc["layout"]["equal"]
    assert {(d["row"], d.get("mode", ""), d.get("field", "")) for d in doc["differences"]} == fields
    assert {unit: doc["units"][unit]["count"] for unit in units} == units
    assert "[0]" not in shown.stdout and "[1]" not in shown.stdout


def test_sound_table_of_several_ics_per_board(tmp_path):
    # COMDR rows count IC sections (4 here), the ComData boards (2): no mismatch.
    import sys
    gen = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "gen_cali.py"
    subprocess.run([sys.executable, str(gen), str(tmp_path), "--layout", "2,2,8", "--com-steps",
                    "2", "--gain-step", "5", "--phase-step", "90"], check=True, capture_output=True)
    report = check_table(tmp_path / SAMPLE.name, layout=(2, 2, 8))
    assert report["problems"] == [] and report["result"]["code"] == "OK"
