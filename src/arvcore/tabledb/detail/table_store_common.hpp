#pragma once
// Pieces the table database back ends share.

#include <chrono>
#include <ctime>
#include <optional>
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

/// Settings of the module's own that a store URL may carry as query parameters: "grace"
/// (seconds a retired import stays readable) and "query_timeout" (seconds a PostgreSQL server
/// may take to answer). They are taken out of the URL before it reaches the back end's
/// library; what the URL does not set comes from the environment ($ARVCORE_TABLE_DB_GRACE,
/// $ARVCORE_TABLE_DB_QUERY_TIMEOUT), read at each use, else from the defaults.
struct StoreSettings {
  std::optional<double> grace_s;
  std::optional<double> query_timeout_s;

  double grace() const;
  double queryTimeout() const;
};

/// Takes the module's own parameters out of `url` (other parameters stay, in their order).
/// Throws ValueError for a value that is not a number of seconds of at least 0.
StoreSettings take_store_settings(std::string& url);

/// Seconds from the environment variable `name`, else `fallback`; a value that is not a
/// number of seconds of at least 0 is refused with ValueError naming the variable.
double seconds_from_env(const char* name, double fallback);

/// Seconds since the epoch, as stored with a retired import.
inline double epoch_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace arvcore::tabledb
