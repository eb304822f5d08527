"""The `vlntable beam ...` and `vlntable device` operator commands on a copy of the sample data."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

import arvcore

SN = "D2230E013-28"
SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "files"


def vlntable_command():
    exe = os.environ.get("ARVCORE_VLNTABLE")
    if not exe:
        # Next to the package in a build tree: build/python/arvcore -> build/tools/vlntable.
        exe = str(pathlib.Path(arvcore.__file__).resolve().parents[2] / "tools" / "vlntable")
    if not os.access(exe, os.X_OK):
        pytest.skip("the vlntable command is not built")
    return exe


@pytest.fixture
def files(tmp_path):
    data = tmp_path / "files"
    shutil.copytree(SAMPLES, data)
    shutil.rmtree(data / "BeamTable", ignore_errors=True)
    return data


def run(files, *args):
    done = subprocess.run([vlntable_command(), *args, "--files", str(files)],
                          capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def test_device_creates_then_reads_the_table(files):
    code, out, _ = run(files, "device", SN, "28")
    assert code == 0, out
    assert "calibration parse: OK" in out and "getELEDR: OK" in out
    assert "no table file: a fresh v2.0.0 table is created" in out
    table = files / "BeamTable" / ("Beam_Configuration_%s_28GHz.json" % SN)
    assert json.loads(table.read_text(encoding="utf-8"))["VERSION"] == "v2.0.0"
    code, out, _ = run(files, "device", SN, "28")
    assert code == 0 and "current table: read as it is" in out
    # No calibration table for 29 GHz: stops before the beam manager.
    code, out, _ = run(files, "device", SN, "29")
    assert code == 1 and "stopped" in out
    assert not (files / "BeamTable" / ("Beam_Configuration_%s_29GHz.json" % SN)).exists()


def test_show_lists_stored_beams(files):
    run(files, "device", SN, "28")
    table = files / "BeamTable" / ("Beam_Configuration_%s_28GHz.json" % SN)
    data = json.loads(table.read_text(encoding="utf-8"))
    data["TX"]["5"] = {"beam_description": "north", "beam_type": 0,
                       "beam_config": {"db": 2.5, "theta": 10, "phi": -5}}
    table.write_text(json.dumps(data, indent=2), encoding="utf-8")
    code, out, _ = run(files, "beam", "show", SN, "28")
    assert code == 0
    assert "TX: 1 of 64 beam ids stored" in out
    assert "db 2.5  theta 10  phi -5" in out
    code, _, err = run(files, "beam", "show", SN, "28", "--kit", "../../etc")
    assert code == 1 and "outside" in err


def legacy_table(channels):
    chs = [{"channel": c, "sw": 1, "db": 20.0 if c == 2 else 3.0, "deg": c} for c in channels]
    return {"version": "v1.2.0",
            "TX_beam_list": [{"beamId": 1, "beam_type": 1, "channel_config": chs},
                             {"beamId": 2}],
            "RX_beam_list": []}


def test_convert_reports_and_keeps_the_legacy_file(files):
    beam_dir = files / "BeamTable"
    beam_dir.mkdir()
    table = beam_dir / ("Beam_Configuration_%s_28GHz.json" % SN)
    text = json.dumps(legacy_table(range(16, 0, -1)))
    table.write_text(text, encoding="utf-8")
    code, out, _ = run(files, "beam", "convert", SN, "28")
    assert code == 0, out
    assert "TX: 2 legacy beams -> 0 BEAM + 1 CHANNEL" in out
    assert "clamped to COMDR max + ELEDR: 1" in out and "dropped (no beam type): 2" in out
    copy = beam_dir / ("Beam_Configuration_%s_28GHz.legacy-v1.2.0.json" % SN)
    assert copy.read_text(encoding="utf-8") == text
    converted = json.loads(table.read_text(encoding="utf-8"))
    assert converted["VERSION"] == "v2.0.0" and list(converted["TX"]) == ["1"]
    code, out, _ = run(files, "beam", "convert", SN, "28")
    assert code == 0 and "nothing to convert" in out


def test_failed_convert_leaves_everything_as_it_was(files):
    beam_dir = files / "BeamTable"
    beam_dir.mkdir()
    table = beam_dir / ("Beam_Configuration_%s_28GHz.json" % SN)
    text = json.dumps(legacy_table(range(1, 15)))  # 14 of 16 channels
    table.write_text(text, encoding="utf-8")
    code, out, _ = run(files, "beam", "convert", SN, "28")
    assert code == 1
    assert "count of channel_config(14) not match with channel count(16)" in out
    assert table.read_text(encoding="utf-8") == text
    assert sorted(p.name for p in beam_dir.iterdir()) == [table.name]
