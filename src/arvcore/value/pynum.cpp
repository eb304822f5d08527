#include "arvcore/value/pynum.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "arvcore/sdk/errors.hpp"

namespace arvcore::value {
namespace {

bool is_py_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_py_space(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && is_py_space(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Copies the digits of `s` into `out`, dropping single underscores that sit between two
// digits; false when an underscore is misplaced.
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

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != b[i]) {
      return false;
    }
  }
  return true;
}

[[noreturn]] void bad_int(std::string_view text) {
  throw ValueError(
      fmt::format("invalid literal for int() with base 10: {}", repr(Value(std::string(text)))));
}

[[noreturn]] void bad_float(std::string_view text) {
  throw ValueError(
      fmt::format("could not convert string to float: {}", repr(Value(std::string(text)))));
}

// Python's float grammar after the sign: digits [. [digits]] | . digits, then an optional
// exponent. Underscores are already removed.
bool is_float_literal(std::string_view s) {
  std::size_t i = 0;
  std::size_t int_digits = 0;
  while (i < s.size() && is_digit(s[i])) {
    ++i;
    ++int_digits;
  }
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      ++i;
      ++frac_digits;
    }
  }
  if (int_digits + frac_digits == 0) {
    return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      ++i;
    }
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) {
      ++i;
      ++exp_digits;
    }
    if (exp_digits == 0) {
      return false;
    }
  }
  return i == s.size();
}

void append_string_repr(const std::string& s, std::string& out) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out.push_back(quote);
  for (unsigned char c : s) {
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += fmt::format("\\x{:02x}", c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back(quote);
}

void append_repr(const Value& v, std::string& out) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      out += "None";
      return;
    case Value::value_t::boolean:
      out += v.get<bool>() ? "True" : "False";
      return;
    case Value::value_t::number_integer:
      out += fmt::format("{}", v.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      out += fmt::format("{}", v.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      out += float_repr(v.get<double>());
      return;
    case Value::value_t::string:
      append_string_repr(v.get_ref<const std::string&>(), out);
      return;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) {
          out += ", ";
        }
        first = false;
        append_repr(e, out);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : v.items()) {
        if (!first) {
          out += ", ";
        }
        first = false;
        append_string_repr(k, out);
        out += ": ";
        append_repr(e, out);
      }
      out.push_back('}');
      return;
    }
    case Value::value_t::binary:
      out += "b''";
      return;
  }
}

}  // namespace

std::int64_t parse_int(std::string_view text) {
  std::string_view s = strip(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::string digits;
  if (s.empty() || !drop_underscores(s, digits) || digits.empty()) {
    bad_int(text);
  }
  for (char c : digits) {
    if (!is_digit(c)) {
      bad_int(text);
    }
  }
  if (negative) {
    digits.insert(digits.begin(), '-');
  }
  std::int64_t result = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) {
    bad_int(text);
  }
  return result;
}

double parse_float(std::string_view text) {
  std::string_view s = strip(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
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
  if (!drop_underscores(s, clean) || !is_float_literal(clean)) {
    bad_float(text);
  }
  double result = 0.0;
  const auto [ptr, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), result);
  if (ptr != clean.data() + clean.size() ||
      (ec != std::errc() && ec != std::errc::result_out_of_range)) {
    bad_float(text);
  }
  if (ec == std::errc::result_out_of_range) {
    // Python rounds overflow to inf and underflow to 0.
    result = std::strtod(clean.c_str(), nullptr);
  }
  return negative ? -result : result;
}

std::string float_repr(double v) {
  if (std::isnan(v)) {
    return "nan";
  }
  if (std::isinf(v)) {
    return v < 0 ? "-inf" : "inf";
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  // sci looks like "-1.2345e+03": split into sign, digits and exponent.
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') {
      digits.push_back(c);
    }
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);
  const int decpt = exponent + 1;
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-decpt), '0');
      out += digits;
    } else if (static_cast<std::size_t>(decpt) >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(decpt) - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(decpt));
      out.push_back('.');
      out += digits.substr(static_cast<std::size_t>(decpt));
    }
    return out;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out += digits.substr(1);
  }
  out += fmt::format("e{}{:02d}", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
  return out;
}

std::string repr(const Value& v) {
  std::string out;
  append_repr(v, out);
  return out;
}

std::string str(const Value& v) {
  if (v.is_string()) {
    return v.get<std::string>();
  }
  return repr(v);
}

}  // namespace arvcore::value
