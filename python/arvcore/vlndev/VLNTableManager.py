"""Table managers of the VLN beamformer family: calibration, antenna-array kit, beam pattern
and up/down converter delta-frequency tables, and the web-mode table database facade.

The managers are implemented in the compiled core ``arvcore._arvcore``; this module gives
them their home and defines the module's enumerations and its exception class.
"""

import enum

from arvcore.VLNUtils import RetType, _Utils
from arvcore.VLNPublic import RFMode, BeamType, RetCode, CellRFMode, POLARIZATION

POL = POLARIZATION


# The flag sets print by name ("BTSetOption.SAVE", "BTSetOption.GET|SAVE"), as in log lines,
# rather than as the bare number that IntFlag prints by default.


class BTModeFilter(enum.IntFlag):
    """Bit flags: the RF modes a batch beam query returns."""

    __str__ = enum.Flag.__str__

    TX = 1
    RX = 2
    ALL = 3


class BTSetOption(enum.IntFlag):
    """Bit flags: what a batch beam update does."""

    __str__ = enum.Flag.__str__

    VALIDATE = 1
    GET = 2
    SAVE = 4
    REPLACE_ALL = 8
    UI_IMPORT = 1
    UI_EXPORT = 3
    UI_SAVE_UPSERT = 5
    UI_SAVE_REPLACE = 13


class BTField(enum.Enum):
    """Top-level keys of a beam table; ``_version`` is the current table format version."""

    _version = "2.0.0"
    VERSION = 0
    SN = 1
    DEV_TYPE = 2
    FREQ = 3
    AAKIT_NAME = 4
    TX = 5
    RX = 6


class BTBeamField(enum.Enum):
    """Keys inside one beam entry; ``board_`` and ``channel_`` are prefixes for a number."""

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
    """Row keys of an antenna-kit table and keys of a kit record."""

    AAKIT_NAME = 0
    DEV_TYPE = 1
    TYPE = 2
    SPACING = 3
    STEERING_H = 4
    STEERING_V = 5
    OFFSET_TX = 6
    OFFSET_RX = 7


class VLNTableDBError(Exception):
    """A failed table database exchange; ``ret`` is the envelope to answer the caller with."""

    def __init__(self, code, msg):
        super().__init__(msg)
        self.ret = RetType(code, msg)

    def __str__(self):
        return str(self.ret.RetMsg)


from arvcore import _arvcore  # noqa: E402  (the classes above must exist before the core loads)

_EXPORTED = (
    "_VLNTableDB",
    "CalibrationTableManager",
    "AAKitTableManager",
    "UDDeltaFreqTableManager",
    "BeamPatternTableManager",
    "fake_rf_layout",
    "fake_check",
    "fake_ic_check",
)
for _name in _EXPORTED:
    if hasattr(_arvcore, _name):
        globals()[_name] = getattr(_arvcore, _name)
del _name
