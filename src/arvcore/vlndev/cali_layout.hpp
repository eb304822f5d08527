#pragma once
// The layout a calibration table was measured for, as its own rows tell it. The offset rows
// cannot tell it (a 2,1,8 and a 4,1,4 table both carry 16 offsets per mode), so it is read
// from the rows that name their board, chip and channel.

#include <cstdint>
#include <optional>
#include <string>

#include "arvcore/value/value.hpp"

namespace arvcore::vlndev {

namespace detail {
class CaliData;
}

/// Boards, ICs per board and channels per IC.
struct CaliLayout {
  std::int64_t boards = 0;
  std::int64_t ics = 0;
  std::int64_t channels = 0;

  bool operator==(const CaliLayout&) const = default;
  /// "4,1,4", as `--layout` takes it.
  std::string text() const;
  /// [boards, ics, channels], as `rf_layout` answers it.
  Value value() const;
};

/// The layout of a parsed calibration table: the highest board, chip and channel numbers of
/// its ComData entries. (COMDR and ELEDR rows number IC sections, boards x ICs, so they
/// cannot tell boards from chips.) Empty when the table holds no ComData entry.
std::optional<CaliLayout> table_layout(const Value& table);
/// The same for a table kept as `header` (its tree without the ComData entries) and `data`
/// (those entries; null when the tree holds them all).
std::optional<CaliLayout> table_layout(const Value& header, const detail::CaliData* data);

/// The most a layout given to a check, an import or `vlntable` may hold: boards, ICs per board
/// and channels per IC each at most kMostLayoutNumber, and at most kMostLayoutChannels channels
/// in all. Far beyond any device, and small enough that whatever walks every section and
/// channel of a layout ends at once.
inline constexpr std::int64_t kMostLayoutNumber = 1024;
inline constexpr std::int64_t kMostLayoutChannels = 65536;

/// `layout` read from an `rf_layout` answer [boards, ics, channels]; throws ValueError when it
/// is not three positive integers or holds more than the bounds above (the message states
/// them).
CaliLayout layout_of(const Value& layout);

}  // namespace arvcore::vlndev
