#pragma once
// Counts of changes that a manager keeps, so that whatever was made from a part of it (a
// Python answer, a converted map) is known to stand for that part as long as its count stands.
//
// A count is only changed under its owner's lock, but fast readers of a binding compare it
// without the lock while a long change may run, so it is read and written whole. Counts are
// plain integers (through std::atomic_ref) to keep the managers movable.

#include <atomic>
#include <cstdint>

namespace arvcore {

/// Reads a count that another thread may be changing.
inline std::uint64_t load_count(const std::uint64_t& count) {
  // Only read through this reference: the count itself is not const.
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(count))
      .load(std::memory_order_acquire);
}

/// Sets a count under its owner's lock.
inline void store_count(std::uint64_t& count, std::uint64_t value) {
  std::atomic_ref<std::uint64_t>(count).store(value, std::memory_order_release);
}

/// Counts one change of what a call changes, at its start and again at its end: what another
/// caller made from the half-changed state while the call let others in (a callback, a
/// database query) is outdated with the rest.
class CountedChange {
 public:
  explicit CountedChange(std::uint64_t& count) : count_(count) { bump(); }
  ~CountedChange() { bump(); }
  CountedChange(const CountedChange&) = delete;
  CountedChange& operator=(const CountedChange&) = delete;

 private:
  void bump() { store_count(count_, count_ + 1); }
  std::uint64_t& count_;
};

}  // namespace arvcore
