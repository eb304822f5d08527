// CSV reader throughput over a generated 50 MB calibration-like file.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "arvcore/value/csv.hpp"

namespace {

const char* const kPath = "/tmp/arvcore_bench_cali.csv";

// Rows shaped like calibration DATA rows, about 50 MB in all. Written once and kept, so that
// Python can be timed on the same file.
void ensure_file() {
  if (std::filesystem::exists(kPath) && std::filesystem::file_size(kPath) > 50'000'000) {
    return;
  }
  std::ofstream out(std::string(kPath) + ".tmp", std::ios::binary);
  out << "VER,2.1.0\r\nSN,D2230E013-28\r\nFCENTER,28\r\n";
  std::size_t written = 0;
  for (int i = 0; written < 50'000'000; ++i) {
    const std::string row =
        "DATA,TX,,1,,1,," + std::to_string(i % 4 + 1) + ",,,-" + std::to_string(i % 300) + ".5,," +
        std::to_string(i % 360) + ",," + std::to_string(i % 16) + ",," + std::to_string(i % 64) +
        "," + std::to_string(i % 32) + ",,0.123456," + std::to_string(i % 97) + ".875\r\n";
    out << row;
    written += row.size();
  }
  out << "END\r\n";
  out.close();
  std::filesystem::rename(std::string(kPath) + ".tmp", kPath);
}

void BM_CsvReadCalibrationFile(benchmark::State& state) {
  ensure_file();
  const auto size = static_cast<std::int64_t>(std::filesystem::file_size(kPath));
  std::size_t cells = 0;
  for (auto _ : state) {
    std::ifstream in(kPath, std::ios::binary);
    arvcore::value::CsvReader reader(in, state.range(0) != 0);
    arvcore::value::CsvRow row;
    while (reader.next(row)) {
      cells += row.size();
    }
  }
  benchmark::DoNotOptimize(cells);
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_CsvReadCalibrationFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
