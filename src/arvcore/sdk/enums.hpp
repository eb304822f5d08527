#pragma once
// Public enumerations shared with the rest of the SDK.

#include <array>
#include <string_view>
#include <utility>

#include "arvcore/sdk/enum_traits.hpp"

namespace arvcore {

/// Result codes of the envelope RetType.
enum class RetCode : int {
  OK = 0,
  WARNING = 1,
  ERROR = -1,
  ERROR_DB_SERVER = -10,
  ERROR_DB_FEEDBACK = -11,
  ERROR_BF_BEAM = -200,
  ERROR_BF_BEAM_FILE = -201,
  ERROR_BF_AAKIT = -210,
  ERROR_BF_NO_AAKIT = -211,
  ERROR_BF_CALI_PATH = -220,
  ERROR_BF_CALI_PARSE = -221,
  ERROR_BF_CALI_INCOMPLTE = -222,
};

/// RF mode of a main-series device; the value is the mode's position in per-mode lists.
enum class RFMode : int { TX = 0, RX = 1 };

/// RF mode of a ZinnetCell-series device.
enum class CellRFMode : int { TX = 0, RX = 1, STANDBY = 2 };

/// BEAM: steered by gain, theta and phi. CHANNEL: given channel by channel.
enum class BeamType : int { BEAM = 0, CHANNEL = 1 };

/// Polarization of a ZinnetCell board.
enum class POLARIZATION : int { HORIZON = 0, VERTICAL = 1, DUAL = 2 };
using POL = POLARIZATION;

template <>
struct EnumTraits<RetCode> {
  static constexpr std::string_view type_name = "RetCode";
  static constexpr std::array<std::pair<std::string_view, RetCode>, 12> members{{
      {"OK", RetCode::OK},
      {"WARNING", RetCode::WARNING},
      {"ERROR", RetCode::ERROR},
      {"ERROR_DB_SERVER", RetCode::ERROR_DB_SERVER},
      {"ERROR_DB_FEEDBACK", RetCode::ERROR_DB_FEEDBACK},
      {"ERROR_BF_BEAM", RetCode::ERROR_BF_BEAM},
      {"ERROR_BF_BEAM_FILE", RetCode::ERROR_BF_BEAM_FILE},
      {"ERROR_BF_AAKIT", RetCode::ERROR_BF_AAKIT},
      {"ERROR_BF_NO_AAKIT", RetCode::ERROR_BF_NO_AAKIT},
      {"ERROR_BF_CALI_PATH", RetCode::ERROR_BF_CALI_PATH},
      {"ERROR_BF_CALI_PARSE", RetCode::ERROR_BF_CALI_PARSE},
      {"ERROR_BF_CALI_INCOMPLTE", RetCode::ERROR_BF_CALI_INCOMPLTE},
  }};
};

template <>
struct EnumTraits<RFMode> {
  static constexpr std::string_view type_name = "RFMode";
  static constexpr std::array<std::pair<std::string_view, RFMode>, 2> members{{
      {"TX", RFMode::TX},
      {"RX", RFMode::RX},
  }};
};

template <>
struct EnumTraits<CellRFMode> {
  static constexpr std::string_view type_name = "CellRFMode";
  static constexpr std::array<std::pair<std::string_view, CellRFMode>, 3> members{{
      {"TX", CellRFMode::TX},
      {"RX", CellRFMode::RX},
      {"STANDBY", CellRFMode::STANDBY},
  }};
};

template <>
struct EnumTraits<BeamType> {
  static constexpr std::string_view type_name = "BeamType";
  static constexpr std::array<std::pair<std::string_view, BeamType>, 2> members{{
      {"BEAM", BeamType::BEAM},
      {"CHANNEL", BeamType::CHANNEL},
  }};
};

template <>
struct EnumTraits<POLARIZATION> {
  static constexpr std::string_view type_name = "POLARIZATION";
  static constexpr std::array<std::pair<std::string_view, POLARIZATION>, 3> members{{
      {"HORIZON", POLARIZATION::HORIZON},
      {"VERTICAL", POLARIZATION::VERTICAL},
      {"DUAL", POLARIZATION::DUAL},
  }};
};

}  // namespace arvcore
