#pragma once
// Where a row of a calibration CSV file is read into the table: one handler per row key
// (DATA, VER, REALVER, SN, FCENTER, DR, OFFSET_TX, OFFSET_RX, COMDR, ELEDR, TEMPADC, TC,
// COMSTEPDR, END), found through one table of keys; rows of any other key are skipped.
// CalibrationTableManager::parse finds the file, hands every row to a CaliRowReader and
// exports the table.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/base/log.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/cali_layout.hpp"

namespace arvcore::vlndev::detail {

class CaliData;

/// `map[key]` of a table: the entry must exist (KeyError otherwise).
template <class V>
V& child(V& map, std::string_view key) {
  if (!map.is_object()) {
    throw TypeError(fmt::format("'{}' entry cannot hold '{}'", map.type_name(), key));
  }
  auto it = map.find(key);
  if (it == map.end()) {
    throw KeyError(fmt::format("'{}'", key));
  }
  return *it;
}

/// Numeric equality of a frequency read from a file or table with the manager's frequency,
/// which the caller may have given as any value (a non-number never matches).
inline bool same_freq(double f, const Value& freq) {
  return freq.is_number() && f == freq.get<double>();
}

/// The device a table is read for, which its header rows must match.
struct CaliDevice {
  const std::string& sn;
  const Value& freq;
  const std::string& ver_limit;
  CaliLayout layout;
};

/// Reads the rows of one parse into its table, one row at a time, in file order.
class CaliRowReader {
 public:
  /// DATA rows go to `data`, every other row to `table`. `file_label` names the file in the
  /// record that says why a header was refused.
  CaliRowReader(Value& table, CaliData& data, const CaliDevice& device, const log::Logger& logger,
                const std::string& file_label);
  ~CaliRowReader();
  CaliRowReader(const CaliRowReader&) = delete;
  CaliRowReader& operator=(const CaliRowReader&) = delete;

  /// Reads `row`, which starts on line `line`, through the handler of its key (its first
  /// cell). False when no later row may be read: the table's header was refused (see
  /// header_result()). Throws when the row cannot be read into the table.
  bool read(const value::CsvRow& row, std::size_t line);

  /// True once the END row was read.
  bool end_seen() const;
  /// The header check's answer: ok unless the header was refused.
  const RetType& header_result() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace arvcore::vlndev::detail
