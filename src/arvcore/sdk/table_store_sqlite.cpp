// The embedded table database: one SQLite file, in WAL mode so that readers keep their
// snapshot while an import writes.

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/table_store.hpp"
#include "arvcore/sdk/table_store_common.hpp"

namespace arvcore::tabledb {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS cali_tables(
  id INTEGER PRIMARY KEY, sn TEXT NOT NULL, freq REAL NOT NULL, version TEXT NOT NULL,
  rows INTEGER NOT NULL, imported TEXT NOT NULL, UNIQUE(sn, freq));
CREATE TABLE IF NOT EXISTS cali_units(
  table_id INTEGER NOT NULL, path TEXT NOT NULL, seq INTEGER NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(table_id, path)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS documents(
  kind TEXT NOT NULL, key TEXT NOT NULL, seq INTEGER NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(kind, key));
)sql";

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

std::string column_text(sqlite3_stmt* s, int col) {
  const auto* text = sqlite3_column_text(s, col);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(s, col)));
}

class SqliteStore final : public TableStore, private Snapshot {
 public:
  explicit SqliteStore(std::string path) : path_(std::move(path)) {}

  std::string where() const override { return path_; }

  void read(const std::function<void(Snapshot&)>& fn) override {
    std::lock_guard lock(mutex_);
    open(false);
    exec("BEGIN");
    try {
      fn(*this);
      exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void replaceTable(const TableInfo& info, const std::vector<Unit>& units,
                    const Progress& progress) override {
    std::lock_guard lock(mutex_);
    open(true);
    exec("BEGIN IMMEDIATE");
    try {
      auto old = prepare("SELECT id FROM cali_tables WHERE sn = ?1 AND freq = ?2");
      bind(old.get(), 1, info.sn);
      sqlite3_bind_double(old.get(), 2, info.freq);
      if (step(old.get())) {
        const auto id = sqlite3_column_int64(old.get(), 0);
        auto del = prepare("DELETE FROM cali_units WHERE table_id = ?1");
        sqlite3_bind_int64(del.get(), 1, id);
        step(del.get());
        auto del_table = prepare("DELETE FROM cali_tables WHERE id = ?1");
        sqlite3_bind_int64(del_table.get(), 1, id);
        step(del_table.get());
      }
      auto add = prepare(
          "INSERT INTO cali_tables(sn, freq, version, rows, imported) VALUES (?1, ?2, ?3, ?4, ?5)");
      bind(add.get(), 1, info.sn);
      sqlite3_bind_double(add.get(), 2, info.freq);
      bind(add.get(), 3, info.version);
      sqlite3_bind_int64(add.get(), 4, static_cast<sqlite3_int64>(units.size()));
      bind(add.get(), 5, info.imported);
      step(add.get());
      const auto id = sqlite3_last_insert_rowid(db_.get());
      auto put =
          prepare("INSERT INTO cali_units(table_id, path, seq, value) VALUES (?1, ?2, ?3, ?4)");
      for (std::size_t i = 0; i < units.size(); ++i) {
        sqlite3_reset(put.get());
        sqlite3_bind_int64(put.get(), 1, id);
        bind(put.get(), 2, units[i].path);
        sqlite3_bind_int64(put.get(), 3, static_cast<sqlite3_int64>(i));
        bind(put.get(), 4, units[i].json);
        step(put.get());
        if (progress && (i % kProgressEvery == 0)) {
          progress(i, units.size());
        }
      }
      exec("COMMIT");
      if (progress) {
        progress(units.size(), units.size());
      }
    } catch (...) {
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  bool removeTable(const std::string& sn, double freq) override {
    std::lock_guard lock(mutex_);
    open(false);
    exec("BEGIN IMMEDIATE");
    try {
      auto old = prepare("SELECT id FROM cali_tables WHERE sn = ?1 AND freq = ?2");
      bind(old.get(), 1, sn);
      sqlite3_bind_double(old.get(), 2, freq);
      const bool found = step(old.get());
      if (found) {
        const auto id = sqlite3_column_int64(old.get(), 0);
        for (const char* sql : {"DELETE FROM cali_units WHERE table_id = ?1",
                                "DELETE FROM cali_tables WHERE id = ?1"}) {
          auto del = prepare(sql);
          sqlite3_bind_int64(del.get(), 1, id);
          step(del.get());
        }
      }
      exec("COMMIT");
      return found;
    } catch (...) {
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::vector<TableInfo> tables() override {
    std::lock_guard lock(mutex_);
    open(false);
    auto q = prepare("SELECT sn, freq, version, rows, imported FROM cali_tables ORDER BY sn, freq");
    std::vector<TableInfo> out;
    while (step(q.get())) {
      out.push_back({column_text(q.get(), 0), sqlite3_column_double(q.get(), 1),
                     column_text(q.get(), 2), sqlite3_column_int64(q.get(), 3),
                     column_text(q.get(), 4)});
    }
    return out;
  }

  std::vector<Document> documents(const std::string& kind) override {
    std::lock_guard lock(mutex_);
    open(false);
    auto q = prepare("SELECT key, value FROM documents WHERE kind = ?1 ORDER BY seq");
    bind(q.get(), 1, kind);
    std::vector<Document> out;
    while (step(q.get())) {
      out.push_back({column_text(q.get(), 0), column_text(q.get(), 1)});
    }
    return out;
  }

  std::optional<std::string> document(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(mutex_);
    open(false);
    auto q = prepare("SELECT value FROM documents WHERE kind = ?1 AND key = ?2");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    if (step(q.get())) {
      return column_text(q.get(), 0);
    }
    return std::nullopt;
  }

  void putDocument(const std::string& kind, const std::string& key,
                   const std::string& json) override {
    std::lock_guard lock(mutex_);
    open(true);
    auto q = prepare(
        "INSERT INTO documents(kind, key, seq, value) VALUES (?1, ?2, "
        "(SELECT COALESCE(MAX(seq), 0) + 1 FROM documents), ?3) "
        "ON CONFLICT(kind, key) DO UPDATE SET value = excluded.value");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    bind(q.get(), 3, json);
    step(q.get());
  }

  bool removeDocument(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(mutex_);
    open(false);
    auto q = prepare("DELETE FROM documents WHERE kind = ?1 AND key = ?2");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    step(q.get());
    return sqlite3_changes(db_.get()) > 0;
  }

 private:
  // --- Snapshot, called inside read() with the lock held ---------------------------------

  std::optional<std::int64_t> tableId(const std::string& sn, double freq) override {
    sqlite3_stmt* q = cached(table_id_, "SELECT id FROM cali_tables WHERE sn = ?1 AND freq = ?2");
    bind(q, 1, sn);
    sqlite3_bind_double(q, 2, freq);
    if (step(q)) {
      return sqlite3_column_int64(q, 0);
    }
    return std::nullopt;
  }

  std::optional<std::string> unit(std::int64_t id, const std::string& path) override {
    sqlite3_stmt* q =
        cached(unit_, "SELECT value FROM cali_units WHERE table_id = ?1 AND path = ?2");
    sqlite3_bind_int64(q, 1, id);
    bind(q, 2, path);
    if (step(q)) {
      return column_text(q, 0);
    }
    return std::nullopt;
  }

  std::vector<Unit> unitsUnder(std::int64_t id, const std::string& prefix) override {
    sqlite3_stmt* q = nullptr;
    std::size_t cut = 0;
    if (prefix.empty()) {
      q = cached(all_, "SELECT path, value FROM cali_units WHERE table_id = ?1 ORDER BY seq");
    } else {
      q = cached(under_,
                 "SELECT path, value FROM cali_units WHERE table_id = ?1 AND "
                 "path >= ?2 AND path < ?3 ORDER BY seq");
      const auto [low, high] = prefix_range(prefix);
      bind(q, 2, low);
      bind(q, 3, high);
      cut = low.size();
    }
    sqlite3_bind_int64(q, 1, id);
    std::vector<Unit> out;
    while (step(q)) {
      out.push_back({column_text(q, 0).substr(cut), column_text(q, 1)});
    }
    return out;
  }

  std::vector<double> frequencies(const std::string& sn) override {
    sqlite3_stmt* q = cached(freqs_, "SELECT freq FROM cali_tables WHERE sn = ?1 ORDER BY freq");
    bind(q, 1, sn);
    std::vector<double> out;
    while (step(q)) {
      out.push_back(sqlite3_column_double(q, 0));
    }
    return out;
  }

  // --- connection ----------------------------------------------------------------------

  // Opens the file on first use; `create` makes a missing file (imports), reads refuse it.
  void open(bool create) {
    if (db_) {
      return;
    }
    sqlite3* raw = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    if (rc != SQLITE_OK) {
      throw StoreUnavailable(fmt::format("cannot open the table database {}: {}", path_,
                                         raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    sqlite3_busy_timeout(db.get(), 10000);
    char* err = nullptr;
    // WAL: readers keep their snapshot while an import writes. NORMAL syncs at checkpoints
    // only; a crash may lose the last import, never leave half of one. A large page cache
    // keeps an import's pages out of the log until it commits.
    if (sqlite3_exec(db.get(),
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536",
                     nullptr, nullptr, &err) != SQLITE_OK ||
        sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
      std::string why = err ? err : "unknown error";
      sqlite3_free(err);
      throw StoreUnavailable(fmt::format("cannot use the table database {}: {}", path_, why));
    }
    db_ = std::move(db);
  }

  void exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
      std::string why = err ? err : "unknown error";
      sqlite3_free(err);
      throw Error(fmt::format("table database {}: {}", path_, why));
    }
  }

  Stmt prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr) != SQLITE_OK) {
      throw Error(fmt::format("table database {}: {}", path_, sqlite3_errmsg(db_.get())));
    }
    return Stmt(s);
  }

  sqlite3_stmt* cached(Stmt& slot, const char* sql) {
    if (!slot) {
      slot = prepare(sql);
    }
    sqlite3_reset(slot.get());
    sqlite3_clear_bindings(slot.get());
    return slot.get();
  }

  static void bind(sqlite3_stmt* s, int pos, const std::string& text) {
    sqlite3_bind_text(s, pos, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }

  // true while rows come, false when done.
  bool step(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      return true;
    }
    if (rc == SQLITE_DONE) {
      return false;
    }
    throw Error(fmt::format("table database {}: {}", path_, sqlite3_errmsg(db_.get())));
  }

  static constexpr std::size_t kProgressEvery = 4096;

  std::string path_;
  std::mutex mutex_;
  // Statements die before the connection they belong to.
  std::unique_ptr<sqlite3, DbCloser> db_;
  Stmt table_id_, unit_, under_, all_, freqs_;
};

}  // namespace

std::shared_ptr<TableStore> make_sqlite_store(const std::string& path) {
  return std::make_shared<SqliteStore>(path);
}

}  // namespace arvcore::tabledb
