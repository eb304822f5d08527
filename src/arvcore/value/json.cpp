#include "arvcore/value/json.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <simdjson.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/pynum.hpp"

namespace arvcore::value {
namespace {

// ---------------------------------------------------------------------------------------
// Reading. simdjson validates and tokenises; the tree is then built straight into Values.
// Texts simdjson refuses go through PyJsonReader, which accepts what Python's json module
// accepts beyond strict JSON (NaN, Infinity, -Infinity, numbers too large for a double)
// and otherwise reports the error the way Python does.

Value to_value(simdjson::dom::element e) {
  using simdjson::dom::element_type;
  switch (e.type()) {
    case element_type::OBJECT: {
      const simdjson::dom::object obj = e.get_object().value_unsafe();
      Value out(Value::value_t::object);
      auto& map = *out.get_ptr<Value::object_t*>();
      map.reserve(obj.size());
      for (const simdjson::dom::key_value_pair field : obj) {
        // A repeated key keeps its first place and its last value, as in a Python dict.
        map.insert_or_assign(field.key, to_value(field.value));
      }
      return out;
    }
    case element_type::ARRAY: {
      const simdjson::dom::array arr = e.get_array().value_unsafe();
      Value out(Value::value_t::array);
      auto& list = *out.get_ptr<Value::array_t*>();
      list.reserve(arr.size());
      for (const simdjson::dom::element item : arr) {
        list.push_back(to_value(item));
      }
      return out;
    }
    case element_type::STRING:
      return Value(std::string(e.get_string().value_unsafe()));
    case element_type::INT64:
      return Value(e.get_int64().value_unsafe());
    case element_type::UINT64:
      return Value(e.get_uint64().value_unsafe());
    case element_type::DOUBLE:
      return Value(e.get_double().value_unsafe());
    case element_type::BOOL:
      return Value(e.get_bool().value_unsafe());
    case element_type::NULL_VALUE:
      return Value(nullptr);
  }
  return Value(nullptr);
}

// A recursive-descent reader with the grammar and messages of Python's json module
// ("Expecting value: line 1 column 5 (char 4)").
class PyJsonReader {
 public:
  PyJsonReader(std::string_view text, int max_depth) : s_(text), max_depth_(max_depth) {}

  Value document() {
    skip_ws();
    Value v = value(0);
    skip_ws();
    if (i_ != s_.size()) {
      fail("Extra data", i_);
    }
    if (unsupported_what_ != nullptr) {
      fail(unsupported_what_, unsupported_at_);
    }
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what, std::size_t at) const {
    // Python counts characters, not bytes.
    std::size_t chars = 0;
    std::size_t line = 1;
    std::size_t line_start_chars = 0;
    for (std::size_t k = 0; k < at && k < s_.size(); ++k) {
      const auto c = static_cast<unsigned char>(s_[k]);
      if ((c & 0xC0) == 0x80) {
        continue;
      }
      ++chars;
      if (c == '\n') {
        ++line;
        line_start_chars = chars;
      }
    }
    throw ValueError(fmt::format("{}: line {} column {} (char {})", what, line,
                                 chars - line_start_chars + 1, chars));
  }

  // Python accepts some texts whose values this module cannot hold. They are refused only
  // once the whole text has been read, so that a text Python refuses gets Python's message.
  void unsupported(const char* what, std::size_t at) {
    if (unsupported_what_ == nullptr) {
      unsupported_what_ = what;
      unsupported_at_ = at;
    }
  }

  void skip_ws() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      ++i_;
    }
  }

  bool match(std::string_view word) {
    if (s_.substr(i_, word.size()) == word) {
      i_ += word.size();
      return true;
    }
    return false;
  }

  Value value(int depth) {
    if (depth > max_depth_) {
      fail("Nesting too deep", i_);
    }
    if (i_ >= s_.size()) {
      fail("Expecting value", i_);
    }
    switch (s_[i_]) {
      case '"':
        ++i_;
        return Value(string_body());
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case 'n':
        if (match("null")) {
          return Value(nullptr);
        }
        break;
      case 't':
        if (match("true")) {
          return Value(true);
        }
        break;
      case 'f':
        if (match("false")) {
          return Value(false);
        }
        break;
      case 'N':
        if (match("NaN")) {
          return Value(std::numeric_limits<double>::quiet_NaN());
        }
        break;
      case 'I':
        if (match("Infinity")) {
          return Value(std::numeric_limits<double>::infinity());
        }
        break;
      case '-':
        if (match("-Infinity")) {
          return Value(-std::numeric_limits<double>::infinity());
        }
        break;
      default:
        break;
    }
    return number();
  }

  bool digit_at(std::size_t k) const { return k < s_.size() && s_[k] >= '0' && s_[k] <= '9'; }

  // The longest prefix that reads as a JSON number; what follows is left for the caller.
  Value number() {
    const std::size_t start = i_;
    std::size_t k = i_;
    if (k < s_.size() && s_[k] == '-') {
      ++k;
    }
    if (digit_at(k) && s_[k] != '0') {
      while (digit_at(k)) {
        ++k;
      }
    } else if (digit_at(k)) {
      ++k;
    } else {
      fail("Expecting value", start);
    }
    bool is_float = false;
    if (k < s_.size() && s_[k] == '.' && digit_at(k + 1)) {
      is_float = true;
      k += 2;
      while (digit_at(k)) {
        ++k;
      }
    }
    if (k < s_.size() && (s_[k] == 'e' || s_[k] == 'E')) {
      std::size_t e = k + 1;
      if (e < s_.size() && (s_[e] == '+' || s_[e] == '-')) {
        ++e;
      }
      if (digit_at(e)) {
        while (digit_at(e)) {
          ++e;
        }
        is_float = true;
        k = e;
      }
    }
    i_ = k;
    const std::string_view text = s_.substr(start, k - start);
    if (is_float) {
      return Value(parse_float(text));
    }
    std::int64_t i = 0;
    if (auto r = std::from_chars(text.data(), text.data() + text.size(), i); r.ec == std::errc()) {
      return Value(i);
    }
    std::uint64_t u = 0;
    if (auto r = std::from_chars(text.data(), text.data() + text.size(), u); r.ec == std::errc()) {
      return Value(u);
    }
    unsupported("Integer out of the 64-bit range", start);
    return Value(nullptr);
  }

  static int hex_value(char c) {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  }

  // Four hex digits at k, or -1.
  long hex4(std::size_t k) const {
    long v = 0;
    for (std::size_t j = k; j < k + 4; ++j) {
      const int d = j < s_.size() ? hex_value(s_[j]) : -1;
      if (d < 0) {
        return -1;
      }
      v = v * 16 + d;
    }
    return v;
  }

  // The string whose opening quote is just before i_.
  std::string string_body() {
    const std::size_t begin = i_ - 1;
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) {
        fail("Unterminated string starting at", begin);
      }
      const char c = s_[i_];
      if (c == '"') {
        ++i_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        fail("Invalid control character at", i_);
      }
      if (c != '\\') {
        out.push_back(c);
        ++i_;
        continue;
      }
      if (i_ + 1 >= s_.size()) {
        fail("Unterminated string starting at", begin);
      }
      if (s_[i_ + 1] == 'u') {
        unicode_escape(out);
      } else {
        simple_escape(out);
      }
    }
  }

  // The escape \", \\, \/, \b, \f, \n, \r or \t at i_.
  void simple_escape(std::string& out) {
    static constexpr std::string_view kFrom = "\"\\/bfnrt";
    static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
    const std::size_t k = kFrom.find(s_[i_ + 1]);
    if (k == std::string_view::npos) {
      fail("Invalid \\escape", i_);
    }
    out.push_back(kTo[k]);
    i_ += 2;
  }

  // The escape \uXXXX at i_, or a surrogate pair of two; Python needs one more character
  // after the four digits.
  void unicode_escape(std::string& out) {
    if (i_ + 6 >= s_.size() || hex4(i_ + 2) < 0) {
      fail("Invalid \\uXXXX escape", i_ + 1);
    }
    auto cp = static_cast<std::uint32_t>(hex4(i_ + 2));
    std::size_t next = i_ + 6;
    if (cp >= 0xD800 && cp <= 0xDBFF && next + 6 < s_.size() && s_[next] == '\\' &&
        s_[next + 1] == 'u') {
      const long low = hex4(next + 2);
      if (low < 0) {
        fail("Invalid \\uXXXX escape", next + 1);
      }
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
        next += 6;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      // Python would keep a lone surrogate; it has no UTF-8 form.
      unsupported("Unpaired surrogate in \\uXXXX escape", i_ + 1);
    } else {
      append_utf8(cp, out);
    }
    i_ = next;
  }

  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  // After an item of a list or map: true past a ',', false past `close`.
  bool next_item(char close) {
    skip_ws();
    if (take(close)) {
      return false;
    }
    if (!take(',')) {
      fail("Expecting ',' delimiter", i_);
    }
    skip_ws();
    return true;
  }

  Value object(int depth) {
    ++i_;  // '{'
    Value out(Value::value_t::object);
    auto& map = *out.get_ptr<Value::object_t*>();
    skip_ws();
    if (take('}')) {
      return out;
    }
    do {
      if (!take('"')) {
        fail("Expecting property name enclosed in double quotes", i_);
      }
      std::string key = string_body();
      skip_ws();
      if (!take(':')) {
        fail("Expecting ':' delimiter", i_);
      }
      skip_ws();
      map.insert_or_assign(std::move(key), value(depth + 1));
    } while (next_item('}'));
    return out;
  }

  Value array(int depth) {
    ++i_;  // '['
    Value out(Value::value_t::array);
    auto& list = *out.get_ptr<Value::array_t*>();
    skip_ws();
    if (take(']')) {
      return out;
    }
    do {
      list.push_back(value(depth + 1));
    } while (next_item(']'));
    return out;
  }

  std::string_view s_;
  const int max_depth_;
  std::size_t i_ = 0;
  const char* unsupported_what_ = nullptr;
  std::size_t unsupported_at_ = 0;
};

// Parses `len` bytes at `data`; `padded` tells that simdjson's padding follows them.
Value parse_buffer(const char* data, std::size_t len, bool padded) {
  const std::string_view text(data, len);
  const int max_depth = max_read_depth();
  // Python reads a leading byte-order mark as a character and refuses it.
  if (text.substr(0, 3) != "\xEF\xBB\xBF") {
    simdjson::dom::parser parser;
    simdjson::error_code err = parser.allocate(len, static_cast<std::size_t>(max_depth) + 1);
    if (!err) {
      simdjson::dom::element root;
      err = parser.parse(data, len, !padded).get(root);
      if (!err) {
        return to_value(root);
      }
    }
    if (err == simdjson::MEMALLOC) {
      throw std::bad_alloc();
    }
  }
  if (!is_valid_utf8(text)) {
    throw UnicodeError(utf8_error_message(text));
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    throw ValueError("Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)");
  }
  return PyJsonReader(text, max_depth).document();
}

// ---------------------------------------------------------------------------------------
// Writing, into one growing buffer.

class JsonWriter {
 public:
  explicit JsonWriter(int indent, const JsonStandIn* stand_in = nullptr)
      : indent_(indent), stand_in_(stand_in) {
    grow(4096);
  }

  std::string finish() {
    buf_.resize(static_cast<std::size_t>(p_ - buf_.data()));
    return std::move(buf_);
  }

  void value(const Value& v, int depth) {
    if (depth > kMaxNestingDepth) {
      throw ValueError("maximum nesting depth exceeded while writing JSON");
    }
    switch (v.type()) {
      case Value::value_t::null:
      case Value::value_t::discarded:
      case Value::value_t::binary:
        literal("null");
        return;
      case Value::value_t::boolean:
        v.get<bool>() ? literal("true") : literal("false");
        return;
      case Value::value_t::number_integer:
        ensure(24);
        p_ = std::to_chars(p_, p_ + 24, v.get<std::int64_t>()).ptr;
        return;
      case Value::value_t::number_unsigned:
        ensure(24);
        p_ = std::to_chars(p_, p_ + 24, v.get<std::uint64_t>()).ptr;
        return;
      case Value::value_t::number_float:
        number(v.get<double>());
        return;
      case Value::value_t::string:
        string(v.get_ref<const std::string&>());
        return;
      case Value::value_t::array:
        array(v.get_ref<const Value::array_t&>(), depth);
        return;
      case Value::value_t::object:
        if (stand_in_ != nullptr) {
          if (const std::optional<Value> instead = (*stand_in_)(v)) {
            object(instead->get_ref<const Value::object_t&>(), depth);
            return;
          }
        }
        object(v.get_ref<const Value::object_t&>(), depth);
        return;
    }
  }

 private:
  void array(const Value::array_t& list, int depth) {
    if (list.empty()) {
      literal("[]");
      return;
    }
    put('[');
    bool first = true;
    for (const auto& e : list) {
      separator(first, depth + 1);
      value(e, depth + 1);
    }
    close(']', depth);
  }

  void object(const Value::object_t& map, int depth) {
    if (map.empty()) {
      literal("{}");
      return;
    }
    put('{');
    bool first = true;
    for (const auto& [k, e] : map) {
      separator(first, depth + 1);
      string(k);
      literal(": ");
      value(e, depth + 1);
    }
    close('}', depth);
  }

  void grow(std::size_t n) {
    const std::size_t used = p_ == nullptr ? 0 : static_cast<std::size_t>(p_ - buf_.data());
    buf_.resize(std::max(buf_.size() * 2, used + n + 4096));
    p_ = buf_.data() + used;
    end_ = buf_.data() + buf_.size();
  }

  void ensure(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) {
      grow(n);
    }
  }

  void put(char c) {
    ensure(1);
    *p_++ = c;
  }

  template <std::size_t N>
  void literal(const char (&s)[N]) {
    ensure(N - 1);
    std::memcpy(p_, s, N - 1);
    p_ += N - 1;
  }

  void newline(int level) {
    const std::size_t n = static_cast<std::size_t>(indent_) * static_cast<std::size_t>(level);
    ensure(n + 1);
    *p_++ = '\n';
    std::memset(p_, ' ', n);
    p_ += n;
  }

  // Python: "," plus a newline and indentation when indenting, ", " otherwise.
  void separator(bool& first, int level) {
    if (!first) {
      if (indent_ >= 0) {
        put(',');
      } else {
        literal(", ");
      }
    }
    first = false;
    if (indent_ >= 0) {
      newline(level);
    }
  }

  void close(char c, int level) {
    if (indent_ >= 0) {
      newline(level);
    }
    put(c);
  }

  void number(double d) {
    if (std::isnan(d)) {
      literal("NaN");
    } else if (std::isinf(d)) {
      d < 0 ? literal("-Infinity") : literal("Infinity");
    } else {
      ensure(kFloatReprMax);
      p_ = write_float_repr(d, p_);
    }
  }

  // Python's ensure_ascii=False escaping: quote, backslash and control characters only.
  void string(std::string_view s) {
    put('"');
    // In blocks, so that a long string never needs its worst case (6 bytes a byte) at once.
    constexpr std::size_t kBlock = 4096;
    for (std::size_t at = 0; at < s.size(); at += kBlock) {
      escape(s.substr(at, kBlock));
    }
    put('"');
  }

  void escape(std::string_view s) {
    ensure(s.size() * 6);
    for (const char ch : s) {
      const auto c = static_cast<unsigned char>(ch);
      if (c >= 0x20 && c != '"' && c != '\\') {
        *p_++ = ch;
        continue;
      }
      *p_++ = '\\';
      switch (c) {
        case '"':
          *p_++ = '"';
          break;
        case '\\':
          *p_++ = '\\';
          break;
        case '\n':
          *p_++ = 'n';
          break;
        case '\r':
          *p_++ = 'r';
          break;
        case '\t':
          *p_++ = 't';
          break;
        case '\b':
          *p_++ = 'b';
          break;
        case '\f':
          *p_++ = 'f';
          break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          std::memcpy(p_, "u00", 3);
          p_[3] = kHex[c >> 4];
          p_[4] = kHex[c & 0xF];
          p_ += 5;
        }
      }
    }
  }

  int indent_;
  const JsonStandIn* stand_in_;
  std::string buf_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

std::atomic<int> read_depth{kMaxNestingDepth};

}  // namespace

int max_read_depth() {
  return read_depth.load();
}

void set_max_read_depth(int depth) {
  read_depth.store(std::clamp(depth, 1, kMaxNestingDepth));
}

Value parse_json(std::string_view text) {
  return parse_buffer(text.data(), text.size(), false);
}

Value read_json_file(const std::filesystem::path& path) {
  std::string bytes = read_binary_file(path, simdjson::SIMDJSON_PADDING);
  const std::size_t len = bytes.size();
  bytes.resize(len + simdjson::SIMDJSON_PADDING);  // within capacity: no copy
  return parse_buffer(bytes.data(), len, true);
}

namespace {

std::string written(JsonWriter& writer, const Value& v) {
  writer.value(v, 0);
  std::string text = writer.finish();
  // Strings built on the C++ side could hold stray bytes; text that could not be read back
  // must not reach a file.
  if (!is_valid_utf8(text)) {
    throw UnicodeError("cannot write a string that is not UTF-8 as JSON: " +
                       utf8_error_message(text));
  }
  return text;
}

}  // namespace

std::string dump_json(const Value& v, int indent) {
  JsonWriter writer(indent);
  return written(writer, v);
}

std::string dump_json(const Value& v, int indent, const JsonStandIn& stand_in) {
  JsonWriter writer(indent, &stand_in);
  return written(writer, v);
}

void write_json_file(const std::filesystem::path& path, const Value& v, int indent) {
  write_file_atomic(path, dump_json(v, indent));
}

void write_json_file(const std::filesystem::path& path, const Value& v, int indent,
                     const JsonStandIn& stand_in) {
  write_file_atomic(path, dump_json(v, indent, stand_in));
}

}  // namespace arvcore::value
