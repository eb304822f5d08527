// Parse of one large calibration table {SN}_{FREQ}GHz.csv through CalibrationTableManager.
//
// The table is not in the repository; generate one (about 45 MB, 570,000 DATA rows) and name
// it in ARVCORE_CALI_FILE:
//   /usr/bin/python3 scripts/gen_cali.py /tmp/cali          (or any generator of the format)
//   ARVCORE_CALI_FILE=/tmp/cali/D2230E013-28_28GHz.csv build/bench/bench_cali_parse
// With --once the table is parsed a single time in a fresh process and the figures are
// printed as "data_entries=N seconds=S peak_rss_mib=M", for a side-by-side comparison of
// time and peak memory with another parser of the same file.
//   --layout B,I,C sets the device layout (default 4,1,4).

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

struct Target {
  fs::path file;
  std::string sn;
  Value freq;
  Value layout = Value::array({4, 1, 4});
};

Target& target() {
  static Target t;
  return t;
}

// {SN}_{FREQ}GHz.csv -> SN, FREQ; the data directory becomes the file's directory.
bool set_target(const char* path) {
  Target& t = target();
  t.file = fs::absolute(path);
  const std::string name = t.file.filename().string();
  const auto sep = name.rfind('_');
  const auto ghz = name.rfind("GHz.csv");
  if (sep == std::string::npos || ghz == std::string::npos || ghz < sep) {
    std::fprintf(stderr, "%s: not a {SN}_{FREQ}GHz.csv name\n", path);
    return false;
  }
  t.sn = name.substr(0, sep);
  const std::string freq = name.substr(sep + 1, ghz - sep - 1);
  try {
    t.freq = arvcore::value::parse_int(freq);
  } catch (const arvcore::ValueError&) {
    t.freq = arvcore::value::parse_float(freq);
  }
  ::setenv("ARVCORE_FILES_DIR", t.file.parent_path().c_str(), 1);
  return true;
}

// ComData entries of the manager's table, counted where they are kept.
std::size_t data_entries(const CalibrationTableManager& m) {
  if (m.caliData() != nullptr) {
    return m.caliData()->entries();
  }
  const Value& table = m.CaliTable();
  std::size_t n = 0;
  for (const auto& [board, modes] : table.items()) {
    if (!board.starts_with("BOARD_")) {
      continue;
    }
    for (const auto& [mode, m] : modes.items()) {
      for (const auto& [key, chip] : m.items()) {
        if (key.starts_with("DATA_CHIP_")) {
          for (const auto& [com, entries] : chip.items()) {
            n += entries.size();
          }
        }
      }
    }
  }
  return n;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

double peak_rss_mib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // KiB on Linux
}

CalibrationTableManager make_manager() {
  const Value layout = target().layout;
  return CalibrationTableManager(target().sn, target().freq, [layout] { return layout; });
}

void BM_ParseCaliTable(benchmark::State& state) {
  if (target().file.empty()) {
    state.SkipWithError("set ARVCORE_CALI_FILE to a generated {SN}_{FREQ}GHz.csv");
    return;
  }
  CalibrationTableManager m = make_manager();
  for (auto _ : state) {
    const auto r = m.parse(target().freq);
    if (!r.ok()) {
      state.SkipWithError(r.RetMsg.c_str());
      return;
    }
    benchmark::DoNotOptimize(m.caliTableHeader());
  }
  state.counters["data_entries"] = static_cast<double>(data_entries(m));
  state.counters["peak_rss_mib"] = peak_rss_mib();
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(fs::file_size(target().file)));
}
BENCHMARK(BM_ParseCaliTable)->Unit(benchmark::kMillisecond);

int run_once() {
  CalibrationTableManager m = make_manager();
  const double c0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  const auto r = m.parse(target().freq);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = cpu_seconds() - c0;
  if (!r.ok()) {
    std::fprintf(stderr, "parse failed: %s\n", r.RetMsg.c_str());
    return 1;
  }
  std::printf("data_entries=%zu seconds=%.3f cpu_seconds=%.3f peak_rss_mib=%.0f\n", data_entries(m),
              s, cpu, peak_rss_mib());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool once = false;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (std::strcmp(argv[i], "--layout") == 0 && i + 1 < argc) {
      Value layout = Value::array();
      std::string layout_text = argv[++i];
      for (std::size_t start = 0; start <= layout_text.size();) {
        const auto comma = std::min(layout_text.find(',', start), layout_text.size());
        layout.push_back(std::stoll(layout_text.substr(start, comma - start)));
        start = comma + 1;
      }
      target().layout = layout;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (const char* f = std::getenv("ARVCORE_CALI_FILE"); f != nullptr && *f != '\0') {
    if (!set_target(f)) {
      return 2;
    }
  }
  if (once) {
    if (target().file.empty()) {
      std::fprintf(stderr, "set ARVCORE_CALI_FILE to a generated {SN}_{FREQ}GHz.csv\n");
      return 2;
    }
    return run_once();
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
