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
  /// Reads a DATA row given by its first cells (see is_data_row) as read() would.
  void read_data(const value::CsvCells& cells);

  /// Takes the DATA rows that a DataRowReader read into `ahead` from the row after the last
  /// one read here on, as if they had been read here, leaving `ahead` empty. False, with
  /// nothing taken, when a row names a board and mode the table lacks: those rows must then be
  /// read here, to fail in their place.
  bool take_data(CaliData& ahead);

  /// True once the END row was read.
  bool end_seen() const;
  /// The header check's answer: ok unless the header was refused.
  const RetType& header_result() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

/// The first cell of a DATA row.
inline constexpr std::string_view kDataKey = "DATA";

/// Whether a line's first cells are those of a DATA row, which the row readers take as they
/// are, unsplit past them.
inline bool is_data_row(const value::CsvCells& cells) {
  return cells[0] == kDataKey;
}

/// Reads DATA rows into a store alone, apart from the table they belong to: rows read ahead of
/// their turn, whose places CaliRowReader::take_data checks once their turn comes.
class DataRowReader {
 public:
  explicit DataRowReader(CaliData& data);
  /// A reader into `data` that knows the channel keys `keys` has met, which `data` was seeded
  /// with (CaliData::seed_keys).
  DataRowReader(CaliData& data, const DataRowReader& keys);
  ~DataRowReader();
  DataRowReader(const DataRowReader&) = delete;
  DataRowReader& operator=(const DataRowReader&) = delete;

  /// Reads `row` if it is a DATA row, throwing where CaliRowReader::read would, and skips a
  /// row whose key the table does not know. False for a row of any other kind, which only
  /// the table's own reader may read.
  bool read(const value::CsvRow& row);
  /// Reads a DATA row given by its first cells (see is_data_row) as read() would.
  void read_data(const value::CsvCells& cells);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace arvcore::vlndev::detail
