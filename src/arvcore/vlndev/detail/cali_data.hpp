#pragma once
// The DATA rows of a calibration table, nearly all of its rows, kept as numbers in flat arrays
// rather than as maps of value lists: per step (board, mode, chip and common-arm step), the
// entries in the order their channel keys first came, with an index from channel key to entry.
// The rest of the table stays a value tree, in which every chip map that DATA rows made holds
// an empty map in its place; fill() puts the entries there when a caller needs the whole tree.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "arvcore/value/json.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore::vlndev::detail {

class StepArena;

/// Storage of the store's arrays: from `arena` when there is one; else large ones are mapped
/// on their own and unmapped when freed, so that a dropped table's memory goes back to the
/// system whatever was allocated after it, and small ones come from the heap.
void* map_bytes(std::size_t bytes, StepArena* arena);
void unmap_bytes(void* p, std::size_t bytes, const StepArena* arena) noexcept;

/// Room for the arrays of steps whose size is known before their rows come (every step of a
/// regular table after its first two), taken in turn from regions that, after a small first
/// one, are of large pages: a large table's arrays then fault in a few dozen pages instead of
/// thousands. Small arrays come from the heap. Blocks are not given back one by one: the
/// regions are, when the arena goes with the last array in it.
class StepArena {
 public:
  StepArena() = default;
  StepArena(const StepArena&) = delete;
  StepArena& operator=(const StepArena&) = delete;
  ~StepArena();

  /// A block of `bytes`; one taken from a region starts on a 64-byte boundary. Throws
  /// std::bad_alloc.
  void* allocate(std::size_t bytes);
  /// Frees a block of any arena: it looks at no arena, so that an array may be freed after
  /// its arena has gone with a store that adopted it.
  static void deallocate(void* p, std::size_t bytes) noexcept;
  /// Gives back the untouched end of the region in use; called once all rows are in.
  void trim() noexcept;

 private:
  struct Region {
    char* base;
    std::size_t bytes;
  };
  std::vector<Region> regions_;
  char* top_ = nullptr;  // the free end of the last region
  char* end_ = nullptr;
};

/// Allocates through map_bytes(), from `arena` when it has one. The store that made the arena,
/// or one that took its steps, keeps it.
template <class T>
struct MappedAllocator {
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  MappedAllocator() = default;
  explicit MappedAllocator(StepArena* step_arena) noexcept : arena(step_arena) {}
  template <class U>
  MappedAllocator(const MappedAllocator<U>& other) noexcept  // NOLINT: rebinding
      : arena(other.arena) {}

  T* allocate(std::size_t n) { return static_cast<T*>(map_bytes(n * sizeof(T), arena)); }
  void deallocate(T* p, std::size_t n) noexcept { unmap_bytes(p, n * sizeof(T), arena); }
  template <class U>
  friend bool operator==(const MappedAllocator& a, const MappedAllocator<U>& b) {
    return a.arena == b.arena;
  }

  StepArena* arena = nullptr;
};

template <class T>
using MappedVector = std::vector<T, MappedAllocator<T>>;

/// The numbers of one ComData entry: two register values, the measured gain and phase.
struct ComDataNumbers {
  std::int64_t reg0 = 0;
  std::int64_t reg1 = 0;
  double gain = 0;
  double phase = 0;

  /// The entry as the table holds it: [integer, integer, float, float].
  Value value() const;
};

/// Powers of ten up to the most fraction digits a packed float has.
inline constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

/// A ComData entry in the 16 bytes a step keeps it in: the register values as 32-bit integers,
/// the gain and phase as the decimals they were written as. A packed float is its sign (bit
/// 31), its number of fraction digits (bits 27 to 30) and its digits as one integer (bits 0
/// to 26): the value is the digits divided by a power of ten, exact operands and one
/// rounding, which is how a short decimal is read in the first place, so it comes back
/// bit for bit. An entry whose numbers do not fit is kept whole among its step's wide
/// entries, and its packed form says where.
struct PackedEntry {
  std::int32_t reg0 = 0;
  std::int32_t reg1 = 0;
  std::uint32_t gain = 0;
  std::uint32_t phase = 0;

  static constexpr std::uint32_t kDigitBits = 27;
  static constexpr std::uint32_t kWide = 0xffffffffu;  // in `gain`; `reg0` is the wide index

  /// The packed float of `negative`, `digits` (below 2^27) over 10^`fraction` (below 15).
  static constexpr std::uint32_t pack_float(bool negative, std::uint32_t digits,
                                            std::uint32_t fraction) {
    return static_cast<std::uint32_t>(negative) << 31 | fraction << kDigitBits | digits;
  }
  /// The value of a packed float.
  static double unpack_float(std::uint32_t code) {
    const double v =
        static_cast<double>(code & ((1u << kDigitBits) - 1)) / kPow10[(code >> kDigitBits) & 0xf];
    return (code >> 31) != 0 ? -v : v;
  }
  /// The packed float of `value`, if one gives it back exactly.
  static std::optional<std::uint32_t> float_code(double value);
};

/// An entry as a row gives it: packed where its cells were short plain numbers, else as the
/// numbers the general conversions made, for its step to pack.
struct RowEntry {
  PackedEntry packed;
  bool is_packed = false;
  ComDataNumbers numbers;
};

/// The eight bytes from `p` on, the first the lowest, read at once.
inline std::uint64_t load8(const char* p) {
  std::uint64_t x = 0;
  std::memcpy(&x, p, 8);
  return x;
}

/// Equality of two short texts (channel keys, the cells that make them and name a table's
/// sections), a few to a dozen bytes: compared in place, eight bytes at a time from eight on,
/// which costs less than a library call at that length. Inlined wherever it is used: the parse
/// calls it a few times a row.
[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) {
    return false;
  }
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) {
        return false;
      }
    }
    return true;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (load8(a.data() + i) != load8(b.data() + i)) {
      return false;
    }
  }
  return load8(a.data() + n - 8) == load8(b.data() + n - 8);  // the last eight, overlapping
}

/// String hashing that finds a key given as a view without making a string of it.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

/// The channel keys of a store, numbered from 0 in the order they came: their texts end to end
/// and an open-addressed index of their numbers, all in flat arrays. Large ones are mapped on
/// their own, so a store read on a helper thread leaves nothing in that thread's heap, and a
/// copy is a copy of three arrays.
class ChannelKeys {
 public:
  /// The number of `text`, given on first use.
  std::uint32_t number(std::string_view text);
  /// The number of `text`, or kNone.
  std::uint32_t find(std::string_view text) const;
  /// The text of key number `key`.
  std::string_view text(std::uint32_t key) const {
    return {texts_.data() + starts_[key], starts_[key + 1] - starts_[key]};
  }
  /// Number of keys.
  std::size_t size() const { return starts_.size() - 1; }

  static constexpr std::uint32_t kNone = 0xffffffffu;

 private:
  static std::size_t hash(std::string_view text) { return std::hash<std::string_view>{}(text); }
  // The slot of `text`: where its number is, or the empty slot it would take.
  std::size_t slot(std::string_view text) const;
  void grow();

  MappedVector<char> texts_;
  MappedVector<std::uint32_t> starts_{0};  // where each key's text starts, and the end
  MappedVector<std::uint32_t> slots_;      // key number + 1, or 0 where free
};

class CaliData {
 public:
  /// The entries of one step, in first-insertion order of their channel keys.
  struct Step {
    std::string board, mode, chip,
        com;  // the table's keys: "BOARD_1", "TX", "DATA_CHIP_1", "COM_3"
    MappedVector<PackedEntry> packed;
    std::vector<ComDataNumbers> wide;  // entries too large to pack, rare
    // The channel key of each entry (see key_text): while the step's keys are the numbers from
    // `base` on, one after the other (as in every real table), the entry's offset from `base`,
    // and a key's position is its offset; else `keys` holds them, and their positions are a
    // dense array from key number `base` on while the keys lie close together, else a hash
    // map.
    bool consecutive = true;
    std::uint32_t base = 0;
    MappedVector<std::uint32_t> keys;
    MappedVector<std::uint32_t> dense;
    std::unique_ptr<std::unordered_map<std::uint32_t, std::uint32_t>> sparse;

    /// Number of entries.
    std::size_t size() const { return packed.size(); }
    /// The numbers of entry `i`.
    ComDataNumbers at(std::size_t i) const {
      const PackedEntry& e = packed[i];
      if (e.gain == PackedEntry::kWide) {
        return wide[static_cast<std::uint32_t>(e.reg0)];
      }
      return {e.reg0, e.reg1, PackedEntry::unpack_float(e.gain),
              PackedEntry::unpack_float(e.phase)};
    }
    /// `numbers` packed for this step, kept among its wide entries if they do not fit.
    PackedEntry pack(const ComDataNumbers& numbers);
    /// Entry `i` of `from` packed for this step.
    PackedEntry take(const Step& from, std::size_t i);
    /// The channel key of entry `i`.
    std::uint32_t key_at(std::size_t i) const {
      return consecutive ? base + static_cast<std::uint32_t>(i) : keys[i];
    }
    /// Position of channel key `key` among the entries, or kNone.
    std::uint32_t position(std::uint32_t key) const;
  };
  static constexpr std::uint32_t kNone = 0xffffffffu;

  /// The step under `board`/`mode`/`chip`/`com` (all full table keys), made on first use.
  std::uint32_t step(std::string_view board, std::string_view mode, std::string_view chip,
                     std::string_view com);
  /// Stores an entry under the channel key numbered `key` (see key_number) in step `step`; a
  /// later entry of the same key replaces the earlier one in its place.
  [[gnu::always_inline]] void put(std::uint32_t step, std::uint32_t key, const RowEntry& entry) {
    last_key_ = key;
    Step& s = steps_[step];
    const PackedEntry packed = entry.is_packed ? entry.packed : s.pack(entry.numbers);
    if (s.consecutive && s.size() != 0 && key == s.base + s.size()) {
      s.packed.push_back(packed);  // nearly every row: the next key of a step in order
      return;
    }
    place(s, key, packed);
  }
  /// The number of `channel_key`, given on first use; numbers run from 0 in that order.
  std::uint32_t key_number(std::string_view channel_key);
  /// The number the channel key of the next entry most likely has: the one after the key of
  /// the last entry put, as every step repeats the keys in one order.
  std::uint32_t next_key() const { return last_key_ == kNone ? 0 : last_key_ + 1; }

  /// Takes the entries of `later`, a store of the rows that follow those put here, as if
  /// they had been put here in turn; `later` is left empty.
  void append(CaliData&& later);
  /// Gives an empty store the channel keys of `from`, numbered alike: rows read into it then
  /// find their keys as in `from`, without making them again.
  void seed_keys(const CaliData& from);

  /// The step under the given keys, or null.
  const Step* find_step(std::string_view board, std::string_view mode, std::string_view chip,
                        std::string_view com) const;
  /// The entry of `step` under `channel_key`, if it has one.
  std::optional<ComDataNumbers> find(const Step& step, std::string_view channel_key) const;
  /// The number of `channel_key` (see Step::position), or kNone when no step holds it.
  std::uint32_t key_of(std::string_view channel_key) const;

  /// Gives back the spare room of steps that grew row by row; called once all rows are in.
  void finish();

  bool empty() const { return steps_.empty(); }
  /// Number of entries held.
  std::size_t entries() const;
  std::string_view key_text(std::uint32_t key) const { return keys_.text(key); }
  /// Number of distinct channel keys (key numbers run from 0 to this less one).
  std::size_t key_count() const { return keys_.size(); }
  /// The steps, in the order they were made.
  const std::vector<Step>& steps() const { return steps_; }
  /// The steps of each chip map under `place` (board, mode, chip names, leading ones only),
  /// each list in the order its steps were made; the lists come in the order their first
  /// steps were made. Looks at each chip map once, not at each step.
  std::vector<const std::vector<std::uint32_t>*> chips_under(
      std::span<const std::string> place) const;

  /// Puts the entry map of every step under `place` (board, mode, chip names, leading ones
  /// only) into `node`, the copy of the tree's map at `place`, whose chip maps are in place.
  void fill(Value& node, std::span<const std::string> place = {}) const;
  /// Whether DATA rows made the chip map `board`/`mode`/`chip`.
  bool has_chip(std::string_view board, std::string_view mode, std::string_view chip) const;
  /// The value under `path` within that chip map (the chip map itself when `path` is empty);
  /// KeyError names the first key that is missing.
  Value chip_entry(std::string_view board, std::string_view mode, std::string_view chip,
                   std::span<const std::string> path) const;
  /// The entry map of `step`: channel key to entry.
  Value step_map(const Step& step) const;
  /// For writing `table`, the tree this store's rows were read with, as JSON (or splitting it
  /// into table database units): stands in for each of its chip maps with the whole chip map,
  /// made one at a time.
  value::JsonStandIn json_stand_in(const Value& table) const;

 private:
  Value chip_map(const std::vector<std::uint32_t>& steps) const;
  void put_steps(Value& chip, const std::vector<std::uint32_t>& steps) const;
  static void set_position(Step& step, std::uint32_t key, std::uint32_t pos);
  // Makes a consecutive step keep its keys and positions, the first `count` of them known.
  static void keep_keys(Step& step, std::uint32_t count);
  static void place(Step& step, std::uint32_t key, const PackedEntry& entry);
  // Gives the keys of `step` (each once in it) the numbers `numbers` maps them to.
  static void renumber(Step& step, const std::vector<std::uint32_t>& numbers);

  // The arenas of the steps' arrays: this store's own, made with its first step of a known
  // size, and those of the stores whose steps it took. They go after the steps.
  std::unique_ptr<StepArena> arena_;
  std::vector<std::unique_ptr<StepArena>> adopted_;
  std::vector<Step> steps_;
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> step_index_;
  // The steps of each chip map, in the order they were made.
  std::unordered_map<std::string, std::vector<std::uint32_t>, TextHash, std::equal_to<>> chips_;
  ChannelKeys keys_;
  std::uint32_t last_key_ = kNone;  // the channel key of the last entry put
};

}  // namespace arvcore::vlndev::detail
