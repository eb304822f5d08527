// Beam tables at full size: 2 x 1024 CHANNEL beams on a 64-channel layout (about 16 MB of
// JSON). Load and save are compared with the Python host's json.load / json.dump of the
// same file (best runs on both sides; "speedup" in wall time, "speedup_cpu" in CPU time),
// and a batch SAVE of 1024 beams reports how many times it
// wrote the file ("file_writes").

#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::RetType;
using arvcore::RFMode;
using arvcore::Value;
using arvcore::vlndev::BeamPatternTableManager;
using arvcore::vlndev::BTSetOption;

constexpr std::int64_t kBoards = 16;
constexpr std::int64_t kIcs = 1;
constexpr std::int64_t kChannels = 4;
constexpr std::int64_t kBeams = 1024;

fs::path data_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / fmt::format("bench-beam-{}", ::getpid());
    fs::create_directories(d);
    ::setenv("ARVCORE_FILES_DIR", d.c_str(), 1);
    return d;
  }();
  return dir;
}

fs::path table_file() {
  return data_dir() / "BeamTable" / "Beam_Configuration_BENCH_28GHz.json";
}

BeamPatternTableManager make_manager() {
  data_dir();
  arvcore::vlndev::CheckFuncs accept{
      [](RFMode, const Value& db, const Value& theta, const Value& phi, const Value&) {
        return RetType::Data(Value::array({db, theta, phi}));
      },
      [](RFMode, std::int64_t, const Value&, const Value&) { return RetType(); }};
  BeamPatternTableManager mgr("BENCH", 9, kBeams, Value::array({kBoards, kIcs, kChannels}), accept);
  Value dr = Value::object();
  dr["TX"] = Value::array({-5.0, 20.5});
  dr["RX"] = Value::array({-8.0, 15.0});
  Value comdr = Value::array({Value::array(), Value::array()});
  Value eledr = Value::array({Value::array(), Value::array()});
  for (std::int64_t k = 0; k < kBoards * kIcs; ++k) {
    for (int m = 0; m < 2; ++m) {
      comdr[m].push_back(Value::array({0.0, 10.5 + static_cast<double>(k)}));
      eledr[m].push_back(3.25 + static_cast<double>(k) / 8);
    }
  }
  mgr._updateFreq(28, dr, comdr, eledr);
  return mgr;
}

/// 1024 CHANNEL beams of one mode, each channel with its own gain and phase.
Value channel_beams(BeamPatternTableManager& mgr, RFMode mode) {
  Value beams = Value::object();
  const Value base = mgr.getBeamPattern(mode, 1).RetData;
  for (std::int64_t id = 1; id <= kBeams; ++id) {
    Value beam = base;
    beam["beam_description"] = fmt::format("beam {}", id);
    std::int64_t n = 0;
    for (auto& [group, channels] : beam["channel_config"].items()) {
      for (auto& [key, ch] : channels.items()) {
        if (key != "common_db") {
          ch["db"] = static_cast<double>((id + n) % 40) / 4;
          ch["deg"] = static_cast<double>((id * 7 + n * 13) % 360) + 0.5;
          ch["sw"] = (id + n) % 2;
          ++n;
        }
      }
    }
    beams[std::to_string(id)] = std::move(beam);
  }
  return beams;
}

/// Writes the full-size table once.
void ensure_table() {
  static bool done = false;
  if (done) {
    return;
  }
  auto mgr = make_manager();
  mgr._load(28, "");
  Value batch = Value::object();
  batch["TX"] = channel_beams(mgr, RFMode::TX);
  batch["RX"] = channel_beams(mgr, RFMode::RX);
  if (!mgr._setBatchBeamPattern(batch, BTSetOption::UI_SAVE_REPLACE, nullptr).ok()) {
    std::fprintf(stderr, "cannot write the benchmark table\n");
    std::exit(1);
  }
  done = true;
}

struct Seconds {
  double wall = 0;
  double cpu = 0;
};

Seconds now() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return {
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
      static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9};
}

/// Best of three runs of the Python host's json.load or json.dump on the table (wall and
/// CPU seconds, each the best of its own).
Seconds python_seconds(std::string_view kind) {
  const std::string script =
      "import json,sys,time\n"
      "p,kind=sys.argv[1],sys.argv[2]\n"
      "t=json.load(open(p,encoding='utf-8'))\n"
      "wall=cpu=1e9\n"
      "for _ in range(3):\n"
      "    w,c=time.perf_counter(),time.process_time()\n"
      "    if kind=='load':\n"
      "        with open(p,encoding='utf-8') as f: json.load(f)\n"
      "    else:\n"
      "        with open(p+'.py','w',encoding='utf-8') as f: "
      "json.dump(t,f,indent=2,ensure_ascii=False)\n"
      "    wall=min(wall,time.perf_counter()-w)\n"
      "    cpu=min(cpu,time.process_time()-c)\n"
      "print(wall,cpu)\n";
  const fs::path script_file = data_dir() / "timing.py";
  std::FILE* f = std::fopen(script_file.c_str(), "w");
  std::fputs(script.c_str(), f);
  std::fclose(f);
  const std::string cmd = fmt::format("/usr/bin/python3 '{}' '{}' {}", script_file.string(),
                                      table_file().string(), kind);
  std::FILE* p = ::popen(cmd.c_str(), "r");
  Seconds s;
  if (p == nullptr || std::fscanf(p, "%lf %lf", &s.wall, &s.cpu) != 2) {
    s = {};
  }
  if (p != nullptr) {
    ::pclose(p);
  }
  return s;
}

/// Times `fn` per iteration and sets "speedup" (Python's wall time over ours) and
/// "speedup_cpu" (the same in CPU time, steadier on a busy machine), best iteration each.
template <class Fn>
void timed_against_python(benchmark::State& state, std::string_view python_kind, Fn&& fn) {
  ensure_table();
  Seconds best{1e9, 1e9};
  for (auto _ : state) {
    const Seconds start = now();
    fn();
    const Seconds end = now();
    best.wall = std::min(best.wall, end.wall - start.wall);
    best.cpu = std::min(best.cpu, end.cpu - start.cpu);
  }
  const Seconds python = python_seconds(python_kind);
  state.counters["python_ms"] = python.wall * 1e3;
  state.counters["best_ms"] = best.wall * 1e3;
  state.counters["speedup"] = best.wall > 0 ? python.wall / best.wall : 0;
  state.counters["speedup_cpu"] = best.cpu > 0 ? python.cpu / best.cpu : 0;
  state.counters["MB"] = static_cast<double>(fs::file_size(table_file())) / 1e6;
}

void BM_Load(benchmark::State& state) {
  auto mgr = make_manager();
  timed_against_python(state, "load", [&] {
    const RetType ret = mgr._load(28, "");
    benchmark::DoNotOptimize(ret);
    if (!ret.ok()) {
      state.SkipWithError("load failed");
    }
  });
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Save(benchmark::State& state) {
  auto mgr = make_manager();
  ensure_table();
  mgr._load(28, "");
  timed_against_python(state, "dump", [&] {
    if (!mgr._saveToBeamTableFile().ok()) {
      state.SkipWithError("save failed");
    }
  });
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_BatchSave1024(benchmark::State& state) {
  ensure_table();
  auto mgr = make_manager();
  mgr._load(28, "");
  Value batch = Value::object();
  batch["TX"] = channel_beams(mgr, RFMode::TX);
  for (auto& [id, beam] : batch["TX"].items()) {
    beam["beam_description"] = "merged " + id;
  }
  // Counted once outside the timing: every write logs "Saving beam file to ..." at debug.
  std::int64_t writes = 0;
  arvcore::log::set_level("BeamTbl", 10);
  arvcore::log::set_sink(
      [&](std::string_view, arvcore::log::Level, std::string_view message, std::string_view) {
        writes += message.starts_with("Saving beam file to ") ? 1 : 0;
      });
  const bool ok = mgr._setBatchBeamPattern(batch, BTSetOption::SAVE, nullptr).ok();
  arvcore::log::set_sink({});
  arvcore::log::set_level("BeamTbl", 30);
  if (!ok) {
    state.SkipWithError("batch save failed");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(mgr._setBatchBeamPattern(batch, BTSetOption::SAVE, nullptr));
  }
  state.counters["file_writes"] = static_cast<double>(writes);
}
BENCHMARK(BM_BatchSave1024)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(data_dir(), ec);
  return 0;
}
