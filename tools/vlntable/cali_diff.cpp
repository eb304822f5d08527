// `vlntable cali diff A.csv B.csv`: two calibration tables compared entry by entry, each
// difference named by the place a check names a problem (mode, board, chip, channel, step,
// gain, phase) and by the field that differs.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_layout.hpp"
#include "arvcore/vlndev/cali_table_check.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {

namespace fs = std::filesystem;
using arvcore::RetType;
using arvcore::Value;
using arvcore::value::printable;
using arvcore::vlndev::CalibrationTableManager;

namespace {

// What a number of a table counts in; each unit has its own tolerance. Texts (SN, versions)
// are equal only when they are the same text; a centre frequency only when it is the same.
enum class Unit : std::uint8_t { db, degrees, codes, ghz, text };
constexpr std::size_t kToleranceUnits = 3;  // dB, degrees and codes take a tolerance
const char* const kUnitNames[] = {"dB", "degrees", "codes", "GHz"};

// The four numbers of a ComData entry, by name, with their units.
const char* const kComDataFields[] = {"reg_gain", "reg_phase", "meas_gain", "meas_phase"};
constexpr Unit kComDataUnits[] = {Unit::codes, Unit::codes, Unit::db, Unit::degrees};

// The parts of each list a table row holds, by name, in the order the parse keeps them.
const std::vector<const char*> kRangeParts = {"low", "high"};  // DR, COMDR
const std::vector<const char*> kLimitParts = {"limit"};        // ELEDR
const std::vector<const char*> kStepParts = {"high", "low"};   // COMSTEPDR: HIGH, then LOW
const std::vector<const char*> kTcParts = {"first_code", "second_code"};  // TC, per mode

struct DiffOptions {
  std::string a, b;
  std::string layout = "4,1,4";
  std::string tolerance_text = "0";  // --tolerance as typed
  // --tol-db, --tol-deg, --tol-code as typed, when given
  std::array<std::optional<std::string>, kToleranceUnits> unit_texts;
  double tolerance = 0;
  std::array<double, kToleranceUnits> tolerances{};
  std::string plot;
  std::size_t limit = 50;
  bool json = false;
};

// A table parsed as a device parses it, with the serial number and centre frequency its own
// header rows name (a diff compares tables, not a table against a device).
struct Parsed {
  std::unique_ptr<CalibrationTableManager> manager;
  RetType result;
};

// The serial number and centre frequency the header rows of `head` (the start of a table)
// name; what the header lacks stays empty or 0.
void read_identity(std::string head, std::string& sn, double& freq) {
  head.resize(head.find_last_of('\n') == std::string::npos ? head.size()
                                                           : head.find_last_of('\n') + 1);
  try {
    arvcore::value::CsvReader reader(head, true);
    arvcore::value::CsvRow row;
    while (reader.next(row)) {
      if (row.size() > 1 && row[0] == "SN" && sn.empty()) {
        sn = row[1];
      } else if (row.size() > 1 && row[0] == "FCENTER" && freq == 0) {
        freq = arvcore::value::parse_float(row[1]);
      }
    }
  } catch (const std::exception&) {
    // The parse reports the fault.
  }
}

// The file is read as every table file is (a pipe, a device or a file above the size limit
// is refused with OSError) and opened once, for its header and its parse.
Parsed parse_table(const std::string& path, const Value& layout) {
  arvcore::value::TableFileBuf file(path);
  std::string sn;
  double freq = 0;
  read_identity(file.file().read_at(0, 16 * 1024), sn, freq);
  Parsed p;
  p.manager = std::make_unique<CalibrationTableManager>(
      sn, Value(freq), [layout] { return layout; }, false, false, false);
  std::istream in(&file);
  p.result = p.manager->parse(Value(freq), &in, /*exportToJson=*/false, path);
  return p;
}

// A number of a table: numbers as they are, texts by their float value.
std::optional<double> number(const Value& v) {
  if (v.is_number()) {
    return v.get<double>();
  }
  if (v.is_string()) {
    try {
      return arvcore::value::parse_float(v.get_ref<const std::string&>());
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

// Where two tables differ: a place as the check names one, and the field of a ComData entry.
struct Place : arvcore::vlndev::CaliProblem {
  std::string field;
  Unit unit = Unit::text;  // the unit of the field's numbers

  std::string text() const {
    std::string w = row + (mode.empty() ? "" : " ") + place_text();
    if (!gain.empty()) {
      w += fmt::format(" gain {} dB", gain);
    }
    if (!phase.empty()) {
      w += fmt::format(" phase {} degrees", phase);
    }
    return field.empty() ? w : w + " " + field;
  }
  Value to_value() const {
    Value v = place();
    if (!field.empty()) {
      v["field"] = field;
    }
    return v;
  }
};

std::int64_t number_after(const std::string& key, std::string_view prefix) {
  try {
    return key.starts_with(prefix) ? arvcore::value::parse_int(key.substr(prefix.size())) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

class Differ {
 public:
  explicit Differ(const DiffOptions& o) : o_(o) {
    // Every row kind has its summary, those without a difference too.
    for (const char* kind : {"VER", "REALVER", "SN", "FCENTER", "DR", "OFFSET", "COMDR", "ELEDR",
                             "TEMPADC", "TC", "COMSTEPDR", "DATA"}) {
      summary_[kind];
    }
  }

  // Compares the tables of two parsed managers: their header trees, and the ComData entries
  // one chip map at a time, so that neither whole tree is built.
  void tables(const CalibrationTableManager& table_a, const CalibrationTableManager& table_b) {
    a_ = &table_a;
    b_ = &table_b;
    const Value& a = table_a.caliTableHeader();
    const Value& b = table_b.caliTableHeader();
    layout_a_ = arvcore::vlndev::table_layout(a, table_a.caliData());
    layout_b_ = arvcore::vlndev::table_layout(b, table_b.caliData());
    for (const char* key : {"VER", "REALVER", "SN", "FCENTER"}) {
      Place p;
      p.row = key;
      const Unit unit = std::string_view(key) == "FCENTER" ? Unit::ghz : Unit::text;
      compare(p, a.value(key, Value()), b.value(key, Value()), "", unit);
    }
    if (a.contains("DR") || b.contains("DR")) {
      walk_pairs("DR", a.value("DR", Value::object()), b.value("DR", Value::object()));
    }
    for (const auto& [section, modes] : union_of(a, b)) {
      const std::int64_t board = number_after(section, "BOARD_");
      if (board == 0) {
        continue;
      }
      const Value& ma = a.value(section, Value::object());
      const Value& mb = b.value(section, Value::object());
      for (const auto& [mode, unused] : union_of(ma, mb)) {
        mode_maps(section, board, mode, ma.value(mode, Value::object()),
                  mb.value(mode, Value::object()));
      }
    }
  }

  Value to_value(const std::string& path_a, const std::string& path_b, const RetType& ra,
                 const RetType& rb) const {
    Value list = Value::array();
    for (const auto& d : shown_) {
      list.push_back(d);
    }
    Value summary = Value::object();
    for (const auto& [kind, s] : summary_) {
      summary[kind] = summary_value(s);
      summary[kind]["only_a"] = s.only_a;
      summary[kind]["only_b"] = s.only_b;
    }
    Value tolerances = Value::object();
    Value units = Value::object();
    for (std::size_t u = 0; u < unit_summary_.size(); ++u) {
      units[kUnitNames[u]] = summary_value(unit_summary_[u]);
      units[kUnitNames[u]]["tolerance"] = tolerance_of(static_cast<Unit>(u));
      if (u < kToleranceUnits) {
        tolerances[kUnitNames[u]] = o_.tolerances[u];
      }
    }
    return {{"a", path_a},
            {"b", path_b},
            {"result", {{"a", result_json(ra)}, {"b", result_json(rb)}}},
            {"tolerance", o_.tolerance},
            {"tolerances", std::move(tolerances)},
            {"equal", equal()},
            {"verdict", verdict()},
            {"layout", layout_value()},
            {"summary", std::move(summary)},
            {"units", std::move(units)},
            {"differences", std::move(list)},
            {"omitted", total_ - shown_.size()},
            {"largest", largest_value()},
            {"channels", channels_value()}};
  }

  void print_text() const {
    if (layout_a_ != layout_b_) {
      std::cout << "layouts differ: A " << layout_text(layout_a_) << ", B "
                << layout_text(layout_b_) << "\n";
    }
    print_summaries();
    for (const auto& d : shown_) {
      std::cout << printable(d["text"].get<std::string>()) << "\n";
    }
    if (total_ > shown_.size()) {
      std::cout << fmt::format("... {} more (--limit N shows more)\n", total_ - shown_.size());
    }
    std::cout << verdict()
              << fmt::format(": {:g} dB, {:g} degrees, {:g} codes\n", o_.tolerances[0],
                             o_.tolerances[1], o_.tolerances[2]);
  }

  bool equal() const { return total_ == 0 && layout_a_ == layout_b_; }

 private:
  struct Summary {
    std::size_t count = 0, only_a = 0, only_b = 0;
    double largest = 0;
    Place where;
  };

  // What the ComData entries of one channel showed.
  struct ChannelState {
    std::array<double, 4> largest{-1, -1, -1, -1};  // per field, beyond the tolerance; -1: none
    std::size_t missing = 0;                        // entries only one table holds
    bool compared = false;                          // an entry both tables hold
  };

  const char* verdict() const {
    return equal() ? "equal within the tolerance" : "differ beyond the tolerance";
  }

  double tolerance_of(Unit unit) const {
    const auto u = static_cast<std::size_t>(unit);
    return u < kToleranceUnits ? o_.tolerances[u] : 0;
  }

  static std::string layout_text(const std::optional<arvcore::vlndev::CaliLayout>& l) {
    return l ? l->text() : "none (no ComData)";
  }

  Value layout_value() const {
    auto one = [](const auto& l) { return l ? l->value() : Value(); };
    return {{"a", one(layout_a_)}, {"b", one(layout_b_)}, {"equal", layout_a_ == layout_b_}};
  }

  static Value summary_value(const Summary& s) {
    return {{"count", s.count},
            {"largest", s.count != 0 ? Value(s.largest) : Value()},
            {"where", s.count != 0 ? s.where.to_value() : Value()}};
  }

  // One line per row kind with a difference, then the largest difference of each unit.
  void print_summaries() const {
    for (const auto& [kind, s] : summary_) {
      if (s.count == 0 && s.only_a == 0 && s.only_b == 0) {
        continue;
      }
      std::string line = fmt::format("{}: {} difference{}", kind, s.count, s.count == 1 ? "" : "s");
      if (s.count != 0) {
        line += fmt::format(", largest {:g}{} at {}", s.largest, unit_text(s.where.unit),
                            s.where.text());
      }
      if (s.only_a + s.only_b != 0) {
        line += fmt::format(", {} only in A, {} only in B", s.only_a, s.only_b);
      }
      std::cout << printable(line) << "\n";
    }
    for (std::size_t u = 0; u < unit_summary_.size(); ++u) {
      const Summary& s = unit_summary_[u];
      if (s.count != 0) {
        std::cout << printable(fmt::format("largest in {}: {:g} at {}", kUnitNames[u], s.largest,
                                           s.where.text()))
                  << "\n";
      }
    }
  }

  Value channel_place(std::uint64_t key) const {
    return {{"mode", modes_[key >> 60]},
            {"board", static_cast<std::int64_t>((key >> 40) & 0xFFFFF)},
            {"chip", static_cast<std::int64_t>((key >> 20) & 0xFFFFF)},
            {"channel", static_cast<std::int64_t>(key & 0xFFFFF)}};
  }

  std::vector<std::pair<std::uint64_t, ChannelState>> sorted_channels() const {
    std::vector<std::pair<std::uint64_t, ChannelState>> channels(per_channel_.begin(),
                                                                 per_channel_.end());
    std::sort(channels.begin(), channels.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    return channels;
  }

  Value largest_value() const {
    Value largest = Value::array();
    for (const auto& [key, state] : sorted_channels()) {
      for (std::size_t k = 0; k < 4; ++k) {
        if (state.largest[k] >= 0) {
          Value item = channel_place(key);
          item["field"] = kComDataFields[k];
          item["difference"] = state.largest[k];
          largest.push_back(std::move(item));
        }
      }
    }
    return largest;
  }

  // Every channel either table has ComData of: how many of its entries only one table holds
  // and whether any entry of it is in both (a picture tells points within the tolerance from
  // missing ones by these).
  Value channels_value() const {
    Value channels = Value::array();
    for (const auto& [key, state] : sorted_channels()) {
      Value item = channel_place(key);
      item["missing"] = state.missing;
      item["compared"] = state.compared;
      channels.push_back(std::move(item));
    }
    return channels;
  }
  static std::string unit_text(Unit unit) {
    return unit == Unit::text ? "" : std::string(" ") + kUnitNames[static_cast<std::size_t>(unit)];
  }

  // Keys of two maps, those of `a` first.
  static std::vector<std::pair<std::string, int>> union_of(const Value& a, const Value& b) {
    std::vector<std::pair<std::string, int>> keys;
    if (a.is_object()) {
      for (const auto& [k, v] : a.items()) {
        keys.emplace_back(k, 0);
      }
    }
    if (b.is_object()) {
      for (const auto& [k, v] : b.items()) {
        if (!a.is_object() || !a.contains(k)) {
          keys.emplace_back(k, 0);
        }
      }
    }
    return keys;
  }

  static void count(Summary& s, const Place& p, double diff) {
    ++s.count;
    if (diff > s.largest || s.count == 1) {
      s.largest = diff;
      s.where = p;
    }
  }

  void record(const Place& p, const Value& a, const Value& b, double diff) {
    Summary& s = data_summary_ != nullptr ? *data_summary_ : summary_[p.row];
    ++total_;
    if (a.is_null() || b.is_null()) {
      ++(a.is_null() ? s.only_b : s.only_a);
    } else {
      count(s, p, diff);
      if (p.unit != Unit::text) {
        count(unit_summary_[static_cast<std::size_t>(p.unit)], p, diff);
      }
    }
    if (channel_ != nullptr && !a.is_null() && !b.is_null() && field_index_ >= 0) {
      double& m = channel_->largest[static_cast<std::size_t>(field_index_)];
      m = std::max(m, diff);
    }
    if (shown_.size() < o_.limit) {
      Value d = p.to_value();
      d["a"] = a;
      d["b"] = b;
      d["difference"] = a.is_null() || b.is_null() ? Value() : Value(diff);
      const std::string what =
          a.is_null()   ? "only in B: " + arvcore::value::str(b)
          : b.is_null() ? "only in A: " + arvcore::value::str(a)
                        : fmt::format("{} / {} (difference {:g}{})", arvcore::value::str(a),
                                      arvcore::value::str(b), diff, unit_text(p.unit));
      d["text"] = fmt::format("{}: {}", p.text(), what);
      shown_.push_back(std::move(d));
    }
  }

  // One value of each table at the same place.
  // `p` is the caller's place, reused: only its field changes here.
  void compare(Place& p, const Value& a, const Value& b, const char* field, Unit unit) {
    p.field = field;
    p.unit = unit;
    if (a.is_null() && b.is_null()) {
      return;
    }
    if (a.is_null() || b.is_null()) {
      record(p, a, b, 0);
      return;
    }
    const auto x = unit == Unit::text ? std::nullopt : number(a);
    const auto y = unit == Unit::text ? std::nullopt : number(b);
    if (x && y) {
      double d = std::abs(*x - *y);
      // Phases are on a circle: 359.5 and 0.5 are 1 degree apart.
      if (unit == Unit::degrees) {
        d = std::fmod(d, 360.0);
        d = std::min(d, 360.0 - d);
      }
      if (d > tolerance_of(unit) || std::isnan(d)) {
        record(p, a, b, d);
      }
    } else if (a != b) {
      p.unit = Unit::text;
      record(p, a, b, 0);
    }
  }

  // Lists compared element by element, each element by the name of its part (elements past
  // the named parts as value_N).
  void compare_nested(Place& p, const Value& a, const Value& b,
                      const std::vector<const char*>& parts, Unit unit) {
    // An entry only one table holds is one difference, not one per element.
    if (a.is_array() && b.is_array()) {
      const std::size_t n = std::max(a.size(), b.size());
      for (std::size_t i = 0; i < n; ++i) {
        const std::string field =
            i < parts.size() ? std::string(parts[i]) : fmt::format("value_{}", i + 1);
        compare(p, i < a.size() ? a[i] : Value(), i < b.size() ? b[i] : Value(), field.c_str(),
                unit);
      }
      return;
    }
    compare(p, a, b, "", unit);
  }

  void walk_pairs(const char* row, const Value& a, const Value& b) {
    for (const auto& [mode, unused] : union_of(a, b)) {
      Place p;
      p.row = row;
      p.mode = mode;
      compare_nested(p, a.value(mode, Value()), b.value(mode, Value()), kRangeParts, Unit::db);
    }
  }

  // The unit and the named parts of a row kind a board's mode map holds.
  static std::pair<Unit, const std::vector<const char*>*> row_parts(const std::string& key) {
    static const std::vector<const char*> none;
    static const std::map<std::string, std::pair<Unit, const std::vector<const char*>*>> rows = {
        {"COMDR", {Unit::db, &kRangeParts}},
        {"ELEDR", {Unit::db, &kLimitParts}},
        {"TEMPADC", {Unit::codes, &none}},
        {"TC", {Unit::codes, &kTcParts}}};
    const auto it = rows.find(key);
    return it == rows.end() ? std::make_pair(Unit::text, &none) : it->second;
  }

  void mode_maps(const std::string& section, std::int64_t board, const std::string& mode,
                 const Value& a, const Value& b) {
    for (const auto& [key, unused] : union_of(a, b)) {
      Place p;
      p.mode = mode;
      p.board = board;
      // A map only one table has is compared against an empty one: each of its entries is
      // then one table's only.
      const bool is_map = a.value(key, Value()).is_object() || b.value(key, Value()).is_object();
      const Value& va = a.value(key, is_map ? Value::object() : Value());
      const Value& vb = b.value(key, is_map ? Value::object() : Value());
      if (const std::int64_t chip = number_after(key, "OFFSET_CHIP_"); chip != 0) {
        p.row = "OFFSET";
        p.chip = chip;
        for (const auto& [ch, u] : union_of(va, vb)) {
          p.channel = number_after(ch, "CHANNEL_");
          compare(p, va.value(ch, Value()), vb.value(ch, Value()), "", Unit::codes);
        }
      } else if (const std::int64_t dchip = number_after(key, "DATA_CHIP_"); dchip != 0) {
        p.row = "DATA";
        p.chip = dchip;
        const std::string place[] = {section, mode, key};
        data(p, a.contains(key) && va.is_object() ? a_->caliTableEntry(place) : va,
             b.contains(key) && vb.is_object() ? b_->caliTableEntry(place) : vb);
      } else if (key == "COMSTEPDR") {
        p.row = key;
        for (const auto& [step, u] : union_of(va, vb)) {
          p.step = step;
          compare_nested(p, va.value(step, Value()), vb.value(step, Value()), kStepParts, Unit::db);
        }
      } else {
        p.row = key;
        const auto [unit, parts] = row_parts(key);
        compare_nested(p, va, vb, *parts, unit);
      }
    }
  }

  void data(Place p, const Value& a, const Value& b) {
    // The hot path looks its summary and largest-difference slots up once per entry.
    data_summary_ = &summary_["DATA"];
    struct Done {
      Differ& d;
      ~Done() {
        d.data_summary_ = nullptr;
        d.channel_ = nullptr;
      }
    } done{*this};
    for (const auto& [step, u] : union_of(a, b)) {
      p.step = step;
      channel_ = nullptr;
      const Value& sa = a.value(step, Value::object());
      const Value& sb = b.value(step, Value::object());
      auto entry = [&](const std::string& key, const Value& ea, const Value& eb) {
        // The channel key "2_35_45": channel, gain x 10, phase.
        const std::string_view k(key);
        const auto u1 = k.find('_');
        const auto u2 = k.find('_', u1 + 1);
        std::int64_t channel = 0;
        std::int64_t tenths = 0;
        std::from_chars(k.data(), k.data() + u1, channel);
        std::from_chars(k.data() + u1 + 1, k.data() + u2, tenths);
        if (channel != p.channel || channel_ == nullptr) {
          p.channel = channel;
          channel_ = &per_channel_[channel_key(p)];
        }
        if (tenths != gain_tenths_ || p.gain.empty()) {
          gain_tenths_ = tenths;
          p.gain = fmt::format("{:g}", static_cast<double>(tenths) / 10.0);
        }
        p.phase.assign(k.substr(u2 + 1));
        if (ea.is_null() || eb.is_null()) {
          p.field.clear();
          ++channel_->missing;
          record(p, ea, eb, 0);
          return;
        }
        channel_->compared = true;
        for (std::size_t i = 0; i < 4 && i < ea.size() && i < eb.size(); ++i) {
          field_index_ = static_cast<int>(i);
          compare(p, ea[i], eb[i], kComDataFields[i], kComDataUnits[i]);
        }
        field_index_ = -1;
      };
      if (sa.is_object()) {
        for (const auto& [key, ea] : sa.items()) {
          const auto it = sb.is_object() ? sb.find(key) : sb.end();
          entry(key, ea, it == sb.end() ? Value() : *it);
        }
      }
      if (sb.is_object()) {
        for (const auto& [key, eb] : sb.items()) {
          if (!sa.is_object() || !sa.contains(key)) {
            entry(key, Value(), eb);
          }
        }
      }
    }
  }

  // Mode, board, chip and channel of a ComData place in one number.
  std::uint64_t channel_key(const Place& p) {
    auto it = std::find(modes_.begin(), modes_.end(), p.mode);
    if (it == modes_.end()) {
      it = modes_.insert(modes_.end(), p.mode);
    }
    const auto mode = static_cast<std::uint64_t>(it - modes_.begin());
    auto part = [](std::int64_t n) { return static_cast<std::uint64_t>(n) & 0xFFFFF; };
    const std::uint64_t key =
        (mode << 60) | (part(p.board) << 40) | (part(p.chip) << 20) | part(p.channel);
    per_channel_.try_emplace(key);
    return key;
  }

  const DiffOptions& o_;
  const CalibrationTableManager* a_ = nullptr;
  const CalibrationTableManager* b_ = nullptr;
  std::map<std::string, Summary> summary_;
  std::array<Summary, 4> unit_summary_;  // by Unit, texts aside
  std::optional<arvcore::vlndev::CaliLayout> layout_a_, layout_b_;
  std::vector<Value> shown_;
  std::size_t total_ = 0;
  int field_index_ = -1;             // the ComData field being compared, or -1
  Summary* data_summary_ = nullptr;  // while ComData is compared
  ChannelState* channel_ = nullptr;  // the entry's channel
  std::int64_t gain_tenths_ = 0;     // the gain p.gain writes
  std::vector<std::string> modes_;
  std::unordered_map<std::uint64_t, ChannelState> per_channel_;
};

// Runs the plot module on the largest differences, waiting for it, so that the diff keeps
// its own exit status.
int plot(const Value& doc, const std::string& out) {
  char name[] = "/tmp/vlntable-diff-XXXXXX.json";
  const int fd = ::mkstemps(name, 5);
  if (fd < 0) {
    std::cerr << "error: cannot create a temporary file for the picture\n";
    return 2;
  }
  const std::string text = arvcore::value::dump_json(strict_json(doc), -1);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  int status = 2;
  if (written) {
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
      ::_exit(run_python_plot({"diff", name, "--out", out}));
    }
    int wstatus = 0;
    if (child > 0 && ::waitpid(child, &wstatus, 0) == child && WIFEXITED(wstatus)) {
      status = WEXITSTATUS(wstatus) == 0 ? 0 : 2;
    }
  }
  std::remove(name);
  return status;
}

// The options that set the tolerance of dB, degrees and codes alone.
const char* const kToleranceOptions[] = {"--tol-db", "--tol-deg", "--tol-code"};

// A tolerance: a finite number of at least 0 (NaN would make every number equal).
double parse_tolerance(const char* option, const std::string& text) {
  double t = -1;
  try {
    t = arvcore::value::parse_float(text);
  } catch (const arvcore::ValueError&) {
  }
  if (!(std::isfinite(t) && t >= 0)) {
    throw std::invalid_argument(
        fmt::format("{} must be a finite number of at least 0, not '{}'", option, text));
  }
  return t;
}

// --tolerance sets every unit's tolerance; --tol-db, --tol-deg and --tol-code one unit's.
void parse_tolerances(DiffOptions& o) {
  o.tolerance = parse_tolerance("--tolerance", o.tolerance_text);
  for (std::size_t u = 0; u < kToleranceUnits; ++u) {
    o.tolerances[u] =
        o.unit_texts[u] ? parse_tolerance(kToleranceOptions[u], *o.unit_texts[u]) : o.tolerance;
  }
}

int diff(DiffOptions& o) {
  const Value layout = parse_layout(o.layout);
  parse_tolerances(o);
  // The two parses run side by side.
  Parsed b;
  std::exception_ptr b_failed;
  std::thread other([&] {
    try {
      b = parse_table(o.b, layout);
    } catch (...) {
      b_failed = std::current_exception();
    }
  });
  Parsed a;
  try {
    a = parse_table(o.a, layout);
  } catch (...) {
    other.join();
    throw;
  }
  other.join();
  if (b_failed) {
    std::rethrow_exception(b_failed);
  }
  if (!a.result.ok() || !b.result.ok()) {
    const std::string message =
        fmt::format("cannot compare: A {} ({}), B {} ({}); `vlntable cali check FILE` says why",
                    result_line(a.result), o.a, result_line(b.result), o.b);
    std::cerr << "error: " << printable(message) << "\n";
    if (o.json) {
      print_json({{"error", message},
                  {"result", {{"a", result_json(a.result)}, {"b", result_json(b.result)}}}});
    }
    return 2;
  }
  Differ d(o);
  d.tables(*a.manager, *b.manager);
  const Value doc = d.to_value(o.a, o.b, a.result, b.result);
  if (o.json) {
    print_json(doc);
  } else {
    std::cout << "A: " << printable(o.a) << "\nB: " << printable(o.b) << "\n";
    d.print_text();
  }
  const int status = d.equal() ? 0 : 1;
  if (!o.plot.empty()) {
    Value picture = {{"a", o.a},
                     {"b", o.b},
                     {"tolerance", o.tolerance},
                     {"tolerances", doc["tolerances"]},
                     {"layout", doc["layout"]},
                     {"largest", doc["largest"]},
                     {"channels", doc["channels"]}};
    if (plot(picture, o.plot) != 0) {
      return 2;
    }
  }
  return status;
}

}  // namespace

void add_cali_diff_command(CLI::App& app) {
  auto o = std::make_shared<DiffOptions>();
  CLI::App* cmd = app.get_subcommand("cali")->add_subcommand(
      "diff",
      "Compare two calibration tables: their layouts first, then header rows (SN, VER and "
      "REALVER as texts), DR, offsets, COMDR/ELEDR, TEMPADC/TC, COMSTEPDR and every ComData "
      "entry, each field by its name; a summary per row kind and the largest difference per "
      "unit, then each difference with its place, then the verdict \"equal within the "
      "tolerance\" or \"differ beyond the tolerance\". Exit status 0 when equal within the "
      "tolerance, 1 when they differ (tables of different layouts always do), 2 when a table "
      "cannot be read");
  cmd->add_option("A", o->a, "First table file")->required();
  cmd->add_option("B", o->b, "Second table file")->required();
  cmd->add_option("--tolerance", o->tolerance_text,
                  "Largest difference of two numbers that still counts as equal, for every "
                  "unit (dB, degrees, codes) at once")
      ->capture_default_str();
  const char* const unit_help[] = {
      "Tolerance of gains and ranges (measured gains, DR, COMDR, ELEDR, COMSTEPDR), in dB; "
      "default --tolerance",
      "Tolerance of measured phases, in degrees, compared on the circle; default --tolerance",
      "Tolerance of codes (register codes, offsets, TEMPADC, TC); default --tolerance"};
  for (std::size_t u = 0; u < kToleranceUnits; ++u) {
    cmd->add_option(kToleranceOptions[u], o->unit_texts[u], unit_help[u]);
  }
  cmd->add_option("--layout", o->layout, "Layout BOARDS,ICS,CHANNELS the offset rows are read by")
      ->capture_default_str();
  cmd->add_option("--limit", o->limit, "Differences listed one by one (the summary counts all)")
      ->capture_default_str();
  cmd->add_option("--plot", o->plot,
                  fmt::format("Draw the largest ComData difference per board and channel of the "
                              "device's whole grid into this picture (.png, .svg or .pdf), "
                              "titled with both tables; channels within the tolerance and "
                              "channels with points only one table has are shaded apart. {}",
                              plot_requirements));
  add_json_flag(cmd, o->json);
  cmd->callback([o] { run_guarded([&] { return diff(*o); }); });
}

}  // namespace vlntable
