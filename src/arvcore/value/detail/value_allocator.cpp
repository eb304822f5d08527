#include "arvcore/value/detail/value_allocator.hpp"

#if ARVCORE_VALUE_POOL

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
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

// Regions kept ready, by a helper or from tables that were freed; the most that stays
// mapped without holding any value.
constexpr std::size_t kRegionsKept = kRegionsAhead;

// Free lists handed back by exiting threads, each list whole, by class; regions prepared
// ahead of need; the start of every region that threads cut blocks from, in address order.
struct Shared {
  std::mutex mutex;
  std::vector<void*> lists[kClasses];
  std::vector<char*> ready;
  std::condition_variable ready_taken;
  std::vector<std::uintptr_t> regions;
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

// The length of the mapping that holds a block of `bytes` bytes.
std::size_t whole_pages(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// Splits the unused end of a region into blocks of the largest classes that fit, for the
// shared lists (lock held). A look by any thread sees them there, so that the end of a region
// that one thread cut never keeps the region from going back when another frees the rest.
void retire_rest(ThreadCache& t, Shared& s) noexcept {
  while (t.end - t.next >= 8) {
    const auto rest = static_cast<std::size_t>(t.end - t.next);
    unsigned c = rest >= kLargeMax ? kClasses - 1 : size_class(rest);
    while (class_bytes(c) > rest) {
      --c;
    }
    void* p = t.next;
    t.next += class_bytes(c);
    auto& lists = s.lists[c];
    if (!lists.empty()) {
      *static_cast<void**>(p) = lists.back();
      lists.back() = p;
      continue;
    }
    try {
      lists.push_back(p);
      *static_cast<void**>(p) = nullptr;
    } catch (...) {
      *static_cast<void**>(p) = t.free[c];  // no room for a new list: the thread keeps it
      t.free[c] = p;
    }
  }
}

// Gives a thread's free lists and the rest of its region to the shared lists when the
// thread ends.
struct HandBack {
  ~HandBack() {
    ThreadCache& t = tcache;
    Shared& s = shared();
    const std::lock_guard lock(s.mutex);
    retire_rest(t, s);
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

// Records that blocks are cut from `region` from now on (lock held).
void add_region(Shared& s, char* region) {
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  s.regions.insert(std::upper_bound(s.regions.begin(), s.regions.end(), start), start);
}

// Finds the region of a block among the sorted region starts, remembering the last one
// found: blocks freed one after the other mostly lie in the same region.
class RegionFinder {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit RegionFinder(const std::vector<std::uintptr_t>& starts) : starts_(starts) {}

  // The position of the region holding `p`, or kNone for a block of the global operator new.
  std::size_t operator()(const void* p) noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    if (last_ != kNone && a - starts_[last_] < kRegionBytes) {
      return last_;
    }
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), a);
    if (after == starts_.begin() || a - *(after - 1) >= kRegionBytes) {
      return kNone;
    }
    last_ = static_cast<std::size_t>(after - starts_.begin()) - 1;
    return last_;
  }

 private:
  const std::vector<std::uintptr_t>& starts_;
  std::size_t last_ = kNone;
};

}  // namespace

void* allocate_slow(unsigned c) {
  ThreadCache& t = tcache;
  Shared& s = shared();
  if (t.detached) {
    const std::lock_guard lock(s.mutex);
    auto& lists = s.lists[c];
    if (lists.empty()) {
      // A new block joins the pool like any other; only blocks of regions are ever released.
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
      try {
        add_region(s, region);
      } catch (...) {
        s.ready.push_back(region);  // the room it just left
        throw;
      }
      s.ready_taken.notify_all();
      retire_rest(t, s);
    }
  }
  if (region == nullptr) {
    region = map_region();
    try {
      const std::lock_guard lock(s.mutex);
      add_region(s, region);
      retire_rest(t, s);
    } catch (...) {
      ::munmap(region, kRegionBytes);
      throw;
    }
  }
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

void* allocate_large(std::size_t bytes) {
  void* p = ::mmap(nullptr, whole_pages(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (p == MAP_FAILED) {
    throw std::bad_alloc();
  }
  return p;
}

void deallocate_large(void* p, std::size_t bytes) noexcept {
  ::munmap(p, whole_pages(bytes));
}

namespace {

// A chain of free blocks, linked through their first word.
struct Chain {
  void* head = nullptr;
  void* tail = nullptr;
};

// One look for idle regions (the shared lock held throughout). Everything that can fail to
// allocate happens when it is made; the look itself allocates nothing.
class IdleLook {
 public:
  explicit IdleLook(Shared& s)
      : n_(s.regions.size()),
        chains_(std::size_t{kClasses} * (n_ + 1)),
        free_bytes_(n_ + 1, 0),
        idle_(n_, false),
        region_of_(s.regions) {}

  // One pass over every free block the thread can see, its own and those that finished
  // threads handed back, sorts them by class and region into chains (the last region slot
  // holds blocks of the global operator new) and adds up how much of each region lies free.
  void sort_free_blocks(ThreadCache& t, Shared& s) {
    for (unsigned c = 1; c < kClasses; ++c) {
      sort_chain(t.free[c], c);
      for (void* head : s.lists[c]) {
        sort_chain(head, c);
      }
      s.lists[c].clear();
    }
  }

  // A region is idle when all of it lies free; the region the thread is cutting counts up
  // to where it got. The bytes that stay listed in the thread's lists.
  std::size_t mark_idle(ThreadCache& t) {
    const std::size_t current = t.end == nullptr ? RegionFinder::kNone : region_of_(t.end - 1);
    std::size_t listed = free_bytes_[n_];
    for (std::size_t i = 0; i < n_; ++i) {
      const std::size_t cut =
          i == current ? static_cast<std::size_t>(t.next - (t.end - kRegionBytes)) : kRegionBytes;
      idle_[i] = cut != 0 && free_bytes_[i] == cut;
      listed += idle_[i] ? 0 : free_bytes_[i];
    }
    if (current != RegionFinder::kNone && idle_[current]) {
      t.next = t.end = nullptr;
    }
    return listed;
  }

  // The thread keeps the blocks of the other regions, a region's blocks together.
  void keep_busy_blocks(ThreadCache& t) const {
    for (unsigned c = 1; c < kClasses; ++c) {
      const Chain* row = &chains_[std::size_t{c} * (n_ + 1)];
      void** link = &t.free[c];
      for (std::size_t i = 0; i <= n_; ++i) {
        if (row[i].head != nullptr && (i == n_ || !idle_[i])) {
          *link = row[i].head;
          link = static_cast<void**>(row[i].tail);
        }
      }
      *link = nullptr;
    }
  }

  // Idle regions leave the list of regions; a few stay ready for the next parse, the rest
  // are for `unmapped` (with room for all of them).
  void retire_idle(Shared& s, std::vector<char*>& unmapped) const {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n_; ++i) {
      if (!idle_[i]) {
        s.regions[kept++] = s.regions[i];
      } else if (s.ready.size() < kRegionsKept) {
        s.ready.push_back(reinterpret_cast<char*>(s.regions[i]));  // within its reserved room
      } else {
        unmapped.push_back(reinterpret_cast<char*>(s.regions[i]));
      }
    }
    s.regions.resize(kept);
  }

 private:
  void sort_chain(void* head, unsigned c) {
    Chain* row = &chains_[std::size_t{c} * (n_ + 1)];
    const std::size_t bytes = class_bytes(c);
    for (void* p = head; p != nullptr;) {
      void* const next = *static_cast<void**>(p);
      std::size_t i = region_of_(p);
      i = i == RegionFinder::kNone ? n_ : i;
      free_bytes_[i] += bytes;
      Chain& chain = row[i];
      if (chain.tail == nullptr) {
        chain.head = p;
      } else if (*static_cast<void**>(chain.tail) != p) {
        *static_cast<void**>(chain.tail) = p;
      }
      chain.tail = p;
      p = next;
    }
  }

  std::size_t n_;
  std::vector<Chain> chains_;
  std::vector<std::size_t> free_bytes_;
  std::vector<bool> idle_;
  RegionFinder region_of_;
};

}  // namespace

void release_idle_regions() noexcept {
  ThreadCache& t = tcache;
  if (t.detached || t.builds != 0) {
    return;  // a large table is being built: what was freed is about to serve it
  }
  // A thread that only frees values hands its lists back at its exit too, where a later
  // look by another thread finds them.
  (void)&hand_back;
  t.freed = 0;
  Shared& s = shared();
  std::vector<char*> unmapped;
  try {
    const std::lock_guard lock(s.mutex);
    IdleLook look(s);
    unmapped.reserve(s.regions.size());
    look.sort_free_blocks(t, s);
    const std::size_t listed = look.mark_idle(t);
    look.keep_busy_blocks(t);
    look.retire_idle(s, unmapped);
    t.look_at = std::max(kLookAfterBytes, listed);
  } catch (const std::bad_alloc&) {
    return;  // no room to sort in: the regions wait for the next look
  }
  for (char* region : unmapped) {
    ::munmap(region, kRegionBytes);
  }
}

namespace {

// Regions left ready beyond the few kept for the next parse go back to the system.
void trim_ready() noexcept {
  Shared& s = shared();
  std::vector<char*> unmapped;
  {
    const std::lock_guard lock(s.mutex);
    while (s.ready.size() > kRegionsKept) {
      try {
        unmapped.push_back(s.ready.back());
      } catch (const std::bad_alloc&) {
        break;  // they stay ready for later values
      }
      s.ready.pop_back();
    }
  }
  for (char* region : unmapped) {
    ::munmap(region, kRegionBytes);
  }
}

}  // namespace

// The blocks freed while a table is freed for a build, sorted by region and class as they
// come, with how much of each region they cover: a region they cover whole is known without
// walking any free list afterwards.
struct RegionsAhead::Tally {
  std::vector<std::uintptr_t> starts;  // the regions as they were when the freeing began
  RegionFinder region_of{starts};
  std::vector<Chain> chains;        // by region, then class
  std::vector<std::size_t> freed;   // bytes the table left free, by region
  std::vector<std::size_t> listed;  // bytes that lay free in the lists before, by region
  std::vector<bool> idle;

  void add(void* p, unsigned c) noexcept {
    const std::size_t i = region_of(p);
    if (i == RegionFinder::kNone) {
      ThreadCache& t = tcache;  // not from a region: it joins the lists as usual
      *static_cast<void**>(p) = t.free[c];
      t.free[c] = p;
      t.freed += class_bytes(c);
      return;
    }
    Chain& chain = chains[i * kClasses + c];
    *static_cast<void**>(p) = chain.head;
    if (chain.head == nullptr) {
      chain.tail = p;
    }
    chain.head = p;
    freed[i] += class_bytes(c);
  }

  // Whether the table shared a region with blocks that already lay free (a table built
  // partly from the lists, the unused end of a region that the thread left): those count
  // too, and only then are the lists walked.
  bool shares_regions() const noexcept {
    bool shared_regions = false;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      shared_regions = shared_regions || (freed[i] != 0 && freed[i] < kRegionBytes);
    }
    return shared_regions;
  }

  // Adds up the free blocks of the thread's lists by region; the shared lists become the
  // thread's own first (lock held).
  void count_listed(ThreadCache& t, Shared& s) noexcept {
    for (unsigned c = 1; c < kClasses; ++c) {
      for (void* head : s.lists[c]) {
        if (head == nullptr) {
          continue;
        }
        void* tail = head;
        while (*static_cast<void**>(tail) != nullptr) {
          tail = *static_cast<void**>(tail);
        }
        *static_cast<void**>(tail) = t.free[c];
        t.free[c] = head;
      }
      s.lists[c].clear();
      for (void* p = t.free[c]; p != nullptr; p = *static_cast<void**>(p)) {
        if (const std::size_t i = region_of(p); i != RegionFinder::kNone) {
          listed[i] += class_bytes(c);
        }
      }
    }
  }

  // A region the table leaves wholly free goes to the build, to be cut afresh; the region
  // the thread is cutting counts up to where it got (lock held). True when listed blocks lie
  // in such a region.
  bool hand_idle_regions(ThreadCache& t, Shared& s) noexcept {
    const std::size_t current = t.end == nullptr ? RegionFinder::kNone : region_of(t.end - 1);
    bool listed_idle = false;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const std::size_t cut =
          i == current ? static_cast<std::size_t>(t.next - (t.end - kRegionBytes)) : kRegionBytes;
      const auto found = std::lower_bound(s.regions.begin(), s.regions.end(), starts[i]);
      idle[i] = freed[i] != 0 && freed[i] + listed[i] == cut &&
                s.ready.size() < s.ready.capacity() && found != s.regions.end() &&
                *found == starts[i];
      if (idle[i]) {
        s.regions.erase(found);
        s.ready.push_back(reinterpret_cast<char*>(starts[i]));  // within its room
        if (i == current) {
          t.next = t.end = nullptr;
        }
        listed_idle = listed_idle || listed[i] != 0;
      }
    }
    return listed_idle;
  }

  // Listed blocks of the regions handed to the build leave the lists; the table's blocks of
  // the other regions join them.
  void relink(ThreadCache& t, bool listed_idle) noexcept {
    for (unsigned c = 1; c < kClasses; ++c) {
      void** link = &t.free[c];
      while (listed_idle && *link != nullptr) {
        const std::size_t i = region_of(*link);
        if (i != RegionFinder::kNone && idle[i]) {
          *link = *static_cast<void**>(*link);
        } else {
          link = static_cast<void**>(*link);
        }
      }
      for (std::size_t i = 0; i < starts.size(); ++i) {
        const Chain& chain = chains[i * kClasses + c];
        if (!idle[i] && chain.head != nullptr) {
          *static_cast<void**>(chain.tail) = t.free[c];
          t.free[c] = chain.head;
        }
      }
    }
  }
};

void deallocate_tallied(void* p, unsigned c) noexcept {
  static_cast<RegionsAhead::Tally*>(tcache.tally)->add(p, c);
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

RegionsAhead::RegionsAhead() noexcept {
  ++tcache.builds;
  try {
    auto helper = std::make_unique<Helper>();
    helper->worker = std::thread([h = helper.get()] { h->run(); });
    helper_ = std::move(helper);
  } catch (const std::exception&) {
    // No thread to be had: blocks come as they always do.
  }
}

RegionsAhead::~RegionsAhead() {
  if (helper_ != nullptr) {
    {
      const std::lock_guard lock(shared().mutex);
      helper_->stop = true;
    }
    shared().ready_taken.notify_all();
    helper_->worker.join();
  }
  --tcache.builds;
  trim_ready();   // regions handed to the build that it did not use
  value_freed();  // what the build did not take back may go now
}

bool RegionsAhead::begin_tally() noexcept {
  ThreadCache& t = tcache;
  if (t.detached || t.tally != nullptr) {
    return false;
  }
  try {
    tally_ = std::make_unique<Tally>();
    {
      const std::lock_guard lock(shared().mutex);
      tally_->starts = shared().regions;
    }
    tally_->chains.resize(tally_->starts.size() * kClasses);
    tally_->freed.resize(tally_->starts.size());
    tally_->listed.resize(tally_->starts.size());
    tally_->idle.resize(tally_->starts.size());
  } catch (const std::bad_alloc&) {
    tally_.reset();
    return false;  // the blocks join the lists as usual
  }
  t.tally = tally_.get();
  return true;
}

void RegionsAhead::end_tally() noexcept {
  ThreadCache& t = tcache;
  t.tally = nullptr;
  Tally& tally = *tally_;
  Shared& s = shared();
  const std::lock_guard lock(s.mutex);
  if (tally.shares_regions()) {
    tally.count_listed(t, s);
  }
  const bool listed_idle = tally.hand_idle_regions(t, s);
  tally.relink(t, listed_idle);
  for (std::size_t i = 0; i < tally.starts.size(); ++i) {
    t.freed += tally.idle[i] ? 0 : tally.freed[i];
  }
  tally_.reset();
}

}  // namespace arvcore::value_pool

#else

namespace arvcore::value_pool {
void release_idle_regions() noexcept {}
struct RegionsAhead::Tally {};
struct RegionsAhead::Helper {};
RegionsAhead::RegionsAhead() noexcept = default;
RegionsAhead::~RegionsAhead() = default;
bool RegionsAhead::begin_tally() noexcept {
  return false;
}
void RegionsAhead::end_tally() noexcept {}
}  // namespace arvcore::value_pool

#endif
