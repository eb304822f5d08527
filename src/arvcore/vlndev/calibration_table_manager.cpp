// Calibration manager: construction in its three set-ups, file discovery, the CSV parse with
// its header check, the JSON export and import. The queries live in calibration_queries.cpp.

#include "arvcore/vlndev/calibration_table_manager.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_check.hpp"
#include "arvcore/vlndev/detail/frequency.hpp"

namespace arvcore::vlndev {
namespace {

namespace fs = std::filesystem;
using value::CsvRow;

// From this file size on, the memory for a table's values is prepared on another thread.
constexpr std::size_t kLargeTableBytes = std::size_t{4} << 20;

// Frequencies (GHz) of the built-in polarization table.
constexpr int kPolarFreqTenths[] = {265, 270, 275, 280, 285, 290, 295};

Value make_zinnet_cali() {
  auto pol_entry = [](double low, double high, double ele) {
    Value e = Value::object();
    e["OFFSET"] = Value::array({0, 0, 0, 0});
    e["COMDR"] = Value::array({low, high});
    e["ELEDR"] = ele;
    return e;
  };
  Value t = Value::object();
  t["VER"] = "3.0.0";
  t["SN"] = "D2410E001-28";
  t["FCENTER"] = 28;
  t["DR"]["TX"]["HORIZON"] = Value::array({-9.5, 5.0});
  t["DR"]["TX"]["VERTICAL"] = Value::array({-8.0, 7.0});
  t["DR"]["RX"]["HORIZON"] = Value::array({-5.0, 10.0});
  t["DR"]["RX"]["VERTICAL"] = Value::array({-6.0, 9.0});
  Value& board = t["BOARD_1"];
  board["TC"]["TEMPADC"] = 37;
  board["TC"]["HORIZON"] = Value::array({8, 3, 2, 11});
  board["TC"]["VERTICAL"] = Value::array({8, 3, 2, 11});
  board["TX"]["HORIZON"] = pol_entry(-9.5, -2.0, 7.0);
  board["TX"]["VERTICAL"] = pol_entry(-8.0, -0.5, 7.5);
  board["RX"]["HORIZON"] = pol_entry(-5.0, 2.5, 4.0);
  board["RX"]["VERTICAL"] = pol_entry(-6.0, 1.5, 5.5);
  return t;
}

// Numeric equality of a frequency read from a file or table with the manager's frequency,
// which the caller may have given as any value (a non-number never matches).
bool same_freq(double f, const Value& freq) {
  return freq.is_number() && f == freq.get<double>();
}

// Lines of the header rows, for the record that says why the header was refused.
struct HeaderLines {
  std::size_t ver = 0, sn = 0, fcenter = 0;
  void note(std::string_view key, std::size_t line) {
    std::size_t& at = key == "VER" ? ver : key == "SN" ? sn : key == "FCENTER" ? fcenter : other;
    at = at == 0 ? line : at;
  }
  std::size_t other = 0;
};

std::string header_problem(const Value& table, const HeaderLines& at, const std::string& sn,
                           const Value& freq, const std::string& ver_limit) {
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

// Where and why a parse failed: the row it was on and what that row lacks.
std::string failure_place(const CsvRow& row, std::size_t row_line, std::size_t lines,
                          const CaliLayout& layout) {
  std::string why = "unknown failure";
  try {
    throw;
  } catch (const KeyError& e) {
    why = fmt::format(
        "no entry {} yet: an earlier OFFSET, COMDR or ELEDR row makes the board "
        "and mode sections",
        e.what());
  } catch (const std::exception& e) {
    why = std::string_view(e.what()) == "__updateDict exception"
              ? "a second row for a place the table already holds"
              : e.what();
  } catch (...) {
  }
  if (row_line != 0) {
    return fmt::format("line {}: {}", row_line, describe_row_problem(row, layout, why));
  }
  return lines == 0 ? why : fmt::format("line {}: {}", lines + 1, why);
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

// `map[key]` of a table: the entry must exist (KeyError otherwise).
template <class V>
V& child(V& map, std::string_view key) {
  if (!map.is_object()) {
    throw TypeError(fmt::format("'{}' entry cannot hold '{}'", map.type_name(), key));
  }
  auto it = map.find(key);
  if (it == map.end()) {
    throw KeyError(fmt::format("'{}'", key));
  }
  return *it;
}

// Find-or-create of a map entry, the hot-path form of inserting an empty map and stepping
// into it. The inner map is addressed by its storage, which stays put while its parent grows.
// A new map is sized for `expected` entries up front.
Value::object_t& sub_map(Value::object_t& parent, std::string key, std::size_t expected = 0) {
  Value& slot = parent.emplace(std::move(key), nullptr).first->second;
  if (slot.is_null()) {
    slot = Value::object();
    slot.get_ref<Value::object_t&>().reserve(expected);
  } else if (!slot.is_object()) {
    throw TypeError(fmt::format("'{}' entry is not a map", slot.type_name()));
  }
  return slot.get_ref<Value::object_t&>();
}

// Number cells of DATA rows are almost always short plain decimals ("-3.957", "45"). Those
// are converted here directly; anything else (exponents, spaces, underscores, long digit
// runs, bad text) goes through the general conversions, which also raise the errors.
constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

double to_float(std::string_view s) {
  const char* p = s.data();
  const char* const e = p + s.size();
  const bool neg = p != e && *p == '-';
  p += (p != e && (*p == '-' || *p == '+')) ? 1 : 0;
  const char* const first = p;
  const char* dot = nullptr;
  std::uint64_t m = 0;
  for (; p != e; ++p) {
    const auto d = static_cast<unsigned>(*p - '0');
    if (d < 10) {
      m = m * 10 + d;
    } else if (*p == '.' && dot == nullptr) {
      dot = p;
    } else {
      return value::parse_float(s);
    }
  }
  const auto digits = (e - first) - (dot != nullptr ? 1 : 0);
  if (digits == 0 || digits > 15) {
    return value::parse_float(s);
  }
  // Both operands are exact (m < 2^53, 10^frac <= 10^15), so the one rounding of the
  // division gives the correctly rounded value, as a full decimal conversion would.
  const double v = static_cast<double>(m) / kPow10[dot != nullptr ? e - dot - 1 : 0];
  return neg ? -v : v;
}

std::int64_t to_int(std::string_view s) {
  const char* p = s.data();
  const char* const e = p + s.size();
  const bool neg = p != e && *p == '-';
  p += (p != e && (*p == '-' || *p == '+')) ? 1 : 0;
  if (p == e || e - p > 18) {
    return value::parse_int(s);
  }
  std::int64_t v = 0;
  for (; p != e; ++p) {
    const auto d = static_cast<unsigned>(*p - '0');
    if (d >= 10) {
      return value::parse_int(s);
    }
    v = v * 10 + d;
  }
  return neg ? -v : v;
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

 private:
  // Copies a short cell byte by byte: cheaper than a library call at this length.
  static char* copy(std::string_view cell, char* out) {
    for (const char ch : cell) {
      *out++ = ch;
    }
    return out;
  }

  char short_[64];
  // Longer keys, and the digits of a gain too large for an integer; both reused from row to
  // row, never reallocated after the longest.
  std::string long_;
  std::string huge_gain_;
};

// Cell text equality for the short cells that name a table's sections ("TX", "1"): a plain
// loop beats a library call at that length.
bool same_cell(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

// Insertion state of one parse: the DATA rows of a table arrive grouped by mode, board,
// chip and step, so the maps of the previous row are usually the ones of the next.
struct DataCursor {
  std::string board, mode, chip, com;
  Value::object_t* mode_map = nullptr;
  Value::object_t* chip_map = nullptr;
  Value::object_t* com_map = nullptr;
  // Steps of one table hold the same channels, gains and phases: once two step maps in a
  // row came out the same size, a new one is sized like them up front, which spares the
  // regrowth of large maps (and an irregular table never over-reserves).
  std::size_t com_size = 0;
  std::size_t com_size_before = 1;  // differs from com_size until two sizes were seen
  std::size_t expected_com_size() const { return com_size == com_size_before ? com_size : 0; }
  void finished_com(std::size_t size) {
    com_size_before = com_size;
    com_size = size;
  }
};

}  // namespace

const std::shared_ptr<const Value>& CalibrationTableManager::zinnet_cali() {
  static const std::shared_ptr<const Value> table =
      std::make_shared<const Value>(make_zinnet_cali());
  return table;
}

CalibrationTableManager::CalibrationTableManager(std::string sn, Value freq,
                                                 const RfLayoutFn& rf_layout, bool support_polar,
                                                 bool is_web_mode, bool fetchCsvFromFile)
    : logger_("CaliTbl"),
      sn_(std::move(sn)),
      freq_(std::move(freq)),
      support_polar_(support_polar) {
  const Value layout = rf_layout();
  if (!layout.is_array() || layout.size() != 3) {
    throw ValueError(
        fmt::format("rf_layout must give exactly 3 values (boards, ICs per board, channels per "
                    "IC), got {}",
                    value::repr(layout)));
  }
  for (const auto& n : layout) {
    if (!n.is_number_integer()) {
      throw TypeError(fmt::format("rf_layout values must be integers, got {}", value::repr(n)));
    }
  }
  num_board_ = layout[0].get<std::int64_t>();
  num_ic_per_board_ = layout[1].get<std::int64_t>();
  num_channel_per_ic_ = layout[2].get<std::int64_t>();
  cali_table_ver_limit_ = "2.0.0";
  web_mode_ = is_web_mode;

  if (support_polar_) {
    for (int tenths : kPolarFreqTenths) {
      freq_list_.push_back(tenths / 10.0);
    }
    cali_table_ = zinnet_cali();
    return;
  }
  if (web_mode_) {
    db_template_ = std::make_shared<Value>(Value::object());
    (*db_template_)["sn"] = sn_;
    (*db_template_)["frequency"] = freq_;
    db_ = std::make_unique<VLNTableDB>("calibration", db_template_, layout);
    return;
  }
  cali_table_ = std::make_shared<const Value>(Value::object());
  if (fetchCsvFromFile) {
    default_dir_ = fs::path(Utils::get_files_dir());
    path_cali_.clear();
    _searchCaliFile();
  }
}

const Value& CalibrationTableManager::CaliTable() const {
  static const Value none;
  return cali_table_ ? *cali_table_ : none;
}

void CalibrationTableManager::dropCaches() {
  all_offset_.clear();
  all_xxx_dr_.reset();
  all_comdata_map_ = Value::object();
}

Value CalibrationTableManager::_searchCaliFile(const std::string& extension) {
  freq_list_ = Value::array();
  if (!default_dir_) {
    throw Error(
        "this calibration manager has no data directory to search (it was made "
        "without fetchCsvFromFile)");
  }
  Value answer = false;
  const std::string prefix = sn_ + "_";
  const std::string suffix = "GHz" + extension;
  std::vector<double> found;
  std::error_code ec;
  for (fs::directory_iterator it(*default_dir_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
      continue;
    }
    std::error_code type_ec;
    if (it->is_directory(type_ec)) {
      continue;
    }
    const std::string path = (*default_dir_ / name).string();
    // The frequency is the last "_" piece of the name, up to "GHz" + extension.
    std::string_view piece = std::string_view(name).substr(name.rfind('_') + 1);
    piece = piece.substr(0, piece.find(suffix));
    double f = 0;
    try {
      f = value::parse_float(piece);
    } catch (const ValueError&) {
      f = NAN;
    }
    if (std::isnan(f)) {
      logger_.warning("Skipping calibration file {}: its frequency part is not a number", path);
      continue;
    }
    if (same_freq(f, freq_)) {
      answer = path;
    }
    found.push_back(f);
  }
  std::sort(found.begin(), found.end());
  for (double f : found) {
    freq_list_.push_back(f);
  }
  return answer;
}

RetType CalibrationTableManager::checkCaliTableLocation() {
  // The web database and the built-in table are always there.
  if (web_mode_ || support_polar_) {
    return RetType::Data(true);
  }
  _searchCaliFile();
  return RetType::Data(!freq_list_.empty());
}

RetType CalibrationTableManager::getFrequencyList(bool force_refresh) {
  try {
    if (!support_polar_) {
      if (web_mode_) {
        freq_list_ = db_->getTableList("Freq").RetData;
      } else if (force_refresh) {
        _searchCaliFile();
      }
    }
    return RetType::Data(freq_list_);
  } catch (const VLNTableDBError& e) {
    logger_.error("Exception: {}", e.ret());
    return e.ret();
  }
}

RetType CalibrationTableManager::queryCaliTableVer() {
  try {
    if (db_) {
      return db_->query("VER");
    }
    return RetType::Data(child(CaliTable(), "VER"));
  } catch (const VLNTableDBError& e) {
    logger_.error("Exception: {}", e.ret());
    return e.ret();
  } catch (const std::exception&) {
    return RetType(RetCode::ERROR_BF_CALI_INCOMPLTE, "Can not found any calibration table");
  }
}

RetType CalibrationTableManager::basicCheck(const Value& table) {
  RetType ret;
  auto text = [&](const char* key) -> const std::string& {
    const Value& v = child(table, key);
    if (!v.is_string()) {
      throw TypeError(fmt::format("'{}' of the table must be a text", key));
    }
    return v.get_ref<const std::string&>();
  };
  if (version_less(text("VER"), cali_table_ver_limit_)) {
    ret.RetMsg = "Version of Cali table is too low, please upgrade it.";
  } else if (text("SN") != sn_) {
    ret.RetMsg = "Wrong SN!";
  } else if (!same_freq(value::parse_float(text("FCENTER")), freq_)) {
    ret.RetMsg = "Wrong Freq";
  } else {
    return ret;
  }
  ret.RetCode = RetCode::ERROR_BF_CALI_INCOMPLTE;
  logger_.error("{}", ret);
  return ret;
}

void CalibrationTableManager::updateDict(Value& srcDict, const std::string& key, Value value) {
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
    logger_.exception(fmt::format("__updateDict exception with key:{}, value:{}", key, value));
    throw Error("__updateDict exception");
  }
}

RetType CalibrationTableManager::parse(const Value& freq, std::istream* fileObject,
                                       bool exportToJson) {
  if (fileObject == nullptr) {
    // Refused before anything changes: such a frequency names no table, here or in the
    // database.
    if (const std::string problem = frequency_problem(freq); !problem.empty()) {
      RetType ret(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table");
      logger_.error("{}", problem);
      logger_.error("{}", ret.RetMsg);
      return ret;
    }
    freq_ = freq;
    dropCaches();
    if (db_) {
      return db_->setFreq(freq_);
    }
    const Value found = _searchCaliFile();
    logger_.info("Cali file path: {}", found);
    if (!found.is_string()) {
      RetType ret(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table");
      logger_.error("{}", ret.RetMsg);
      logger_.error("No calibration file {}_{}GHz.csv in {}; frequencies found for {}: {}", sn_,
                    value::str(freq_), default_dir_->string(), sn_,
                    freq_list_.empty() ? std::string("none") : value::str(freq_list_));
      return ret;
    }
    path_cali_ = found.get<std::string>();
  }

  // A large table takes about twice its file's size in values: have the memory for them
  // prepared beside the parse, and the memory of the table being replaced kept for it
  // rather than given back to the system and taken again.
  std::optional<value_pool::RegionsAhead> memory_ahead;
  std::error_code size_unknown;
  if (fileObject == nullptr && fs::file_size(path_cali_, size_unknown) >= kLargeTableBytes &&
      !size_unknown) {
    memory_ahead.emplace();
  }
  auto table_owner = std::make_shared<Value>(Value::object());
  cali_table_ = table_owner;
  Value& table = *table_owner;

  RetType result;
  // The reader outlives the guarded block: the row it read last still names the place of a
  // failure there, and its cells may lie in the reader's buffers.
  std::optional<value::FileReadAhead> file;
  std::optional<value::CsvReader> reader;
  CsvRow row;
  std::size_t row_line = 0;
  std::size_t lines = 0;
  HeaderLines header_lines;
  const std::string file_label =
      fileObject == nullptr ? path_cali_ : std::string("the given stream");
  try {
    // A table file is read a few chunks ahead of the parse, on another thread, and parsed
    // where the chunks lie; a caller's stream is read through its buffer.
    if (fileObject == nullptr) {
      file.emplace(path_cali_);
      reader.emplace(*file, /*strip_nul=*/true);
    } else {
      reader.emplace(*fileObject, /*strip_nul=*/true);
    }
    bool header_done = false;
    bool end_seen = false;
    DataCursor cursor;
    ChannelKey channel_keys;

    for (;;) {
      row_line = 0;
      lines = reader->lines_read();
      if (!reader->next(row)) {
        break;
      }
      if (row.empty()) {
        continue;
      }
      row_line = lines + 1;
      const std::string_view key = row[0];
      // c(i) is the i-th cell after the row key.
      auto c = [&row](std::size_t i) { return cell(row, i + 1); };

      if (key == "DATA") {
        // c19 is the last cell a DATA row uses.
        if (row.size() < 21) {
          throw IndexError("list index out of range");
        }
        const std::string_view mode = row[1];
        const std::string_view board = row[3];
        const std::string_view chip = row[5];
        const std::string_view ch_key = channel_keys.make(row[7], row[10], row[12]);
        const std::string_view com = row[14];
        Value numbers[] = {Value(to_int(row[16])), Value(to_int(row[17])), Value(to_float(row[19])),
                           Value(to_float(row[20]))};

        if (cursor.mode_map == nullptr || !same_cell(board, cursor.board) ||
            !same_cell(mode, cursor.mode)) {
          cursor.mode_map = nullptr;
          Value& mode_map = child(child(table, cat("BOARD_", board)), mode);
          if (!mode_map.is_object()) {
            throw TypeError(fmt::format("'{}' entry is not a map", mode));
          }
          cursor.mode_map = &mode_map.get_ref<Value::object_t&>();
          cursor.board = board;
          cursor.mode = mode;
          cursor.chip_map = nullptr;
        }
        if (cursor.chip_map == nullptr || !same_cell(chip, cursor.chip)) {
          cursor.chip_map = nullptr;
          cursor.chip_map = &sub_map(*cursor.mode_map, cat("DATA_CHIP_", chip));
          cursor.chip = chip;
          cursor.com_map = nullptr;
        }
        if (cursor.com_map == nullptr || !same_cell(com, cursor.com)) {
          if (cursor.com_map != nullptr) {
            cursor.finished_com(cursor.com_map->size());
          }
          cursor.com_map = nullptr;
          cursor.com_map = &sub_map(*cursor.chip_map, cat("COM_", com), cursor.expected_com_size());
          cursor.com = com;
        }
        // A later row with the same channel key replaces the earlier entry in its place.
        cursor.com_map->try_emplace(ch_key).first->second =
            Value::array_t(std::make_move_iterator(std::begin(numbers)),
                           std::make_move_iterator(std::end(numbers)));
      } else if (key == "VER" || key == "REALVER" || key == "SN" || key == "FCENTER") {
        const std::string_view v = c(0);
        logger_.debug("{}: {}", key, v);
        header_lines.note(key, row_line);
        updateDict(table, std::string(key), Value(std::string(v)));
      } else if (key == "DR") {
        updateDict(table, "DR", Value::object());
        std::size_t next = 0;
        const auto& members = enum_members<RFMode>();
        for (auto m = members.rbegin(); m != members.rend(); ++m) {
          const double a = value::parse_float(c(next++));
          const double b = value::parse_float(c(next++));
          logger_.debug("{}mode DR: {{{:.6f}~{:.6f}}}", m->first, a, b);
          updateDict(child(table, "DR"), std::string(m->first), Value::array({a, b}));
        }
      } else if (key == "OFFSET_TX" || key == "OFFSET_RX") {
        const std::string mode(key.substr(key.find('_') + 1));
        std::size_t next = 0;
        for (std::int64_t b = 1; b <= num_board_; ++b) {
          const std::string board = fmt::format("BOARD_{}", b);
          updateDict(table, board, Value::object());
          updateDict(child(table, board), mode, Value::object());
          Value& mode_map = child(child(table, board), mode);
          for (std::int64_t i = 1; i <= num_ic_per_board_; ++i) {
            const std::string chip = fmt::format("OFFSET_CHIP_{}", i);
            updateDict(mode_map, chip, Value::object());
            for (std::int64_t ch = 1; ch <= num_channel_per_ic_; ++ch) {
              const std::int64_t offset = value::parse_int(c(next++));
              updateDict(child(mode_map, chip), fmt::format("CHANNEL_{}", ch), offset);
            }
          }
        }
      } else if (key == "COMDR" || key == "ELEDR") {
        if (!header_done) {
          result = basicCheck(table);
          if (!result.ok()) {
            logger_.error("{}: {}", file_label,
                          header_problem(table, header_lines, sn_, freq_, cali_table_ver_limit_));
            break;
          }
          header_done = true;
        }
        const std::string mode(c(0));
        const std::string board = cat("BOARD_", c(2));
        updateDict(table, board, Value::object());
        updateDict(child(table, board), mode, Value::object());
        Value values = Value::array();
        for (std::size_t i = 5; i < row.size(); ++i) {
          if (!row[i].empty()) {
            values.push_back(value::parse_float(row[i]));
          }
        }
        updateDict(child(child(table, board), mode), std::string(key), std::move(values));
      } else if (key == "TEMPADC") {
        const std::string board = cat("BOARD_", c(1));
        updateDict(child(child(table, board), "TX"), "TEMPADC", std::string(c(3)));
        updateDict(child(child(table, board), "RX"), "TEMPADC", std::string(c(3)));
      } else if (key == "TC") {
        const std::string board = cat("BOARD_", c(1));
        updateDict(child(child(table, board), "TX"), "TC",
                   Value::array({std::string(c(3)), std::string(c(4))}));
        updateDict(child(child(table, board), "RX"), "TC",
                   Value::array({std::string(c(5)), std::string(c(6))}));
      } else if (key == "COMSTEPDR") {
        const std::string_view mode = c(0);
        const std::string board = cat("BOARD_", c(2));
        Value& mode_map = child(child(table, board), mode);
        updateDict(mode_map, "COMSTEPDR", Value::object());
        updateDict(child(mode_map, "COMSTEPDR"), cat("COM_", c(5)),
                   Value::array({std::string(c(7)), std::string(c(9))}));
      } else if (key == "END") {
        end_seen = true;
      }
    }

    if (end_seen) {
      logger_.info("{} parsing done", path_cali_);
    } else {
      const bool header_refused = !result.ok();
      result = RetType(RetCode::ERROR_BF_CALI_PARSE, "cali file is broken");
      logger_.error("{}", result.RetMsg);
      if (!header_refused) {
        logger_.error("{}: no END row after line {}: the file ends early", file_label,
                      reader->lines_read());
      }
    }
  } catch (...) {
    result = RetType(RetCode::ERROR_BF_CALI_PARSE, "parse exception");
    logger_.exception(result.RetMsg);
    logger_.error("{}: {}", file_label,
                  failure_place(row, row_line, lines,
                                CaliLayout{num_board_, num_ic_per_board_, num_channel_per_ic_}));
  }

  if (exportToJson) {
    if (!result.ok()) {
      // A half-read table must not replace a good export that parseRawJson would load.
      logger_.warning("JSON export skipped: the table was not parsed completely ({})",
                      result.RetMsg);
    } else if (fileObject != nullptr) {
      logger_.warning("JSON export skipped: the table was read from a stream, not from a file");
    } else {
      fs::path out(path_cali_);
      if (out.extension() == ".csv") {
        out.replace_extension(".json");
      } else {
        out += ".json";
      }
      value::write_json_file(out, table, 4);
    }
  }
  return result;
}

RetType CalibrationTableManager::parseRawJson() {
  const Value found = _searchCaliFile(".json");
  if (!found.is_string()) {
    return RetType(RetCode::ERROR_BF_CALI_PARSE, "cali file error");
  }
  auto table = std::make_shared<const Value>(value::read_json_file(found.get<std::string>()));
  cali_table_ = table;
  std::cout << value::repr(*table) << std::endl;
  return RetType();
}

}  // namespace arvcore::vlndev
