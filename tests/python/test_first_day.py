"""What a new user meets first: the messages of the command line and `python -m arvcore.calicheck`."""

import pathlib
import subprocess

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
