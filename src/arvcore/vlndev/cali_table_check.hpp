#pragma once
// A calibration table examined as a whole: every row the layout requires, duplicated keys,
// cells that are not numbers, the header against the device, and the table's own layout
// against the device's. A device's parse stops at the first fault; this finds all of them
// and says where each one is.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/cali_layout.hpp"

namespace arvcore::value {
class CsvRow;
}

namespace arvcore::vlndev {

/// One fault of a table. Fields that do not apply stay empty (0 for numbers).
struct CaliProblem {
  bool error = true;  // false: a warning (the device still works with the table)
  std::string message;
  std::int64_t line = 0;  // 1-based
  std::string row;        // row key, e.g. "COMDR"
  std::string mode;       // "TX" / "RX"
  std::int64_t board = 0, chip = 0, channel = 0;
  std::string step;         // "COM_1"
  std::string gain, phase;  // as the table writes them

  /// "error: line 57: board 5 is beyond the layout's 4 boards".
  std::string text() const;
  /// The fields that apply, with "severity", "message" and "line".
  Value to_value() const;
  /// Only the place: "row", "mode", "board", ... as far as they apply.
  Value place() const;
  /// The place in words: "TX board 2 chip 1 channel 3 COM_1" (gain and phase not included).
  std::string place_text() const;
};

/// What the table is checked against.
struct CaliCheckOptions {
  /// Expected serial number and centre frequency (GHz); empty: read from the file name
  /// `{SN}_{FREQ}GHz.csv`, else from the table itself.
  std::string sn;
  std::optional<double> freq;
  /// The device's layout; empty: the table's own.
  std::optional<CaliLayout> device;
  std::string ver_limit = "2.0.0";
};

struct CaliCheckReport {
  std::string file;
  bool readable = false;  // false: the file could not be opened
  RetType result;         // what a device's parse of the file answers
  std::optional<CaliLayout> device, table;
  std::vector<CaliProblem> problems;

  std::size_t errors() const;
  std::size_t warnings() const;
  /// {"file", "result": {"code", "message"}, "layout": {"device", "table"}, "problems"}.
  Value to_value() const;
};

/// Checks the calibration file `file`.
CaliCheckReport check_cali_table(const std::filesystem::path& file,
                                 const CaliCheckOptions& options = {});

/// What is wrong with `row`, a row that a parse with `layout` failed on, in words
/// ("MEAS gain 'abc' is not a number"); `fallback` when no fault of the row itself is found
/// (the row may be fine and an earlier one missing).
std::string describe_row_problem(const value::CsvRow& row, const CaliLayout& layout,
                                 std::string_view fallback);

/// The numbers of a version text ("v3.0.0", " 3.0.0 " read as 3, 0, 0); empty when it has
/// none ("abc", "3.0-rc").
std::optional<std::vector<std::uint64_t>> version_numbers(std::string_view text);

/// Whether version `a` is below `b`, number by number (missing numbers count as 0); a text
/// without numbers is below every version that has them.
bool version_less(std::string_view a, std::string_view b);

/// The serial number and frequency a file name `{SN}_{FREQ}GHz.csv` gives; false when it
/// does not follow the pattern.
bool cali_file_name(const std::string& name, std::string& sn, double& freq);

}  // namespace arvcore::vlndev
