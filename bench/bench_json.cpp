// Reading and writing a 16 MB beam table: 2 modes x 1024 CHANNEL beams on a 64-channel
// layout (16 groups of 4 channels).

#include <benchmark/benchmark.h>

#include <string>

#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"

namespace {

using arvcore::Value;
namespace av = arvcore::value;

const char* const kPath = "/tmp/arvcore_bench_beam.json";

Value beam_table() {
  Value t = {{"VERSION", "v2.0.0"},
             {"SN", "D2230E013-28"},
             {"DEV_TYPE", 9},
             {"FREQ", 28.0},
             {"AAKIT_NAME", ""}};
  for (const char* mode : {"TX", "RX"}) {
    Value m = Value::object();
    for (int beam = 1; beam <= 1024; ++beam) {
      Value groups = Value::object();
      for (int k = 1; k <= 16; ++k) {
        Value g = {{"common_db", -2.5}};
        for (int c = 1; c <= 4; ++c) {
          g["channel_" + std::to_string(c)] = {{"sw", 0}, {"db", -3.5}, {"deg", 45}};
        }
        groups["board_" + std::to_string(k)] = std::move(g);
      }
      m[std::to_string(beam)] = {
          {"beam_description", ""}, {"beam_type", 1}, {"channel_config", std::move(groups)}};
    }
    t[mode] = std::move(m);
  }
  return t;
}

// The table and its text; the text is also left in kPath for timing Python on it.
const std::string& table_text() {
  static const std::string text = [] {
    std::string s = av::dump_json(beam_table(), 2);
    av::write_file_atomic(kPath, s);
    return s;
  }();
  return text;
}

// Parsing alone, as Python's json.load is timed: freeing the tree is left out.
void BM_ParseBeamTable(benchmark::State& state) {
  const std::string& text = table_text();
  for (auto _ : state) {
    Value v = av::parse_json(text);
    benchmark::DoNotOptimize(v);
    state.PauseTiming();
    v = Value();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseBeamTable)->Unit(benchmark::kMillisecond);

// Parsing and freeing the tree.
void BM_ParseAndFreeBeamTable(benchmark::State& state) {
  const std::string& text = table_text();
  for (auto _ : state) {
    benchmark::DoNotOptimize(av::parse_json(text));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndFreeBeamTable)->Unit(benchmark::kMillisecond);

void BM_ReadBeamTableFile(benchmark::State& state) {
  const std::string& text = table_text();
  for (auto _ : state) {
    benchmark::DoNotOptimize(av::read_json_file(kPath));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReadBeamTableFile)->Unit(benchmark::kMillisecond);

void BM_DumpBeamTable(benchmark::State& state) {
  const Value table = av::parse_json(table_text());
  std::size_t size = 0;
  for (auto _ : state) {
    size = av::dump_json(table, 2).size();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_DumpBeamTable)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
