#pragma once
// Insertion-ordered map with hashed lookup: the object type of arvcore::Value.
//
// It behaves like a Python dict: average O(1) find and insert, iteration in first-insertion
// order, assignment to an existing key keeps the key's position (last write wins), erase keeps
// the order of the remaining keys, copies are deep. Equality ignores order, as dict equality
// does.
//
// Elements are movable std::pair<Key, T> kept in one vector, so growing moves them instead of
// copying whole subtrees. An open-addressing table of positions (power-of-two size, linear
// probing, each slot caching 32 bits of the key's hash) finds them; maps of a few keys skip
// the table and scan, which is faster and saves memory for the many small maps of a table.
//
// As with std::vector, inserting or erasing invalidates iterators and references to elements
// (take a reference to a child again after adding keys to its parent). Keys must not be
// modified through iterators.

#include <algorithm>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace arvcore {

namespace indexed_map_detail {

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t load32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

/// The high and low halves of a full 64 x 64-bit product, folded together.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  __extension__ using u128 = unsigned __int128;
  const u128 r = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

/// 32 bits of a 64-bit hash of the key's bytes. Keys of a table are mostly short ("COM_3",
/// "2_35_180"): up to 16 bytes they are read as two overlapping words and mixed by two
/// multiplications, with no loop and no call.
inline std::uint32_t hash32(std::string_view key) noexcept {
  constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL;
  constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
  constexpr std::uint64_t k2 = 0x8ebc6af09c88c6e3ULL;
  const char* p = key.data();
  const std::size_t n = key.size();
  std::uint64_t seed = k0 ^ n;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8 && n <= 16) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4 && n < 8) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0 && n < 4) {
    const auto byte = [p](std::size_t i) {
      return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
    };
    a = (byte(0) << 16) | (byte(n >> 1) << 8) | byte(n - 1);
  } else if (n > 16) {
    std::size_t rest = n;
    for (; rest > 16; rest -= 16, p += 16) {
      seed = fold_multiply(load64(p) ^ k1, load64(p + 8) ^ seed);
    }
    a = load64(p + rest - 16);
    b = load64(p + rest - 8);
  }
  const std::uint64_t h = fold_multiply(k2 ^ n, fold_multiply(a ^ k1, b ^ seed));
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

/// Key equality; short keys are compared as words without a call.
inline bool same_key(std::string_view x, std::string_view y) noexcept {
  const std::size_t n = x.size();
  if (n != y.size()) {
    return false;
  }
  if (n >= 8 && n <= 16) {
    return load64(x.data()) == load64(y.data()) &&
           load64(x.data() + n - 8) == load64(y.data() + n - 8);
  }
  if (n >= 4 && n < 8) {
    return load32(x.data()) == load32(y.data()) &&
           load32(x.data() + n - 4) == load32(y.data() + n - 4);
  }
  return n == 0 || std::memcmp(x.data(), y.data(), n) == 0;
}

/// Anything that reads as a key: std::string, std::string_view, const char*, char arrays.
template <class K>
concept KeyLike = std::is_convertible_v<const K&, std::string_view>;

}  // namespace indexed_map_detail

template <class Key, class T, class IgnoredCompare = std::less<Key>,
          class Allocator = std::allocator<std::pair<const Key, T>>>
class IndexedMap {
 public:
  using key_type = Key;
  using mapped_type = T;
  using value_type = std::pair<Key, T>;
  template <class U>
  using allocator_for = typename std::allocator_traits<Allocator>::template rebind_alloc<U>;
  using allocator_type = allocator_for<value_type>;
  using container_type = std::vector<value_type, allocator_type>;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = value_type&;
  using const_reference = const value_type&;
  using pointer = value_type*;
  using const_pointer = const value_type*;
  using iterator = typename container_type::iterator;
  using const_iterator = typename container_type::const_iterator;
  using reverse_iterator = typename container_type::reverse_iterator;
  using const_reverse_iterator = typename container_type::const_reverse_iterator;
  /// Transparent, so that nlohmann::basic_json offers lookups by string_view and const char*.
  using key_compare = std::equal_to<>;

  IndexedMap() noexcept = default;
  IndexedMap(const IndexedMap&) = default;
  IndexedMap(IndexedMap&&) noexcept = default;
  IndexedMap& operator=(const IndexedMap&) = default;
  IndexedMap& operator=(IndexedMap&&) noexcept = default;
  ~IndexedMap() = default;

  /// Builds from pairs; a repeated key keeps its first position and its last value.
  template <class It>
  IndexedMap(It first, It last) {
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>) {
      reserve(static_cast<size_type>(std::distance(first, last)));
    }
    for (; first != last; ++first) {
      insert_or_assign(first->first, first->second);
    }
  }

  IndexedMap(std::initializer_list<value_type> init) : IndexedMap(init.begin(), init.end()) {}

  // ----- size and iteration (first-insertion order) -----
  size_type size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  size_type max_size() const noexcept { return std::min<size_type>(items_.max_size(), kMaxSize); }
  size_type capacity() const noexcept { return items_.capacity(); }

  void reserve(size_type n) {
    items_.reserve(n);
    if (n > kLinearMax && table_size_for(n) > slots_.size()) {
      rebuild_index(table_size_for(n));
    }
  }

  void clear() noexcept {
    items_.clear();
    slots_.clear();
  }

  void swap(IndexedMap& other) noexcept {
    items_.swap(other.items_);
    slots_.swap(other.slots_);
  }
  friend void swap(IndexedMap& a, IndexedMap& b) noexcept { a.swap(b); }

  iterator begin() noexcept { return items_.begin(); }
  iterator end() noexcept { return items_.end(); }
  const_iterator begin() const noexcept { return items_.begin(); }
  const_iterator end() const noexcept { return items_.end(); }
  const_iterator cbegin() const noexcept { return items_.cbegin(); }
  const_iterator cend() const noexcept { return items_.cend(); }
  reverse_iterator rbegin() noexcept { return items_.rbegin(); }
  reverse_iterator rend() noexcept { return items_.rend(); }
  const_reverse_iterator rbegin() const noexcept { return items_.rbegin(); }
  const_reverse_iterator rend() const noexcept { return items_.rend(); }

  /// The elements in order, for callers that want to index them by position.
  const container_type& items() const noexcept { return items_; }

  // ----- lookup -----
  template <indexed_map_detail::KeyLike K>
  iterator find(const K& key) noexcept {
    const size_type pos = find_pos(key);
    return pos == npos ? items_.end() : items_.begin() + static_cast<difference_type>(pos);
  }

  template <indexed_map_detail::KeyLike K>
  const_iterator find(const K& key) const noexcept {
    const size_type pos = find_pos(key);
    return pos == npos ? items_.end() : items_.begin() + static_cast<difference_type>(pos);
  }

  template <indexed_map_detail::KeyLike K>
  size_type count(const K& key) const noexcept {
    return find_pos(key) == npos ? 0 : 1;
  }

  template <indexed_map_detail::KeyLike K>
  bool contains(const K& key) const noexcept {
    return find_pos(key) != npos;
  }

  template <indexed_map_detail::KeyLike K>
  T& at(const K& key) {
    const size_type pos = find_pos(key);
    if (pos == npos) {
      throw std::out_of_range("key not found");
    }
    return items_[pos].second;
  }

  template <indexed_map_detail::KeyLike K>
  const T& at(const K& key) const {
    const size_type pos = find_pos(key);
    if (pos == npos) {
      throw std::out_of_range("key not found");
    }
    return items_[pos].second;
  }

  // ----- insertion -----
  /// Inserts (key, T(args...)) unless the key is present; never overwrites.
  template <indexed_map_detail::KeyLike K, class... Args>
  std::pair<iterator, bool> try_emplace(K&& key, Args&&... args) {
    const std::string_view view(key);
    const std::uint32_t hash = slots_.empty() ? 0 : indexed_map_detail::hash32(view);
    size_type slot = 0;
    const size_type pos = locate(view, hash, slot);
    if (pos != npos) {
      return {items_.begin() + static_cast<difference_type>(pos), false};
    }
    append(slot, hash, std::forward<K>(key), std::forward<Args>(args)...);
    return {std::prev(items_.end()), true};
  }

  /// What nlohmann::basic_json calls: same as try_emplace.
  template <indexed_map_detail::KeyLike K, class... Args>
  std::pair<iterator, bool> emplace(K&& key, Args&&... args) {
    return try_emplace(std::forward<K>(key), std::forward<Args>(args)...);
  }

  /// Python's d[key] = value: a new key goes last, an existing one keeps its place.
  template <indexed_map_detail::KeyLike K, class M>
  std::pair<iterator, bool> insert_or_assign(K&& key, M&& value) {
    auto result = try_emplace(std::forward<K>(key), std::forward<M>(value));
    if (!result.second) {
      result.first->second = std::forward<M>(value);
    }
    return result;
  }

  std::pair<iterator, bool> insert(const value_type& v) { return try_emplace(v.first, v.second); }
  std::pair<iterator, bool> insert(value_type&& v) {
    return try_emplace(std::move(v.first), std::move(v.second));
  }
  /// For std::inserter; the hint is ignored since order is insertion order.
  iterator insert(const_iterator /*hint*/, const value_type& v) { return insert(v).first; }
  iterator insert(const_iterator /*hint*/, value_type&& v) { return insert(std::move(v)).first; }

  template <class It>
  void insert(It first, It last) {
    for (; first != last; ++first) {
      try_emplace(first->first, first->second);
    }
  }

  template <indexed_map_detail::KeyLike K>
  T& operator[](K&& key) {
    return try_emplace(std::forward<K>(key)).first->second;
  }

  template <indexed_map_detail::KeyLike K>
  const T& operator[](const K& key) const {
    return at(key);
  }

  // ----- erase (the rest keeps its order) -----
  iterator erase(const_iterator pos) { return erase(pos, std::next(pos)); }
  iterator erase(iterator pos) {
    return erase(const_iterator(pos), std::next(const_iterator(pos)));
  }

  iterator erase(const_iterator first, const_iterator last) {
    const auto a = static_cast<size_type>(first - items_.cbegin());
    const auto b = static_cast<size_type>(last - items_.cbegin());
    if (a == b) {
      return items_.begin() + static_cast<difference_type>(a);
    }
    const size_type n = b - a;
    if (slots_.empty()) {
      return items_.erase(first, last);
    }
    if (n == 1) {
      remove_slot(slot_of(a));
    } else {
      for (std::uint64_t& entry : slots_) {
        if (entry != 0 && slot_pos(entry) >= a && slot_pos(entry) < b) {
          entry = 0;
        }
      }
    }
    shift_positions(a, n);
    auto next = items_.erase(first, last);
    if (items_.size() <= kLinearMax) {
      slots_.clear();
    } else if (n > 1) {
      // Emptied slots broke probe runs: lay the survivors out again.
      rebuild_index(slots_.size());
    }
    return next;
  }

  template <indexed_map_detail::KeyLike K>
  requires(!std::is_convertible_v<const K&, const_iterator>) size_type erase(const K& key) {
    const size_type pos = find_pos(key);
    if (pos == npos) {
      return 0;
    }
    erase(items_.cbegin() + static_cast<difference_type>(pos));
    return 1;
  }

  // ----- comparison -----
  /// Dict equality: same keys with equal values, in any order.
  friend bool operator==(const IndexedMap& a, const IndexedMap& b) noexcept {
    if (a.size() != b.size()) {
      return false;
    }
    for (size_type i = 0; i < a.items_.size(); ++i) {
      const value_type& e = a.items_[i];
      // Same order is the common case; look up only when it differs.
      if (b.items_[i].first == e.first) {
        if (!(b.items_[i].second == e.second)) {
          return false;
        }
        continue;
      }
      const size_type pos = b.find_pos(e.first);
      if (pos == npos || !(b.items_[pos].second == e.second)) {
        return false;
      }
    }
    return true;
  }

  /// An arbitrary but consistent ordering (key by key, in insertion order), for containers
  /// that need one; dicts themselves are not ordered.
  template <class U = T>
  friend auto operator<=>(const IndexedMap& a, const IndexedMap& b) {
    return std::lexicographical_compare_three_way(
        a.items_.begin(), a.items_.end(), b.items_.begin(), b.items_.end(),
        [](const value_type& x, const value_type& y) -> std::partial_ordering {
          if (auto c = x.first <=> y.first; c != 0) {
            return c;
          }
          return x.second <=> y.second;
        });
  }

 private:
  static constexpr size_type npos = static_cast<size_type>(-1);
  // Up to this many keys a scan beats hashing.
  static constexpr size_type kLinearMax = 8;
  // Positions are stored in 32 bits.
  static constexpr size_type kMaxSize = (size_type{1} << 31) - 1;

  // A slot holds (hash32 << 32) | (position + 1); 0 is empty.
  static constexpr std::uint64_t make_slot(std::uint32_t hash, size_type pos) noexcept {
    return (static_cast<std::uint64_t>(hash) << 32) | static_cast<std::uint64_t>(pos + 1);
  }
  static constexpr std::uint32_t slot_hash(std::uint64_t slot) noexcept {
    return static_cast<std::uint32_t>(slot >> 32);
  }
  static constexpr size_type slot_pos(std::uint64_t slot) noexcept {
    return static_cast<size_type>(static_cast<std::uint32_t>(slot)) - 1;
  }

  // Table size for n keys: a power of two that keeps the table at most three quarters full,
  // where linear probes stay short and the table stays small beside the elements.
  static bool overfull(size_type n, size_type size) noexcept { return 4 * n > 3 * size; }
  static size_type table_size_for(size_type n) noexcept {
    size_type size = 16;
    while (overfull(n, size)) {
      size *= 2;
    }
    return size;
  }

  size_type find_pos(std::string_view key) const noexcept {
    size_type slot = 0;
    return locate(key, slots_.empty() ? 0 : indexed_map_detail::hash32(key), slot);
  }

  // Position of `key`, or npos with `slot` set to the empty slot where it would go.
  size_type locate(std::string_view key, std::uint32_t hash, size_type& slot) const noexcept {
    if (slots_.empty()) {
      for (size_type i = 0; i < items_.size(); ++i) {
        if (indexed_map_detail::same_key(items_[i].first, key)) {
          return i;
        }
      }
      return npos;
    }
    const size_type mask = slots_.size() - 1;
    for (size_type s = hash & mask;; s = (s + 1) & mask) {
      const std::uint64_t entry = slots_[s];
      if (entry == 0) {
        slot = s;
        return npos;
      }
      if (slot_hash(entry) == hash) {
        const size_type pos = slot_pos(entry);
        if (indexed_map_detail::same_key(items_[pos].first, key)) {
          return pos;
        }
      }
    }
  }

  template <class K, class... Args>
  void append(size_type slot, std::uint32_t hash, K&& key, Args&&... args) {
    if (items_.size() >= kMaxSize) {
      throw std::length_error("IndexedMap is full");
    }
    if (!slots_.empty() && overfull(items_.size() + 1, slots_.size())) {
      // Grow first (strong guarantee: nothing changed if it throws), then find the new slot.
      rebuild_index(slots_.size() * 2);
      slot = free_slot(hash);
    }
    items_.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::forward<K>(key)),
                        std::forward_as_tuple(std::forward<Args>(args)...));
    if (!slots_.empty()) {
      slots_[slot] = make_slot(hash, items_.size() - 1);
    } else if (items_.size() > kLinearMax) {
      try {
        rebuild_index(table_size_for(items_.size()));
      } catch (...) {
        items_.pop_back();
        throw;
      }
    }
  }

  size_type free_slot(std::uint32_t hash) const noexcept {
    const size_type mask = slots_.size() - 1;
    size_type s = hash & mask;
    while (slots_[s] != 0) {
      s = (s + 1) & mask;
    }
    return s;
  }

  // Re-indexes every element into a table of `size` slots, reusing the hashes cached in the
  // current table when there is one (it must then describe the elements exactly).
  void rebuild_index(size_type size) {
    slot_vector fresh(size, 0);
    const size_type mask = size - 1;
    auto place = [&](std::uint64_t entry) {
      size_type s = slot_hash(entry) & mask;
      while (fresh[s] != 0) {
        s = (s + 1) & mask;
      }
      fresh[s] = entry;
    };
    if (slots_.empty()) {
      for (size_type i = 0; i < items_.size(); ++i) {
        place(make_slot(indexed_map_detail::hash32(items_[i].first), i));
      }
    } else {
      for (const std::uint64_t entry : slots_) {
        if (entry != 0) {
          place(entry);
        }
      }
    }
    slots_.swap(fresh);
  }

  size_type slot_of(size_type pos) const noexcept {
    const size_type mask = slots_.size() - 1;
    for (size_type s = indexed_map_detail::hash32(items_[pos].first) & mask;; s = (s + 1) & mask) {
      if (slots_[s] != 0 && slot_pos(slots_[s]) == pos) {
        return s;
      }
    }
  }

  // Empties slot `i`, moving later entries of the probe run back so that lookups still
  // reach them.
  void remove_slot(size_type i) noexcept {
    const size_type mask = slots_.size() - 1;
    size_type j = i;
    for (;;) {
      j = (j + 1) & mask;
      if (slots_[j] == 0) {
        break;
      }
      const size_type home = slot_hash(slots_[j]) & mask;
      // The entry at j may move to i only if its home is not cyclically within (i, j].
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (!stays) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = 0;
  }

  // Elements at or after `from` are about to move down by n.
  void shift_positions(size_type from, size_type n) noexcept {
    for (std::uint64_t& entry : slots_) {
      if (entry != 0 && slot_pos(entry) >= from) {
        entry -= n;
      }
    }
  }

  container_type items_;
  using slot_vector = std::vector<std::uint64_t, allocator_for<std::uint64_t>>;
  slot_vector slots_;
};

}  // namespace arvcore
