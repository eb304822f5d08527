// The flat store of a calibration table's DATA rows. Rows come grouped by step, and every
// step of a table holds the same channel keys in the same order, so a key is found by
// checking the one after the last key put before any hash lookup, and each step's key
// positions fit a dense array.

#include "arvcore/vlndev/detail/cali_data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/pages.hpp"
#include "arvcore/vlndev/detail/cali_rows.hpp"

namespace arvcore::vlndev::detail {
namespace {

// One text naming a step; cells hold no NUL (it is taken out of every line read).
std::string step_name(std::string_view board, std::string_view mode, std::string_view chip,
                      std::string_view com) {
  std::string s;
  s.reserve(board.size() + mode.size() + chip.size() + com.size() + 3);
  s.append(board).append(1, '\0').append(mode).append(1, '\0').append(chip).append(1, '\0').append(
      com);
  return s;
}

// Whether a dense array of `span` positions stays within a few times the `count` entries.
bool dense_fits(std::size_t span, std::size_t count) {
  return span <= 4 * count + 64;
}

// Arrays from this size on are mapped on their own: the waste of a partly used last page
// stays below a quarter.
constexpr std::size_t kMapFrom = std::size_t{16} << 10;

// The regions of a step arena. The first is small and of ordinary pages, so that a table of a
// few thousand rows never takes a large page; the others are of two large pages, or as many
// as their first array needs.
constexpr std::size_t kFirstRegion = std::size_t{256} << 10;
constexpr std::size_t kArenaRegion = value::kLargePage * 2;
constexpr std::size_t kBlockAlign = 64;

// Gives back the spare room of a heap block. That of a mapped one, or of one in an arena, is
// never touched, so it costs no memory, and moving the array would.
template <class T>
void give_back_room(MappedVector<T>& v) {
  if (v.capacity() * sizeof(T) < kMapFrom && v.capacity() > v.size() + v.size() / 8) {
    v.shrink_to_fit();
  }
}

}  // namespace

void* map_bytes(std::size_t bytes, StepArena* arena) {
  if (arena != nullptr) {
    return arena->allocate(bytes);
  }
  if (bytes < kMapFrom) {
    return ::operator new(bytes);
  }
  void* p = value::map_pages(bytes);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void unmap_bytes(void* p, std::size_t bytes, const StepArena* arena) noexcept {
  if (arena != nullptr) {
    StepArena::deallocate(p, bytes);
  } else if (bytes < kMapFrom) {
    ::operator delete(p);
  } else {
    value::unmap_pages(p, bytes);
  }
}

StepArena::~StepArena() {
  for (const Region& r : regions_) {
    value::unmap_pages(r.base, r.bytes);
  }
}

void* StepArena::allocate(std::size_t bytes) {
  if (bytes < kMapFrom) {
    return ::operator new(bytes);
  }
  bytes = (bytes + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
  if (static_cast<std::size_t>(end_ - top_) < bytes) {
    trim();
    const bool large = !regions_.empty();
    const std::size_t region =
        large ? std::max(kArenaRegion,
                         (bytes + value::kLargePage - 1) / value::kLargePage * value::kLargePage)
              : std::max(kFirstRegion, bytes);
    regions_.reserve(regions_.size() + 1);
    auto* const base = static_cast<char*>(value::map_pages(region, large));
    if (base == nullptr) {
      throw std::bad_alloc();
    }
    regions_.push_back({base, region});
    top_ = base;
    end_ = base + region;
  }
  void* p = top_;
  top_ += bytes;
  return p;
}

void StepArena::deallocate(void* p, std::size_t bytes) noexcept {
  if (bytes < kMapFrom) {
    ::operator delete(p);
  }
  // else it stays in its region until the arena goes: only a step that outgrows its known
  // size leaves a block behind, and no more than it then holds
}

void StepArena::trim() noexcept {
  if (top_ != end_) {
    value::release_pages(top_, static_cast<std::size_t>(end_ - top_));
  }
}

Value ComDataNumbers::value() const {
  return Value::array_t{Value(reg0), Value(reg1), Value(gain), Value(phase)};
}

std::optional<std::uint32_t> PackedEntry::float_code(double value) {
  // The fewest fraction digits whose digits give the value back; none for a value too large
  // or not finite.
  const double size = std::fabs(value);
  for (std::uint32_t fraction = 0; fraction + 1 < std::size(kPow10); ++fraction) {
    const double scaled = size * kPow10[fraction];
    if (!(scaled < static_cast<double>(1u << kDigitBits))) {
      return std::nullopt;
    }
    const auto digits = static_cast<std::uint32_t>(std::nearbyint(scaled));
    const std::uint32_t code = pack_float(std::signbit(value), digits, fraction);
    if (digits < (1u << kDigitBits) &&
        std::bit_cast<std::uint64_t>(unpack_float(code)) == std::bit_cast<std::uint64_t>(value)) {
      return code;
    }
  }
  return std::nullopt;
}

PackedEntry CaliData::Step::pack(const ComDataNumbers& numbers) {
  const auto fits = [](std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() &&
           v <= std::numeric_limits<std::int32_t>::max();
  };
  const std::optional<std::uint32_t> gain = PackedEntry::float_code(numbers.gain);
  const std::optional<std::uint32_t> phase = PackedEntry::float_code(numbers.phase);
  if (gain && phase && fits(numbers.reg0) && fits(numbers.reg1)) {
    return {static_cast<std::int32_t>(numbers.reg0), static_cast<std::int32_t>(numbers.reg1), *gain,
            *phase};
  }
  wide.push_back(numbers);
  return {static_cast<std::int32_t>(wide.size() - 1), 0, PackedEntry::kWide, 0};
}

PackedEntry CaliData::Step::take(const Step& from, std::size_t i) {
  const PackedEntry& e = from.packed[i];
  return e.gain == PackedEntry::kWide ? pack(from.at(i)) : e;
}

std::uint32_t CaliData::Step::position(std::uint32_t key) const {
  if (consecutive) {
    return key >= base && key - base < packed.size() ? key - base : kNone;
  }
  if (sparse) {
    const auto it = sparse->find(key);
    return it == sparse->end() ? kNone : it->second;
  }
  return key >= base && key - base < dense.size() ? dense[key - base] : kNone;
}

void CaliData::keep_keys(Step& step, std::uint32_t count) {
  // From here on keys and positions are kept; those so far are the keys' offsets from the
  // base.
  step.consecutive = false;
  step.keys.reserve(step.packed.capacity());
  step.dense.reserve(step.packed.capacity());
  for (std::uint32_t i = 0; i < count; ++i) {
    step.keys.push_back(step.base + i);
    step.dense.push_back(i);
  }
}

void CaliData::set_position(Step& step, std::uint32_t key, std::uint32_t pos) {
  if (step.consecutive) {
    if (pos == 0) {
      step.base = key;
      return;
    }
    if (key == step.base + pos) {
      return;  // the usual case: every step's keys come in the order they were numbered
    }
    keep_keys(step, pos);
  }
  step.keys.push_back(key);
  if (!step.sparse) {
    if (step.dense.empty()) {
      step.base = key;
    }
    const std::size_t count = step.packed.size();
    if (key >= step.base && dense_fits(key - step.base + 1, count)) {
      const std::size_t at = key - step.base;
      if (at == step.dense.size()) {
        step.dense.push_back(pos);  // the usual case: keys come in rising order
        return;
      }
      if (at > step.dense.size()) {
        step.dense.resize(at + 1, kNone);
      }
      step.dense[at] = pos;
      return;
    }
    if (key < step.base) {
      // Grown toward lower keys with slack, so keys that come in falling order cost no more
      // than rising ones.
      const std::uint32_t slack = std::min<std::uint32_t>(
          key, static_cast<std::uint32_t>(std::max<std::size_t>(step.dense.size(), 16)));
      const std::uint32_t new_base = key - slack;
      const std::size_t grow = step.base - new_base;
      if (dense_fits(step.dense.size() + grow, count)) {
        step.dense.insert(step.dense.begin(), grow, kNone);
        step.base = new_base;
        step.dense[key - new_base] = pos;
        return;
      }
    }
    // Keys too far apart for a dense array.
    step.sparse = std::make_unique<std::unordered_map<std::uint32_t, std::uint32_t>>();
    for (std::size_t i = 0; i < step.dense.size(); ++i) {
      if (step.dense[i] != kNone) {
        step.sparse->emplace(static_cast<std::uint32_t>(step.base + i), step.dense[i]);
      }
    }
    step.dense = {};
  }
  (*step.sparse)[key] = pos;
}

std::uint32_t CaliData::step(std::string_view board, std::string_view mode, std::string_view chip,
                             std::string_view com) {
  const auto [it, made] = step_index_.try_emplace(step_name(board, mode, chip, com),
                                                  static_cast<std::uint32_t>(steps_.size()));
  if (!made) {
    return it->second;
  }
  // Steps of one table hold the same channels: once two steps in a row came out the same
  // size, a new one is sized like them up front (an irregular table never over-reserves).
  const std::size_t n = steps_.size();
  const std::size_t expected =
      n >= 2 && steps_[n - 1].size() == steps_[n - 2].size() ? steps_[n - 1].size() : 0;
  chips_[step_name(board, mode, chip, {})].push_back(it->second);
  Step& s = steps_.emplace_back();
  s.board = board;
  s.mode = mode;
  s.chip = chip;
  s.com = com;
  if (expected != 0) {
    if (!arena_) {
      arena_ = std::make_unique<StepArena>();
    }
    s.packed = MappedVector<PackedEntry>(MappedAllocator<PackedEntry>(arena_.get()));
    s.packed.reserve(expected);
  }
  return it->second;
}

std::size_t ChannelKeys::slot(std::string_view text) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash(text) & mask;; at = (at + 1) & mask) {
    if (slots_[at] == 0 || same_text(this->text(slots_[at] - 1), text)) {
      return at;
    }
  }
}

void ChannelKeys::grow() {
  // At most half the slots taken, so that a search ends soon at a free one.
  slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), 0);
  for (std::uint32_t key = 0; key < size(); ++key) {
    slots_[slot(text(key))] = key + 1;
  }
}

std::uint32_t ChannelKeys::find(std::string_view text) const {
  return slots_.empty() ? kNone : slots_[slot(text)] - 1;
}

std::uint32_t ChannelKeys::number(std::string_view text) {
  if (2 * (size() + 1) > slots_.size()) {
    grow();
  }
  std::uint32_t& at = slots_[slot(text)];
  if (at == 0) {
    texts_.insert(texts_.end(), text.begin(), text.end());
    starts_.push_back(static_cast<std::uint32_t>(texts_.size()));
    at = static_cast<std::uint32_t>(size());
  }
  return at - 1;
}

std::uint32_t CaliData::key_number(std::string_view channel_key) {
  if (last_key_ + 1 < keys_.size() && same_text(keys_.text(last_key_ + 1), channel_key)) {
    return ++last_key_;
  }
  last_key_ = keys_.number(channel_key);
  return last_key_;
}

void CaliData::place(Step& s, std::uint32_t key, const PackedEntry& entry) {
  if (const std::uint32_t pos = s.position(key); pos != kNone) {
    s.packed[pos] = entry;
    return;
  }
  s.packed.push_back(entry);
  set_position(s, key, static_cast<std::uint32_t>(s.packed.size() - 1));
}

void CaliData::renumber(Step& step, const std::vector<std::uint32_t>& numbers) {
  std::vector<std::uint32_t> keys(step.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i] = numbers[step.key_at(i)];
  }
  step.consecutive = true;
  step.base = 0;
  step.keys.clear();
  step.dense.clear();
  step.sparse.reset();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    set_position(step, keys[i], static_cast<std::uint32_t>(i));
  }
}

void CaliData::append(CaliData&& later) {
  // The later rows' channel keys in this store's numbering, keys new here numbered in the
  // order they came, as if their rows had been put here.
  if (later.arena_) {
    later.arena_->trim();  // its steps join this store, which is trimmed by itself
    adopted_.push_back(std::move(later.arena_));
  }
  std::move(later.adopted_.begin(), later.adopted_.end(), std::back_inserter(adopted_));
  std::vector<std::uint32_t> renumber_to(later.keys_.size());
  bool same_numbers = true;
  for (std::size_t k = 0; k < renumber_to.size(); ++k) {
    renumber_to[k] = key_number(later.keys_.text(static_cast<std::uint32_t>(k)));
    same_numbers = same_numbers && renumber_to[k] == k;
  }
  for (Step& from : later.steps_) {
    const auto [it, made] =
        step_index_.try_emplace(step_name(from.board, from.mode, from.chip, from.com),
                                static_cast<std::uint32_t>(steps_.size()));
    if (made) {
      chips_[step_name(from.board, from.mode, from.chip, {})].push_back(it->second);
      if (!same_numbers) {
        renumber(from, renumber_to);
      }
      steps_.push_back(std::move(from));  // its entries stand as they are
      continue;
    }
    Step& to = steps_[it->second];
    for (std::size_t i = 0; i < from.size(); ++i) {
      place(to, renumber_to[from.key_at(i)], to.take(from, i));
    }
  }
  later = CaliData();
}

void CaliData::seed_keys(const CaliData& from) {
  keys_ = from.keys_;
}

const CaliData::Step* CaliData::find_step(std::string_view board, std::string_view mode,
                                          std::string_view chip, std::string_view com) const {
  const auto it = step_index_.find(step_name(board, mode, chip, com));
  return it == step_index_.end() ? nullptr : &steps_[it->second];
}

std::uint32_t CaliData::key_of(std::string_view channel_key) const {
  return keys_.find(channel_key);
}

std::optional<ComDataNumbers> CaliData::find(const Step& step, std::string_view channel_key) const {
  const std::uint32_t key = key_of(channel_key);
  const std::uint32_t pos = key == kNone ? kNone : step.position(key);
  if (pos == kNone) {
    return std::nullopt;
  }
  return step.at(pos);
}

std::size_t CaliData::entries() const {
  std::size_t n = 0;
  for (const Step& s : steps_) {
    n += s.size();
  }
  return n;
}

void CaliData::finish() {
  for (Step& s : steps_) {
    give_back_room(s.packed);
    s.wide.shrink_to_fit();
    give_back_room(s.keys);
    give_back_room(s.dense);
  }
  if (arena_) {
    arena_->trim();
  }
}

Value CaliData::step_map(const Step& step) const {
  Value map = Value::object();
  auto& entries = map.get_ref<Value::object_t&>();
  entries.reserve(step.size());
  for (std::size_t i = 0; i < step.size(); ++i) {
    entries.emplace(key_text(step.key_at(i)), step.at(i).value());
  }
  return map;
}

value::JsonStandIn CaliData::json_stand_in(const Value& table) const {
  // The chip maps of the tree, each with its steps.
  auto chips =
      std::make_shared<std::unordered_map<const Value*, const std::vector<std::uint32_t>*>>();
  for (const auto& [name, steps] : chips_) {
    const Step& s = steps_[steps.front()];
    chips->emplace(&child(child(child(table, s.board), s.mode), s.chip), &steps);
  }
  return [this, chips](const Value& map) -> std::optional<Value> {
    const auto it = chips->find(&map);
    if (it == chips->end()) {
      return std::nullopt;
    }
    return chip_map(*it->second);
  };
}

Value CaliData::chip_map(const std::vector<std::uint32_t>& steps) const {
  Value chip = Value::object();
  put_steps(chip, steps);
  return chip;
}

void CaliData::put_steps(Value& chip, const std::vector<std::uint32_t>& steps) const {
  auto& maps = chip.get_ref<Value::object_t&>();
  for (const std::uint32_t i : steps) {
    maps.emplace(steps_[i].com, step_map(steps_[i]));
  }
}

std::vector<const std::vector<std::uint32_t>*> CaliData::chips_under(
    std::span<const std::string> place) const {
  std::vector<const std::vector<std::uint32_t>*> out;
  for (const auto& [name, steps] : chips_) {
    const Step& s = steps_[steps.front()];
    const std::string* names[] = {&s.board, &s.mode, &s.chip};
    if (place.size() <= std::size(names) &&
        std::equal(place.begin(), place.end(), std::begin(names),
                   [](const std::string& a, const std::string* b) { return a == *b; })) {
      out.push_back(&steps);
    }
  }
  std::sort(out.begin(), out.end(),
            [](const auto* a, const auto* b) { return a->front() < b->front(); });
  return out;
}

void CaliData::fill(Value& node, std::span<const std::string> place) const {
  for (const auto* steps : chips_under(place)) {
    const Step& s = steps_[steps->front()];
    const std::string* names[] = {&s.board, &s.mode, &s.chip};
    Value* chip = &node;
    for (std::size_t i = place.size(); i < std::size(names); ++i) {
      chip = &child(*chip, *names[i]);
    }
    put_steps(*chip, *steps);
  }
}

bool CaliData::has_chip(std::string_view board, std::string_view mode,
                        std::string_view chip) const {
  return chips_.find(step_name(board, mode, chip, {})) != chips_.end();
}

Value CaliData::chip_entry(std::string_view board, std::string_view mode, std::string_view chip,
                           std::span<const std::string> path) const {
  if (path.empty()) {
    return chip_map(chips_.find(step_name(board, mode, chip, {}))->second);
  }
  const Step* step = find_step(board, mode, chip, path[0]);
  if (step == nullptr) {
    throw KeyError(path[0]);
  }
  if (path.size() == 1) {
    return step_map(*step);
  }
  const std::optional<ComDataNumbers> entry = find(*step, path[1]);
  if (!entry) {
    throw KeyError(path[1]);
  }
  if (path.size() > 2) {
    throw KeyError(path[2]);  // an entry is a list: it holds no keys
  }
  return entry->value();
}

}  // namespace arvcore::vlndev::detail
