#pragma once
// Shared fixtures of the beam-table tests: a private data directory, the gain limits of a
// layout, recording device checks and a log capture.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"

namespace beamtest {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::RFMode;
using arvcore::Value;
using arvcore::vlndev::BeamPatternTableManager;
using arvcore::vlndev::CheckFuncs;

/// A data directory of its own (ARVCORE_FILES_DIR), removed afterwards.
class FilesDir {
 public:
  FilesDir() {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() / fmt::format("beam-test-{}-{}", ::getpid(), counter++);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ::setenv("ARVCORE_FILES_DIR", dir_.c_str(), 1);
  }
  ~FilesDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    ::unsetenv("ARVCORE_FILES_DIR");
  }
  FilesDir(const FilesDir&) = delete;
  FilesDir& operator=(const FilesDir&) = delete;

  const fs::path& path() const { return dir_; }
  fs::path beam_dir() const { return dir_ / "BeamTable"; }
  fs::path table(const std::string& name) const { return beam_dir() / name; }

 private:
  fs::path dir_;
};

/// Gain limits of `sections` IC sections: DR, COMDR and ELEDR as the calibration manager
/// answers them. Section k (1-based) has TX COMDR [0, 9+k] and ELEDR 2+k, RX COMDR [0, 4+k]
/// and ELEDR 0.5+k.
struct Limits {
  Value dr;
  Value comdr;
  Value eledr;

  explicit Limits(std::int64_t sections) {
    dr = Value::object();
    dr["TX"] = Value::array({-5, 20.5});
    dr["RX"] = Value::array({-8, 15});
    comdr = Value::array({Value::array(), Value::array()});
    eledr = Value::array({Value::array(), Value::array()});
    for (std::int64_t k = 1; k <= sections; ++k) {
      comdr[0].push_back(Value::array({0, 9 + k}));
      comdr[1].push_back(Value::array({0, 4 + k}));
      eledr[0].push_back(2 + k);
      eledr[1].push_back(0.5 + static_cast<double>(k));
    }
  }
};

/// Device checks that record their calls and answer as told (default: accept, and return the
/// beam values unchanged).
struct RecordingChecks {
  struct BeamCall {
    RFMode mode;
    Value db, theta, phi, none;
  };
  struct GroupCall {
    RFMode mode;
    std::int64_t index;
    Value gains, common;
  };
  std::vector<BeamCall> beam_calls;
  std::vector<GroupCall> group_calls;
  std::function<RetType(const BeamCall&)> beam_answer;
  std::function<RetType(const GroupCall&)> group_answer;

  CheckFuncs funcs() {
    return CheckFuncs{
        [this](RFMode m, const Value& db, const Value& theta, const Value& phi, const Value& none) {
          beam_calls.push_back({m, db, theta, phi, none});
          if (beam_answer) {
            return beam_answer(beam_calls.back());
          }
          return RetType::Data(Value::array({db, theta, phi}));
        },
        [this](RFMode m, std::int64_t index, const Value& gains, const Value& common) {
          group_calls.push_back({m, index, gains, common});
          if (group_answer) {
            return group_answer(group_calls.back());
          }
          return RetType();
        }};
  }
};

/// Every record of every module logger while alive, with debug enabled on "BeamTbl".
class LogCapture {
 public:
  struct Record {
    arvcore::log::Level level;
    std::string message;
    std::string exc_text;
  };

  LogCapture() {
    arvcore::log::set_level("BeamTbl", 10);
    arvcore::log::set_sink([this](std::string_view, arvcore::log::Level level,
                                  std::string_view message, std::string_view exc_text) {
      records_.push_back({level, std::string(message), std::string(exc_text)});
    });
  }
  ~LogCapture() {
    arvcore::log::set_sink({});
    arvcore::log::set_level("BeamTbl", 30);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool has(arvcore::log::Level level, const std::string& message) const {
    for (const auto& r : records_) {
      if (r.level == level && r.message == message) {
        return true;
      }
    }
    return false;
  }
  std::size_t count(const std::string& message) const {
    std::size_t n = 0;
    for (const auto& r : records_) {
      n += r.message == message ? 1 : 0;
    }
    return n;
  }
  const std::vector<Record>& records() const { return records_; }

 private:
  std::vector<Record> records_;
};

inline std::string read_file(const fs::path& p) {
  return arvcore::value::read_text_file(p);
}

inline void write_file(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  arvcore::value::write_file_atomic(p, text);
}

/// A manager for `layout` whose limits are in place for 28 GHz.
inline BeamPatternTableManager make_manager(RecordingChecks* checks,
                                            Value layout = Value::array({4, 1, 4}),
                                            std::int64_t num_beam = 8) {
  const std::int64_t sections = layout[0].get<std::int64_t>() * layout[1].get<std::int64_t>();
  BeamPatternTableManager mgr("SN01", 9, num_beam, layout,
                              checks ? std::optional<CheckFuncs>(checks->funcs()) : std::nullopt);
  const Limits limits(sections);
  mgr._updateFreq(28, limits.dr, limits.comdr, limits.eledr);
  return mgr;
}

}  // namespace beamtest

namespace arvcore {
// Readable envelopes in test failure messages.
inline void PrintTo(const RetType& r, std::ostream* os) {
  *os << r.to_string();
}
}  // namespace arvcore
