#pragma once
// The dynamic value that crosses the module's interface: null, boolean, integer, float,
// string, list, or a map with string keys that keeps first-insertion order (Python dict
// semantics: O(1) average lookup, last write wins, first position kept).

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "arvcore/value/indexed_map.hpp"
#include "arvcore/value/value_allocator.hpp"

namespace arvcore {

using Value = nlohmann::basic_json<IndexedMap, std::vector, std::string, bool, std::int64_t,
                                   std::uint64_t, double, ValueAllocator>;

namespace value_detail {
/// How many lists and maps the calling thread is freeing one inside the other.
inline thread_local constinit int teardown_depth = 0;
inline constexpr int kDirectTeardownDepth = 64;
}  // namespace value_detail

}  // namespace arvcore

// Freeing a list or map. The library's own teardown moves every element onto a temporary
// heap stack first, so that deep nesting cannot overflow the call stack; for tables of many
// small number lists that is an extra allocation and a second pass per list. Here lists and
// maps nested up to kDirectTeardownDepth deep free their elements directly, and only deeper
// ones take the flattening walk.
template <>
inline void arvcore::Value::json_value::destroy(value_t t) {
  using arvcore::value_detail::teardown_depth;
  const bool container = t == value_t::array || t == value_t::object;
  if (container && teardown_depth >= arvcore::value_detail::kDirectTeardownDepth) {
    std::vector<basic_json> stack;
    auto take_children = [&stack](auto& v) {
      if (v.is_array()) {
        for (auto& e : *v.m_value.array) {
          stack.push_back(std::move(e));
        }
        v.m_value.array->clear();
      } else if (v.is_object()) {
        for (auto& e : *v.m_value.object) {
          stack.push_back(std::move(e.second));
        }
        v.m_value.object->clear();
      }
    };
    if (t == value_t::array) {
      for (auto& e : *array) {
        stack.push_back(std::move(e));
      }
    } else {
      for (auto& e : *object) {
        stack.push_back(std::move(e.second));
      }
    }
    while (!stack.empty()) {
      basic_json current(std::move(stack.back()));
      stack.pop_back();
      take_children(current);
    }
  }
  if (container) {
    ++teardown_depth;
  }
  auto release = [](auto* p) {
    arvcore::ValueAllocator<std::remove_pointer_t<decltype(p)>> alloc;
    std::allocator_traits<decltype(alloc)>::destroy(alloc, p);
    std::allocator_traits<decltype(alloc)>::deallocate(alloc, p, 1);
  };
  switch (t) {
    case value_t::object:
      release(object);
      break;
    case value_t::array:
      release(array);
      break;
    case value_t::string:
      release(string);
      break;
    case value_t::binary:
      release(binary);
      break;
    default:
      break;
  }
  if (container) {
    --teardown_depth;
  }
}
