"""Python surface of the antenna-kit manager."""

import logging
import os

import pytest

from arvcore.VLNPublic import RetCode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import AAKitTableManager

SUFFIX = "2024031514302512+0800"
ZEROS = [0] * 16


def kit_file(path, name, kit_type, devtype=9):
    rows = [
        ["AAKIT_NAME", name],
        ["DEV_TYPE", str(devtype)],
        ["TYPE", str(kit_type)],
        ["SPACING", "5.0", "5.0"],
        ["STEERING_H", "-45.0", "45.0"],
        ["STEERING_V", "-45.0", "45.0"],
        ["OFFSET_TX"] + ["0"] * 16,
        ["OFFSET_RX"] + ["0"] * 16,
    ]
    text = "".join(",".join(r) + "\r\n" for r in rows)
    (path / ("AAKIT_" + name + ".csv")).write_bytes(text.encode())
    return text


def test_construction_and_members(files_dir):
    a = AAKitTableManager(9, 16)
    b = AAKitTableManager(9, 16, path="elsewhere/", num_polar=2, support_dev=[9], is_web_mode=True)
    assert (a._AAKitTable, a._aakit_name, a._num_polarization) == ({}, "", 1)
    assert b._num_polarization == 2
    # Without supported device types, a kit file naming one is refused.
    kit_file(files_dir, "Factory", 0)
    assert a.getAAKitList().RetData == []
    assert AAKitTableManager(9, 16, support_dev=[9]).getAAKitList().RetData == ["Factory"]
    assert a._getAAKitTablePath() == [os.path.join(str(files_dir), "AAKIT_Factory.csv")]


def test_round_trip_and_selection(files_dir):
    m = AAKitTableManager(9, 16, support_dev=[9])
    name = "Mine_" + SUFFIX
    ret = m.setAAKitInfo(name, [5, "5.5"], [-45, 45], [-30.5, 30.5], list(range(16)), ZEROS)
    assert ret == RetType(data=name)
    assert m.saveAAKitFile(kitName=name) == RetType()
    text = (files_dir / ("AAKIT_" + name + ".csv")).read_bytes().decode()
    assert text.startswith("AAKIT_NAME," + name + "\r\nDEV_TYPE,9\r\nTYPE,1\r\nSPACING,5.0,5.5\r\n")
    back = AAKitTableManager(9, 16, support_dev=[9])
    assert back.getAAKitList() == RetType(data=[name])
    assert back._AAKitTable == m._AAKitTable
    record = back._AAKitTable[name]
    assert isinstance(record["DEV_TYPE"], int) and isinstance(record["SPACING"][0], float)

    assert back._selectAAKit(name) == RetType()
    assert back._aakit_name == name
    assert back.getAAKitInfo().RetData == record
    assert back.getAAKitInfo(local=True).RetData == {name: record}
    bad = back.getAAKitInfo(kitName="nope")
    assert (bad.RetCode, bad.RetMsg, bad.RetData) == (RetCode.ERROR_BF_AAKIT,
                                                      "getAAKitInfo exception", None)


def test_old_form_kit_is_renamed_on_listing(files_dir, arvcore_logs):
    kit_file(files_dir, "MyAAKIT", 1)
    m = AAKitTableManager(9, 16, support_dev=[9])
    (name,) = m.getAAKitList().RetData
    assert name.startswith("MyAAKIT_") and len(name) == len("MyAAKIT_") + 21
    assert sorted(os.listdir(files_dir)) == ["AAKIT_" + name + ".csv"]
    messages = [(r.name, r.levelno, r.getMessage()) for r in arvcore_logs.records]
    assert ("AAKitTbl", logging.INFO, "Invalid custom AAKit name(old format): MyAAKIT") in messages


def test_argument_types_and_names(files_dir):
    m = AAKitTableManager(9, 16)
    with pytest.raises(TypeError):
        m.setAAKitInfo(b"kit", [5, 5], [0, 1], [0, 1], ZEROS, ZEROS)
    for not_list in ((5, 5), None, "55"):
        with pytest.raises(TypeError):
            m.setAAKitInfo("kit", [5, 5], not_list, [0, 1], ZEROS, ZEROS)
    refused = RetType(RetCode.ERROR_BF_AAKIT, "Invalid AAKit name: ../kit")
    assert m.setAAKitInfo("../kit", [5, 5], [0, 1], [0, 1], ZEROS, ZEROS) == refused
    assert m.saveAAKitFile("../kit", check=False, context={}) == refused
    assert m.deleteAAKitInfo("../kit", check=False) == refused
    ret = m.setAAKitInfo("kit", [5], [0, 1], [0, 1], ZEROS[:15], ZEROS)
    assert ret.RetMsg == "AAKit field checking failed: ['SPACING', 'OFFSET_TX']"
    assert m._AAKitTable == {}


def test_web_mode_forwarding(files_dir):
    fetched = {"Web_" + SUFFIX: {"DEV_TYPE": 9, "TYPE": 1, "OFFSET_TX": {"HORIZON": [1, 2]}}}
    seen = []

    def fetch(*args, **kwargs):
        seen.append((args, kwargs))
        return RetType(data=fetched)

    calls = []

    def forward(**kwargs):
        calls.append(kwargs)
        return RetType(RetCode.WARNING, "queued")

    support = [9, 10]
    m = AAKitTableManager(9, 4, num_polar=2, support_dev=support, is_web_mode=True)
    assert m.getAAKitList(callback=fetch) == RetType(data=["Web_" + SUFFIX])
    assert seen == [((9, 4, [9, 10]), {})]
    assert m._AAKitTable == fetched
    failed = RetType(RetCode.ERROR_DB_SERVER, "down")
    assert m.getAAKitList(True, lambda *a: failed) == failed
    assert m._AAKitTable == fetched

    pol = {"HORIZON": [1, 2, 3, 4], "VERTICAL": [5, 6, 7, 8.9]}
    ret = m.setAAKitInfo("New", [5, 5], [0, 1], [0, 1], pol, pol, callback=forward)
    name = ret.RetData
    assert name.startswith("New_") and len(name) == 25
    assert m._AAKitTable[name]["OFFSET_RX"]["VERTICAL"] == [5, 6, 7, 8]
    assert m.saveAAKitFile(name, callback=forward) == RetType(RetCode.WARNING, "queued")
    assert m.deleteAAKitInfo(name, forward) == RetType(RetCode.WARNING, "queued")
    assert calls == [
        {"func_name": "saveAAKitFile", "kitName": name, "check": False,
         "context": {"DEV_TYPE": 9, "TYPE": 1, "SPACING": [5.0, 5.0], "STEERING_H": [0.0, 1.0],
                     "STEERING_V": [0.0, 1.0], "OFFSET_TX": pol | {"VERTICAL": [5, 6, 7, 8]},
                     "OFFSET_RX": pol | {"VERTICAL": [5, 6, 7, 8]}}},
        {"func_name": "deleteAAKitInfo", "kitName": name, "check": False},
    ]
    assert name not in m._AAKitTable
    assert os.listdir(files_dir) == []

    def broken(*args, **kwargs):
        raise RuntimeError("web layer down")

    assert m.saveAAKitFile("Web_" + SUFFIX, broken) == RetType(RetCode.ERROR_BF_AAKIT, "exception")
    # A fetch function that fails reaches the caller.
    with pytest.raises(RuntimeError):
        m.getAAKitList(callback=broken)


@pytest.mark.skipif(not os.environ.get("ARVCORE_VLNTABLE"), reason="vlntable not built")
def test_operator_commands(files_dir):
    import subprocess

    def run(*args):
        done = subprocess.run([os.environ["ARVCORE_VLNTABLE"], *args], capture_output=True,
                              text=True)
        return done.returncode, done.stdout, done.stderr

    kit_file(files_dir, "Factory", 0)
    kit_file(files_dir, "Old", 1)
    (files_dir / "AAKIT_wrong.csv").write_text("AAKIT_NAME,Wrong\nDEV_TYPE,7\n")
    before = sorted(os.listdir(files_dir))
    code, out, err = run("kit", "list", "--files", str(files_dir))
    assert code == 0
    assert [line.split()[0] for line in out.splitlines()[1:]] == ["Factory", "Old"]
    assert "(old-form name)" in out and "dev type(7) not match" in err
    code, out, _ = run("kit", "check", str(files_dir / "AAKIT_wrong.csv"), "--support", "9", "8")
    assert code == 1 and "dev type(7) not match" in out
    code, out, _ = run("kit", "show", "Factory", "--files", str(files_dir), "--channels", "4")
    assert code == 1
    # Inspection never renames or rewrites kit files.
    assert sorted(os.listdir(files_dir)) == before
    (files_dir / "SN1.csv").write_text("SN1\n250\n")
    assert run("delta", "SN1")[:2] == (0, "SN1: delta frequency 250 MHz\n")
