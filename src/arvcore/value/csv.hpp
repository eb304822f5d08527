#pragma once
// CSV reading and writing with the semantics of Python's csv.reader / csv.writer
// (default "excel" dialect).

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace arvcore::value {

class FileReadAhead;

/// The first cells of a line that CsvReader::peek_plain found where it lies, unsplit past
/// them: enough for the few rows a caller reads by the million. Cells stay valid until the
/// reader reads on, and the 32 bytes after the line's end may be read with them.
class CsvCells {
 public:
  static constexpr std::size_t kMax = 24;

  /// The line's cells, but at most kMax.
  std::size_t size() const { return cells_; }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = ends_[i] + 1;
    return {text_ + begin, ends_[i + 1] - begin};
  }

 private:
  friend class CsvReader;
  const char* text_ = nullptr;
  const char* line_end_ = nullptr;  // the CR or LF that ends the line
  std::size_t cells_ = 0;
  // ends_[0] stands for the separator before the first cell; up to 72 more ends may be
  // written past the kMax-th.
  std::uint32_t ends_[kMax + 73] = {static_cast<std::uint32_t>(-1)};
};

/// One parsed row. Cells stay valid until the next CsvReader::next() on the same row object
/// or on its reader, whichever comes first.
class CsvRow {
 public:
  CsvRow() = default;
  // Cells may point into the row's own storage.
  CsvRow(const CsvRow&) = delete;
  CsvRow& operator=(const CsvRow&) = delete;

  std::size_t size() const { return cells_; }
  bool empty() const { return cells_ == 0; }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = ends_[i] + 1;
    return {text_ + begin, ends_[i + 1] - begin};
  }
  std::vector<std::string> to_vector() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
      out.emplace_back((*this)[i]);
    }
    return out;
  }

  // Used by the reader. The row's text is either a line still in the reader's buffer or,
  // for a line that had to be unquoted or joined across reads, the row's own storage; in
  // both, one separator byte follows each cell but the last, so that a cell is known by
  // where it ends: it begins one byte after the cell before it ends.
  void clear() {
    cells_ = 0;
    storage_.clear();
    text_ = storage_.data();
  }
  std::string& storage() { return storage_; }
  void set_text(const char* text) { text_ = text; }
  void use_storage() { text_ = storage_.data(); }
  /// Where the ends of the next `n` cells can be written; the buffer only grows, so this
  /// rarely allocates.
  std::size_t* room(std::size_t n) {
    if (ends_.size() < cells_ + n + 1) {
      ends_.resize(2 * (cells_ + n + 1));
    }
    return ends_.data() + cells_ + 1;
  }
  /// Takes the ends written at room() up to `next`.
  void commit(const std::size_t* next) {
    cells_ = static_cast<std::size_t>(next - ends_.data()) - 1;
  }
  void push_end(std::size_t end) {
    *room(1) = end;
    ++cells_;
  }

 private:
  // ends_[0] stands for the separator before the first cell.
  std::vector<std::size_t> ends_{static_cast<std::size_t>(-1)};
  std::size_t cells_ = 0;
  std::string storage_;
  const char* text_ = storage_.data();
};

/// Streams rows from a text stream like Python's csv.reader over a file opened in text mode
/// (UTF-8, universal newlines): comma separator, '"' quoting with doubled quotes, quoted
/// fields spanning lines, a quote inside an unquoted field kept literally. "\r\n", "\n" and
/// "\r" all end a line and all read as "\n" inside a quoted field. A blank line gives a row
/// with no cells, a trailing comma an empty last cell, and input that ends inside a quoted
/// field gives the row read so far. Without `strip_nul` NUL is an ordinary character; with
/// it, NUL characters are removed from each physical line before it is split.
/// The input is read in chunks from the stream's buffer, never whole. Bytes that are not
/// UTF-8 throw arvcore::UnicodeError when the reader comes to their line: the rows before it
/// are read, and lines_read() + 1 is that line, however the input is cut into chunks or
/// where the reader started. An exception thrown by the stream's buffer reaches the caller
/// unchanged.
class CsvReader {
 public:
  explicit CsvReader(std::istream& in, bool strip_nul = false);
  /// As above, reading `chunk_size` bytes at a time.
  CsvReader(std::istream& in, bool strip_nul, std::size_t chunk_size);
  /// Reads `text` where it lies, without copying it; the caller keeps it alive while the
  /// reader is used. It is checked for UTF-8 `chunk_size` bytes at a time, as a stream is.
  explicit CsvReader(std::string_view text, bool strip_nul = false);
  CsvReader(std::string_view text, bool strip_nul, std::size_t chunk_size);
  /// Reads a file's chunks where the read-ahead leaves them, without copying them. The
  /// caller keeps `file` alive while the reader is used.
  explicit CsvReader(FileReadAhead& file, bool strip_nul = false);
  /// As above, for a file read from byte `from` on, where a row starts: offsets and line
  /// counts go on from `from` and `lines_before`.
  CsvReader(FileReadAhead& file, bool strip_nul, std::uint64_t from, std::size_t lines_before);
  ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  /// Reads the next row into `row`; false at end of input.
  bool next(CsvRow& row);
  /// Finds the cells of the next line without reading it, when it is a plain line that
  /// next() would split where it lies (no quote nor NUL, ended by a CR or LF that does not
  /// close the chunk in hand) and is not blank; false for any other line, which next() reads
  /// as usual. take() reads a line found so.
  bool peek_plain(CsvCells& cells) const;
  /// Reads the line that peek_plain() just found, as next() would have read it.
  void take(const CsvCells& cells);
  /// Physical lines read so far (line ends taken): the row that next() reads starts on line
  /// lines_read() + 1.
  std::size_t lines_read() const;
  /// Bytes of the input taken so far: the row that next() reads starts at this offset.
  std::uint64_t offset() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// One row as Python's csv.writer writes it: minimal quoting, ended by "\r\n".
std::string csv_format_row(const std::vector<std::string>& cells);

}  // namespace arvcore::value
