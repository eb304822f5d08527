#include "arvcore/vlndev/vln_table_db.hpp"

#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/tabledb/table_db_queryer.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/enums.hpp"

namespace arvcore {
namespace {

DBQueryerProvider& installed_provider() {
  static DBQueryerProvider provider = tabledb::default_db_queryer;
  return provider;
}

}  // namespace

void set_db_queryer_provider(DBQueryerProvider provider) {
  installed_provider() = provider ? std::move(provider) : tabledb::default_db_queryer;
}

std::unique_ptr<DBQueryer> load_db_queryer(const std::string& table_name) {
  const auto& provider = installed_provider();
  if (!provider) {
    throw LoadError("no table database back end is installed");
  }
  auto queryer = provider(table_name);
  if (!queryer) {
    throw LoadError("the table database back end gave no component for " + table_name);
  }
  return queryer;
}

}  // namespace arvcore

namespace arvcore::vlndev {
namespace {

constexpr std::string_view kBatchKeyPrefix = "query-";

// Joins texts with "." like the host's str.join: anything but a text is a TypeError.
std::string join_key_path(const Value& parts) {
  std::string out;
  std::size_t i = 0;
  for (const auto& part : parts) {
    if (!part.is_string()) {
      throw TypeError(
          fmt::format("sequence item {}: expected a text, {} found", i, part.type_name()));
    }
    if (i != 0) {
      out += '.';
    }
    out += part.get_ref<const std::string&>();
    ++i;
  }
  return out;
}

const Value& required_key(const Value& reply, const char* key) {
  if (!reply.is_object()) {
    throw TypeError(fmt::format("a database reply must be a map, not {}", reply.type_name()));
  }
  auto it = reply.find(key);
  if (it == reply.end()) {
    throw KeyError(fmt::format("'{}'", key));
  }
  return *it;
}

// Position of one batch result: the decimal number after "query-", below `count`.
std::size_t batch_index(const std::string& key, std::size_t count) {
  if (!key.starts_with(kBatchKeyPrefix)) {
    throw ValueError(fmt::format("unexpected batch key in database reply: '{}'", key));
  }
  const std::int64_t n = value::parse_int(std::string_view(key).substr(kBatchKeyPrefix.size()));
  if (n < 0 || static_cast<std::uint64_t>(n) >= count) {
    throw IndexError(fmt::format("batch key '{}' is outside the {} results returned", key, count));
  }
  return static_cast<std::size_t>(n);
}

// The results of a batch reply in hold order.
Value batch_results(const Value& results) {
  if (!results.is_object()) {
    throw TypeError(
        fmt::format("a batch reply must map batch keys to results, not {}", results.type_name()));
  }
  // Slots the reply leaves out stay 0.
  Value ordered(Value::array_t(results.size(), Value(0)));
  for (const auto& [k, v] : results.items()) {
    ordered[batch_index(k, results.size())] = v;
  }
  return ordered;
}

}  // namespace

VLNTableDB::VLNTableDB(const std::string& table_name, std::shared_ptr<Value> temp, Value layout)
    : logger_("TblDB"),
      template_(temp ? std::move(temp) : std::make_shared<Value>(Value::object())),
      layout_(std::move(layout)) {
  try {
    db_ = load_db_queryer(table_name);
    query_unsend_ = Value::object();
  } catch (...) {
    db_.reset();
    logger_.exception("Dynamically import DB lib failed");
  }
}

void VLNTableDB::requireComponent() const {
  if (!db_) {
    throw VLNTableDBError(RetCode::ERROR_DB_SERVER, "DB server connection error");
  }
}

RetType VLNTableDB::setFreq(const Value& freq) {
  requireComponent();
  (*template_)["frequency"] = freq;
  try {
    returnDB(db_->selectTable(*template_, layout_));
  } catch (const VLNTableDBError& e) {
    return e.ret();
  }
  return RetType();
}

RetType VLNTableDB::setAAKitName(const std::string& name) {
  requireComponent();
  (*template_)[std::string(enum_name(AAKitField::AAKIT_NAME))] = name;
  return RetType();
}

RetType VLNTableDB::getTableList(const std::string& name) {
  requireComponent();
  return returnDB(db_->queryDB(*template_, "get" + name + "List"));
}

RetType VLNTableDB::query(const Value& key, const std::string& category, bool applySetting) {
  requireComponent();
  if (!template_->is_object()) {
    throw TypeError("the request template must be a map");
  }
  Value payload = *template_;
  payload["category"] = category;
  Value paths = Value::array();
  if (key.is_array()) {
    for (const auto& element : key) {
      if (!element.is_array()) {
        // A flat list names one path.
        paths.push_back(join_key_path(key));
        break;
      }
      paths.push_back(join_key_path(element));
    }
  } else {
    paths.push_back(key);
  }
  payload["query"] = std::move(paths);

  const std::size_t count = query_unsend_.size();
  if (!applySetting) {
    query_unsend_[fmt::format("{}{}", kBatchKeyPrefix, count)] = std::move(payload);
    return RetType();
  }
  logger_.debug("[Query]: {}", payload);
  if (count == 0) {
    return returnDB(db_->queryDB(payload));
  }
  query_unsend_[fmt::format("{}{}", kBatchKeyPrefix, count)] = std::move(payload);
  // The batch goes out as this call's own: the component may let other callers of the
  // manager in, and a batch they start meanwhile must not take in or clear this one. A batch
  // whose answer fails is dropped with it: its caller has the failure, and a later query
  // answers its own request only.
  const Value batch = std::exchange(query_unsend_, Value::object());
  return RetType::Data(batch_results(returnDB(db_->queryDB(batch, "getMultiData")).RetData));
}

void VLNTableDB::cleanQueryCache() {
  requireComponent();
  query_unsend_ = Value::object();
}

const Value& VLNTableDB::requestTemplate() const {
  return *template_;
}

const Value& VLNTableDB::heldQueries() const {
  return query_unsend_;
}

RetType VLNTableDB::returnDB(const Value& db_info) const {
  if (db_info.is_string()) {
    throw VLNTableDBError(RetCode::ERROR_DB_SERVER, "DB server connection error");
  }
  const Value& code = required_key(db_info, "code");
  if (code.is_number() && code.get<double>() == 0) {
    const Value& res = required_key(db_info, "data");
    if (res.is_object() && res.size() == 1) {
      return RetType::Data(res.begin().value());
    }
    return RetType::Data(res);
  }
  const Value& msg = required_key(db_info, "message");
  throw VLNTableDBError(RetCode::ERROR_DB_FEEDBACK, value::str(msg));
}

}  // namespace arvcore::vlndev
