#include "arvcore/value/csv.hpp"

#include <array>
#include <cstring>

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
      in.read(buf.data() + carry_len, static_cast<std::streamsize>(chunk));
      if (in.bad()) {
        throw OSError("error while reading CSV input");
      }
      const auto got = static_cast<std::size_t>(in.gcount());
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

  // Copies ordinary characters up to the next one in `stop`; false when the chunk ran out
  // first.
  bool copy_run(const CharSet& stop, std::string& store) {
    const char* q = p;
    while (q != end && !stop[static_cast<unsigned char>(*q)]) {
      ++q;
    }
    store.append(p, q);
    p = q;
    return q != end;
  }

  // At a line end: takes "\r\n", "\r" or "\n".
  void take_line_end() {
    const char c = *p++;
    if (c == '\r' && (p != end || refill()) && *p == '\n') {
      ++p;
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
  // Where each cell of the row being read ends in the row's storage.
  std::vector<std::size_t> cell_ends;
};

CsvReader::CsvReader(std::istream& in, bool strip_nul) : CsvReader(in, strip_nul, kDefaultChunk) {}

CsvReader::CsvReader(std::istream& in, bool strip_nul, std::size_t chunk_size)
    : impl_(std::make_unique<Impl>(in, strip_nul, chunk_size)) {}

CsvReader::~CsvReader() = default;

bool CsvReader::next(CsvRow& row) {
  Impl& m = *impl_;
  row.clear();
  std::string& store = row.storage();
  store.clear();
  m.cell_ends.clear();
  auto save = [&] { m.cell_ends.push_back(store.size()); };
  auto finish = [&] {
    // Views are made at the end: `store` may move while it grows.
    const std::string_view all(store);
    std::size_t from = 0;
    for (const std::size_t to : m.cell_ends) {
      row.push(all.substr(from, to - from));
      from = to;
    }
    return true;
  };

  enum class State { kStartRecord, kStartField, kInField, kInQuoted, kQuoteInQuoted };
  State state = State::kStartRecord;
  // A line holding only NULs still counts as a line once they are stripped.
  bool line_seen = false;
  for (;;) {
    if (m.p == m.end && !m.refill()) {
      if (state == State::kStartRecord) {
        return line_seen && finish();
      }
      save();
      return finish();
    }
    const char c = *m.p;
    switch (state) {
      case State::kStartRecord:
        if (c == '\n' || c == '\r') {
          m.take_line_end();
          return finish();
        }
        if (c == '\0' && m.strip_nul) {
          ++m.p;
          line_seen = true;
          break;
        }
        state = State::kStartField;
        break;
      case State::kStartField:
        if (c == '"') {
          ++m.p;
          state = State::kInQuoted;
        } else if (c == ',') {
          ++m.p;
          save();
        } else if (c == '\n' || c == '\r') {
          m.take_line_end();
          save();
          return finish();
        } else if (c == '\0' && m.strip_nul) {
          ++m.p;
        } else {
          state = State::kInField;
        }
        break;
      case State::kInField: {
        if (!m.copy_run(m.unquoted_stop, store)) {
          break;
        }
        const char stop = *m.p;
        if (stop == ',') {
          ++m.p;
          save();
          state = State::kStartField;
        } else if (stop == '\0') {
          ++m.p;
        } else {
          m.take_line_end();
          save();
          return finish();
        }
        break;
      }
      case State::kInQuoted: {
        if (!m.copy_run(m.quoted_stop, store)) {
          break;
        }
        const char stop = *m.p;
        if (stop == '"') {
          ++m.p;
          state = State::kQuoteInQuoted;
        } else if (stop == '\0') {
          ++m.p;
        } else {
          // A line break inside quotes reads as "\n", as from a text-mode file.
          m.take_line_end();
          store.push_back('\n');
        }
        break;
      }
      case State::kQuoteInQuoted:
        if (c == '"') {
          ++m.p;
          store.push_back('"');
          state = State::kInQuoted;
        } else if (c == ',') {
          ++m.p;
          save();
          state = State::kStartField;
        } else if (c == '\n' || c == '\r') {
          m.take_line_end();
          save();
          return finish();
        } else if (c == '\0' && m.strip_nul) {
          ++m.p;
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
