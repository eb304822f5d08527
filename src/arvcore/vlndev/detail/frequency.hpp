#pragma once
// The check every table file name built from an operating frequency goes through.

#include <cmath>
#include <string>

#include <fmt/format.h>

#include "arvcore/value/pynum.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore::vlndev {

/// Why `freq` cannot be the operating frequency of a table: a frequency in GHz is a finite
/// number above 0, and anything else ("nan", "inf", -1, 0) would only name files that no
/// device has. "" when it can; values that are not numbers are left to the callers' own
/// type checks.
inline std::string frequency_problem(const Value& freq) {
  if (!freq.is_number()) {
    return {};
  }
  const double f = freq.get<double>();
  if (std::isfinite(f) && f > 0) {
    return {};
  }
  return fmt::format("Frequency {} GHz is not a finite positive number", value::str(freq));
}

}  // namespace arvcore::vlndev
