// Value storage: size classes, blocks shared between threads, teardown of deep and wide values.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "arvcore/value/value.hpp"

namespace {

using arvcore::Value;
namespace pool = arvcore::value_pool;

TEST(ValuePool, EachRequestGetsTheSmallestClassThatHoldsIt) {
  unsigned previous = 0;
  for (std::size_t bytes = 1; bytes <= pool::kLargeMax; bytes += bytes < 4096 ? 1 : 97) {
    const unsigned c = pool::size_class(bytes);
    ASSERT_GE(c, 1U) << bytes;
    ASSERT_LT(c, pool::kClasses) << bytes;
    ASSERT_GE(pool::class_bytes(c), bytes) << bytes;
    ASSERT_LT(pool::class_bytes(c - 1), bytes) << bytes;  // not a larger class than needed
    ASSERT_GE(c, previous) << bytes;
    ASSERT_EQ(pool::class_bytes(c) % 8, 0U) << bytes;  // keeps 8-byte alignment
    previous = c;
  }
  EXPECT_EQ(pool::size_class(pool::kLargeMax), pool::kClasses - 1);
}

TEST(ValuePool, BlocksAreDistinctAlignedAndReused) {
  std::vector<void*> blocks;
  for (std::size_t bytes : {1, 16, 17, 64, 513, 4000, 300000, 1 << 20, (1 << 20) + 1}) {
    for (int i = 0; i < 50; ++i) {
      void* p = pool::allocate(bytes);
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0U);
      std::memset(p, 0xAB, bytes);  // the whole block is writable
      blocks.push_back(p);
    }
  }
  std::vector<void*> sorted = blocks;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  std::size_t i = 0;
  for (std::size_t bytes : {1, 16, 17, 64, 513, 4000, 300000, 1 << 20, (1 << 20) + 1}) {
    for (int k = 0; k < 50; ++k) {
      pool::deallocate(blocks[i++], bytes);
    }
  }
#if ARVCORE_VALUE_POOL
  // The most recently freed block of a class is the next one handed out.
  void* a = pool::allocate(48);
  pool::deallocate(a, 48);
  EXPECT_EQ(pool::allocate(44), a);
  pool::deallocate(a, 44);
#endif
}

// Values built on worker threads are freed on others and after the workers have ended; a
// value freed during the main thread's teardown still finds the pool.
// A map of `n` small number lists, tagged with `t`.
Value build_table(int t, int n) {
  Value table = Value::object();
  for (int i = 0; i < n; ++i) {
    table["k" + std::to_string(i)] = Value::array({i, t, 0.5, -i});
  }
  return table;
}

TEST(ValuePool, ValuesMoveBetweenThreads) {
  constexpr int kThreads = 4;
  std::vector<Value> built(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&built, t] { built[t] = build_table(t, 20000); });
  }
  for (auto& w : workers) {
    w.join();
  }
  // Free half of them on new threads, which then end holding the blocks.
  std::vector<std::thread> freers;
  for (int t = 0; t < kThreads; t += 2) {
    freers.emplace_back([&built, t] { built[t] = nullptr; });
  }
  for (auto& f : freers) {
    f.join();
  }
  for (int t = 1; t < kThreads; t += 2) {
    ASSERT_EQ(built[t].size(), 20000U);
    EXPECT_EQ(built[t]["k19999"], Value::array({19999, t, 0.5, -19999}));
  }
  // A new thread builds from the blocks the finished threads handed back.
  std::thread([] {
    Value again = Value::array();
    for (int i = 0; i < 40000; ++i) {
      again.push_back(Value::array({i, i}));
    }
    EXPECT_EQ(again[39999], Value::array({39999, 39999}));
  }).join();
}

// Regions prepared by helpers serve threads building at the same time, whether the helpers
// start and stop around them or overlap; blocks from them never overlap.
TEST(ValuePool, RegionsPreparedAheadServeConcurrentBuilders) {
  constexpr int kThreads = 3;
  std::vector<Value> built(kThreads);
  {
    pool::RegionsAhead outer;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([&built, t] {
        const pool::RegionsAhead own;       // several helpers at once
        built[t] = build_table(t, 120000);  // about 20 MB: many regions each
      });
    }
    for (auto& w : workers) {
      w.join();
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(built[t].size(), 120000U);
    for (int i = 0; i < 120000; i += 997) {
      ASSERT_EQ(built[t]["k" + std::to_string(i)], Value::array({i, t, 0.5, -i}));
    }
  }
  // Regions left ready after the helpers stopped are used like any others.
  Value later = Value::array();
  for (int i = 0; i < 200000; ++i) {
    later.push_back(Value::array({i}));
  }
  EXPECT_EQ(later[199999], Value::array({199999}));
  EXPECT_EQ(built[2]["k119999"], Value::array({119999, 2, 0.5, -119999}));
}

// Tables freed for a build on several threads at once, one of them freeing a table that
// another thread built and sharing its regions with values that stay: the regions handed to
// each build hold nothing in use, and every table stays whole.
TEST(ValuePool, TablesFreedForABuildOnSeveralThreads) {
  constexpr int kThreads = 3;
  constexpr int kEntries = 60000;
  std::vector<Value> built(kThreads);
  std::vector<Value> kept(kThreads);
  built[0] = build_table(100, kEntries);  // freed by thread 0's build but built here
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&built, &kept, t] {
      pool::RegionsAhead build;
      if (t != 0) {
        built[t] = Value::object();
        for (int i = 0; i < kEntries; ++i) {
          built[t]["k" + std::to_string(i)] = Value::array({i, t, 0.5, -i});
          if (i % 1000 == 0) {
            kept[t].push_back(Value::array({i, -t}));  // interleaved with the table, stays
          }
        }
      }
      for (int round = 1; round <= 3; ++round) {
        build.reuse_freed([&built, t]() noexcept { built[t] = nullptr; });
        built[t] = build_table(t + 10 * round, kEntries);
      }
    });
  }
  for (auto& w : workers) {
    w.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(built[t].size(), static_cast<std::size_t>(kEntries));
    for (int i = 0; i < kEntries; i += 613) {
      ASSERT_EQ(built[t]["k" + std::to_string(i)], Value::array({i, t + 30, 0.5, -i}));
    }
  }
  for (int t = 1; t < kThreads; ++t) {
    ASSERT_EQ(kept[t].size(), static_cast<std::size_t>(kEntries / 1000));
    for (int i = 0; i < kEntries / 1000; ++i) {
      ASSERT_EQ(kept[t][i], Value::array({i * 1000, -t}));
    }
  }
}

TEST(ValuePool, TeardownOfDeepAndWideValues) {
  // Far deeper than the call stack could free one level per frame.
  Value deep = Value::array();
  for (int i = 0; i < 300000; ++i) {
    Value outer = Value::array();
    outer.push_back(std::move(deep));
    outer.push_back(i);
    deep = std::move(outer);
  }
  Value deep_map = Value::object();
  for (int i = 0; i < 300000; ++i) {
    Value outer = Value::object();
    outer["inner"] = std::move(deep_map);
    outer["text"] = "a string long enough to live on the heap";
    deep_map = std::move(outer);
  }
  deep = nullptr;
  deep_map = nullptr;

  Value wide = Value::object();
  for (int i = 0; i < 1000; ++i) {
    Value& steps = wide["COM_" + std::to_string(i % 10)];
    steps[std::to_string(i)] = Value::array({i, Value::object({{"x", Value::array({1, 2})}})});
  }
  Value copy = wide;
  wide = nullptr;
  EXPECT_EQ(copy["COM_3"]["993"][1]["x"][1], 2);
}

// Values dropped from inside a list or map (pop, erase, clear, overwrite), however deep, go
// without touching what stays.
TEST(ValuePool, DroppingPartsOfAValueKeepsTheRest) {
  auto deep_value = [](int depth) {
    Value v = Value::array({"a string long enough to live on the heap"});
    for (int i = 0; i < depth; ++i) {
      Value outer = Value::object();
      outer["next"] = Value::array({std::move(v), i});
      v = std::move(outer);
    }
    return v;
  };
  Value root = Value::object();
  root["kept"] = Value::array({1, 2.5, "text that lives on the heap", Value::object({{"x", 1}})});
  root["list"] = Value::array();
  for (int i = 0; i < 10; ++i) {
    root["list"].push_back(Value::array({i, Value::array({i, "nested text on the heap"})}));
  }
  root["list"].push_back(deep_value(200000));
  root["deep"] = deep_value(200000);
  root["mixed"] = Value::array({deep_value(100), "t", nullptr, true, Value::object()});

  auto& list = root["list"].get_ref<Value::array_t&>();
  list.pop_back();                                   // the deep one
  list.erase(list.begin() + 2, list.begin() + 5);    // from the middle: the rest moves down
  root.get_ref<Value::object_t&>().erase("deep");    // a deep map entry
  root["mixed"][0] = Value::array({"replaced", 7});  // overwrite a nested value
  root["mixed"].get_ref<Value::array_t&>().resize(2);

  EXPECT_EQ(root.size(), 3U);
  EXPECT_EQ(root["kept"],
            Value::array({1, 2.5, "text that lives on the heap", Value::object({{"x", 1}})}));
  ASSERT_EQ(list.size(), 7U);
  for (std::size_t j = 0; j < list.size(); ++j) {
    const int i = static_cast<int>(j < 2 ? j : j + 3);
    EXPECT_EQ(list[j], Value::array({i, Value::array({i, "nested text on the heap"})}));
  }
  EXPECT_EQ(root["mixed"], Value::array({Value::array({"replaced", 7}), "t"}));
  root["list"].get_ref<Value::array_t&>().clear();
  EXPECT_TRUE(root["list"].empty());
}

// A child process of a program whose threads use values can build values of its own.
TEST(ValuePool, ForkedChildBuildsValues) {
#if !ARVCORE_VALUE_POOL
  // Sanitizer builds have no pool, and their own allocator is not safe to fork mid-use.
  GTEST_SKIP();
#endif
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop) {
      // Threads that end hand their lists back under the pool's lock.
      std::thread([] { Value v = Value::array({Value::array({1, 2}), "x"}); }).join();
    }
  });
  for (int i = 0; i < 20; ++i) {
    const pid_t pid = ::fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      Value table = Value::object();
      for (int k = 0; k < 50000; ++k) {
        table[std::to_string(k)] = Value::array({k, k});
      }
      std::thread([] { Value v = Value::array({1}); }).join();
      ::_exit(table["49999"][1] == 49999 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  stop = true;
  churn.join();
}

}  // namespace
