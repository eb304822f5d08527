#pragma once
// Public enumerations shared with the rest of the SDK.

#include "arvcore/sdk/enum_traits.hpp"

namespace arvcore {

#define ARVCORE_RET_CODE(X)    \
  X(OK, 0)                     \
  X(WARNING, 1)                \
  X(ERROR, -1)                 \
  X(ERROR_DB_SERVER, -10)      \
  X(ERROR_DB_FEEDBACK, -11)    \
  X(ERROR_BF_BEAM, -200)       \
  X(ERROR_BF_BEAM_FILE, -201)  \
  X(ERROR_BF_AAKIT, -210)      \
  X(ERROR_BF_NO_AAKIT, -211)   \
  X(ERROR_BF_CALI_PATH, -220)  \
  X(ERROR_BF_CALI_PARSE, -221) \
  X(ERROR_BF_CALI_INCOMPLTE, -222)
ARVCORE_ENUM(RetCode, plain, "Result codes of the envelope RetType.", ARVCORE_RET_CODE)

#define ARVCORE_RF_MODE(X) X(TX, 0) X(RX, 1)
ARVCORE_ENUM(RFMode, plain,
             "RF mode of a main-series device; the value is the mode's position in per-mode "
             "lists.",
             ARVCORE_RF_MODE)

#define ARVCORE_CELL_RF_MODE(X) X(TX, 0) X(RX, 1) X(STANDBY, 2)
ARVCORE_ENUM(CellRFMode, plain, "RF mode of a ZinnetCell-series device.", ARVCORE_CELL_RF_MODE)

#define ARVCORE_BEAM_TYPE(X) X(BEAM, 0) X(CHANNEL, 1)
ARVCORE_ENUM(BeamType, plain,
             "BEAM: steered by gain, theta and phi. CHANNEL: given channel by channel.",
             ARVCORE_BEAM_TYPE)

#define ARVCORE_POLARIZATION(X) X(HORIZON, 0) X(VERTICAL, 1) X(DUAL, 2)
ARVCORE_ENUM(POLARIZATION, plain, "Polarization of a ZinnetCell board.", ARVCORE_POLARIZATION)
using POL = POLARIZATION;

}  // namespace arvcore
