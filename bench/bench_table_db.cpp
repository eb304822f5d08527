// Web mode over the module's table database: import of a large calibration table, a frequency
// change (parse + first getDR, getCOMDR, getELEDR) of a 16-channel device, the first
// _getBoardsOffset of 4 boards, and a ComData batch for the whole 16-channel chain.
//
//   ARVCORE_BENCH_CALI_FILE   the table to import (a file {SN}_{FREQ}GHz.csv of a 4,1,4 device,
//                             for example the 45 MB one of the benchmark table generator)
//   ARVCORE_BENCH_TABLE_DB    the store (default: a SQLite file in a temporary directory);
//                             a postgresql:// URL measures the server
//
// The import runs once before the benchmarks, and again as BM_Import.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "arvcore/tabledb/table_store.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/cali_table_import.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

struct Setup {
  fs::path file;
  std::string url;
  std::string sn;
  Value freq;
  Value gains = Value::array();
  Value phases = Value::array();
  Value coms = Value::array();
};

const Setup& setup() {
  static const Setup s = [] {
    Setup out;
    const char* file = std::getenv("ARVCORE_BENCH_CALI_FILE");
    if (file == nullptr) {
      throw std::runtime_error(
          "set ARVCORE_BENCH_CALI_FILE to a calibration table of a 4,1,4 device");
    }
    out.file = file;
    const char* url = std::getenv("ARVCORE_BENCH_TABLE_DB");
    out.url =
        url != nullptr
            ? url
            : (fs::temp_directory_path() / fmt::format("arvcore-bench-{}.db", ::getpid())).string();
    ::setenv("ARVCORE_TABLE_DB", out.url.c_str(), 1);
    const auto id = arvcore::vlndev::cali_file_identity(out.file);
    out.sn = id.sn;
    out.freq = id.freq;
    auto store = arvcore::tabledb::open_store(out.url);
    const auto r =
        arvcore::vlndev::import_calibration_file(*store, out.file, Value::array({4, 1, 4}));
    if (r.RetCode != arvcore::RetCode::OK) {
      throw std::runtime_error("the table does not parse: " + r.RetMsg);
    }
    // A chain whose keys the generated tables hold: gain 0.0 dB, phase 0 on every channel.
    for (int b = 0; b < 4; ++b) {
      out.gains.push_back(Value::array({0.0, 0.0, 0.0, 0.0}));
      out.phases.push_back(Value::array({0, 0, 0, 0}));
      out.coms.push_back(Value::array({"COM_1"}));
    }
    return out;
  }();
  return s;
}

std::unique_ptr<CalibrationTableManager> web_manager() {
  const Setup& s = setup();
  return std::make_unique<CalibrationTableManager>(
      s.sn, s.freq,
      [] {
        return Value::array({4, 1, 4});
      },
      false, true);
}

void BM_FrequencyChange(benchmark::State& state) {
  auto m = web_manager();
  for (auto _ : state) {
    m->parse(setup().freq);
    benchmark::DoNotOptimize(m->getDR());
    benchmark::DoNotOptimize(m->getCOMDR());
    benchmark::DoNotOptimize(m->getELEDR());
  }
}
BENCHMARK(BM_FrequencyChange)->Unit(benchmark::kMillisecond);

void BM_FirstBoardsOffset(benchmark::State& state) {
  auto m = web_manager();
  for (auto _ : state) {
    m->parse(setup().freq);
    benchmark::DoNotOptimize(m->_getBoardsOffset({1, 2, 3, 4}));
  }
}
BENCHMARK(BM_FirstBoardsOffset)->Unit(benchmark::kMillisecond);

void BM_ComDataBatch(benchmark::State& state) {
  auto m = web_manager();
  const Setup& s = setup();
  const Value channels = Value::array({1, 2, 3, 4});
  for (auto _ : state) {
    m->parse(s.freq);  // drops the ComData cache
    Value r = m->_getComData("TX", 4, 1, channels, s.gains, s.phases, s.coms);
    if (r.size() != 4 || r[3]["COM_1"].size() != 4) {
      state.SkipWithError("the chain's ComData is incomplete");
      break;
    }
  }
}
BENCHMARK(BM_ComDataBatch)->Unit(benchmark::kMillisecond);

void BM_Import(benchmark::State& state) {
  const Setup& s = setup();
  auto store = arvcore::tabledb::open_store(s.url);
  for (auto _ : state) {
    arvcore::vlndev::import_calibration_file(*store, s.file, Value::array({4, 1, 4}));
  }
}
BENCHMARK(BM_Import)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  try {
    setup();
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench_table_db: {}\n", e.what());
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::string& url = setup().url;
  if (std::getenv("ARVCORE_BENCH_TABLE_DB") == nullptr) {
    fs::remove(url);
    fs::remove(url + "-wal");
    fs::remove(url + "-shm");
  }
  return 0;
}
