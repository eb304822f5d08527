#include "arvcore/vlndev/detail/cali_later_rows.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "arvcore/value/csv.hpp"
#include "arvcore/vlndev/detail/cali_numbers.hpp"
#include "arvcore/vlndev/detail/cali_rows.hpp"

namespace arvcore::vlndev::detail {
namespace {

using value::CsvReader;
using value::CsvRow;

// How far past the split point a line start is looked for.
constexpr std::size_t kProbeBytes = std::size_t{64} << 10;
// Rows looked at for the start of a step before the later half begins at any row: a step
// holds a few thousand rows in real tables.
constexpr std::size_t kStepSearchRows = 1 << 15;
// The least the parse must have left before the later half's thread reads a piece of it: less
// would take the parse little longer than the piece's start takes the thread.
constexpr std::uint64_t kLeastPiece = std::uint64_t{1} << 20;

// The step a DATA row belongs to, by its cells: mode, board, chip and step.
class StepCells {
 public:
  template <class Row>
  static bool of_data_row(const Row& row) {
    return row.size() > kPhaseCell && row[0] == kDataKey;
  }
  template <class Row>
  void keep(const Row& row) {
    for (std::size_t k = 0; k < kAt.size(); ++k) {
      cells_[k] = row[kAt[k]];
    }
  }
  template <class Row>
  bool same(const Row& row) const {
    for (std::size_t k = 0; k < kAt.size(); ++k) {
      if (row[kAt[k]] != cells_[k]) {
        return false;
      }
    }
    return true;
  }

 private:
  static constexpr std::array<std::size_t, 4> kAt = {1, 3, 5, 14};
  std::array<std::string, 4> cells_;
};

// Where the later half starts to be looked for: the middle, as a DATA row costs the parse and
// the later half's thread alike.
std::uint64_t split_point(std::uint64_t file_size) {
  return file_size / 2;
}

// Where the first line that starts after byte `offset` of `file` starts, if one does within
// reach.
std::optional<std::uint64_t> line_after(const value::FileReadAhead& file, std::uint64_t offset) {
  const std::size_t newline = file.read_at(offset, kProbeBytes).find('\n');
  if (newline == std::string::npos) {
    return std::nullopt;
  }
  return offset + newline + 1;
}

// Reads `row` into the later half's store: false when the parse must read it in turn.
bool read_here(DataRowReader& rows, const CsvRow& row) {
  try {
    return rows.read(row);
  } catch (...) {
    return false;  // the parse fails at this row in turn
  }
}

// The same for a DATA line given by its first cells.
bool read_here(DataRowReader& rows, const value::CsvCells& cells) {
  try {
    rows.read_data(cells);
    return true;
  } catch (...) {
    return false;
  }
}

std::atomic<std::uint64_t> split_from{CaliLaterRows::kSplitFrom};
std::atomic<std::uint64_t> halves{0};
std::atomic<CaliLaterRows::Pieces> pieces_read{CaliLaterRows::Pieces::kLarge};
std::atomic<std::uint64_t> pieces{0};

}  // namespace

std::uint64_t CaliLaterRows::set_split_from(std::uint64_t bytes) {
  return split_from.exchange(bytes);
}

std::uint64_t CaliLaterRows::halves_taken() {
  return halves.load();
}

CaliLaterRows::Pieces CaliLaterRows::set_pieces(Pieces pieces) {
  return pieces_read.exchange(pieces);
}

std::uint64_t CaliLaterRows::pieces_taken() {
  return pieces.load();
}

CaliLaterRows::CaliLaterRows(const value::FileReadAhead& file) {
  if (file.size() < split_from.load(std::memory_order_relaxed)) {
    return;
  }
  due_from_.store(pieces_read.load() == Pieces::kAlways ? 0 : split_point(file.size()));
  try {
    thread_ = std::thread([this, &file] { run(file); });
  } catch (const std::system_error&) {
    due_from_.store(kNone);  // no thread to be had: the parse reads every row itself
  }
}

CaliLaterRows::~CaliLaterRows() {
  stop();
}

void CaliLaterRows::stop() {
  if (thread_.joinable()) {
    cancelled_.store(true, std::memory_order_relaxed);
    piece_.dropped.store(true, std::memory_order_relaxed);
    thread_.join();
  }
}

bool CaliLaterRows::arrived(std::uint64_t offset) {
  if (pieces_read.load(std::memory_order_relaxed) == Pieces::kAlways && !piece_done_ &&
      thread_.joinable()) {
    piece_.chosen.wait(false, std::memory_order_acquire);
  }
  if (!piece_done_ && piece_.begin.load(std::memory_order_acquire) <= offset) {
    return true;  // at the piece's first row or past it
  }
  return offset >= begin();
}

std::uint64_t CaliLaterRows::begin() {
  begin_.wait(kNotYet, std::memory_order_acquire);
  const std::uint64_t at = begin_.load(std::memory_order_acquire);
  // Looked at again from there on, unless the thread has since chosen a piece before it.
  std::uint64_t seen = due_from_.load(std::memory_order_acquire);
  if (seen < at && piece_.begin.load(std::memory_order_acquire) == kNone) {
    due_from_.compare_exchange_strong(seen, at, std::memory_order_acq_rel);
  }
  return at;
}

void CaliLaterRows::taken() {
  (pending_ ? pieces : halves).fetch_add(1, std::memory_order_relaxed);
}

CaliData* CaliLaterRows::rows_from(std::uint64_t offset, End& end) {
  if (!piece_done_ && piece_.begin.load(std::memory_order_acquire) <= offset) {
    piece_done_ = true;
    due_from_.store(begin_.load(std::memory_order_acquire));
    if (offset == piece_.begin.load(std::memory_order_relaxed)) {
      thread_.join();
      if (!piece_.usable) {
        return nullptr;
      }
      end = piece_.end;
      return &piece_.data;
    }
    piece_.dropped.store(true, std::memory_order_relaxed);  // passed before it was chosen
    if (offset < begin_.load(std::memory_order_relaxed)) {
      return nullptr;
    }
  }
  pending_ = false;
  piece_done_ = true;
  piece_.dropped.store(true, std::memory_order_relaxed);  // any piece chosen now comes too late
  if (thread_.joinable()) {
    thread_.join();
  }
  if (!usable_ || offset != begin_.load(std::memory_order_relaxed)) {
    return nullptr;
  }
  end = end_;
  return &data_;
}

void CaliLaterRows::run(const value::FileReadAhead& file) noexcept {
  try {
    read_rows(file);
  } catch (...) {
    // Text that is not UTF-8, a failed read, no memory: the parse reads those rows in turn
    // and fails where it would have failed.
    usable_ = false;
  }
  std::uint64_t not_yet = kNotYet;
  begin_.compare_exchange_strong(not_yet, kNone, std::memory_order_release);
  begin_.notify_all();
  if (usable_) {
    try {
      read_piece(file);
    } catch (...) {
      piece_.usable = false;  // the parse reads the piece's rows in turn
    }
  }
  piece_.chosen.store(true, std::memory_order_release);  // if not already, then with no piece
  piece_.chosen.notify_all();
}

void CaliLaterRows::read_rows(const value::FileReadAhead& file) {
  // The first line that starts after the split point.
  const std::optional<std::uint64_t> from = line_after(file, split_point(file.size()));
  if (!from) {
    return;
  }
  value::FileReadAhead part(file, *from);
  CsvReader reader(part, /*strip_nul=*/true, *from, 0);
  CsvRow row;
  std::size_t lines_at_begin = 0;
  if (!find_first_step(reader, row, lines_at_begin)) {
    return;
  }
  DataRowReader& rows = rows_.emplace(data_);
  if (!read_here(rows, row)) {  // the step's first row, never blank
    end_.lines = 0;             // the parse reads it in turn, from where the later half begins
  } else if (read_data_rows(reader, rows, kNone, cancelled_, end_)) {
    end_.lines -= lines_at_begin;
  } else {
    return;
  }
  // The parse goes on from the end with a reader of its own, which fails at the same line as
  // one from the start would, should it meet text that is not UTF-8.
  usable_ = true;
}

bool CaliLaterRows::read_data_rows(CsvReader& reader, DataRowReader& rows, std::uint64_t stop,
                                   const std::atomic<bool>& give_up, End& end) {
  CsvRow row;
  value::CsvCells cells;
  for (;;) {
    const std::uint64_t at = reader.offset();
    if (at >= stop) {
      end = {at, reader.lines_read()};  // at `stop`, or past it within a row across it
      break;
    }
    if (give_up.load(std::memory_order_relaxed)) {
      break;
    }
    end = {at, reader.lines_read()};
    bool more = false;
    if (reader.peek_plain(cells) && is_data_row(cells)) {
      more = read_here(rows, cells);
      if (more) {
        reader.take(cells);
      }
    } else {
      more = reader.next(row) && (row.empty() || read_here(rows, row));
    }
    if (!more) {
      break;
    }
  }
  return !give_up.load(std::memory_order_relaxed) && end.offset <= stop;
}

void CaliLaterRows::read_piece(const value::FileReadAhead& file) {
  // From the first line after the middle of what the parse has left, to the later half.
  const std::uint64_t until = begin_.load(std::memory_order_relaxed);
  const std::uint64_t at = parse_at_.load(std::memory_order_relaxed);
  const std::uint64_t least =
      pieces_read.load(std::memory_order_relaxed) == Pieces::kLarge ? kLeastPiece : 0;
  if (at >= until || until - at < least) {
    return;
  }
  const std::optional<std::uint64_t> from = line_after(file, at + (until - at) / 2);
  if (!from || *from >= until) {
    return;
  }
  piece_.begin.store(*from, std::memory_order_release);
  due_from_.store(*from, std::memory_order_release);
  piece_.chosen.store(true, std::memory_order_release);
  piece_.chosen.notify_all();
  // The piece's rows find their channel keys as the later half's did.
  piece_.data.seed_keys(data_);
  DataRowReader rows(piece_.data, *rows_);
  value::FileReadAhead part(file, *from);
  CsvReader reader(part, /*strip_nul=*/true, *from, 0);
  // Stopping the thread drops the piece as well.
  piece_.usable = read_data_rows(reader, rows, until, piece_.dropped, piece_.end);
}

bool CaliLaterRows::find_first_step(CsvReader& reader, CsvRow& row, std::size_t& lines) {
  // The later half begins with a step, so that its channel keys come in the order the
  // earlier steps have them; its rows before that step are left to the parse. Lines of the
  // first step are looked at where they lie; any other is read whole.
  StepCells first;
  value::CsvCells cells;
  for (std::size_t n = 0;; ++n) {
    const std::uint64_t at = reader.offset();
    lines = reader.lines_read();
    if (cancelled_.load(std::memory_order_relaxed)) {
      return false;
    }
    if (n != 0 && n != kStepSearchRows && reader.peek_plain(cells) &&
        StepCells::of_data_row(cells) && first.same(cells)) {
      reader.take(cells);
      continue;
    }
    if (!reader.next(row) || !StepCells::of_data_row(row)) {
      return false;  // a row of another kind in the middle: the file is read in one go
    }
    if (n == 0) {
      first.keep(row);
    } else if (!first.same(row) || n == kStepSearchRows) {
      end_.offset = at;
      begin_.store(at, std::memory_order_release);
      begin_.notify_all();
      return true;
    }
  }
}

}  // namespace arvcore::vlndev::detail
