// The CSV reader over text in memory, over a stream and over a file read ahead in chunks.
//
// Input: one options byte, then the text. Bit 0 strips NUL characters; bits 1-5 pick the chunk
// size (1 to 32 bytes, so that rows, quoted fields, "\r\n" pairs and UTF-8 sequences are cut
// at every place); bits 6 and 7 both set add the file reader, with 16 times that chunk size. All
// readers must give the same rows, and a text that one refuses as bad UTF-8 the others refuse too;
// so must a reader that takes the lines it can where they lie, with 16 times the chunk size.
// Rows that the writer can form read back as the same cells.

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "fuzz_support.hpp"

namespace {

using arvcore::value::CsvReader;
using arvcore::value::CsvRow;
using Rows = std::vector<std::vector<std::string>>;

struct Reading {
  Rows rows;
  bool refused = false;  // the reader threw UnicodeError
};

Reading read_all(CsvReader& reader) {
  Reading out;
  CsvRow row;
  try {
    while (reader.next(row)) {
      out.rows.push_back(row.to_vector());
    }
  } catch (const arvcore::UnicodeError&) {
    out.refused = true;
  }
  return out;
}

// The same, taking every line that peek_plain finds as it finds it (a line of more cells than
// it keeps is read whole instead).
Reading read_all_peeking(CsvReader& reader) {
  Reading out;
  CsvRow row;
  arvcore::value::CsvCells cells;
  try {
    for (;;) {
      if (reader.peek_plain(cells) && cells.size() < arvcore::value::CsvCells::kMax) {
        std::vector<std::string>& r = out.rows.emplace_back();
        for (std::size_t i = 0; i < cells.size(); ++i) {
          r.emplace_back(cells[i]);
        }
        reader.take(cells);
      } else if (reader.next(row)) {
        out.rows.push_back(row.to_vector());
      } else {
        break;
      }
    }
  } catch (const arvcore::UnicodeError&) {
    out.refused = true;
  }
  return out;
}

// A refusal may come a few rows earlier with larger chunks (bytes are checked as a chunk is
// taken), so the rows before it need only agree as far as both readers got.
void check_same(const Reading& a, const Reading& b, const char* what) {
  if (a.refused != b.refused) {
    arvcore::fuzz::fail(what);
  }
  if (!a.refused && a.rows != b.rows) {
    arvcore::fuzz::fail(what);
  }
  const std::size_t n = std::min(a.rows.size(), b.rows.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a.rows[i] != b.rows[i]) {
      arvcore::fuzz::fail(what);
    }
  }
}

// The writer quotes what needs quoting; reading its line gives the cells back, except that a
// carriage return inside a quoted field reads as a line feed.
void check_round_trip(const Rows& rows, bool strip_nul) {
  for (const auto& cells : rows) {
    const std::string line = arvcore::value::csv_format_row(cells);
    if (line.find('\r') != line.size() - 2 || (strip_nul && line.find('\0') != std::string::npos)) {
      continue;
    }
    CsvReader reader(std::string_view(line), strip_nul);
    CsvRow row;
    if (!reader.next(row) || row.to_vector() != cells || reader.next(row)) {
      arvcore::fuzz::fail("a written row does not read back as its cells");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t options = data[0];
  const bool strip_nul = (options & 1) != 0;
  const std::size_t chunk = 1 + ((options >> 1) & 31);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  CsvReader in_memory(text, strip_nul, chunk);
  const Reading a = read_all(in_memory);

  // Lines found where they lie: chunks of 16 to 512 bytes, so that some lines are and some
  // are not.
  CsvReader peeking(text, strip_nul, 16 * chunk);
  check_same(a, read_all_peeking(peeking), "peeked lines differ from the rows read");

  std::istringstream stream{std::string(text)};
  CsvReader streamed(stream, strip_nul, chunk + 7);
  check_same(a, read_all(streamed), "text and stream readers differ");

  if ((options & 0xC0) == 0xC0) {
    const auto path = arvcore::fuzz::scratch_dir() / "input.csv";
    arvcore::fuzz::write_input(path, data + 1, size - 1);
    // Chunks of 16 to 512 bytes: each one is handed over by the read-ahead thread.
    arvcore::value::FileReadAhead file(path, 16 * chunk);
    CsvReader from_file(file, strip_nul);
    check_same(a, read_all(from_file), "text and file readers differ");
  }
  if (!a.refused) {
    check_round_trip(a.rows, strip_nul);
  }
  return 0;
}
