#pragma once
// Pieces the table database back ends share.

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "arvcore/tabledb/table_store.hpp"

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

/// Whether libpq's text of a failed connection says the server refused the login (a wrong
/// password, an unknown or disabled role, no entry for the client in the server's access
/// rules: SQLSTATE class 28) rather than that it could not be reached. libpq gives no
/// SQLSTATE for a connection, so its wording (and the server's, in English) is what is left.
bool is_login_refused(const std::string& libpq_message);

/// Settings of the module's own that a store locator may carry as parameters ("?grace=30" in
/// a URL or path, "grace=30" in a libpq connection string): "grace" (seconds a retired import
/// stays readable), and for PostgreSQL "query_timeout" (seconds a server may take to answer)
/// and "connect_timeout" (seconds to connect). They are taken out of the locator before it
/// reaches the back end's library; what the locator does not set comes from the environment
/// ($ARVCORE_TABLE_DB_GRACE, $ARVCORE_TABLE_DB_QUERY_TIMEOUT, $ARVCORE_TABLE_DB_CONNECT_TIMEOUT,
/// else libpq's $PGCONNECT_TIMEOUT), read at each use, else from the defaults. A timeout is
/// above 0 (libpq would wait for ever at 0), a grace period at least 0; anything else is
/// refused with ValueError naming the parameter or variable.
struct StoreSettings {
  std::optional<double> grace_s;
  std::optional<double> query_timeout_s;
  std::optional<double> connect_timeout_s;

  double grace() const;
  double queryTimeout() const;
  double connectTimeout() const;
};

/// Takes the module's own parameters out of the query ("?...") of a URL or path; the other
/// parameters stay, in their order. Throws ValueError for a value out of its range.
StoreSettings take_store_settings(std::string& url);

/// What a store locator names: the back end, what that back end is given, and the module's own
/// settings the locator carried.
struct StoreLocator {
  bool postgres = false;  // else a SQLite file
  std::string target;     // the file's path, or the URL or connection string libpq reads
  StoreSettings settings;
};

/// Reads a locator of one of the accepted forms (see open_store), surrounding white space
/// ignored. Anything else, and anything that could be a server's credentials where a file
/// path is expected, is refused with ValueError listing the accepted forms, the locator
/// itself hidden whole.
StoreLocator read_locator(const std::string& locator);

std::shared_ptr<TableStore> make_sqlite_store(std::string path, const StoreSettings& settings);
std::shared_ptr<TableStore> make_postgres_store(std::string url, const StoreSettings& settings);

/// Seconds since the epoch, as stored with a retired import.
inline double epoch_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace arvcore::tabledb
