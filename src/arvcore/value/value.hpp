#pragma once
// The dynamic value that crosses the module's interface: null, boolean, integer, float,
// string, list, or a map with string keys that keeps first-insertion order (Python dict
// semantics: O(1) average lookup, last write wins, first position kept).

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "arvcore/value/indexed_map.hpp"

namespace arvcore {

using Value = nlohmann::basic_json<IndexedMap, std::vector, std::string, bool, std::int64_t,
                                   std::uint64_t, double>;

}  // namespace arvcore
