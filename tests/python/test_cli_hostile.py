"""`vlntable`, `arvcore.plot` and `check_table` given hostile input: a pipe, a device or an
oversize file is refused at once, a layout beyond any device is refused with the bound, and
texts from tables, file names and command lines reach the terminal escaped (JSON keeps them
exact). Every run has a timeout, so a hang fails instead of blocking."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from test_beam_commands import vlntable_command

SN = "D2230E013-28"
SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "files" / f"{SN}_28GHz.csv"

# A title change, a bell, a screen clear and a C1 control sequence introducer.
EVIL = "\x1b]0;pwned\x07\x1b[2J\u009b31m"
EVIL_SN = "S" + EVIL
# What a terminal acts on: C0 controls but the newline, DEL, C1, and bytes that are not UTF-8.
CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f\x80-\x9f\udc80-\udcff]")


@pytest.fixture
def hostile(tmp_path):
    """Paths of hostile inputs: a pipe, and a table whose file name (with a newline that
    would start a row of its own), SN and REALVER carry terminal controls."""
    fifo = tmp_path / f"{SN}_27GHz.csv"
    os.mkfifo(fifo)
    evil_dir = tmp_path / "evil"
    evil_dir.mkdir()
    evil = evil_dir / f"{EVIL_SN}\nFORGED 28 0 3.0.0 3.0.2_28GHz.csv"
    evil.write_text(SAMPLE.read_text().replace("REALVER,3.0.2", "REALVER,3.0.2" + EVIL)
                    .replace(f"SN,{SN}", f"SN,{EVIL_SN}"), encoding="utf-8")
    return {"fifo": str(fifo), "evil": str(evil), "evil_dir": str(evil_dir),
            "db": str(tmp_path / "tables.db"), "out": str(tmp_path / "out.png")}


def check_table_script(layout):
    return [sys.executable, "-c", "from arvcore.calicheck import check_table; "
            f"check_table({str(SAMPLE)!r}, layout={layout!r})"]


# (name, command (vlntable arguments, or a whole command), environment, exit status, a text
# the failure names, in the JSON "error" or on standard error)
CASES = [
    # Tables read through the reader of every table file.
    ("diff pipe", lambda h: ["cali", "diff", h["fifo"], str(SAMPLE), "--json"], {}, 2,
     "named pipe"),
    ("diff device", lambda h: ["cali", "diff", str(SAMPLE), "/dev/zero", "--json"], {}, 2,
     "character device"),
    ("diff oversize", lambda h: ["cali", "diff", str(SAMPLE), str(SAMPLE), "--json"],
     {"ARVCORE_MAX_TABLE_BYTES": "1000"}, 2, "more than 1000 bytes"),
    # Layouts beyond any device.
    ("check huge layout", lambda h: ["cali", "check", str(SAMPLE), "--layout", "99999999999,1,1",
                                     "--json"], {}, 2, "65536 channels in all"),
    ("check wide layout", lambda h: ["cali", "check", str(SAMPLE), "--layout", "64,64,64"], {},
     2, "65536 channels in all"),
    ("db import huge layout", lambda h: ["db", "import", "--db", h["db"], "--layout",
                                         "1,1,99999999999", str(SAMPLE)], {}, 2, "1024 boards"),
    ("check_table huge layout", lambda h: check_table_script((99999999999, 1, 1)), {}, 1,
     "65536 channels in all"),
    # Texts with terminal controls.
    ("check", lambda h: ["cali", "check", h["evil"]], {}, 1, "differs from the device's"),
    ("check by SN", lambda h: ["cali", "check", "--files", h["evil_dir"], EVIL_SN, "28"], {}, 2,
     "no calibration file"),
    ("check bytes not UTF-8",
     lambda h: ["cali", "check", h["evil_dir"] + "/X\udcff\udc9b_28GHz.csv"], {}, 2,
     "X\\xff\\x9b_28GHz.csv"),
    ("list", lambda h: ["cali", "list", "--files", h["evil_dir"]], {}, 0, ""),
    ("diff", lambda h: ["cali", "diff", str(SAMPLE), h["evil"]], {}, 1, ""),
    ("db import", lambda h: ["db", "import", "--db", h["db"], h["evil"]], {}, 1, "Wrong SN"),
    ("plot error", lambda h: ["cali", "plot", EVIL_SN, "28", "--files", h["evil_dir"],
                              "--out", h["out"]], {}, 1, "calibration table of"),
]


@pytest.mark.parametrize("name,command,env,status,names", CASES, ids=[c[0] for c in CASES])
def test_hostile_input(hostile, name, command, env, status, names):
    argv = command(hostile)
    if not argv[0].startswith("/"):
        argv = [vlntable_command()] + argv
    done = subprocess.run(argv, capture_output=True, timeout=60, env={**os.environ, **env})
    out = done.stdout.decode("utf-8", "surrogateescape")
    err = done.stderr.decode("utf-8", "surrogateescape")
    assert done.returncode == status, (out, err)
    if "--json" in argv:
        doc = json.loads(out)
        assert names in doc["error"], doc
    else:
        assert names in out + err, (out, err)
        assert not CONTROL.search(out), out
    assert not CONTROL.search(err), err
    if name == "list":
        # One row for the one table: the newline of its name does not start another.
        assert len(out.splitlines()) == 2 and "\\nFORGED" in out, out
        done = subprocess.run(argv + ["--json"], capture_output=True, timeout=60)
        table, = json.loads(done.stdout)["tables"]
        assert table["sn"] == EVIL_SN + "\nFORGED 28 0 3.0.0 3.0.2"
        assert table["REALVER"] == "3.0.2" + EVIL and table["SN"] == EVIL_SN
