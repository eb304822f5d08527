# Types of arvcore.vlndev.VLNTableManager; the managers themselves live in arvcore._arvcore.
# The enumeration members are written from the core's tables by scripts/enum-stubs.py.
import enum
from typing import Any

from arvcore._arvcore import (
    AAKitTableManager as AAKitTableManager,
    BeamPatternTableManager as BeamPatternTableManager,
    CalibrationTableManager as CalibrationTableManager,
    UDDeltaFreqTableManager as UDDeltaFreqTableManager,
    _VLNTableDB as _VLNTableDB,
    fake_check as fake_check,
    fake_ic_check as fake_ic_check,
    fake_rf_layout as fake_rf_layout,
)
from arvcore.VLNPublic import (
    POLARIZATION as POLARIZATION,
    BeamType as BeamType,
    CellRFMode as CellRFMode,
    RetCode as RetCode,
    RFMode as RFMode,
)
from arvcore.VLNUtils import RetType as RetType, _Utils as _Utils

POL = POLARIZATION

class BTModeFilter(enum.IntFlag):
    TX = 1
    RX = 2
    ALL = 3

class BTSetOption(enum.IntFlag):
    VALIDATE = 1
    GET = 2
    SAVE = 4
    REPLACE_ALL = 8
    UI_IMPORT = 1
    UI_EXPORT = 3
    UI_SAVE_UPSERT = 5
    UI_SAVE_REPLACE = 13

class BTField(enum.Enum):
    _version = "2.0.0"
    VERSION = 0
    SN = 1
    DEV_TYPE = 2
    FREQ = 3
    AAKIT_NAME = 4
    TX = 5
    RX = 6

class BTBeamField(enum.Enum):
    beam_description = 0
    beam_type = 1
    beam_config = 2
    db = 3
    theta = 4
    phi = 5
    channel_config = 6
    board_ = 7
    common_db = 8
    channel_ = 9
    sw = 10
    deg = 11

class AAKitField(enum.Enum):
    AAKIT_NAME = 0
    DEV_TYPE = 1
    TYPE = 2
    SPACING = 3
    STEERING_H = 4
    STEERING_V = 5
    OFFSET_TX = 6
    OFFSET_RX = 7

class VLNTableDBError(Exception):
    ret: RetType
    def __init__(self, code: RetCode, msg: str) -> None: ...

_EXPORTED: tuple[str, ...]
_arvcore: Any
