// The shared table database: one PostgreSQL server for many hosts. The connection is opened
// at the first call, kept, and opened again when the server went away (a restart).

#include <libpq-fe.h>

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

// Paths compare byte by byte ("C"), whatever the server's locale, so that the range of a
// prefix holds exactly the units below it.
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
)sql";

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

class PostgresStore final : public TableStore, private Snapshot {
 public:
  explicit PostgresStore(std::string url) : url_(std::move(url)), where_(redact_url(url_)) {}

  std::string where() const override { return where_; }

  void read(const std::function<void(Snapshot&)>& fn) override {
    std::lock_guard lock(mutex_);
    retrying([&] {
      exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
      try {
        fn(*this);
        exec("COMMIT");
      } catch (...) {
        rollback();
        throw;
      }
    });
  }

  void replaceTable(const TableInfo& info, const std::vector<Unit>& units,
                    const Progress& progress) override {
    std::lock_guard lock(mutex_);
    retrying([&] {
      exec("BEGIN");
      try {
        const std::string freq = to_text(info.freq);
        exec_params("SELECT pg_advisory_xact_lock(hashtext($1))", {info.sn + "@" + freq});
        remove_locked(info.sn, freq);
        Result added = exec_params(
            "INSERT INTO cali_tables(sn, freq, version, rows, imported) "
            "VALUES ($1, $2, $3, $4, $5) RETURNING id",
            {info.sn, freq, info.version, std::to_string(units.size()), info.imported});
        const std::string id = PQgetvalue(added.get(), 0, 0);
        copy_units(id, units, progress);
        exec("COMMIT");
      } catch (...) {
        rollback();
        throw;
      }
    });
    if (progress) {
      progress(units.size(), units.size());
    }
  }

  bool removeTable(const std::string& sn, double freq) override {
    std::lock_guard lock(mutex_);
    bool found = false;
    retrying([&] {
      exec("BEGIN");
      try {
        found = remove_locked(sn, to_text(freq));
        exec("COMMIT");
      } catch (...) {
        rollback();
        throw;
      }
    });
    return found;
  }

  std::vector<TableInfo> tables() override {
    std::lock_guard lock(mutex_);
    std::vector<TableInfo> out;
    retrying([&] {
      out.clear();
      Result r = exec_params(
          "SELECT sn, freq, version, rows, imported FROM cali_tables ORDER BY sn, freq", {});
      for (int i = 0; i < PQntuples(r.get()); ++i) {
        out.push_back({PQgetvalue(r.get(), i, 0), std::stod(PQgetvalue(r.get(), i, 1)),
                       PQgetvalue(r.get(), i, 2), std::stoll(PQgetvalue(r.get(), i, 3)),
                       PQgetvalue(r.get(), i, 4)});
      }
    });
    return out;
  }

  std::vector<Document> documents(const std::string& kind) override {
    std::lock_guard lock(mutex_);
    std::vector<Document> out;
    retrying([&] {
      out.clear();
      Result r =
          exec_params("SELECT key, value FROM documents WHERE kind = $1 ORDER BY seq", {kind});
      for (int i = 0; i < PQntuples(r.get()); ++i) {
        out.push_back({PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1)});
      }
    });
    return out;
  }

  std::optional<std::string> document(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(mutex_);
    std::optional<std::string> out;
    retrying([&] {
      Result r =
          exec_params("SELECT value FROM documents WHERE kind = $1 AND key = $2", {kind, key});
      out.reset();
      if (PQntuples(r.get()) > 0) {
        out = PQgetvalue(r.get(), 0, 0);
      }
    });
    return out;
  }

  void putDocument(const std::string& kind, const std::string& key,
                   const std::string& json) override {
    std::lock_guard lock(mutex_);
    retrying([&] {
      exec_params(
          "INSERT INTO documents(kind, key, value) VALUES ($1, $2, $3) "
          "ON CONFLICT(kind, key) DO UPDATE SET value = excluded.value",
          {kind, key, json});
    });
  }

  bool removeDocument(const std::string& kind, const std::string& key) override {
    std::lock_guard lock(mutex_);
    bool found = false;
    retrying([&] {
      Result r = exec_params("DELETE FROM documents WHERE kind = $1 AND key = $2", {kind, key});
      found = std::string(PQcmdTuples(r.get())) != "0";
    });
    return found;
  }

 private:
  // --- Snapshot, called inside read() with the lock held ---------------------------------

  std::optional<std::int64_t> tableId(const std::string& sn, double freq) override {
    Result r =
        exec_params("SELECT id FROM cali_tables WHERE sn = $1 AND freq = $2", {sn, to_text(freq)});
    if (PQntuples(r.get()) == 0) {
      return std::nullopt;
    }
    return std::stoll(PQgetvalue(r.get(), 0, 0));
  }

  std::optional<std::string> unit(std::int64_t id, const std::string& path) override {
    Result r = exec_params("SELECT value FROM cali_units WHERE table_id = $1 AND path = $2",
                           {std::to_string(id), path});
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
      r = exec_params("SELECT path, value FROM cali_units WHERE table_id = $1 ORDER BY seq",
                      {std::to_string(id)});
    } else {
      const auto [low, high] = prefix_range(prefix);
      r = exec_params(
          "SELECT path, value FROM cali_units WHERE table_id = $1 AND path >= $2 AND path < $3 "
          "ORDER BY seq",
          {std::to_string(id), low, high});
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
    Result r = exec_params("SELECT freq FROM cali_tables WHERE sn = $1 ORDER BY freq", {sn});
    std::vector<double> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      out.push_back(std::stod(PQgetvalue(r.get(), i, 0)));
    }
    return out;
  }

  // --- connection ----------------------------------------------------------------------

  // Runs `op` on a live connection. When the connection breaks under it (the server was
  // restarted), the connection is opened again and `op` runs once more; `op` is always a
  // whole transaction, so nothing is applied twice.
  template <class Op>
  void retrying(Op&& op) {
    connect();
    try {
      op();
    } catch (const ConnectionLost&) {
      conn_.reset();
      connect();
      op();
    }
  }

  void connect() {
    if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) {
      return;
    }
    // An unreachable host fails within seconds instead of the system's TCP timeout.
    const char* keys[] = {"dbname", "connect_timeout", nullptr};
    const char* values[] = {url_.c_str(), "5", nullptr};
    conn_.reset(PQconnectdbParams(keys, values, /*expand_dbname=*/1));
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      std::string why = conn_ ? PQerrorMessage(conn_.get()) : "out of memory";
      conn_.reset();
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
        why.pop_back();
      }
      throw StoreUnavailable(
          fmt::format("cannot reach the table database server {}: {}", where_, why));
    }
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    // Hosts that only read may lack the right to create tables: look before creating.
    Result present = exec_params(
        "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() AND "
        "tablename IN ('cali_tables', 'cali_units', 'documents')",
        {});
    if (std::string(PQgetvalue(present.get(), 0, 0)) == "3") {
      return;
    }
    exec("BEGIN");
    try {
      exec(kSchema);
      exec("COMMIT");
    } catch (...) {
      rollback();
      throw;
    }
  }

  // A statement that did not succeed: a lost connection, or a refusal.
  [[noreturn]] void fail(const PGresult* r) {
    const std::string why = r ? PQresultErrorMessage(r) : PQerrorMessage(conn_.get());
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      throw ConnectionLost(fmt::format("lost the table database server {}: {}", where_, why));
    }
    throw Error(fmt::format("table database {}: {}", where_, why));
  }

  Result check(PGresult* raw) {
    Result r(raw);
    const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN) {
      fail(r.get());
    }
    return r;
  }

  void exec(const char* sql) { check(PQexec(conn_.get(), sql)); }

  Result exec_params(const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) {
      values.push_back(p.c_str());
    }
    return check(PQexecParams(conn_.get(), sql, static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0));
  }

  void rollback() {
    if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) {
      PQclear(PQexec(conn_.get(), "ROLLBACK"));
    }
  }

  bool remove_locked(const std::string& sn, const std::string& freq) {
    Result r =
        exec_params("DELETE FROM cali_tables WHERE sn = $1 AND freq = $2 RETURNING id", {sn, freq});
    if (PQntuples(r.get()) == 0) {
      return false;
    }
    exec_params("DELETE FROM cali_units WHERE table_id = $1", {PQgetvalue(r.get(), 0, 0)});
    return true;
  }

  void copy_units(const std::string& id, const std::vector<Unit>& units, const Progress& progress) {
    check(PQexec(conn_.get(), "COPY cali_units(table_id, path, seq, value) FROM STDIN"));
    std::string chunk;
    auto flush = [&] {
      if (PQputCopyData(conn_.get(), chunk.data(), static_cast<int>(chunk.size())) != 1) {
        fail(nullptr);
      }
      chunk.clear();
    };
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
        flush();
        if (progress) {
          progress(i, units.size());
        }
      }
    }
    flush();
    if (PQputCopyEnd(conn_.get(), nullptr) != 1) {
      fail(nullptr);
    }
    check(PQgetResult(conn_.get()));
    while (PGresult* extra = PQgetResult(conn_.get())) {
      PQclear(extra);
    }
  }

  std::string url_;
  std::string where_;
  std::mutex mutex_;
  std::unique_ptr<PGconn, ConnCloser> conn_;
};

}  // namespace

std::shared_ptr<TableStore> make_postgres_store(const std::string& url) {
  return std::make_shared<PostgresStore>(url);
}

}  // namespace arvcore::tabledb
