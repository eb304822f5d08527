"""`vlntable ... --json`: one JSON document on standard output holding what the Python package
answers for the same table; messages and log lines only on standard error."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from arvcore.VLNPublic import RFMode
from arvcore.vlndev.VLNTableManager import (
    AAKitTableManager, BeamPatternTableManager, CalibrationTableManager,
    UDDeltaFreqTableManager, fake_check, fake_ic_check)
from test_beam_commands import vlntable_command

SN = "D2230E013-28"
ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "examples" / "files"


def run_json(files, *args, status=0):
    done = subprocess.run([vlntable_command(), *args, "--files", str(files), "--json"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == status, done.stderr
    return json.loads(done.stdout), done.stderr


@pytest.fixture(params=[(4, 1, 4), (2, 2, 8)], ids=["sample", "2x2x8"])
def table(request, tmp_path, monkeypatch):
    """(data directory, layout, parsed manager) for the sample and for a generated table."""
    layout = request.param
    if layout == (4, 1, 4):
        files = SAMPLES
    else:
        files = tmp_path
        subprocess.run([sys.executable, str(ROOT / "scripts" / "gen_cali.py"), str(files),
                        "--layout", "2,2,8", "--com-steps", "2", "--gain-step", "5",
                        "--phase-step", "90"], check=True, capture_output=True)
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(files))
    cali = CalibrationTableManager(SN, 28, lambda: layout)
    assert cali.parse(28).RetMsg == ""
    return files, layout, cali


def test_cali_show_offsets_and_comdata_round_trip(table):
    files, layout, cali = table
    lay = ["--layout", ",".join(map(str, layout))]
    doc, _ = run_json(files, "cali", "show", SN, "28", *lay)
    assert doc["result"] == {"code": "OK", "message": ""}
    assert doc["DR"] == cali.getDR().RetData
    assert doc["COMDR"] == cali.getCOMDR().RetData
    assert doc["ELEDR"] == cali.getELEDR().RetData
    assert doc["TC"] == cali._getTC()
    assert doc["frequencies"] == cali._freq_list and doc["layout"] == list(layout)
    assert [doc[k] for k in ("VER", "SN", "FCENTER")] == [cali._CaliTable[k] for k in
                                                          ("VER", "SN", "FCENTER")]
    for section, modes in doc["COMSTEPDR"].items():
        for mode, steps in modes.items():
            assert steps == cali._CaliTable[section][mode]["COMSTEPDR"]
    assert len(doc["COMSTEPDR"]) == layout[0] * layout[1] and doc["unavailable"] == {}

    doc, _ = run_json(files, "cali", "offsets", SN, "28", *lay, "--chip", str(layout[1]))
    boards = list(range(1, layout[0] + 1))
    assert doc["boards"] == boards and set(doc["OFFSET"]) == {m.name for m in RFMode}
    fresh = CalibrationTableManager(SN, 28, lambda: layout)
    fresh.parse(28)
    for mode, lists in doc["OFFSET"].items():
        assert lists == fresh._getBoardsOffset(boards, mode, layout[1])

    doc, _ = run_json(files, "cali", "comdata", SN, "28", *lay, "--mode", "RX", "--step", "1,2",
                      "--gain", "-8", "--phase", ",".join(str(90 * (c % 4)) for c in range(layout[2])))
    args = [doc[k] for k in ("rf_mode_str", "board", "chip", "channel", "gain", "phase",
                             "com_list")]
    assert doc["ComData"] == cali._getComData(*args) and doc["complete"] is True
    assert len(doc["ComData"]) == layout[0] and len(doc["ComData"][0]["COM_2"]) == layout[2]


def test_missing_entries_and_failures_keep_stdout_json(tmp_path):
    # A phase of 22.5 makes keys the table lacks: logged on stderr, stdout still one document.
    doc, err = run_json(SAMPLES, "cali", "comdata", SN, "28", "--step", "1", "--gain", "0",
                        "--phase", "22.5", status=1)
    assert doc["complete"] is False and doc["ComData"][0]["COM_1"] == []
    assert "Can not find the ComData" in err
    doc, _ = run_json(SAMPLES, "cali", "show", SN, "29", status=1)
    assert doc == {"result": {"code": "ERROR_BF_CALI_PATH",
                              "message": "Can not find file for Cali table"}}
    doc, _ = run_json(SAMPLES, "kit", "show", "NO-SUCH", status=1)
    assert doc == {"error": "There is NOT matched AAKit name: NO-SUCH"}
    doc, _ = run_json(tmp_path, "beam", "show", SN, "28", status=1)
    assert doc["error"].startswith("no beam table at ")


def test_kits_delta_and_beam_table_round_trip(tmp_path, monkeypatch):
    files = tmp_path / "files"
    shutil.copytree(SAMPLES, files)
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(files))

    doc, _ = run_json(files, "kit", "list")
    kits = AAKitTableManager(9, 16, support_dev=[9])
    assert [k["name"] for k in doc["kits"]] == kits.getAAKitList().RetData
    for kit in doc["kits"]:
        assert kit["record"] == kits.getAAKitInfo(kit["name"]).RetData
        assert kit["old_form"] is False and pathlib.Path(kit["file"]).is_file()
    assert doc["skipped"] == []
    shown, _ = run_json(files, "kit", "show", doc["kits"][1]["name"])
    assert shown == doc["kits"][1]

    doc, _ = run_json(files, "delta", SN)
    delta = UDDeltaFreqTableManager(SN)
    delta.parse()
    assert doc["delta"] == delta.getUDDeltaFreq().RetData and doc["result"]["code"] == "OK"

    doc, _ = run_json(files, "beam", "show", SN, "28")
    cali = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    cali.parse(28)
    beam = BeamPatternTableManager(SN, 9, 64, lambda: (4, 1, 4), (fake_check, fake_ic_check))
    beam._updateFreq(28, cali.getDR().RetData, cali.getCOMDR().RetData, cali.getELEDR().RetData)
    beam._load(28)
    assert doc["table"] == beam._BeamTable and doc["legacy"] is False
    assert pathlib.Path(doc["file"]).name == "Beam_Configuration_%s_28GHz.json" % SN


@pytest.mark.parametrize("args", [
    ["cali", "show", SN, "abc"],
    ["cali", "show", SN, "28", "--layout", "4,x,4"],
    ["cali", "offsets", SN, "28", "--boards", "5"],
    ["cali", "comdata", SN, "28", "--step", "1", "--gain", "1,2,3", "--phase", "0"],
    ["cali", "comdata", SN, "28", "--step", "1", "--gain", "1", "--phase", "0", "--chip", "x"],
    ["cali", "check", SN, "28", "--layout", "0,1,1"],
    ["cali", "diff", "nowhere_28GHz.csv", "nowhere_28GHz.csv"],
    ["cali", "nosuch"],
])
def test_json_failures_are_one_document(args):
    done = subprocess.run([vlntable_command(), *args, "--files", str(SAMPLES), "--json"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    doc = json.loads(done.stdout)
    assert doc["error"] and doc["error"] in done.stderr


def test_json_has_no_nan_tokens():
    doc, _ = run_json(SAMPLES, "cali", "comdata", SN, "28", "--step", "1", "--gain", "1",
                      "--phase", "nan", status=1)
    assert doc["phase"][0] == [None] * 4


def test_gains_phases_and_layouts_are_numbers(tmp_path):
    one_row = "DATA,TX,BOARD,1,CHIP,1,CH,1,GAIN,dB,-8.0,PHASE,45,COM,1,REG,0,8,MEAS,-8.059,43.55\n"
    sample = SAMPLES / f"{SN}_28GHz.csv"
    table, changed = tmp_path / sample.name, tmp_path / "changed" / sample.name
    table.write_text(sample.read_text().replace(one_row, ""))
    changed.parent.mkdir()
    changed.write_text(sample.read_text().replace(one_row, one_row.replace("43.55", "44")))

    def run(*args, status):
        done = subprocess.run([vlntable_command(), *args, "--json"], capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == status, done.stderr
        return json.loads(done.stdout)

    problem, = run("cali", "check", str(table), status=1)["problems"]
    diff = run("cali", "diff", str(sample), str(changed), status=1)
    for place in (problem, diff["differences"][0], diff["summary"]["DATA"]["where"]):
        assert (place["gain"], place["phase"]) == (-8.0, 45), place
        assert type(place["gain"]) is float and type(place["phase"]) is int
    db = str(tmp_path / "tables.db")
    subprocess.run([vlntable_command(), "db", "import", "--db", db, str(sample)], check=True,
                   capture_output=True, timeout=60)
    assert [t["layout"] for t in run("db", "list", "--db", db, status=0)["tables"]] == [[4, 1, 4]]
    for option in ("--tolerance", "--tol-db", "--tol-deg", "--tol-code"):
        for tolerance in ("nan", "inf", "-1", "abc"):
            doc = run("cali", "diff", str(sample), str(sample), option, tolerance, status=2)
            assert doc["error"] == (
                f"{option} must be a finite number of at least 0, not '{tolerance}'")
