#include "arvcore/value/csv.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/cpu.hpp"
#include "arvcore/value/detail/textfile.hpp"

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

// Length of `bytes` less a UTF-8 sequence that its end cuts short (which continues in the
// bytes that follow).
std::size_t uncut_length(std::string_view bytes) {
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((c & 0xC0) != 0x80) {
      return c >= 0xC0 && sequence_length(c) > back ? bytes.size() - back : bytes.size();
    }
  }
  return bytes.size();
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

// Writes the cells ended by the commas in `commas` (bit i: byte base + i) at `out`.
std::size_t* put_comma_ends(unsigned commas, std::size_t base, std::size_t* out) {
  for (; commas != 0; commas &= commas - 1) {
    *out++ = base + static_cast<std::size_t>(std::countr_zero(commas));
  }
  return out;
}

#if defined(__x86_64__)
// Where 32-byte blocks from `q` on stop: at the first byte that ends the plain part of the line
// starting at `p` (CR, LF, quote, NUL when NULs are stripped), else where fewer than 32 bytes
// are left. The ends of the cells before it are written from `out` on.
struct BlockScan {
  const char* q;
  std::size_t* out;
  bool stopped;
};

__attribute__((target("avx2,bmi"))) BlockScan scan_blocks_avx2(const char* p, const char* q,
                                                               const char* end, bool strip,
                                                               CsvRow& row, std::size_t* out) {
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i nul = _mm256_setzero_si256();
  for (; end - q >= 32; q += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    __m256i hits =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)),
                        _mm256_cmpeq_epi8(v, quote));
    if (strip) {
      hits = _mm256_or_si256(hits, _mm256_cmpeq_epi8(v, nul));
    }
    const auto commas =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, comma)));
    const auto special = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
    row.commit(out);
    out = row.room(33);
    const auto base = static_cast<std::size_t>(q - p);
    if (special != 0) {
      const int at = std::countr_zero(special);
      return {q + at, put_comma_ends(commas & ((std::uint32_t{1} << at) - 1), base, out), true};
    }
    out = put_comma_ends(commas, base, out);
  }
  return {q, out, false};
}
#endif

// The commas of a block of bytes, and the bytes that end the plain part of a line in it (CR,
// LF, quote, and NUL when NULs are stripped): bit i stands for byte i.
struct BlockMasks {
  std::uint32_t commas;
  std::uint32_t stops;
};

#if defined(__SSE2__)
// Those of a 16-byte block.
BlockMasks masks16(const char* q, bool nul_stops) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  __m128i stops = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
      _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
  if (nul_stops) {
    stops = _mm_or_si128(stops, _mm_cmpeq_epi8(v, _mm_setzero_si128()));
  }
  return {static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')))),
          static_cast<std::uint32_t>(_mm_movemask_epi8(stops))};
}
#endif

// Splits the line starting at p into `row` at its commas when it ends within [p, end) at a
// CR or LF with no quote (nor NUL when NULs are stripped) before it, and answers where it ends.
// Null for any other line, and for a blank one: the general reader takes those, from a
// cleared row.
const char* split_plain_line(const char* p, const char* end, bool strip, CsvRow& row) {
  std::size_t* out = row.room(1);
  const char* q = p;
  [[maybe_unused]] bool stopped = false;
#if defined(__x86_64__)
  if (has_avx2()) {
    const BlockScan scan = scan_blocks_avx2(p, q, end, strip, row, out);
    q = scan.q;
    out = scan.out;
    stopped = scan.stopped;
  }
#endif
#if defined(__SSE2__)
  for (; !stopped && end - q >= 16; q += 16) {
    const auto [commas, special] = masks16(q, strip);
    row.commit(out);
    out = row.room(17);
    const auto base = static_cast<std::size_t>(q - p);
    if (special != 0) {
      const int at = std::countr_zero(special);
      out = put_comma_ends(commas & ((1u << at) - 1), base, out);
      q += at;
      break;
    }
    out = put_comma_ends(commas, base, out);
  }
#endif
  for (; q != end && *q != '\r' && *q != '\n'; ++q) {
    if (*q == '"' || (*q == '\0' && strip)) {
      break;
    }
    if (*q == ',') {
      row.commit(out);
      out = row.room(2);
      *out++ = static_cast<std::size_t>(q - p);
    }
  }
  if (q == end || q == p || (*q != '\r' && *q != '\n')) {
    row.clear();
    return nullptr;
  }
  *out++ = static_cast<std::size_t>(q - p);
  row.commit(out);
  return q;
}

// The commas and stops of a 32-byte block.
BlockMasks block_masks(const char* q) {
#if defined(__SSE2__)
  const BlockMasks low = masks16(q, true);
  const BlockMasks high = masks16(q + 16, true);
  return {low.commas | high.commas << 16, low.stops | high.stops << 16};
#else
  BlockMasks masks{0, 0};
  for (int i = 0; i < 32; ++i) {
    const char c = q[i];
    masks.commas |= static_cast<std::uint32_t>(c == ',') << i;
    masks.stops |= static_cast<std::uint32_t>(c == '\r' || c == '\n' || c == '"' || c == '\0') << i;
  }
  return masks;
#endif
}

// What the scan of a plain line found: its first stop byte (null when none lies in reach) and
// the end of the cell ends written.
struct LineEnds {
  const char* stop;
  std::uint32_t* out;
};

// Lines longer than this are left to the general reader: a caller peeks for short rows.
constexpr std::size_t kPeekLine = std::size_t{1} << 16;

// Finds the first stop of the line at `p` in 32-byte blocks, each with another block's bytes
// after it before `end`: a line end found so is never the chunk's last byte, which may be the
// CR of a CR LF cut in two, and a caller may read past the line's last cell. The offsets of the
// commas before the stop are written from `out` on while it lies before `last`.
LineEnds line_ends(const char* p, const char* end, std::uint32_t* out, const std::uint32_t* last) {
  for (const char* q = p; end - q > 64 && static_cast<std::size_t>(q - p) < kPeekLine; q += 32) {
    auto [commas, stops] = block_masks(q);
    commas &= (stops & (0 - stops)) - 1;
    const auto base = static_cast<std::uint32_t>(q - p);
    for (; out < last && commas != 0; commas &= commas - 1) {
      *out++ = base + static_cast<std::uint32_t>(std::countr_zero(commas));
    }
    if (stops != 0) {
      return {q + std::countr_zero(stops), out};
    }
  }
  return {nullptr, out};
}

#if defined(__x86_64__)
// The stops and the commas of a 32-byte block, as bits.
__attribute__((target("avx2"))) std::uint32_t stop_bits(__m256i v) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(
      _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')),
                                      _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))),
                      _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                                      _mm256_cmpeq_epi8(v, _mm256_setzero_si256())))));
}

__attribute__((target("avx2"))) std::uint32_t comma_bits(__m256i v) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(','))));
}

// For each byte of a bit mask, the positions of its set bits, lowest first.
constexpr auto kBitPositions = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned n = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((byte >> bit & 1U) != 0) {
        table[byte] |= std::uint64_t{bit} << (8 * n++);
      }
    }
  }
  return table;
}();

// line_ends() with AVX2, 64 bytes at a time (and another 32 after them). The commas of each
// eight bytes are written at once, from a table of bit positions, without a branch on how
// many there are; the writing stops after the last comma's eight. `out` has room for 72 more
// past `last`.
__attribute__((target("avx2,popcnt"))) LineEnds line_ends_avx2(const char* p, const char* end,
                                                               std::uint32_t* out,
                                                               const std::uint32_t* last) {
  for (const char* q = p; end - q > 96 && static_cast<std::size_t>(q - p) < kPeekLine; q += 64) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
    const std::uint64_t stops = stop_bits(lo) | std::uint64_t{stop_bits(hi)} << 32;
    std::uint64_t commas =
        (comma_bits(lo) | std::uint64_t{comma_bits(hi)} << 32) & ((stops & (0 - stops)) - 1);
    if (out < last) {
      __m256i base = _mm256_set1_epi32(static_cast<int>(q - p));
      while (commas != 0) {
        const unsigned byte = commas & 0xFF;
        const __m256i at =
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kBitPositions[byte])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi32(at, base));
        out += _mm_popcnt_u32(byte);
        base = _mm256_add_epi32(base, _mm256_set1_epi32(8));
        commas >>= 8;
      }
    }
    if (stops != 0) {
      return {q + std::countr_zero(stops), out};
    }
  }
  return {nullptr, out};
}
#endif

}  // namespace

struct CsvReader::Impl {
  Impl(std::istream* stream, std::string_view text, bool strip, std::size_t chunk_size)
      : in(stream),
        strip_nul(strip),
        chunk(chunk_size == 0 ? 1 : chunk_size),
        // Left uninitialised: only the bytes a read delivers are ever looked at, and zeroing a
        // whole chunk for every reader costs more than reading a small table.
        buf(stream != nullptr ? std::make_unique_for_overwrite<char[]>(chunk + 4) : nullptr),
        text_next(text.data()),
        text_end(text.data() + text.size()),
        unquoted_stop(make_set(",\r\n", strip)),
        quoted_stop(make_set("\"\r\n", strip)) {}

  // Makes the next validated bytes available in [p, end); false at end of input, and at the
  // line of bytes that are not UTF-8 (`failure` says why).
  bool refill() {
    if (!failure.empty()) {
      return false;
    }
    return in != nullptr ? refill_from_stream() : refill_from_text();
  }

  // Ends the input before the line of the first bad sequence of `window`, the bytes from
  // `consumed` on: the rows before that line are read as usual, and the reader fails when it
  // comes to that line, wherever its windows began. False when no byte comes before that line.
  bool end_before_bad_line(const char* window, std::size_t size) {
    const std::string_view text(window, size);
    failure = utf8_error_message(text, consumed);
    const std::size_t line_end = text.substr(0, valid_utf8_prefix(text)).find_last_of("\r\n");
    const std::size_t keep = line_end == std::string_view::npos ? 0 : line_end + 1;
    consumed += keep;
    p = window;
    end = window + keep;
    return keep != 0;
  }

  // Input that ends inside a sequence, whose last bytes are `cut_short`: the rows before its
  // line are read, and the reader fails at that line.
  bool end_cut_short(std::string_view cut_short) {
    failure = utf8_error_message(cut_short, consumed);
    return false;
  }

  // The next window of an in-place text, extended past the chunk size to the end of a
  // sequence it cuts, so that every window is whole UTF-8 on its own.
  bool refill_from_text() {
    if (text_next == text_end && !next_piece()) {
      return false;
    }
    const char* stop = text_next + std::min(chunk, static_cast<std::size_t>(text_end - text_next));
    for (int k = 0; k < 3 && stop != text_end && (static_cast<unsigned char>(*stop) & 0xC0) == 0x80;
         ++k) {
      ++stop;
    }
    const std::string_view ready(text_next, static_cast<std::size_t>(stop - text_next));
    if (!piece_utf8 && !is_valid_utf8(ready)) {
      return end_before_bad_line(text_next, ready.size());
    }
    consumed += ready.size();
    p = text_next;
    end = stop;
    text_next = stop;
    return true;
  }

  // Moves on to the next piece of a file read ahead: the rest of its current chunk, or the
  // next chunk. A sequence cut by a chunk's end waits in `carry` and is completed from the
  // start of the next chunk, in a small window of its own.
  bool next_piece() {
    if (chunks == nullptr) {
      return false;
    }
    if (pending.empty()) {
      const FileReadAhead::Chunk chunk = chunks->next();
      pending = chunk.bytes;
      pending_utf8 = chunk.utf8;
      if (pending.empty()) {
        return carry_len != 0 && end_cut_short(std::string_view(carry.data(), carry_len));
      }
    }
    if (carry_len != 0) {
      const std::size_t want = sequence_length(static_cast<unsigned char>(carry[0]));
      while (carry_len < want && !pending.empty()) {
        carry[carry_len++] = pending.front();
        pending.remove_prefix(1);
      }
      if (carry_len < want) {
        return next_piece();
      }
      bridge = carry;
      text_next = bridge.data();
      text_end = bridge.data() + carry_len;
      piece_utf8 = false;
      carry_len = 0;
      return true;
    }
    const std::size_t cut = uncut_length(pending);
    carry_len = pending.size() - cut;
    std::memcpy(carry.data(), pending.data() + cut, carry_len);
    text_next = pending.data();
    text_end = pending.data() + cut;
    // A chunk checked whole on the read-ahead thread needs no check window by window.
    piece_utf8 = pending_utf8;
    pending = {};
    return cut != 0 || next_piece();
  }

  // Reads the next chunk into the buffer; a sequence cut at its end waits for the next one.
  bool refill_from_stream() {
    for (;;) {
      // A UTF-8 sequence cut by the previous chunk boundary goes first.
      std::memcpy(buf.get(), carry.data(), carry_len);
      // Straight from the buffer: the stream's state and exception mask play no part, and
      // whatever the buffer throws reaches the caller unchanged.
      std::streambuf* source = in->rdbuf();
      if (source == nullptr) {
        throw OSError("CSV input stream has no buffer");
      }
      const std::streamsize n =
          source->sgetn(buf.get() + carry_len, static_cast<std::streamsize>(chunk));
      const auto got = static_cast<std::size_t>(n > 0 ? n : 0);
      const std::size_t total = carry_len + got;
      if (got == 0) {
        return carry_len != 0 && end_cut_short(std::string_view(buf.get(), carry_len));
      }
      // Hold back a sequence that continues in the next chunk.
      const std::size_t cut = uncut_length(std::string_view(buf.get(), total));
      const std::string_view ready(buf.get(), cut);
      if (!is_valid_utf8(ready)) {
        return end_before_bad_line(buf.get(), cut);
      }
      carry_len = total - cut;
      std::memcpy(carry.data(), buf.get() + cut, carry_len);
      consumed += cut;
      p = buf.get();
      end = buf.get() + cut;
      if (cut != 0) {
        return true;
      }
    }
  }

  std::istream* const in;  // null when reading a text in place
  const bool strip_nul;
  const std::size_t chunk;
  std::unique_ptr<char[]> buf;  // chunk + 4 bytes when reading a stream
  // The text being read in place: what is left of it, or of the current piece of a file.
  const char* text_next;
  const char* text_end;
  FileReadAhead* chunks = nullptr;  // where a file's pieces come from
  std::string_view pending;         // the rest of a chunk, after a bridged sequence
  bool pending_utf8 = false;        // that chunk is well-formed UTF-8 as a whole
  bool piece_utf8 = false;          // so is the piece being read
  std::array<char, 4> bridge{};
  const char* p = nullptr;
  const char* end = nullptr;
  std::array<char, 4> carry{};
  std::size_t carry_len = 0;
  std::uint64_t consumed = 0;
  std::string failure;  // why the input cannot be read on past `end`: a line that is not UTF-8
  std::size_t lines = 0;
  bool at_start = true;  // nothing read yet: a byte-order mark may come
  // Characters that end a run of ordinary ones outside and inside quotes.
  const CharSet unquoted_stop;
  const CharSet quoted_stop;
};

CsvReader::CsvReader(std::istream& in, bool strip_nul) : CsvReader(in, strip_nul, kDefaultChunk) {}

CsvReader::CsvReader(std::istream& in, bool strip_nul, std::size_t chunk_size)
    : impl_(std::make_unique<Impl>(&in, std::string_view(), strip_nul, chunk_size)) {}

CsvReader::CsvReader(std::string_view text, bool strip_nul)
    : CsvReader(text, strip_nul, kDefaultChunk) {}

CsvReader::CsvReader(std::string_view text, bool strip_nul, std::size_t chunk_size)
    : impl_(std::make_unique<Impl>(nullptr, text, strip_nul, chunk_size)) {}

CsvReader::CsvReader(FileReadAhead& file, bool strip_nul)
    : CsvReader(std::string_view(), strip_nul) {
  impl_->chunks = &file;
}

CsvReader::CsvReader(FileReadAhead& file, bool strip_nul, std::uint64_t from,
                     std::size_t lines_before)
    : CsvReader(file, strip_nul) {
  impl_->consumed = from;
  impl_->lines = lines_before;
  impl_->at_start = from == 0;  // a byte-order mark opens a file only
}

CsvReader::~CsvReader() = default;

bool CsvReader::next(CsvRow& row) {
  Impl& m = *impl_;
  row.clear();
  std::string& store = row.storage();
  auto save = [&] {
    row.push_end(store.size());
    store.push_back(',');
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
  if (m.at_start) {
    m.at_start = false;
    // A window always holds whole UTF-8 sequences, so a mark is never split across two.
    if ((p != end || refill()) && end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
      p += 3;
      m.p = p;
    }
  }
  // At a line end: takes "\r\n", "\r" or "\n".
  auto take_line_end = [&] {
    ++m.lines;
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

  // A blank line is a row without cells; the general reader gives it.
  if (const char* stop = split_plain_line(p, end, strip, row); stop != nullptr) {
    if (stop + 1 != end) {
      row.set_text(p);
      m.p = stop + (stop[0] == '\r' && stop[1] == '\n' ? 2 : 1);
      ++m.lines;
      return true;
    }
    // The line end closes the window: taking it may read on, which can put other bytes where
    // the line was, so the row keeps a copy.
    store.assign(p, static_cast<std::size_t>(stop - p));
    row.use_storage();
    p = stop;
    return take_line_end();
  }

  // Any other line is built up in the row's storage, which the row's cells point into
  // once it is complete, however the line ends.
  struct PointIntoStorage {
    CsvRow& row;
    ~PointIntoStorage() { row.use_storage(); }
  } const point_into_storage{row};
  enum class State { kStartRecord, kStartField, kInField, kInQuoted, kQuoteInQuoted };
  State state = State::kStartRecord;
  // A line holding only NULs still counts as a line once they are stripped.
  bool line_seen = false;
  for (;;) {
    if (p == end && !refill()) {
      m.p = p;
      if (!m.failure.empty()) {
        throw UnicodeError(m.failure);  // at the line that is not UTF-8, or in a row reaching it
      }
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

bool CsvReader::peek_plain(CsvCells& cells) const {
  const Impl& m = *impl_;
  if (m.at_start) {
    return false;  // a byte-order mark may open the input
  }
  const char* const p = m.p;
  std::uint32_t* const first = cells.ends_ + 1;
  const std::uint32_t* const last = first + CsvCells::kMax;  // past kMax ends: written, not kept
#if defined(__x86_64__)
  const LineEnds line =
      has_avx2() ? line_ends_avx2(p, m.end, first, last) : line_ends(p, m.end, first, last);
#else
  const LineEnds line = line_ends(p, m.end, first, last);
#endif
  const char* const stop = line.stop;
  if (stop == nullptr || (*stop != '\r' && *stop != '\n') || stop == p) {
    return false;
  }
  const auto cells_before = static_cast<std::size_t>(line.out - first);
  if (cells_before < CsvCells::kMax) {
    *line.out = static_cast<std::uint32_t>(stop - p);
  }
  cells.text_ = p;
  cells.line_end_ = stop;
  cells.cells_ = std::min(cells_before + 1, CsvCells::kMax);
  return true;
}

void CsvReader::take(const CsvCells& cells) {
  Impl& m = *impl_;
  const char* const stop = cells.line_end_;
  m.p = stop + (stop[0] == '\r' && stop[1] == '\n' ? 2 : 1);
  ++m.lines;
}

std::size_t CsvReader::lines_read() const {
  return impl_->lines;
}

std::uint64_t CsvReader::offset() const {
  return impl_->consumed - static_cast<std::uint64_t>(impl_->end - impl_->p);
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
    // A row that opens with a byte-order mark is quoted, or a reader at the start of a file
    // would take the mark for the file's own and drop it from the cell.
    const bool opens_with_mark = first && cell.starts_with("\xEF\xBB\xBF");
    first = false;
    if (!opens_with_mark && cell.find_first_of(",\"\r\n") == std::string::npos) {
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
