#pragma once
// The number cells of DATA rows: the two register values (integers) and the measured gain and
// phase (floats) of a ComData entry. Nearly all are short plain decimals ("-3.957", "45"),
// converted here directly; anything else (exponents, spaces, underscores, long digit runs, bad
// text) goes through the general conversions, which also raise the errors.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/cpu.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace arvcore::vlndev::detail {

/// int() of a cell's text; raises as int() does.
std::int64_t to_int(std::string_view s);
/// float() of a cell's text; raises as float() does.
double to_float(std::string_view s);

/// to_int() of a cell of a line read where it lies, whose eight bytes from its start may be
/// read whatever its length.
std::int64_t cell_int(std::string_view s);
/// to_float() of such a cell.
double cell_float(std::string_view s);

/// Where a DATA row holds the numbers of its ComData entry.
inline constexpr std::size_t kReg0Cell = 16;
inline constexpr std::size_t kReg1Cell = 17;
inline constexpr std::size_t kGainCell = 19;
inline constexpr std::size_t kPhaseCell = 20;

#if defined(__x86_64__)
/// The ComData entry of a DATA line read where it lies, its four numbers converted at once and
/// packed: false, with `out` untouched, unless every cell is a short plain number. Only for
/// processors with AVX2 (value::has_avx2()).
bool entry_numbers_avx2(const value::CsvCells& cells, PackedEntry& out);
#endif

/// The ComData entry of a DATA line read where it lies, its numbers as cell_int() and
/// cell_float() give them, and failing as they fail: the four at once, packed, where the
/// processor allows.
inline void entry_numbers(const value::CsvCells& cells, RowEntry& out) {
#if defined(__x86_64__)
  if (value::has_avx2() && entry_numbers_avx2(cells, out.packed)) {
    out.is_packed = true;
    return;
  }
#endif
  out.numbers = {cell_int(cells[kReg0Cell]), cell_int(cells[kReg1Cell]),
                 cell_float(cells[kGainCell]), cell_float(cells[kPhaseCell])};
  out.is_packed = false;
}

}  // namespace arvcore::vlndev::detail
