#include "arvcore/value/printable.hpp"

#include <iterator>

#include <fmt/format.h>

#include "arvcore/value/detail/textfile.hpp"

namespace arvcore::value {
namespace {

// The bytes of the UTF-8 sequence starting at `at`, or 0 when none starts there.
std::size_t sequence_at(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t n = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  return n != 0 && at + n <= text.size() && is_valid_utf8(text.substr(at, n)) ? n : 0;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](const char* form, unsigned code) {
    fmt::format_to(std::back_inserter(out), fmt::runtime(form), code);
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t n = sequence_at(text, i);
      if (n == 0) {
        escape("\\x{:02x}", c);
      } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        escape("\\u{:04x}", static_cast<unsigned char>(text[i + 1]));  // a C1 control
      } else {
        out.append(text.substr(i, n));
      }
      i += n == 0 ? 1 : n;
      continue;
    }
    ++i;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      escape("\\x{:02x}", c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace arvcore::value
