// Memory of freed tables goes back to the system, and tables built from the memory that
// remains are whole. These tests measure the whole process's resident set, so they live in an
// executable of their own, where no other test's values share the pool.

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

// What the pool may keep after tables are freed: the regions kept ready for the next parse
// and some room for regions still holding a value and for the C++ heap.
constexpr double kKeptMiB = 16;

double rss_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// A map of `n` small number lists, about 170 bytes of values each.
Value build_table(int tag, int n) {
  Value table = Value::object();
  for (int i = 0; i < n; ++i) {
    table["k" + std::to_string(i)] = Value::array({i, tag, 0.5, -i});
  }
  return table;
}

// Everything a table holds, kinds and order included, folded into one number without
// allocating, so that taking it does not move the figures measured around it.
std::uint64_t fingerprint(const Value& v, std::uint64_t h = 1469598103934665603ULL) {
  auto mix = [&h](std::uint64_t x) { h = (h ^ x) * 1099511628211ULL; };
  mix(static_cast<std::uint64_t>(v.type()));
  if (v.is_object()) {
    for (const auto& [key, e] : v.get_ref<const Value::object_t&>()) {
      mix(std::hash<std::string>{}(key));
      h = fingerprint(e, h);
    }
  } else if (v.is_array()) {
    for (const Value& e : v) {
      h = fingerprint(e, h);
    }
  } else if (v.is_string()) {
    mix(std::hash<std::string>{}(v.get_ref<const std::string&>()));
  } else if (v.is_number_float()) {
    mix(std::bit_cast<std::uint64_t>(v.get<double>()));
  } else if (v.is_number()) {
    mix(static_cast<std::uint64_t>(v.get<std::int64_t>()));
  } else if (v.is_boolean()) {
    mix(v.get<bool>() ? 1 : 2);
  }
  return h;
}

class MemoryRelease : public ::testing::Test {
 protected:
  void SetUp() override {
#if !ARVCORE_VALUE_POOL
    GTEST_SKIP() << "values come from the global operator new in this build";
#endif
  }
};

TEST_F(MemoryRelease, FreedTablesGoBackToTheSystem) {
  const double start = rss_mib();
  {
    Value table = build_table(1, 400000);
    // The table took fresh memory, so a pool that kept it would show below.
    ASSERT_GT(rss_mib(), start + 3 * kKeptMiB);
  }
  EXPECT_LT(rss_mib(), start + kKeptMiB);

  {
    std::vector<Value> three;
    for (int t = 0; t < 3; ++t) {
      three.push_back(build_table(t, 300000));
    }
    ASSERT_GT(rss_mib(), start + 6 * kKeptMiB);
    three.pop_back();
    three.erase(three.begin());  // freed in another order than built
  }
  EXPECT_LT(rss_mib(), start + kKeptMiB);

  // A table freed by another thread than the one that built it: most of it goes at once;
  // the regions where this thread's lists hold blocks too go when it next frees a table,
  // after the other thread has ended.
  Value table = build_table(2, 400000);
  const double built = rss_mib() - start;
  ASSERT_GT(built, 3 * kKeptMiB);
  std::thread([&table] { table = nullptr; }).join();
  EXPECT_LT(rss_mib(), start + built / 2);
  build_table(3, 100000);
  EXPECT_LT(rss_mib(), start + kKeptMiB);
}

// Memory freed while a large table is being built serves that table; what the build does
// not take back goes when it ends.
TEST_F(MemoryRelease, FreedDuringABuildServesItThenGoes) {
  const double start = rss_mib();
  Value old_table = build_table(1, 400000);
  const double one_table = rss_mib() - start;
  ASSERT_GT(one_table, 3 * kKeptMiB);
  Value kept_copy;
  {
    const arvcore::value_pool::RegionsAhead build;
    old_table = nullptr;  // its entry list (18 MiB) goes, its lists stay for the build
    EXPECT_GT(rss_mib(), start + one_table / 2);
    Value new_table = build_table(2, 200000);  // takes half of it back
    EXPECT_LT(rss_mib(), start + one_table + kKeptMiB);
    kept_copy = std::move(new_table);
  }
  const double after = rss_mib() - start;
  EXPECT_LT(after, one_table * 0.5 + kKeptMiB);
  EXPECT_EQ(kept_copy["k199999"], Value::array({199999, 2, 0.5, -199999}));
}

// The regions of a table freed before a build are cut afresh by it: the new table lies in
// memory in the order it is built, takes no more memory than the old one left, and what it
// does not use goes when the build ends.
TEST_F(MemoryRelease, FreedRegionsAreCutAfreshByTheBuild) {
  constexpr int kEntries = 300000;
  const double start = rss_mib();
  Value old_table = build_table(1, kEntries);
  const double one_table = rss_mib() - start;
  ASSERT_GT(one_table, 2 * kKeptMiB);
  Value half;
  {
    arvcore::value_pool::RegionsAhead build;
    build.reuse_freed([&old_table]() noexcept { old_table = nullptr; });
    EXPECT_GT(rss_mib(), start + one_table / 2);  // kept for the build
    Value again = build_table(2, kEntries);
    EXPECT_LT(rss_mib(), start + one_table + kKeptMiB);
    // Built in order, each entry's list lies after the one before, except where the build
    // moved to another region; taken from the free lists, nearly every one lies before.
    int backwards = 0;
    const auto& entries = again.get_ref<const Value::object_t&>().items();
    for (std::size_t i = 1; i < entries.size(); ++i) {
      backwards += entries[i].second.get_ptr<const Value::array_t*>() <
                           entries[i - 1].second.get_ptr<const Value::array_t*>()
                       ? 1
                       : 0;
    }
    EXPECT_LT(backwards, kEntries / 100);
    EXPECT_EQ(again["k123456"], Value::array({123456, 2, 0.5, -123456}));
    build.reuse_freed([&again]() noexcept { again = nullptr; });
    half = build_table(3, kEntries / 2);
  }
  EXPECT_LT(rss_mib(), start + one_table / 2 + kKeptMiB);
  EXPECT_EQ(half["k149999"], Value::array({149999, 3, 0.5, -149999}));
}

// One calibration file, large enough to be parsed with memory prepared beside it.
class ParseAfterRelease : public MemoryRelease {
 protected:
  static constexpr const char* kSn = "D2230E013-28";

  void SetUp() override {
    MemoryRelease::SetUp();
    if (IsSkipped()) {
      return;
    }
    dir_ = fs::temp_directory_path() / fmt::format("memory_release_{}", ::getpid());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("ARVCORE_FILES_DIR", dir_.c_str(), 1);
    std::ofstream out(dir_ / fmt::format("{}_28GHz.csv", kSn), std::ios::binary);
    out << fmt::format("VER,3.0.0\nREALVER,3.0.1\nSN,{}\nFCENTER,28\nDR,-5,10.5,-10,-5\n", kSn)
        << "OFFSET_TX,1,2,3,4\nOFFSET_RX,-1,-2,-3,-4\n";
    for (const char* mode : {"TX", "RX"}) {
      for (int board = 1; board <= 2; ++board) {
        for (int com = 1; com <= 8; ++com) {
          for (int gain = 0; gain < 120; ++gain) {
            for (int phase = 0; phase < 360; phase += 5) {
              for (int ch = 1; ch <= 2; ++ch) {
                out << fmt::format("DATA,{},m,{},b,1,c,{},d,e,{},g,{},p,{},s,{},{},u,{},{}\n", mode,
                                   board, ch, gain * 0.5 - 10, phase, com, gain, phase, gain * 0.25,
                                   -phase * 0.5);
              }
            }
          }
        }
      }
    }
    out << "END\n";
  }
  void TearDown() override {
    unsetenv("ARVCORE_FILES_DIR");
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  static CalibrationTableManager make() {
    return CalibrationTableManager(kSn, 28, [] { return Value::array({2, 1, 2}); });
  }

  fs::path dir_;
};

TEST_F(ParseAfterRelease, GivesTheSameTable) {
  const double start = rss_mib();
  std::uint64_t first = 0;
  {
    CalibrationTableManager m = make();
    ASSERT_TRUE(m.parse(28).ok());
    // The whole table, built from its DATA arrays, is what takes the memory.
    first = fingerprint(m.CaliTable());
    EXPECT_EQ(m.CaliTable()["BOARD_2"]["RX"]["DATA_CHIP_1"]["COM_8"]["2_195_355"],
              Value::array({59, 355, 14.75, -177.5}));
    ASSERT_GT(rss_mib(), start + 2 * kKeptMiB);
  }
  EXPECT_LT(rss_mib(), start + kKeptMiB);

  // A new manager parses from what the release left, then changes frequency twice: the
  // old table goes while the new one is built.
  std::list<CalibrationTableManager> managers;
  managers.push_back(make());
  ASSERT_TRUE(managers.back().parse(28).ok());
  EXPECT_EQ(fingerprint(managers.back().CaliTable()), first);
  const double one_table = rss_mib();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(managers.back().parse(28).ok());
    EXPECT_EQ(fingerprint(managers.back().CaliTable()), first);
  }
  EXPECT_LT(rss_mib(), one_table + kKeptMiB);

  // Three at once, all dropped, and one more parse.
  for (int i = 0; i < 2; ++i) {
    managers.push_back(make());
    ASSERT_TRUE(managers.back().parse(28).ok());
  }
  managers.clear();
  EXPECT_LT(rss_mib(), start + kKeptMiB);
  CalibrationTableManager last = make();
  ASSERT_TRUE(last.parse(28).ok());
  EXPECT_EQ(fingerprint(last.CaliTable()), first);
}

}  // namespace

// The arrays of a large table's steps come from an arena of large pages: every block keeps its
// bytes whatever was taken after it, the arena gives back the untouched end of its region,
// and all of it goes with the arena.
TEST(StepArena, BlocksStayWholeAndTheArenaGoesBackWhole) {
  using arvcore::vlndev::detail::StepArena;
  const double start = rss_mib();
  {
    StepArena arena;
    // Small blocks come from the heap; the others from regions, one of them larger than a
    // region, one that does not fit what is left of one.
    const std::vector<std::size_t> sizes = {100,     16 << 10,      1 << 20, 3 << 20,
                                            9 << 20, (1 << 20) + 8, 5000,    3 << 20};
    std::vector<char*> blocks;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      auto* const b = static_cast<char*>(arena.allocate(sizes[i]));
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % (sizes[i] < (16 << 10) ? 16 : 64), 0u) << i;
      std::fill(b, b + sizes[i], static_cast<char>('a' + i));
      blocks.push_back(b);
    }
    EXPECT_GT(rss_mib(), start + 15);
    arena.trim();  // must not touch a block taken
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const std::string_view bytes(blocks[i], sizes[i]);
      EXPECT_EQ(bytes.find_first_not_of(static_cast<char>('a' + i)), std::string_view::npos) << i;
      StepArena::deallocate(blocks[i], sizes[i]);
    }
  }
  EXPECT_LT(rss_mib(), start + 2);
}
