#pragma once
// Character classes of the Python host's Unicode database, for code points above ASCII.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace arvcore::value::unicode {

struct CodeRange {
  std::uint32_t first;
  std::uint32_t last;
};

extern const CodeRange kSpace[];
extern const std::size_t kSpace_size;
extern const CodeRange kDigits[];
extern const std::size_t kDigits_size;
extern const CodeRange kUnprintable[];
extern const std::size_t kUnprintable_size;

/// The range of a sorted table holding `cp`, or nullptr.
inline const CodeRange* find_range(const CodeRange* table, std::size_t size, std::uint32_t cp) {
  const CodeRange* end = table + size;
  const CodeRange* it = std::upper_bound(
      table, end, cp, [](std::uint32_t c, const CodeRange& r) { return c < r.first; });
  if (it == table || (it - 1)->last < cp) {
    return nullptr;
  }
  return it - 1;
}

inline bool is_space(std::uint32_t cp) {
  if (cp < 0x80) {
    return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  }
  return find_range(kSpace, kSpace_size, cp) != nullptr;
}

/// Decimal value 0-9 of a digit, or -1.
inline int decimal_value(std::uint32_t cp) {
  if (cp < 0x80) {
    return cp >= '0' && cp <= '9' ? static_cast<int>(cp - '0') : -1;
  }
  const CodeRange* r = find_range(kDigits, kDigits_size, cp);
  return r == nullptr ? -1 : static_cast<int>(cp - r->first);
}

/// Whether repr() shows the character as it is.
inline bool is_printable(std::uint32_t cp) {
  if (cp < 0x80) {
    return cp >= 0x20 && cp < 0x7F;
  }
  return find_range(kUnprintable, kUnprintable_size, cp) == nullptr;
}

}  // namespace arvcore::value::unicode
