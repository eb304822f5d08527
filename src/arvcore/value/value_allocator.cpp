#include "arvcore/value/value_allocator.hpp"

#if ARVCORE_VALUE_POOL

#include <pthread.h>
#include <sys/mman.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace arvcore::value_pool {

namespace {

constexpr std::size_t kRegionBytes = std::size_t{2} << 20;

// Regions a helper keeps ready beside the threads that use them, and room for the ready
// regions of all helpers together.
constexpr std::size_t kRegionsAhead = 4;
constexpr std::size_t kReadyRoom = 64;

// Free lists handed back by exiting threads, each list whole, by class; regions prepared
// ahead of need.
struct Shared {
  std::mutex mutex;
  std::vector<void*> lists[kClasses];
  std::vector<char*> ready;
  std::condition_variable ready_taken;
};

Shared& shared() {
  // Never destroyed: values outlive static destructors.
  static Shared* const s = [] {
    auto* created = new Shared;
    // Room for every helper's regions, so that handing one over never allocates.
    created->ready.reserve(kReadyRoom);
    // The lock is held across fork(), so that a child, which has only the forking thread,
    // never inherits it taken by a thread that does not exist there.
    ::pthread_atfork([] { shared().mutex.lock(); }, [] { shared().mutex.unlock(); },
                     [] { shared().mutex.unlock(); });
    return created;
  }();
  return *s;
}

// A fresh region, with its pages supplied in one call rather than one fault each: the region
// is about to be cut into blocks front to back anyway. Ordinary pages, not huge ones: the
// kernel has those at hand after other work, where a huge page often has to come from memory
// nobody touched yet, which costs more than the faults it saves.
char* map_region() {
  void* region =
      ::mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    throw std::bad_alloc();
  }
#ifdef MADV_POPULATE_WRITE
  ::madvise(region, kRegionBytes, MADV_POPULATE_WRITE);  // older kernels: faults as usual
#endif
  return static_cast<char*>(region);
}

// Splits the unused end of a region into blocks of the largest classes that fit.
void retire_rest(ThreadCache& t) {
  while (t.end - t.next >= 8) {
    const auto rest = static_cast<std::size_t>(t.end - t.next);
    unsigned c = rest >= kLargeMax ? kClasses - 1 : size_class(rest);
    while (class_bytes(c) > rest) {
      --c;
    }
    *reinterpret_cast<void**>(t.next) = t.free[c];
    t.free[c] = t.next;
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
      if (t.free[c] != nullptr) {
        s.lists[c].push_back(t.free[c]);
        t.free[c] = nullptr;
      }
    }
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
    auto& lists = s.lists[c];
    if (lists.empty()) {
      // A new block joins the pool like any other; nothing in the pool is ever released.
      return ::operator new(class_bytes(c));
    }
    void* p = pop(lists.back());
    if (lists.back() == nullptr) {
      lists.pop_back();
    }
    return p;
  }
  (void)&hand_back;  // constructs it on a thread's first slow path, so that it runs at exit
  char* region = nullptr;
  {
    const std::lock_guard lock(s.mutex);
    // A list handed back by a finished thread becomes this thread's list.
    if (auto& lists = s.lists[c]; !lists.empty()) {
      t.free[c] = lists.back();
      lists.pop_back();
      return pop(t.free[c]);
    }
    if (!s.ready.empty()) {
      region = s.ready.back();
      s.ready.pop_back();
      s.ready_taken.notify_all();
    }
  }
  if (region == nullptr) {
    region = map_region();
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
  auto& lists = s.lists[c];
  if (lists.empty()) {
    try {
      lists.push_back(nullptr);
    } catch (...) {
      return;  // no room to record it: the block is lost, nothing else is
    }
  }
  *static_cast<void**>(p) = lists.back();
  lists.back() = p;
}

struct RegionsAhead::Helper {
  bool stop = false;  // guarded by the shared mutex
  std::thread worker;

  void run() {
    Shared& s = shared();
    std::unique_lock lock(s.mutex);
    for (;;) {
      s.ready_taken.wait(lock, [&] { return stop || s.ready.size() < kRegionsAhead; });
      if (stop) {
        return;
      }
      // The kernel work happens outside the lock, beside the threads using the pool.
      lock.unlock();
      char* region = nullptr;
      try {
        region = map_region();
      } catch (const std::bad_alloc&) {
        return;  // the threads that need memory will report it themselves
      }
      lock.lock();
      if (s.ready.size() == s.ready.capacity()) {
        ::munmap(region, kRegionBytes);  // many helpers at once: this one is not needed
        continue;
      }
      s.ready.push_back(region);
    }
  }
};

RegionsAhead::RegionsAhead() {
  auto helper = std::make_unique<Helper>();
  try {
    helper->worker = std::thread([h = helper.get()] { h->run(); });
  } catch (const std::system_error&) {
    return;  // no thread to be had: blocks come as they always do
  }
  helper_ = std::move(helper);
}

RegionsAhead::~RegionsAhead() {
  if (helper_ == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(shared().mutex);
    helper_->stop = true;
  }
  shared().ready_taken.notify_all();
  helper_->worker.join();
}

}  // namespace arvcore::value_pool

#else

namespace arvcore::value_pool {
struct RegionsAhead::Helper {};
RegionsAhead::RegionsAhead() = default;
RegionsAhead::~RegionsAhead() = default;
}  // namespace arvcore::value_pool

#endif
