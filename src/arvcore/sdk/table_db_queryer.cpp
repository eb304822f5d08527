#include "arvcore/sdk/table_db_queryer.hpp"

#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/logger.hpp"

namespace arvcore::tabledb {
namespace {

constexpr const char* kServerDown = "DB server connection error";
constexpr const char* kCalibration = "calibration";

/// A request the store cannot answer (unknown table, missing entry, malformed payload):
/// answered as a failure reply, not as a broken connection.
class Refused : public Error {
 public:
  using Error::Error;
};

Value ok(Value data) {
  Value r = Value::object();
  r["code"] = 0;
  r["data"] = std::move(data);
  return r;
}

Value failure(const std::string& message) {
  Value r = Value::object();
  r["code"] = 1;
  r["data"] = nullptr;
  r["message"] = message;
  return r;
}

const Value& field(const Value& request, const char* key) {
  if (!request.is_object()) {
    throw Refused(fmt::format("a request must be a map, not {}", request.type_name()));
  }
  auto it = request.find(key);
  if (it == request.end()) {
    throw Refused(fmt::format("the request has no '{}'", key));
  }
  return *it;
}

const std::string& text_field(const Value& request, const char* key) {
  const Value& v = field(request, key);
  if (!v.is_string()) {
    throw Refused(fmt::format("'{}' of a request must be a text, not {}", key, v.type_name()));
  }
  return v.get_ref<const std::string&>();
}

double frequency_of(const Value& request) {
  const Value& f = field(request, "frequency");
  if (!f.is_number() || f.is_boolean()) {
    throw Refused(fmt::format("'frequency' of a request must be a number, not {}", f.type_name()));
  }
  return f.get<double>();
}

// ComData entries are looked up by key and may be absent, as in a parsed table: such a key is
// left out of the answer instead of failing the whole chain.
bool is_comdata_path(std::string_view path) {
  return path.find(".DATA_CHIP_") != std::string_view::npos || path.starts_with("DATA_CHIP_");
}

// Data of one request: a map from each key path asked for to its value, in request order.
Value answer_request(Snapshot& snapshot, const Value& request) {
  const std::string& sn = text_field(request, "sn");
  const double freq = frequency_of(request);
  const auto id = snapshot.tableId(sn, freq);
  if (!id) {
    throw Refused(fmt::format("no calibration table of {} at {} GHz in the table database", sn,
                              value::str(field(request, "frequency"))));
  }
  std::string category = "GENERAL";
  if (auto it = request.find("category"); it != request.end()) {
    category = text_field(request, "category");
  }
  const Value& query = field(request, "query");
  if (!query.is_array()) {
    throw Refused("'query' of a request must be a list of key paths");
  }
  Value data = Value::object();
  for (const auto& p : query) {
    if (!p.is_string()) {
      throw Refused(fmt::format("a key path must be a text, not {}", p.type_name()));
    }
    const std::string& path = p.get_ref<const std::string&>();
    const std::string full = category == "GENERAL" ? path : category + "." + path;
    if (auto v = resolve(snapshot, *id, full)) {
      data[path] = std::move(*v);
    } else if (!is_comdata_path(full)) {
      throw Refused(fmt::format("the calibration table of {} at {} GHz has no entry {}", sn,
                                value::str(field(request, "frequency")), full));
    }
  }
  return data;
}

class StoreQueryer final : public DBQueryer {
 public:
  StoreQueryer(std::string table_name, std::shared_ptr<TableStore> store)
      : logger_("TblDB"), table_name_(std::move(table_name)), store_(std::move(store)) {}

  Value queryDB(const Value& payload) override {
    return guarded([&] {
      Value data;
      store_->read([&](Snapshot& s) { data = answer_request(s, payload); });
      return data;
    });
  }

  Value queryDB(const Value& payload, const std::string& queryCmd) override {
    return guarded([&] {
      Value data;
      if (queryCmd == "getMultiData") {
        if (!payload.is_object()) {
          throw Refused("a batch must map batch keys to requests");
        }
        data = Value::object();
        store_->read([&](Snapshot& s) {
          for (const auto& [key, request] : payload.items()) {
            data[key] = answer_request(s, request);
          }
        });
      } else if (queryCmd == "getFreqList") {
        const std::string& sn = text_field(payload, "sn");
        data = Value::array();
        store_->read([&](Snapshot& s) {
          for (double f : s.frequencies(sn)) {
            data.push_back(f);
          }
        });
      } else {
        throw Refused(fmt::format("unknown table database command '{}'", queryCmd));
      }
      return data;
    });
  }

 private:
  template <class Fn>
  Value guarded(Fn&& fn) {
    try {
      if (table_name_ != kCalibration) {
        throw Refused(fmt::format("the table database holds no '{}' tables", table_name_));
      }
      return ok(fn());
    } catch (const StoreUnavailable& e) {
      logger_.error("Table database unavailable: {}", e.what());
      return Value(kServerDown);
    } catch (const Refused& e) {
      return failure(e.what());
    } catch (const std::exception& e) {
      logger_.error("Table database {} failed: {}", store_->where(), e.what());
      return failure(e.what());
    }
  }

  log::Logger logger_;
  std::string table_name_;
  std::shared_ptr<TableStore> store_;
};

}  // namespace

std::unique_ptr<DBQueryer> make_store_queryer(const std::string& table_name,
                                              std::shared_ptr<TableStore> store) {
  return std::make_unique<StoreQueryer>(table_name, std::move(store));
}

std::unique_ptr<DBQueryer> default_db_queryer(const std::string& table_name) {
  return make_store_queryer(table_name, open_store(configured_url()));
}

}  // namespace arvcore::tabledb
