#pragma once
// Local-mode ComData fetch that hands the table's own entries to a receiver instead of
// copying them into a result value. CalibrationTableManager::_getComData builds its result
// through it; a host binding can build its own objects from the same walk.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace arvcore::vlndev {

namespace detail {

/// Room for a channel key of integer parts: three fields of at most 20 digits and a sign,
/// two separators.
inline constexpr std::size_t kChannelKeyRoom = 72;

/// The gain part of a channel key for a float gain: gain * 10 truncated toward zero, by the
/// same double product the parse uses on the table's gain cells, so both sides agree.
/// Nothing when the product is no 64-bit integer.
inline std::optional<std::int64_t> gain_step_of(double gain) {
  const double product = gain * 10.0;
  if (!(product < 9.2e18 && product > -9.2e18)) {  // also refuses NaN
    return std::nullopt;
  }
  return static_cast<std::int64_t>(product);
}

/// The integer a whole-number phase (45.0, as numpy gives) stands for in a channel key, whose
/// phase part the table writes as an integer; nothing for any other phase (22.5, NaN, or one
/// beyond 64 bits), whose text is used as it is.
inline std::optional<std::int64_t> whole_phase(double phase) {
  if (!(phase < 9.2e18 && phase > -9.2e18) || std::trunc(phase) != phase) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(phase);
}

/// Writes "<channel>_<gain step>_" at `out` (room for kChannelKeyRoom chars, with the
/// phase); answers where the phase text goes.
char* write_key_prefix(char* out, std::int64_t channel, std::int64_t gain_step);

}  // namespace detail

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
