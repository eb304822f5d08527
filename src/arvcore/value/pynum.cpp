#include "arvcore/value/pynum.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/unicode_tables.hpp"

namespace arvcore::value {
namespace {

// Python's Py_ISSPACE: the ASCII white space that int() and float() strip.
bool is_ascii_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_ascii_space(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && is_ascii_space(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

// Decodes one UTF-8 sequence at s[i]; an invalid byte decodes as itself with length 1
// (it then matches no class and shows as \xNN).
std::uint32_t decode_utf8(std::string_view s, std::size_t i, std::size_t& len) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c < 0x80) {
    len = 1;
    return c;
  }
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  }
  if (n == 0 || i + n > s.size()) {
    len = 1;
    return 0xDC00 + c;  // a lone surrogate: unprintable, neither space nor digit
  }
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      len = 1;
      return 0xDC00 + c;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  len = n;
  return cp;
}

// Python reads numbers after mapping non-ASCII white space to ' ' and non-ASCII decimal
// digits to '0'-'9'. Returns false when another non-ASCII character makes the text invalid.
bool to_ascii_number_text(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 1;
    const std::uint32_t cp = decode_utf8(text, i, len);
    if (cp < 0x7F) {
      out.push_back(static_cast<char>(cp));
    } else if (unicode::is_space(cp)) {
      out.push_back(' ');
    } else if (const int d = unicode::decimal_value(cp); d >= 0) {
      out.push_back(static_cast<char>('0' + d));
    } else {
      return false;
    }
    i += len;
  }
  return true;
}

bool is_ascii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

// Python's "%.200R": the repr cut to 200 characters.
std::string repr_cut(std::string_view text, std::size_t max_chars) {
  std::string r = str_repr(text);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if ((static_cast<unsigned char>(r[i]) & 0xC0) != 0x80 && chars++ == max_chars) {
      r.resize(i);
      break;
    }
  }
  return r;
}

[[noreturn]] void bad_int(std::string_view text) {
  throw ValueError(fmt::format("invalid literal for int() with base 10: {}", repr_cut(text, 200)));
}

[[noreturn]] void bad_float(std::string_view text) {
  throw ValueError(fmt::format("could not convert string to float: {}", str_repr(text)));
}

// Removes underscores that each sit between two digits; false for any other underscore.
bool drop_underscores(std::string_view s, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_') {
      if (i == 0 || i + 1 == s.size() || !is_digit(s[i - 1]) || !is_digit(s[i + 1])) {
        return false;
      }
      continue;
    }
    out.push_back(s[i]);
  }
  return true;
}

bool iequals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != lower[i]) {
      return false;
    }
  }
  return true;
}

// Python's float grammar after the sign: digits [. [digits]] | . digits, then an optional
// exponent. Underscores are already removed. Sets `decimal_exponent` to a rough power of ten
// of the value, which tells overflow from underflow when the value is out of range.
bool is_float_literal(std::string_view s, long& decimal_exponent) {
  std::size_t i = 0;
  long int_digits = 0;
  long leading_zeros = 0;
  bool nonzero = false;
  while (i < s.size() && is_digit(s[i])) {
    nonzero = nonzero || s[i] != '0';
    int_digits += nonzero ? 1 : 0;
    ++i;
  }
  std::size_t all_digits = i;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      if (!nonzero) {
        if (s[i] == '0') {
          ++leading_zeros;
        } else {
          nonzero = true;
        }
      }
      ++i;
      ++all_digits;
    }
  }
  if (all_digits == 0) {
    return false;
  }
  long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      negative = s[i] == '-';
      ++i;
    }
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) {
      if (exponent < 100'000'000) {
        exponent = exponent * 10 + (s[i] - '0');
      }
      ++i;
      ++exp_digits;
    }
    if (exp_digits == 0) {
      return false;
    }
    if (negative) {
      exponent = -exponent;
    }
  }
  decimal_exponent = (int_digits > 0 ? int_digits : -leading_zeros) + exponent;
  return i == s.size();
}

// Reads a validated decimal literal without sign, rounding correctly; values too large
// become inf and values too small 0, as in Python.
double read_decimal(std::string_view s, long decimal_exponent) {
  double result = 0.0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), result);
  if (ec == std::errc::result_out_of_range) {
    return decimal_exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  (void)ptr;
  return result;
}

void append_str_repr(std::string_view s, std::string& out) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out.push_back(quote);
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      ++i;
      if (c == quote || c == '\\') {
        out.push_back('\\');
        out.push_back(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7F) {
        fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<unsigned>(c));
      } else {
        out.push_back(c);
      }
      continue;
    }
    std::size_t len = 1;
    const std::uint32_t cp = decode_utf8(s, i, len);
    if (cp >= 0xDC80 && cp <= 0xDCFF && len == 1) {
      // A byte that is not UTF-8: show the byte.
      fmt::format_to(std::back_inserter(out), "\\x{:02x}", cp - 0xDC00);
    } else if (unicode::is_printable(cp)) {
      out.append(s.substr(i, len));
    } else if (cp <= 0xFF) {
      fmt::format_to(std::back_inserter(out), "\\x{:02x}", cp);
    } else if (cp <= 0xFFFF) {
      fmt::format_to(std::back_inserter(out), "\\u{:04x}", cp);
    } else {
      fmt::format_to(std::back_inserter(out), "\\U{:08x}", cp);
    }
    i += len;
  }
  out.push_back(quote);
}

template <class Int>
void append_int(Int v, std::string& out) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_repr(const Value& v, std::string& out, int depth) {
  if (depth > kMaxNestingDepth) {
    throw ValueError("maximum nesting depth exceeded while formatting a value");
  }
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      out += "None";
      return;
    case Value::value_t::boolean:
      out += v.get<bool>() ? "True" : "False";
      return;
    case Value::value_t::number_integer:
      append_int(v.get<std::int64_t>(), out);
      return;
    case Value::value_t::number_unsigned:
      append_int(v.get<std::uint64_t>(), out);
      return;
    case Value::value_t::number_float: {
      char buf[kFloatReprMax];
      out.append(buf, write_float_repr(v.get<double>(), buf));
      return;
    }
    case Value::value_t::string:
      append_str_repr(v.get_ref<const std::string&>(), out);
      return;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) {
          out += ", ";
        }
        first = false;
        append_repr(e, out, depth + 1);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : v.get_ref<const Value::object_t&>()) {
        if (!first) {
          out += ", ";
        }
        first = false;
        append_str_repr(k, out);
        out += ": ";
        append_repr(e, out, depth + 1);
      }
      out.push_back('}');
      return;
    }
    case Value::value_t::binary:
      out += "b''";
      return;
  }
}

// The part of a number text after white space and sign, in ASCII (`ascii` keeps it when the
// text had to be mapped); false when a character rules the text out.
bool number_body(std::string_view text, std::string& ascii, std::string_view& body,
                 bool& negative) {
  body = text;
  if (!is_ascii(text)) {
    if (!to_ascii_number_text(text, ascii)) {
      return false;
    }
    body = ascii;
  }
  body = strip(body);
  negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::uint64_t>> parse_number_run(std::string_view text, char separator) {
  std::vector<std::uint64_t> numbers;
  for (;;) {
    const std::size_t sep = text.find(separator);
    const std::string_view piece = text.substr(0, sep);
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), n);
    if (piece.empty() || ec != std::errc() || end != piece.data() + piece.size()) {
      return std::nullopt;
    }
    numbers.push_back(n);
    if (sep == std::string_view::npos) {
      return numbers;
    }
    text.remove_prefix(sep + 1);
  }
}

std::int64_t parse_int(std::string_view text) {
  std::string ascii;
  bool negative = false;
  std::string_view s;
  if (!number_body(text, ascii, s, negative)) {
    bad_int(text);
  }
  std::string digits;
  if (s.empty()) {
    bad_int(text);
  }
  if (s.find('_') != std::string_view::npos) {
    if (!drop_underscores(s, digits)) {
      bad_int(text);
    }
    s = digits;
  }
  for (const char c : s) {
    if (!is_digit(c)) {
      bad_int(text);
    }
  }
  // Accumulate negatively so that INT64_MIN fits.
  std::int64_t result = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (const char c : s) {
    const int d = c - '0';
    if (result < (kMin + d) / 10) {
      bad_int(text);
    }
    result = result * 10 - d;
  }
  if (!negative) {
    if (result == kMin) {
      bad_int(text);
    }
    result = -result;
  }
  return result;
}

double parse_float(std::string_view text) {
  std::string ascii;
  bool negative = false;
  std::string_view s;
  if (!number_body(text, ascii, s, negative)) {
    bad_float(text);
  }
  if (iequals(s, "inf") || iequals(s, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (iequals(s, "nan")) {
    return negative ? -std::numeric_limits<double>::quiet_NaN()
                    : std::numeric_limits<double>::quiet_NaN();
  }
  std::string clean;
  if (s.find('_') != std::string_view::npos) {
    if (!drop_underscores(s, clean)) {
      bad_float(text);
    }
    s = clean;
  }
  long decimal_exponent = 0;
  if (!is_float_literal(s, decimal_exponent)) {
    bad_float(text);
  }
  const double result = read_decimal(s, decimal_exponent);
  return negative ? -result : result;
}

namespace {

// The shortest digits that read back as a finite double, and the decimal exponent of the
// first: -1234.5 is negative, "12345", 3.
struct ShortestDigits {
  bool negative = false;
  char digits[20];
  int count = 0;
  int exponent = 0;
};

// Read from the shortest d.ddde-XX form.
inline ShortestDigits shortest_digits(double v) {
  ShortestDigits d;
  char sci[kFloatReprMax];
  const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const char* p = sci;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  d.digits[d.count++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') {
      d.digits[d.count++] = *p++;
    }
  }
  ++p;  // 'e'
  const bool exp_negative = *p == '-';
  ++p;
  while (p < res.ptr) {
    d.exponent = d.exponent * 10 + (*p++ - '0');
  }
  if (exp_negative) {
    d.exponent = -d.exponent;
  }
  return d;
}

// 0.000ddd, ddd00.0 or dd.ddd, with `decpt` digits before the point.
inline char* write_positional(const ShortestDigits& d, int decpt, char* out) {
  const int nd = d.count;
  if (decpt <= 0) {
    *out++ = '0';
    *out++ = '.';
    for (int i = 0; i < -decpt; ++i) {
      *out++ = '0';
    }
    std::memcpy(out, d.digits, static_cast<std::size_t>(nd));
    return out + nd;
  }
  if (decpt >= nd) {
    std::memcpy(out, d.digits, static_cast<std::size_t>(nd));
    out += nd;
    for (int i = nd; i < decpt; ++i) {
      *out++ = '0';
    }
    *out++ = '.';
    *out++ = '0';
    return out;
  }
  std::memcpy(out, d.digits, static_cast<std::size_t>(decpt));
  out += decpt;
  *out++ = '.';
  std::memcpy(out, d.digits + decpt, static_cast<std::size_t>(nd - decpt));
  return out + (nd - decpt);
}

// d.ddde+XX, the exponent with at least two digits.
inline char* write_exponential(const ShortestDigits& d, char* out) {
  *out++ = d.digits[0];
  if (d.count > 1) {
    *out++ = '.';
    std::memcpy(out, d.digits + 1, static_cast<std::size_t>(d.count - 1));
    out += d.count - 1;
  }
  *out++ = 'e';
  *out++ = d.exponent < 0 ? '-' : '+';
  const int mag = d.exponent < 0 ? -d.exponent : d.exponent;
  if (mag < 10) {
    *out++ = '0';
  }
  return std::to_chars(out, out + 4, mag).ptr;
}

}  // namespace

char* write_float_repr(double v, char* out) {
  if (std::isnan(v)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  if (std::isinf(v)) {
    if (v < 0) {
      *out++ = '-';
    }
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  // Shortest round-trip digits, then laid out the way repr() does: positional for
  // 1e-4 <= |v| < 1e16, else d.ddde+XX.
  const ShortestDigits d = shortest_digits(v);
  if (d.negative) {
    *out++ = '-';
  }
  const int decpt = d.exponent + 1;
  if (decpt > -4 && decpt <= 16) {
    return write_positional(d, decpt, out);
  }
  return write_exponential(d, out);
}

std::string py_type_name(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null:
      return "NoneType";
    case Value::value_t::boolean:
      return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
      return "int";
    case Value::value_t::number_float:
      return "float";
    case Value::value_t::string:
      return "str";
    case Value::value_t::array:
      return "list";
    case Value::value_t::object:
      return "dict";
    default:
      return "object";
  }
}

// Python float(x) of a number or numeric text.
double to_float(const Value& v) {
  if (v.is_boolean()) {
    return v.get<bool>() ? 1.0 : 0.0;
  }
  if (v.is_number()) {
    return v.get<double>();
  }
  if (v.is_string()) {
    return parse_float(v.get_ref<const std::string&>());
  }
  throw TypeError(
      fmt::format("float() argument must be a string or a real number, not '{}'", py_type_name(v)));
}

// Python int(x): floats are cut toward zero, text must hold a whole decimal number.
std::int64_t to_int(const Value& v) {
  if (v.is_boolean()) {
    return v.get<bool>() ? 1 : 0;
  }
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    return v.get<std::int64_t>();
  }
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw ValueError(fmt::format("integer {} out of range", u));
    }
    return static_cast<std::int64_t>(u);
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isnan(d)) {
      throw ValueError("cannot convert float NaN to integer");
    }
    if (std::isinf(d)) {
      throw ValueError("cannot convert float infinity to integer");
    }
    const double t = std::trunc(d);
    if (t < -9.2233720368547758e18 || t >= 9.2233720368547758e18) {
      throw ValueError(fmt::format("integer {} out of range", float_repr(t)));
    }
    return static_cast<std::int64_t>(t);
  }
  if (v.is_string()) {
    return parse_int(v.get_ref<const std::string&>());
  }
  throw TypeError(
      fmt::format("int() argument must be a string, a bytes-like object or a real number, not '{}'",
                  py_type_name(v)));
}

std::string float_repr(double v) {
  char buf[kFloatReprMax];
  return std::string(buf, write_float_repr(v, buf));
}

std::string repr(const Value& v) {
  std::string out;
  append_repr(v, out, 0);
  return out;
}

std::string str_repr(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_str_repr(s, out);
  return out;
}

std::string str(const Value& v) {
  if (v.is_string()) {
    return v.get<std::string>();
  }
  return repr(v);
}

}  // namespace arvcore::value
