#pragma once
// CSV reading and writing with the semantics of Python's csv.reader / csv.writer
// (default "excel" dialect).

#include <cstddef>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace arvcore::value {

/// One parsed row. Cells stay valid until the next CsvReader::next() on the same row object.
class CsvRow {
 public:
  std::size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  std::string_view operator[](std::size_t i) const {
    return {storage_.data() + spans_[i].first, spans_[i].second - spans_[i].first};
  }
  std::vector<std::string> to_vector() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
      out.emplace_back((*this)[i]);
    }
    return out;
  }

  // Used by the reader: the row's text, and where each cell begins and ends in it.
  void clear() {
    spans_.clear();
    storage_.clear();
  }
  void push(std::string_view cell) {
    spans_.emplace_back(storage_.size(), storage_.size() + cell.size());
    storage_.append(cell);
  }
  std::string& storage() { return storage_; }
  std::vector<std::pair<std::size_t, std::size_t>>& spans() { return spans_; }

 private:
  std::vector<std::pair<std::size_t, std::size_t>> spans_;
  std::string storage_;
};

/// Streams rows from a text stream like Python's csv.reader over a file opened in text mode
/// (UTF-8, universal newlines): comma separator, '"' quoting with doubled quotes, quoted
/// fields spanning lines, a quote inside an unquoted field kept literally. "\r\n", "\n" and
/// "\r" all end a line and all read as "\n" inside a quoted field. A blank line gives a row
/// with no cells, a trailing comma an empty last cell, and input that ends inside a quoted
/// field gives the row read so far. Without `strip_nul` NUL is an ordinary character; with
/// it, NUL characters are removed from each physical line before it is split.
/// The input is read in chunks from the stream's buffer, never whole. Bytes that are not
/// UTF-8 throw arvcore::UnicodeError when the reader reaches them; an exception thrown by the
/// stream's buffer reaches the caller unchanged.
class CsvReader {
 public:
  explicit CsvReader(std::istream& in, bool strip_nul = false);
  /// As above, reading `chunk_size` bytes at a time.
  CsvReader(std::istream& in, bool strip_nul, std::size_t chunk_size);
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
