#pragma once
// Imports calibration CSV files into the table database: each file is parsed exactly as a
// local-mode manager parses it, and the resulting table replaces the stored one of its serial
// number and frequency in one transaction.

#include <filesystem>
#include <string>
#include <vector>

#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/tabledb/table_store.hpp"
#include "arvcore/value/value.hpp"

namespace arvcore::vlndev {

/// Serial number and frequency named by a calibration file "{SN}_{Freq}GHz.csv": the text
/// before the last "_", and the number between it and "GHz.csv". Throws ValueError for any
/// other name.
struct CaliFileIdentity {
  std::string sn;
  Value freq;  // integer or float, as written in the name
};
CaliFileIdentity cali_file_identity(const std::filesystem::path& file);

class CalibrationTableManager;

/// The table database units of `manager`'s table: what tabledb::split_table gives for its
/// whole tree, made from the header tree and one chip map of ComData entries at a time.
std::vector<tabledb::Unit> table_units(const CalibrationTableManager& manager);

/// Parses `file` for a device of `layout` ([boards, ICs per board, channels per IC]; null to
/// take the layout the table's own rows describe) and, when the parse answers OK, stores the
/// table with its layout under the name's serial number and frequency. A broken file is
/// refused with its parse envelope, a layout that disagrees with the rows (or none given for
/// rows that do not tell it) with ValueError naming both; the store is then left as it was.
RetType import_calibration_file(tabledb::TableStore& store, const std::filesystem::path& file,
                                const Value& layout, const tabledb::Progress& progress = {});

}  // namespace arvcore::vlndev
