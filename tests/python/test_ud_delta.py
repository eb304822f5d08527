"""Python surface of the converter delta-frequency manager."""

import logging

from arvcore.VLNPublic import RetCode
from arvcore.VLNUtils import RetType
from arvcore.vlndev.VLNTableManager import UDDeltaFreqTableManager


def test_delta_frequency(files_dir, arvcore_logs):
    sn = "D2230E013-28"
    m = UDDeltaFreqTableManager(sn)
    assert m.getUDDeltaFreq() == RetType(data=0)
    assert m.parse() == RetType(RetCode.WARNING, "Delta csv not exist, skip it")
    (files_dir / (sn + ".csv")).write_text(sn + "\n#comment\n 150 ,x\n9\n")
    assert m.parse() == RetType()
    assert m.getUDDeltaFreq().RetData == 150
    (files_dir / (sn + ".csv")).write_text("abc\n")
    assert m.parse() == RetType(RetCode.ERROR, "Exception while delta csv parsing")
    assert m.getUDDeltaFreq().RetData == 150
    records = [(r.name, r.levelno, r.getMessage()) for r in arvcore_logs.records]
    assert ("UDDeltaTbl", logging.INFO, "Update delta freq to 150") in records
    assert ("UDDeltaTbl", logging.ERROR, "Exception while delta csv parsing") in records


def test_pattern_characters_match_nothing(files_dir):
    (files_dir / "D1.csv").write_text("100\n")
    for sn in ("D?", "D*", "D[1]"):
        assert UDDeltaFreqTableManager(sn).parse().RetCode == RetCode.WARNING
