#include "arvcore/value/csv.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "arvcore/sdk/errors.hpp"
#include "arvcore/value/textfile.hpp"

namespace arvcore::value {
namespace {

constexpr std::size_t kDefaultChunk = 1 << 18;

// Length of the UTF-8 sequence that a lead byte starts (1 for bytes that start none: the
// validator reports those).
std::size_t sequence_length(unsigned char c) {
  if (c >= 0xF0) {
    return 4;
  }
  if (c >= 0xE0) {
    return 3;
  }
  if (c >= 0xC0) {
    return 2;
  }
  return 1;
}

using CharSet = std::array<bool, 256>;

CharSet make_set(std::string_view chars, bool with_nul) {
  CharSet set{};
  for (const char c : chars) {
    set[static_cast<unsigned char>(c)] = true;
  }
  set[0] = with_nul;
  return set;
}

using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

// The common line: no quotes (nor NULs when they are stripped), ending inside [p, end).
// Splits it at its commas into `store` and `spans` and leaves p at its line end. Touches
// nothing and answers false for any other line, which the general reader then takes.
bool split_plain_line(const char*& p, const char* end, bool strip, std::string& store,
                      Spans& spans) {
  const char* q = p;
  const char* stop = nullptr;
  std::size_t cell_start = 0;
  auto comma_at = [&](std::size_t at) {
    spans.emplace_back(cell_start, at);
    cell_start = at + 1;
  };
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i nul = _mm_setzero_si128();
  while (stop == nullptr && end - q >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    auto commas = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, comma)));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                _mm_cmpeq_epi8(v, quote));
    if (strip) {
      hits = _mm_or_si128(hits, _mm_cmpeq_epi8(v, nul));
    }
    const auto special = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (special != 0) {
      commas &= (1u << std::countr_zero(special)) - 1;
      stop = q + std::countr_zero(special);
    }
    const auto base = static_cast<std::size_t>(q - p);
    for (; commas != 0; commas &= commas - 1) {
      comma_at(base + static_cast<std::size_t>(std::countr_zero(commas)));
    }
    q += 16;
  }
#endif
  for (; stop == nullptr && q != end; ++q) {
    const char c = *q;
    if (c == ',') {
      comma_at(static_cast<std::size_t>(q - p));
    } else if (c == '\r' || c == '\n' || c == '"' || (c == '\0' && strip)) {
      stop = q;
    }
  }
  // A blank line is a row without cells; the general reader gives it.
  if (stop == nullptr || stop == p || (*stop != '\r' && *stop != '\n')) {
    spans.clear();
    return false;
  }
  const auto len = static_cast<std::size_t>(stop - p);
  spans.emplace_back(cell_start, len);
  store.assign(p, len);
  p = stop;
  return true;
}

}  // namespace

struct CsvReader::Impl {
  Impl(std::istream& stream, bool strip, std::size_t chunk_size)
      : in(stream),
        strip_nul(strip),
        chunk(chunk_size == 0 ? 1 : chunk_size),
        buf(chunk + 4),
        unquoted_stop(make_set(",\r\n", strip)),
        quoted_stop(make_set("\"\r\n", strip)) {}

  // Makes the next validated bytes available in [p, end); false at end of input.
  bool refill() {
    for (;;) {
      // A UTF-8 sequence cut by the previous chunk boundary goes first.
      std::memcpy(buf.data(), carry.data(), carry_len);
      // Straight from the buffer: the stream's state and exception mask play no part, and
      // whatever the buffer throws reaches the caller unchanged.
      std::streambuf* source = in.rdbuf();
      if (source == nullptr) {
        throw OSError("CSV input stream has no buffer");
      }
      const std::streamsize n =
          source->sgetn(buf.data() + carry_len, static_cast<std::streamsize>(chunk));
      const auto got = static_cast<std::size_t>(n > 0 ? n : 0);
      const std::size_t total = carry_len + got;
      if (got == 0) {
        if (carry_len != 0) {
          throw UnicodeError(utf8_error_message(std::string_view(buf.data(), carry_len), consumed));
        }
        return false;
      }
      // Hold back a sequence that continues in the next chunk.
      std::size_t cut = total;
      for (std::size_t back = 1; back <= 3 && back <= total; ++back) {
        const auto c = static_cast<unsigned char>(buf[total - back]);
        if ((c & 0xC0) != 0x80) {
          if (c >= 0xC0 && sequence_length(c) > back) {
            cut = total - back;
          }
          break;
        }
      }
      const std::string_view ready(buf.data(), cut);
      if (!is_valid_utf8(ready)) {
        throw UnicodeError(utf8_error_message(ready, consumed));
      }
      carry_len = total - cut;
      std::memcpy(carry.data(), buf.data() + cut, carry_len);
      consumed += cut;
      p = buf.data();
      end = buf.data() + cut;
      if (cut != 0) {
        return true;
      }
    }
  }

  std::istream& in;
  const bool strip_nul;
  const std::size_t chunk;
  std::vector<char> buf;
  const char* p = nullptr;
  const char* end = nullptr;
  std::array<char, 4> carry{};
  std::size_t carry_len = 0;
  std::size_t consumed = 0;
  // Characters that end a run of ordinary ones outside and inside quotes.
  const CharSet unquoted_stop;
  const CharSet quoted_stop;
};

CsvReader::CsvReader(std::istream& in, bool strip_nul) : CsvReader(in, strip_nul, kDefaultChunk) {}

CsvReader::CsvReader(std::istream& in, bool strip_nul, std::size_t chunk_size)
    : impl_(std::make_unique<Impl>(in, strip_nul, chunk_size)) {}

CsvReader::~CsvReader() = default;

bool CsvReader::next(CsvRow& row) {
  Impl& m = *impl_;
  row.clear();
  std::string& store = row.storage();
  auto& spans = row.spans();
  std::size_t cell_start = 0;
  auto save = [&] {
    spans.emplace_back(cell_start, store.size());
    cell_start = store.size();
  };
  const bool strip = m.strip_nul;
  // The read position lives in locals while scanning, so that it stays in registers.
  const char* p = m.p;
  const char* end = m.end;
  auto refill = [&] {
    m.p = p;
    const bool got = m.refill();
    p = m.p;
    end = m.end;
    return got;
  };
  // At a line end: takes "\r\n", "\r" or "\n".
  auto take_line_end = [&] {
    if (*p++ == '\r' && (p != end || refill()) && *p == '\n') {
      ++p;
    }
    m.p = p;
    return true;
  };
  // Copies ordinary characters up to the next one in `stop`; false when the chunk ran out
  // first.
  auto copy_run = [&](const CharSet& stop) {
    const char* q = p;
    while (q != end && !stop[static_cast<unsigned char>(*q)]) {
      ++q;
    }
    store.append(p, static_cast<std::size_t>(q - p));
    p = q;
    return q != end;
  };

  if (p != end && split_plain_line(p, end, strip, store, spans)) {
    return take_line_end();
  }

  enum class State { kStartRecord, kStartField, kInField, kInQuoted, kQuoteInQuoted };
  State state = State::kStartRecord;
  // A line holding only NULs still counts as a line once they are stripped.
  bool line_seen = false;
  for (;;) {
    if (p == end && !refill()) {
      m.p = p;
      if (state == State::kStartRecord) {
        return line_seen;
      }
      save();
      return true;
    }
    const char c = *p;
    switch (state) {
      case State::kStartRecord:
        if (c == '\n' || c == '\r') {
          return take_line_end();
        }
        if (c == '\0' && strip) {
          ++p;
          line_seen = true;
          break;
        }
        state = State::kStartField;
        break;
      case State::kStartField:
        if (c == '"') {
          ++p;
          state = State::kInQuoted;
        } else if (c == ',') {
          ++p;
          save();
        } else if (c == '\n' || c == '\r') {
          save();
          return take_line_end();
        } else if (c == '\0' && strip) {
          ++p;
        } else {
          state = State::kInField;
        }
        break;
      case State::kInField: {
        if (!copy_run(m.unquoted_stop)) {
          break;
        }
        const char stop = *p;
        if (stop == ',') {
          ++p;
          save();
          state = State::kStartField;
        } else if (stop == '\0') {
          ++p;
        } else {
          save();
          return take_line_end();
        }
        break;
      }
      case State::kInQuoted: {
        if (!copy_run(m.quoted_stop)) {
          break;
        }
        const char stop = *p;
        if (stop == '"') {
          ++p;
          state = State::kQuoteInQuoted;
        } else if (stop == '\0') {
          ++p;
        } else {
          // A line break inside quotes reads as "\n", as from a text-mode file.
          take_line_end();
          store.push_back('\n');
        }
        break;
      }
      case State::kQuoteInQuoted:
        if (c == '"') {
          ++p;
          store.push_back('"');
          state = State::kInQuoted;
        } else if (c == ',') {
          ++p;
          save();
          state = State::kStartField;
        } else if (c == '\n' || c == '\r') {
          save();
          return take_line_end();
        } else if (c == '\0' && strip) {
          ++p;
        } else {
          // Text after a closing quote joins the field unquoted.
          state = State::kInField;
        }
        break;
    }
  }
}

std::string csv_format_row(const std::vector<std::string>& cells) {
  std::string out;
  if (cells.size() == 1 && cells[0].empty()) {
    return "\"\"\r\n";
  }
  bool first = true;
  for (const auto& cell : cells) {
    if (!first) {
      out.push_back(',');
    }
    first = false;
    if (cell.find_first_of(",\"\r\n") == std::string::npos) {
      out += cell;
      continue;
    }
    out.push_back('"');
    for (const char c : cell) {
      if (c == '"') {
        out.push_back('"');
      }
      out.push_back(c);
    }
    out.push_back('"');
  }
  out += "\r\n";
  return out;
}

}  // namespace arvcore::value
