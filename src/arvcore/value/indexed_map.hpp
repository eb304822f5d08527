#pragma once
// Insertion-ordered object map used by arvcore::Value.
//
// Placeholder: forwards to nlohmann's ordered_map until the hashed map lands.

#include <nlohmann/ordered_map.hpp>

namespace arvcore {

template <class Key, class T, class... Rest>
using IndexedMap = nlohmann::ordered_map<Key, T, Rest...>;

}  // namespace arvcore
