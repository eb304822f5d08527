"""Calls a hostile user tried through the package and `vlntable`: endless inputs, mode members
of either enumeration, deeply nested tables and callbacks or numbers that break conversions."""

import io
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from arvcore.VLNPublic import BeamType, CellRFMode, RetCode, RFMode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import (BeamPatternTableManager, CalibrationTableManager,
                                            fake_ic_check, fake_rf_layout)

SN = "SNH"
TABLE = "\n".join([
    "VER,3.0.0", f"SN,{SN}", "FCENTER,28", "DR,-6.0,12.5,-9.5,6.0", "OFFSET_TX,1,2",
    "COMDR,TX,x,1,y,-8.5,-1.0", "COMDR,RX,x,1,y,-7.0,0.0", "ELEDR,TX,x,1,y,8.0",
    "ELEDR,RX,x,1,y,7.0", "COMSTEPDR,TX,x,1,y,z,1,w,10,v,-5", "COMSTEPDR,RX,x,1,y,z,1,w,10,v,-5",
    "END", ""])


def endless_inputs(path):
    """Places each endless input at `path` in turn."""
    for make in (lambda: os.symlink("/dev/zero", path), lambda: os.mkfifo(path)):
        if os.path.lexists(path):
            os.remove(path)
        make()
        yield


def test_vlntable_cali_check_finishes_on_endless_tables(tmp_path):
    from test_calibration_files import vlntable_command

    exe = vlntable_command()
    for _ in endless_inputs(tmp_path / f"{SN}_28GHz.csv"):
        r = subprocess.run([exe, "cali", "check", "--files", str(tmp_path), SN, "28"],
                           capture_output=True, text=True, timeout=60)
        # 2: refused before reading; 1: read until the reader stopped.
        assert r.returncode in (1, 2)
        assert r.stdout.splitlines()[0] == "ERROR_BF_CALI_PARSE: parse exception"


def test_package_readers_refuse_endless_inputs(tmp_path):
    # In a process of its own, so that a reader that never returns cannot hang the tests.
    script = textwrap.dedent(f"""
        import logging, os
        from arvcore.VLNPublic import RetCode
        from arvcore.vlndev.VLNTableManager import (AAKitTableManager,
            BeamPatternTableManager, CalibrationTableManager, UDDeltaFreqTableManager)
        os.makedirs(os.path.join({str(tmp_path)!r}, "BeamTable"))
        logging.basicConfig(level=logging.ERROR, format="%(message)s %(exc_info)s")
        def place(name):
            path = os.path.join({str(tmp_path)!r}, name)
            os.symlink("/dev/zero", path)
        place("{SN}_28GHz.csv")
        place("AAKIT_zero.csv")
        place("{SN}.csv")
        place("BeamTable/Beam_Configuration_{SN}_28GHz.json")
        cali = CalibrationTableManager("{SN}", 28, lambda: (1, 1, 2))
        print(cali.parse(28).RetMsg)
        kits = AAKitTableManager(9, 2, support_dev=[9])
        print(kits.parse().RetCode is RetCode.ERROR_BF_NO_AAKIT, kits.getAAKitList().RetData)
        print(UDDeltaFreqTableManager("{SN}").parse().RetMsg)
        print(BeamPatternTableManager("{SN}", 9, 4, (1, 1, 2), None)._load(28).RetMsg)
    """)
    env = dict(os.environ, ARVCORE_FILES_DIR=str(tmp_path))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                       timeout=60, env=env)
    assert r.stdout.splitlines() == [
        "parse exception", "True []", "Exception while delta csv parsing",
        "BeamTable loading exception"], r.stderr
    assert "character device, not a regular file" in r.stderr


def test_mode_members_of_either_enumeration_are_read_by_value():
    mgr = CalibrationTableManager(SN, 28, lambda: (1, 1, 2), fetchCsvFromFile=False)
    assert mgr.parse(28, io.StringIO(TABLE)) == RetType()
    assert mgr._getBoardCOMDR(CellRFMode.RX, 0) == mgr._getBoardCOMDR(RFMode.RX, 0) == [-7.0, 0.0]
    assert mgr._getBoardELEDR(CellRFMode.TX, 0) == 8.0
    with pytest.raises(ValueError):
        mgr._getBoardELEDR(CellRFMode.STANDBY, 0)

    checks = (lambda mode, db, theta, phi, _: RetType(data=[db, theta, phi]), fake_ic_check)
    beams = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, checks)
    beams._updateFreq(28, mgr.getDR().RetData, [[[-8.5, -1.0]] * 4, [[-7.0, 0.0]] * 4],
                      [[8.0] * 4, [7.0] * 4])
    assert beams._load(28).RetCode is RetCode.OK
    assert beams.getBeamPattern(CellRFMode.RX, 1) == beams.getBeamPattern(RFMode.RX, 1)
    config = {"db": 1.0, "theta": 0, "phi": 0}
    assert beams.setBeamPattern(CellRFMode.TX, 2, BeamType.BEAM, config).RetCode is RetCode.OK
    assert beams.getBeamPattern(RFMode.TX, 2).RetData["beam_config"] == config


def test_beam_table_nested_deeper_than_python_takes_answers_the_load_failure(files_dir,
                                                                           arvcore_logs):
    beams = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, None)
    beam_dir = files_dir / "BeamTable"
    beam_dir.mkdir()
    table = beam_dir / f"Beam_Configuration_{SN}_28GHz.json"
    head = '{"VERSION": "v2.0.0", "SN": "%s", "TX": {}, "RX": {}, "X": ' % SN
    table.write_text(head + "[" * 1000 + "]" * 1000 + "}")
    r = beams._load(28)
    assert (r.RetCode, r.RetMsg) == (RetCode.ERROR_BF_BEAM, "BeamTable loading exception")
    # A nesting the package can hand over still loads.
    table.write_text(head + "[" * 200 + "]" * 200 + "}")
    r = beams._load(28)
    assert r.RetCode is RetCode.OK and len(repr(r.RetData["X"])) == 400


class Boom(Exception):
    pass


class RaisingTruth:
    """A callback object whose truth cannot be told."""

    def __call__(self, **kwargs):
        return RetType()

    def __bool__(self):
        raise Boom("no truth")


class RaisingLen:
    """A callback object whose length cannot be told."""

    def __call__(self, **kwargs):
        return RetType()

    def __len__(self):
        raise Boom("no length")


def test_exceptions_of_callback_truth_reach_the_caller_as_themselves(files_dir):
    from arvcore.vlndev.VLNTableManager import AAKitTableManager

    kits = AAKitTableManager(9, 2, support_dev=[9])
    pair = [1.0, 2.0]
    for cb in (RaisingTruth(), RaisingLen()):
        with pytest.raises(Boom):
            kits.getAAKitList(True, cb)
        with pytest.raises(Boom):
            kits.saveAAKitFile("K", callback=cb)
        with pytest.raises(Boom):
            kits.deleteAAKitInfo("K", callback=cb)
        with pytest.raises(Boom):
            kits.setAAKitInfo("K", pair, pair, pair, [0, 0], [0, 0], callback=cb)


def test_wrong_arguments_raise_what_python_would_naming_the_argument(files_dir):
    from arvcore.vlndev.VLNTableManager import AAKitTableManager

    beams = BeamPatternTableManager(SN, 9, 4, fake_rf_layout, None)
    huge = 2 ** 70
    with pytest.raises(OverflowError, match="mode"):
        beams.getBeamPattern(huge, 1)
    with pytest.raises(OverflowError, match="beamId"):
        beams.setBeamPattern(RFMode.TX, huge, BeamType.BEAM)
    with pytest.raises(OverflowError, match="beamType"):
        beams.setBeamPattern(RFMode.TX, 1, huge)

    mgr = CalibrationTableManager(SN, 28, lambda: (1, 1, 2), fetchCsvFromFile=False)
    with pytest.raises(ValueError, match="boards"):
        mgr._getBoardsOffset(range(10 ** 18))
    with pytest.raises(OverflowError, match="boards"):
        mgr._getBoardsOffset([huge])
    with pytest.raises(TypeError, match="boards"):
        mgr._getBoardsOffset(["1"])
    with pytest.raises(ValueError, match="support_dev"):
        AAKitTableManager(9, 2, support_dev=range(10 ** 18))
    assert AAKitTableManager(9, 2, support_dev=range(8, 10)).getAAKitList().RetCode is RetCode.OK
    with pytest.raises(TypeError, match="rf_layout"):
        CalibrationTableManager(SN, 28, None)


def test_objects_whose_init_never_ran_are_refused_by_every_method(tmp_path):
    # Each bound class made with __new__ alone, each of its methods and properties called with
    # a few argument shapes, in a child interpreter: a crash would end it.
    script = textwrap.dedent("""
        import inspect
        import arvcore.vlndev.VLNTableManager
        from arvcore import _arvcore

        ARGS = [(), ("VER",), ({},), (28,), (0, 0), ("S", 28.0), ("a", "b", "c")]
        refused = set()
        for cname, cls in sorted(vars(_arvcore).items()):
            if not inspect.isclass(cls) or issubclass(cls, BaseException):
                continue
            try:
                bare = cls.__new__(cls)
            except TypeError:
                continue
            for name, attr in sorted(vars(cls).items()):
                if name in ("__new__", "__init__", "__doc__", "__module__", "__dict__"):
                    continue
                if isinstance(attr, property):
                    calls = [lambda: getattr(bare, name)]
                elif callable(attr):
                    calls = [lambda a=a: getattr(bare, name)(*a) for a in ARGS]
                else:
                    continue
                for call in calls:
                    try:
                        call()
                    except TypeError as e:
                        if "__init__" in str(e):
                            refused.add(cname + "." + name)
                    except Exception:
                        pass
        print(" ".join(sorted(refused)))
    """)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                       timeout=120, env={**os.environ, "ARVCORE_FILES_DIR": str(tmp_path)})
    assert r.returncode == 0, r.stderr[-2000:]
    refused = set(r.stdout.split())
    for method in ("TableStore.tables", "_VLNTableDB.query", "TableDBQueryer.queryDB",
                   "_PendingTable.__call__", "CalibrationTableManager.parse"):
        assert method in refused, method
