#pragma once
// The table database query component: what a table-database facade sends its requests to.
// The facade obtains one per table name from the installed provider (vln_table_db.hpp); the
// module's own component answers from the table store (tabledb/table_db_queryer.hpp).

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

}  // namespace arvcore
