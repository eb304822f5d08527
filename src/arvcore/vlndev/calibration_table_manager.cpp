// Calibration manager: construction in its three set-ups, file discovery, the CSV parse (its
// rows are read in detail/cali_rows.cpp), the JSON export and import. The queries live in
// detail/calibration_queries.cpp.

#include "arvcore/vlndev/calibration_table_manager.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "arvcore/base/change_count.hpp"
#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_check.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/cali_later_rows.hpp"
#include "arvcore/vlndev/detail/cali_rows.hpp"
#include "arvcore/vlndev/detail/frequency.hpp"

namespace arvcore::vlndev {
namespace {

namespace fs = std::filesystem;
using detail::child;
using detail::same_freq;
using value::CsvRow;

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

// Where a parse failed, beside the failure's own text: the line it was on (0: none yet) and,
// when a row's reading failed, what that row lacks.
std::string failure_place(const CsvRow& row, bool row_failed, std::size_t line,
                          const CaliLayout& layout) {
  if (!row_failed) {
    return line == 0 ? std::string() : fmt::format("line {}", line);
  }
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
  return fmt::format("line {}: {}", line, describe_row_problem(row, layout, why));
}

// The answer of a parse that failed, and its one error record, as hosts count them: where it
// failed (`place` in the file) goes with the failure's trace. Call inside the catch block.
RetType parse_failed(const log::Logger& logger, const std::string& file_label,
                     const std::string& place) {
  RetType result(RetCode::ERROR_BF_CALI_PARSE, "parse exception");
  logger.exception(result.RetMsg, place.empty() ? file_label : file_label + ": " + place);
  return result;
}

// The answer of a parse whose rows ran out (`lines` lines read) or stopped at a refused header.
RetType rows_ended(const detail::CaliRowReader& rows, std::size_t lines,
                   const std::string& file_label, const std::string& path,
                   const log::Logger& logger) {
  RetType result = rows.header_result();
  if (rows.end_seen()) {
    logger.info("{} parsing done", path);
    return result;
  }
  const bool header_refused = !result.ok();
  result = RetType(RetCode::ERROR_BF_CALI_PARSE, "cali file is broken");
  logger.error("{}", result.RetMsg);
  if (!header_refused) {
    // The failure's one error record is the one above; this only says where.
    logger.info("{}: no END row after line {}: the file ends early", file_label, lines);
  }
  return result;
}

// The file after rows read beside the parse: after a piece of the earlier half, or after the
// later half.
struct RestOfFile {
  std::optional<value::FileReadAhead> after_piece;
  std::optional<value::FileReadAhead> after_later;
};

// Where the parse goes on once its rows reach a piece of them or the later half of the file,
// read beside them: after those rows, when they stand for the rows from here on and the table
// has their places; else here, reading them in turn. A piece that ends where the later half
// begins is followed by the later half at once. The later half is done with either way, and
// so is `file` once the parse goes on after it.
void go_past_later_rows(std::optional<detail::CaliLaterRows>& later, detail::CaliRowReader& rows,
                        std::optional<value::FileReadAhead>& file, RestOfFile& rest,
                        std::optional<value::CsvReader>& reader) {
  std::uint64_t at = reader->offset();
  std::size_t lines = reader->lines_read();
  bool moved = false;
  bool past_later = false;
  do {
    detail::CaliLaterRows::End end;
    detail::CaliData* const data = later->rows_from(at, end);
    if (data == nullptr || !rows.take_data(*data)) {
      break;
    }
    later->taken();
    at = end.offset;
    lines += end.lines;
    moved = true;
    past_later = !later->pending();
  } while (later->pending() && later->due(at));
  if (moved) {
    // After the later half comes mostly its END row: read in small chunks. After a piece come
    // the rest of the parse's own rows.
    std::optional<value::FileReadAhead>& next = past_later ? rest.after_later : rest.after_piece;
    next.emplace(*file, at,
                 past_later ? std::size_t{64} << 10 : value::FileReadAhead::kDefaultChunk);
    reader.emplace(*next, /*strip_nul=*/true, at, lines);
  }
  if (later->pending()) {
    return;
  }
  later.reset();
  if (rest.after_later) {
    rest.after_piece.reset();
    file.reset();  // its chunks, read ahead past the later half's start, are not needed
  }
}

// Reads the DATA line whose cells `reader` found, unsplit. A row that fails is read again,
// split into `row`, for the record of where the parse failed.
void read_data_line(detail::CaliRowReader& rows, value::CsvReader& reader,
                    const value::CsvCells& cells, CsvRow& row) {
  try {
    rows.read_data(cells);
  } catch (...) {
    reader.next(row);
    throw;
  }
  reader.take(cells);
}

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
  if (!cali_data_ || cali_data_->empty()) {
    return caliTableHeader();
  }
  if (!whole_table_) {
    auto whole = std::make_shared<Value>(*cali_table_);
    cali_data_->fill(*whole);
    whole_table_ = std::move(whole);
  }
  return *whole_table_;
}

const Value& CalibrationTableManager::caliTableHeader() const {
  static const Value none;
  return cali_table_ ? *cali_table_ : none;
}

Value CalibrationTableManager::caliTableEntry(std::span<const std::string> path,
                                              bool with_data) const {
  const detail::CaliData* data = with_data ? cali_data_.get() : nullptr;
  const bool whole =
      with_data && (data == nullptr || data->empty() || whole_table_ || path.empty());
  const Value* at = whole ? &CaliTable() : &caliTableHeader();
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (!at->is_object() || !at->contains(path[i])) {
      throw KeyError(path[i]);
    }
    at = &*at->find(path[i]);
    if (!whole && data != nullptr && i == 2 && data->has_chip(path[0], path[1], path[2])) {
      return data->chip_entry(path[0], path[1], path[2], path.subspan(3));
    }
  }
  Value entry = *at;
  if (!whole && data != nullptr && path.size() < 3) {
    data->fill(entry, path);
  }
  return entry;
}

void CalibrationTableManager::dropCaches() {
  all_offset_.clear();
  all_xxx_dr_.reset();
  all_comdata_map_ = Value::object();
}

Value CalibrationTableManager::_searchCaliFile(const std::string& extension) {
  const CountedChange change(changes_);
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
        const CountedChange change(changes_);
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
    return RetType::Data(child(caliTableHeader(), "VER"));
  } catch (const VLNTableDBError& e) {
    logger_.error("Exception: {}", e.ret());
    return e.ret();
  } catch (const std::exception&) {
    return RetType(RetCode::ERROR_BF_CALI_INCOMPLTE, "Can not found any calibration table");
  }
}

std::optional<RetType> CalibrationTableManager::findCaliFile(const Value& freq) {
  // Refused before anything changes: such a frequency names no table, here or in the
  // database.
  if (const std::string problem = frequency_problem(freq); !problem.empty()) {
    RetType ret(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table");
    logger_.info("{}", problem);
    logger_.error("{}", ret.RetMsg);
    return ret;
  }
  freq_ = freq;
  dropCaches();
  if (db_) {
    // Requests held for the table before never go out with, or answer, a query of this one.
    db_->cleanQueryCache();
    return db_->setFreq(freq_);
  }
  const Value found = _searchCaliFile();
  logger_.info("Cali file path: {}", found);
  if (!found.is_string()) {
    RetType ret(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table");
    logger_.error("{}", ret.RetMsg);
    // The failure's one error record is the one above; this says what was looked for.
    logger_.info("No calibration file {}_{}GHz.csv in {}; frequencies found for {}: {}", sn_,
                 value::str(freq_), default_dir_->string(), sn_,
                 freq_list_.empty() ? std::string("none") : value::str(freq_list_));
    return ret;
  }
  path_cali_ = found.get<std::string>();
  return std::nullopt;
}

RetType CalibrationTableManager::parse(const Value& freq, std::istream* fileObject,
                                       bool exportToJson, const std::string& streamName) {
  const CountedChange change(changes_);
  if (fileObject == nullptr) {
    if (std::optional<RetType> answer = findCaliFile(freq)) {
      return std::move(*answer);
    }
  }
  // The old table goes before the new one is read: the two are never held together, and a
  // parse that fails part way leaves the rows it read.
  auto table_owner = std::make_shared<Value>(Value::object());
  auto data_owner = std::make_shared<detail::CaliData>();
  cali_table_ = table_owner;
  cali_data_ = data_owner;
  whole_table_.reset();
  RetType result = readCaliRows(fileObject, streamName, *table_owner, *data_owner);
  data_owner->finish();
  if (exportToJson) {
    exportCaliJson(result, fileObject != nullptr, *table_owner);
  }
  return result;
}

RetType CalibrationTableManager::readCaliRows(std::istream* fileObject,
                                              const std::string& streamName, Value& table,
                                              detail::CaliData& data) {
  RetType result;
  // The reader outlives the guarded block: the row it read last still names the place of a
  // failure there, and its cells may lie in the reader's buffers.
  std::optional<value::FileReadAhead> file;
  RestOfFile rest;
  std::optional<value::CsvReader> reader;
  // A large file's later half, read beside the earlier one (it reads `file`, so it goes first).
  std::optional<detail::CaliLaterRows> later;
  CsvRow row;
  value::CsvCells cells;
  std::size_t row_line = 0;  // the line of the row being read into the table, else 0
  const CaliLayout layout{num_board_, num_ic_per_board_, num_channel_per_ic_};
  const std::string file_label = fileObject == nullptr ? path_cali_
                                 : !streamName.empty() ? streamName
                                                       : std::string("the given stream");
  try {
    // A table file is read a few chunks ahead of the parse, on another thread, and parsed
    // where the chunks lie; a caller's stream is read through its buffer.
    if (fileObject == nullptr) {
      file.emplace(path_cali_);
      reader.emplace(*file, /*strip_nul=*/true);
      later.emplace(*file);
    } else {
      reader.emplace(*fileObject, /*strip_nul=*/true);
    }
    detail::CaliRowReader rows(table, data, {sn_, freq_, cali_table_ver_limit_, layout}, logger_,
                               file_label);
    for (;;) {
      row_line = 0;
      if (later && later->due(reader->offset())) {
        go_past_later_rows(later, rows, file, rest, reader);
      }
      const std::size_t line = reader->lines_read() + 1;
      if (reader->peek_plain(cells) && detail::is_data_row(cells)) {
        row_line = line;
        read_data_line(rows, *reader, cells, row);
        continue;
      }
      if (!reader->next(row)) {
        break;
      }
      if (row.empty()) {
        continue;
      }
      row_line = line;
      if (!rows.read(row, row_line)) {
        break;
      }
    }
    result = rows_ended(rows, reader->lines_read(), file_label, path_cali_, logger_);
  } catch (...) {
    // A failure in no row's reading is on the line the reader came to: bytes that are not
    // UTF-8 fail on their own line, which a row that spans lines may have begun before.
    const std::size_t line = row_line != 0 ? row_line : reader ? reader->lines_read() + 1 : 0;
    result = parse_failed(logger_, file_label, failure_place(row, row_line != 0, line, layout));
  }
  return result;
}

void CalibrationTableManager::exportCaliJson(const RetType& result, bool from_stream,
                                             const Value& table) {
  if (!result.ok()) {
    // A half-read table must not replace a good export that parseRawJson would load.
    logger_.warning("JSON export skipped: the table was not parsed completely ({})", result.RetMsg);
  } else if (from_stream) {
    logger_.warning("JSON export skipped: the table was read from a stream, not from a file");
  } else {
    fs::path out(path_cali_);
    if (out.extension() == ".csv") {
      out.replace_extension(".json");
    } else {
      out += ".json";
    }
    if (cali_data_ && !cali_data_->empty()) {
      value::write_json_file(out, table, 4, cali_data_->json_stand_in(table));
    } else {
      value::write_json_file(out, table, 4);
    }
  }
}

RetType CalibrationTableManager::parseRawJson() {
  const CountedChange change(changes_);
  const Value found = _searchCaliFile(".json");
  if (!found.is_string()) {
    return RetType(RetCode::ERROR_BF_CALI_PARSE, "cali file error");
  }
  auto table = std::make_shared<const Value>(value::read_json_file(found.get<std::string>()));
  whole_table_.reset();
  cali_data_.reset();
  cali_table_ = table;
  std::cout << value::repr(*table) << std::endl;
  return RetType();
}

}  // namespace arvcore::vlndev
