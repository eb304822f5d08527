#include "arvcore/vlndev/cali_table_check.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

namespace arvcore::vlndev {
namespace {

using value::CsvRow;

// Problems of one kind beyond this many are counted, not listed: a column shifted in every
// DATA row is one fault, not 500,000 lines.
constexpr std::size_t kShownPerKind = 20;
// Single missing gain x phase points listed per step before the rest are counted.
constexpr std::size_t kPointsShown = 8;
// A grid beyond this many cells is not laid out (a table of absurd gains or phases).
constexpr std::size_t kMostCells = std::size_t{16} << 20;

const char* const kModes[] = {"TX", "RX"};

int mode_index(std::string_view m) {
  return m == "TX" ? 0 : m == "RX" ? 1 : -1;
}

bool plain_int(std::string_view s) {
  std::size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size() || s.size() - i > 18) {
    return false;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned>(s[i] - '0') >= 10) {
      return false;
    }
  }
  return true;
}

// Whether the device's int() / float() of the cell succeeds.
bool is_int(std::string_view s) {
  if (plain_int(s)) {
    return true;
  }
  try {
    value::parse_int(s);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool to_number(std::string_view s, double& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) {
    return true;
  }
  try {
    out = value::parse_float(s);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool is_number(std::string_view s) {
  double d = 0;
  return to_number(s, d);
}

// A board, chip or channel number as the table's keys need it: "1", "2", ... (the cell goes
// into the key as written, so "01" names another section).
std::int64_t position(std::string_view s) {
  if (s.empty() || s.size() > 5 || s[0] == '0') {
    return 0;
  }
  std::int64_t n = 0;
  for (const char c : s) {
    if (static_cast<unsigned>(c - '0') >= 10) {
      return 0;
    }
    n = n * 10 + (c - '0');
  }
  return n <= 65535 ? n : 0;
}

std::string plural(std::size_t n, std::string_view word) {
  return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

// One cell a row kind needs: its position after the row key, its name, and its kind.
enum class Cell { text, mode, position, integer, number };
struct CellSpec {
  std::size_t at;
  const char* name;
  Cell kind;
};

// What is wrong with the needed cells of a row, or "".
std::string cell_problem(const CsvRow& row, std::string_view key, const CellSpec* specs,
                         std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const CellSpec& s = specs[k];
    if (s.at + 1 >= row.size()) {
      return fmt::format("{} row has {} cells after its key, {} are needed (up to {})", key,
                         row.size() - 1, specs[n - 1].at + 1, s.name);
    }
    const std::string_view v = row[s.at + 1];
    switch (s.kind) {
      case Cell::text:
        break;
      case Cell::mode:
        if (mode_index(v) < 0) {
          return fmt::format("{} '{}' is not TX or RX", s.name, v);
        }
        break;
      case Cell::position:
        if (position(v) == 0) {
          return fmt::format("{} '{}' is not a {} number (1, 2, ...)", s.name, v, s.name);
        }
        break;
      case Cell::integer:
        if (!is_int(v)) {
          return fmt::format("{} '{}' is not a whole number", s.name, v);
        }
        break;
      case Cell::number:
        if (!is_number(v)) {
          return fmt::format("{} '{}' is not a number", s.name, v);
        }
        break;
    }
  }
  return {};
}

constexpr CellSpec kHeaderCells[] = {{0, "value", Cell::text}};
constexpr CellSpec kFcenterCells[] = {{0, "centre frequency", Cell::number}};
constexpr CellSpec kDrCells[] = {{0, "RX low", Cell::number},
                                 {1, "RX high", Cell::number},
                                 {2, "TX low", Cell::number},
                                 {3, "TX high", Cell::number}};
constexpr CellSpec kRangeCells[] = {{0, "mode", Cell::mode}, {2, "section", Cell::position}};
constexpr CellSpec kTempCells[] = {{1, "section", Cell::position}, {3, "ADC value", Cell::number}};
constexpr CellSpec kTcCells[] = {{1, "section", Cell::position},
                                 {3, "TX TC", Cell::number},
                                 {4, "TX TC", Cell::number},
                                 {5, "RX TC", Cell::number},
                                 {6, "RX TC", Cell::number}};
constexpr CellSpec kStepCells[] = {{0, "mode", Cell::mode},
                                   {2, "section", Cell::position},
                                   {5, "step", Cell::text},
                                   {7, "first limit", Cell::number},
                                   {9, "second limit", Cell::number}};
constexpr CellSpec kDataCells[] = {{0, "mode", Cell::mode},
                                   {2, "board", Cell::position},
                                   {4, "chip", Cell::position},
                                   {6, "channel", Cell::position},
                                   {9, "GAIN", Cell::number},
                                   {11, "PHASE", Cell::integer},
                                   {13, "step", Cell::text},
                                   {15, "REG gain code", Cell::integer},
                                   {16, "REG phase code", Cell::integer},
                                   {18, "MEAS gain", Cell::number},
                                   {19, "MEAS phase", Cell::number}};

// Cells of COMDR/ELEDR from c4 on: empty ones are skipped, the rest must be numbers.
std::string range_values_problem(const CsvRow& row, std::string_view key, std::size_t& count) {
  count = 0;
  for (std::size_t i = 5; i < row.size(); ++i) {
    if (row[i].empty()) {
      continue;
    }
    if (!is_number(row[i])) {
      return fmt::format("{} value '{}' is not a number", key, row[i]);
    }
    ++count;
  }
  return {};
}

std::string offsets_problem(const CsvRow& row) {
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (!is_int(row[i])) {
      return fmt::format("offset {} '{}' is not a whole number", i, row[i]);
    }
  }
  return {};
}

// Cell faults of any row kind the parser reads; "" for a sound row or another kind.
std::string row_cells_problem(const CsvRow& row) {
  const std::string_view key = row[0];
  auto specs = [&](const auto& s) { return cell_problem(row, key, s, std::size(s)); };
  if (key == "DATA") {
    return specs(kDataCells);
  }
  if (key == "VER" || key == "REALVER" || key == "SN") {
    return specs(kHeaderCells);
  }
  if (key == "FCENTER") {
    return specs(kFcenterCells);
  }
  if (key == "DR") {
    return specs(kDrCells);
  }
  if (key == "OFFSET_TX" || key == "OFFSET_RX") {
    return offsets_problem(row);
  }
  if (key == "COMDR" || key == "ELEDR") {
    std::string p = specs(kRangeCells);
    std::size_t n = 0;
    return p.empty() ? range_values_problem(row, key, n) : p;
  }
  if (key == "TEMPADC") {
    return specs(kTempCells);
  }
  if (key == "TC") {
    return specs(kTcCells);
  }
  if (key == "COMSTEPDR") {
    return specs(kStepCells);
  }
  return {};
}

// --- the scan --------------------------------------------------------------------------------

struct Lines {
  std::vector<std::int64_t> at;
  void add(std::int64_t line) { at.push_back(line); }
};

// Values of one grid axis (gain tenths, phase, step) in the order first met, with the text
// the table writes for each.
template <class K>
struct Axis {
  std::unordered_map<K, std::uint32_t> index;
  std::vector<std::pair<K, std::string>> values;
  std::uint32_t of(const K& k, std::string_view text) {
    auto [it, added] = index.try_emplace(k, static_cast<std::uint32_t>(values.size()));
    if (added) {
      values.emplace_back(k, std::string(text));
    }
    return it->second;
  }
};

struct DataEntry {
  std::int64_t line;
  std::uint16_t board, chip, channel;
  std::uint8_t mode;
  std::uint32_t step, gain, phase;
};

struct Scan {
  std::vector<CaliProblem> problems;
  std::map<std::string, std::size_t, std::less<>> kind_count;
  std::map<std::string, std::pair<std::string, std::string>, std::less<>>
      header;  // key: value, line
  std::map<std::string, Lines, std::less<>> header_lines;
  Lines dr;
  std::pair<Lines, std::vector<std::size_t>> offsets[2];  // lines, counts
  // (row key, mode, section, step): lines
  std::map<std::tuple<std::string, std::string, std::int64_t, std::string>, Lines> sections;
  // (board cell, mode cell): first line creating it, and first line using it with its key
  std::map<std::pair<std::string, std::string>, std::int64_t> created;
  std::map<std::pair<std::string, std::string>, std::pair<std::int64_t, std::string>> used;
  std::int64_t first_range_line = 0;
  std::int64_t end_line = 0;
  std::map<std::string, std::pair<std::int64_t, std::size_t>, std::less<>> unknown;
  std::int64_t range_boards = 0;  // highest section of COMDR/ELEDR rows
  std::vector<DataEntry> data;
  Axis<std::string> steps;
  Axis<std::int64_t> gains, phases;
  std::int64_t max_board = 0, max_chip = 0, max_channel = 0;
  // DATA rows cache the last board/mode pair they marked as used.
  std::string_view last_board, last_mode;
  std::string last_pair_storage;

  void add(CaliProblem p, std::string_view kind) {
    auto it = kind_count.find(kind);
    if (it == kind_count.end()) {
      it = kind_count.emplace(std::string(kind), 0).first;
    }
    if (++it->second <= kShownPerKind) {
      problems.push_back(std::move(p));
    }
  }
  void error(std::int64_t line, std::string_view row, std::string message,
             std::string_view kind = {}) {
    const std::string k(kind.empty() ? std::string_view(message) : kind);
    CaliProblem p;
    p.message = std::move(message);
    p.line = line;
    p.row = row;
    add(std::move(p), k);
  }

  void use(std::string_view board, std::string_view mode, std::int64_t line, std::string_view key) {
    used.try_emplace({std::string(board), std::string(mode)}, line, std::string(key));
  }
};

void scan_header(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string key(row[0]);
  s.header_lines[key].add(line);
  s.header.try_emplace(key, std::string(row[1]), std::to_string(line));
}

void scan_dr(Scan& s, const CsvRow& /*row*/, std::int64_t line) {
  s.dr.add(line);
}

void scan_offsets(Scan& s, const CsvRow& row, std::int64_t line) {
  auto& o = s.offsets[row[0] == "OFFSET_TX" ? 0 : 1];
  o.first.add(line);
  o.second.push_back(row.size() - 1);
}

void scan_range(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string key(row[0]);
  if (s.first_range_line == 0) {
    s.first_range_line = line;
  }
  const std::int64_t section = position(row[3]);
  s.range_boards = std::max(s.range_boards, section);
  s.sections[{key, std::string(row[1]), section, ""}].add(line);
  s.created.try_emplace({std::string(row[3]), std::string(row[1])}, line);
  std::size_t count = 0;
  range_values_problem(row, key, count);
  if (key == "COMDR" && count != 2) {
    CaliProblem p;
    p.error = count < 2;
    p.line = line;
    p.row = key;
    p.mode = row[1];
    p.message = fmt::format("COMDR of {} section {} holds {}, a [low, high] pair is expected",
                            row[1], row[3], plural(count, "value"));
    s.add(std::move(p), "COMDR count");
  } else if (key == "ELEDR" && count == 0) {
    s.error(line, key, fmt::format("ELEDR of {} section {} holds no value", row[1], row[3]),
            "ELEDR count");
  }
}

void scan_section_values(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string key(row[0]);
  s.sections[{key, "", position(row[2]), ""}].add(line);
  // Both mode maps of the section must exist already.
  s.use(row[2], "TX", line, key);
  s.use(row[2], "RX", line, key);
}

void scan_steps(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string step = fmt::format("COM_{}", row[6]);
  s.steps.of(step, step);
  s.sections[{"COMSTEPDR", std::string(row[1]), position(row[3]), step}].add(line);
  s.use(row[3], row[1], line, "COMSTEPDR");
}

std::int64_t gain_tenths(std::string_view text) {
  double g = 0;
  to_number(text, g);
  const double t = std::trunc(g * 10.0);
  return std::isfinite(t) && std::abs(t) < 9e15 ? static_cast<std::int64_t>(t) : 0;
}

std::int64_t phase_value(std::string_view text) {
  if (plain_int(text)) {
    std::int64_t v = 0;
    std::from_chars(text.data() + (text[0] == '+' ? 1 : 0), text.data() + text.size(), v);
    return v;
  }
  return value::parse_int(text);
}

void scan_data(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string_view board = row[3];
  const std::string_view mode = row[1];
  if (board != s.last_board || mode != s.last_mode) {
    s.use(board, mode, line, "DATA");
    s.last_pair_storage.assign(board).append(mode);
    s.last_board = std::string_view(s.last_pair_storage).substr(0, board.size());
    s.last_mode = std::string_view(s.last_pair_storage).substr(board.size());
  }
  DataEntry e{};
  e.line = line;
  e.mode = static_cast<std::uint8_t>(mode_index(mode));
  e.board = static_cast<std::uint16_t>(position(board));
  e.chip = static_cast<std::uint16_t>(position(row[5]));
  e.channel = static_cast<std::uint16_t>(position(row[7]));
  s.max_board = std::max<std::int64_t>(s.max_board, e.board);
  s.max_chip = std::max<std::int64_t>(s.max_chip, e.chip);
  s.max_channel = std::max<std::int64_t>(s.max_channel, e.channel);
  const std::string_view step = row[14];
  std::string step_key;
  step_key.reserve(4 + step.size());
  step_key.append("COM_").append(step);
  e.step = s.steps.of(step_key, step_key);
  e.gain = s.gains.of(gain_tenths(row[10]), row[10]);
  e.phase = s.phases.of(phase_value(row[12]), row[12]);
  s.data.push_back(e);
}

void scan_end(Scan& s, const CsvRow& /*row*/, std::int64_t line) {
  if (s.end_line == 0) {
    s.end_line = line;
  }
}

struct RowKind {
  const char* key;
  void (*scan)(Scan&, const CsvRow&, std::int64_t);
};

// One handler per row key the parser reads; a row whose cells are faulty is reported and
// not handed on.
constexpr RowKind kRowKinds[] = {
    {"DATA", scan_data},
    {"VER", scan_header},
    {"REALVER", scan_header},
    {"SN", scan_header},
    {"FCENTER", scan_header},
    {"DR", scan_dr},
    {"OFFSET_TX", scan_offsets},
    {"OFFSET_RX", scan_offsets},
    {"COMDR", scan_range},
    {"ELEDR", scan_range},
    {"TEMPADC", scan_section_values},
    {"TC", scan_section_values},
    {"COMSTEPDR", scan_steps},
    {"END", scan_end},
};

void scan_row(Scan& s, const CsvRow& row, std::int64_t line) {
  const std::string_view key = row[0];
  for (const RowKind& kind : kRowKinds) {
    if (key != kind.key) {
      continue;
    }
    if (std::string problem = row_cells_problem(row); !problem.empty()) {
      // The kind of a cell fault is its row key and the cell's name.
      const std::string what = problem.substr(0, problem.find(' '));
      s.error(line, key, std::move(problem), fmt::format("{} {}", key, what));
      // A DATA row whose key cells are sound still holds its place in the grid: its fault
      // is reported once, not again as a missing point.
      if (key == "DATA" && row.size() > 15 && cell_problem(row, key, kDataCells, 7).empty()) {
        kind.scan(s, row, line);
      }
      return;
    }
    kind.scan(s, row, line);
    return;
  }
  auto& u = s.unknown[std::string(key)];
  if (u.second++ == 0) {
    u.first = line;
  }
}

// --- what the rows add up to -----------------------------------------------------------------

class Finisher {
 public:
  Finisher(Scan& s, const CaliCheckOptions& o, const CaliLayout* need, std::string sn,
           std::optional<double> freq)
      : s_(s), o_(o), need_(need), sn_(std::move(sn)), freq_(freq) {}

  void run() {
    header();
    single("DR", s_.dr.at, true);
    offsets();
    sections();
    order();
    data();
    if (s_.end_line == 0) {
      s_.error(0, "END",
               "no END row: a device reads the table as broken (\"cali file is broken\")");
    }
    for (const auto& [key, seen] : s_.unknown) {
      CaliProblem p;
      p.error = false;
      p.line = seen.first;
      p.row = key;
      p.message = fmt::format("row key '{}' is not one the device reads ({} ignored)", key,
                              plural(seen.second, "row"));
      s_.problems.push_back(std::move(p));
    }
    for (const auto& [kind, n] : s_.kind_count) {
      if (n > kShownPerKind) {
        CaliProblem p;
        p.message = fmt::format("{} more problems like '{}'", n - kShownPerKind, kind);
        s_.problems.push_back(std::move(p));
      }
    }
  }

 private:
  // A row kind that must appear once.
  void single(const char* key, const std::vector<std::int64_t>& lines, bool required) {
    if (lines.empty()) {
      if (required) {
        s_.error(0, key, fmt::format("no {} row", key));
      } else {
        CaliProblem p;
        p.error = false;
        p.row = key;
        p.message = fmt::format("no {} row", key);
        s_.problems.push_back(std::move(p));
      }
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
      s_.error(lines[i], key,
               fmt::format("second {} row (the first is on line {}): a device's parse fails", key,
                           lines[0]));
    }
  }

  void header() {
    static const std::vector<std::int64_t> none;
    auto lines = [&](const char* key) -> const std::vector<std::int64_t>& {
      auto it = s_.header_lines.find(key);
      return it == s_.header_lines.end() ? none : it->second.at;
    };
    for (const char* key : {"VER", "SN", "FCENTER", "REALVER"}) {
      single(key, lines(key), std::string_view(key) != "REALVER");
      if (!lines(key).empty() && s_.first_range_line != 0 && key != std::string_view("REALVER") &&
          lines(key)[0] > s_.first_range_line) {
        s_.error(lines(key)[0], key,
                 fmt::format("{} comes after the first COMDR/ELEDR row (line {}), where the "
                             "device checks the header: a device's parse fails",
                             key, s_.first_range_line));
      }
    }
    auto value = [&](const char* key) -> const std::string* {
      auto it = s_.header.find(key);
      return it == s_.header.end() ? nullptr : &it->second.first;
    };
    if (const std::string* ver = value("VER")) {
      if (!version_numbers(*ver)) {
        s_.error(lines("VER")[0], "VER", fmt::format("VER '{}' holds no version number", *ver));
      } else if (version_less(*ver, o_.ver_limit)) {
        s_.error(lines("VER")[0], "VER",
                 fmt::format("VER {} is below the lowest accepted version {}", *ver, o_.ver_limit));
      }
    }
    if (const std::string* sn = value("SN"); sn != nullptr && !sn_.empty() && *sn != sn_) {
      s_.error(lines("SN")[0], "SN",
               fmt::format("SN '{}' differs from the device's serial number '{}'", *sn, sn_));
    }
    if (const std::string* fc = value("FCENTER"); fc != nullptr && freq_) {
      double f = 0;
      if (to_number(*fc, f) && f != *freq_) {
        s_.error(lines("FCENTER")[0], "FCENTER",
                 fmt::format("FCENTER {} GHz differs from the frequency {} GHz", *fc,
                             value::str(Value(*freq_))));
      }
    }
  }

  void offsets() {
    for (int m = 0; m < 2; ++m) {
      const std::string key = fmt::format("OFFSET_{}", kModes[m]);
      const auto& [lines, counts] = s_.offsets[m];
      single(key.c_str(), lines.at, true);
      if (need_ == nullptr || counts.empty()) {
        continue;
      }
      const auto want = static_cast<std::size_t>(need_->boards * need_->ics * need_->channels);
      if (counts[0] != want) {
        CaliProblem p;
        p.error = counts[0] < want;
        p.line = lines.at[0];
        p.row = key;
        p.mode = kModes[m];
        p.message = fmt::format("{} holds {}, the layout {} needs {}{}", key,
                                plural(counts[0], "offset"), need_->text(), want,
                                p.error ? ": a device's parse fails" : " (the rest are ignored)");
        s_.problems.push_back(std::move(p));
      }
    }
  }

  // Row kind: section beyond the layout: its first line.
  using SectionsBeyond = std::map<std::string, std::map<std::int64_t, std::int64_t>>;

  void sections() {
    const std::int64_t count = need_ != nullptr ? need_->boards * need_->ics : s_.range_boards;
    sections_beyond(second_section_rows(count), count);
    for (std::int64_t sec = 1; sec <= count; ++sec) {
      missing_section_rows(sec);
    }
  }

  // Reports each second row for one section, and returns the sections beyond the layout's
  // `count` with their first line, by row kind.
  SectionsBeyond second_section_rows(std::int64_t count) {
    SectionsBeyond beyond;
    for (const auto& [key, lines] : s_.sections) {
      const auto& [row, mode, section, step] = key;
      if (section > count) {
        auto& first = beyond[row][section];
        first = first == 0 ? lines.at[0] : std::min(first, lines.at[0]);
        continue;
      }
      for (std::size_t i = 1; i < lines.at.size(); ++i) {
        CaliProblem p;
        p.line = lines.at[i];
        p.row = row;
        p.mode = mode;
        p.board = section;
        p.step = step;
        p.message = fmt::format(
            "second {} row for {}section {}{} (the first is on line {}): a "
            "device's parse fails",
            row, mode.empty() ? "" : mode + " ", section, step.empty() ? "" : " " + step,
            lines.at[0]);
        s_.add(std::move(p), row + " duplicate");
      }
    }
    return beyond;
  }

  // Places beyond the layout, one problem per row kind: an 8-board table on a 4-board
  // device is one fault, not one per section.
  void sections_beyond(const SectionsBeyond& beyond, std::int64_t count) {
    for (const auto& [row, at] : beyond) {
      s_.error(at.begin()->second, row,
               fmt::format("{} {} {}, beyond the layout's {}", row,
                           at.size() == 1 ? "names section" : "names sections", listed(at),
                           plural(static_cast<std::size_t>(count), "IC section")),
               row + " beyond");
    }
  }

  bool has_section_row(const char* row, const std::string& mode, std::int64_t section,
                       const std::string& step) const {
    return s_.sections.contains({row, mode, section, step});
  }

  // The rows each section needs: COMDR, ELEDR and a COMSTEPDR for each step per mode, one
  // TEMPADC and TC.
  void missing_section_rows(std::int64_t sec) {
    for (const char* mode : kModes) {
      for (const char* row : {"COMDR", "ELEDR"}) {
        if (!has_section_row(row, mode, sec, "")) {
          missing(row, mode, sec, "", fmt::format("no {} row for {} section {}", row, mode, sec));
        }
      }
      std::vector<std::string> absent;
      for (const auto& [step, text] : s_.steps.values) {
        if (!has_section_row("COMSTEPDR", mode, sec, step)) {
          absent.push_back(step);
        }
      }
      if (!absent.empty() && absent.size() == s_.steps.values.size()) {
        missing("COMSTEPDR", mode, sec, "",
                fmt::format("no COMSTEPDR rows for {} section {}", mode, sec));
      } else {
        for (const auto& step : absent) {
          missing("COMSTEPDR", mode, sec, step,
                  fmt::format("no COMSTEPDR row for {} section {} {}", mode, sec, step));
        }
      }
    }
    for (const char* row : {"TEMPADC", "TC"}) {
      if (!has_section_row(row, "", sec, "")) {
        missing(row, "", sec, "", fmt::format("no {} row for section {}", row, sec));
      }
    }
  }

  void missing(const char* row, const std::string& mode, std::int64_t section,
               const std::string& step, std::string message) {
    CaliProblem p;
    p.row = row;
    p.mode = mode;
    p.board = section;
    p.step = step;
    p.message = std::move(message);
    s_.add(std::move(p), std::string("missing ") + row);
  }

  // Rows that step into a board's mode map before any row made it fail a device's parse.
  void order() {
    std::set<std::pair<std::string, std::string>> offset_made;
    for (int m = 0; m < 2; ++m) {
      if (!s_.offsets[m].first.at.empty() && need_ != nullptr) {
        for (std::int64_t b = 1; b <= need_->boards; ++b) {
          auto& first = s_.created[{std::to_string(b), kModes[m]}];
          const std::int64_t at = s_.offsets[m].first.at[0];
          first = first == 0 ? at : std::min(first, at);
        }
      }
    }
    for (const auto& [pair, use] : s_.used) {
      // Places beyond the layout are reported as such.
      if (need_ != nullptr &&
          position(pair.first) >
              (use.second == "DATA" ? need_->boards : need_->boards * need_->ics)) {
        continue;
      }
      auto it = s_.created.find(pair);
      if (it != s_.created.end() && it->second < use.first) {
        continue;
      }
      CaliProblem p;
      p.line = use.first;
      p.row = use.second;
      p.mode = pair.second;
      p.board = position(pair.first);
      p.message = fmt::format(
          "{} uses {} of section {} before any OFFSET, COMDR or ELEDR row makes it: a device's "
          "parse fails",
          use.second, pair.second, pair.first);
      s_.add(std::move(p), "order " + use.second);
    }
  }

  void data() {
    if (s_.data.empty()) {
      s_.error(0, "DATA", "no DATA rows: the device has no ComData");
      return;
    }
    if (need_ == nullptr) {
      return;
    }
    beyond();
    steps_ = steps_in_order();
    gains_ = in_numeric_order(s_.gains);
    phases_ = in_numeric_order(s_.phases);
    const std::size_t B = need_->boards, I = need_->ics, C = need_->channels;
    const std::size_t S = s_.steps.values.size(), G = gains_.size(), P = phases_.size();
    const std::size_t cells = 2 * B * I * C * S * G * P;
    if (cells > kMostCells) {
      s_.error(0, "DATA",
               fmt::format("the DATA grid ({} steps x {} gains x {} phases per channel) is too "
                           "large to check point by point",
                           S, G, P));
      return;
    }
    dims_ = {B, I, C, S, G * P};
    holes(first_data_rows(cells));
  }

  // An axis's value indices in numeric order.
  template <class K>
  static std::vector<std::uint32_t> in_numeric_order(const Axis<K>& axis) {
    std::vector<std::uint32_t> sorted(axis.values.size());
    for (std::uint32_t i = 0; i < sorted.size(); ++i) {
      sorted[i] = i;
    }
    std::sort(sorted.begin(), sorted.end(),
              [&](auto a, auto b) { return axis.values[a].first < axis.values[b].first; });
    return sorted;
  }

  // Step indices by the number after "COM_", then by name.
  std::vector<std::uint32_t> steps_in_order() const {
    std::vector<std::uint32_t> by(s_.steps.values.size());
    for (std::uint32_t i = 0; i < by.size(); ++i) {
      by[i] = i;
    }
    auto num = [&](std::uint32_t i) {
      double d = 0;
      return to_number(std::string_view(s_.steps.values[i].first).substr(4), d) ? d : 1e300;
    };
    std::sort(by.begin(), by.end(), [&](auto a, auto b) {
      return std::pair(num(a), s_.steps.values[a].first) <
             std::pair(num(b), s_.steps.values[b].first);
    });
    return by;
  }

  // The first DATA row's line for each cell of the grid (0 where none), reporting each later
  // row for a cell.
  std::vector<std::int64_t> first_data_rows(std::size_t cells) {
    const std::size_t B = dims_[0], I = dims_[1], C = dims_[2], S = dims_[3];
    const std::size_t G = gains_.size(), P = phases_.size();
    // Where each step, gain and phase index lands in the grid.
    std::vector<std::uint32_t> srank(S), grank(G), prank(P);
    for (std::uint32_t i = 0; i < S; ++i)
      srank[steps_[i]] = i;
    for (std::uint32_t i = 0; i < G; ++i)
      grank[gains_[i]] = i;
    for (std::uint32_t i = 0; i < P; ++i)
      prank[phases_[i]] = i;
    std::vector<std::int64_t> first(cells, 0);
    for (const DataEntry& e : s_.data) {
      if (e.board == 0 || e.board > B || e.chip == 0 || e.chip > I || e.channel == 0 ||
          e.channel > C) {
        continue;
      }
      const std::size_t at =
          ((((static_cast<std::size_t>(e.mode) * B + e.board - 1) * I + e.chip - 1) * C +
            e.channel - 1) *
               S +
           srank[e.step]) *
              G * P +
          grank[e.gain] * P + prank[e.phase];
      if (first[at] != 0) {
        CaliProblem p = located(e.mode, e.board, e.chip, e.channel, e.step);
        p.error = false;
        p.line = e.line;
        p.gain = s_.gains.values[e.gain].second;
        p.phase = s_.phases.values[e.phase].second;
        p.message = fmt::format(
            "{} gain {} phase {}: a second DATA row for the same ComData key "
            "(the first is on line {}); the device keeps the later one",
            where(p), p.gain, p.phase, first[at]);
        s_.add(std::move(p), "DATA duplicate");
        continue;
      }
      first[at] = e.line;
    }
    return first;
  }

  // Board, chip and channel numbers beyond the layout, each reported once.
  void beyond() {
    std::map<std::int64_t, std::int64_t> over[3];  // number: first line, per board/chip/channel
    const std::int64_t limits[] = {need_->boards, need_->ics, need_->channels};
    for (const DataEntry& e : s_.data) {
      const std::int64_t values[] = {e.board, e.chip, e.channel};
      for (int k = 0; k < 3; ++k) {
        if (values[k] > limits[k]) {
          over[k].try_emplace(values[k], e.line);
        }
      }
    }
    const char* names[] = {"board", "chip", "channel"};
    const char* counts[] = {"boards", "chips per board", "channels per chip"};
    for (int k = 0; k < 3; ++k) {
      if (over[k].empty()) {
        continue;
      }
      std::int64_t first = INT64_MAX;
      for (const auto& [n, line] : over[k]) {
        first = std::min(first, line);
      }
      s_.error(first, "DATA",
               fmt::format("{}{} {} {} beyond the layout's {} {}", names[k],
                           over[k].size() == 1 ? "" : "s", listed(over[k]),
                           over[k].size() == 1 ? "is" : "are", limits[k], counts[k]),
               "DATA beyond");
    }
  }

  static std::string listed(const std::map<std::int64_t, std::int64_t>& numbers) {
    std::vector<std::int64_t> keys;
    for (const auto& [n, line] : numbers) {
      keys.push_back(n);
    }
    return fmt::format("{}", fmt::join(keys, ", "));
  }

  CaliProblem located(int mode, std::int64_t board, std::int64_t chip, std::int64_t channel,
                      std::uint32_t step) const {
    CaliProblem p;
    p.row = "DATA";
    p.mode = kModes[mode];
    p.board = board;
    p.chip = chip;
    p.channel = channel;
    if (step != kNoStep) {
      p.step = s_.steps.values[step].first;
    }
    return p;
  }

  static std::string where(const CaliProblem& p) { return p.place_text(); }

  // Missing ComData, one problem for each whole mode, board, chip, channel or step that has
  // none, else one per missing gain x phase point (the first few of a step).
  void holes(const std::vector<std::int64_t>& first) {
    const auto [B, I, C, S, GP] = dims_;
    auto present = [&](std::size_t from, std::size_t n) {
      std::size_t k = 0;
      for (std::size_t i = from; i < from + n; ++i) {
        k += first[i] != 0 ? 1 : 0;
      }
      return k;
    };
    auto gone = [&](CaliProblem p, std::string_view what) {
      p.message = fmt::format("no DATA rows for {}{}", where(p), what);
      s_.add(std::move(p), "missing DATA");
    };
    const std::size_t per_step = GP, per_ch = S * GP, per_chip = C * per_ch,
                      per_board = I * per_chip, per_mode = B * per_board;
    for (int m = 0; m < 2; ++m) {
      const std::size_t mb = m * per_mode;
      if (present(mb, per_mode) == 0) {
        gone(located(m, 0, 0, 0, kNoStep), "");
        continue;
      }
      for (std::size_t b = 0; b < B; ++b) {
        const std::size_t bb = mb + b * per_board;
        if (present(bb, per_board) == 0) {
          gone(located(m, b + 1, 0, 0, kNoStep), "");
          continue;
        }
        for (std::size_t i = 0; i < I; ++i) {
          const std::size_t ib = bb + i * per_chip;
          if (present(ib, per_chip) == 0) {
            gone(located(m, b + 1, i + 1, 0, kNoStep), "");
            continue;
          }
          for (std::size_t c = 0; c < C; ++c) {
            const std::size_t cb = ib + c * per_ch;
            if (present(cb, per_ch) == 0) {
              gone(located(m, b + 1, i + 1, c + 1, kNoStep), "");
              continue;
            }
            for (std::size_t st = 0; st < S; ++st) {
              const std::size_t sb = cb + st * per_step;
              const std::size_t n = present(sb, per_step);
              if (n == 0) {
                gone(located(m, b + 1, i + 1, c + 1, steps_[st]), "");
              } else if (n < per_step) {
                points(located(m, b + 1, i + 1, c + 1, steps_[st]), first, sb, per_step - n);
              }
            }
          }
        }
      }
    }
  }

  void points(const CaliProblem& at, const std::vector<std::int64_t>& first, std::size_t base,
              std::size_t absent) {
    const std::size_t P = phases_.size();
    std::size_t listed = 0;
    for (std::size_t k = 0; k < dims_[4] && listed < kPointsShown; ++k) {
      if (first[base + k] != 0) {
        continue;
      }
      CaliProblem p = at;
      p.gain = s_.gains.values[gains_[k / P]].second;
      p.phase = s_.phases.values[phases_[k % P]].second;
      p.message =
          fmt::format("no DATA row for {} gain {} dB phase {} degrees", where(p), p.gain, p.phase);
      s_.add(std::move(p), "missing DATA point");
      ++listed;
    }
    if (absent > listed) {
      CaliProblem p = at;
      p.message = fmt::format("{} lacks {} more of its {} gain x phase points", where(p),
                              absent - listed, dims_[4]);
      s_.add(std::move(p), "missing DATA points");
    }
  }

  static constexpr std::uint32_t kNoStep = 0xFFFFFFFF;
  Scan& s_;
  const CaliCheckOptions& o_;
  const CaliLayout* need_;
  std::string sn_;
  std::optional<double> freq_;
  std::vector<std::uint32_t> steps_, gains_, phases_;
  std::array<std::size_t, 5> dims_{};
};

RetType device_parse(const std::filesystem::path& file, const std::string& sn, double freq,
                     const CaliLayout& layout) {
  const Value l = layout.value();
  CalibrationTableManager m(
      sn, Value(freq), [l] { return l; }, false, false, false);
  try {
    // The reader of every table file: a pipe, a device or a file above the size limit is
    // refused (the scan beside says why).
    value::TableFileBuf buf(file);
    std::istream in(&buf);
    return m.parse(Value(freq), &in, /*exportToJson=*/false, file.string());
  } catch (const std::exception&) {
    return RetType(RetCode::ERROR_BF_CALI_PARSE, "parse exception");
  }
}

// A gain or phase of a ComData key as a number: a float gain, a whole phase (a text that is
// neither stays as it is).
Value grid_number(const std::string& text, bool whole) {
  if (whole) {
    try {
      return phase_value(text);
    } catch (const std::exception&) {
    }
  }
  double d = 0;
  return to_number(text, d) ? Value(d) : Value(text);
}

}  // namespace

std::string CaliProblem::text() const {
  std::string out = error ? "error: " : "warning: ";
  if (line != 0) {
    out += fmt::format("line {}: ", line);
  }
  return out + message;
}

Value CaliProblem::to_value() const {
  Value v = {{"severity", error ? "error" : "warning"}, {"message", message}};
  if (line != 0) {
    v["line"] = line;
  }
  const Value where = place();
  for (const auto& [k, x] : where.items()) {
    v[k] = x;
  }
  return v;
}

Value CaliProblem::place() const {
  Value v = Value::object();
  for (const auto& [k, t] : {std::pair("row", &row), {"mode", &mode}}) {
    if (!t->empty()) {
      v[k] = *t;
    }
  }
  for (const auto& [k, n] : {std::pair("board", board), {"chip", chip}, {"channel", channel}}) {
    if (n != 0) {
      v[k] = n;
    }
  }
  if (!step.empty()) {
    v["step"] = step;
  }
  // The gain and phase as the numbers they stand for, as every other answer gives them (the
  // message keeps the table's own text).
  if (!gain.empty()) {
    v["gain"] = grid_number(gain, false);
  }
  if (!phase.empty()) {
    v["phase"] = grid_number(phase, true);
  }
  return v;
}

std::string CaliProblem::place_text() const {
  std::string w = mode;
  for (const auto& [name, n] : {std::pair("board", board), {"chip", chip}, {"channel", channel}}) {
    if (n != 0) {
      w += fmt::format(" {} {}", name, n);
    }
  }
  if (!step.empty()) {
    w += " " + step;
  }
  return w;
}

std::size_t CaliCheckReport::errors() const {
  return static_cast<std::size_t>(
      std::count_if(problems.begin(), problems.end(), [](const auto& p) { return p.error; }));
}

std::size_t CaliCheckReport::warnings() const {
  return problems.size() - errors();
}

Value CaliCheckReport::to_value() const {
  Value list = Value::array();
  for (const auto& p : problems) {
    list.push_back(p.to_value());
  }
  auto layout = [](const std::optional<CaliLayout>& l) { return l ? l->value() : Value(); };
  return {
      {"file", file},
      {"result", {{"code", std::string(enum_name(result.RetCode))}, {"message", result.RetMsg}}},
      {"layout", {{"device", layout(device)}, {"table", layout(table)}}},
      {"problems", std::move(list)}};
}

std::optional<std::vector<std::uint64_t>> version_numbers(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && space(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && space(text.back()))
    text.remove_suffix(1);
  if (!text.empty() && (text.front() == 'v' || text.front() == 'V')) {
    text.remove_prefix(1);
  }
  return value::parse_number_run(text, '.');
}

bool version_less(std::string_view a, std::string_view b) {
  const auto na = version_numbers(a);
  const auto nb = version_numbers(b);
  if (!na || !nb) {
    return !na && nb;
  }
  for (std::size_t i = 0; i < std::max(na->size(), nb->size()); ++i) {
    const std::uint64_t x = i < na->size() ? (*na)[i] : 0;
    const std::uint64_t y = i < nb->size() ? (*nb)[i] : 0;
    if (x != y) {
      return x < y;
    }
  }
  return false;
}

bool cali_file_name(const std::string& name, std::string& sn, double& freq) {
  const auto us = name.rfind('_');
  if (us == std::string::npos || us == 0 || !name.ends_with("GHz.csv")) {
    return false;
  }
  const std::string f = name.substr(us + 1, name.size() - us - 1 - 7);
  try {
    freq = value::parse_float(f);
  } catch (const std::exception&) {
    return false;
  }
  sn = name.substr(0, us);
  return std::isfinite(freq) && freq > 0;
}

std::string describe_row_problem(const CsvRow& row, const CaliLayout& layout,
                                 std::string_view fallback) {
  if (row.empty()) {
    return std::string(fallback);
  }
  const std::string_view key = row[0];
  if (std::string p = row_cells_problem(row); !p.empty()) {
    return fmt::format("{} row: {}", key, p);
  }
  auto beyond = [&](std::size_t at, std::int64_t limit, const char* name, const char* count) {
    const std::int64_t n = at < row.size() ? position(row[at]) : 0;
    return n > limit ? fmt::format("{} row: {} {} is beyond the layout's {} {}", key, name, n,
                                   limit, count)
                     : std::string();
  };
  std::string p;
  const std::int64_t sections = layout.boards * layout.ics;
  if (key == "DATA") {
    p = beyond(3, layout.boards, "board", "boards");
    p = p.empty() ? beyond(5, layout.ics, "chip", "chips per board") : p;
    p = p.empty() ? beyond(7, layout.channels, "channel", "channels per chip") : p;
  } else if (key == "COMDR" || key == "ELEDR" || key == "COMSTEPDR") {
    p = beyond(3, sections, "section", "IC sections");
  } else if (key == "TEMPADC" || key == "TC") {
    p = beyond(2, sections, "section", "IC sections");
  } else if (key == "OFFSET_TX" || key == "OFFSET_RX") {
    const auto want = static_cast<std::size_t>(sections * layout.channels);
    if (row.size() - 1 < want) {
      p = fmt::format("{} row: {} offsets, the layout {} needs {}", key, row.size() - 1,
                      layout.text(), want);
    }
  } else if (key == "DR" && row.size() < 5) {
    p = fmt::format("DR row: {} cells, two numbers per RF mode (4) are needed", row.size() - 1);
  }
  return p.empty() ? fmt::format("{} row: {}", key, fallback) : p;
}

namespace {

// Reads every row of `file` into `s`; false when the file cannot be opened (`why` says why).
bool scan_file(const std::filesystem::path& file, Scan& s, std::string& why) {
  try {
    value::FileReadAhead ahead(file);
    value::CsvReader reader(ahead, /*strip_nul=*/true);
    CsvRow row;
    try {
      for (;;) {
        const auto line = static_cast<std::int64_t>(reader.lines_read()) + 1;
        if (!reader.next(row)) {
          break;
        }
        if (!row.empty()) {
          scan_row(s, row, line);
        }
      }
    } catch (const std::exception& e) {
      // Bytes that are not UTF-8 end the reading, as they end a device's parse.
      s.error(static_cast<std::int64_t>(reader.lines_read()) + 1, "",
              fmt::format("the file cannot be read on from here: {}", e.what()));
    }
    return true;
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
}

// Scans `file` into `s` while a device's parse of it runs on this thread (which may own the
// log records) into `result`; whether the file could be read.
bool scan_beside_parse(const std::filesystem::path& file, Scan& s, std::string& why,
                       const std::string& sn, double freq, const CaliLayout& device,
                       RetType& result) {
  bool readable = false;
  std::thread scanner([&] { readable = scan_file(file, s, why); });
  try {
    result = device_parse(file, sn, freq, device);
  } catch (...) {
    scanner.join();
    throw;
  }
  scanner.join();
  return readable;
}

// A device's parse after the scan, with the serial number and frequency the table's header
// gives where none was named.
RetType parse_after_scan(const std::filesystem::path& file, const Scan& s, std::string sn,
                         std::optional<double> freq, const CaliLayout& layout) {
  double device_freq = 0;
  if (freq) {
    device_freq = *freq;
  } else if (auto it = s.header.find("FCENTER");
             it == s.header.end() || !to_number(it->second.first, device_freq)) {
    device_freq = 0;
  }
  if (sn.empty()) {
    auto it = s.header.find("SN");
    sn = it == s.header.end() ? std::string() : it->second.first;
  }
  return device_parse(file, sn, device_freq, layout);
}

void report_unreadable(CaliCheckReport& report, const std::string& why) {
  report.result = RetType(RetCode::ERROR_BF_CALI_PARSE, "parse exception");
  CaliProblem p;
  p.message = fmt::format("cannot read {}: {}", report.file, why);
  report.problems.push_back(std::move(p));
}

void sort_by_line(std::vector<CaliProblem>& problems) {
  std::stable_sort(problems.begin(), problems.end(),
                   [](const CaliProblem& a, const CaliProblem& b) {
                     // Problems with a line in file order, then those of the whole table.
                     return (a.line == 0 ? INT64_MAX : a.line) < (b.line == 0 ? INT64_MAX : b.line);
                   });
}

}  // namespace

CaliCheckReport check_cali_table(const std::filesystem::path& file,
                                 const CaliCheckOptions& options) {
  CaliCheckReport report;
  report.file = file.string();
  report.device = options.device;
  std::string sn = options.sn;
  std::optional<double> freq = options.freq;
  std::string name_sn;
  double name_freq = 0;
  if (cali_file_name(file.filename().string(), name_sn, name_freq)) {
    sn = sn.empty() ? name_sn : sn;
    freq = freq ? freq : name_freq;
  }

  // With the device's layout, serial number and frequency known, a device's parse runs
  // beside the scan; else it needs what the scan finds and follows it.
  Scan s;
  std::string why;
  const bool beside = options.device && !sn.empty() && freq;
  report.readable = beside
                        ? scan_beside_parse(file, s, why, sn, *freq, *options.device, report.result)
                        : scan_file(file, s, why);
  if (!report.readable) {
    report_unreadable(report, why);
    return report;
  }

  // The table's own layout, by the rule of table_layout(): the ComData positions.
  if (s.max_board > 0 && s.max_chip > 0 && s.max_channel > 0) {
    report.table = CaliLayout{s.max_board, s.max_chip, s.max_channel};
  }
  const std::optional<CaliLayout> need = options.device ? options.device : report.table;
  Finisher(s, options, need ? &*need : nullptr, sn, freq).run();
  if (options.device && report.table && !(*options.device == *report.table)) {
    CaliProblem p;
    p.message = fmt::format(
        "the table's rows describe the layout {} (boards, chips, channels), the device's is {}",
        report.table->text(), options.device->text());
    s.problems.push_back(std::move(p));
  }
  report.problems = std::move(s.problems);
  sort_by_line(report.problems);
  if (!beside) {
    report.result = parse_after_scan(file, s, sn, freq, need.value_or(CaliLayout{1, 1, 1}));
  }
  return report;
}

}  // namespace arvcore::vlndev
