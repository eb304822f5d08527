"""Whole-table checks of calibration files.

A device's parse stops at the first fault of a table and answers one code; ``check_table``
reads the whole file and lists every fault with its place (what ``vlntable cali check``
prints):

    from arvcore.calicheck import check_table
    report = check_table("files/D2230E013-28_28GHz.csv", layout=(4, 1, 4))
    for p in report["problems"]:
        print(p["severity"], p.get("line"), p["message"])

From a shell, ``python3 -m arvcore.calicheck FILE | SN FREQ [--files DIR] [--layout ...]
[--json]`` prints what ``vlntable cali check`` prints, with its exit status: 0 without
errors, 1 with errors, 2 when a table cannot be read.
"""

import os
import shutil
import subprocess
import sys

from arvcore import _arvcore

__all__ = ["check_table", "errors", "main"]

# Exit status when no vlntable command is found: a status of its own, so that a CI script
# never takes it for a table's verdict.
NO_COMMAND = 127


def check_table(path, sn="", freq=None, layout=None, ver_limit="2.0.0"):
    """Check the calibration file `path` and answer a dict:

    - "file": the path;
    - "result": {"code", "message"}, what a device's parse of the file answers;
    - "layout": {"device": [boards, ics, channels] or None, "table": the layout the table's
      own rows describe, or None};
    - "problems": one dict per fault with "severity" ("error" or "warning"), "message" and,
      where they apply, "line" (1-based), "row", "mode", "board", "chip", "channel", "step",
      "gain" (a float, dB) and "phase" (an integer, degrees).

    `sn` and `freq` (GHz) are what the header must name (default: the file name
    ``{SN}_{FREQ}GHz.csv``); `layout` is the device's (default: the table's own). A layout
    beyond any device (more than 1024 boards, ICs per board or channels per IC, or more than
    65536 channels in all) raises ValueError. OSError is not raised for an unreadable file
    (a pipe, a device, a file above ``$ARVCORE_MAX_TABLE_BYTES``): the report says so."""
    return _arvcore.check_calibration_table(os.fspath(path), sn, freq,
                                            None if layout is None else list(layout), ver_limit)


def errors(report):
    """The problems of a report from check_table whose severity is "error"."""
    return [p for p in report["problems"] if p["severity"] == "error"]


def _vlntable():
    """The vlntable command of this package: $ARVCORE_VLNTABLE, else one installed with the
    package, else the one of the build tree the package lies in (build/python/arvcore ->
    build/tools/vlntable), else the first on PATH; None when there is none."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.environ.get("ARVCORE_VLNTABLE", ""),
                  os.path.join(here, "bin", "vlntable"),
                  os.path.join(os.path.dirname(os.path.dirname(here)), "tools", "vlntable"),
                  shutil.which("vlntable") or ""]
    return next((c for c in candidates if c and os.path.isfile(c) and os.access(c, os.X_OK)),
                None)


def main(argv=None):
    """`python3 -m arvcore.calicheck ...`: runs `vlntable cali check` with the same arguments
    and answers its exit status."""
    command = _vlntable()
    if command is None:
        print("error: the vlntable command was not found (set ARVCORE_VLNTABLE to its path)",
              file=sys.stderr)
        return NO_COMMAND
    args = sys.argv[1:] if argv is None else list(argv)
    return subprocess.call([command, "cali", "check", *args])


if __name__ == "__main__":
    sys.exit(main())
