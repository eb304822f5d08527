#pragma once
// Pieces the table database back ends share.

#include <chrono>
#include <ctime>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace arvcore::tabledb {

/// Key range [low, high) of the unit paths below a non-empty `prefix`, in byte order:
/// "BOARD_1" gives ["BOARD_1.", "BOARD_1/").
inline std::pair<std::string, std::string> prefix_range(const std::string& prefix) {
  return {prefix + ".", prefix + "/"};
}

/// The current UTC time as "2026-12-07T16:40:00Z".
inline std::string utc_now() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  gmtime_r(&now, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace arvcore::tabledb
