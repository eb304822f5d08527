#pragma once
// Named loggers of the module ("CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB").
//
// The module never configures logging. Without a host configuration, records at warning level
// and above go to standard error, as in a Python host without logging configuration. A host
// may install a sink (the Python package forwards every record to logging.getLogger(name)) and
// set each logger's level. A record whose level is off is never formatted.
//
// Thread safety: a Logger may be used from any thread at once. set_sink and set_level may be
// called at any time; a record already being written finishes with the sink it started with.
// The sink runs on the logging thread, so it must be safe to call concurrently. The managers
// hand their records to the sink only after releasing their own lock, so a sink may call back
// into the manager that logged.

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <spdlog/logger.h>

namespace arvcore::log {

/// Logging levels with the Python host's numbers.
enum class Level : int { debug = 10, info = 20, warning = 30, error = 40 };

/// Receives every record that passes its logger's level.
/// `exc_text` is the failure's text for records logged with exception(), else empty: a first
/// line "TypeName: message", then the note added to the failure, if any, after a line break.
using Sink = std::function<void(std::string_view logger_name, Level level, std::string_view message,
                                std::string_view exc_text)>;

/// Replaces the destination of all module loggers (an empty function restores standard error).
void set_sink(Sink sink);

/// Sets the lowest level a logger emits. Level values between the named ones round up
/// (15 enables info and above); a value above error turns the logger off.
void set_level(std::string_view logger_name, int python_level);

/// Handle to one named logger. Cheap to copy.
class Logger {
 public:
  explicit Logger(const std::string& name);

  const std::string& name() const;
  bool enabled(Level level) const;

  template <class... Args>
  void debug(fmt::format_string<Args...> f, Args&&... args) const {
    log(Level::debug, f, std::forward<Args>(args)...);
  }
  template <class... Args>
  void info(fmt::format_string<Args...> f, Args&&... args) const {
    log(Level::info, f, std::forward<Args>(args)...);
  }
  template <class... Args>
  void warning(fmt::format_string<Args...> f, Args&&... args) const {
    log(Level::warning, f, std::forward<Args>(args)...);
  }
  template <class... Args>
  void error(fmt::format_string<Args...> f, Args&&... args) const {
    log(Level::error, f, std::forward<Args>(args)...);
  }

  /// An error record that carries the failure's text (the host's "exception" level).
  /// Call inside a catch block; `failure` is usually std::current_exception().
  void exception(std::string_view message,
                 std::exception_ptr failure = std::current_exception()) const;
  /// The same, with `note` added to the failure's text (where it happened, say): the record
  /// stays the one the host expects, and its trace tells more.
  void exception(std::string_view message, std::string_view note,
                 std::exception_ptr failure = std::current_exception()) const;

  template <class... Args>
  void log(Level level, fmt::format_string<Args...> f, Args&&... args) const {
    if (enabled(level)) {
      write(level, fmt::format(f, std::forward<Args>(args)...), {});
    }
  }

 private:
  void write(Level level, std::string_view message, std::string_view exc_text) const;
  std::shared_ptr<spdlog::logger> logger_;
};

/// Text of a failure for exception records: "TypeName: what()".
std::string describe(std::exception_ptr failure);

}  // namespace arvcore::log
