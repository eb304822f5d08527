"""Getter answers are converted once per change of the manager: repeated calls answer the same
data object in a fresh envelope, every change is seen by the next call, and a caller who
mutates an answer never reaches the table or its files."""

import copy
import json
import logging
import subprocess
import sys

import pytest

from arvcore.VLNPublic import BeamType, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (
    AAKitTableManager,
    BeamPatternTableManager,
    BTModeFilter,
    BTSetOption,
    CalibrationTableManager,
    fake_ic_check,
    fake_rf_layout,
)

from test_aakit import SUFFIX, ZEROS, kit_file
from test_threads import GEN_CALI, SN

DR = {"TX": [-5, 20.5], "RX": [-8, 15]}
COMDR = [[[0, 10]] * 4, [[0, 5]] * 4]
ELEDR = [[3, 4, 5, 6], [1.5, 2.5, 3.5, 4.5]]


@pytest.fixture
def quiet():
    """The module's loggers write nothing below warning (the usual production set-up)."""
    for name in ("CaliTbl", "AAKitTbl", "BeamTbl"):
        logging.getLogger(name).setLevel(logging.WARNING)
    yield
    for name in ("CaliTbl", "AAKitTbl", "BeamTbl"):
        logging.getLogger(name).setLevel(logging.NOTSET)


def two_tables(directory):
    for freq, seed in ((28, 1), (29, 2)):
        subprocess.run([sys.executable, GEN_CALI, str(directory), "--sn", SN, "--freq", str(freq),
                        "--com-steps", "2", "--gain-step", "4", "--phase-step", "45",
                        "--seed", str(seed)], check=True, stdout=subprocess.DEVNULL)


def test_calibration_answers_are_kept_until_a_parse(files_dir, quiet):
    two_tables(files_dir)
    m = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    assert m.parse(28).RetCode == RetCode.OK
    calls = [m.getDR, m.getCOMDR, m.getELEDR, m.queryCaliTableVer, m.getFrequencyList,
             lambda: m.getDR(RFMode.RX)]
    first = [c() for c in calls]
    for c, f in zip(calls, first):
        again = c()
        assert again is not f and type(again) is RetType and again == f
        assert again.RetData is f.RetData
    offsets = m._getBoardsOffset([1, 2, 3, 4])
    assert m._getBoardsOffset([1, 2, 3, 4]) is offsets
    assert m._getBoardsOffset([1, 2], "RX") is not offsets

    # A caller's mutation changes later answers only; the table keeps its data.
    first[0].RetData["TX"] = "mine"
    assert m._CaliTable["DR"]["TX"] != "mine"
    # An envelope is the caller's own.
    first[1].RetCode = RetCode.ERROR
    assert m.getCOMDR().RetCode == RetCode.OK

    assert m.parse(29).RetCode == RetCode.OK
    table = m._CaliTable
    assert m.getDR().RetData == table["DR"] and m.getDR().RetData is not first[0].RetData
    assert m.getDR(RFMode.RX).RetData == table["DR"]["RX"]
    assert m.getCOMDR().RetData != first[1].RetData
    assert m._getBoardsOffset([1, 2, 3, 4]) != offsets
    assert m._getBoardsOffset([1, 2, 3, 4]) == [
        list(table[f"BOARD_{b}"]["TX"]["OFFSET_CHIP_1"].values()) for b in (1, 2, 3, 4)]
    # A failed parse drops nothing it did not replace, and answers stay consistent with the table.
    assert m.parse(26).RetCode != RetCode.OK
    assert m.getDR().RetData == m._CaliTable["DR"]
    # A search of the data directory renews the frequency list.
    assert m.getFrequencyList().RetData == [28.0, 29.0]
    (files_dir / f"{SN}_29GHz.csv").unlink()
    m._searchCaliFile()
    assert m.getFrequencyList().RetData == [28.0]


def test_logging_hosts_see_every_record(files_dir, arvcore_logs):
    two_tables(files_dir)
    m = CalibrationTableManager(SN, 28, lambda: (4, 1, 4))
    m.parse(28)
    m.getCOMDR()
    arvcore_logs.clear()
    m.getCOMDR()
    m.getCOMDR()
    assert [r.getMessage() for r in arvcore_logs.records] == ["Fetch COMDR from cache"] * 2


@pytest.fixture
def beams(tmp_path, monkeypatch, quiet):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    def beam(mode, db, theta, phi, _):
        return RetType(data=(db, theta, phi))

    m = BeamPatternTableManager("SN7", 9, 8, fake_rf_layout, (beam, fake_ic_check))
    m._updateFreq(28, DR, COMDR, ELEDR)
    assert m._load(28).RetCode == RetCode.OK
    for i in (1, 2, 3):
        assert m.setBeamPattern(RFMode.RX, i, BeamType.BEAM,
                                {"db": 1.0 * i, "theta": i, "phi": 0}).RetCode == RetCode.OK
    return m


def test_beam_entries_are_kept_per_entry(tmp_path, beams):
    m = beams
    one = m.getBeamPattern(RFMode.RX, 1)
    assert m.getBeamPattern(1, 1).RetData is one.RetData
    batch = m._getBatchBeamPattern().RetData
    assert batch["RX"]["1"] is one.RetData
    assert m._getBatchBeamPattern().RetData["RX"] is batch["RX"]
    assert batch == {"TX": m._BeamTable["TX"], "RX": m._BeamTable["RX"]}
    assert m._getBatchBeamPattern(2).RetData == {"RX": batch["RX"]}

    # One set outdates that entry and its mode map, nothing else.
    two = m.getBeamPattern(RFMode.RX, 2).RetData
    assert m.setBeamPattern(RFMode.RX, 1, BeamType.BEAM, {"db": 9.0, "theta": 9, "phi": 9},
                            save=False).RetCode == RetCode.OK
    assert m.getBeamPattern(RFMode.RX, 1).RetData["beam_config"] == {"db": 9.0, "theta": 9,
                                                                     "phi": 9}
    assert m.getBeamPattern(RFMode.RX, 2).RetData is two
    fresh = m._getBatchBeamPattern().RetData
    assert fresh["RX"] is not batch["RX"] and fresh["RX"]["2"] is two
    assert fresh["RX"]["1"]["beam_config"]["db"] == 9.0
    assert fresh["TX"] is batch["TX"]

    # A mutated answer never reaches the table or the saved file.
    two["beam_description"] = "scribbled"
    fresh["RX"]["3"] = None
    assert m.setBeamPattern(RFMode.RX, 4, BeamType.BEAM, {"db": 2.0, "theta": 0, "phi": 0},
                            save=True).RetCode == RetCode.OK
    saved = json.loads((tmp_path / "BeamTable" / "Beam_Configuration_SN7_28GHz.json").read_text())
    assert saved["RX"]["2"]["beam_description"] != "scribbled"
    assert saved["RX"]["3"]["beam_config"]["db"] == 3.0
    assert saved == m._BeamTable


def test_every_kind_of_beam_change_is_seen(tmp_path, beams):
    m = beams
    before = m.getBeamPattern(RFMode.RX, 1).RetData
    batch = m._getBatchBeamPattern().RetData
    # A batch merge.
    new = {"RX": {"1": {"beam_description": "batch", "beam_type": 0,
                        "beam_config": {"db": 4.0, "theta": 1, "phi": 1}}}}
    assert m._setBatchBeamPattern(new, BTSetOption.UI_SAVE_UPSERT, None).RetCode == RetCode.OK
    assert m.getBeamPattern(RFMode.RX, 1).RetData["beam_description"] == "batch"
    assert m._getBatchBeamPattern().RetData["RX"]["1"]["beam_description"] == "batch"
    # A load of another table.
    assert m._load(29).RetCode == RetCode.OK
    assert m._getBatchBeamPattern().RetData["RX"] == m._BeamTable["RX"]
    assert m.getBeamPattern(RFMode.RX, 1).RetData != before
    # New limits change the default beams answered for ids without an entry.
    default = m.getBeamPattern(RFMode.TX, 5).RetData
    m._updateFreq(29, {"TX": [-1, 2], "RX": [-1, 2]}, [[[0, 1]] * 4] * 2, [[1] * 4] * 2)
    assert m.getBeamPattern(RFMode.TX, 5).RetData != default
    assert batch["RX"]["1"] is before


def test_kit_answers_follow_kit_changes(files_dir, quiet):
    kit_file(files_dir, "Factory", 0)
    m = AAKitTableManager(9, 16, support_dev=[9])
    m.getAAKitList()  # reads the kit files
    names = m.getAAKitList()
    assert names.RetData == ["Factory"] and m.getAAKitList().RetData is names.RetData
    info = m.getAAKitInfo("Factory")
    assert m.getAAKitInfo("Factory").RetData is info.RetData
    everything = m.getAAKitInfo(local=True).RetData
    assert everything == {"Factory": info.RetData}

    name = "Mine_" + SUFFIX
    assert m.setAAKitInfo(name, [5, 5], [-45, 45], [-30, 30], ZEROS, ZEROS).RetCode == RetCode.OK
    assert m.getAAKitList().RetData == ["Factory", name]
    assert set(m.getAAKitInfo(local=True).RetData) == {"Factory", name}
    assert m.getAAKitInfo().RetCode != RetCode.OK  # nothing selected yet
    for selected in (name, "Factory"):
        assert m._selectAAKit(selected).RetCode == RetCode.OK
        assert m.getAAKitInfo().RetData == m._AAKitTable[selected]
    assert m._selectAAKit(name).RetCode == RetCode.OK
    info.RetData["SPACING"] = "scribbled"
    assert m.saveAAKitFile(kitName=name).RetCode == RetCode.OK
    assert m.deleteAAKitInfo(name).RetCode == RetCode.OK
    assert m.getAAKitList().RetData == ["Factory"]
    assert m._AAKitTable["Factory"]["SPACING"] != "scribbled"


def test_a_loaded_table_is_converted_when_first_read(tmp_path, beams):
    m = beams
    table = m._BeamTable
    lazy = m._load(28)
    assert isinstance(lazy, RetType) and lazy.RetCode == RetCode.OK and lazy.RetMsg == ""
    assert lazy == RetType(data=table) and RetType(data=table) == lazy
    assert repr(lazy) == repr(RetType(data=table))
    data = lazy.RetData
    assert data == table and lazy.RetData is data
    lazy.RetData = None
    assert lazy == RetType() and lazy.RetData is None
    copied = copy.copy(m._load(28))
    assert type(copied) is RetType and copied.RetData == table
    # A failed load answers a plain envelope.
    assert type(m._load(28, "../out")) is RetType
    m._load(28)
    # The batch answered by the manager itself (callback or logging) is read the same way.
    loads = []

    def load(**kw):
        loads.append(kw["func_name"])
        return RetType(data=table)

    batch = m._getBatchBeamPattern(BTModeFilter.RX, callback=load)
    assert loads == ["_load"] and batch.RetData == {"RX": table["RX"]}


def test_a_loaded_table_read_late_is_the_table_as_loaded(tmp_path, beams):
    m = beams
    loaded = m._BeamTable
    early = m._load(28)
    late = m._load(28)
    # Changes after the load do not reach answers not yet read.
    assert m.setBeamPattern(RFMode.RX, 1, BeamType.BEAM, {"db": 8.0, "theta": 8, "phi": 8},
                            save=False).RetCode == RetCode.OK
    assert m._load(29).RetCode == RetCode.OK
    assert late.RetData == loaded and early.RetData == loaded
    assert m._BeamTable != loaded
    # Mutating the answer leaves the manager's table alone.
    current = m._load(29)
    current.RetData["SN"] = "mine"
    current.RetData.pop("TX")
    assert m._BeamTable["SN"] == "SN7" and "TX" in m._BeamTable


def test_a_read_load_serves_the_next_batches(tmp_path, beams):
    m = beams
    data = m._load(28).RetData
    batch = m._getBatchBeamPattern().RetData
    # The read table is not converted a second time for the batch ...
    assert batch["RX"] is data["RX"] and batch["TX"] is data["TX"]
    # ... and a change is patched into a copy: the caller's loaded table stays as loaded.
    assert m.setBeamPattern(RFMode.RX, 2, BeamType.BEAM, {"db": 6.0, "theta": 6, "phi": 6},
                            save=False).RetCode == RetCode.OK
    after = m._getBatchBeamPattern().RetData
    assert after["RX"]["2"]["beam_config"] == {"db": 6.0, "theta": 6, "phi": 6}
    assert data["RX"]["2"]["beam_config"]["db"] == 2.0 and after["RX"] is not data["RX"]
    assert after == {"TX": m._BeamTable["TX"], "RX": m._BeamTable["RX"]}
    # A table read after the manager changed is not taken for the manager's.
    late = m._load(28)
    assert m.setBeamPattern(RFMode.RX, 3, BeamType.BEAM, {"db": 7.0, "theta": 7, "phi": 7},
                            save=False).RetCode == RetCode.OK
    assert late.RetData["RX"]["3"]["beam_config"]["db"] == 3.0
    assert m._getBatchBeamPattern().RetData["RX"]["3"]["beam_config"]["db"] == 7.0
    # A new load outdates what the last one's reader was given.
    new = json.loads((tmp_path / "BeamTable" / "Beam_Configuration_SN7_28GHz.json").read_text())
    new["RX"]["1"]["beam_config"]["db"] = -1.5
    (tmp_path / "BeamTable" / "Beam_Configuration_SN7_28GHz.json").write_text(json.dumps(new))
    assert m._load(28).RetCode == RetCode.OK
    assert m._getBatchBeamPattern().RetData["RX"]["1"]["beam_config"]["db"] == -1.5
