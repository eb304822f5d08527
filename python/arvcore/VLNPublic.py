"""Public enumerations shared by the SDK's components."""

import enum

__all__ = ["RetCode", "RFMode", "CellRFMode", "BeamType", "POLARIZATION"]


class RetCode(enum.Enum):
    """Result codes of the envelope RetType."""

    OK = 0
    WARNING = 1
    ERROR = -1
    ERROR_DB_SERVER = -10
    ERROR_DB_FEEDBACK = -11
    ERROR_BF_BEAM = -200
    ERROR_BF_BEAM_FILE = -201
    ERROR_BF_AAKIT = -210
    ERROR_BF_NO_AAKIT = -211
    ERROR_BF_CALI_PATH = -220
    ERROR_BF_CALI_PARSE = -221
    ERROR_BF_CALI_INCOMPLTE = -222


class RFMode(enum.Enum):
    """RF mode of a main-series device; the value is the mode's position in per-mode lists."""

    TX = 0
    RX = 1


class CellRFMode(enum.Enum):
    """RF mode of a ZinnetCell-series device."""

    TX = 0
    RX = 1
    STANDBY = 2


class BeamType(enum.Enum):
    """BEAM: steered by gain, theta and phi. CHANNEL: given channel by channel."""

    BEAM = 0
    CHANNEL = 1


class POLARIZATION(enum.Enum):
    """Polarization of a ZinnetCell board."""

    HORIZON = 0
    VERTICAL = 1
    DUAL = 2
