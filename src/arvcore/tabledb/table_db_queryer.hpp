#pragma once
// The module's own table database query component: answers the requests of the table
// database facade (single payloads, "getMultiData" batches, "getFreqList") from a store of
// imported calibration tables (see table_store.hpp).

#include <memory>
#include <string>

#include "arvcore/sdk/db_queryer.hpp"
#include "arvcore/tabledb/table_store.hpp"

namespace arvcore::tabledb {

/// A query component for `table_name` over `store`. A store that cannot be reached answers
/// the text reply (logged under "TblDB" with the store's path or host); a table or entry
/// that the store lacks answers a failure reply naming it.
std::unique_ptr<DBQueryer> make_store_queryer(const std::string& table_name,
                                              std::shared_ptr<TableStore> store);

/// The default provider: a component over the store configured for this process
/// (configured_url(), read when the component is made).
std::unique_ptr<DBQueryer> default_db_queryer(const std::string& table_name);

}  // namespace arvcore::tabledb
