// Queries served from a parsed calibration table (or, in web mode, from the table database):
// dynamic ranges, board offsets, temperature compensation, common-arm step search and
// ComData.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/sdk/enums.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/calibration_queries.hpp"

namespace arvcore::vlndev {

char* detail::write_key_prefix(char* out, std::int64_t channel, std::int64_t gain_step) {
  char* p = std::to_chars(out, out + 21, channel).ptr;
  *p++ = '_';
  p = std::to_chars(p, p + 21, gain_step).ptr;
  *p++ = '_';
  return p;
}

namespace {

using log::Level;

/// Entry `key` of map `m`, or null when absent. `m` must be a map.
const Value* find_entry(const Value& m, std::string_view key) {
  const auto& obj = *m.get_ptr<const Value::object_t*>();
  const auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

/// Entry `key` of map `m`: TypeError when `m` is not a map, KeyError when the key is absent.
const Value& child(const Value& m, std::string_view key) {
  if (!m.is_object()) {
    throw TypeError(fmt::format("cannot look up '{}' in a {} value", key, m.type_name()));
  }
  const Value* found = find_entry(m, key);
  if (found == nullptr) {
    throw KeyError(std::string(key));
  }
  return *found;
}

/// What `fetch` answers from one state of the manager. A database query runs the host's
/// component, which may let other callers of the manager in; when one of them changed the
/// table meanwhile, the parts fetched may come from two tables, so the fetch is made again.
template <class Fetch>
auto from_one_table(const CalibrationTableManager& m, Fetch&& fetch) {
  for (;;) {
    const std::uint64_t at = m.tableGeneration();
    auto fetched = fetch();
    if (m.tableGeneration() == at) {
      return fetched;
    }
  }
}

const Value& require_list(const Value& v, std::string_view what) {
  if (!v.is_array()) {
    throw TypeError(fmt::format("{} must be a list, not {}", what, v.type_name()));
  }
  return v;
}

const Value& require_map(const Value& v, std::string_view what) {
  if (!v.is_object()) {
    throw TypeError(fmt::format("{} must be a dict, not {}", what, v.type_name()));
  }
  return v;
}

/// List element at `pos`, counted from the end when negative, as a list index is.
const Value& item(const Value& list, std::int64_t pos) {
  if (const auto* items = list.get_ptr<const Value::array_t*>();
      items != nullptr && pos >= 0 && static_cast<std::uint64_t>(pos) < items->size()) {
    return (*items)[static_cast<std::size_t>(pos)];
  }
  require_list(list, "indexed value");
  const auto n = static_cast<std::int64_t>(list.size());
  if (pos < 0) {
    pos += n;
  }
  if (pos < 0 || pos >= n) {
    throw IndexError("list index out of range");
  }
  return list[static_cast<std::size_t>(pos)];
}

/// Element of a 1-based number (board, channel). Zero or a negative number is refused rather
/// than read from the end of the list, which would silently answer another board's data.
const Value& numbered(const Value& list, std::int64_t number, std::string_view what) {
  if (number >= 1 && list.is_array()) {
    const auto& items = *list.get_ptr<const Value::array_t*>();
    if (static_cast<std::uint64_t>(number) <= items.size()) {
      return items[static_cast<std::size_t>(number - 1)];
    }
  }
  if (number < 1) {
    throw IndexError(fmt::format("{} number {} is out of range", what, number));
  }
  return item(list, number - 1);
}

const std::string& text_of(const Value& v, std::string_view what) {
  if (!v.is_string()) {
    throw TypeError(fmt::format("{} must be a str, not {}", what, v.type_name()));
  }
  return v.get_ref<const std::string&>();
}

/// The values of a map, in its order.
Value values_of(const Value& m) {
  require_map(m, "offset entry");
  Value out = Value::array();
  for (const auto& [k, v] : m.items()) {
    out.push_back(v);
  }
  return out;
}

/// Writes the gain part of a channel key at `p` (room for 22 chars); answers the end. An
/// integer gain times ten is its digits and a 0, whatever its size.
char* write_gain_step(char* p, const Value& gain) {
  switch (gain.type()) {
    case Value::value_t::number_integer: {
      const auto v = *gain.get_ptr<const Value::number_integer_t*>();
      p = std::to_chars(p, p + 20, v).ptr;
      return v == 0 ? p : (*p = '0', p + 1);
    }
    case Value::value_t::number_unsigned: {
      const auto v = *gain.get_ptr<const Value::number_unsigned_t*>();
      p = std::to_chars(p, p + 20, v).ptr;
      return v == 0 ? p : (*p = '0', p + 1);
    }
    case Value::value_t::number_float: {
      const double g = *gain.get_ptr<const Value::number_float_t*>();
      if (const auto step = detail::gain_step_of(g)) {
        return std::to_chars(p, p + 21, *step).ptr;
      }
      throw ValueError(
          fmt::format("cannot convert float {} to integer", value::float_repr(g * 10.0)));
    }
    case Value::value_t::boolean:
      return std::to_chars(p, p + 2, gain.get<bool>() ? 10 : 0).ptr;
    default:
      throw TypeError(fmt::format("gain must be a number, not {}", gain.type_name()));
  }
}

/// One channel key, "<channel>_<gain step>_<phase text>". A whole-number phase is written as
/// the integer the table's keys hold: 45 and 45.0 (as numpy gives) both give "45"; any other
/// phase keeps its text (22.5 gives "22.5"). Numeric keys are written into a fixed buffer
/// (this runs for every channel of every fetch); only other phase kinds need the heap.
class ChannelKey {
 public:
  void assign(std::int64_t channel, const Value& gain, const Value& phase) {
    char* p = std::to_chars(buf_, buf_ + 21, channel).ptr;
    *p++ = '_';
    p = write_gain_step(p, gain);
    *p++ = '_';
    long_.clear();
    switch (phase.type()) {
      case Value::value_t::number_integer:
        p = std::to_chars(p, p + 21, *phase.get_ptr<const Value::number_integer_t*>()).ptr;
        break;
      case Value::value_t::number_unsigned:
        p = std::to_chars(p, p + 21, *phase.get_ptr<const Value::number_unsigned_t*>()).ptr;
        break;
      case Value::value_t::number_float:
        if (const auto whole = detail::whole_phase(phase.get<double>())) {
          p = std::to_chars(p, p + 21, *whole).ptr;
        } else {
          long_.assign(buf_, p) += value::float_repr(phase.get<double>());
        }
        break;
      case Value::value_t::string:
        long_.assign(buf_, p) += phase.get_ref<const std::string&>();
        break;
      default:
        long_.assign(buf_, p) += value::str(phase);
        break;
    }
    size_ = static_cast<std::size_t>(p - buf_);
  }
  std::string_view view() const {
    return long_.empty() ? std::string_view(buf_, size_) : std::string_view(long_);
  }

 private:
  char buf_[detail::kChannelKeyRoom];
  std::size_t size_ = 0;
  std::string long_;
};

std::int64_t channel_number(const Value& c) {
  if (const auto* n = c.get_ptr<const Value::number_integer_t*>()) {
    return *n;
  }
  if (!c.is_number_integer()) {
    throw TypeError(fmt::format("channel numbers must be int, not {}", c.type_name()));
  }
  return c.get<std::int64_t>();
}

std::string section_name(std::int64_t number) {
  return "BOARD_" + std::to_string(number);
}

/// Names of the polarizations that carry their own calibration ("HORIZON", "VERTICAL").
template <class Fn>
void for_each_single_polarization(Fn&& fn) {
  for (const auto& [name, member] : enum_members<POLARIZATION>()) {
    if (member != POLARIZATION::DUAL) {
      fn(std::string(name));
    }
  }
}

/// Runs a public query; a database failure is logged and answered with its envelope.
template <class Fn>
RetType answering_db_errors(const log::Logger& logger, Fn&& query) {
  try {
    return query();
  } catch (const VLNTableDBError& e) {
    logger.error("Exception: {}", e.ret());
    return e.ret();
  }
}

RFMode rf_mode_of(const std::variant<RFMode, std::int64_t>& mode) {
  if (const auto* m = std::get_if<RFMode>(&mode)) {
    return *m;
  }
  return enum_from_value<RFMode>(std::get<std::int64_t>(mode));
}

/// The list element counts when a one-element list wraps it.
Value normalise(const Value& v) {
  if (v.is_array() && v.size() == 1) {
    return v[0];
  }
  return v;
}

}  // namespace

// --- dynamic ranges ----------------------------------------------------------------------

RetType CalibrationTableManager::getDR(ModeArg rf_mode) {
  return answering_db_errors(logger_, [&]() -> RetType {
    if (std::holds_alternative<std::monostate>(rf_mode)) {
      if (web_mode_ && !support_polar_) {
        return db_->query("DR");
      }
      return RetType::Data(child(caliTableHeader(), "DR"));
    }
    std::string name;
    bool standby = false;
    if (const auto* n = std::get_if<std::int64_t>(&rf_mode)) {
      if (support_polar_) {
        const auto mode = enum_from_value<CellRFMode>(*n);
        standby = mode == CellRFMode::STANDBY;
        name = enum_name(mode);
      } else {
        name = enum_name(enum_from_value<RFMode>(*n));
      }
    } else if (const auto* m = std::get_if<RFMode>(&rf_mode)) {
      name = enum_name(*m);
    } else {
      const auto cell = std::get<CellRFMode>(rf_mode);
      standby = cell == CellRFMode::STANDBY;
      name = enum_name(cell);
    }
    if (support_polar_ && standby) {
      // Answered as a warning, not as a success carrying no data.
      static constexpr std::string_view kStandby = "DR not support for STANDBY mode";
      logger_.warning("{}", kStandby);
      return RetType(RetCode::WARNING, std::string(kStandby));
    }
    if (!support_polar_ && web_mode_) {
      return db_->query(Value::array({"DR", name}));
    }
    return RetType::Data(child(child(caliTableHeader(), "DR"), name));
  });
}

RetType CalibrationTableManager::getCOMDR() {
  return answering_db_errors(logger_, [&] { return RetType::Data(getXXXDR("COMDR")); });
}

RetType CalibrationTableManager::getELEDR() {
  return answering_db_errors(logger_, [&] { return RetType::Data(getXXXDR("ELEDR")); });
}

Value CalibrationTableManager::_getBoardCOMDR(std::variant<RFMode, std::int64_t> mode,
                                              std::int64_t board_idx) {
  return item(item(getXXXDR("COMDR"), enum_value(rf_mode_of(mode))), board_idx);
}

Value CalibrationTableManager::_getBoardELEDR(std::variant<RFMode, std::int64_t> mode,
                                              std::int64_t board_idx) {
  return item(item(getXXXDR("ELEDR"), enum_value(rf_mode_of(mode))), board_idx);
}

namespace {

// The dynamic-range cache before it is filled: per range kind, one list per mode.
Value empty_range_cache(bool polar) {
  Value cache = Value::object();
  const std::vector<std::string> keys =
      polar ? std::vector<std::string>{"COMDR", "ELEDR"}
            : std::vector<std::string>{"COMDR", "ELEDR", "COMSTEPDR"};
  for (const auto& k : keys) {
    Value per_mode = Value::array();
    for (std::size_t m = 0; m < enum_members<RFMode>().size(); ++m) {
      per_mode.push_back(Value::array());
    }
    cache[k] = std::move(per_mode);
  }
  return cache;
}

// The ranges of one IC section in one mode: COMDR and ELEDR per polarization on a
// polarization device, else COMDR, ELEDR and COMSTEPDR from the table or the database.
Value section_ranges(const CalibrationTableManager& m, bool from_db, const std::string& section,
                     const std::string& mode_name) {
  Value per_ic = Value::object();
  if (m.support_polar()) {
    Value comdr = Value::object();
    Value eledr = Value::object();
    const Value& mode_map = child(child(m.caliTableHeader(), section), mode_name);
    for_each_single_polarization([&](const std::string& pol) {
      const Value& pol_map = child(mode_map, pol);
      comdr[pol] = child(pol_map, "COMDR");
      eledr[pol] = child(pol_map, "ELEDR");
    });
    per_ic["COMDR"] = std::move(comdr);
    per_ic["ELEDR"] = std::move(eledr);
  } else if (from_db) {
    const Value paths =
        Value::array({Value::array({mode_name, "COMDR"}), Value::array({mode_name, "ELEDR"}),
                      Value::array({mode_name, "COMSTEPDR"})});
    per_ic = m.db()->query(paths, section).RetData;
    require_map(per_ic, "dynamic-range reply");
  } else {
    const Value& mode_map = child(child(m.caliTableHeader(), section), mode_name);
    for (const char* k : {"COMDR", "ELEDR", "COMSTEPDR"}) {
      per_ic[k] = child(mode_map, k);
    }
  }
  return per_ic;
}

// Adds the ranges of one IC section to the cache lists of mode `mode_pos`; a database
// reply's keys end in the range kind after a dot.
void add_section_ranges(Value& cache, const Value& per_ic, std::size_t mode_pos) {
  for (const auto& [k, v] : per_ic.items()) {
    const auto dot = k.rfind('.');
    const std::string part = dot == std::string::npos ? k : k.substr(dot + 1);
    auto it = cache.find(part);
    if (it == cache.end()) {
      throw KeyError(part);
    }
    (*it)[mode_pos].push_back(normalise(v));
  }
}

}  // namespace

const Value& CalibrationTableManager::getXXXDR(const std::string& key) {
  if (all_xxx_dr_) {
    logger_.debug("Fetch {} from cache", key);
    return child(*all_xxx_dr_, key);
  }
  const std::int64_t ic_count = num_board_ * num_ic_per_board_;
  const bool from_db = web_mode_ && !support_polar_;

  // Built aside and stored only once complete: a failure part way (a database error, a
  // missing section) leaves no cache, so the next call tries again.
  Value cache = from_one_table(*this, [&] {
    Value ranges = empty_range_cache(support_polar_);
    for (const auto& [mode_name_view, mode] : enum_members<RFMode>()) {
      const std::string mode_name(mode_name_view);
      const auto mode_pos = static_cast<std::size_t>(enum_value(mode));
      for (std::int64_t i = 0; i < ic_count; ++i) {
        add_section_ranges(ranges, section_ranges(*this, from_db, section_name(i + 1), mode_name),
                           mode_pos);
      }
    }
    return ranges;
  });
  logger_.info("All DR: {}", cache);
  all_xxx_dr_ = std::move(cache);
  return child(*all_xxx_dr_, key);
}

// --- board offsets -------------------------------------------------------------------------

namespace {

// The offset entries of chip `chip_key` on `boards`, by mode: a list with one entry per
// board from the table, or the database's reply to the batch of all boards.
Value collect_offsets(const Value& table, VLNTableDB* db, const std::vector<std::int64_t>& boards,
                      const std::string& chip_key) {
  Value collected = Value::object();
  if (db != nullptr) {
    // Requests left held by an earlier failed batch must not ride along with ours, nor
    // with the next single query when this call sends nothing.
    db->cleanQueryCache();
  }
  for (const auto& [mode_name_view, mode] : enum_members<RFMode>()) {
    const std::string mode_name(mode_name_view);
    Value data = Value::array();
    for (std::size_t i = 0; i < boards.size(); ++i) {
      const std::string section = section_name(boards[i]);
      if (db != nullptr) {
        const Value path = Value::array({mode_name, chip_key});
        if (i + 1 == boards.size()) {
          data = db->query(path, section).RetData;
        } else {
          db->query(path, section, false);
        }
      } else {
        data.push_back(child(child(child(table, section), mode_name), chip_key));
      }
    }
    collected[mode_name] = std::move(data);
  }
  return collected;
}

// The offsets of one mode's entries, one list per board (per chip map in a database reply).
Value mode_offsets(const log::Logger& logger, const std::string& mode_name, const Value& data,
                   const std::vector<std::int64_t>& boards, bool from_db) {
  Value offsets = Value::array();
  if (data.is_object()) {
    offsets.push_back(values_of(data));
    logger.debug("OFFSET_{}: brd:{}, offsets:{}", mode_name, boards.at(0), offsets[0]);
    return offsets;
  }
  require_list(data, "offset reply");
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (from_db) {
      for (const auto& [chip_name, channels] : require_map(data[i], "offset reply").items()) {
        offsets.push_back(values_of(channels));
      }
    } else {
      offsets.push_back(values_of(data[i]));
    }
    if (i >= boards.size()) {
      throw IndexError("the offset reply lists more boards than were asked for");
    }
    logger.debug("OFFSET_{}: brd:{}, offsets:{}", mode_name, boards[i],
                 item(offsets, static_cast<std::int64_t>(i)));
  }
  return offsets;
}

}  // namespace

std::variant<Value, RetType> CalibrationTableManager::_getBoardsOffset(
    const std::vector<std::int64_t>& boards, const std::string& rf_mode_str, std::int64_t chip) {
  auto cache_key = std::make_pair(boards, chip);
  if (const auto it = all_offset_.find(cache_key); it != all_offset_.end()) {
    logger_.debug("Fetch {} Offset from cache", rf_mode_str);
    return Value(child(it->second, rf_mode_str));
  }
  const bool from_db = web_mode_ && db_ != nullptr;
  Value collected;
  try {
    collected = from_one_table(*this, [&] {
      return collect_offsets(caliTableHeader(), from_db ? db_.get() : nullptr, boards,
                             "OFFSET_CHIP_" + std::to_string(chip));
    });
  } catch (const VLNTableDBError& e) {
    logger_.error("Exception: {}", e.ret());
    return e.ret();
  }
  Value cache = Value::object();
  for (const auto& [mode_name_view, mode] : enum_members<RFMode>()) {
    const std::string mode_name(mode_name_view);
    cache[mode_name] = mode_offsets(logger_, mode_name, collected[mode_name], boards, from_db);
  }
  const Value& stored = all_offset_.emplace(std::move(cache_key), std::move(cache)).first->second;
  return Value(child(stored, rf_mode_str));
}

// --- temperature compensation and common-arm steps ----------------------------------------

Value CalibrationTableManager::_getTC() {
  const std::int64_t ic_count = num_board_ * num_ic_per_board_;
  const bool from_db = web_mode_ && !support_polar_ && db_ != nullptr;
  Value out = Value::array();
  out.push_back(from_one_table(*this, [&] { return tcChain(ic_count, from_db); }));
  return out;
}

Value CalibrationTableManager::tcChain(std::int64_t ic_count, bool from_db) const {
  Value chain = Value::array();
  for (std::int64_t i = 0; i < ic_count; ++i) {
    const std::string section = section_name(i + 1);
    Value ic = Value::array();
    if (support_polar_) {
      const Value& tc = child(child(caliTableHeader(), section), "TC");
      for_each_single_polarization([&](const std::string& pol) { ic.push_back(child(tc, pol)); });
    } else {
      for (const auto& [mode_name_view, mode] : enum_members<RFMode>()) {
        const std::string mode_name(mode_name_view);
        Value reply;
        const Value* tc = nullptr;  // the table's own list, not a copy
        if (from_db) {
          reply = db_->query(Value::array({mode_name, "TC"}), section).RetData;
          tc = &reply;
        } else {
          tc = &child(child(child(caliTableHeader(), section), mode_name), "TC");
        }
        for (const auto& v : require_list(*tc, "TC entry")) {
          ic.push_back(value::to_int(v));
        }
      }
    }
    chain.push_back(std::move(ic));
  }
  return chain;
}

Value CalibrationTableManager::appendComDictToList(const Value& comDict, double min,
                                                   double max) const {
  Value out = Value::array();
  for (const auto& [step, range] : require_map(comDict, "step map").items()) {
    // Element 1 is the lower end of the step's range, element 0 the upper end.
    if (value::to_float(item(range, 1)) <= min && value::to_float(item(range, 0)) >= max) {
      out.push_back(step);
    }
  }
  return out;
}

const Value& CalibrationTableManager::webStepMap(std::int64_t board,
                                                 const std::string& rf_mode_str) {
  const Value& per_mode = getXXXDR("COMSTEPDR");
  for (const auto& [name, mode] : enum_members<RFMode>()) {
    const Value& sections = item(per_mode, enum_value(mode));
    if (name == rf_mode_str && board >= 1 && static_cast<std::uint64_t>(board) <= sections.size()) {
      return sections[static_cast<std::size_t>(board - 1)];
    }
  }
  // The range cache holds every section and mode the table has: what it lacks, so does the
  // table.
  throw VLNTableDBError(
      RetCode::ERROR_DB_FEEDBACK,
      fmt::format("the calibration table of {} at {} GHz has no entry {}.{}.{}", sn_,
                  value::str(freq_), section_name(board), rf_mode_str, "COMSTEPDR"));
}

std::variant<Value, RetType> CalibrationTableManager::_searchComStepDR(
    std::int64_t board, const std::string& rf_mode_str, double min, double max,
    const Value& /*polar*/) {
  const Value* step_map = nullptr;
  if (web_mode_ && !support_polar_) {
    try {
      step_map = &webStepMap(board, rf_mode_str);
    } catch (const VLNTableDBError& e) {
      logger_.error("Exception: {}", e.ret());
      return e.ret();
    }
  } else {
    step_map =
        &child(child(child(caliTableHeader(), section_name(board)), rf_mode_str), "COMSTEPDR");
  }
  Value found = appendComDictToList(*step_map, min, max);
  logger_.debug("Search COMSTEPDR -> COM list: {}", found);
  return found;
}

std::optional<std::vector<CalibrationTableManager::ComStepRange>>
CalibrationTableManager::comStepRanges(std::int64_t board, const std::string& rf_mode_str) const {
  if (web_mode_) {
    return std::nullopt;
  }
  std::vector<ComStepRange> out;
  try {
    const Value& step_map =
        child(child(child(caliTableHeader(), section_name(board)), rf_mode_str), "COMSTEPDR");
    for (const auto& [step, range] : require_map(step_map, "step map").items()) {
      out.push_back({step, value::to_float(item(range, 0)), value::to_float(item(range, 1))});
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return out;
}

// --- ComData -------------------------------------------------------------------------------

namespace {

const log::Logger& cali_logger() {
  static const log::Logger logger("CaliTbl");
  return logger;
}

void require_chain_lists(const Value& channel, const Value& gain, const Value& phase,
                         const Value& com_list) {
  require_list(channel, "channel");
  require_list(gain, "gain");
  require_list(phase, "phase");
  require_list(com_list, "com_list");
}

/// The per-board part of a chain fetch that both sources share: the board's arguments, its
/// debug line, and its channel keys. Every step of a board shares the keys (a key depends on
/// the channel, gain and phase only), and the key buffers are reused from board to board.
class ChainBoards {
 public:
  ChainBoards(const log::Logger& logger, const std::string& rf_mode_str, std::int64_t chip,
              const Value& channel, const Value& gain, const Value& phase, const Value& com_list)
      : logger_(logger),
        rf_mode_str_(rf_mode_str),
        chip_(chip),
        channel_(channel),
        gain_(gain),
        phase_(phase),
        com_list_(com_list),
        keys_(channel.size()),
        debug_(logger.enabled(Level::debug)) {}

  /// Prepares board index `i` and answers its list of step names.
  const Value& prepare(std::int64_t i) {
    const Value& board_gain = item(gain_, i);
    const Value& board_phase = item(phase_, i);
    const Value& board_coms = item(com_list_, i);
    if (debug_) {
      logger_.debug("[ComData] key: {}, {}/{}/{} gain/phase: {}/{} with com list: {}", rf_mode_str_,
                    i, chip_, channel_, board_gain, board_phase, board_coms);
    }
    require_list(board_coms, "com_list entry");
    count_ = 0;
    if (!board_coms.empty()) {
      for (const auto& c : channel_.get_ref<const Value::array_t&>()) {
        const std::int64_t number = channel_number(c);
        keys_[count_++].assign(number, numbered(board_gain, number, "channel"),
                               numbered(board_phase, number, "channel"));
      }
    }
    return board_coms;
  }

  std::span<const ChannelKey> keys() const { return {keys_.data(), count_}; }
  bool debug() const { return debug_; }

 private:
  const log::Logger& logger_;
  const std::string& rf_mode_str_;
  std::int64_t chip_;
  const Value& channel_;
  const Value& gain_;
  const Value& phase_;
  const Value& com_list_;
  std::vector<ChannelKey> keys_;
  std::size_t count_ = 0;
  bool debug_;
};

/// Where a step's entries sit: section, mode and chip key.
struct StepPlace {
  std::string_view section, mode, chip_key;
};

/// The entries of one step of a local table: from the DATA store of a parsed CSV table, or
/// from the step's own map in any other table. KeyError names a step the chip lacks.
class StepEntries {
 public:
  StepEntries(const detail::CaliData* store, const Value& chip_map, const StepPlace& place,
              const std::string& step)
      : store_(store) {
    if (store_ != nullptr) {
      step_ = store_->find_step(place.section, place.mode, place.chip_key, step);
      if (step_ == nullptr) {
        throw KeyError(step);
      }
    } else {
      map_ = &require_map(child(chip_map, step), "ComData step map");
    }
  }

  /// Hands the entry under `key` to `out` (and adds it to `logged` unless null); false when
  /// the step has no such entry.
  bool deliver(std::string_view key, ComDataReceiver& out, Value* logged) const {
    if (map_ != nullptr) {
      const Value* e = find_entry(*map_, key);
      if (e != nullptr) {
        out.entry(*e);
        if (logged != nullptr) {
          logged->push_back(*e);
        }
      }
      return e != nullptr;
    }
    const std::optional<detail::ComDataNumbers> numbers = store_->find(*step_, key);
    if (numbers) {
      out.entry(*numbers);
      if (logged != nullptr) {
        logged->push_back(numbers->value());
      }
    }
    return numbers.has_value();
  }

 private:
  const detail::CaliData* store_;
  const detail::CaliData::Step* step_ = nullptr;
  const Value* map_ = nullptr;
};

/// Builds the result value of a local fetch.
class ValueReceiver final : public ComDataReceiver {
 public:
  ValueReceiver(Value& result, std::int64_t boards, const Value& gain) : result_(result) {
    if (boards > 0) {
      result_.get_ref<Value::array_t&>().reserve(
          std::min<std::size_t>(static_cast<std::size_t>(boards), gain.size()));
    }
  }
  void beginBoard() override { board_ = Value(Value::value_t::object); }
  void beginStep(const std::string& step, std::size_t expected) override {
    Value::array_t entries;
    entries.reserve(expected);
    current_ = &board_.get_ref<Value::object_t&>()
                    .insert_or_assign(step, std::move(entries))
                    .first->second.get_ref<Value::array_t&>();
  }
  void entry(const Value& e) override { current_->push_back(e); }
  void entry(const detail::ComDataNumbers& e) override { current_->push_back(e.value()); }
  void endBoard() override { result_.get_ref<Value::array_t&>().push_back(std::move(board_)); }

 private:
  Value& result_;
  Value board_;
  Value::array_t* current_ = nullptr;  // the entries of the step being fetched
};

}  // namespace

void fetchComDataLocal(const CalibrationTableManager& manager, const std::string& rf_mode_str,
                       std::int64_t board, std::int64_t chip, const Value& channel,
                       const Value& gain, const Value& phase, const Value& com_list,
                       ComDataReceiver& out) {
  require_chain_lists(channel, gain, phase, com_list);
  const log::Logger& logger = cali_logger();
  try {
    const std::string chip_key = "DATA_CHIP_" + std::to_string(chip);
    ChainBoards chain(logger, rf_mode_str, chip, channel, gain, phase, com_list);
    std::vector<const std::string*> done;  // steps of the current board
    for (std::int64_t i = 0; i < board; ++i) {
      const Value& board_coms = chain.prepare(i);
      char section_buf[32] = "BOARD_";
      const std::string_view section(
          section_buf, std::to_chars(section_buf + 6, std::end(section_buf), i + 1).ptr);
      out.beginBoard();
      Value debug_map;
      if (chain.debug()) {
        debug_map = Value::object();
      }
      done.clear();
      const Value* chip_map = nullptr;
      for (const auto& step_value : board_coms.get_ref<const Value::array_t&>()) {
        const std::string& step = text_of(step_value, "step name");
        if (std::any_of(done.begin(), done.end(), [&](const auto* d) { return *d == step; })) {
          continue;  // a repeated step answers the same keys again
        }
        done.push_back(&step);
        if (chip_map == nullptr) {
          chip_map =
              &child(child(child(manager.caliTableHeader(), section), rf_mode_str), chip_key);
        }
        const StepEntries data(manager.caliData(), *chip_map, {section, rf_mode_str, chip_key},
                               step);
        out.beginStep(step, chain.keys().size());
        Value* logged = chain.debug() ? &(debug_map[step] = Value::array()) : nullptr;
        for (const auto& key : chain.keys()) {
          if (!data.deliver(key.view(), out, logged)) {
            logger.error("[{}] Can not find the ComData from key: {}", step, key.view());
          }
        }
      }
      if (chain.debug()) {
        logger.debug("[ComData] Fetched from {}: {}", section, debug_map);
      }
      out.endBoard();
    }
  } catch (const std::exception&) {
    logger.exception("Exception to fetch ComData");
  }
}

namespace {

/// One board of a web-mode chain: the key paths asked for, and per step named (repeats
/// included) the joined key of each channel, in channel order (repeats included).
struct WebBoard {
  Value paths;
  std::vector<std::string> channel_keys;
  std::vector<std::pair<std::string, std::vector<std::string>>> steps;
};

/// The replies of several boards, one map each.
Value several_boards_reply(Value data, std::size_t n) {
  require_list(data, "ComData reply");
  if (data.size() != n) {
    throw IndexError(fmt::format("a ComData reply answers {} of {} boards", data.size(), n));
  }
  for (const auto& m : data) {
    require_map(m, "ComData reply");
  }
  return data;
}

/// The reply map of a single board whose reply was one entry alone: under the one key asked,
/// or, when several were asked, from asking again key by key.
Value single_entry_reply(VLNTableDB& db, const WebBoard& last, const std::string& section,
                         Value data) {
  require_list(data, "ComData reply");
  std::vector<const std::string*> asked;
  std::vector<std::size_t> path_of;
  std::size_t p = 0;
  for (const auto& [step, keys] : last.steps) {
    for (const auto& k : keys) {
      if (std::none_of(asked.begin(), asked.end(), [&](const auto* a) { return *a == k; })) {
        asked.push_back(&k);
        path_of.push_back(p);
      }
      ++p;
    }
  }
  Value map = Value::object();
  if (asked.size() == 1) {
    map[*asked.front()] = std::move(data);
    return map;
  }
  db.cleanQueryCache();
  for (std::size_t i = 0; i + 1 < asked.size(); ++i) {
    db.query(Value::array({last.paths[path_of[i]]}), section, false);
  }
  // One map per key, sent as one batch; a key the table lacks has an empty map.
  const Value each = db.query(Value::array({last.paths[path_of.back()]}), section, true).RetData;
  for (const auto& m : require_list(each, "ComData reply")) {
    if (m.is_object()) {
      for (const auto& [k, v] : m.items()) {
        map[k] = v;
      }
    }
  }
  return map;
}

/// The reply map of one board asked alone: a map, or - when the database found one entry
/// only - that entry itself: which key it belongs to is known when one key was asked, and
/// asked again key by key otherwise.
Value one_board_reply(VLNTableDB& db, const WebBoard& b, const std::string& section) {
  Value data = db.query(b.paths, section, true).RetData;
  if (data.is_object()) {
    return data;
  }
  if (data.is_array() && !data.empty() &&
      std::all_of(data.begin(), data.end(), [](const Value& m) { return m.is_object(); })) {
    if (data.size() != 1) {
      throw IndexError(fmt::format("a ComData reply answers {} of 1 boards", data.size()));
    }
    return std::move(data[0]);
  }
  return single_entry_reply(db, b, section, std::move(data));
}

/// The replies of a web-mode chain: one map per board answered, from joined keys to entries;
/// the failure that ended the chain part way (null when none did), and the steps of the board
/// it ended on that were answered before it (their entries only count for the log).
struct WebReplies {
  Value maps;
  std::exception_ptr stopped;
  WebBoard stopped_board;
  Value stopped_map;
};

/// The steps of board `b` asked one by one, up to the first the database refuses: `out` keeps
/// those answered and the refusal.
void ask_step_by_step(VLNTableDB& db, const WebBoard& b, const std::string& section,
                      WebReplies& out) {
  out.stopped_map = Value::object();
  const std::size_t per_step = b.channel_keys.size();
  for (std::size_t s = 0; s < b.steps.size(); ++s) {
    WebBoard step{Value::array(), b.channel_keys, {b.steps[s]}};
    for (std::size_t k = 0; k < per_step; ++k) {
      step.paths.push_back(b.paths[s * per_step + k]);
    }
    try {
      Value reply = one_board_reply(db, step, section);
      for (auto& [key, entry] : reply.items()) {
        out.stopped_map[key] = std::move(entry);
      }
    } catch (const VLNTableDBError&) {
      out.stopped = std::current_exception();
      return;
    }
    out.stopped_board.steps.push_back(b.steps[s]);
  }
}

/// Every board in one batch. A batch the database refuses (a board, mode, chip or step it
/// lacks) is asked again board by board, and the board refused step by step: the boards before
/// it are answered and the keys its steps before the refused one lack are logged, as local
/// mode answers and logs before it fails.
WebReplies fetchWebBoards(VLNTableDB& db, const std::vector<WebBoard>& boards) {
  const std::size_t n = boards.size();
  WebReplies out;
  out.maps = Value::array();
  if (n > 1) {
    for (std::size_t i = 0; i + 1 < n; ++i) {
      db.query(boards[i].paths, section_name(static_cast<std::int64_t>(i + 1)), false);
    }
    try {
      const std::string last = section_name(static_cast<std::int64_t>(n));
      out.maps = several_boards_reply(db.query(boards.back().paths, last, true).RetData, n);
      return out;
    } catch (const VLNTableDBError& e) {
      if (e.ret().RetCode != RetCode::ERROR_DB_FEEDBACK) {
        throw;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::string section = section_name(static_cast<std::int64_t>(i + 1));
    try {
      out.maps.push_back(one_board_reply(db, boards[i], section));
    } catch (const VLNTableDBError& e) {
      if (e.ret().RetCode != RetCode::ERROR_DB_FEEDBACK) {
        throw;
      }
      out.stopped_board.channel_keys = boards[i].channel_keys;
      ask_step_by_step(db, boards[i], section, out);
      if (!out.stopped) {
        throw;  // refused whole, answered step by step: not a refusal of its entries
      }
      break;
    }
  }
  return out;
}

/// The board map of a web-mode reply, built as local mode builds it from the table: each
/// step named once, its entries in channel order, a missing entry logged and left out.
Value web_board_map(const log::Logger& logger, const WebBoard& board, const Value& reply) {
  Value out = Value::object();
  const auto& found = reply.get_ref<const Value::object_t&>();
  bool ours = true;
  for (const auto& item : reply.items()) {
    const std::string& k = item.key();
    ours = std::any_of(board.steps.begin(), board.steps.end(), [&](const auto& step) {
      return std::find(step.second.begin(), step.second.end(), k) != step.second.end();
    });
    if (!ours) {
      break;
    }
  }
  if (!ours) {
    // A component that keys its answers otherwise: entries group by the step part of their
    // keys, in reply order.
    Value* entries = nullptr;
    std::string previous;
    for (const auto& [joined, entry] : reply.items()) {
      const auto d1 = joined.find('.');
      const auto d2 = d1 == std::string::npos ? d1 : joined.find('.', d1 + 1);
      if (d2 == std::string::npos) {
        throw IndexError("list index out of range");
      }
      const auto d3 = joined.find('.', d2 + 1);
      std::string step = joined.substr(d2 + 1, d3 == std::string::npos ? d3 : d3 - d2 - 1);
      if (entries == nullptr || step != previous) {
        entries = &(out[step] = Value::array());
        previous = std::move(step);
      }
      entries->push_back(entry);
    }
    return out;
  }
  std::vector<const std::string*> done;
  for (const auto& [step, keys] : board.steps) {
    const std::string& name = step;  // a lambda may not capture a structured binding here
    if (std::any_of(done.begin(), done.end(), [&](const auto* d) { return *d == name; })) {
      continue;  // a repeated step answers the same keys again
    }
    done.push_back(&step);
    Value& entries = out[step] = Value::array();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (const auto it = found.find(keys[i]); it != found.end()) {
        entries.push_back(it->second);
      } else {
        logger.error("[{}] Can not find the ComData from key: {}", step, board.channel_keys[i]);
      }
    }
  }
  return out;
}

}  // namespace

namespace {

/// The boards of a web-mode chain, each with the keys it asks for. Every board is prepared
/// before anything is asked: a board whose arguments fail ends the fetch before any query
/// goes out, with the key lines of the boards up to it logged, as the SDK's module does.
std::vector<WebBoard> prepare_web_boards(ChainBoards& chain, std::int64_t board,
                                         const std::string& rf_mode_str,
                                         const std::string& chip_key) {
  std::vector<WebBoard> boards;
  for (std::int64_t i = 0; i < board; ++i) {
    const Value& board_coms = chain.prepare(i);
    WebBoard& b = boards.emplace_back();
    b.paths = Value::array();
    for (const auto& k : chain.keys()) {
      b.channel_keys.emplace_back(k.view());
    }
    for (const auto& step_value : board_coms.get_ref<const Value::array_t&>()) {
      const std::string& step = text_of(step_value, "step name");
      auto& keys = b.steps.emplace_back(step, std::vector<std::string>()).second;
      for (const auto& key : b.channel_keys) {
        b.paths.push_back(Value::array({rf_mode_str, chip_key, step, key}));
        keys.push_back(fmt::format("{}.{}.{}.{}", rf_mode_str, chip_key, step, key));
      }
    }
  }
  return boards;
}

/// The key a web-mode chain's replies are kept under: every joined key it asks for.
std::string chain_cache_key(const std::vector<WebBoard>& boards) {
  std::vector<std::string> all_joined;
  for (const auto& b : boards) {
    for (const auto& [step, keys] : b.steps) {
      all_joined.insert(all_joined.end(), keys.begin(), keys.end());
    }
  }
  return fmt::format("{}", fmt::join(all_joined, "-"));
}

/// Adds the board maps of a web-mode chain to `result`, from the replies kept in `kept` or
/// else from the database (which are kept then).
void answer_web_boards(const CalibrationTableManager& m, Value& kept, const log::Logger& logger,
                       const std::vector<WebBoard>& boards, std::int64_t board, Value& result) {
  VLNTableDB& db = *m.db();
  const std::string cache_key = chain_cache_key(boards);
  WebReplies replies;
  bool cached = false;
  if (const auto it = kept.find(cache_key); it != kept.end()) {
    logger.debug("[ComData] Fetched from cache");
    replies.maps = *it;
    cached = true;
  } else {
    replies = from_one_table(m, [&] { return fetchWebBoards(db, boards); });
  }
  db.cleanQueryCache();
  logger.debug("[ComData] Fetched from {} boards: {}", board, replies.maps);
  for (std::size_t i = 0; i < replies.maps.size(); ++i) {
    result.push_back(web_board_map(logger, boards[i], replies.maps[i]));
  }
  if (replies.stopped) {
    web_board_map(logger, replies.stopped_board, replies.stopped_map);
    std::rethrow_exception(replies.stopped);
  }
  if (!cached) {
    kept[cache_key] = std::move(replies.maps);
  }
}

}  // namespace

Value CalibrationTableManager::_getComData(const std::string& rf_mode_str, std::int64_t board,
                                           std::int64_t chip, const Value& channel,
                                           const Value& gain, const Value& phase,
                                           const Value& com_list) {
  require_chain_lists(channel, gain, phase, com_list);
  Value result(Value::value_t::array);
  if (!web_mode_ || db_ == nullptr) {
    ValueReceiver receiver(result, board, gain);
    fetchComDataLocal(*this, rf_mode_str, board, chip, channel, gain, phase, com_list, receiver);
    return result;
  }
  try {
    const std::string chip_key = "DATA_CHIP_" + std::to_string(chip);
    ChainBoards chain(logger_, rf_mode_str, chip, channel, gain, phase, com_list);
    const std::vector<WebBoard> boards = prepare_web_boards(chain, board, rf_mode_str, chip_key);
    // Requests that a host left held on the facade must not ride along with ours.
    db_->cleanQueryCache();
    if (!boards.empty()) {
      answer_web_boards(*this, all_comdata_map_, logger_, boards, board, result);
    }
  } catch (const std::exception&) {
    logger_.exception("Exception to fetch ComData");
  }
  return result;
}

}  // namespace arvcore::vlndev
