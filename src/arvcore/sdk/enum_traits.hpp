#pragma once
// Name and value tables for the enumerations that cross the module's interface: every member
// has a name and a value, and can be found by either.
//
// Each enumeration is written once, as a table (ARVCORE_ENUM): the C++ enumeration, its
// names, its order and its documentation come from it, and so do the Python classes that the
// package builds from it, their stubs and the conversions between the two.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"

namespace arvcore {

/// Plain enumeration, or bit flags combined with | and tested with &.
enum class EnumKind { plain, flags };

/// What ARVCORE_ENUM records of one enumeration.
template <class E, std::size_t N>
struct EnumTable {
  std::string_view type_name;
  std::string_view doc;
  EnumKind kind;
  std::array<std::pair<std::string_view, E>, N> members;
};

template <class E, std::size_t N>
constexpr EnumTable<E, N> make_enum_table(std::string_view type_name, std::string_view doc,
                                          EnumKind kind,
                                          std::array<std::pair<std::string_view, E>, N> members) {
  return {type_name, doc, kind, members};
}

/// Members whose value is a text rather than a number; they come before the numbered ones.
/// An enumeration has none unless it declares `arvcore_enum_texts(E*)`.
using EnumTexts = std::array<std::pair<std::string_view, std::string_view>, 0>;

template <class E>
concept NamedEnum = requires(E* e) {
  arvcore_enum_table(e);
};

/// The table of E, with `type_name`, `doc`, `kind` and `members` (declaration order; aliases
/// after the member of the same value).
template <NamedEnum E>
struct EnumTraits {
  static constexpr auto table = arvcore_enum_table(static_cast<E*>(nullptr));
  static constexpr std::string_view type_name = table.type_name;
  static constexpr std::string_view doc = table.doc;
  static constexpr bool flags = table.kind == EnumKind::flags;
  static constexpr const auto& members = table.members;
};

/// The members of E whose value is a text (see EnumTexts).
template <NamedEnum E>
constexpr auto enum_texts() {
  if constexpr (requires(E * e) { arvcore_enum_texts(e); }) {
    return arvcore_enum_texts(static_cast<E*>(nullptr));
  } else {
    return EnumTexts{};
  }
}

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

// ARVCORE_ENUM(Name, kind, "doc", MEMBERS) declares `enum class Name : int` in the current
// namespace, with its table. MEMBERS(X) lists X(member, value) in declaration order; an alias
// follows the member whose value it shares. `arvcore_enum_literal(Name*)` is the name as a
// string literal, for compile-time texts (signatures).
#define ARVCORE_ENUM_VALUE_(member, value) member = value,
#define ARVCORE_ENUM_ENTRY_(member, value) {#member, Enum_::member},
#define ARVCORE_ENUM(Name, Kind, Doc, MEMBERS)                                              \
  enum class Name : int { MEMBERS(ARVCORE_ENUM_VALUE_) };                                   \
  constexpr auto arvcore_enum_table(Name*) {                                                \
    using Enum_ = Name;                                                                     \
    return ::arvcore::make_enum_table<Enum_>(                                               \
        #Name, Doc, ::arvcore::EnumKind::Kind,                                              \
        std::to_array<std::pair<std::string_view, Enum_>>({MEMBERS(ARVCORE_ENUM_ENTRY_)})); \
  }                                                                                         \
  constexpr auto& arvcore_enum_literal(Name*) {                                             \
    return #Name;                                                                           \
  }
