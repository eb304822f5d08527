"""Public enumerations shared by the SDK's components.

The classes are built by the compiled core from its tables of members (one table per
enumeration, in the C++ sources), so the two cannot disagree.
"""

from arvcore._arvcore import POLARIZATION, BeamType, CellRFMode, RetCode, RFMode

__all__ = ["RetCode", "RFMode", "CellRFMode", "BeamType", "POLARIZATION"]
