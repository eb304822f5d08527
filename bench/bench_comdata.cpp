// ComData fetch of a whole 16-channel chain from a large parsed table, and the dynamic-range
// cache (first query after a parse versus every later one).
//
// The large table is ARVCORE_BENCH_CALI_FILE when set (a file named {SN}_{FREQ}GHz.csv, for
// example one written by a table generator), otherwise one of the same shape generated here:
// 4 boards x 1 IC x 4 channels, 8 common-arm steps, gains -8..7 dB in 0.5 dB steps and phases
// 0..355 in 5 degree steps (about 590,000 DATA rows).

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/calibration_queries.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

constexpr int kBoards = 4;
constexpr int kChannels = 4;

std::string generated_table(const std::string& sn, int boards, int channels, int coms,
                            double gain_step, int phase_step) {
  std::mt19937 rnd(1);
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd); };
  auto real = [&](double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rnd); };
  std::string s;
  s.reserve(static_cast<std::size_t>(boards) * channels * coms * 2 * 2200 * 80);
  auto w = [&](const std::string& line) { s.append(line).append("\r\n"); };
  w("VER,3.0.0");
  w("REALVER,3.0.2");
  w("SN," + sn);
  w("FCENTER,28.0");
  w("DR,-6.0,12.5,-9.5,6.0");
  for (const char* mode : {"TX", "RX"}) {
    std::string row = fmt::format("OFFSET_{}", mode);
    for (int i = 0; i < boards * channels; ++i) {
      row += fmt::format(",{}", uni(-3, 3));
    }
    w(row);
  }
  for (int b = 1; b <= boards; ++b) {
    for (const char* mode : {"TX", "RX"}) {
      w(fmt::format("COMDR,{},BOARD,{},DR,{:.3f},{:.3f},,", mode, b, -9.5 + real(0, 1),
                    -2.0 + real(0, 1)));
      w(fmt::format("ELEDR,{},BOARD,{},DR,{:.3f},,", mode, b, 7.0 + real(0, 1)));
    }
  }
  for (int b = 1; b <= boards; ++b) {
    w(fmt::format("TEMPADC,ADC,{},VAL,{}", b, uni(30, 45)));
    w(fmt::format("TC,TC,{},VAL,{},{},{},{}", b, uni(0, 15), uni(0, 15), uni(0, 15), uni(0, 15)));
  }
  for (int b = 1; b <= boards; ++b) {
    for (const char* mode : {"TX", "RX"}) {
      for (int c = 1; c <= coms; ++c) {
        const double hi = 8.0 - c * 1.5;
        w(fmt::format("COMSTEPDR,{},BOARD,{},STEP,X,{},RANGE,{:.2f},~,{:.2f}", mode, b, c, hi,
                      hi - 10));
      }
    }
  }
  for (const char* mode : {"TX", "RX"}) {
    for (int b = 1; b <= boards; ++b) {
      for (int c = 1; c <= coms; ++c) {
        for (int ch = 1; ch <= channels; ++ch) {
          for (double g = -8.0; g <= 7.0 + 1e-9; g += gain_step) {
            for (int ph = 0; ph < 360; ph += phase_step) {
              w(fmt::format(
                  "DATA,{},BOARD,{},CHIP,1,CH,{},G,IDX,{},PH,{},COM,{},REG,{},{},DIFF,"
                  "{:.4f},{:.3f}",
                  mode, b, ch, g, ph, c, uni(0, 127), uni(0, 63), real(-1, 1), real(-10, 10)));
            }
          }
        }
      }
    }
  }
  w("END");
  return s;
}

arvcore::vlndev::RfLayoutFn layout(int boards, int channels) {
  return [=] { return Value::array({boards, 1, channels}); };
}

// The large table, parsed once for all benchmarks that read it.
CalibrationTableManager& large_table() {
  static std::unique_ptr<CalibrationTableManager> manager = [] {
    std::string sn = "D2230E013-28";
    std::unique_ptr<std::istream> in;
    if (const char* path = std::getenv("ARVCORE_BENCH_CALI_FILE"); path != nullptr && *path) {
      const std::string name = fs::path(path).filename().string();
      sn = name.substr(0, name.rfind('_'));
      in = std::make_unique<std::ifstream>(path, std::ios::binary);
    } else {
      in = std::make_unique<std::istringstream>(generated_table(sn, kBoards, kChannels, 8, 0.5, 5));
    }
    auto m = std::make_unique<CalibrationTableManager>(sn, Value(28), layout(kBoards, kChannels),
                                                       false, false, false);
    if (!m->parse(28, in.get()).ok()) {
      throw std::runtime_error("the benchmark table does not parse");
    }
    return m;
  }();
  return *manager;
}

// The fetch the device makes when it applies a beam: all 4 boards, channels 1-4, one step.
struct Chain {
  Value channel = Value::array({1, 2, 3, 4});
  Value gain = Value::array();
  Value phase = Value::array();
  Value coms = Value::array();
  Chain() {
    for (int b = 0; b < kBoards; ++b) {
      gain.push_back(Value::array({3.5, -2.0, 0.5, 7.0}));
      phase.push_back(Value::array({45, 90, 0, 355}));
      coms.push_back(Value::array({"COM_3"}));
    }
  }
};

void BM_ComDataLocalChain(benchmark::State& state) {
  CalibrationTableManager& m = large_table();
  const Chain c;
  for (auto _ : state) {
    Value r = m._getComData("TX", kBoards, 1, c.channel, c.gain, c.phase, c.coms);
    benchmark::DoNotOptimize(r);
  }
  const Value r = m._getComData("TX", kBoards, 1, c.channel, c.gain, c.phase, c.coms);
  if (r.size() != kBoards || r[kBoards - 1]["COM_3"].size() != kChannels) {
    state.SkipWithError("the chain fetch did not find every entry");
  }
}
BENCHMARK(BM_ComDataLocalChain)->Unit(benchmark::kMicrosecond);

// The same fetch walk (keys, lookups, checks) with a receiver that only counts the entries:
// the cost above less the copy of the entries into a result value and its destruction.
void BM_ComDataLocalChainWalk(benchmark::State& state) {
  struct Counter final : arvcore::vlndev::ComDataReceiver {
    void beginBoard() override {}
    void beginStep(const std::string&, std::size_t) override {}
    void entry(const Value& e) override {
      benchmark::DoNotOptimize(&e);
      ++entries;
    }
    void entry(const arvcore::vlndev::detail::ComDataNumbers& e) override {
      benchmark::DoNotOptimize(&e);
      ++entries;
    }
    void endBoard() override {}
    std::size_t entries = 0;
  };
  CalibrationTableManager& m = large_table();
  const Chain c;
  Counter counter;
  for (auto _ : state) {
    arvcore::vlndev::fetchComDataLocal(m, "TX", kBoards, 1, c.channel, c.gain, c.phase, c.coms,
                                       counter);
  }
  if (counter.entries != static_cast<std::size_t>(state.iterations()) * kBoards * kChannels) {
    state.SkipWithError("the chain walk did not find every entry");
  }
}
BENCHMARK(BM_ComDataLocalChainWalk)->Unit(benchmark::kMicrosecond);

// A small table in a data directory of its own, so that a frequency parse (which drops the
// caches) can run between queries.
class SmallTableDir {
 public:
  SmallTableDir() {
    dir_ = fs::temp_directory_path() / fmt::format("bench-comdata-{}", ::getpid());
    fs::create_directories(dir_);
    std::ofstream(dir_ / "SNB_28GHz.csv", std::ios::binary)
        << generated_table("SNB", kBoards, kChannels, 8, 5.0, 90);
    ::setenv("ARVCORE_FILES_DIR", dir_.c_str(), 1);
    manager =
        std::make_unique<CalibrationTableManager>("SNB", Value(28), layout(kBoards, kChannels));
  }
  ~SmallTableDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  SmallTableDir(const SmallTableDir&) = delete;
  SmallTableDir& operator=(const SmallTableDir&) = delete;

  std::unique_ptr<CalibrationTableManager> manager;

 private:
  fs::path dir_;
};

// The first COMDR query after a parse gathers every IC section of every mode.
void BM_COMDRFirstAfterParse(benchmark::State& state) {
  SmallTableDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    if (!dir.manager->parse(28).ok()) {
      state.SkipWithError("parse failed");
      break;
    }
    state.ResumeTiming();
    auto r = dir.manager->getCOMDR();
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_COMDRFirstAfterParse)->Unit(benchmark::kMicrosecond);

// Times `query` on a parsed small table whose dynamic-range cache is already built.
template <class Query>
void run_cached(benchmark::State& state, Query&& query) {
  SmallTableDir dir;
  if (!dir.manager->parse(28).ok()) {
    state.SkipWithError("parse failed");
    return;
  }
  dir.manager->getCOMDR();
  for (auto _ : state) {
    auto r = query(*dir.manager);
    benchmark::DoNotOptimize(r);
  }
}

// Every later query is a lookup (plus the copy into the answer).
void BM_COMDRCached(benchmark::State& state) {
  run_cached(state, [](CalibrationTableManager& m) { return m.getCOMDR(); });
}
BENCHMARK(BM_COMDRCached)->Unit(benchmark::kMicrosecond);

// A bare element: no envelope, no copy of the lists.
void BM_BoardELEDRCached(benchmark::State& state) {
  run_cached(state,
             [](CalibrationTableManager& m) { return m._getBoardELEDR(std::int64_t{1}, 3); });
}
BENCHMARK(BM_BoardELEDRCached)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
