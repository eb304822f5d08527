# Types of arvcore.VLNPublic. The members are written from the core's tables by
# scripts/enum-stubs.py; a test fails when they differ.
import enum

__all__ = ["RetCode", "RFMode", "CellRFMode", "BeamType", "POLARIZATION"]

class RetCode(enum.Enum):
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
    TX = 0
    RX = 1

class CellRFMode(enum.Enum):
    TX = 0
    RX = 1
    STANDBY = 2

class BeamType(enum.Enum):
    BEAM = 0
    CHANNEL = 1

class POLARIZATION(enum.Enum):
    HORIZON = 0
    VERTICAL = 1
    DUAL = 2
