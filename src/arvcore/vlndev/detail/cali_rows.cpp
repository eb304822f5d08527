// The row handlers of the calibration CSV parse, one per row key, and the table that finds
// them. The DATA rows are nearly all of a table; everything on their way is kept cheap.

#include "arvcore/vlndev/detail/cali_rows.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_check.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/cali_numbers.hpp"

namespace arvcore::vlndev::detail {
namespace {

using value::CsvRow;

// Lines of the header rows, for the record that says why the header was refused.
struct HeaderLines {
  std::size_t ver = 0, sn = 0, fcenter = 0;
  void note(std::string_view key, std::size_t line) {
    std::size_t& at = key == "VER" ? ver : key == "SN" ? sn : key == "FCENTER" ? fcenter : other;
    at = at == 0 ? line : at;
  }
  std::size_t other = 0;
};

// Why the device refused the header: the first of its checks that failed, with its line.
std::string header_problem(const Value& table, const HeaderLines& at, const CaliDevice& device) {
  const std::string& sn = device.sn;
  const Value& freq = device.freq;
  const std::string& ver_limit = device.ver_limit;
  const std::string ver = value::str(table.value("VER", Value("")));
  const std::string table_sn = value::str(table.value("SN", Value("")));
  if (version_less(ver, ver_limit)) {
    return fmt::format("line {}: VER '{}' is below the lowest accepted version {}", at.ver, ver,
                       ver_limit);
  }
  if (table_sn != sn) {
    return fmt::format("line {}: Wrong SN! The table's SN is '{}', the device's is '{}'", at.sn,
                       table_sn, sn);
  }
  return fmt::format("line {}: FCENTER {} differs from the device's frequency {} GHz", at.fcenter,
                     value::str(table.value("FCENTER", Value(""))), value::str(freq));
}

std::string_view cell(const CsvRow& row, std::size_t i) {
  if (i >= row.size()) {
    throw IndexError("list index out of range");
  }
  return row[i];
}

std::string cat(std::string_view prefix, std::string_view tail) {
  std::string s;
  s.reserve(prefix.size() + tail.size());
  s.append(prefix).append(tail);
  return s;
}

// Find-or-create of a map entry, the hot-path form of inserting an empty map.
void sub_map(Value::object_t& parent, std::string key) {
  Value& slot = parent.emplace(std::move(key), nullptr).first->second;
  if (slot.is_null()) {
    slot = Value::object();
  } else if (!slot.is_object()) {
    throw TypeError(fmt::format("'{}' entry is not a map", slot.type_name()));
  }
}

// The numbers of a DATA row's entry: the general conversions for a split row, the quicker
// ones for a line read where it lies.
void read_numbers(const CsvRow& row, RowEntry& out) {
  out.numbers = {to_int(row[kReg0Cell]), to_int(row[kReg1Cell]), to_float(row[kGainCell]),
                 to_float(row[kPhaseCell])};
  out.is_packed = false;
}
void read_numbers(const value::CsvCells& cells, RowEntry& out) {
  entry_numbers(cells, out);
}

// A gain x 10, truncated toward zero. Gains are written with at most one decimal ("-7.5",
// "3"), and for those the tenths are the digits themselves: dividing by ten and multiplying
// back gives every whole number below 2^31 exactly, so no division is needed to match the
// float arithmetic of the general case.
double gain_tenths(std::string_view gain) {
  const char* p = gain.data();
  const char* const e = p + gain.size();
  const bool neg = p != e && *p == '-';
  p += (p != e && (*p == '-' || *p == '+')) ? 1 : 0;
  std::int64_t m = 0;
  int digits = 0;
  for (; p != e && digits < 9 && static_cast<unsigned>(*p - '0') < 10; ++p, ++digits) {
    m = m * 10 + (*p - '0');
  }
  if (digits > 0 && digits < 9) {
    if (p == e) {
      return static_cast<double>(neg ? -m * 10 : m * 10);
    }
    if (*p == '.' && e - p == 2 && static_cast<unsigned>(p[1] - '0') < 10) {
      m = m * 10 + (p[1] - '0');
      return static_cast<double>(neg ? -m : m);
    }
  }
  return std::trunc(to_float(gain) * 10.0);
}

// An integer cell already in the form Python's int() would print: "0", or digits without a
// leading zero after an optional "-". Such a cell goes into a key as it stands.
bool canonical_int(std::string_view s) {
  const std::size_t sign = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() <= sign || s.size() - sign > 18 || (s[sign] == '0' && s.size() != 1)) {
    return false;
  }
  for (std::size_t i = sign; i < s.size(); ++i) {
    if (static_cast<unsigned>(s[i] - '0') >= 10) {
      return false;
    }
  }
  return true;
}

// The channel key of a DATA row: channel, gain x 10 truncated toward zero, integer phase.
// The text returned lives in the key object until its next key.
class ChannelKey {
 public:
  /// The number in `data` of the key of a DATA row's cells: channel (7), gain (10) and phase
  /// (12). The steps of a table repeat their keys in one order, written alike: the key after
  /// the last one put is tried first by the row text that last made it, which spares making
  /// its text.
  template <class Row>
  std::uint32_t number(CaliData& data, const Row& row) {
    const Cells here(row);
    const std::uint32_t next = data.next_key();
    if (next < cells_.size() && same(cells_[next], here)) {
      return next;
    }
    const std::uint32_t key = data.key_number(make(row[7], row[10], row[12]));
    if (key >= cells_.size()) {
      cells_.resize(key + 1);
    }
    keep(cells_[key], here);
    return key;
  }

 private:
  std::string_view make(std::string_view channel, std::string_view gain, std::string_view phase) {
    const double tenths = gain_tenths(gain);
    if (!std::isfinite(tenths)) {
      throw ValueError(fmt::format("cannot convert gain '{}' to an integer", gain));
    }
    char gain_digits[24];
    std::string_view gain_text;
    if (std::fabs(tenths) < 9.2e18) {
      gain_text = {gain_digits,
                   static_cast<std::size_t>(std::to_chars(gain_digits, std::end(gain_digits),
                                                          static_cast<std::int64_t>(tenths))
                                                .ptr -
                                            gain_digits)};
    } else {
      huge_gain_ = fmt::format("{:.0f}", tenths);  // exact digits, up to 309 of them
      gain_text = huge_gain_;
    }
    // A phase already in int() form goes in as it stands.
    char phase_digits[24];
    std::string_view phase_text = phase;
    if (!canonical_int(phase)) {
      phase_text = {phase_digits,
                    static_cast<std::size_t>(
                        std::to_chars(phase_digits, std::end(phase_digits), to_int(phase)).ptr -
                        phase_digits)};
    }
    // The usual key fits the fixed buffer; a longer one goes to the reused string.
    const std::size_t size = channel.size() + gain_text.size() + phase_text.size() + 2;
    char* const start = size <= sizeof short_ ? short_ : (long_.resize(size), long_.data());
    char* out = copy(channel, start);
    *out++ = '_';
    out = copy(gain_text, out);
    *out++ = '_';
    copy(phase_text, out);
    return {start, size};
  }

  // Copies a short cell byte by byte: cheaper than a library call at this length.
  static char* copy(std::string_view cell, char* out) {
    for (const char ch : cell) {
      *out++ = ch;
    }
    return out;
  }

  // The cells of a row that make its key, where they lie in the row's text: from the start
  // of the channel cell to the end of the phase cell, with the gain's and phase's places
  // in it. Two rows with the same span of text, cut at the same places, have the same cells.
  struct Cells {
    std::string_view span;
    std::uint32_t channel_end = 0, gain_at = 0, gain_end = 0, phase_at = 0;

    Cells() = default;
    template <class Row>
    explicit Cells(const Row& row) {
      const char* start = row[7].data();
      const auto at = [start](const char* p) { return static_cast<std::uint32_t>(p - start); };
      span = {start, static_cast<std::size_t>(row[12].data() + row[12].size() - start)};
      channel_end = at(row[7].data() + row[7].size());
      gain_at = at(row[10].data());
      gain_end = at(row[10].data() + row[10].size());
      phase_at = at(row[12].data());
    }
    bool cut_alike(const Cells& o) const {
      return span.size() == o.span.size() && channel_end == o.channel_end && gain_at == o.gain_at &&
             gain_end == o.gain_end && phase_at == o.phase_at;
    }
  };
  // The cells that last made a key: where their text lies in `kept_text_`, and their cuts.
  struct KeptCells {
    std::size_t at = 0;
    Cells cut;
  };

  bool same(const KeptCells& kept, const Cells& c) const {
    return kept.cut.cut_alike(c) &&
           same_text(c.span, std::string_view(kept_text_.data() + kept.at, c.span.size()));
  }
  // The texts of all keys lie in one buffer, so that a parse makes no small allocation per
  // key (freed at its end among the table's own, they would keep the heap from shrinking);
  // large, it and the cells are mapped on their own, for the same reason.
  void keep(KeptCells& kept, const Cells& c) {
    if (c.span.size() > kept.cut.span.size()) {
      kept.at = kept_text_.size();
      kept_text_.insert(kept_text_.end(), c.span.begin(), c.span.end());
    } else {
      std::copy(c.span.begin(), c.span.end(),
                kept_text_.begin() + static_cast<std::ptrdiff_t>(kept.at));
    }
    kept.cut = c;
  }

  MappedVector<KeptCells> cells_;  // by key number
  MappedVector<char> kept_text_;
  char short_[64];
  // Longer keys, and the digits of a gain too large for an integer; both reused from row to
  // row, never reallocated after the longest.
  std::string long_;
  std::string huge_gain_;
};

// The map of `mode` in the section `board` of a table, which earlier rows must have made.
Value::object_t& mode_section(Value& table, const std::string& board, std::string_view mode) {
  Value& found = child(child(table, board), mode);
  if (!found.is_object()) {
    throw TypeError(fmt::format("'{}' entry is not a map", mode));
  }
  return found.get_ref<Value::object_t&>();
}

// Insertion state of one parse: the DATA rows of a table arrive grouped by mode, board,
// chip and step, so the place of the previous row is usually the one of the next.
struct DataCursor {
  std::string board, mode, chip, com;
  bool place_known = false;
  Value::object_t* mode_map = nullptr;  // null when rows are read apart from the table
  bool chip_placed = false;
  bool step_known = false;
  std::uint32_t step = 0;

  // The store's step of COM_<com> under board, mode and chip (DATA_CHIP_<chip>). With a
  // `table`, the board and mode sections must exist in it, and the chip map is placed there
  // (empty, its entries are in the store) on first use; the step is made in the store.
  std::uint32_t step_of(Value* table, CaliData& data, std::string_view mode_cell,
                        std::string_view board_cell, std::string_view chip_cell,
                        std::string_view com_cell) {
    if (!place_known || !same_text(board_cell, board) || !same_text(mode_cell, mode)) {
      place_known = false;
      if (table != nullptr) {
        mode_map = &mode_section(*table, cat("BOARD_", board_cell), mode_cell);
      }
      board = board_cell;
      mode = mode_cell;
      place_known = true;
      chip_placed = false;
    }
    if (!chip_placed || !same_text(chip_cell, chip)) {
      chip_placed = false;
      if (table != nullptr) {
        sub_map(*mode_map, cat("DATA_CHIP_", chip_cell));
      }
      chip = chip_cell;
      chip_placed = true;
      step_known = false;
    }
    if (!step_known || !same_text(com_cell, com)) {
      step_known = false;
      step = data.step(cat("BOARD_", board), mode, cat("DATA_CHIP_", chip), cat("COM_", com_cell));
      com = com_cell;
      step_known = true;
    }
    return step;
  }

  std::uint32_t step_of(Value* table, CaliData& data, const CsvRow& row) {
    place_text.clear();
    return step_of(table, data, row[1], row[3], row[5], row[14]);
  }
  // A plain line's cells hold no comma, so the same text from its mode cell to its chip cell
  // is the same three cells: one comparison for the three.
  std::uint32_t step_of(Value* table, CaliData& data, const value::CsvCells& cells) {
    const char* const from = cells[1].data();
    const std::string_view place(
        from, static_cast<std::size_t>(cells[5].data() + cells[5].size() - from));
    if (step_known && same_text(place, place_text) && same_text(cells[14], com)) {
      return step;
    }
    place_text.clear();
    const std::uint32_t found = step_of(table, data, cells[1], cells[3], cells[5], cells[14]);
    place_text = place;
    return found;
  }

  std::string place_text;  // mode to chip cell of the last plain line placed, if nothing since
};

RetType check_header(const Value& table, const CaliDevice& device, const log::Logger& logger) {
  RetType ret;
  auto text = [&](const char* key) -> const std::string& {
    const Value& v = child(table, key);
    if (!v.is_string()) {
      throw TypeError(fmt::format("'{}' of the table must be a text", key));
    }
    return v.get_ref<const std::string&>();
  };
  if (version_less(text("VER"), device.ver_limit)) {
    ret.RetMsg = "Version of Cali table is too low, please upgrade it.";
  } else if (text("SN") != device.sn) {
    ret.RetMsg = "Wrong SN!";
  } else if (!same_freq(value::parse_float(text("FCENTER")), device.freq)) {
    ret.RetMsg = "Wrong Freq";
  } else {
    return ret;
  }
  ret.RetCode = RetCode::ERROR_BF_CALI_INCOMPLTE;
  logger.error("{}", ret);
  return ret;
}

void update_dict(Value& srcDict, const std::string& key, Value value, const log::Logger& logger) {
  try {
    if (!srcDict.is_object()) {
      throw TypeError(fmt::format("'{}' entry cannot hold keys", srcDict.type_name()));
    }
    auto& map = srcDict.get_ref<Value::object_t&>();
    auto it = map.find(key);
    if (it == map.end()) {
      map.emplace(key, std::move(value));
      return;
    }
    if (it->second.is_null()) {
      it->second = std::move(value);
      return;
    }
    // An existing entry only takes the entries of a map; the parse passes empty maps for
    // the levels it walks through, so those leave the table as it is.
    if (!value.is_object()) {
      throw TypeError(fmt::format("'{}' already exists and a {} cannot be merged into it", key,
                                  value.type_name()));
    }
    if (value.empty()) {
      return;
    }
    if (!it->second.is_object()) {
      throw TypeError(fmt::format("'{}' already holds a {}", key, it->second.type_name()));
    }
    for (auto& [k, v] : value.items()) {
      it->second[k] = v;
    }
  } catch (...) {
    logger.exception(fmt::format("__updateDict exception with key:{}, value:{}", key, value));
    throw Error("__updateDict exception");
  }
}

}  // namespace

struct CaliRowReader::State {
  Value& table;
  CaliData& data;
  CaliDevice device;
  const log::Logger& logger;
  const std::string& file_label;
  RetType header_result;
  HeaderLines header_lines;
  bool header_done = false;
  bool end_seen = false;
  DataCursor cursor;
  ChannelKey channel_keys;

  void update(Value& dict, const std::string& key, Value value) const {
    update_dict(dict, key, std::move(value), logger);
  }
};

namespace {

using State = CaliRowReader::State;

// DATA: one ComData entry, [two integers, two floats], under its board, mode, chip, step and
// channel key (channel, gain x 10, phase), kept in the table's DATA store. A later row with the
// same channel key replaces the earlier entry in its place.
template <class Row>
void put_data_row(Value* table, CaliData& data, DataCursor& cursor, ChannelKey& keys,
                  const Row& row) {
  // The phase is the last cell a DATA row uses.
  if (row.size() <= kPhaseCell) {
    throw IndexError("list index out of range");
  }
  const std::uint32_t key = keys.number(data, row);
  RowEntry entry;
  read_numbers(row, entry);
  data.put(cursor.step_of(table, data, row), key, entry);
}

bool read_data_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  put_data_row(&s.table, s.data, s.cursor, s.channel_keys, row);
  return true;
}

// VER, REALVER, SN, FCENTER: one text of the table's header.
bool read_header_row(State& s, const CsvRow& row, std::size_t line) {
  const std::string_view key = row[0];
  const std::string_view v = cell(row, 1);
  s.logger.debug("{}: {}", key, v);
  s.header_lines.note(key, line);
  s.update(s.table, std::string(key), Value(std::string(v)));
  return true;
}

// DR: the [low, high] range of each mode, modes in reverse order of their enumeration.
bool read_dr_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  s.update(s.table, "DR", Value::object());
  std::size_t next = 1;
  const auto& members = enum_members<RFMode>();
  for (auto m = members.rbegin(); m != members.rend(); ++m) {
    const double a = value::parse_float(cell(row, next++));
    const double b = value::parse_float(cell(row, next++));
    s.logger.debug("{}mode DR: {{{:.6f}~{:.6f}}}", m->first, a, b);
    s.update(child(s.table, "DR"), std::string(m->first), Value::array({a, b}));
  }
  return true;
}

// OFFSET_TX, OFFSET_RX: one integer offset per channel of the device's layout, board by
// board; these rows make the board and mode sections.
bool read_offset_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  const std::string_view key = row[0];
  const std::string mode(key.substr(key.find('_') + 1));
  const CaliLayout& layout = s.device.layout;
  std::size_t next = 1;
  for (std::int64_t b = 1; b <= layout.boards; ++b) {
    const std::string board = fmt::format("BOARD_{}", b);
    s.update(s.table, board, Value::object());
    s.update(child(s.table, board), mode, Value::object());
    Value& mode_map = child(child(s.table, board), mode);
    for (std::int64_t i = 1; i <= layout.ics; ++i) {
      const std::string chip = fmt::format("OFFSET_CHIP_{}", i);
      s.update(mode_map, chip, Value::object());
      for (std::int64_t ch = 1; ch <= layout.channels; ++ch) {
        const std::int64_t offset = value::parse_int(cell(row, next++));
        s.update(child(mode_map, chip), fmt::format("CHANNEL_{}", ch), offset);
      }
    }
  }
  return true;
}

// The header rows come before the first COMDR or ELEDR row, which checks them once against
// the device. False when they are refused.
bool header_accepted(State& s) {
  if (s.header_done) {
    return true;
  }
  s.header_result = check_header(s.table, s.device, s.logger);
  if (!s.header_result.ok()) {
    // The check logged the refusal, the parse logs the broken file: this only says where.
    s.logger.info("{}: {}", s.file_label, header_problem(s.table, s.header_lines, s.device));
    return false;
  }
  s.header_done = true;
  return true;
}

// COMDR, ELEDR: the numbers of one board's mode; empty cells are left out. The first such
// row ends the rows that may precede the header check.
bool read_range_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  if (!header_accepted(s)) {
    return false;
  }
  const std::string_view key = row[0];
  const std::string mode(cell(row, 1));
  const std::string board = cat("BOARD_", cell(row, 3));
  s.update(s.table, board, Value::object());
  s.update(child(s.table, board), mode, Value::object());
  Value values = Value::array();
  for (std::size_t i = 5; i < row.size(); ++i) {
    if (!row[i].empty()) {
      values.push_back(value::parse_float(row[i]));
    }
  }
  s.update(child(child(s.table, board), mode), std::string(key), std::move(values));
  return true;
}

// TEMPADC: the temperature reading of a board, the same for both modes.
bool read_tempadc_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  const std::string board = cat("BOARD_", cell(row, 2));
  s.update(child(child(s.table, board), "TX"), "TEMPADC", std::string(cell(row, 4)));
  s.update(child(child(s.table, board), "RX"), "TEMPADC", std::string(cell(row, 4)));
  return true;
}

// TC: the temperature compensation pair of each mode of a board.
bool read_tc_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  const std::string board = cat("BOARD_", cell(row, 2));
  s.update(child(child(s.table, board), "TX"), "TC",
           Value::array({std::string(cell(row, 4)), std::string(cell(row, 5))}));
  s.update(child(child(s.table, board), "RX"), "TC",
           Value::array({std::string(cell(row, 6)), std::string(cell(row, 7))}));
  return true;
}

// COMSTEPDR: the range of one step of a board's mode.
bool read_comstepdr_row(State& s, const CsvRow& row, std::size_t /*line*/) {
  const std::string_view mode = cell(row, 1);
  const std::string board = cat("BOARD_", cell(row, 3));
  Value& mode_map = child(child(s.table, board), mode);
  s.update(mode_map, "COMSTEPDR", Value::object());
  s.update(child(mode_map, "COMSTEPDR"), cat("COM_", cell(row, 6)),
           Value::array({std::string(cell(row, 8)), std::string(cell(row, 10))}));
  return true;
}

// END: the table is complete.
bool read_end_row(State& s, const CsvRow& /*row*/, std::size_t /*line*/) {
  s.end_seen = true;
  return true;
}

using RowHandler = bool (*)(State&, const CsvRow&, std::size_t);

struct RowKind {
  std::string_view key;
  RowHandler read;
};

// Every row key a calibration table holds, and where its rows are read.
constexpr RowKind kRowKinds[] = {
    {kDataKey, read_data_row},  // nearly every row: looked up first
    {"VER", read_header_row},       {"REALVER", read_header_row}, {"SN", read_header_row},
    {"FCENTER", read_header_row},   {"DR", read_dr_row},          {"OFFSET_TX", read_offset_row},
    {"OFFSET_RX", read_offset_row}, {"COMDR", read_range_row},    {"ELEDR", read_range_row},
    {"TEMPADC", read_tempadc_row},  {"TC", read_tc_row},          {"COMSTEPDR", read_comstepdr_row},
    {"END", read_end_row},
};

}  // namespace

CaliRowReader::CaliRowReader(Value& table, CaliData& data, const CaliDevice& device,
                             const log::Logger& logger, const std::string& file_label)
    : state_(new State{table, data, device, logger, file_label, {}, {}, false, false, {}, {}}) {}

CaliRowReader::~CaliRowReader() = default;

bool CaliRowReader::read(const CsvRow& row, std::size_t line) {
  const std::string_view key = row[0];
  for (const RowKind& kind : kRowKinds) {
    if (kind.key == key) {
      return kind.read(*state_, row, line);
    }
  }
  return true;  // a row of another key holds nothing the table keeps
}

void CaliRowReader::read_data(const value::CsvCells& cells) {
  State& s = *state_;
  put_data_row(&s.table, s.data, s.cursor, s.channel_keys, cells);
}

bool CaliRowReader::take_data(CaliData& ahead) {
  State& s = *state_;
  // Every place must be there before anything is taken.
  std::vector<Value::object_t*> modes;
  modes.reserve(ahead.steps().size());
  for (const CaliData::Step& step : ahead.steps()) {
    const auto board = s.table.find(step.board);
    if (board == s.table.end() || !board->is_object()) {
      return false;
    }
    const auto mode = board->find(step.mode);
    if (mode == board->end() || !mode->is_object()) {
      return false;
    }
    const auto chip = mode->find(step.chip);
    if (chip != mode->end() && !chip->is_object()) {
      return false;
    }
    modes.push_back(&mode->get_ref<Value::object_t&>());
  }
  for (std::size_t i = 0; i < modes.size(); ++i) {
    sub_map(*modes[i], ahead.steps()[i].chip);
  }
  s.data.append(std::move(ahead));
  s.cursor = {};
  return true;
}

struct DataRowReader::State {
  CaliData& data;
  DataCursor cursor;
  ChannelKey channel_keys;
};

DataRowReader::DataRowReader(CaliData& data) : state_(new State{data, {}, {}}) {}

DataRowReader::DataRowReader(CaliData& data, const DataRowReader& keys)
    : state_(new State{data, {}, keys.state_->channel_keys}) {}

DataRowReader::~DataRowReader() = default;

bool DataRowReader::read(const CsvRow& row) {
  const std::string_view key = row[0];
  if (key == kRowKinds[0].key) {
    put_data_row(nullptr, state_->data, state_->cursor, state_->channel_keys, row);
    return true;
  }
  return std::none_of(std::begin(kRowKinds), std::end(kRowKinds),
                      [key](const RowKind& kind) { return kind.key == key; });
}

void DataRowReader::read_data(const value::CsvCells& cells) {
  put_data_row(nullptr, state_->data, state_->cursor, state_->channel_keys, cells);
}

bool CaliRowReader::end_seen() const {
  return state_->end_seen;
}

const RetType& CaliRowReader::header_result() const {
  return state_->header_result;
}

}  // namespace arvcore::vlndev::detail
