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

#include "arvcore/value/detail/indexed_map.hpp"
#include "arvcore/value/detail/value_allocator.hpp"

namespace arvcore {

using Value = nlohmann::basic_json<IndexedMap, std::vector, std::string, bool, std::int64_t,
                                   std::uint64_t, double, ValueAllocator>;

namespace value {

/// Asks for the storage behind a value (a map's or list's header, a text) ahead of its use.
/// A table's storage lies all over memory, so a walk that waits for each header in turn
/// spends most of its time waiting; asking for all the children of a map at once lets those
/// waits overlap.
inline void prefetch_payload(const Value& v) noexcept {
  if (const auto* m = v.get_ptr<const Value::object_t*>()) {
    __builtin_prefetch(m);
  } else if (const auto* a = v.get_ptr<const Value::array_t*>()) {
    __builtin_prefetch(a);
  } else if (const auto* t = v.get_ptr<const Value::string_t*>()) {
    __builtin_prefetch(t);
  }
}

}  // namespace value

}  // namespace arvcore

// The one teardown of every value, a query's answer as a whole table: freed in place, depth
// first (see destroy() below for why not by the library).
namespace arvcore::value_detail {

/// Destroys and frees one object that a value's payload points to.
template <class T>
void release_one(T* p) {
  ValueAllocator<T> alloc;
  std::allocator_traits<ValueAllocator<T>>::destroy(alloc, p);
  std::allocator_traits<ValueAllocator<T>>::deallocate(alloc, p, 1);
}

/// Frees the list, map, text or byte string that a value's payload `storage` points to.
/// Lists and maps nested up to kDirectTeardownDepth deep free their elements directly; deeper
/// ones first move every descendant onto a heap stack, so that no nesting can overflow the
/// call stack.
template <class Storage>
[[gnu::noinline]] void release_payload(Storage& storage, Value::value_t t) {
  using value_t = Value::value_t;
  const bool container = t == value_t::array || t == value_t::object;
  if (container && teardown_depth >= kDirectTeardownDepth) {
    std::vector<Value> stack;
    auto take_children = [&stack](auto& children) {
      for (auto& e : children) {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, Value>) {
          stack.push_back(std::move(e));
        } else {
          stack.push_back(std::move(e.second));
        }
      }
      children.clear();
    };
    if (t == value_t::array) {
      take_children(*storage.array);
    } else {
      take_children(*storage.object);
    }
    while (!stack.empty()) {
      Value current(std::move(stack.back()));
      stack.pop_back();
      if (auto* list = current.get_ptr<Value::array_t*>()) {
        take_children(*list);
      } else if (auto* map = current.get_ptr<Value::object_t*>()) {
        take_children(*map);
      }
    }
  }
  if (container) {
    ++teardown_depth;
  }
  switch (t) {
    case value_t::object:
      release_one(storage.object);
      break;
    case value_t::array:
      release_one(storage.array);
      break;
    case value_t::string:
      release_one(storage.string);
      break;
    case value_t::binary:
      release_one(storage.binary);
      break;
    default:
      break;
  }
  if (container && --teardown_depth == 0) {
    value_pool::value_freed();  // a whole table may just have gone
  }
}

}  // namespace arvcore::value_detail

// Freeing a value. Here a number, boolean or null costs one test, inlined into its
// destructor, and everything else goes to release_payload.
//
// None of the library's template parameters reaches the library's own path: its teardown
// empties every list and map onto its own stack before any code of ours (container,
// allocator) runs, and every freed answer and table would pay for that stack and the second
// pass over it, most of all the many small lists of a table and the copies a query hands out.
// So the payload's destroy(value_t) is replaced here, which the 3.11 releases of the library
// allow (value_allocator.hpp refuses others). It names only that function and the payload's
// pointer fields, which every 3.11 release keeps; no data member of the value itself (its type
// tag or payload, which 3.11.3 moved into a nested struct) is read, so the value layer builds
// against either layout. List copies are left to the library, which is as fast for them.
template <>
inline void arvcore::Value::json_value::destroy(value_t t) {
  switch (t) {
    case value_t::object:
    case value_t::array:
    case value_t::string:
    case value_t::binary:
      arvcore::value_detail::release_payload(*this, t);
      break;
    default:
      break;
  }
}
