#pragma once
// Name and value tables for the enumerations that cross the module's interface: every member
// has a name and a value, and can be found by either.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/sdk/errors.hpp"

namespace arvcore {

/// Specialised per enumeration with `type_name` and `members` (declaration order; aliases
/// after the canonical member of the same value).
template <class E>
struct EnumTraits;

template <class E>
concept NamedEnum = requires {
  EnumTraits<E>::members;
};

/// All members in declaration order (aliases included).
template <NamedEnum E>
constexpr const auto& enum_members() {
  return EnumTraits<E>::members;
}

template <NamedEnum E>
constexpr std::int64_t enum_value(E e) {
  return static_cast<std::int64_t>(e);
}

/// The member's name; for an alias value, the first (canonical) name.
template <NamedEnum E>
constexpr std::string_view enum_name(E e) {
  for (const auto& [name, member] : EnumTraits<E>::members) {
    if (member == e) {
      return name;
    }
  }
  return {};
}

/// True when `value` is the value of a member.
template <NamedEnum E>
constexpr bool enum_has_value(std::int64_t value) {
  for (const auto& m : EnumTraits<E>::members) {
    if (enum_value(m.second) == value) {
      return true;
    }
  }
  return false;
}

/// The member of that value. Throws ValueError("5 is not a valid RFMode").
template <NamedEnum E>
E enum_from_value(std::int64_t value) {
  if (!enum_has_value<E>(value)) {
    throw ValueError(fmt::format("{} is not a valid {}", value, EnumTraits<E>::type_name));
  }
  return static_cast<E>(value);
}

/// The member of that name (aliases included). Throws KeyError with the name.
template <NamedEnum E>
E enum_from_name(std::string_view name) {
  for (const auto& [n, member] : EnumTraits<E>::members) {
    if (n == name) {
      return member;
    }
  }
  throw KeyError(std::string(name));
}

/// "RFMode.TX"
template <NamedEnum E>
std::string enum_text(E e) {
  return fmt::format("{}.{}", EnumTraits<E>::type_name, enum_name(e));
}

}  // namespace arvcore
