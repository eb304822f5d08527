// The embedded table database: one SQLite file in WAL mode, so that readers go on while an
// import writes. Reads and writes have a connection each: an import in one thread does not
// hold up the queries of others. A read transaction never outlives its read (every statement
// is reset when the read ends), so each read sees the latest import and checkpoints can run.

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/tabledb/detail/table_store_common.hpp"
#include "arvcore/tabledb/table_store.hpp"

namespace arvcore::tabledb {
namespace {

namespace fs = std::filesystem;

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

// Added in place to stores made before imports were retired: the layout of each table, the
// retired imports, and the last id handed out (SQLite would give a new table the id of a
// retired one that had the largest id).
constexpr const char* kRetiredSchema = R"sql(
ALTER TABLE cali_tables ADD COLUMN layout TEXT;
CREATE TABLE cali_retired(
  id INTEGER PRIMARY KEY, sn TEXT NOT NULL, freq REAL NOT NULL, layout TEXT,
  retired REAL NOT NULL);
CREATE TABLE cali_ids(last INTEGER NOT NULL);
INSERT INTO cali_ids SELECT COALESCE(MAX(id), 0) FROM (
  SELECT MAX(id) AS id FROM cali_tables UNION ALL SELECT MAX(table_id) FROM cali_units);
)sql";

// A writer waits this long for another process's import before it gives up.
constexpr int kBusyMilliseconds = 60000;
// The checkpoint after an import waits this long for readers of an older snapshot.
constexpr int kCheckpointWaitMilliseconds = 2000;

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

void bind(sqlite3_stmt* s, int pos, const std::string& text) {
  sqlite3_bind_text(s, pos, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// A store file that is not a table database: refused by name, and never changed.
class NotATableDatabase : public StoreUnavailable {
 public:
  explicit NotATableDatabase(const std::string& path)
      : StoreUnavailable(fmt::format("{} is not a table database", path)) {}
};

// "file:" URI of a path: the characters a URI gives a meaning to are escaped.
std::string file_uri(const std::string& path) {
  std::string out = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

// One connection and what it runs.
class Connection {
 public:
  explicit Connection(const std::string& path) : path_(path) {}

  bool isOpen() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_.get(); }

  void open(const std::string& name, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    if (rc != SQLITE_OK) {
      throw StoreUnavailable(fmt::format("cannot open the table database {}: {}", path_,
                                         raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
    db_ = std::move(db);
  }

  void close() { db_.reset(); }

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

  std::int64_t scalar(const char* sql) {
    auto q = prepare(sql);
    return step(q.get()) ? sqlite3_column_int64(q.get(), 0) : 0;
  }

  // Tables of the store's schema present in the file: 3 in a table database, 0 in an empty
  // file. A file that is not SQLite at all is refused by name.
  std::int64_t ownTables() {
    try {
      return scalar(
          "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
          "name IN ('cali_tables', 'cali_units', 'documents')");
    } catch (const Error&) {
      throw NotATableDatabase(path_);
    }
  }

  bool hasRetired() {
    return scalar("SELECT count(*) FROM sqlite_master WHERE name = 'cali_retired'") > 0;
  }

  // Runs `fn` in an IMMEDIATE transaction (the write lock taken at once, waiting for another
  // writer as long as the busy timeout allows).
  template <class Fn>
  void transaction(Fn&& fn) {
    exec("BEGIN IMMEDIATE");
    try {
      fn();
      exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

 private:
  std::string path_;
  std::unique_ptr<sqlite3, DbCloser> db_;
};

class SqliteStore final : public TableStore, private Snapshot {
 public:
  SqliteStore(std::string path, const StoreSettings& settings)
      : settings_(settings), path_(std::move(path)), reader_(path_), writer_(path_) {}

  ~SqliteStore() override {
    // Statements die before the connection they belong to.
    for (Stmt* s : cachedStatements()) {
      s->reset();
    }
  }

  std::string where() const override { return path_; }

  void read(const std::function<void(Snapshot&)>& fn) override {
    std::lock_guard lock(read_mutex_);
    openReader();
    reader_.exec("BEGIN");
    try {
      fn(*this);
      endRead();
      reader_.exec("COMMIT");
    } catch (...) {
      endRead();
      sqlite3_exec(reader_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void replaceTable(const TableInfo& info, const std::vector<Unit>& units,
                    const Progress& progress) override {
    const double grace = settings_.grace();  // a wrong setting refuses the write up front
    std::lock_guard lock(write_mutex_);
    openWriter(true);
    writer_.transaction([&] {
      retire(info.sn, info.freq);
      // An id above every id handed out before, retired ones included.
      writer_.exec(
          "UPDATE cali_ids SET last = MAX(last, (SELECT COALESCE(MAX(id), 0) FROM cali_tables)) "
          "+ 1");
      const std::int64_t id = writer_.scalar("SELECT last FROM cali_ids");
      auto add = writer_.prepare(
          "INSERT INTO cali_tables(id, sn, freq, version, rows, imported, layout) "
          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
      sqlite3_bind_int64(add.get(), 1, id);
      bind(add.get(), 2, info.sn);
      sqlite3_bind_double(add.get(), 3, info.freq);
      bind(add.get(), 4, info.version);
      sqlite3_bind_int64(add.get(), 5, static_cast<sqlite3_int64>(units.size()));
      bind(add.get(), 6, info.imported);
      if (!info.layout.empty()) {
        bind(add.get(), 7, info.layout);
      }
      writer_.step(add.get());
      auto put = writer_.prepare(
          "INSERT INTO cali_units(table_id, path, seq, value) VALUES (?1, ?2, ?3, ?4)");
      for (std::size_t i = 0; i < units.size(); ++i) {
        sqlite3_reset(put.get());
        sqlite3_bind_int64(put.get(), 1, id);
        bind(put.get(), 2, units[i].path);
        sqlite3_bind_int64(put.get(), 3, static_cast<sqlite3_int64>(i));
        bind(put.get(), 4, units[i].json);
        writer_.step(put.get());
        if (progress && (i % kProgressEvery == 0)) {
          progress(i, units.size());
        }
      }
    });
    afterWrite(grace);
    if (progress) {
      progress(units.size(), units.size());
    }
  }

  bool removeTable(const std::string& sn, double freq) override {
    const double grace = settings_.grace();
    std::lock_guard lock(write_mutex_);
    openWriter(false);
    bool found = false;
    writer_.transaction([&] { found = retire(sn, freq); });
    afterWrite(grace);
    return found;
  }

  std::vector<TableInfo> tables() override {
    std::lock_guard lock(read_mutex_);
    openReader();
    refreshSchema();
    auto q = reader_.prepare(migrated_
                                 ? "SELECT sn, freq, version, rows, imported, COALESCE(layout, '') "
                                   "FROM cali_tables ORDER BY sn, freq"
                                 : "SELECT sn, freq, version, rows, imported, '' FROM cali_tables "
                                   "ORDER BY sn, freq");
    std::vector<TableInfo> out;
    while (reader_.step(q.get())) {
      out.push_back({column_text(q.get(), 0), sqlite3_column_double(q.get(), 1),
                     column_text(q.get(), 2), sqlite3_column_int64(q.get(), 3),
                     column_text(q.get(), 4), column_text(q.get(), 5)});
    }
    return out;
  }

  std::vector<Document> documents(const std::string& kind) override {
    std::lock_guard lock(read_mutex_);
    openReader();
    auto q = reader_.prepare("SELECT key, value FROM documents WHERE kind = ?1 ORDER BY seq");
    bind(q.get(), 1, kind);
    std::vector<Document> out;
    while (reader_.step(q.get())) {
      out.push_back({column_text(q.get(), 0), column_text(q.get(), 1)});
    }
    return out;
  }

  std::optional<std::string> document(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(read_mutex_);
    openReader();
    auto q = reader_.prepare("SELECT value FROM documents WHERE kind = ?1 AND key = ?2");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    if (reader_.step(q.get())) {
      return column_text(q.get(), 0);
    }
    return std::nullopt;
  }

  void putDocument(const std::string& kind, const std::string& key,
                   const std::string& json) override {
    std::lock_guard lock(write_mutex_);
    openWriter(true);
    auto q = writer_.prepare(
        "INSERT INTO documents(kind, key, seq, value) VALUES (?1, ?2, "
        "(SELECT COALESCE(MAX(seq), 0) + 1 FROM documents), ?3) "
        "ON CONFLICT(kind, key) DO UPDATE SET value = excluded.value");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    bind(q.get(), 3, json);
    writer_.step(q.get());
  }

  bool removeDocument(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(write_mutex_);
    openWriter(false);
    auto q = writer_.prepare("DELETE FROM documents WHERE kind = ?1 AND key = ?2");
    bind(q.get(), 1, kind);
    bind(q.get(), 2, key);
    writer_.step(q.get());
    return sqlite3_changes(writer_.handle()) > 0;
  }

 private:
  // --- Snapshot, called inside read() with the read lock held ------------------------------

  std::optional<std::int64_t> tableId(const std::string& sn, double freq) override {
    sqlite3_stmt* q = cached(table_id_, "SELECT id FROM cali_tables WHERE sn = ?1 AND freq = ?2");
    bind(q, 1, sn);
    sqlite3_bind_double(q, 2, freq);
    if (reader_.step(q)) {
      return sqlite3_column_int64(q, 0);
    }
    return std::nullopt;
  }

  std::optional<std::string> unit(std::int64_t id, const std::string& path) override {
    sqlite3_stmt* q =
        cached(unit_, "SELECT value FROM cali_units WHERE table_id = ?1 AND path = ?2");
    sqlite3_bind_int64(q, 1, id);
    bind(q, 2, path);
    if (reader_.step(q)) {
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
    while (reader_.step(q)) {
      out.push_back({column_text(q, 0).substr(cut), column_text(q, 1)});
    }
    return out;
  }

  std::vector<double> frequencies(const std::string& sn) override {
    sqlite3_stmt* q = cached(freqs_, "SELECT freq FROM cali_tables WHERE sn = ?1 ORDER BY freq");
    bind(q, 1, sn);
    std::vector<double> out;
    while (reader_.step(q)) {
      out.push_back(sqlite3_column_double(q, 0));
    }
    return out;
  }

  std::optional<std::string> tableLayout(std::int64_t id) override {
    refreshSchema();
    sqlite3_stmt* q = cached(
        layout_, migrated_ ? "SELECT COALESCE(layout, '') FROM cali_tables WHERE id = ?1 "
                             "UNION ALL SELECT COALESCE(layout, '') FROM cali_retired WHERE id = ?1"
                           : "SELECT '' FROM cali_tables WHERE id = ?1");
    sqlite3_bind_int64(q, 1, id);
    if (reader_.step(q)) {
      return column_text(q, 0);
    }
    return std::nullopt;
  }

  // --- connections ---------------------------------------------------------------------

  // Opens the file to read: never created, never switched to another journal mode, never
  // given tables. A file this process cannot write (a read-only file or directory, an
  // immutable file) is opened as unchanging, so that no -wal or -shm file is made beside it
  // (such a store is published to be read, not imported into while hosts read it).
  void openReader() {
    if (reader_.isOpen()) {
      return;
    }
    const fs::path file(path_);
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const bool writable = ::access(path_.c_str(), W_OK) == 0 && ::access(dir.c_str(), W_OK) == 0;
    std::error_code ec;
    const bool wal_pending = fs::file_size(path_ + "-wal", ec) > 0 && !ec;
    if (writable || wal_pending || ::access(path_.c_str(), R_OK) != 0) {
      // Read-write without create: the last connection to close folds the log back and
      // removes the -wal and -shm files, which a read-only one cannot.
      reader_.open(path_, writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
    } else {
      reader_.open(file_uri(path_) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    }
    try {
      if (reader_.ownTables() != 3) {
        throw NotATableDatabase(path_);
      }
      migrated_ = reader_.hasRetired();
      reader_.exec("PRAGMA cache_size=-65536");
    } catch (...) {
      reader_.close();
      throw;
    }
  }

  // A store made before may have been extended by another process's write since.
  void refreshSchema() {
    if (!migrated_ && reader_.hasRetired()) {
      migrated_ = true;
      layout_.reset();  // prepared for the old schema
    }
  }

  // Opens the file to write; `create` makes a missing file (imports, stored documents). A
  // new or empty file gets the schema and WAL mode; a store made before gets the parts added
  // since; a SQLite file of another kind is refused untouched.
  void openWriter(bool create) {
    if (writer_.isOpen()) {
      return;
    }
    writer_.open(path_, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0));
    try {
      const std::int64_t own = writer_.ownTables();
      if (own != 3 && (own != 0 || writer_.scalar("SELECT count(*) FROM sqlite_master") != 0)) {
        throw NotATableDatabase(path_);
      }
      // WAL: readers keep their snapshot while an import writes. NORMAL syncs at checkpoints
      // only; a crash may lose the last import, never leave half of one. A large page cache
      // keeps an import's pages out of the log until it commits.
      if (own == 0) {
        writer_.exec("PRAGMA journal_mode=WAL");
      }
      writer_.exec("PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536");
      writer_.transaction([&] {
        writer_.exec(kSchema);
        if (!writer_.hasRetired()) {
          writer_.exec(kRetiredSchema);
        }
      });
    } catch (...) {
      writer_.close();
      throw;
    }
  }

  // Moves the current table of `sn` at `freq` to the retired imports; false when none.
  bool retire(const std::string& sn, double freq) {
    auto keep = writer_.prepare(
        "INSERT INTO cali_retired(id, sn, freq, layout, retired) "
        "SELECT id, sn, freq, layout, ?3 FROM cali_tables WHERE sn = ?1 AND freq = ?2");
    bind(keep.get(), 1, sn);
    sqlite3_bind_double(keep.get(), 2, freq);
    sqlite3_bind_double(keep.get(), 3, epoch_seconds());
    writer_.step(keep.get());
    if (sqlite3_changes(writer_.handle()) == 0) {
      return false;
    }
    auto drop = writer_.prepare("DELETE FROM cali_tables WHERE sn = ?1 AND freq = ?2");
    bind(drop.get(), 1, sn);
    sqlite3_bind_double(drop.get(), 2, freq);
    writer_.step(drop.get());
    return true;
  }

  // After a table write: the imports retired longer than the grace period are purged, and
  // the log is folded back into the file and emptied, so that it never holds much more than
  // one import. Readers are short, so the checkpoint waits a moment at most; one that cannot
  // run now (a reader of another program keeps its snapshot) is left to the next write, and
  // so is a purge that cannot: the import itself is done.
  void afterWrite(double grace) {
    try {
      const double cutoff = epoch_seconds() - grace;
      writer_.transaction([&] {
        auto expired = writer_.prepare("SELECT id FROM cali_retired WHERE retired <= ?1");
        sqlite3_bind_double(expired.get(), 1, cutoff);
        std::vector<std::int64_t> ids;
        while (writer_.step(expired.get())) {
          ids.push_back(sqlite3_column_int64(expired.get(), 0));
        }
        for (const std::int64_t id : ids) {
          for (const char* sql : {"DELETE FROM cali_units WHERE table_id = ?1",
                                  "DELETE FROM cali_retired WHERE id = ?1"}) {
            auto del = writer_.prepare(sql);
            sqlite3_bind_int64(del.get(), 1, id);
            writer_.step(del.get());
          }
        }
      });
    } catch (const Error&) {
    }
    sqlite3_busy_timeout(writer_.handle(), kCheckpointWaitMilliseconds);
    sqlite3_wal_checkpoint_v2(writer_.handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                              nullptr);
    sqlite3_busy_timeout(writer_.handle(), kBusyMilliseconds);
  }

  sqlite3_stmt* cached(Stmt& slot, const char* sql) {
    if (!slot) {
      slot = reader_.prepare(sql);
    }
    sqlite3_reset(slot.get());
    sqlite3_clear_bindings(slot.get());
    return slot.get();
  }

  std::vector<Stmt*> cachedStatements() {
    return {&table_id_, &unit_, &under_, &all_, &freqs_, &layout_};
  }

  // A statement left after a row keeps its read transaction, and with it the snapshot, open
  // past COMMIT: every one is reset when a read ends.
  void endRead() {
    for (Stmt* s : cachedStatements()) {
      if (*s) {
        sqlite3_reset(s->get());
      }
    }
  }

  static constexpr std::size_t kProgressEvery = 4096;

  StoreSettings settings_;
  std::string path_;
  std::mutex read_mutex_;
  std::mutex write_mutex_;
  Connection reader_;
  Connection writer_;
  bool migrated_ = false;  // the reader has seen the retired imports' table
  Stmt table_id_, unit_, under_, all_, freqs_, layout_;
};

}  // namespace

std::shared_ptr<TableStore> make_sqlite_store(std::string path, const StoreSettings& settings) {
  return std::make_shared<SqliteStore>(std::move(path), settings);
}

}  // namespace arvcore::tabledb
