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
// class until a thread that has freed a good deal finishes freeing a list or map (a table,
// say): it then looks for regions whose every block lies free in its own lists or in those
// of finished threads, keeps a few of them ready for the next large parse and returns the
// rest to the system (see value_freed()). A table replaced by a large build lends its regions
// to that build whole (RegionsAhead::reuse_freed(), which table code reaches through
// value/table_memory.hpp). Blocks above 1 MiB are mapped one by one
// and unmapped when freed.
//
// Sanitizer builds take every block from the global operator new, so that the address
// checker sees each one.

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#if defined(__SANITIZE_ADDRESS__) || defined(ARVCORE_VALUE_SYSTEM_ALLOCATOR)
#define ARVCORE_VALUE_POOL 0
#else
#define ARVCORE_VALUE_POOL 1
#endif

// Values are freed in place, by the teardown in value.hpp, which works with the 3.11
// releases of the JSON library only.
static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11,
              "values are freed through the payload teardown of the JSON library's 3.11 releases");

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

/// A thread looks for idle regions once it has freed this much since it last looked (or,
/// if more, as much as its lists held after that look, so that the look never costs more
/// than the freeing that led to it).
inline constexpr std::size_t kLookAfterBytes = std::size_t{8} << 20;

/// The calling thread's free lists and current region. Trivially destructible, so that it
/// stays usable while static objects holding values are destroyed after the thread's own
/// thread-local objects.
struct ThreadCache {
  void* free[kClasses]{};
  char* next = nullptr;  // the unused part of the current region
  char* end = nullptr;
  std::size_t freed = 0;                  // bytes freed since the thread last looked
  std::size_t look_at = kLookAfterBytes;  // freed bytes that make it worth looking again
  int builds = 0;                         // RegionsAhead alive on this thread
  bool detached = false;                  // the thread is exiting: use the shared lists
  void* tally = nullptr;                  // a table is being freed for a build (RegionsAhead)
};

inline thread_local constinit ThreadCache tcache{};

/// The slow paths: a class whose free list and region are both empty, and a thread whose
/// cache was handed back at its exit.
void* allocate_slow(unsigned c);
void deallocate_detached(void* p, unsigned c) noexcept;
void deallocate_tallied(void* p, unsigned c) noexcept;
void release_idle_regions() noexcept;

/// Blocks above kLargeMax (the entry list of a map with many keys, say): mapped on their
/// own and unmapped when freed, so that they never stay with the process either.
void* allocate_large(std::size_t bytes);
void deallocate_large(void* p, std::size_t bytes) noexcept;

/// Storage for `bytes` bytes, aligned to 8 bytes (all a value holds); throws std::bad_alloc.
inline void* allocate(std::size_t bytes) {
#if ARVCORE_VALUE_POOL
  if (bytes > kLargeMax) {
    return allocate_large(bytes);
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
    deallocate_large(p, bytes);
    return;
  }
  const unsigned c = size_class(bytes);
  ThreadCache& t = tcache;
  if (t.detached) {
    deallocate_detached(p, c);
    return;
  }
  if (t.tally != nullptr) {
    deallocate_tallied(p, c);
    return;
  }
  *static_cast<void**>(p) = t.free[c];
  t.free[c] = p;
  t.freed += bytes;
#else
  ::operator delete(p);
#endif
}

/// To be called when the calling thread has finished freeing a whole list or map. If it has
/// freed enough since it last looked, the regions whose blocks all lie free in its lists (or
/// in those that finished threads handed back) leave the pool: up to four of them (8 MiB)
/// stay ready for the next large parse, the rest go back to the system. Regions holding
/// a block in use, or a block in another running thread's lists, stay. While the thread
/// builds a large table (a RegionsAhead lives on it), nothing goes: the table takes back
/// what was freed, and the look waits for the end of the build.
inline void value_freed() noexcept {
#if ARVCORE_VALUE_POOL
  if (const ThreadCache& t = tcache; t.freed >= t.look_at && t.builds == 0) {
    release_idle_regions();
  }
#endif
}

/// While it lives, a helper thread keeps a few fresh regions ready, their pages already
/// supplied by the kernel, for any thread of the process to cut blocks from. Building a
/// large table then does not stop for the kernel every 2 MiB: that work runs beside it on
/// another core. At most four regions (8 MiB) wait unused at any time, and those stay
/// ready for later values. It also marks its thread as building: memory that the thread
/// frees meanwhile (the table being replaced) stays in the pool for the new table, and
/// what the new table did not take goes back to the system when the helper ends. To be
/// created and destroyed on the thread that builds. Without the pool it does nothing; when
/// no thread can be started it only marks the build.
class RegionsAhead {
 public:
  RegionsAhead() noexcept;
  ~RegionsAhead();
  RegionsAhead(const RegionsAhead&) = delete;
  RegionsAhead& operator=(const RegionsAhead&) = delete;

  /// Runs `free_table`, which frees a table (the one the build replaces), and hands the
  /// regions it leaves wholly free to the build, to be cut afresh front to back like new
  /// ones. Taken from the free lists instead, the blocks would come back last freed first,
  /// and the new table would lie scattered over the old one's memory, which building it and
  /// every later walk over it pay for in cache misses; cut afresh, it lies in memory in the
  /// order it is built. The blocks are sorted by region as they are freed, so finding the
  /// free regions walks no list. Regions the build does not use go back to the system when
  /// it ends (only a few stay ready). To be called on the thread that builds.
  template <class Free>
  void reuse_freed(Free&& free_table) noexcept {
    const bool tallied = begin_tally();
    std::forward<Free>(free_table)();
    if (tallied) {
      end_tally();
    }
  }

  /// Where the blocks of a table freed for the build go meanwhile (see reuse_freed).
  struct Tally;

 private:
  bool begin_tally() noexcept;
  void end_tally() noexcept;

  struct Helper;
  std::unique_ptr<Helper> helper_;
  std::unique_ptr<Tally> tally_;
};

}  // namespace arvcore::value_pool

namespace arvcore::value_detail {

/// How many lists and maps the calling thread is freeing one inside the other.
inline thread_local constinit int teardown_depth = 0;
inline constexpr int kDirectTeardownDepth = 64;

}  // namespace arvcore::value_detail

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
