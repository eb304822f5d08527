"""What a new user meets first: the messages of the command line and `python -m arvcore.calicheck`."""

import os
import pathlib
import subprocess
import sys

import pytest

from test_beam_commands import vlntable_command

SN = "D2230E013-28"
SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "files" / f"{SN}_28GHz.csv"


@pytest.fixture
def broken(tmp_path):
    path = tmp_path / SAMPLE.name
    path.write_text(SAMPLE.read_text().replace("MEAS,-8.059,43.55", "MEAS,x,43.55", 1))
    return path


@pytest.mark.parametrize("command", [
    lambda f, tmp: ["db", "import", "--db", str(tmp / "t.db"), str(f)],
    lambda f, tmp: ["cali", "diff", str(f), str(SAMPLE)],
])
def test_the_records_of_a_files_parse_name_the_file(command, broken, tmp_path):
    run = subprocess.run([vlntable_command(), *command(broken, tmp_path)],
                         capture_output=True, text=True)
    assert f"{broken}: line 49: DATA row: MEAS gain 'x' is not a number" in run.stderr
    assert "the given stream" not in run.stderr


@pytest.mark.parametrize("command, line", [
    (["delta", SN], f"{SN}: delta frequency 2000 MHz"),
    (["cali", "show", SN, "28"], "BOARD_1    TX  COM_1 -9.50 .. -2.50, COM_2 -3.50 .. 3.50"),
])
def test_reports_print_units_and_ranges_low_to_high(command, line):
    run = subprocess.run([vlntable_command(), *command, "--files", str(SAMPLE.parent)],
                         capture_output=True, text=True)
    assert run.returncode == 0 and line + "\n" in run.stdout


def test_python_m_calicheck_prints_and_answers_what_cali_check_does(broken, tmp_path):
    truncated = tmp_path / "cut" / SAMPLE.name
    truncated.parent.mkdir()
    truncated.write_text(SAMPLE.read_text()[:len(SAMPLE.read_text()) // 2])
    env = {**os.environ, "ARVCORE_VLNTABLE": vlntable_command()}
    for args, status in [([str(SAMPLE)], 0), ([str(truncated)], 1), ([str(broken), "--json"], 1),
                         ([str(tmp_path / "none.csv")], 2),
                         ([SN, "28", "--files", str(SAMPLE.parent), "--layout", "4,1,4"], 0)]:
        direct = subprocess.run([vlntable_command(), "cali", "check", *args],
                                capture_output=True, text=True)
        module = subprocess.run([sys.executable, "-m", "arvcore.calicheck", *args],
                                capture_output=True, text=True, env=env)
        assert (module.returncode, module.stdout) == (status, direct.stdout), args
