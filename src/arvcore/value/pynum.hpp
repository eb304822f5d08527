#pragma once
// Number conversions and text forms that behave like the Python host's built-ins, so that
// tables, keys and log lines come out the same whichever side produced them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/value/value.hpp"

namespace arvcore::value {

/// Deepest nesting of lists and maps that the text conversions (JSON, repr) accept; deeper
/// values are refused with arvcore::ValueError rather than exhausting the stack.
inline constexpr int kMaxNestingDepth = 2000;

/// Python `int(text)`: surrounding white space allowed, optional sign, decimal digits
/// (underscores between digits allowed), whole text consumed. Throws arvcore::ValueError
/// ("invalid literal for int() with base 10: '...'") otherwise or when out of int64 range.
std::int64_t parse_int(std::string_view text);

/// The decimal numbers of a text made of them and `separator` ("3.0.1" with '.'): every piece
/// between separators must be a non-empty run of digits within 64 bits; nullopt otherwise.
std::optional<std::vector<std::uint64_t>> parse_number_run(std::string_view text, char separator);

/// Python `float(text)`: surrounding white space, sign, decimal and exponent forms,
/// "inf"/"nan" spellings. Throws arvcore::ValueError ("could not convert string to float:
/// '...'") otherwise.
double parse_float(std::string_view text);

/// Python type name of a value ("NoneType", "bool", "int", "float", "str", "list", "dict").
std::string py_type_name(const Value& v);

/// Python `int(x)` of a value: integers as they are, booleans 0/1, floats cut toward zero,
/// text through parse_int. Throws arvcore::TypeError for other kinds, arvcore::ValueError for
/// NaN, infinities and values outside int64.
std::int64_t to_int(const Value& v);

/// Python `float(x)` of a value: numbers, booleans, or text through parse_float. Throws
/// arvcore::TypeError for other kinds.
double to_float(const Value& v);

/// Python `repr(float)`: shortest text that reads back, "5.0", "1e-05", "1e+16", "inf", "nan".
std::string float_repr(double v);

/// Size of a buffer that always holds write_float_repr's output.
inline constexpr std::size_t kFloatReprMax = 32;

/// Writes float_repr(v) to `out` (room for kFloatReprMax chars) and returns its end.
char* write_float_repr(double v, char* out);

/// Python `repr()` of a value: {'a': [1, 2.0, 'x', None, True]}.
std::string repr(const Value& v);

/// Python `repr()` of a string: quoted, with the same escapes and choice of quotes.
std::string str_repr(std::string_view s);

/// Python `str()` of a value: strings as they are, everything else as repr().
std::string str(const Value& v);

}  // namespace arvcore::value
