#pragma once
// Local-mode ComData fetch that hands the table's own entries to a receiver instead of
// copying them into a result value. CalibrationTableManager::_getComData builds its result
// through it; a host binding can build its own objects from the same walk.

#include <cstddef>
#include <cstdint>
#include <string>

#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace arvcore::vlndev {

/// Receives a fetch as it proceeds: boards in order; within a board each step once, then the
/// entries found for it in channel order. A board that fails part way is begun but never
/// ended, and must be left out of the result.
class ComDataReceiver {
 public:
  virtual ~ComDataReceiver() = default;
  virtual void beginBoard() = 0;
  /// `expected` is the number of entries asked for (some may be missing from the table).
  virtual void beginStep(const std::string& step, std::size_t expected) = 0;
  virtual void entry(const Value& entry) = 0;
  /// An entry of a parsed CSV table, kept as numbers: [integer, integer, float, float].
  virtual void entry(const detail::ComDataNumbers& entry) { this->entry(entry.value()); }
  virtual void endBoard() = 0;
};

/// `_getComData` of a manager that reads its own table (not the table database): the same
/// keys, lookups, log lines and failure handling, with the result handed to `out`.
/// `channel`, `gain`, `phase` and `com_list` must be lists (TypeError otherwise).
void fetchComDataLocal(const CalibrationTableManager& manager, const std::string& rf_mode_str,
                       std::int64_t board, std::int64_t chip, const Value& channel,
                       const Value& gain, const Value& phase, const Value& com_list,
                       ComDataReceiver& out);

}  // namespace arvcore::vlndev
