#pragma once
// Web-mode access to the calibration table database: builds request maps from a template,
// holds queries to send them as one batch, and turns replies into envelopes.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/db_queryer.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore {

/// Makes a component for a table name; may throw.
using DBQueryerProvider = std::function<std::unique_ptr<DBQueryer>(const std::string& table_name)>;

/// Installs the provider used by later facades; an empty function puts back the module's own.
void set_db_queryer_provider(DBQueryerProvider provider);

/// Obtains a component for `table_name` from the installed provider.
/// Throws arvcore::LoadError when the provider gives nothing; whatever it throws passes through.
std::unique_ptr<DBQueryer> load_db_queryer(const std::string& table_name);

}  // namespace arvcore

namespace arvcore::vlndev {

/// A failed database exchange; `ret()` is the envelope to answer the caller with.
class VLNTableDBError : public Error {
 public:
  VLNTableDBError(RetCode code, const std::string& msg) : Error(msg), ret_(code, msg) {}
  const RetType& ret() const { return ret_; }

 private:
  RetType ret_;
};

/// Facade between the calibration manager and the table database query component
/// (`_VLNTableDB` in the Python package).
class VLNTableDB {
 public:
  /// Obtains the query component for `table_name`. `temp` is the request template, shared
  /// with the caller: setFreq and setAAKitName change the caller's map too. A component that
  /// cannot be obtained is logged ("Dynamically import DB lib failed") and leaves a facade
  /// whose every later call raises VLNTableDBError(ERROR_DB_SERVER, "DB server connection error").
  /// `layout` is the device's [boards, ICs per board, channels per IC] (null when unknown),
  /// which the selected table must have been imported for.
  VLNTableDB(const std::string& table_name, std::shared_ptr<Value> temp, Value layout = nullptr);

  /// Stores `freq` under "frequency" in the template and has the component select the table
  /// of the template's serial number at that frequency: later queries read that import until
  /// the next setFreq. Answers the component's refusal (ERROR_DB_FEEDBACK: no such table, or
  /// one of another layout) or ERROR_DB_SERVER as its envelope.
  RetType setFreq(const Value& freq);
  /// Stores `name` under "AAKIT_NAME" in the template.
  RetType setAAKitName(const std::string& name);
  /// Sends the template with the command "get" + name + "List".
  RetType getTableList(const std::string& name);
  /// One query: `key` is a text key path, a list of key paths (lists of texts), or a flat list
  /// of keys forming one path. With applySetting false the request is held and nothing is
  /// sent; otherwise it is sent alone, or together with the held ones as one batch whose
  /// answer is the list of results in hold order. A batch leaves nothing held, also when it
  /// fails: its requests never go out again with, or answer, a later query.
  RetType query(const Value& key = "", const std::string& category = "GENERAL",
                bool applySetting = true);
  /// Drops the held requests.
  void cleanQueryCache();

  /// The request template (shared with the caller).
  const Value& requestTemplate() const;
  /// Held requests, "query-0", "query-1", ...
  const Value& heldQueries() const;

 private:
  RetType returnDB(const Value& db_info) const;
  void requireComponent() const;

  log::Logger logger_;
  std::unique_ptr<DBQueryer> db_;
  std::shared_ptr<Value> template_;
  Value layout_;
  Value query_unsend_;
};

}  // namespace arvcore::vlndev
