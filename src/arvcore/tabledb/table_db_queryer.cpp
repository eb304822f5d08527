#include "arvcore/tabledb/table_db_queryer.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/pynum.hpp"

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

std::string no_table(const std::string& sn, const Value& request) {
  return fmt::format("no calibration table of {} at {} GHz", sn,
                     value::str(field(request, "frequency")));
}

// "4,1,4" for an `rf_layout` answer of three integers; empty for anything else.
std::string layout_text(const Value& layout) {
  if (!layout.is_array() || layout.size() != 3) {
    return {};
  }
  std::string out;
  for (const auto& n : layout) {
    if (!n.is_number_integer()) {
      return {};
    }
    out += (out.empty() ? "" : ",") + std::to_string(n.get<std::int64_t>());
  }
  return out;
}

// The import a facade selected for one serial number and frequency, or why it may not read it
// (the selection was refused, or the store could not be reached then).
struct Selected {
  std::int64_t id = 0;
  std::string refusal;
  bool unreachable = false;
};

// A selection that failed because the store could not be reached: answered as then, without
// looking at the store again.
class StillUnreachable : public Error {
 public:
  using Error::Error;
};

// The step map a ComData key path names: the path up to its channel key ("<channel>_<gain
// step>_<phase>", which may hold a "." of its own, as in 1_35_22.5, but no "_" in its phase).
std::string_view step_path_of(std::string_view path) {
  const auto gain_sep = path.rfind('_');
  const auto channel_sep = gain_sep == 0 || gain_sep == std::string_view::npos
                               ? std::string_view::npos
                               : path.rfind('_', gain_sep - 1);
  const auto dot = channel_sep == 0 || channel_sep == std::string_view::npos
                       ? std::string_view::npos
                       : path.rfind('.', channel_sep - 1);
  return dot == std::string_view::npos ? path : path.substr(0, dot);
}

class StoreQueryer final : public DBQueryer {
 public:
  StoreQueryer(std::string table_name, std::shared_ptr<TableStore> store)
      : logger_("TblDB"), table_name_(std::move(table_name)), store_(std::move(store)) {}

  Value queryDB(const Value& payload) override {
    return guarded([&] {
      Value data;
      store_->read([&](Snapshot& s) {
        Checked checked;
        data = answerRequest(s, payload, checked);
      });
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
          Checked checked;
          for (const auto& [key, request] : payload.items()) {
            data[key] = answerRequest(s, request, checked);
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

  // The import current now answers every later request for this serial number and
  // frequency, until the next selection: a re-import meanwhile changes nothing the facade's
  // manager answers.
  // A selection that fails is kept as well: until the next selection succeeds, the facade's
  // requests answer its failure, and a table imported meanwhile is not read.
  Value selectTable(const Value& payload, const Value& layout) override {
    return guarded([&] {
      const std::string& sn = text_field(payload, "sn");
      const auto key = std::make_pair(sn, frequency_of(payload));
      Selected pick;
      try {
        pick = pickTable(sn, payload, layout);
      } catch (const StoreUnavailable&) {
        keep(key, Selected{0, {}, true});
        throw;
      } catch (const std::exception& e) {
        keep(key, Selected{0, e.what(), false});
        throw;
      }
      keep(key, pick);
      if (!pick.refusal.empty()) {
        throw Refused(pick.refusal);
      }
      return Value(nullptr);
    });
  }

 private:
  // Selected imports found still kept, within one read.
  using Checked = std::vector<std::int64_t>;

  void keep(const std::pair<std::string, double>& key, Selected pick) {
    std::lock_guard lock(mutex_);
    selected_[key] = std::move(pick);
  }

  // The current import of `sn` at the payload's frequency, refused when there is none or it
  // was imported for another layout.
  Selected pickTable(const std::string& sn, const Value& payload, const Value& layout) {
    std::optional<std::int64_t> id;
    std::optional<std::string> stored;
    store_->read([&](Snapshot& s) {
      id = s.tableId(sn, frequency_of(payload));
      if (id) {
        stored = s.tableLayout(*id);
      }
    });
    if (!id) {
      return Selected{0, no_table(sn, payload), false};
    }
    Selected pick{*id, {}, false};
    const std::string wanted = layout_text(layout);
    // Tables imported before layouts were recorded are not checked.
    if (!wanted.empty() && stored && !stored->empty() && *stored != wanted) {
      pick.refusal = fmt::format(
          "the calibration table of {} at {} GHz is for the layout {}, not this device's {}", sn,
          value::str(field(payload, "frequency")), *stored, wanted);
    }
    return pick;
  }

  // Whether import `id` holds the step map of the ComData key path `full`. Imports never
  // change, so what was found is kept (a step is put together from its rows to be found).
  bool hasStep(Snapshot& snapshot, std::int64_t id, std::string_view full) {
    std::string key = fmt::format("{}:{}", id, step_path_of(full));
    {
      std::lock_guard lock(mutex_);
      if (const auto it = steps_.find(key); it != steps_.end()) {
        return it->second;
      }
    }
    const bool found = resolve(snapshot, id, std::string(step_path_of(full))).has_value();
    std::lock_guard lock(mutex_);
    if (steps_.size() >= kMostSteps) {
      steps_.clear();
    }
    steps_.emplace(std::move(key), found);
    return found;
  }

  std::optional<Selected> selection(const std::string& sn, double freq) {
    std::lock_guard lock(mutex_);
    auto it = selected_.find(std::make_pair(sn, freq));
    if (it == selected_.end()) {
      return std::nullopt;
    }
    return it->second;
  }

  // Data of one request: a map from each key path asked for to its value, in request order.
  Value answerRequest(Snapshot& snapshot, const Value& request, Checked& checked) {
    const std::string& sn = text_field(request, "sn");
    const double freq = frequency_of(request);
    std::optional<std::int64_t> id;
    if (auto pick = selection(sn, freq)) {
      if (pick->unreachable) {
        throw StillUnreachable("the store could not be reached at the last selection");
      }
      if (!pick->refusal.empty()) {
        throw Refused(pick->refusal);
      }
      id = pick->id;
      if (std::find(checked.begin(), checked.end(), *id) == checked.end()) {
        if (!snapshot.tableLayout(*id)) {
          throw Refused(fmt::format(
              "the calibration table of {} at {} GHz was replaced; parse again to read the "
              "current one",
              sn, value::str(field(request, "frequency"))));
        }
        checked.push_back(*id);
      }
    } else if ((id = snapshot.tableId(sn, freq))) {
      // A facade that reads before any selection (a manager that never parsed) keeps to the
      // import it first read, so that its answers never mix two imports either.
      std::lock_guard lock(mutex_);
      selected_.emplace(std::make_pair(sn, freq), Selected{*id, {}});
    }
    if (!id) {
      throw Refused(no_table(sn, request));
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
      } else if (!is_comdata_path(full) || !hasStep(snapshot, *id, full)) {
        // A ComData entry is left out only when its step holds no such channel key, as a
        // parsed table leaves it out; a step, chip, mode or board the table lacks is refused.
        throw Refused(
            fmt::format("the calibration table of {} at {} GHz has no entry {}", sn,
                        value::str(field(request, "frequency")),
                        is_comdata_path(full) ? step_path_of(full) : std::string_view(full)));
      }
    }
    return data;
  }

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
    } catch (const StillUnreachable&) {
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
  std::mutex mutex_;
  std::map<std::pair<std::string, double>, Selected> selected_;
  // Whether an import holds a step map, by "<import id>:<step path>".
  static constexpr std::size_t kMostSteps = 4096;
  std::unordered_map<std::string, bool> steps_;
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
