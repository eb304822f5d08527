#include "arvcore/value/json.hpp"

#include <cmath>

#include <fmt/format.h>

#include "arvcore/sdk/errors.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/value/textfile.hpp"

namespace arvcore::value {
namespace {

void append_json_string(const std::string& s, std::string& out) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += fmt::format("\\u{:04x}", c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

void append_float(double d, std::string& out) {
  if (std::isnan(d)) {
    out += "NaN";
  } else if (std::isinf(d)) {
    out += d < 0 ? "-Infinity" : "Infinity";
  } else {
    out += float_repr(d);
  }
}

void newline(std::string& out, int indent, int level) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(indent * level), ' ');
}

void dump(const Value& v, int indent, int level, std::string& out) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
    case Value::value_t::binary:
      out += "null";
      return;
    case Value::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    case Value::value_t::number_integer:
      out += fmt::format("{}", v.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      out += fmt::format("{}", v.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      append_float(v.get<double>(), out);
      return;
    case Value::value_t::string:
      append_json_string(v.get_ref<const std::string&>(), out);
      return;
    case Value::value_t::array: {
      if (v.empty()) {
        out += "[]";
        return;
      }
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) {
          out += indent >= 0 ? "," : ", ";
        }
        first = false;
        if (indent >= 0) {
          newline(out, indent, level + 1);
        }
        dump(e, indent, level + 1, out);
      }
      if (indent >= 0) {
        newline(out, indent, level);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : v.items()) {
        if (!first) {
          out += indent >= 0 ? "," : ", ";
        }
        first = false;
        if (indent >= 0) {
          newline(out, indent, level + 1);
        }
        append_json_string(k, out);
        out += ": ";
        dump(e, indent, level + 1, out);
      }
      if (indent >= 0) {
        newline(out, indent, level);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

Value parse_json(std::string_view text) {
  try {
    return Value::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    throw ValueError(e.what());
  }
}

Value read_json_file(const std::filesystem::path& path) {
  return parse_json(read_text_file(path));
}

std::string dump_json(const Value& v, int indent) {
  std::string out;
  dump(v, indent, 0, out);
  return out;
}

void write_json_file(const std::filesystem::path& path, const Value& v, int indent) {
  write_file_atomic(path, dump_json(v, indent));
}

}  // namespace arvcore::value
