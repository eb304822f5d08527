// The shared table database: one PostgreSQL server for many hosts. Reads and writes have a
// connection each (an import does not hold up other threads' queries), opened at their first
// use, kept, and opened again when the server went away (a restart).
//
// Every exchange has a deadline kept on this side: the socket is waited on with poll(), and a
// server that does not answer in time (frozen, or cut off without a reset) has its connection
// dropped and is reported unavailable, instead of holding the caller for as long as it stays
// silent. Connecting has libpq's connect_timeout.

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
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

using Clock = std::chrono::steady_clock;

// Paths compare byte by byte ("C"), whatever the server's locale, so that the range of a
// prefix holds exactly the units below it. The layout column and the retired imports were
// added later: stores made before get them in place at their first write.
constexpr const char* kSchema = R"sql(
SELECT pg_advisory_xact_lock(7310013);
CREATE TABLE IF NOT EXISTS cali_tables(
  id BIGSERIAL PRIMARY KEY, sn TEXT NOT NULL, freq DOUBLE PRECISION NOT NULL,
  version TEXT NOT NULL, rows BIGINT NOT NULL, imported TEXT NOT NULL, UNIQUE(sn, freq));
CREATE TABLE IF NOT EXISTS cali_units(
  table_id BIGINT NOT NULL, path TEXT COLLATE "C" NOT NULL, seq BIGINT NOT NULL,
  value TEXT NOT NULL, PRIMARY KEY(table_id, path));
CREATE TABLE IF NOT EXISTS documents(
  kind TEXT NOT NULL, key TEXT NOT NULL, seq BIGSERIAL, value TEXT NOT NULL,
  PRIMARY KEY(kind, key));
ALTER TABLE cali_tables ADD COLUMN IF NOT EXISTS layout TEXT;
CREATE TABLE IF NOT EXISTS cali_retired(
  id BIGINT PRIMARY KEY, sn TEXT NOT NULL, freq DOUBLE PRECISION NOT NULL, layout TEXT,
  retired DOUBLE PRECISION NOT NULL);
)sql";

constexpr const char* kCountTables =
    "SELECT count(*) FILTER (WHERE tablename IN ('cali_tables', 'cali_units', 'documents')), "
    "count(*) FILTER (WHERE tablename = 'cali_retired') FROM pg_tables "
    "WHERE schemaname = current_schema()";

// Seconds a table write may wait for one answer (another import of the same table holds it
// up for as long as that import runs).
constexpr double kWriteTimeoutSeconds = 120;

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultClear {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

// A failure of the connection itself, as opposed to a refused statement.
class ConnectionLost : public StoreUnavailable {
 public:
  using StoreUnavailable::StoreUnavailable;
};

std::string to_text(double v) {
  return fmt::format("{:.17g}", v);
}

std::string trimmed(std::string why) {
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
    why.pop_back();
  }
  return why;
}

// One field of COPY's text format.
void append_copy_field(std::string& out, const std::string& s) {
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

bool is_login_refused(const std::string& libpq_message) {
  static constexpr const char* kRefusals[] = {
      "authentication failed",  // password, SCRAM, ident, peer, GSSAPI, ...
      "no password supplied",   // the server asked for one, the locator has none
      "password is required",
      "no pg_hba.conf entry",  // the server's access rules exclude this client
      "role \"",               // an unknown role, or one without LOGIN
  };
  const bool after_contact = libpq_message.find("FATAL:") != std::string::npos ||
                             libpq_message.find("fe_sendauth") != std::string::npos;
  return after_contact && std::any_of(std::begin(kRefusals), std::end(kRefusals), [&](auto r) {
           return libpq_message.find(r) != std::string::npos;
         });
}

namespace {

// One connection to the server, with the deadline of every exchange kept on this side.
class Connection {
 public:
  Connection(const std::string& url, const std::string& where, const StoreSettings& settings)
      : url_(url), where_(where), settings_(settings) {}

  bool isOpen() const { return conn_ && PQstatus(conn_.get()) == CONNECTION_OK; }
  void drop() { conn_.reset(); }

  // Opens the connection when it is not open; false when it already was.
  bool open() {
    if (isOpen()) {
      return false;
    }
    // libpq counts whole seconds (and waits for ever at 0, which the settings refuse).
    const double timeout = settings_.connectTimeout();
    const std::string timeout_text = std::to_string(std::max(1L, std::lround(std::ceil(timeout))));
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {timeout_text.c_str(), url_.c_str(), nullptr};
    conn_.reset(PQconnectdbParams(keys, values, /*expand_dbname=*/1));
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      const std::string why =
          scrub_secrets(trimmed(conn_ ? PQerrorMessage(conn_.get()) : "out of memory"), url_);
      conn_.reset();
      if (is_login_refused(why)) {
        throw StoreUnavailable(fmt::format(
            "authentication failed at the table database server {} (check the user name and "
            "password): {}",
            where_, why));
      }
      throw StoreUnavailable(
          fmt::format("cannot reach the table database server {}: {}", where_, why));
    }
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    if (PQsetnonblocking(conn_.get(), 1) != 0) {
      fail(nullptr);
    }
    return true;
  }

  // Runs `op` on a live connection. When the connection breaks under it (the server was
  // restarted), the connection is opened again and `op` runs once more; `op` is always a
  // whole transaction, so nothing is applied twice. A server that does not answer in time
  // is not asked again.
  template <class Opened, class Op>
  void retrying(Opened&& opened, Op&& op) {
    if (open()) {
      opened();
    }
    try {
      op();
    } catch (const ConnectionLost&) {
      conn_.reset();
      open();
      opened();
      op();
    }
  }

  Result run(const char* sql, const std::vector<std::string>& params, double timeout) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) {
      values.push_back(p.c_str());
    }
    const auto deadline = deadlineAfter(timeout);
    if (PQsendQueryParams(conn_.get(), sql, static_cast<int>(values.size()), nullptr, values.data(),
                          nullptr, nullptr, 0) != 1) {
      fail(nullptr);
    }
    flush(deadline, timeout);
    return collect(deadline, timeout);
  }

  // Statements without parameters, several at once if need be.
  Result exec(const char* sql, double timeout) {
    const auto deadline = deadlineAfter(timeout);
    if (PQsendQuery(conn_.get(), sql) != 1) {
      fail(nullptr);
    }
    flush(deadline, timeout);
    return collect(deadline, timeout);
  }

  void rollback() {
    if (!isOpen()) {
      return;
    }
    try {
      exec("ROLLBACK", settings_.queryTimeout());
    } catch (const std::exception&) {
      conn_.reset();  // the server learns of the end of the transaction when the socket closes
    }
  }

  // Sends COPY data; each chunk has its own deadline.
  void copyData(const std::string& chunk, double timeout) {
    const auto deadline = deadlineAfter(timeout);
    while (true) {
      const int r = PQputCopyData(conn_.get(), chunk.data(), static_cast<int>(chunk.size()));
      if (r == 1) {
        break;
      }
      if (r < 0) {
        fail(nullptr);
      }
      waitSocket(POLLOUT, deadline, timeout);
      PQflush(conn_.get());
    }
    flush(deadline, timeout);
  }

  void copyEnd(double timeout) {
    const auto deadline = deadlineAfter(timeout);
    while (true) {
      const int r = PQputCopyEnd(conn_.get(), nullptr);
      if (r == 1) {
        break;
      }
      if (r < 0) {
        fail(nullptr);
      }
      waitSocket(POLLOUT, deadline, timeout);
    }
    flush(deadline, timeout);
    collect(deadline, timeout);
  }

  // A statement that did not succeed: a lost connection, or a refusal.
  [[noreturn]] void fail(const PGresult* r) {
    const std::string why =
        r ? PQresultErrorMessage(r) : (conn_ ? PQerrorMessage(conn_.get()) : "no connection");
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      throw ConnectionLost(
          fmt::format("lost the table database server {}: {}", where_, trimmed(why)));
    }
    throw Error(fmt::format("table database {}: {}", where_, trimmed(why)));
  }

 private:
  static Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  [[noreturn]] void timedOut(double timeout) {
    conn_.reset();
    throw StoreUnavailable(
        fmt::format("the table database server {} did not answer within {} s", where_, timeout));
  }

  void waitSocket(short events, Clock::time_point deadline, double timeout) {
    const int sock = PQsocket(conn_.get());
    if (sock < 0) {
      fail(nullptr);
    }
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        timedOut(timeout);
      }
      pollfd p{sock, events, 0};
      const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, 1 << 30)));
      if (rc > 0) {
        return;
      }
      if (rc < 0 && errno != EINTR) {
        fail(nullptr);
      }
    }
  }

  void flush(Clock::time_point deadline, double timeout) {
    while (true) {
      const int r = PQflush(conn_.get());
      if (r == 0) {
        return;
      }
      if (r < 0) {
        fail(nullptr);
      }
      waitSocket(POLLOUT | POLLIN, deadline, timeout);
      if (PQconsumeInput(conn_.get()) != 1) {
        fail(nullptr);
      }
    }
  }

  // The results of what was sent: the last one, or the first failure once all have come.
  // A COPY's first result is answered at once, for the data to follow.
  Result collect(Clock::time_point deadline, double timeout) {
    Result last;
    Result failed;
    while (true) {
      while (PQisBusy(conn_.get()) != 0) {
        waitSocket(POLLIN, deadline, timeout);
        if (PQconsumeInput(conn_.get()) != 1) {
          fail(nullptr);
        }
      }
      Result r(PQgetResult(conn_.get()));
      if (!r) {
        break;
      }
      const auto status = PQresultStatus(r.get());
      if (status == PGRES_COPY_IN) {
        return r;
      }
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        if (!failed) {
          failed = std::move(r);
        }
      } else {
        last = std::move(r);
      }
    }
    if (failed || !last) {
      fail(failed.get());
    }
    return last;
  }

  std::string url_;
  std::string where_;
  const StoreSettings& settings_;
  std::unique_ptr<PGconn, ConnCloser> conn_;
};

class PostgresStore final : public TableStore, private Snapshot {
 public:
  PostgresStore(std::string url, const StoreSettings& settings)
      : settings_(settings),
        url_(std::move(url)),
        where_(redact_url(url_)),
        reader_(url_, where_, settings_),
        writer_(url_, where_, settings_) {}

  std::string where() const override { return where_; }

  void read(const std::function<void(Snapshot&)>& fn) override {
    std::lock_guard lock(read_mutex_);
    reading([&] {
      reader_.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", readTimeout());
      try {
        fn(*this);
        reader_.exec("COMMIT", readTimeout());
      } catch (...) {
        reader_.rollback();
        throw;
      }
    });
  }

  void replaceTable(const TableInfo& info, const std::vector<Unit>& units,
                    const Progress& progress) override {
    const double grace = settings_.grace();  // a wrong setting refuses the write up front
    std::lock_guard lock(write_mutex_);
    writing([&] {
      writer_.exec("BEGIN", kWriteTimeoutSeconds);
      try {
        const std::string freq = to_text(info.freq);
        lockTable(info.sn, freq);
        retire(info.sn, freq);
        Result added = writer_.run(
            "INSERT INTO cali_tables(sn, freq, version, rows, imported, layout) "
            "VALUES ($1, $2, $3, $4, $5, NULLIF($6, '')) RETURNING id",
            {info.sn, freq, info.version, std::to_string(units.size()), info.imported, info.layout},
            kWriteTimeoutSeconds);
        const std::string id = PQgetvalue(added.get(), 0, 0);
        copyUnits(id, units, progress);
        writer_.exec("COMMIT", kWriteTimeoutSeconds);
      } catch (...) {
        writer_.rollback();
        throw;
      }
    });
    purge(grace);
    if (progress) {
      progress(units.size(), units.size());
    }
  }

  bool removeTable(const std::string& sn, double freq) override {
    const double grace = settings_.grace();
    std::lock_guard lock(write_mutex_);
    bool found = false;
    writing([&] {
      writer_.exec("BEGIN", kWriteTimeoutSeconds);
      try {
        const std::string text = to_text(freq);
        lockTable(sn, text);
        found = retire(sn, text);
        writer_.exec("COMMIT", kWriteTimeoutSeconds);
      } catch (...) {
        writer_.rollback();
        throw;
      }
    });
    purge(grace);
    return found;
  }

  std::vector<TableInfo> tables() override {
    std::lock_guard lock(read_mutex_);
    std::vector<TableInfo> out;
    reading([&] {
      out.clear();
      Result r = reader_.run(migrated_ ? "SELECT sn, freq, version, rows, imported, "
                                         "COALESCE(layout, '') FROM cali_tables ORDER BY sn, freq"
                                       : "SELECT sn, freq, version, rows, imported, '' "
                                         "FROM cali_tables ORDER BY sn, freq",
                             {}, readTimeout());
      for (int i = 0; i < PQntuples(r.get()); ++i) {
        out.push_back({PQgetvalue(r.get(), i, 0), std::stod(PQgetvalue(r.get(), i, 1)),
                       PQgetvalue(r.get(), i, 2), std::stoll(PQgetvalue(r.get(), i, 3)),
                       PQgetvalue(r.get(), i, 4), PQgetvalue(r.get(), i, 5)});
      }
    });
    return out;
  }

  std::vector<Document> documents(const std::string& kind) override {
    std::lock_guard lock(read_mutex_);
    std::vector<Document> out;
    reading([&] {
      out.clear();
      Result r = reader_.run("SELECT key, value FROM documents WHERE kind = $1 ORDER BY seq",
                             {kind}, readTimeout());
      for (int i = 0; i < PQntuples(r.get()); ++i) {
        out.push_back({PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1)});
      }
    });
    return out;
  }

  std::optional<std::string> document(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(read_mutex_);
    std::optional<std::string> out;
    reading([&] {
      Result r = reader_.run("SELECT value FROM documents WHERE kind = $1 AND key = $2",
                             {kind, key}, readTimeout());
      out.reset();
      if (PQntuples(r.get()) > 0) {
        out = PQgetvalue(r.get(), 0, 0);
      }
    });
    return out;
  }

  void putDocument(const std::string& kind, const std::string& key,
                   const std::string& json) override {
    std::lock_guard lock(write_mutex_);
    writing([&] {
      writer_.run(
          "INSERT INTO documents(kind, key, value) VALUES ($1, $2, $3) "
          "ON CONFLICT(kind, key) DO UPDATE SET value = excluded.value",
          {kind, key, json}, readTimeout());
    });
  }

  bool removeDocument(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(write_mutex_);
    bool found = false;
    writing([&] {
      Result r = writer_.run("DELETE FROM documents WHERE kind = $1 AND key = $2", {kind, key},
                             readTimeout());
      found = std::string(PQcmdTuples(r.get())) != "0";
    });
    return found;
  }

 private:
  // --- Snapshot, called inside read() with the read lock held ------------------------------

  std::optional<std::int64_t> tableId(const std::string& sn, double freq) override {
    Result r = reader_.run("SELECT id FROM cali_tables WHERE sn = $1 AND freq = $2",
                           {sn, to_text(freq)}, readTimeout());
    if (PQntuples(r.get()) == 0) {
      return std::nullopt;
    }
    return std::stoll(PQgetvalue(r.get(), 0, 0));
  }

  std::optional<std::string> unit(std::int64_t id, const std::string& path) override {
    Result r = reader_.run("SELECT value FROM cali_units WHERE table_id = $1 AND path = $2",
                           {std::to_string(id), path}, readTimeout());
    if (PQntuples(r.get()) == 0) {
      return std::nullopt;
    }
    return std::string(PQgetvalue(r.get(), 0, 0),
                       static_cast<std::size_t>(PQgetlength(r.get(), 0, 0)));
  }

  std::vector<Unit> unitsUnder(std::int64_t id, const std::string& prefix) override {
    Result r;
    std::size_t cut = 0;
    if (prefix.empty()) {
      r = reader_.run("SELECT path, value FROM cali_units WHERE table_id = $1 ORDER BY seq",
                      {std::to_string(id)}, readTimeout());
    } else {
      const auto [low, high] = prefix_range(prefix);
      r = reader_.run(
          "SELECT path, value FROM cali_units WHERE table_id = $1 AND path >= $2 AND path < $3 "
          "ORDER BY seq",
          {std::to_string(id), low, high}, readTimeout());
      cut = low.size();
    }
    std::vector<Unit> out;
    out.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      out.push_back({std::string(PQgetvalue(r.get(), i, 0)).substr(cut),
                     std::string(PQgetvalue(r.get(), i, 1),
                                 static_cast<std::size_t>(PQgetlength(r.get(), i, 1)))});
    }
    return out;
  }

  std::vector<double> frequencies(const std::string& sn) override {
    Result r = reader_.run("SELECT freq FROM cali_tables WHERE sn = $1 ORDER BY freq", {sn},
                           readTimeout());
    std::vector<double> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      out.push_back(std::stod(PQgetvalue(r.get(), i, 0)));
    }
    return out;
  }

  std::optional<std::string> tableLayout(std::int64_t id) override {
    Result r = reader_.run(
        migrated_ ? "SELECT COALESCE(layout, '') FROM cali_tables WHERE id = $1 UNION ALL "
                    "SELECT COALESCE(layout, '') FROM cali_retired WHERE id = $1"
                  : "SELECT '' FROM cali_tables WHERE id = $1",
        {std::to_string(id)}, readTimeout());
    if (PQntuples(r.get()) == 0) {
      return std::nullopt;
    }
    return std::string(PQgetvalue(r.get(), 0, 0));
  }

  // --- connections ---------------------------------------------------------------------

  double readTimeout() const { return settings_.queryTimeout(); }

  // Every operation checks the timeouts first, the writes' too (they wait longer for
  // another import, but a wrong setting is refused the same way everywhere).
  void checkTimeouts() const {
    settings_.queryTimeout();
    settings_.connectTimeout();
  }

  template <class Op>
  void reading(Op&& op) {
    checkTimeouts();
    reader_.retrying([&] { migrated_ = false; },
                     [&] {
                       if (!migrated_) {
                         checkReaderSchema();
                       }
                       op();
                     });
  }

  template <class Op>
  void writing(Op&& op) {
    checkTimeouts();
    writer_.retrying([&] { prepareWriter(); }, op);
  }

  // Reading creates nothing: a database without the store's tables is refused by name.
  void checkReaderSchema() {
    Result r = reader_.run(kCountTables, {}, readTimeout());
    if (std::string(PQgetvalue(r.get(), 0, 0)) != "3") {
      throw StoreUnavailable(fmt::format("{} is not a table database", where_));
    }
    migrated_ = std::string(PQgetvalue(r.get(), 0, 1)) == "1";
  }

  // A writer makes the store's tables, or adds what a store made before lacks. Hosts that
  // only read may lack the right to create tables: they never get here.
  void prepareWriter() {
    Result r = writer_.run(kCountTables, {}, kWriteTimeoutSeconds);
    if (std::string(PQgetvalue(r.get(), 0, 0)) == "3" &&
        std::string(PQgetvalue(r.get(), 0, 1)) == "1") {
      return;
    }
    writer_.exec("BEGIN", kWriteTimeoutSeconds);
    try {
      writer_.exec(kSchema, kWriteTimeoutSeconds);
      writer_.exec("COMMIT", kWriteTimeoutSeconds);
    } catch (...) {
      writer_.rollback();
      throw;
    }
  }

  // Writes of one table wait for each other here, until the holder's transaction ends. A
  // removal must wait too: its DELETE alone would wait for the import's row, find it gone at
  // the import's commit and miss the row that import added.
  void lockTable(const std::string& sn, const std::string& freq) {
    writer_.run("SELECT pg_advisory_xact_lock(hashtext($1))", {sn + "@" + freq},
                kWriteTimeoutSeconds);
  }

  // Moves the current table of `sn` at `freq` to the retired imports; false when none.
  bool retire(const std::string& sn, const std::string& freq) {
    Result r = writer_.run(
        "WITH old AS (DELETE FROM cali_tables WHERE sn = $1 AND freq = $2 "
        "RETURNING id, sn, freq, layout) "
        "INSERT INTO cali_retired(id, sn, freq, layout, retired) "
        "SELECT id, sn, freq, layout, extract(epoch FROM clock_timestamp()) FROM old "
        "RETURNING id",
        {sn, freq}, kWriteTimeoutSeconds);
    return PQntuples(r.get()) > 0;
  }

  // The imports retired longer than the grace period, by the server's clock. One that cannot
  // be purged now is left to the next write: the write itself is done.
  void purge(double grace) {
    try {
      writing([&] {
        writer_.run(
            "WITH gone AS (DELETE FROM cali_retired WHERE retired <= "
            "extract(epoch FROM clock_timestamp()) - $1 RETURNING id) "
            "DELETE FROM cali_units WHERE table_id IN (SELECT id FROM gone)",
            {to_text(grace)}, kWriteTimeoutSeconds);
      });
    } catch (const Error&) {
    }
  }

  void copyUnits(const std::string& id, const std::vector<Unit>& units, const Progress& progress) {
    writer_.exec("COPY cali_units(table_id, path, seq, value) FROM STDIN", kWriteTimeoutSeconds);
    std::string chunk;
    for (std::size_t i = 0; i < units.size(); ++i) {
      chunk += id;
      chunk += '\t';
      append_copy_field(chunk, units[i].path);
      chunk += '\t';
      chunk += std::to_string(i);
      chunk += '\t';
      append_copy_field(chunk, units[i].json);
      chunk += '\n';
      if (chunk.size() > (1 << 20)) {
        writer_.copyData(chunk, kWriteTimeoutSeconds);
        chunk.clear();
        if (progress) {
          progress(i, units.size());
        }
      }
    }
    writer_.copyData(chunk, kWriteTimeoutSeconds);
    writer_.copyEnd(kWriteTimeoutSeconds);
  }

  StoreSettings settings_;
  std::string url_;
  std::string where_;
  std::mutex read_mutex_;
  std::mutex write_mutex_;
  Connection reader_;
  Connection writer_;
  bool migrated_ = false;  // the reader has seen the retired imports' table
};

}  // namespace

std::shared_ptr<TableStore> make_postgres_store(std::string url, const StoreSettings& settings) {
  return std::make_shared<PostgresStore>(std::move(url), settings);
}

}  // namespace arvcore::tabledb
