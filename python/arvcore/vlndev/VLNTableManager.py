"""Table managers of the VLN beamformer family: calibration, antenna-array kit, beam pattern
and up/down converter delta-frequency tables, and the web-mode table database facade.

The managers are implemented in the compiled core ``arvcore._arvcore``; this module gives
them their home, with the module's enumerations (built by the core from its tables), and
defines the module's exception class.
"""

from arvcore import _arvcore
from arvcore.VLNUtils import RetType, _Utils
from arvcore.VLNPublic import RFMode, BeamType, RetCode, CellRFMode, POLARIZATION

# The module's enumerations are built by the core from its tables of members.
from arvcore._arvcore import BTModeFilter, BTSetOption, BTField, BTBeamField, AAKitField

POL = POLARIZATION


class VLNTableDBError(Exception):
    """A failed table database exchange; ``ret`` is the envelope to answer the caller with."""

    def __init__(self, code, msg):
        super().__init__(msg)
        self.ret = RetType(code, msg)

    def __str__(self):
        return str(self.ret.RetMsg)


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
