#pragma once
// Shared set-up of the fuzz targets.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "arvcore/sdk/log_format.hpp"

namespace arvcore::fuzz {

/// Every module logger at debug level into a sink that drops the records: each record is
/// still formatted, so the printing of odd values runs too, without any output.
inline void quiet_logging() {
  log::set_sink([](std::string_view, log::Level, std::string_view, std::string_view) {});
  for (const char* name : {"CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB"}) {
    log::set_level(name, 10);
  }
}

/// A data directory of this process's own, set as ARVCORE_FILES_DIR. It lives on /dev/shm
/// when there is one, where the writers' fsync costs nothing. It is removed at a normal exit;
/// libFuzzer ends many runs without one, so each run first removes the directories of runs
/// whose process is gone.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = "/dev/shm";
    std::error_code ec;
    if (!std::filesystem::is_directory(base, ec)) {
      base = std::filesystem::temp_directory_path();
    }
    const std::string prefix = "arvcore-fuzz-";
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(prefix)) {
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
          std::filesystem::remove_all(entry.path(), ec);
        }
      }
    }
    auto d = base / (prefix + std::to_string(::getpid()));
    std::filesystem::remove_all(d, ec);
    std::filesystem::create_directories(d);
    ::setenv("ARVCORE_FILES_DIR", d.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return d;
  }();
  return dir;
}

/// Empties the scratch directory, keeping the directory itself.
inline void clear_scratch_dir() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_dir(), ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
}

/// Writes the fuzz input to `path` as it is.
inline void write_input(const std::filesystem::path& path, const std::uint8_t* data,
                        std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) {
    std::fprintf(stderr, "cannot write the fuzz input to %s\n", path.c_str());
    std::abort();
  }
}

/// Runs a query that may refuse odd data with an error; only a crash is a finding.
template <class Query>
void ignore_errors(Query&& query) {
  try {
    query();
  } catch (const std::exception&) {
  }
}

/// Stops the run with a message: a property that must hold did not.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

}  // namespace arvcore::fuzz
