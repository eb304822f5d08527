"""A table converted to Python objects is what Python's json module reads from its file: the
same values of the same types, keys in the same order, whatever texts and numbers repeat."""

import gc
import json
import math

import pytest

from arvcore.VLNPublic import RetCode
from arvcore.vlndev.VLNTableManager import BeamPatternTableManager, fake_check, fake_ic_check

from test_kept_results import COMDR, DR, ELEDR


def same(a, b, path="$"):
    """Equal values of the same types, with maps in the same key order (== ignores order and
    treats 1 == 1.0 == True)."""
    assert type(a) is type(b), path
    if isinstance(a, dict):
        assert list(a) == list(b), path
        for k in a:
            same(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, list):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b), path
    else:
        assert a == b, path
        if isinstance(a, float):
            assert math.copysign(1.0, a) == math.copysign(1.0, b), path


def tricky_table():
    """A current table (no conversion, no upgrade) whose beams hold many repeated and many
    distinct texts and numbers: more distinct keys than any cache of them could hold, keys
    that differ only in their last byte or in length, non-ASCII and long texts, and floats
    that are equal as numbers but not as bits. Over 4 MB as a file, so that it is loaded the
    way large tables are, in memory prepared for it and taken over from the table it replaces."""
    channels = {f"channel_{c}": {"sw": c % 2, "db": -3.5 + c * 0.25, "deg": 45 * c}
                for c in range(1, 5)}
    tx = {str(i): {"beam_description": "d" * (i % 40), "beam_type": 1,
                   "channel_config": {"board_1": dict([("common_db", -2.5)] + list(channels.items()))}}
          for i in range(1, 7501)}
    rx = {str(i): {"beam_description": f"Strahl {i} \u00fcber {'x' * (i % 3)}", "beam_type": 0,
                   "beam_config": {"db": i / 7, "theta": i % 90, "phi": -i}} for i in range(1, 301)}
    odd = {"": "", "a": "a", "ab": "ab", "abcdefgh": 0.0, "abcdefgi": -0.0, "abcdefghi": 1e308,
           "\u00e9t\u00e9": "\u00e9t\u00e9", "k" * 33: "v" * 33, "k" * 32: "v" * 32,
           "ints": [0, -1, 256, 257, -6, 2**63 - 1, -2**63, 2**64 - 1], "floats": [0.1] * 5,
           "nested": [[], {}, [None, True, False, [1.5, "1.5"]]]}
    return {"VERSION": "v2.0.0", "SN": "SN7", "DEV_TYPE": 9, "FREQ": 28, "AAKIT_NAME": "",
            "TX": tx, "RX": rx, "EXTRA": odd}


@pytest.fixture
def loaded(tmp_path, monkeypatch):
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(tmp_path))
    (tmp_path / "BeamTable").mkdir()
    path = tmp_path / "BeamTable" / "Beam_Configuration_SN7_28GHz.json"
    path.write_text(json.dumps(tricky_table(), indent=2, ensure_ascii=False), encoding="utf-8")
    m = BeamPatternTableManager("SN7", 9, 8, (1, 1, 4), (fake_check, fake_ic_check))
    m._updateFreq(28, DR, COMDR, ELEDR)
    return m, path


def test_a_loaded_table_reads_as_json_reads_its_file(loaded):
    m, path = loaded
    expected = json.loads(path.read_text(encoding="utf-8"))
    # A second load meets the texts and numbers the first one left, and is built where the
    # first one lay; a third where the second did.
    for _ in range(3):
        ret = m._load(28)
        assert ret.RetCode == RetCode.OK
        same(ret.RetData, expected)
    same(m._BeamTable, expected)
    # The file was not rewritten: the table needed no upgrade.
    assert json.loads(path.read_text(encoding="utf-8")) == expected


def test_a_conversion_leaves_the_cycle_collector_as_it_found_it(loaded):
    m, _ = loaded
    assert gc.isenabled()
    m._load(28).RetData
    assert gc.isenabled()
    gc.disable()
    try:
        m._load(28).RetData
        assert not gc.isenabled()
    finally:
        gc.enable()
