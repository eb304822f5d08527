#pragma once
// Test helper: records the lines of chosen module loggers while it lives.

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/sdk/log_format.hpp"

namespace arvcore::testing {

struct LogRecord {
  std::string logger;
  log::Level level;
  std::string message;
  std::string exc;  // failure text of an exception record
};

/// Captures every line of `loggers` at debug level and above; restores the default sink and
/// the warning level on destruction.
class LogCapture {
 public:
  explicit LogCapture(std::set<std::string> loggers) : loggers_(std::move(loggers)) {
    log::set_sink([this](std::string_view name, log::Level level, std::string_view msg,
                         std::string_view exc) {
      if (loggers_.count(std::string(name)) != 0) {
        records.push_back({std::string(name), level, std::string(msg), std::string(exc)});
      }
    });
    for (const auto& name : loggers_) {
      log::set_level(name, 10);
    }
  }
  ~LogCapture() {
    log::set_sink({});
    for (const auto& name : loggers_) {
      log::set_level(name, 30);
    }
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// Number of lines with exactly this level and message.
  int count(log::Level level, std::string_view message) const {
    int n = 0;
    for (const auto& r : records) {
      n += (r.level == level && r.message == message) ? 1 : 0;
    }
    return n;
  }
  /// True when some line of this level contains `part`.
  bool contains(log::Level level, std::string_view part) const {
    for (const auto& r : records) {
      if (r.level == level && r.message.find(part) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  /// Messages in order, for failure output.
  std::string dump() const {
    std::string out;
    for (const auto& r : records) {
      out += r.logger + " " + std::to_string(static_cast<int>(r.level)) + ": " + r.message + "\n";
    }
    return out;
  }

  std::vector<LogRecord> records;

 private:
  std::set<std::string> loggers_;
};

}  // namespace arvcore::testing
