#pragma once
// The later half of a large calibration file, read on a thread of its own beside the parse of
// the earlier half. Its DATA rows, nearly all of its rows, go to a store of their own, which the
// parse takes once its own rows reach the row where the later half begins: the table comes
// out as if every row had been read in turn. Whatever the later half cannot stand for (a row
// of another kind, a row that fails, text that is not UTF-8) is left to the parse to read in
// its turn, so that results, failures and log records come where they would have come.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <thread>

#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace arvcore::vlndev::detail {

class CaliLaterRows {
 public:
  /// Files from this size on are split; smaller ones are read in one go.
  static constexpr std::uint64_t kSplitFrom = std::uint64_t{4} << 20;
  /// For tests: splits files from `bytes` on instead, answering the size it replaces.
  static std::uint64_t set_split_from(std::uint64_t bytes);
  /// For tests: how many later halves parses have taken so far.
  static std::uint64_t halves_taken();

  /// Starts reading `file`, the parse's own, from the first step of DATA rows that begins
  /// near its middle, on a thread of its own; `file` outlives this object. Does nothing
  /// for a file below kSplitFrom, or when no thread is to be had.
  explicit CaliLaterRows(const value::FileReadAhead& file);
  /// Stops the thread early if it still runs, and waits for it.
  ~CaliLaterRows();
  CaliLaterRows(const CaliLaterRows&) = delete;
  CaliLaterRows& operator=(const CaliLaterRows&) = delete;

  /// Whether the parse, about to read the row at byte `offset`, has come to the row where the
  /// later half begins or passed it. Once the parse is near the middle of the file, waits until
  /// that row is known.
  bool due(std::uint64_t offset) { return offset >= due_from_ && offset >= begin(); }

  /// Where the rows the later half stands for end: the first row it left to the parse.
  struct End {
    std::uint64_t offset = 0;
    std::size_t lines = 0;  // lines from the later half's first row to that row
  };

  /// Waits for the later half. Its DATA rows, when they stand for the rows from byte `offset`
  /// on (where the parse is), else null; `end` tells where the parse goes on after them.
  CaliData* rows_from(std::uint64_t offset, End& end);
  /// Tells that the parse took those rows.
  void taken();

 private:
  static constexpr std::uint64_t kNotYet = std::numeric_limits<std::uint64_t>::max();
  static constexpr std::uint64_t kNone = kNotYet - 1;  // no later half after all

  std::uint64_t begin();
  void run(const value::FileReadAhead& file) noexcept;
  void read_rows(const value::FileReadAhead& file);
  bool find_first_step(value::CsvReader& reader, value::CsvRow& row, std::size_t& lines);
  void stop();

  std::uint64_t due_from_ = kNone;             // where the parse starts to look
  std::atomic<std::uint64_t> begin_{kNotYet};  // offset of the later half's first row
  std::atomic<bool> cancelled_{false};
  // Written by the thread, read once it has ended.
  bool usable_ = false;
  End end_;
  CaliData data_;
  std::thread thread_;
};

}  // namespace arvcore::vlndev::detail
