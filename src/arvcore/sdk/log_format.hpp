#pragma once
// The module's loggers, with the formatting that lets a record name a value, an envelope or an
// enumeration member the way the Python host's str() shows it.

#include <string_view>

#include <fmt/format.h>

#include "arvcore/base/log.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/value/value.hpp"

// Values, envelopes and enumeration members format as the Python host's str() would.
template <>
struct fmt::formatter<arvcore::Value> : fmt::formatter<std::string_view> {
  auto format(const arvcore::Value& v, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(arvcore::value::str(v), ctx);
  }
};

template <>
struct fmt::formatter<arvcore::RetType> : fmt::formatter<std::string_view> {
  auto format(const arvcore::RetType& r, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(r.to_string(), ctx);
  }
};

template <arvcore::NamedEnum E>
struct fmt::formatter<E> : fmt::formatter<std::string_view> {
  auto format(E e, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(arvcore::enum_text(e), ctx);
  }
};
