#include "arvcore/base/log.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <typeinfo>

#include <spdlog/details/log_msg.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "arvcore/base/errors.hpp"

namespace arvcore::log {
namespace {

// spdlog's record has no room for the failure text of an exception record, so the text
// travels beside it for the duration of one write on this thread.
thread_local std::string_view t_exc_text;

Sink& installed_sink() {
  static Sink sink;
  return sink;
}

Level from_spdlog(spdlog::level::level_enum l) {
  switch (l) {
    case spdlog::level::trace:
    case spdlog::level::debug:
      return Level::debug;
    case spdlog::level::info:
      return Level::info;
    case spdlog::level::warn:
      return Level::warning;
    default:
      return Level::error;
  }
}

spdlog::level::level_enum to_spdlog(Level l) {
  switch (l) {
    case Level::debug:
      return spdlog::level::debug;
    case Level::info:
      return spdlog::level::info;
    case Level::warning:
      return spdlog::level::warn;
    case Level::error:
      return spdlog::level::err;
  }
  return spdlog::level::err;
}

// Forwards to the installed host sink, or writes "message" (and the failure text) to
// standard error like the host's last-resort handler.
//
// The sink takes no lock of its own: the host sink runs host code (Python handlers), which
// may wait for the host's own lock while another thread holding that lock logs, or may log
// again through the module on the same thread. Either would deadlock on a sink mutex. Host
// sinks serialise themselves; the standard-error path writes each record in one call.
class ForwardingSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string_view name(msg.logger_name.data(), msg.logger_name.size());
    const std::string_view text(msg.payload.data(), msg.payload.size());
    if (const Sink& sink = installed_sink()) {
      sink(name, from_spdlog(msg.level), text, t_exc_text);
      return;
    }
    std::string line(text);
    line += '\n';
    if (!t_exc_text.empty()) {
      line.append(t_exc_text);
      line += '\n';
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  void flush_() override { std::fflush(stderr); }
};

std::shared_ptr<spdlog::sinks::sink> shared_sink() {
  static auto sink = std::make_shared<ForwardingSink>();
  return sink;
}

std::shared_ptr<spdlog::logger> get_or_make(const std::string& name) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (auto existing = spdlog::get(name)) {
    return existing;
  }
  auto logger = std::make_shared<spdlog::logger>(name, shared_sink());
  logger->set_level(spdlog::level::warn);
  spdlog::register_logger(logger);
  return logger;
}

}  // namespace

void set_sink(Sink sink) {
  installed_sink() = std::move(sink);
}

void set_level(std::string_view logger_name, int python_level) {
  auto logger = get_or_make(std::string(logger_name));
  if (python_level <= static_cast<int>(Level::debug)) {
    logger->set_level(spdlog::level::debug);
  } else if (python_level <= static_cast<int>(Level::info)) {
    logger->set_level(spdlog::level::info);
  } else if (python_level <= static_cast<int>(Level::warning)) {
    logger->set_level(spdlog::level::warn);
  } else if (python_level <= static_cast<int>(Level::error)) {
    logger->set_level(spdlog::level::err);
  } else {
    logger->set_level(spdlog::level::off);
  }
}

Logger::Logger(const std::string& name) : logger_(get_or_make(name)) {}

const std::string& Logger::name() const {
  return logger_->name();
}

bool Logger::enabled(Level level) const {
  return logger_->should_log(to_spdlog(level));
}

void Logger::write(Level level, std::string_view message, std::string_view exc_text) const {
  t_exc_text = exc_text;
  logger_->log(to_spdlog(level), message);
  t_exc_text = {};
}

void Logger::exception(std::string_view message, std::exception_ptr failure) const {
  if (enabled(Level::error)) {
    const std::string text = describe(failure);
    write(Level::error, message, text);
  }
}

void Logger::exception(std::string_view message, std::string_view note,
                       std::exception_ptr failure) const {
  if (enabled(Level::error)) {
    std::string text = describe(failure);
    text += '\n';
    text += note;
    write(Level::error, message, text);
  }
}

std::string describe(std::exception_ptr failure) {
  if (!failure) {
    return {};
  }
  try {
    std::rethrow_exception(failure);
  } catch (const TypeError& e) {
    return std::string("TypeError: ") + e.what();
  } catch (const KeyError& e) {
    return std::string("KeyError: ") + e.what();
  } catch (const IndexError& e) {
    return std::string("IndexError: ") + e.what();
  } catch (const UnicodeError& e) {
    return std::string("UnicodeError: ") + e.what();
  } catch (const ValueError& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const OSError& e) {
    return std::string("OSError: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("Error: ") + e.what();
  } catch (...) {
    return "Error: unknown failure";
  }
}

}  // namespace arvcore::log
