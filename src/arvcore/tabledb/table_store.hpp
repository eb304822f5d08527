#pragma once
// The table database store: calibration tables kept one per (serial number, frequency), laid
// out so that a query reads only the entries it names, plus the kit and beam documents of web
// mode. Two back ends share this interface: an embedded SQLite file (the default) and a
// PostgreSQL server shared by many hosts.
//
// A calibration table is stored as "units": values at a key path ("VER", "DR",
// "BOARD_1.TX.COMDR", "BOARD_1.TX.DATA_CHIP_1.COM_2.3_35_0", ...), each the JSON text of that
// value, in the table's key order. Small maps of plain values (DR, offsets, step ranges) are
// one unit; larger maps are split into their entries, so a ComData entry is one row.
//
// Every import gets an id of its own, never handed out again. A re-import or removal retires
// the import it replaces instead of deleting it: a reader that selected it (a web-mode manager
// answers from the import current at its last parse) keeps reading it for a grace period, and
// a later write purges the imports retired longer than that.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore::tabledb {

/// The store cannot be opened or its server cannot be reached. The message names the path or
/// host, never a password.
class StoreUnavailable : public Error {
 public:
  using Error::Error;
};

/// One value of a calibration table stored on its own: its key path and JSON text.
struct Unit {
  std::string path;
  std::string json;
};

/// A stored calibration table as listings show it.
struct TableInfo {
  std::string sn;
  double freq = 0;
  std::string version;
  std::int64_t rows = 0;  // units the table occupies
  std::string imported;   // UTC time of the import, ISO 8601
  std::string layout;     // "4,1,4"; empty for a table imported before layouts were recorded
};

/// Reads of one consistent state of the store: an import that commits meanwhile is seen
/// entirely or not at all.
class Snapshot {
 public:
  virtual ~Snapshot() = default;
  /// Id of the table of `sn` at `freq` GHz, if stored.
  virtual std::optional<std::int64_t> tableId(const std::string& sn, double freq) = 0;
  /// The unit stored exactly at `path`.
  virtual std::optional<std::string> unit(std::int64_t id, const std::string& path) = 0;
  /// Units below `prefix` (every unit when `prefix` is empty), in table order, with paths
  /// relative to `prefix`.
  virtual std::vector<Unit> unitsUnder(std::int64_t id, const std::string& prefix) = 0;
  /// Frequencies with a table for `sn`, ascending.
  virtual std::vector<double> frequencies(const std::string& sn) = 0;
  /// The layout recorded with import `id` (see TableInfo::layout), or nothing when `id` is
  /// neither a current table nor a retired import still kept.
  virtual std::optional<std::string> tableLayout(std::int64_t id) = 0;
};

/// Called during long writes with (units written, units in total).
using Progress = std::function<void(std::size_t done, std::size_t total)>;

/// A stored document (kit record, beam table): its key and JSON text.
struct Document {
  std::string key;
  std::string json;
};

/// One store. Thread-safe: reads are serialised on one connection and writes on another, so
/// an import does not hold up the queries of other threads. Connections are opened at their
/// first use, kept, and opened again after they broke. Reading creates and changes nothing:
/// a store that does not exist or is not a table database is refused.
class TableStore {
 public:
  virtual ~TableStore() = default;

  /// Where the store lives, for messages: a path, or user@host:port/db (no password).
  virtual std::string where() const = 0;

  /// Runs `fn` over one read snapshot. Throws StoreUnavailable when the store cannot be
  /// reached (a missing SQLite file included).
  virtual void read(const std::function<void(Snapshot&)>& fn) = 0;

  /// Replaces the table of `info.sn` at `info.freq` by `units` in one transaction: readers see
  /// the old table or the new one, and an interrupted import leaves the old one. The old one
  /// is retired (see above). Creates the store when it does not exist yet.
  virtual void replaceTable(const TableInfo& info, const std::vector<Unit>& units,
                            const Progress& progress = {}) = 0;
  /// Retires one table; false when there was none.
  virtual bool removeTable(const std::string& sn, double freq) = 0;
  /// Every stored table, by serial number and frequency.
  virtual std::vector<TableInfo> tables() = 0;

  /// Documents of one kind ("aakit", "beam"), in the order they were first stored.
  virtual std::vector<Document> documents(const std::string& kind) = 0;
  /// One document, if stored.
  virtual std::optional<std::string> document(const std::string& kind, const std::string& key) = 0;
  /// Stores a document; an existing one keeps its place in the order.
  virtual void putDocument(const std::string& kind, const std::string& key,
                           const std::string& json) = 0;
  /// Removes a document; false when there was none.
  virtual bool removeDocument(const std::string& kind, const std::string& key) = 0;
};

/// Where the store is configured: $ARVCORE_TABLE_DB when set and not empty, else
/// "calibration.db" in the SDK's data directory.
std::string configured_url();

/// The store at `url`: a PostgreSQL URL ("postgresql://" or "postgres://"), a libpq connection
/// string ("host=... dbname=..."), "sqlite:///path", or a plain path of a SQLite file (surrounding
/// white space ignored). One store per URL is shared by the whole process; nothing is opened
/// until its first use. Anything else is refused with ValueError listing the accepted forms and
/// hiding the locator whole: another scheme, a URL libpq would read otherwise than a person does
/// (an unencoded "@" or "/" in its password), a value that is itself a server URL with
/// credentials, and a SQLite locator with parameters (but grace=) or one that could be a
/// mistyped server URL ("user:password@host" anywhere; "u@h/db" or "NAME:" where a relative
/// path begins, such a file being written "./PATH"). A refused locator never becomes a file.
std::shared_ptr<TableStore> open_store(const std::string& url);

/// How long a replaced or removed import stays readable, in seconds, when neither the URL
/// ("grace=SECONDS") nor $ARVCORE_TABLE_DB_GRACE sets it.
inline constexpr double kDefaultGraceSeconds = 600;

/// `url` as messages, logs and outputs show it: every secret (the password of a URL, also one
/// holding an unencoded "@" or "/", password-like URL parameters and connection string
/// values) replaced by "***". A SQLite path is shown whole; a locator open_store refuses is
/// shown as "***".
std::string redact_url(const std::string& url);

/// `text` with every secret of `locator` (as redact_url hides them) replaced by "***": for
/// messages of libraries that quote what they were given.
std::string scrub_secrets(std::string text, const std::string& locator);

/// Splits a calibration table into its units, in table order. A map of `table` that
/// `stand_in` answers is split as its answer (made when it is reached and freed once split),
/// so a table whose large parts are kept elsewhere need not be built whole.
std::vector<Unit> split_table(const Value& table, const value::JsonStandIn& stand_in = {});

/// The value at `path` of table `id`: a unit, a part of one, or a map put together from the
/// units below it. Empty when the table has no such entry.
std::optional<Value> resolve(Snapshot& snapshot, std::int64_t id, const std::string& path);

/// The whole table `id` put back together, in its key order.
Value assemble_table(Snapshot& snapshot, std::int64_t id);

}  // namespace arvcore::tabledb
