#include "arvcore/value/value_allocator.hpp"

#if ARVCORE_VALUE_POOL

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace arvcore::value_pool {

namespace {

constexpr std::size_t kRegionBytes = std::size_t{2} << 20;

// Free lists handed back by exiting threads, and regions filled ahead of use.
struct Shared {
  std::mutex mutex;
  void* free[kClasses] = {};
  std::size_t free_bytes = 0;
  std::vector<char*> ready;
  bool filling = false;
  // Regions a running fill may still add: a region mapped in the foreground counts against
  // it, so that a fill that falls behind stops instead of leaving unused memory behind.
  std::atomic<std::ptrdiff_t> fill_budget{0};
};

Shared& shared() {
  static Shared* const s = new Shared;  // never destroyed: values outlive static destructors
  return *s;
}

// A fresh region aligned to its size, so that the kernel can back it with one huge page.
char* map_region() {
  const std::size_t span = kRegionBytes * 2;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    throw std::bad_alloc();
  }
  const auto base = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (base + kRegionBytes - 1) & ~(kRegionBytes - 1);
  if (aligned > base) {
    ::munmap(raw, aligned - base);
  }
  const std::uintptr_t tail = base + span - (aligned + kRegionBytes);
  if (tail > 0) {
    ::munmap(reinterpret_cast<void*>(aligned + kRegionBytes), tail);
  }
  char* region = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
  ::madvise(region, kRegionBytes, MADV_HUGEPAGE);
#endif
  return region;
}

// Touches every page of a region so that the kernel supplies them now.
void populate(char* region) {
#ifdef MADV_POPULATE_WRITE
  if (::madvise(region, kRegionBytes, MADV_POPULATE_WRITE) == 0) {
    return;
  }
#endif
  for (std::size_t off = 0; off < kRegionBytes; off += 4096) {
    reinterpret_cast<volatile char*>(region)[off] = 0;
  }
}

// Splits the unused end of a region into blocks of the largest classes that fit.
void retire_rest(ThreadCache& t) {
  while (t.end - t.next >= 16) {
    const auto rest = static_cast<std::size_t>(t.end - t.next);
    unsigned c = rest >= kLargeMax ? kClasses - 1 : size_class(rest);
    while (class_bytes(c) > rest) {
      --c;
    }
    *reinterpret_cast<void**>(t.next) = t.free[c];
    t.free[c] = t.next;
    t.free_bytes += class_bytes(c);
    t.next += class_bytes(c);
  }
}

// Gives a thread's free lists and the rest of its region to the shared lists when the
// thread ends.
struct HandBack {
  ~HandBack() {
    ThreadCache& t = tcache;
    retire_rest(t);
    Shared& s = shared();
    const std::lock_guard lock(s.mutex);
    for (unsigned c = 1; c < kClasses; ++c) {
      while (void* p = t.free[c]) {
        t.free[c] = *static_cast<void**>(p);
        *static_cast<void**>(p) = s.free[c];
        s.free[c] = p;
      }
    }
    s.free_bytes += t.free_bytes;
    t.free_bytes = 0;
    t.next = t.end = nullptr;
    t.detached = true;
  }
};

thread_local HandBack hand_back;

void* pop(void*& head) {
  void* p = head;
  head = *static_cast<void**>(p);
  return p;
}

}  // namespace

void* allocate_slow(unsigned c) {
  ThreadCache& t = tcache;
  Shared& s = shared();
  if (t.detached) {
    const std::lock_guard lock(s.mutex);
    if (s.free[c] != nullptr) {
      s.free_bytes -= class_bytes(c);
      return pop(s.free[c]);
    }
    // A new block joins the pool like any other; nothing in the pool is ever released.
    return ::operator new(class_bytes(c));
  }
  if (!t.attached) {
    t.attached = true;
    (void)&hand_back;  // odr-use: constructs it, so that it runs at thread exit
  }
  char* region = nullptr;
  {
    const std::lock_guard lock(s.mutex);
    // Blocks handed back by finished threads first, then regions filled ahead.
    if (s.free[c] != nullptr) {
      void* p = pop(s.free[c]);
      s.free_bytes -= class_bytes(c);
      // Take the rest of the list too: the next requests of this class find it here.
      t.free[c] = s.free[c];
      std::size_t moved = 0;
      for (void* q = s.free[c]; q != nullptr; q = *static_cast<void**>(q)) {
        moved += class_bytes(c);
      }
      s.free[c] = nullptr;
      s.free_bytes -= moved;
      t.free_bytes += moved;
      return p;
    }
    if (!s.ready.empty()) {
      region = s.ready.back();
      s.ready.pop_back();
    }
  }
  if (region == nullptr) {
    region = map_region();
    s.fill_budget.fetch_sub(1, std::memory_order_relaxed);
  }
  retire_rest(t);
  t.next = region;
  t.end = region + kRegionBytes;
  void* p = t.next;
  t.next += class_bytes(c);
  return p;
}

void deallocate_detached(void* p, unsigned c) noexcept {
  Shared& s = shared();
  const std::lock_guard lock(s.mutex);
  *static_cast<void**>(p) = s.free[c];
  s.free[c] = p;
  s.free_bytes += class_bytes(c);
}

void prefault(std::size_t bytes) {
  Shared& s = shared();
  {
    const std::lock_guard lock(s.mutex);
    const std::size_t held = tcache.free_bytes + s.free_bytes + s.ready.size() * kRegionBytes;
    if (s.filling || bytes <= held) {
      return;
    }
    s.filling = true;
    s.fill_budget.store(static_cast<std::ptrdiff_t>((bytes - held) / kRegionBytes),
                        std::memory_order_relaxed);
  }
  auto fill = [] {
    Shared& sh = shared();
    try {
      while (sh.fill_budget.fetch_sub(1, std::memory_order_relaxed) > 0) {
        char* region = map_region();
        populate(region);
        const std::lock_guard lock(sh.mutex);
        sh.ready.push_back(region);
      }
    } catch (...) {
      // Out of memory or threads: the foreground maps what it needs itself.
    }
    const std::lock_guard lock(sh.mutex);
    sh.filling = false;
  };
  try {
    std::thread(fill).detach();
  } catch (...) {
    const std::lock_guard lock(s.mutex);
    s.filling = false;
  }
}

}  // namespace arvcore::value_pool

#else

namespace arvcore::value_pool {

void* allocate_slow(unsigned) {
  throw std::bad_alloc();
}
void deallocate_detached(void*, unsigned) noexcept {}
void prefault(std::size_t) {}

}  // namespace arvcore::value_pool

#endif
