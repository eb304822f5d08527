#pragma once
// CSV reading and writing with the semantics of Python's csv.reader / csv.writer
// (default "excel" dialect).

#include <cstddef>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace arvcore::value {

/// One parsed row. Cells stay valid until the next CsvReader::next() on the same row object.
class CsvRow {
 public:
  std::size_t size() const { return cells_.size(); }
  bool empty() const { return cells_.empty(); }
  std::string_view operator[](std::size_t i) const { return cells_[i]; }
  std::vector<std::string> to_vector() const { return {cells_.begin(), cells_.end()}; }

  // Used by the reader.
  void clear() { cells_.clear(); }
  void push(std::string_view cell) { cells_.push_back(cell); }
  std::string& storage() { return storage_; }

 private:
  std::vector<std::string_view> cells_;
  std::string storage_;
};

/// Streams rows from a text stream like Python's csv.reader: comma separator, '"' quoting
/// with doubled quotes, quoted fields spanning lines, a quote inside an unquoted field kept
/// literally, "\r\n", "\n" and "\r" line ends, a blank line giving a row with no cells.
/// With `strip_nul`, NUL characters are removed from each physical line before it is split.
/// Input must be UTF-8: invalid bytes throw arvcore::UnicodeError; malformed CSV (for
/// example a quoted field still open at end of input) throws arvcore::ValueError.
class CsvReader {
 public:
  explicit CsvReader(std::istream& in, bool strip_nul = false);
  ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  /// Reads the next row into `row`; false at end of input.
  bool next(CsvRow& row);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// One row as Python's csv.writer writes it: minimal quoting, ended by "\r\n".
std::string csv_format_row(const std::vector<std::string>& cells);

}  // namespace arvcore::value
