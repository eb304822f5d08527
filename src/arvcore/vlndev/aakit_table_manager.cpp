#include "arvcore/vlndev/aakit_table_manager.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <unistd.h>

#include "arvcore/base/change_count.hpp"
#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/enums.hpp"

namespace arvcore::vlndev {
namespace {

constexpr std::string_view kFilePrefix = "AAKIT_";
constexpr std::string_view kFileSuffix = ".csv";

template <class Convert>
Value convert_list(const Value& list, Convert convert) {
  if (!list.is_array()) {
    throw TypeError(fmt::format("'{}' object is not a list", value::py_type_name(list)));
  }
  Value out = Value::array();
  for (const auto& e : list) {
    out.push_back(convert(e));
  }
  return out;
}

// An offset argument: a list of channel steps, or a map from polarization name to such lists.
Value convert_offsets(const Value& offsets) {
  if (offsets.is_array()) {
    return convert_list(offsets, value::to_int);
  }
  if (!offsets.is_object()) {
    throw TypeError(
        fmt::format("'{}' object has no attribute 'items'", value::py_type_name(offsets)));
  }
  Value out = Value::object();
  for (const auto& [pol, list] : offsets.items()) {
    out[pol] = convert_list(list, value::to_int);
  }
  return out;
}

// Python's mapping[key]: KeyError naming the key.
const Value& at_key(const Value& map, const std::string& key) {
  if (!map.is_object()) {
    throw TypeError(
        fmt::format("'{}' object is not subscriptable by name", value::py_type_name(map)));
  }
  const auto it = map.find(key);
  if (it == map.end()) {
    throw KeyError(key);
  }
  return *it;
}

// Text of one written cell, as a CSV writer renders the value.
std::string cell_text(const Value& v) {
  return v.is_null() ? std::string() : value::str(v);
}

// --- time suffix ---------------------------------------------------------------------------

// One way a date directive can match: one set of accepted characters per position.
using Alternative = std::vector<std::string_view>;
constexpr std::string_view kDigit = "0123456789";
constexpr std::string_view kNonZero = "123456789";

// "%Y%m%d%H%M%S" as the host's date parser reads it: the first match found, alternatives
// tried in order, and no second attempt when it leaves text over.
const std::array<std::vector<Alternative>, 6>& date_directives() {
  static const std::array<std::vector<Alternative>, 6> directives{{
      {{kDigit, kDigit, kDigit, kDigit}},
      {{"1", "012"}, {"0", kNonZero}, {kNonZero}},
      {{"3", "01"}, {"12", kDigit}, {"0", kNonZero}, {kNonZero}, {" ", kNonZero}},
      {{"2", "0123"}, {"01", kDigit}, {kDigit}},
      {{"012345", kDigit}, {kDigit}},
      {{"6", "01"}, {"012345", kDigit}, {kDigit}},
  }};
  return directives;
}

bool match_directives(std::string_view text, std::size_t directive, std::size_t pos,
                      std::array<int, 6>& fields, std::size_t& end) {
  if (directive == fields.size()) {
    end = pos;
    return true;
  }
  for (const Alternative& alt : date_directives()[directive]) {
    if (pos + alt.size() > text.size()) {
      continue;
    }
    bool ok = true;
    int number = 0;
    for (std::size_t i = 0; i < alt.size() && ok; ++i) {
      const char c = text[pos + i];
      ok = alt[i].find(c) != std::string_view::npos;
      if (c != ' ') {
        number = number * 10 + (c - '0');
      }
    }
    if (ok) {
      fields[directive] = number;
      if (match_directives(text, directive + 1, pos + alt.size(), fields, end)) {
        return true;
      }
    }
  }
  return false;
}

bool is_leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool parse_date_time(std::string_view text) {
  std::array<int, 6> f{};
  std::size_t end = 0;
  if (!match_directives(text, 0, 0, f, end) || end != text.size()) {
    return false;
  }
  static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int year = f[0];
  const int month = f[1];
  const int days = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && is_leap(year));
  return year >= 1 && f[2] <= days && f[5] <= 59;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// "%z": sign, two hour digits, optional ":", minutes, then optionally seconds (with the same
// separator) and up to six fraction digits; the offset must stay within a day.
bool parse_utc_offset(std::string_view z) {
  if (z.size() < 5 || (z[0] != '+' && z[0] != '-') || !is_digit(z[1]) || !is_digit(z[2])) {
    return false;
  }
  std::size_t i = 3;
  const bool colon = z[i] == ':';
  if (colon) {
    ++i;
  }
  auto two = [&](std::size_t at) {
    return at + 2 <= z.size() && z[at] >= '0' && z[at] <= '5' && is_digit(z[at + 1]);
  };
  if (!two(i)) {
    return false;
  }
  i += 2;
  if (i < z.size()) {
    const bool second_colon = z[i] == ':';
    if (second_colon != colon) {
      return false;
    }
    if (second_colon) {
      ++i;
    }
    if (!two(i)) {
      return false;
    }
    i += 2;
    if (i < z.size()) {
      if (z[i] != '.') {
        return false;
      }
      const std::size_t digits = z.size() - i - 1;
      if (digits < 1 || digits > 6 ||
          !std::all_of(z.begin() + static_cast<std::ptrdiff_t>(i) + 1, z.end(), is_digit)) {
        return false;
      }
    }
  }
  const int hours = (z[1] - '0') * 10 + (z[2] - '0');
  return hours < 24;
}

// Drops the last `n` characters (not bytes) of UTF-8 text.
std::string_view drop_last_chars(std::string_view s, std::size_t n) {
  for (; n > 0 && !s.empty(); --n) {
    while (s.size() > 1 && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) {
      s.remove_suffix(1);
    }
    s.remove_suffix(1);
  }
  return s;
}

}  // namespace

// --- construction ---------------------------------------------------------------------------

AAKitTableManager::AAKitTableManager(std::int64_t devtype, std::int64_t total_ch,
                                     std::string /*path*/, std::int64_t num_polar,
                                     std::vector<std::int64_t> support_dev, bool is_web_mode)
    : logger_("AAKitTbl"),
      devtype_(devtype),
      num_polarization_(num_polar),
      support_devs_(std::move(support_dev)),
      total_ch_(total_ch),
      web_mode_(is_web_mode) {
  if (!web_mode_) {
    default_dir_ = std::filesystem::path(Utils::get_files_dir());
  }
}

std::int64_t AAKitTableManager::fieldLimit(const std::string& field_name) const {
  if (field_name == "SPACING" || field_name == "STEERING_H" || field_name == "STEERING_V") {
    return 2;
  }
  if (field_name == "OFFSET_TX" || field_name == "OFFSET_RX") {
    return total_ch_ * num_polarization_;
  }
  throw KeyError(field_name);
}

// --- helpers --------------------------------------------------------------------------------

bool AAKitTableManager::isValidAAKitName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

RetType AAKitTableManager::logged_error(RetCode code, std::string msg) const {
  logger_.error("{}", msg);
  return RetType(code, std::move(msg));
}

RetType AAKitTableManager::invalidName(const std::string& name) const {
  return logged_error(RetCode::ERROR_BF_AAKIT, fmt::format("Invalid AAKit name: {}", name));
}

std::filesystem::path AAKitTableManager::kitFilePath(const std::string& kitName) const {
  if (!default_dir_) {
    throw OSError("no data directory in web mode");
  }
  return *default_dir_ / fmt::format("{}{}{}", kFilePrefix, kitName, kFileSuffix);
}

// --- files ------------------------------------------------------------------------------------

std::vector<std::string> AAKitTableManager::_getAAKitTablePath() const {
  std::vector<std::string> paths;
  if (!default_dir_) {
    return paths;
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(*default_dir_, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (file.size() >= kFilePrefix.size() + kFileSuffix.size() && file.starts_with(kFilePrefix) &&
        file.ends_with(kFileSuffix)) {
      paths.push_back((*default_dir_ / file).string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

AAKitFileReading AAKitTableManager::readKitFile(const std::filesystem::path& file) const {
  AAKitFileReading out;
  const std::string path = file.string();
  try {
    std::istringstream in(value::read_text_file(file));
    value::CsvReader reader(in);
    value::CsvRow row;
    while (reader.next(row)) {
      if (!row.empty() && !readKitRow(row, path, out)) {
        break;
      }
    }
    if (out.name.empty()) {
      skipKitFile(out, log::Level::error, fmt::format("Skip {} due to unknown file", path));
    } else if (!isValidAAKitName(out.name)) {
      // The name becomes a file name when the kit is saved or renamed.
      skipKitFile(out, log::Level::error,
                  fmt::format("Skip {}, Invalid AAKit name: {}", path, out.name));
    }
  } catch (...) {
    logger_.exception("exception");
    out.reasons.push_back("exception: " + log::describe(std::current_exception()));
    out.skipped = true;
  }
  return out;
}

bool AAKitTableManager::readKitRow(const value::CsvRow& row, const std::string& path,
                                   AAKitFileReading& out) const {
  const std::string key(row[0]);
  const std::size_t count = row.size() - 1;
  auto cell = [&](std::size_t i) {
    if (i >= count) {
      throw IndexError("list index out of range");
    }
    return row[i + 1];
  };
  if (key == "AAKIT_NAME") {
    out.name = std::string(cell(0));
  } else if (key == "DEV_TYPE") {
    const std::int64_t code = value::parse_int(cell(0));
    if (std::find(support_devs_.begin(), support_devs_.end(), code) == support_devs_.end()) {
      skipKitFile(out, log::Level::warning,
                  fmt::format("Skip {}, due to dev type({}) not match", path, code));
      return false;
    }
    out.record["DEV_TYPE"] = code;
  } else if (key == "TYPE") {
    const std::int64_t type = value::parse_int(cell(0));
    if (type > 1) {
      skipKitFile(out, log::Level::error, fmt::format("Unknown custom type: {}", type));
      return false;
    }
    out.record["TYPE"] = type;
  } else if (key == "SPACING" || key == "STEERING_H" || key == "STEERING_V") {
    out.record[key] = Value::array({value::parse_float(cell(0)), value::parse_float(cell(1))});
  } else if (key == "OFFSET_TX" || key == "OFFSET_RX") {
    if (static_cast<std::int64_t>(count) != total_ch_) {
      skipKitFile(out, log::Level::error,
                  fmt::format("{}: number of channel:{} not equal to {}", key, count, total_ch_));
      return false;
    }
    Value steps = Value::array();
    for (std::size_t i = 0; i < count; ++i) {
      steps.push_back(value::parse_int(cell(i)));
    }
    out.record[key] = std::move(steps);
  }
  return true;
}

void AAKitTableManager::skipKitFile(AAKitFileReading& out, log::Level level,
                                    std::string msg) const {
  logger_.log(level, "{}", msg);
  out.reasons.push_back(std::move(msg));
  out.skipped = true;
}

RetType AAKitTableManager::parse() {
  if (web_mode_) {
    return RetType();
  }
  const CountedChange change(changes_);
  const std::vector<std::string> files = _getAAKitTablePath();
  if (files.empty()) {
    return logged_error(RetCode::ERROR_BF_NO_AAKIT,
                        fmt::format("'{}' does not exist any AAKit table", default_dir_->string()));
  }
  table_ = Value::object();
  for (const std::string& file : files) {
    AAKitFileReading reading = readKitFile(file);
    if (reading.skipped) {
      continue;
    }
    const bool custom = reading.record.contains("TYPE") && reading.record["TYPE"] == Value(1);
    table_[reading.name] = std::move(reading.record);
    logger_.info("Parsing ({}){} done", reading.name, file);
    if (!custom) {
      continue;
    }
    const auto sep = reading.name.rfind('_');
    if (sep != std::string::npos &&
        checkAAKitTimeFormat(std::string_view(reading.name).substr(sep + 1))) {
      logger_.debug("Valid custom AAKit name");
    } else {
      renameOldFormKit(reading.name);
    }
  }
  if (table_.empty()) {
    return logged_error(RetCode::ERROR_BF_NO_AAKIT, "No available AAKit table here");
  }
  return RetType();
}

void AAKitTableManager::renameOldFormKit(const std::string& oldName) {
  logger_.info("Invalid custom AAKit name(old format): {}", oldName);
  const std::string newName = computeAAKitFullName(oldName);
  table_[newName] = table_[oldName];
  logger_.info(" -> new custom AAKit name(new format): {}", newName);
  const RenameResult result = renameAAKit(oldName, newName);
  if (result.ret.ok()) {
    return;
  }
  logger_.error("{}", result.ret.RetMsg);
  if (result.stage == RenameStage::checks || result.stage == RenameStage::save) {
    // Nothing was written under the new name: the kit lives on under its old name and file.
    table_.erase(newName);
  }
}

// --- listing, selection, info -------------------------------------------------------------

RetType AAKitTableManager::getAAKitList(bool force_refresh, const AAKitFetchFn& callback) {
  std::optional<CountedChange> change;
  if (callback || force_refresh || table_.empty()) {
    change.emplace(changes_);
  }
  if (callback) {
    RetType fetched = callback(devtype_, total_ch_, Value(support_devs_));
    if (!fetched.ok()) {
      return fetched;
    }
    if (!fetched.RetData.is_object()) {
      throw TypeError(fmt::format("AAKit table must be a dict, not '{}'",
                                  value::py_type_name(fetched.RetData)));
    }
    table_ = std::move(fetched.RetData);
  }
  if (force_refresh || table_.empty()) {
    parse();
  }
  Value names = Value::array();
  for (const auto& [name, record] : table_.items()) {
    names.push_back(name);
  }
  return RetType::Data(std::move(names));
}

RetType AAKitTableManager::_selectAAKit(const std::string& kitName) {
  if (!kitName.empty() && !table_.contains(kitName)) {
    return logged_error(RetCode::ERROR_BF_NO_AAKIT,
                        fmt::format("There is NOT matched AAKit name: {}", kitName));
  }
  const CountedChange change(changes_);
  aakit_name_ = kitName;
  return RetType();
}

RetType AAKitTableManager::getAAKitInfo(const std::optional<std::string>& kitName, bool local) {
  RetType ret;
  try {
    if (kitName && !kitName->empty()) {
      ret.RetData = at_key(table_, *kitName);
    } else if (local) {
      ret.RetData = table_;
    } else if (aakit_name_.empty()) {
      ret.RetCode = RetCode::ERROR_BF_AAKIT;
      ret.RetMsg = "Fail to getAAKitInfo, please call selectAAKit() first";
      logger_.error("{}", ret.RetMsg);
    } else {
      ret.RetData = at_key(table_, aakit_name_);
    }
  } catch (...) {
    ret.RetCode = RetCode::ERROR_BF_AAKIT;
    ret.RetMsg = "getAAKitInfo exception";
    ret.RetData = nullptr;
    logger_.exception(ret.RetMsg);
  }
  return ret;
}

// --- editing ----------------------------------------------------------------------------------

bool AAKitTableManager::checkAAKitField(const std::string& field_name, const Value& field) const {
  const std::int64_t limit = fieldLimit(field_name);
  // Values come as lists, or as a map from polarization to lists. Anything else (a text, a
  // number) cannot hold the values at all and fails like a wrong count.
  auto wrong_kind = [&](const Value& v, std::string_view form) {
    logger_.error("setAAKitInfo: Wrong kind:{} of value for {}field: {}", value::py_type_name(v),
                  form, field_name);
    return false;
  };
  if (field.is_object()) {
    std::int64_t sum = 0;
    for (const auto& [pol, list] : field.items()) {
      if (!list.is_array()) {
        return wrong_kind(list, "dict ");
      }
      sum += static_cast<std::int64_t>(list.size());
    }
    if (sum != limit) {
      logger_.error("setAAKitInfo: Wrong counts:{} of value for dict field: {}", sum, field_name);
      return false;
    }
    return true;
  }
  if (!field.is_array()) {
    return wrong_kind(field, "");
  }
  if (static_cast<std::int64_t>(field.size()) != limit) {
    logger_.error("setAAKitInfo: Wrong counts:{} of value for field: {}", field.size(), field_name);
    return false;
  }
  return true;
}

RetType AAKitTableManager::setAAKitInfo(const Value& kitName, const Value& spacing,
                                        const Value& steeringH, const Value& steeringV,
                                        const Value& offsetTx, const Value& offsetRx,
                                        std::int64_t custom, const KwCallback& callback,
                                        const Value& dev_type, const Value& newKitName) {
  const CountedChange change(changes_);
  if (!kitName.is_string()) {
    throw TypeError(fmt::format("kitName must be str, not '{}'", value::py_type_name(kitName)));
  }
  for (const auto& [arg, value] :
       {std::pair{"spacing", &spacing}, std::pair{"steeringH", &steeringH},
        std::pair{"steeringV", &steeringV}}) {
    if (!value->is_array()) {
      throw TypeError(fmt::format("{} must be list, not '{}'", arg, value::py_type_name(*value)));
    }
  }
  const std::string& name = kitName.get_ref<const std::string&>();
  if (!isValidAAKitName(name)) {
    return invalidName(name);
  }
  if (newKitName.is_string() && !isValidAAKitName(newKitName.get_ref<const std::string&>())) {
    return invalidName(newKitName.get<std::string>());
  }

  RetType ret(RetCode::ERROR_BF_AAKIT, "AAKit field checking failed");
  try {
    // A kit of a device type given by the caller comes as it is stored, unchecked.
    if (dev_type.is_null()) {
      const Value failed =
          failedKitFields({&spacing, &steeringH, &steeringV, &offsetTx, &offsetRx});
      if (!failed.empty()) {
        ret.RetMsg += ": " + value::repr(failed);
        return ret;
      }
    }
    Value record = Value::object();
    record["DEV_TYPE"] = dev_type.is_null() ? Value(devtype_) : dev_type;
    record["TYPE"] = custom;
    record["SPACING"] = convert_list(spacing, value::to_float);
    record["STEERING_H"] = convert_list(steeringH, value::to_float);
    record["STEERING_V"] = convert_list(steeringV, value::to_float);
    record["OFFSET_TX"] = convert_offsets(offsetTx);
    record["OFFSET_RX"] = convert_offsets(offsetRx);
    return storeKit(name, std::move(record), custom, callback, newKitName);
  } catch (...) {
    ret.RetMsg = "exception";
    logger_.exception(ret.RetMsg);
    return ret;
  }
}

Value AAKitTableManager::failedKitFields(const std::array<const Value*, 5>& values) const {
  static constexpr std::array<const char*, 5> kFields{"SPACING", "STEERING_H", "STEERING_V",
                                                      "OFFSET_TX", "OFFSET_RX"};
  Value failed = Value::array();
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (!checkAAKitField(kFields[i], *values[i])) {
      failed.push_back(kFields[i]);
    }
  }
  return failed;
}

RetType AAKitTableManager::storeKit(std::string name, Value record, std::int64_t custom,
                                    const KwCallback& callback, const Value& newKitName) {
  if (!table_.contains(name)) {
    if (custom == 1) {
      logger_.debug("Set new AAKit");
      if (callback) {
        name = computeAAKitFullName(name);
      }
    } else {
      logger_.debug("WEB-ARV loaded official AAKit");
    }
    table_[name] = std::move(record);
  } else if (custom == 1) {
    if (newKitName.is_null()) {
      logger_.debug("Exist the same AAKit -> just update");
      Value& stored = table_[name];
      for (auto& [key, value] : record.items()) {
        stored[key] = std::move(value);
      }
    } else {
      if (!newKitName.is_string()) {
        throw TypeError(fmt::format("can only concatenate str (not \"{}\") to str",
                                    value::py_type_name(newKitName)));
      }
      const std::string newName = computeAAKitFullName(newKitName.get<std::string>());
      table_[newName] = std::move(record);
      RenameResult renamed = renameAAKit(name, newName, callback);
      if (!renamed.ret.ok()) {
        logger_.error("Rename file failed");
        return renamed.ret;
      }
      name = newName;
    }
  } else {
    logger_.warning("Duplicated official AAKit case -> skip it");
  }
  return RetType::Data(name);
}

std::string AAKitTableManager::computeAAKitFullName(const std::string& kitName) {
  const auto now = std::chrono::system_clock::now();
  const auto since_epoch = now.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto hundredths =
      std::chrono::duration_cast<std::chrono::microseconds>(since_epoch - seconds).count() / 10000;
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&t, &local);
  std::array<char, 32> date{};
  std::array<char, 16> zone{};
  std::strftime(date.data(), date.size(), "%Y%m%d%H%M%S", &local);
  std::strftime(zone.data(), zone.size(), "%z", &local);
  return fmt::format("{}_{}{:02d}{}", kitName, date.data(), hundredths, zone.data());
}

bool AAKitTableManager::checkAAKitTimeFormat(std::string_view time_str) {
  const auto sign = time_str.find_first_of("+-");
  if (sign == std::string_view::npos) {
    return false;
  }
  return parse_date_time(drop_last_chars(time_str.substr(0, sign), 2)) &&
         parse_utc_offset(time_str.substr(sign));
}

// --- persistence ------------------------------------------------------------------------------

Value AAKitTableManager::forwardPayload(const char* func_name, const std::string& kitName) {
  Value payload = Value::object();
  payload["func_name"] = func_name;
  payload["kitName"] = kitName;
  payload["check"] = false;
  return payload;
}

std::optional<RetType> AAKitTableManager::notListed(const std::string& kitName) {
  getAAKitList();
  if (table_.contains(kitName)) {
    return std::nullopt;
  }
  return logged_error(RetCode::ERROR_BF_AAKIT, fmt::format("{} not exist in list", kitName));
}

std::vector<std::string> AAKitTableManager::kitRow(const Value& table,
                                                   const std::string& field) const {
  const Value& value = at_key(table, field);
  std::vector<std::string> cells{field};
  if (value.is_array()) {
    for (const auto& e : value) {
      cells.push_back(cell_text(e));
    }
  } else {
    cells.push_back(cell_text(value));
  }
  return cells;
}

RetType AAKitTableManager::saveAAKitFile(const std::optional<std::string>& kitName,
                                         const KwCallback& callback, bool check,
                                         const Value& context) {
  std::string name;
  if (kitName) {
    name = *kitName;
  } else if (!check) {
    // Without a name there is no file to write.
    return invalidName("None");
  } else if (aakit_name_.empty()) {
    return logged_error(RetCode::ERROR_BF_AAKIT,
                        "Fail to save, please call selectAAKit() first or assign aakit name");
  } else {
    name = aakit_name_;
  }
  if (!isValidAAKitName(name)) {
    return invalidName(name);
  }
  try {
    if (check) {
      if (auto refusal = notListed(name)) {
        return std::move(*refusal);
      }
    }
    if (callback) {
      logger_.info("Forward to saving AAKit");
      Value payload = forwardPayload("saveAAKitFile", name);
      payload["context"] = at_key(table_, name);
      RetType forwarded = callback(payload);
      if (!forwarded.ok()) {
        return forwarded;
      }
      return RetType();
    }
    const std::filesystem::path path = kitFilePath(name);
    logger_.info("Ready to save {}", path.string());
    const Value& record = context.is_null() ? at_key(table_, name) : context;
    // Every row is formed before the file is touched, so a record missing a field leaves the
    // previous file as it was.
    std::string text = value::csv_format_row({"AAKIT_NAME", name});
    for (const auto& [field, member] : enum_members<AAKitField>()) {
      if (member != AAKitField::AAKIT_NAME) {
        text += value::csv_format_row(kitRow(record, std::string(field)));
      }
    }
    value::write_file_atomic(path, text);
    return RetType();
  } catch (...) {
    logger_.exception("exception");
    return RetType(RetCode::ERROR_BF_AAKIT, "exception");
  }
}

RetType AAKitTableManager::deleteAAKitInfo(const std::string& kitName, const KwCallback& callback,
                                           bool check) {
  const CountedChange change(changes_);
  if (!isValidAAKitName(kitName)) {
    return invalidName(kitName);
  }
  if (check) {
    if (auto refusal = deletionRefusal(kitName, callback, false)) {
      return std::move(*refusal);
    }
    table_.erase(kitName);
  }
  try {
    if (callback) {
      logger_.info("Forward to deleting AAKit");
      return callback(forwardPayload("deleteAAKitInfo", kitName));
    }
    const std::filesystem::path path = kitFilePath(kitName);
    if (::unlink(path.c_str()) != 0) {
      throw OSError(fmt::format("[Errno {}] {}: '{}'", errno, std::strerror(errno), path.string()));
    }
    logger_.info("Deleted {}", path.string());
    return RetType();
  } catch (...) {
    logger_.exception("exception");
    return RetType(RetCode::ERROR_BF_AAKIT, "exception");
  }
}

std::optional<RetType> AAKitTableManager::deletionRefusal(const std::string& kitName,
                                                          const KwCallback& callback,
                                                          bool require_file) {
  try {
    if (auto refusal = notListed(kitName)) {
      return refusal;
    }
    if (at_key(table_[kitName], "TYPE") != Value(1)) {
      return logged_error(RetCode::ERROR_BF_AAKIT,
                          fmt::format("{} must be customized AAKit for deletion", kitName));
    }
    if (require_file && !callback) {
      const std::filesystem::path path = kitFilePath(kitName);
      std::error_code ec;
      if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        throw OSError(
            fmt::format("[Errno {}] {}: '{}'", ENOENT, std::strerror(ENOENT), path.string()));
      }
    }
  } catch (...) {
    logger_.exception("exception");
    return RetType(RetCode::ERROR_BF_AAKIT, "exception");
  }
  return std::nullopt;
}

AAKitTableManager::RenameResult AAKitTableManager::renameAAKit(const std::string& oldName,
                                                               const std::string& newName,
                                                               const KwCallback& callback) {
  logger_.debug("Rename AAKit -> delete old then add new one");
  // The new kit is written before the old one is deleted, so a failure on the way never
  // leaves the kit without a file.
  if (!isValidAAKitName(oldName)) {
    return {invalidName(oldName), RenameStage::checks};
  }
  if (!isValidAAKitName(newName)) {
    return {invalidName(newName), RenameStage::checks};
  }
  if (auto refusal = deletionRefusal(oldName, callback, true)) {
    return {std::move(*refusal), RenameStage::checks};
  }
  RetType saved = saveAAKitFile(newName, callback, false);
  if (!saved.ok()) {
    return {std::move(saved), RenameStage::save};
  }
  if (oldName == newName) {
    return {std::move(saved), RenameStage::done};
  }
  RetType deleted = deleteAAKitInfo(oldName, callback, true);
  if (!deleted.ok()) {
    return {std::move(deleted), RenameStage::remove};
  }
  return {std::move(saved), RenameStage::done};
}

}  // namespace arvcore::vlndev
