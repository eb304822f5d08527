// Memory of calibration tables over their life: what a process holds after it drops the
// tables it parsed, and what repeated frequency changes (drop the old table, parse the next)
// cost in memory and time.
//
//   /usr/bin/python3 scripts/gen_cali.py /tmp/big --layout 4,1,4 --com-steps 8
//   ARVCORE_CALI_FILE=/tmp/big/D2230E013-28_28GHz.csv build/bench/bench_cali_memory [CHANGES]
//
// Prints one line per step with the resident set (RSS) in MiB, read from /proc/self/status,
// then, for CHANGES frequency changes (default 100) on one manager: the first parse's time
// and peak, the median and slowest parse time of the changes, and the peak over all changes
// (VmHWM, reset between phases through /proc/self/clear_refs).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

// A figure of /proc/self/status in MiB: "VmRSS:" the resident set now, "VmHWM:" its highest
// since the last reset_peak().
double status_mib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) {
      return std::strtod(line.c_str() + field.size(), nullptr) / 1024.0;  // kB
    }
  }
  return 0;
}
double rss_mib() {
  return status_mib("VmRSS:");
}
double peak_mib() {
  return status_mib("VmHWM:");
}

void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

struct Target {
  std::string sn;
  Value freq;
};

Target target_of(const fs::path& file) {
  const std::string name = file.filename().string();
  const auto sep = name.rfind('_');
  const auto ghz = name.rfind("GHz.csv");
  if (sep == std::string::npos || ghz == std::string::npos || ghz < sep) {
    std::fprintf(stderr, "%s: not a {SN}_{FREQ}GHz.csv name\n", file.c_str());
    std::exit(2);
  }
  const std::string freq = name.substr(sep + 1, ghz - sep - 1);
  Value f;
  try {
    f = arvcore::value::parse_int(freq);
  } catch (const arvcore::ValueError&) {
    f = arvcore::value::parse_float(freq);
  }
  return {name.substr(0, sep), f};
}

// One parse on `m`, in seconds; exits when it fails.
double timed_parse(CalibrationTableManager& m, const Value& freq) {
  const auto t0 = std::chrono::steady_clock::now();
  const auto r = m.parse(freq);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!r.ok()) {
    std::fprintf(stderr, "parse failed: %s\n", r.RetMsg.c_str());
    std::exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const char* file = std::getenv("ARVCORE_CALI_FILE");
  if (file == nullptr || *file == '\0') {
    std::fprintf(stderr, "set ARVCORE_CALI_FILE to a generated {SN}_{FREQ}GHz.csv\n");
    return 2;
  }
  const int changes = argc > 1 ? std::atoi(argv[1]) : 100;
  const fs::path path = fs::absolute(file);
  ::setenv("ARVCORE_FILES_DIR", path.parent_path().c_str(), 1);
  const Target t = target_of(path);
  const Value layout = Value::array({4, 1, 4});
  auto make = [&] { return CalibrationTableManager(t.sn, t.freq, [layout] { return layout; }); };

  const double start = rss_mib();
  std::printf("start                 rss_mib=%.1f\n", start);
  reset_peak();
  double one_peak = 0;
  auto dropped_at = std::chrono::steady_clock::now();
  {
    CalibrationTableManager m = make();
    const double first_s = timed_parse(m, t.freq);
    one_peak = peak_mib();
    std::printf("one manager parsed    rss_mib=%.1f seconds=%.3f peak_mib=%.1f\n", rss_mib(),
                first_s, one_peak);
    dropped_at = std::chrono::steady_clock::now();
  }
  const double drop_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped_at).count();
  std::printf("manager dropped       rss_mib=%.1f (start %+.1f) seconds=%.3f\n", rss_mib(),
              rss_mib() - start, drop_s);
  {
    std::list<CalibrationTableManager> three;
    for (int i = 0; i < 3; ++i) {
      three.push_back(make());
      timed_parse(three.back(), t.freq);
    }
    std::printf("three managers parsed rss_mib=%.1f\n", rss_mib());
  }
  std::printf("all three dropped     rss_mib=%.1f (start %+.1f)\n", rss_mib(), rss_mib() - start);

  CalibrationTableManager m = make();
  timed_parse(m, t.freq);
  reset_peak();
  std::vector<double> seconds;
  for (int i = 0; i < changes; ++i) {
    seconds.push_back(timed_parse(m, t.freq));
  }
  std::sort(seconds.begin(), seconds.end());
  if (!seconds.empty()) {
    const double peak = peak_mib();
    std::printf(
        "%d frequency changes: median_seconds=%.3f max_seconds=%.3f peak_mib=%.1f "
        "(%.2f x one table's peak %.1f) rss_mib=%.1f\n",
        changes, seconds[seconds.size() / 2], seconds.back(), peak, peak / one_peak, one_peak,
        rss_mib());
  }
  return 0;
}
