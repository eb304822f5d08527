#pragma once
// The module's own enumerations (see enum_traits.hpp).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "arvcore/sdk/enum_traits.hpp"

namespace arvcore::vlndev {

#define ARVCORE_BT_MODE_FILTER(X) X(TX, 1) X(RX, 2) X(ALL, 3)
ARVCORE_ENUM(BTModeFilter, flags, "Bit flags: the RF modes a batch beam query returns.",
             ARVCORE_BT_MODE_FILTER)

#define ARVCORE_BT_SET_OPTION(X) \
  X(VALIDATE, 1)                 \
  X(GET, 2)                      \
  X(SAVE, 4)                     \
  X(REPLACE_ALL, 8)              \
  X(UI_IMPORT, 1)                \
  X(UI_EXPORT, 3)                \
  X(UI_SAVE_UPSERT, 5)           \
  X(UI_SAVE_REPLACE, 13)
ARVCORE_ENUM(BTSetOption, flags, "Bit flags: what a batch beam update does.", ARVCORE_BT_SET_OPTION)

#define ARVCORE_BT_FIELD(X) \
  X(VERSION, 0)             \
  X(SN, 1)                  \
  X(DEV_TYPE, 2)            \
  X(FREQ, 3)                \
  X(AAKIT_NAME, 4)          \
  X(TX, 5)                  \
  X(RX, 6)
ARVCORE_ENUM(BTField, plain,
             "Top-level keys of a beam table; ``_version`` is the current table format version.",
             ARVCORE_BT_FIELD)
/// Value of the BTField member `_version`: the current beam-table format version.
inline constexpr std::string_view BTField_version = "2.0.0";
constexpr auto arvcore_enum_texts(BTField*) {
  return std::array<std::pair<std::string_view, std::string_view>, 1>{
      {{"_version", BTField_version}}};
}

#define ARVCORE_BT_BEAM_FIELD(X) \
  X(beam_description, 0)         \
  X(beam_type, 1)                \
  X(beam_config, 2)              \
  X(db, 3)                       \
  X(theta, 4)                    \
  X(phi, 5)                      \
  X(channel_config, 6)           \
  X(board_, 7)                   \
  X(common_db, 8)                \
  X(channel_, 9)                 \
  X(sw, 10)                      \
  X(deg, 11)
ARVCORE_ENUM(BTBeamField, plain,
             "Keys inside one beam entry; ``board_`` and ``channel_`` are prefixes for a number.",
             ARVCORE_BT_BEAM_FIELD)

#define ARVCORE_AAKIT_FIELD(X) \
  X(AAKIT_NAME, 0)             \
  X(DEV_TYPE, 1)               \
  X(TYPE, 2)                   \
  X(SPACING, 3)                \
  X(STEERING_H, 4)             \
  X(STEERING_V, 5)             \
  X(OFFSET_TX, 6)              \
  X(OFFSET_RX, 7)
ARVCORE_ENUM(AAKitField, plain, "Row keys of an antenna-kit table and keys of a kit record.",
             ARVCORE_AAKIT_FIELD)

template <class E>
concept FlagEnum = NamedEnum<E> && EnumTraits<E>::flags;

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
