#pragma once
// Where the storage of values comes from.
//
// A calibration table is about half a million small lists and maps built in one go, and a
// query copies dozens of them per call. Value storage therefore comes from a pool of its
// own: blocks are sorted into size classes (8-byte steps up to 512 bytes, four classes per
// doubling up to 1 MiB), each thread takes and returns blocks through its own free lists
// without locking, and fresh blocks are cut from 2 MiB regions whose pages are supplied up
// front. A block freed by another thread than the one that took it simply joins
// the freeing thread's lists. Freed blocks stay in the pool for the next values of their
// class; the pool never gives memory back to the system. Blocks above 1 MiB come from the
// global operator new.
//
// Sanitizer builds take every block from the global operator new, so that the address
// checker sees each one.

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__SANITIZE_ADDRESS__) || defined(ARVCORE_VALUE_SYSTEM_ALLOCATOR)
#define ARVCORE_VALUE_POOL 0
#else
#define ARVCORE_VALUE_POOL 1
#endif

namespace arvcore::value_pool {

inline constexpr std::size_t kSmallMax = 512;
inline constexpr std::size_t kLargeMax = std::size_t{1} << 20;
inline constexpr unsigned kClasses = 109;  // 0 unused, 1..64 small, 65..108 large

/// The size class of a request of `bytes` (1 .. kLargeMax).
inline unsigned size_class(std::size_t bytes) noexcept {
  if (bytes <= kSmallMax) {
    return bytes == 0 ? 1U : static_cast<unsigned>((bytes + 7) >> 3);
  }
  const std::size_t m = bytes - 1;
  const auto octave = static_cast<unsigned>(63 - __builtin_clzll(m));  // >= 9
  const auto quarter = static_cast<unsigned>((m >> (octave - 2)) & 3);
  return 65 + (octave - 9) * 4 + quarter;
}

/// The block size of size class `c`.
inline std::size_t class_bytes(unsigned c) noexcept {
  if (c <= 64) {
    return std::size_t{c} << 3;
  }
  const unsigned octave = 9 + (c - 65) / 4;
  const unsigned quarter = (c - 65) % 4;
  return std::size_t{5 + quarter} << (octave - 2);
}

/// The calling thread's free lists and current region. Trivially destructible, so that it
/// stays usable while static objects holding values are destroyed after the thread's own
/// thread-local objects.
struct ThreadCache {
  void* free[kClasses];
  char* next;  // the unused part of the current region
  char* end;
  bool detached;  // the thread is exiting: use the shared lists
};

inline thread_local constinit ThreadCache tcache{};

/// The slow paths: a class whose free list and region are both empty, and a thread whose
/// cache was handed back at its exit.
void* allocate_slow(unsigned c);
void deallocate_detached(void* p, unsigned c) noexcept;

/// Storage for `bytes` bytes, aligned to 8 bytes (all a value holds); throws std::bad_alloc.
inline void* allocate(std::size_t bytes) {
#if ARVCORE_VALUE_POOL
  if (bytes > kLargeMax) {
    return ::operator new(bytes);
  }
  const unsigned c = size_class(bytes);
  ThreadCache& t = tcache;
  if (void* p = t.free[c]; p != nullptr) {
    t.free[c] = *static_cast<void**>(p);
    return p;
  }
  const std::size_t n = class_bytes(c);
  if (static_cast<std::size_t>(t.end - t.next) >= n) {
    void* p = t.next;
    t.next += n;
    return p;
  }
  return allocate_slow(c);
#else
  return ::operator new(bytes);
#endif
}

/// Gives back `bytes` bytes from allocate().
inline void deallocate(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if ARVCORE_VALUE_POOL
  if (bytes > kLargeMax) {
    ::operator delete(p);
    return;
  }
  const unsigned c = size_class(bytes);
  ThreadCache& t = tcache;
  if (t.detached) {
    deallocate_detached(p, c);
    return;
  }
  *static_cast<void**>(p) = t.free[c];
  t.free[c] = p;
#else
  ::operator delete(p);
#endif
}

/// While it lives, a helper thread keeps a few fresh regions ready, their pages already
/// supplied by the kernel, for any thread of the process to cut blocks from. Building a
/// large table then does not stop for the kernel every 2 MiB: that work runs beside it on
/// another core. At most a handful of regions wait unused at any time, and those stay in
/// the pool for later values. Without the pool, or when no thread can be started, it does
/// nothing.
class RegionsAhead {
 public:
  RegionsAhead();
  ~RegionsAhead();
  RegionsAhead(const RegionsAhead&) = delete;
  RegionsAhead& operator=(const RegionsAhead&) = delete;

 private:
  struct Helper;
  std::unique_ptr<Helper> helper_;
};

}  // namespace arvcore::value_pool

namespace arvcore {

/// Stateless allocator for every container inside a Value: any two instances are
/// interchangeable, so storage moves freely between values.
template <class T>
struct ValueAllocator {
  using value_type = T;
  using is_always_equal = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;

  ValueAllocator() noexcept = default;
  template <class U>
  ValueAllocator(const ValueAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= 8, "value storage is aligned to 8 bytes");
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_array_new_length();
    }
    return static_cast<T*>(value_pool::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { value_pool::deallocate(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const ValueAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace arvcore
