#pragma once
// The later half of a large calibration file, read on a thread of its own beside the parse of
// the earlier half. Its DATA rows, nearly all of its rows, go to a store of their own, which the
// parse takes once its own rows reach the row where the later half begins: the table comes
// out as if every row had been read in turn. Whatever the later half cannot stand for (a row
// of another kind, a row that fails, text that is not UTF-8) is left to the parse to read in
// its turn, so that results, failures and log records come where they would have come.
//
// The two halves seldom take the same time on a shared machine. When the later half is done
// first and the parse still has far to go, its thread goes on with a piece of the parse's rows:
// from a line near the middle of what is left to the row where the later half begins. The parse
// takes that piece's rows when it comes to that line, the later half's after them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <thread>

#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/cali_rows.hpp"

namespace arvcore::vlndev::detail {

class CaliLaterRows {
 public:
  /// Files from this size on are split; smaller ones are read in one go.
  static constexpr std::uint64_t kSplitFrom = std::uint64_t{4} << 20;
  /// For tests: splits files from `bytes` on instead, answering the size it replaces.
  static std::uint64_t set_split_from(std::uint64_t bytes);
  /// For tests: how many later halves parses have taken so far.
  static std::uint64_t halves_taken();
  /// For tests: how pieces of the parse's rows are read.
  enum class Pieces {
    kLarge,    // as in use: only where the parse has far to go
    kAnySize,  // however little the parse has left, when the timing allows
    kAlways,   // of any size, and the parse waits at its first row for the choice of one, so
               // that a piece is read whatever the timing
  };
  /// For tests: reads pieces as `pieces` says; answers the setting it replaces.
  static Pieces set_pieces(Pieces pieces);
  /// For tests: how many pieces parses have taken so far.
  static std::uint64_t pieces_taken();

  /// Starts reading `file`, the parse's own, from the first step of DATA rows that begins
  /// near its middle, on a thread of its own; `file` outlives this object. Does nothing
  /// for a file below kSplitFrom, or when no thread is to be had.
  explicit CaliLaterRows(const value::FileReadAhead& file);
  /// Stops the thread early if it still runs, and waits for it.
  ~CaliLaterRows();
  CaliLaterRows(const CaliLaterRows&) = delete;
  CaliLaterRows& operator=(const CaliLaterRows&) = delete;

  /// Whether the parse, about to read the row at byte `offset`, has come to the row where the
  /// later half, or a piece before it, begins or passed it. Once the parse is near the middle
  /// of the file, waits until that row is known.
  bool due(std::uint64_t offset) {
    parse_at_.store(offset, std::memory_order_relaxed);
    return offset >= due_from_.load(std::memory_order_acquire) && arrived(offset);
  }

  /// Where the rows the later half stands for end: the first row it left to the parse.
  struct End {
    std::uint64_t offset = 0;
    std::size_t lines = 0;  // lines from the later half's first row to that row
  };

  /// Waits for the rows due (see due()): the DATA rows of the piece or of the later half, when
  /// they stand for the rows from byte `offset` on (where the parse is), else null; `end`
  /// tells where the parse goes on after them.
  CaliData* rows_from(std::uint64_t offset, End& end);
  /// Whether the later half is still to come: rows_from() answered for a piece.
  bool pending() const { return pending_; }
  /// Tells that the parse took the rows rows_from() answered.
  void taken();

 private:
  static constexpr std::uint64_t kNotYet = std::numeric_limits<std::uint64_t>::max();
  static constexpr std::uint64_t kNone = kNotYet - 1;  // no later half after all

  // A piece of the parse's rows read by the thread once done with the later half.
  struct Piece {
    std::atomic<std::uint64_t> begin{kNone};  // offset of its first row, once chosen
    std::atomic<bool> chosen{false};          // whether there is a piece is known
    std::atomic<bool> dropped{false};         // the parse passed its first row, or stopped
    bool usable = false;
    End end;
    CaliData data;
  };

  bool arrived(std::uint64_t offset);
  std::uint64_t begin();
  void run(const value::FileReadAhead& file) noexcept;
  void read_rows(const value::FileReadAhead& file);
  void read_piece(const value::FileReadAhead& file);
  // Reads DATA rows from `reader` into `rows` until one of another kind, one that fails, the
  // end of the text, or byte `stop`; true when it stopped at `stop` or before, and not
  // because `give_up` turned true. `end` tells where the rows read end.
  bool read_data_rows(value::CsvReader& reader, DataRowReader& rows, std::uint64_t stop,
                      const std::atomic<bool>& give_up, End& end);
  bool find_first_step(value::CsvReader& reader, value::CsvRow& row, std::size_t& lines);
  void stop();

  std::atomic<std::uint64_t> due_from_{kNone};  // where the parse starts to look
  std::atomic<std::uint64_t> begin_{kNotYet};   // offset of the later half's first row
  std::atomic<std::uint64_t> parse_at_{0};      // where the parse was when it last looked
  std::atomic<bool> cancelled_{false};
  // Written by the thread, read once it has ended.
  bool usable_ = false;
  End end_;
  CaliData data_;
  std::optional<DataRowReader> rows_;  // the later half's, whose channel keys a piece starts with
  Piece piece_;
  // The parse's own.
  bool piece_done_ = false;  // the piece was taken or passed
  bool pending_ = true;
  std::thread thread_;
};

}  // namespace arvcore::vlndev::detail
