#include "arvcore/vlndev/beam_pattern_table_manager.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/base/change_count.hpp"
#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/value/table_memory.hpp"
#include "arvcore/vlndev/detail/frequency.hpp"

namespace arvcore::vlndev {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNotReady = "BeamTable is not ready";
constexpr std::string_view kLoadingFailed = "BeamTable loading exception";
constexpr std::string_view kGeneratingFailed = "BeamTable generating exception";
constexpr std::string_view kSavingFailed = "BeamFile saving exception";
constexpr std::string_view kSetFailed = "SetBeamPattern exception";
constexpr std::string_view kLegacyVersionLimit = "v1.1.0";
constexpr int kTableIndent = 2;

std::string current_version() {
  // Appended rather than `"v" + std::string(...)`, which GCC 12 at -O3 wrongly warns about
  // (-Wstringop-overflow) and so fails the Release build.
  std::string version = "v";
  version += BTField_version;
  return version;
}

std::int64_t beam_type_value(BeamType t) {
  return enum_value(t);
}

std::string mode_name(RFMode m) {
  return std::string(enum_name(m));
}

std::string group_key(std::int64_t k) {
  return "board_" + std::to_string(k);
}

std::string channel_key(std::int64_t n) {
  return "channel_" + std::to_string(n);
}

RFMode to_mode(const RFModeArg& mode) {
  if (const auto* m = std::get_if<RFMode>(&mode)) {
    return *m;
  }
  return enum_from_value<RFMode>(std::get<std::int64_t>(mode));
}

/// A stored "beam_type" (or an argument that carries one) as a member.
BeamType to_beam_type(const Value& v) {
  if (!v.is_number_integer()) {
    throw TypeError(fmt::format("beam type must be a BeamType or an int, not {}", v.type_name()));
  }
  return enum_from_value<BeamType>(v.get<std::int64_t>());
}

bool has_non_null(const Value& obj, const std::string& key) {
  if (!obj.is_object()) {
    return false;
  }
  const auto it = obj.find(key);
  return it != obj.end() && !it->is_null();
}

/// `obj` as a map that may be written to; a null or any other value is refused instead of
/// silently becoming a map.
Value& as_map(Value& obj, std::string_view what) {
  if (!obj.is_object()) {
    throw TypeError(fmt::format("{} must be a dict, not {}", what, obj.type_name()));
  }
  return obj;
}

void erase_key(Value& obj, const std::string& key) {
  if (as_map(obj, "beam object").erase(key) == 0) {
    throw KeyError(value::repr(Value(key)));
  }
}

/// Sum of two numbers, keeping integers integral.
Value add_numbers(const Value& a, const Value& b) {
  if (a.is_number_integer() && b.is_number_integer()) {
    return a.get<std::int64_t>() + b.get<std::int64_t>();
  }
  if (!a.is_number() || !b.is_number()) {
    throw TypeError(fmt::format("unsupported operand type(s) for +: '{}' and '{}'", a.type_name(),
                                b.type_name()));
  }
  return a.get<double>() + b.get<double>();
}

bool less_than(const Value& a, const Value& b) {
  if (a.is_number_integer() && b.is_number_integer()) {
    return a.get<std::int64_t>() < b.get<std::int64_t>();
  }
  if (!a.is_number() || !b.is_number()) {
    throw TypeError(fmt::format("'<' not supported between instances of '{}' and '{}'",
                                a.type_name(), b.type_name()));
  }
  return a.get<double>() < b.get<double>();
}

/// A number as "%d" would print it (truncated towards zero).
std::string percent_d(const Value& v) {
  if (v.is_number_integer()) {
    return value::str(v);
  }
  if (v.is_number_float() && std::isfinite(v.get<double>())) {
    return fmt::format("{:.0f}", std::trunc(v.get<double>()));
  }
  throw TypeError(fmt::format("%d format: a real number is required, not {}", v.type_name()));
}

/// Frequency part of a table file name: 28 and 28.0 give "28", 28.5 gives "28.5".
std::string freq_file_text(const Value& freq) {
  if (freq.is_number_integer()) {
    return value::str(freq);
  }
  if (!freq.is_number_float()) {
    throw TypeError(fmt::format("frequency must be a number, not {}", freq.type_name()));
  }
  const double f = freq.get<double>();
  if (std::fmod(f, 1.0) == 0.0) {
    return f == 0.0 ? "0" : fmt::format("{:.0f}", f);
  }
  return value::float_repr(f);
}

double freq_as_double(const Value& freq) {
  if (!freq.is_number()) {
    throw TypeError(fmt::format("frequency must be a number, not {}", freq.type_name()));
  }
  return freq.get<double>();
}

/// Why `text` cannot be part of a file name inside the table directory; "" when it can.
std::string unsafe_name_reason(std::string_view what, std::string_view text) {
  if (text.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos ||
      text.find("..") != std::string_view::npos) {
    return fmt::format("{} {} would place the beam table outside its directory", what,
                       value::repr(Value(std::string(text))));
  }
  return {};
}

std::int64_t layout_number(const Value& v) {
  if (!v.is_number_integer()) {
    throw TypeError(fmt::format("rf_layout numbers must be integers, not {}", v.type_name()));
  }
  const auto n = v.get<std::int64_t>();
  if (n < 0) {
    throw ValueError(fmt::format("rf_layout numbers must not be negative: {}", n));
  }
  return n;
}

/// Lays channels 1..total out in groups of n (one per IC section):
/// "board_k" -> {"common_db": common(k), "channel_1": channel(ch, k), ..., "channel_n": ...}.
/// With one channel per IC every channel is its own group.
template <class CommonFn, class ChannelFn>
Value build_channel_config(std::int64_t total, std::int64_t n, CommonFn&& common,
                           ChannelFn&& channel) {
  Value config = Value::object();
  Value group;
  for (std::int64_t ch = 1; ch <= total; ++ch) {
    const std::int64_t k = (ch - 1) / n + 1;
    const std::int64_t pos = (ch - 1) % n + 1;
    if (pos == 1) {
      group = Value::object();
      group["common_db"] = common(k);
    }
    group[channel_key(pos)] = channel(ch, k);
    if (pos == n) {
      config[group_key(k)] = std::move(group);
    }
  }
  return config;
}

Value channel_map(Value sw, Value db, Value deg) {
  Value ch = Value::object();
  ch["sw"] = std::move(sw);
  ch["db"] = std::move(db);
  ch["deg"] = std::move(deg);
  return ch;
}

/// Position of the first element of a legacy channel list for each channel number 1..total
/// (-1: none).
std::vector<std::int64_t> first_position_of_channels(const Value& list, std::int64_t total) {
  std::vector<std::int64_t> pos(static_cast<std::size_t>(total) + 1, -1);
  std::int64_t i = 0;
  for (const auto& element : list) {
    const Value& ch = element.at("channel");
    std::int64_t number = 0;
    if (ch.is_number_integer()) {
      number = ch.get<std::int64_t>();
    } else if (ch.is_number_float() && std::trunc(ch.get<double>()) == ch.get<double>() &&
               std::abs(ch.get<double>()) <= static_cast<double>(total)) {
      number = static_cast<std::int64_t>(ch.get<double>());
    }
    if (number >= 1 && number <= total && pos[static_cast<std::size_t>(number)] < 0) {
      pos[static_cast<std::size_t>(number)] = i;
    }
    ++i;
  }
  return pos;
}

/// The RF mode a batch key names (other keys, such as "VERSION", are not beams), checking
/// that its beams come as a map.
std::optional<RFMode> batch_mode(const std::string& key, const Value& beams) {
  for (const auto& [name, mode] : enum_members<RFMode>()) {
    if (name == key) {
      if (!beams.is_object()) {
        throw TypeError(fmt::format("the {} beams must be a dict, not {}", key, beams.type_name()));
      }
      return mode;
    }
  }
  return std::nullopt;
}

/// Puts the given group values over those of a channel beam entry; every group and key given
/// must already be there.
void merge_channel_config(Value& entry, const Value& config) {
  Value& channel_config = as_map(entry.at("channel_config"), "channel_config");
  for (const auto& [group_name, group_values] : config.items()) {
    Value& group = channel_config.at(group_name);
    if (!group_values.is_object()) {
      throw TypeError(fmt::format("channel config {} must be a dict", group_name));
    }
    for (const auto& [key, v] : group_values.items()) {
      group.at(key) = v;
    }
  }
}

/// Runs `fn(mode, beam id, entry)` over the beams of a batch, mode by mode, until one fails.
template <class Fn>
RetType for_each_batch_entry(const Value& batch, Fn&& fn) {
  for (const auto& [key, beams] : batch.items()) {
    const std::optional<RFMode> mode = batch_mode(key, beams);
    if (!mode) {
      continue;
    }
    for (const auto& [id, entry] : beams.items()) {
      RetType done = fn(*mode, id, entry);
      if (!done.ok()) {
        return done;
      }
    }
  }
  return RetType();
}

/// Calls `fn` (the device check), refusing an absent one the way a call of None fails.
template <class Fn, class... Args>
RetType call_check(const Fn& fn, std::string_view what, Args&&... args) {
  if (!fn) {
    throw TypeError(fmt::format("no {} function was supplied", what));
  }
  return fn(std::forward<Args>(args)...);
}

}  // namespace

// --- construction and lifecycle ---------------------------------------------------------

BeamPatternTableManager::BeamPatternTableManager(Value sn, Value devtype, std::int64_t num_beam,
                                                 const std::variant<RfLayoutFn, Value>& rf_layout,
                                                 std::optional<CheckFuncs> check_funcs,
                                                 bool is_web_mode)
    : web_mode_(is_web_mode),
      sn_(std::move(sn)),
      devtype_(std::move(devtype)),
      num_beam_(num_beam) {
  for (auto& entries : entry_generation_) {
    entries.resize(static_cast<std::size_t>(std::clamp<std::int64_t>(num_beam, 0, kCountedBeams)) +
                   1);
  }
  if (check_funcs) {
    func_beam_checking_ = std::move(check_funcs->beam_checking);
    func_ic_gain_checking_ = std::move(check_funcs->ic_gain_checking);
  }
  if (!web_mode_) {
    default_dir_ = fs::path(Utils::get_files_dir()) / "BeamTable";
  }
  Value layout;
  if (const auto* fn = std::get_if<RfLayoutFn>(&rf_layout)) {
    if (!*fn) {
      throw TypeError("rf_layout must be a callable or a sequence of three numbers");
    }
    layout = (*fn)();
  } else {
    layout = std::get<Value>(rf_layout);
  }
  if (!layout.is_array()) {
    throw TypeError(fmt::format("rf_layout must give a sequence, not {}", layout.type_name()));
  }
  if (layout.size() != 3) {
    throw ValueError(fmt::format("rf_layout must give 3 values, not {}", layout.size()));
  }
  num_board_ = layout_number(layout[0]);
  num_ic_per_board_ = layout_number(layout[1]);
  num_channel_per_ic_ = layout_number(layout[2]);
  total_ch_ = num_board_ * num_ic_per_board_ * num_channel_per_ic_;
}

std::string BeamPatternTableManager::table_file_name(const Value& sn, const Value& freq,
                                                     const std::string& aakit) {
  std::string name = "Beam_Configuration_" + value::str(sn) + "_" + freq_file_text(freq) + "GHz";
  if (!aakit.empty()) {
    name += "_" + aakit;
  }
  return name + ".json";
}

std::string BeamPatternTableManager::name_problem(const Value& sn, const std::string& aakit) {
  std::string problem = unsafe_name_reason("serial number", value::str(sn));
  return problem.empty() ? unsafe_name_reason("kit name", aakit) : problem;
}

// --- change counters ---------------------------------------------------------------------

std::uint64_t BeamPatternTableManager::tableGeneration() const {
  return load_count(table_generation_);
}

std::uint64_t BeamPatternTableManager::modeGeneration(RFMode mode) const {
  const auto m = static_cast<std::size_t>(enum_value(mode));
  return m < mode_generation_.size() ? std::max(tableGeneration(), load_count(mode_generation_[m]))
                                     : tableGeneration();
}

std::uint64_t BeamPatternTableManager::entryGeneration(RFMode mode, std::int64_t beamId) const {
  const auto m = static_cast<std::size_t>(enum_value(mode));
  const auto id = static_cast<std::size_t>(beamId);
  if (m >= entry_generation_.size() || beamId < 1 || id >= entry_generation_[m].size()) {
    return modeGeneration(mode);
  }
  return std::max(tableGeneration(), load_count(entry_generation_[m][id]));
}

std::span<const std::uint64_t> BeamPatternTableManager::entryGenerations(RFMode mode) const {
  const auto m = static_cast<std::size_t>(enum_value(mode));
  return m < entry_generation_.size() ? std::span<const std::uint64_t>(entry_generation_[m])
                                      : std::span<const std::uint64_t>();
}

void BeamPatternTableManager::tableChanged() {
  store_count(table_generation_, ++changes_);
}

void BeamPatternTableManager::entryChanged(RFMode mode, std::int64_t beamId) {
  const auto m = static_cast<std::size_t>(enum_value(mode));
  const auto id = static_cast<std::size_t>(beamId);
  if (m >= entry_generation_.size() || beamId < 1 || id >= entry_generation_[m].size()) {
    tableChanged();
    return;
  }
  ++changes_;
  store_count(entry_generation_[m][id], changes_);
  store_count(mode_generation_[m], changes_);
}

void BeamPatternTableManager::_updateFreq(Value freq, Value DR, Value comDR, Value eleDR) {
  freq_ = std::move(freq);
  dr_ = std::move(DR);
  comdr_ = std::move(comDR);
  eledr_ = std::move(eleDR);
}

void BeamPatternTableManager::_updateAAKit(std::string kitName) {
  aakit_ = std::move(kitName);
}

RetType BeamPatternTableManager::getBeamIdStorage() const {
  return RetType::Data(num_beam_);
}

RetType BeamPatternTableManager::_load(const Value& freq, const std::string& aakit,
                                       const KwCallback& callback, bool answer_table) {
  logger_.info("Loading Beam Table by: {:.1f}GHz, AAKIT_NAME: '{}'", freq_as_double(freq), aakit);
  // Refused before anything changes: such a frequency names no table.
  if (const std::string problem = frequency_problem(freq); !problem.empty()) {
    logger_.error("{}", problem);
    return RetType(RetCode::ERROR_BF_BEAM, std::string(kLoadingFailed));
  }
  // The table being replaced is freed once it is known whether a large one follows.
  Value replaced = std::move(beam_table_);
  beam_table_ = nullptr;
  tableChanged();
  freq_ = freq;
  aakit_ = aakit;
  if (!web_mode_) {
    // The serial number and kit name become part of a file name: one that could reach out of
    // the table directory never names a file.
    unsafe_name_ = name_problem(sn_, aakit_);
    path_ = unsafe_name_.empty() ? (*default_dir_ / table_file_name(sn_, freq_, aakit_)).string()
                                 : std::string();
  }
  // A large table's memory is prepared beside the read, and that of the table it replaces
  // serves it rather than going back to the system and being taken again.
  value::TableBuild build(!callback && value::large_table_file(path_));
  build.replace(replaced);
  if (callback) {
    return callback(loadRequest(freq, aakit));
  }
  return loadTableFile(answer_table);
}

Value BeamPatternTableManager::loadRequest(const Value& freq, const std::string& aakit) const {
  Value payload = Value::object();
  payload["func_name"] = "_load";
  payload["freq"] = freq;
  payload["aakit"] = aakit;
  payload["devtype"] = devtype_;
  payload["num_beam"] = num_beam_;
  payload["rf_layout"] = Value::array({num_board_, num_ic_per_board_, num_channel_per_ic_});
  payload["check_funcs"] = nullptr;
  payload["web_client_id"] = nullptr;
  return payload;
}

RetType BeamPatternTableManager::loadTableFile(bool answer_table) {
  try {
    Value table = readTableFile();
    Value ver = nullptr;
    if (const auto it = table.find("VERSION"); it != table.end()) {
      ver = *it;
    }
    if (ver.is_null()) {
      ver = table.at("version");
      logger_.info("Beam Table version: {}", ver);
      // Converted in place on a table that is not yet loaded: a conversion that fails leaves
      // nothing a later save could write over the legacy file.
      RetType converted = convertLegacyTable(table, ver);
      if (!converted.ok()) {
        return converted;
      }
    } else {
      logger_.info("Beam Table version: {}", ver);
    }
    beam_table_ = std::move(table);
    tableChanged();
    logger_.info("Loaded Beam Table from: {}", path_);
    if (ver != Value(current_version())) {
      logger_.info("Upgrade Beam Table version to {}", BTField_version);
      RetType saved = _saveToBeamTableFile();
      if (!saved.ok()) {
        return saved;
      }
    }
    return answer_table ? RetType::Data(beam_table_) : RetType();
  } catch (...) {
    logger_.exception(kLoadingFailed);
    beam_table_ = nullptr;
    tableChanged();
    return RetType(RetCode::ERROR_BF_BEAM, std::string(kLoadingFailed));
  }
}

Value BeamPatternTableManager::readTableFile() {
  if (web_mode_) {
    throw OSError("a web-mode beam table has no file; load it through a callback");
  }
  if (!unsafe_name_.empty()) {
    throw ValueError(unsafe_name_);
  }
  if (!fs::exists(path_)) {
    if (!fs::is_directory(*default_dir_)) {
      fs::create_directories(*default_dir_);
    }
    generateDefaultBeamTableFile();
    beam_table_ = nullptr;
    tableChanged();
  }
  Value table = value::read_json_file(path_);
  if (!table.is_object()) {
    throw TypeError(fmt::format("a beam table must be a JSON object, not {}", table.type_name()));
  }
  return table;
}

RetType BeamPatternTableManager::_saveToBeamTableFile(const KwCallback& callback,
                                                      const Value& new_table) {
  if (callback) {
    Value payload = Value::object();
    payload["func_name"] = "_saveToBeamTableFile";
    if (!new_table.is_null()) {
      payload["new_table"] = new_table;
    }
    return callback(payload);
  }
  try {
    logger_.debug("Saving beam file to {}", path_);
    const Value& table = new_table.is_null() ? beam_table_ : new_table;
    if (path_.empty()) {
      throw OSError(unsafe_name_.empty() ? "no beam table file has been loaded" : unsafe_name_);
    }
    // Writing "null" would wipe the stored patterns.
    if (table.is_null()) {
      throw ValueError("no beam table to save");
    }
    value::write_json_file(path_, table, kTableIndent);
    return RetType();
  } catch (...) {
    logger_.exception(kSavingFailed);
    return RetType(RetCode::ERROR_BF_BEAM_FILE, std::string(kSavingFailed));
  }
}

// --- default beams and tables ------------------------------------------------------------

const Value& BeamPatternTableManager::comdrMax(RFMode mode, std::int64_t group) const {
  return comdr_.at(static_cast<std::size_t>(enum_value(mode)))
      .at(static_cast<std::size_t>(group - 1))
      .at(1);
}

const Value& BeamPatternTableManager::eledrLimit(RFMode mode, std::int64_t group) const {
  return eledr_.at(static_cast<std::size_t>(enum_value(mode)))
      .at(static_cast<std::size_t>(group - 1));
}

void BeamPatternTableManager::generateDefaultBeam(Value& beam, BeamType beam_type,
                                                  RFMode mode) const {
  if (!beam.is_object()) {
    throw TypeError(fmt::format("beam must be a dict, not {}", beam.type_name()));
  }
  beam["beam_description"] = "";
  beam["beam_type"] = beam_type_value(beam_type);
  if (beam_type == BeamType::BEAM) {
    Value config = Value::object();
    config["db"] = dr_.at(mode_name(mode)).at(1);
    config["theta"] = 0;
    config["phi"] = 0;
    beam["beam_config"] = std::move(config);
    return;
  }
  beam["channel_config"] = build_channel_config(
      total_ch_, num_channel_per_ic_, [&](std::int64_t k) { return comdrMax(mode, k); },
      [&](std::int64_t, std::int64_t k) { return channel_map(0, eledrLimit(mode, k), 0); });
}

RetType BeamPatternTableManager::generateDefaultBeamTableFile() {
  logger_.info("Generate Beam Table: {}", path_);
  try {
    beam_table_ = Value::object();
    beam_table_["VERSION"] = current_version();
    beam_table_["SN"] = sn_;
    beam_table_["DEV_TYPE"] = devtype_;
    beam_table_["FREQ"] = freq_;
    beam_table_["AAKIT_NAME"] = aakit_;
    for (const auto& [name, mode] : enum_members<RFMode>()) {
      beam_table_[std::string(name)] = Value::object();
    }
    tableChanged();
    _saveToBeamTableFile();
    return RetType::Data(beam_table_);
  } catch (...) {
    logger_.exception(kGeneratingFailed);
    return RetType(RetCode::ERROR_BF_BEAM, std::string(kGeneratingFailed));
  }
}

RetType BeamPatternTableManager::convertLegacyTable(Value& table, const Value& ver) {
  if (!ver.is_string()) {
    throw TypeError(
        fmt::format("'<' not supported between instances of '{}' and 'str'", ver.type_name()));
  }
  // Versions compare as text, character by character.
  if (ver.get_ref<const std::string&>() < kLegacyVersionLimit) {
    liftOldestBeamFields(table);
  }
  table.erase("version");
  table["VERSION"] = current_version();
  table["DEV_TYPE"] = devtype_;
  table["FREQ"] = freq_;
  table["AAKIT_NAME"] = aakit_;
  for (const auto& [name_view, mode] : enum_members<RFMode>()) {
    const std::string name(name_view);
    const std::string list_key = name + "_beam_list";
    const Value list = std::move(table.at(list_key));
    table.erase(list_key);
    if (!list.is_array()) {
      throw TypeError(fmt::format("{} must be a list", list_key));
    }
    Value mode_map = Value::object();
    RetType converted = convertLegacyBeams(list, name, mode, mode_map);
    if (!converted.ok()) {
      return converted;
    }
    table[name] = std::move(mode_map);
  }
  return RetType();
}

void BeamPatternTableManager::liftOldestBeamFields(Value& table) const {
  for (const auto& [name, mode] : enum_members<RFMode>()) {
    Value& list = table.at(std::string(name) + "_beam_list");
    if (!list.is_array()) {
      throw TypeError(fmt::format("{}_beam_list must be a list", name));
    }
    for (Value& beam : list) {
      // With a kit, the steering fields of the oldest tables become a steered beam.
      if (!aakit_.empty()) {
        Value config = Value::object();
        config["db"] = beam.at("db");
        config["theta"] = beam.at("theta");
        config["phi"] = beam.at("phi");
        as_map(beam, "beam object")["beam_type"] = beam_type_value(BeamType::BEAM);
        beam["beam_config"] = std::move(config);
      }
      for (const char* key : {"db", "theta", "phi", "channel_switch"}) {
        erase_key(beam, key);
      }
    }
  }
}

RetType BeamPatternTableManager::convertLegacyBeams(const Value& list, const std::string& name,
                                                    RFMode mode, Value& mode_map) const {
  const Value beam_value = beam_type_value(BeamType::BEAM);
  Value default_beam = Value::object();
  generateDefaultBeam(default_beam, BeamType::BEAM, mode);
  Value default_channel = Value::object();
  generateDefaultBeam(default_channel, BeamType::CHANNEL, mode);
  logger_.debug("[{}] Default beam config: {}", name, default_beam);
  logger_.debug("[{}] Default channel config: {}", name, default_channel);

  for (const Value& beam : list) {
    const std::string id = value::str(beam.at("beamId"));
    Value entry = Value::object();
    entry["beam_description"] = "";
    const auto type_it = beam.find("beam_type");
    if (type_it == beam.end() || type_it->is_null()) {
      continue;
    }
    entry["beam_type"] = *type_it;
    if (*type_it == beam_value) {
      entry["beam_config"] = beam.at("beam_config");
    } else {
      RetType converted = convertLegacyChannels(beam, name, mode, entry);
      if (!converted.ok()) {
        return converted;
      }
    }
    logger_.debug("Transfer config: [{}][{}] {}", name, id, beam);
    mode_map[id] = std::move(entry);
  }
  return RetType();
}

RetType BeamPatternTableManager::convertLegacyChannels(const Value& beam, const std::string& name,
                                                       RFMode mode, Value& entry) const {
  const Value& channels = beam.at("channel_config");
  if (!channels.is_array()) {
    throw TypeError("channel_config of a legacy beam must be a list");
  }
  if (static_cast<std::int64_t>(channels.size()) != total_ch_) {
    std::string msg =
        fmt::format("{} BeamID:{}: count of channel_config({}) not match with channel count({})",
                    name, percent_d(beam.at("beamId")), channels.size(), total_ch_);
    logger_.error("{}", msg);
    return RetType(RetCode::ERROR_BF_BEAM_FILE, std::move(msg));
  }
  const std::vector<std::int64_t> first = first_position_of_channels(channels, total_ch_);
  for (std::int64_t ch = 1; ch <= total_ch_; ++ch) {
    if (first[static_cast<std::size_t>(ch)] < 0) {
      std::string msg = fmt::format("Can not find channel seq: {}", ch);
      logger_.error("{}", msg);
      return RetType(RetCode::ERROR_BF_BEAM_FILE, std::move(msg));
    }
  }
  // Gains above what the section can reach are clamped to its COMDR maximum plus its ELEDR
  // limit; the common gain is left for the device to set.
  entry["channel_config"] = build_channel_config(
      total_ch_, num_channel_per_ic_, [](std::int64_t) { return Value(nullptr); },
      [&](std::int64_t ch, std::int64_t k) {
        const Value& element =
            channels[static_cast<std::size_t>(first[static_cast<std::size_t>(ch)])];
        const Value& db = element.at("db");
        const Value ceiling = add_numbers(comdrMax(mode, k), eledrLimit(mode, k));
        return channel_map(element.at("sw"), less_than(ceiling, db) ? ceiling : db,
                           element.at("deg"));
      });
  return RetType();
}

// --- single beams ------------------------------------------------------------------------

RetType BeamPatternTableManager::getBeamPattern(RFModeArg mode, std::int64_t beamId) {
  if (beam_table_.is_null()) {
    RetType ret(RetCode::ERROR_BF_BEAM, std::string(kNotReady));
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  const RFMode m = to_mode(mode);
  const Value& mode_map = beam_table_.at(mode_name(m));
  if (!mode_map.is_object()) {
    throw TypeError(
        fmt::format("the {} beams must be a dict, not {}", mode_name(m), mode_map.type_name()));
  }
  if (beamId < 1 || beamId > num_beam_) {
    RetType ret(RetCode::ERROR_BF_BEAM, fmt::format("Invaid beam id: {}", beamId));
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  if (const auto it = mode_map.find(std::to_string(beamId)); it != mode_map.end()) {
    return RetType::Data(*it);
  }
  Value beam = Value::object();
  generateDefaultBeam(beam, BeamType::CHANNEL, m);
  return RetType::Data(std::move(beam));
}

RetType BeamPatternTableManager::setBeamPattern(RFModeArg mode, std::int64_t beamId,
                                                BeamTypeArg beamType, const Value& config,
                                                const Value& description, bool save) {
  const Value type_value = std::visit(
      [](auto t) -> Value {
        if constexpr (std::is_same_v<decltype(t), BeamType>) {
          return beam_type_value(t);
        } else {
          return t;
        }
      },
      beamType);
  return setBeam(mode, beamId, type_value, config, description, save);
}

RetType BeamPatternTableManager::checkBeam(RFMode mode, const Value& db, const Value& theta,
                                           const Value& phi) const {
  return call_check(func_beam_checking_, "beam checking", mode, db, theta, phi, Value(nullptr));
}

RetType BeamPatternTableManager::setBeam(const RFModeArg& mode, std::int64_t beamId,
                                         const Value& beamType, const Value& config,
                                         const Value& description, bool save) {
  if (!config.is_null() && !config.is_object()) {
    throw TypeError(fmt::format("config must be a dict or None, not {}", config.type_name()));
  }
  if (!description.is_null() && !description.is_string()) {
    throw TypeError(
        fmt::format("description must be a str or None, not {}", description.type_name()));
  }
  try {
    const RFMode m = to_mode(mode);
    RetType current = getBeamPattern(m, beamId);
    if (!current.ok()) {
      return current;
    }
    // A copy: the stored entry changes only once every check has passed.
    Value entry = std::move(current.RetData);
    const BeamType type = to_beam_type(beamType);
    if (!description.is_null()) {
      as_map(entry, "beam entry")["beam_description"] = description;
    }
    as_map(entry, "beam entry")["beam_type"] = beam_type_value(type);
    const RetType checked = type == BeamType::BEAM
                                ? checkSteeredEntry(entry, m, config, description)
                                : checkChannelEntry(entry, m, beamId, config);
    if (!checked.ok()) {
      return checked;
    }
    return storeBeam(m, beamId, std::move(entry), save);
  } catch (...) {
    logger_.exception(kSetFailed);
    return RetType(RetCode::ERROR_BF_BEAM, std::string(kSetFailed));
  }
}

RetType BeamPatternTableManager::checkSteeredEntry(Value& entry, RFMode mode, const Value& config,
                                                   const Value& description) const {
  // A channel beam becomes a steered one from the default steering.
  if (has_non_null(entry, "channel_config")) {
    Value fresh = Value::object();
    generateDefaultBeam(fresh, BeamType::BEAM, mode);
    if (!description.is_null()) {
      fresh["beam_description"] = description;
    }
    entry = std::move(fresh);
  }
  const Value& source = config.is_null() ? entry.at("beam_config") : config;
  const RetType checked = checkBeam(mode, source.at("db"), source.at("theta"), source.at("phi"));
  if (!checked.ok()) {
    return checked;
  }
  // The device may adjust the steering it accepted.
  const Value& values = checked.RetData;
  if (!values.is_array() || values.size() != 3) {
    throw ValueError(
        fmt::format("the beam check must answer three values, not {}", value::repr(values)));
  }
  Value& beam_config = as_map(entry.at("beam_config"), "beam_config");
  beam_config["db"] = values[0];
  beam_config["theta"] = values[1];
  beam_config["phi"] = values[2];
  return RetType();
}

RetType BeamPatternTableManager::checkChannelEntry(Value& entry, RFMode mode, std::int64_t beamId,
                                                   const Value& config) const {
  if (has_non_null(entry, "beam_config") && config.is_null()) {
    // The stored steered beam goes; the default channel beam stands in for it.
    logger_.debug("Skip check beam:{} due to original type is beam_config", beamId);
    entry = nullptr;
    return RetType();
  }
  if (config.is_null()) {
    logger_.debug("Skip assign channel config, just checking original gains");
  } else {
    merge_channel_config(entry, config);
  }
  RetType validated;
  try {
    validated = validateChannelConfig(entry, mode);
  } catch (...) {
    logger_.exception("Invalid channel config");
    validated = RetType(RetCode::ERROR_BF_BEAM, "Invalid channel config");
  }
  if (!validated.ok()) {
    RetType ret(RetCode::ERROR_BF_BEAM, fmt::format("BeamID_{}: Checking channel config failed: {}",
                                                    beamId, validated.RetMsg));
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  return RetType();
}

RetType BeamPatternTableManager::storeBeam(RFMode mode, std::int64_t beamId, Value entry,
                                           bool save) {
  // The device checks may have run while other callers used the manager: the entry goes into
  // the table loaded now, and only if there still is one.
  if (beam_table_.is_null()) {
    RetType ret(RetCode::ERROR_BF_BEAM, std::string(kNotReady));
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  logger_.info("Set/update beam:{} pattern -> {}", beamId, entry);
  Value& mode_map = beam_table_.at(mode_name(mode));
  const std::string id = std::to_string(beamId);
  if (entry.is_null()) {
    mode_map.erase(id);
  } else {
    mode_map[id] = std::move(entry);
  }
  entryChanged(mode, beamId);
  return save ? _saveToBeamTableFile() : RetType();
}

RetType BeamPatternTableManager::validateChannelConfig(const Value& config, RFMode mode) const {
  return checkChannelGroups(config, mode, false);
}

RetType BeamPatternTableManager::checkChannelGroups(const Value& entry, RFMode mode,
                                                    bool batch_wording) const {
  const Value& channel_config = entry.at("channel_config");
  // Every IC section is a group of its own, however many boards carry them.
  const std::int64_t groups = num_channel_per_ic_ > 0 ? total_ch_ / num_channel_per_ic_ : 0;
  for (std::int64_t b = 0; b < groups; ++b) {
    const Value& group = channel_config.at(group_key(b + 1));
    const Value& common = group.at("common_db");
    Value gains = Value::array();
    for (std::int64_t n = 1; n <= num_channel_per_ic_; ++n) {
      gains.push_back(group.at(channel_key(n)).at("db"));
    }
    if (batch_wording) {
      logger_.debug("Checking board_{} gain list: {} with common gain: {}", b + 1, gains, common);
    } else {
      logger_.debug("Checking board_{} with common gain: {} gain list: {}", b + 1, common, gains);
    }
    const RetType checked =
        call_check(func_ic_gain_checking_, "group gain checking", mode, b, gains, common);
    if (!checked.ok()) {
      RetType ret(RetCode::ERROR_BF_BEAM, fmt::format("Checking board_{} gain list failed", b + 1));
      logger_.error("{}", ret.RetMsg);
      return ret;
    }
    logger_.debug("Checked  board_{} gain list: {}", b + 1, gains);
  }
  return RetType();
}

// --- batches -----------------------------------------------------------------------------

RetType BeamPatternTableManager::_getBatchBeamPattern(ModeFilterArg mode_filter,
                                                      const KwCallback& callback) {
  const BTModeFilter filter =
      std::holds_alternative<BTModeFilter>(mode_filter)
          ? std::get<BTModeFilter>(mode_filter)
          : flag_from_value<BTModeFilter>(std::get<std::int64_t>(mode_filter));
  logger_.info("getBatchBeamPattern with filter: {}", flag_text(filter));
  if (callback) {
    logger_.info("calling _load()");
    RetType loaded = _load(freq_, aakit_, callback);
    if (!loaded.ok()) {
      return loaded;
    }
    beam_table_ = std::move(loaded.RetData);
    tableChanged();
  } else if (beam_table_.is_null()) {
    RetType ret(RetCode::ERROR_BF_BEAM, std::string(kNotReady));
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  Value result = Value::object();
  for (const auto& [name, mode] : enum_members<RFMode>()) {
    const auto flag = enum_from_name<BTModeFilter>(name);
    if (has_flag(filter, flag)) {
      result[std::string(name)] = beam_table_.at(std::string(name));
    }
  }
  return RetType::Data(std::move(result));
}

RetType BeamPatternTableManager::_setBatchBeamPattern(const Value& batch_config,
                                                      SetOptionArg option,
                                                      const KwCallback& callback) {
  if (!batch_config.is_object()) {
    throw TypeError(fmt::format("batch_config must be a dict, not {}", batch_config.type_name()));
  }
  const BTSetOption opt = std::holds_alternative<BTSetOption>(option)
                              ? std::get<BTSetOption>(option)
                              : flag_from_value<BTSetOption>(std::get<std::int64_t>(option));
  logger_.info("setBatchBeamPattern with option: {}", flag_text(opt));
  if (has_flag(opt, BTSetOption::SAVE)) {
    return saveBatch(batch_config, has_flag(opt, BTSetOption::REPLACE_ALL), callback);
  }
  RetType answer;
  if (has_flag(opt, BTSetOption::VALIDATE)) {
    answer = validateBatch(batch_config);
    if (!answer.ok()) {
      return answer;
    }
  }
  if (has_flag(opt, BTSetOption::GET)) {
    answer.RetData = batch_config;
  }
  return answer;
}

RetType BeamPatternTableManager::saveBatch(const Value& batch_config, bool replace_all,
                                           const KwCallback& callback) {
  if (replace_all) {
    if (!beam_table_.is_object()) {
      throw TypeError("no beam table is loaded");
    }
    // Both modes are looked up before either is replaced, so a batch that lacks one changes
    // nothing.
    for (const auto& [name, mode] : enum_members<RFMode>()) {
      batch_config.at(std::string(name));
    }
    for (const auto& [name, mode] : enum_members<RFMode>()) {
      beam_table_[std::string(name)] = batch_config.at(std::string(name));
    }
    tableChanged();
  } else {
    // The batch may be the loaded table itself; merging into it must not move what is being
    // read.
    const Value own_copy = &batch_config == &beam_table_ ? batch_config : Value();
    RetType merged = mergeBatch(&batch_config == &beam_table_ ? own_copy : batch_config);
    if (!merged.ok()) {
      return merged;
    }
  }
  RetType saved = _saveToBeamTableFile(callback, beam_table_);
  if (!saved.ok()) {
    return saved;
  }
  return RetType::Data(beam_table_);
}

RetType BeamPatternTableManager::mergeBatch(const Value& batch) {
  const Value beam_value = beam_type_value(BeamType::BEAM);
  return for_each_batch_entry(batch, [&](RFMode mode, const std::string& id, const Value& entry) {
    const Value& type = entry.at("beam_type");
    const Value& config = type == beam_value ? entry.at("beam_config") : entry.at("channel_config");
    return setBeam(mode, value::parse_int(id), type, config, entry.at("beam_description"), false);
  });
}

RetType BeamPatternTableManager::validateBatch(const Value& batch_config) const {
  const Value beam_value = beam_type_value(BeamType::BEAM);
  return for_each_batch_entry(
      batch_config, [&](RFMode mode, const std::string&, const Value& entry) {
        if (entry.at("beam_type") == beam_value) {
          const Value& config = entry.at("beam_config");
          return checkBeam(mode, config.at("db"), config.at("theta"), config.at("phi"));
        }
        return checkChannelGroups(entry, mode, true);
      });
}

// --- stand-ins ---------------------------------------------------------------------------

Value fake_rf_layout() {
  return Value::array({4, 1, 4});
}

RetType fake_check(const Value& /*a*/, const Value& b, const Value& c, const Value& d) {
  return RetType::Data(Value::array({b, c, d}));
}

RetType fake_ic_check(const Value& /*a*/, const Value& /*b*/, const Value& c) {
  return RetType::Data(c);
}

}  // namespace arvcore::vlndev
