"""Whole-table checks of calibration files.

A device's parse stops at the first fault of a table and answers one code; ``check_table``
reads the whole file and lists every fault with its place (what ``vlntable cali check``
prints):

    from arvcore.calicheck import check_table
    report = check_table("files/D2230E013-28_28GHz.csv", layout=(4, 1, 4))
    for p in report["problems"]:
        print(p["severity"], p.get("line"), p["message"])
"""

import os

from arvcore import _arvcore

__all__ = ["check_table", "errors"]


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
