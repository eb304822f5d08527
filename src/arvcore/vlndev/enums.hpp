#pragma once
// The module's own enumerations.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "arvcore/sdk/enum_traits.hpp"

namespace arvcore::vlndev {

/// Bit flags: the RF modes a batch beam query returns.
enum class BTModeFilter : int { TX = 1, RX = 2, ALL = 3 };

/// Bit flags: what a batch beam update does.
enum class BTSetOption : int {
  VALIDATE = 1,
  GET = 2,
  SAVE = 4,
  REPLACE_ALL = 8,
  UI_IMPORT = 1,
  UI_EXPORT = 3,
  UI_SAVE_UPSERT = 5,
  UI_SAVE_REPLACE = 13,
};

/// Top-level keys of a beam table. The format version is BTField_version.
enum class BTField : int {
  VERSION = 0,
  SN = 1,
  DEV_TYPE = 2,
  FREQ = 3,
  AAKIT_NAME = 4,
  TX = 5,
  RX = 6
};
/// Value of the BTField member `_version`: the current beam-table format version.
inline constexpr std::string_view BTField_version = "2.0.0";

/// Keys inside one beam entry; `board_` and `channel_` are prefixes for a number.
enum class BTBeamField : int {
  beam_description = 0,
  beam_type = 1,
  beam_config = 2,
  db = 3,
  theta = 4,
  phi = 5,
  channel_config = 6,
  board_ = 7,
  common_db = 8,
  channel_ = 9,
  sw = 10,
  deg = 11,
};

/// Row keys of an antenna-kit table and keys of a kit record.
enum class AAKitField : int {
  AAKIT_NAME = 0,
  DEV_TYPE = 1,
  TYPE = 2,
  SPACING = 3,
  STEERING_H = 4,
  STEERING_V = 5,
  OFFSET_TX = 6,
  OFFSET_RX = 7,
};

template <class E>
concept FlagEnum = std::same_as<E, BTModeFilter> || std::same_as<E, BTSetOption>;

template <FlagEnum E>
constexpr E operator|(E a, E b) {
  return static_cast<E>(static_cast<int>(a) | static_cast<int>(b));
}
template <FlagEnum E>
constexpr E operator&(E a, E b) {
  return static_cast<E>(static_cast<int>(a) & static_cast<int>(b));
}
/// True when every bit of `flag` is set in `set`.
template <FlagEnum E>
constexpr bool has_flag(E set, E flag) {
  return (static_cast<int>(set) & static_cast<int>(flag)) == static_cast<int>(flag);
}

/// Text of a flag set: "BTSetOption.SAVE" for a named value, "BTSetOption.GET|SAVE" for a
/// combination without a name of its own, "BTSetOption(0)" for no flag.
template <FlagEnum E>
std::string flag_text(E e);

/// Converts an integer to a flag set; any combination of the defined bits is accepted.
/// Throws ValueError for other bits.
template <FlagEnum E>
E flag_from_value(std::int64_t value);

}  // namespace arvcore::vlndev

namespace arvcore {

template <>
struct EnumTraits<vlndev::BTModeFilter> {
  using E = vlndev::BTModeFilter;
  static constexpr std::string_view type_name = "BTModeFilter";
  static constexpr std::array<std::pair<std::string_view, E>, 3> members{{
      {"TX", E::TX},
      {"RX", E::RX},
      {"ALL", E::ALL},
  }};
};

template <>
struct EnumTraits<vlndev::BTSetOption> {
  using E = vlndev::BTSetOption;
  static constexpr std::string_view type_name = "BTSetOption";
  static constexpr std::array<std::pair<std::string_view, E>, 8> members{{
      {"VALIDATE", E::VALIDATE},
      {"GET", E::GET},
      {"SAVE", E::SAVE},
      {"REPLACE_ALL", E::REPLACE_ALL},
      {"UI_IMPORT", E::UI_IMPORT},
      {"UI_EXPORT", E::UI_EXPORT},
      {"UI_SAVE_UPSERT", E::UI_SAVE_UPSERT},
      {"UI_SAVE_REPLACE", E::UI_SAVE_REPLACE},
  }};
};

template <>
struct EnumTraits<vlndev::BTField> {
  using E = vlndev::BTField;
  static constexpr std::string_view type_name = "BTField";
  static constexpr std::array<std::pair<std::string_view, E>, 7> members{{
      {"VERSION", E::VERSION},
      {"SN", E::SN},
      {"DEV_TYPE", E::DEV_TYPE},
      {"FREQ", E::FREQ},
      {"AAKIT_NAME", E::AAKIT_NAME},
      {"TX", E::TX},
      {"RX", E::RX},
  }};
};

template <>
struct EnumTraits<vlndev::BTBeamField> {
  using E = vlndev::BTBeamField;
  static constexpr std::string_view type_name = "BTBeamField";
  static constexpr std::array<std::pair<std::string_view, E>, 12> members{{
      {"beam_description", E::beam_description},
      {"beam_type", E::beam_type},
      {"beam_config", E::beam_config},
      {"db", E::db},
      {"theta", E::theta},
      {"phi", E::phi},
      {"channel_config", E::channel_config},
      {"board_", E::board_},
      {"common_db", E::common_db},
      {"channel_", E::channel_},
      {"sw", E::sw},
      {"deg", E::deg},
  }};
};

template <>
struct EnumTraits<vlndev::AAKitField> {
  using E = vlndev::AAKitField;
  static constexpr std::string_view type_name = "AAKitField";
  static constexpr std::array<std::pair<std::string_view, E>, 8> members{{
      {"AAKIT_NAME", E::AAKIT_NAME},
      {"DEV_TYPE", E::DEV_TYPE},
      {"TYPE", E::TYPE},
      {"SPACING", E::SPACING},
      {"STEERING_H", E::STEERING_H},
      {"STEERING_V", E::STEERING_V},
      {"OFFSET_TX", E::OFFSET_TX},
      {"OFFSET_RX", E::OFFSET_RX},
  }};
};

}  // namespace arvcore

namespace arvcore::vlndev {

template <FlagEnum E>
std::string flag_text(E e) {
  const int v = static_cast<int>(e);
  for (const auto& [name, member] : EnumTraits<E>::members) {
    if (static_cast<int>(member) == v) {
      return enum_text(member);
    }
  }
  if (v == 0) {
    return std::string(EnumTraits<E>::type_name) + "(0)";
  }
  std::string names;
  int covered = 0;
  for (const auto& [name, member] : EnumTraits<E>::members) {
    const int m = static_cast<int>(member);
    // Single-bit members only, each bit once (aliases come after their canonical name).
    if ((m & (m - 1)) == 0 && (v & m) == m && (covered & m) == 0) {
      names += names.empty() ? "" : "|";
      names += name;
      covered |= m;
    }
  }
  return std::string(EnumTraits<E>::type_name) + "." + names;
}

template <FlagEnum E>
E flag_from_value(std::int64_t value) {
  std::int64_t all = 0;
  for (const auto& m : EnumTraits<E>::members) {
    all |= static_cast<int>(m.second);
  }
  if (value < 0 || (value & ~all) != 0) {
    throw ValueError(fmt::format("{} is not a valid {}", value, EnumTraits<E>::type_name));
  }
  return static_cast<E>(value);
}

}  // namespace arvcore::vlndev
