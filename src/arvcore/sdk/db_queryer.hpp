#pragma once
// The table database query component. Each table-database facade obtains its component from
// the installed provider by table name. The module's own provider answers from the store
// configured by ARVCORE_TABLE_DB (see table_db_queryer.hpp); a host may install another.

#include <functional>
#include <memory>
#include <string>

#include "arvcore/value/value.hpp"

namespace arvcore {

/// One connection to the table database for one table.
///
/// A reply is either a string (the server could not be reached) or a map with "code"
/// (0 on success), "data" and, when "code" is not 0, "message".
class DBQueryer {
 public:
  virtual ~DBQueryer() = default;
  /// Sends one request map.
  virtual Value queryDB(const Value& payload) = 0;
  /// Sends a payload with an explicit command ("getFreqList", "getMultiData", ...).
  virtual Value queryDB(const Value& payload, const std::string& queryCmd) = 0;
  /// Selects the table that later requests for the payload's "sn" and "frequency" are
  /// answered from, for a device of `layout` ([boards, ICs per board, channels per IC], or
  /// null when unknown); answers a reply of the same form. A component that answers every
  /// request afresh has nothing to select: this default answers success.
  virtual Value selectTable(const Value& payload, const Value& layout);
};

/// Makes a component for a table name; may throw.
using DBQueryerProvider = std::function<std::unique_ptr<DBQueryer>(const std::string& table_name)>;

/// Installs the provider used by later facades; an empty function puts back the module's own.
void set_db_queryer_provider(DBQueryerProvider provider);

/// Obtains a component for `table_name` from the installed provider.
/// Throws arvcore::LoadError when the provider gives nothing; whatever it throws passes through.
std::unique_ptr<DBQueryer> load_db_queryer(const std::string& table_name);

}  // namespace arvcore
