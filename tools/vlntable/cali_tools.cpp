// `vlntable cali check|list`: a whole calibration table examined for every fault, and the
// tables of the data directory listed from their header rows.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_check.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::value::printable;
using arvcore::vlndev::CaliCheckOptions;
using arvcore::vlndev::CaliCheckReport;
using arvcore::vlndev::CaliLayout;

namespace {

std::string data_dir(const std::string& files) {
  if (!files.empty()) {
    return files;
  }
  return arvcore::Utils::get_files_dir();
}

// --- check -----------------------------------------------------------------------------------

struct CheckOptions {
  std::string files;
  std::string target;  // SN, or a table file
  std::string freq;
  std::string layout;
  bool json = false;
};

int print_check(const CaliCheckReport& r, bool json) {
  const int status = !r.readable ? 2 : r.errors() != 0 ? 1 : 0;
  if (json) {
    print_json(r.to_value());
    return status;
  }
  std::cout << printable(result_line(r.result)) << "\n"
            << "file: " << printable(r.file) << "\n";
  auto layout = [](const std::optional<CaliLayout>& l) {
    return l ? l->text() : std::string("unknown");
  };
  std::cout << fmt::format("layout: device {}, table {}\n",
                           r.device ? r.device->text() : "not given", layout(r.table));
  for (const auto& p : r.problems) {
    std::cout << printable(p.text()) << "\n";
  }
  if (r.problems.empty()) {
    std::cout << "no problems found\n";
  } else {
    std::cout << fmt::format("{} error{}, {} warning{}\n", r.errors(), r.errors() == 1 ? "" : "s",
                             r.warnings(), r.warnings() == 1 ? "" : "s");
  }
  return status;
}

// The file of SN at FREQ, as a device finds it; a missing one ends the check with the
// directory searched and the frequencies found.
std::optional<std::string> find_table(const CheckOptions& o, const Value& freq, const Value& layout,
                                      bool json) {
  const std::string dir = data_dir(o.files);
  ::setenv("ARVCORE_FILES_DIR", dir.c_str(), 1);
  arvcore::vlndev::CalibrationTableManager m(o.target, freq, [layout] { return layout; });
  const Value found = m._searchCaliFile();
  if (found.is_string()) {
    return found.get<std::string>();
  }
  std::vector<std::string> freqs;
  for (const auto& f : m.freq_list()) {
    freqs.push_back(arvcore::value::str(f));
  }
  const std::string where = fmt::format(
      "no calibration file {}_{}GHz.csv in {}; frequencies found for {}: {}", o.target, o.freq, dir,
      o.target, freqs.empty() ? "none" : fmt::format("{}", fmt::join(freqs, ", ")));
  const RetType missing(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table");
  if (json) {
    print_json({{"file", nullptr},
                {"result", result_json(missing)},
                {"layout", {{"device", layout}, {"table", nullptr}}},
                {"problems", Value::array({{{"severity", "error"}, {"message", where}}})},
                {"directory", dir},
                {"frequencies", m.freq_list()}});
  } else {
    std::cout << result_line(missing) << "\n"
              << "error: " << printable(where) << "\n";
  }
  return std::nullopt;
}

int check(const CheckOptions& o) {
  CaliCheckOptions options;
  const bool by_file = o.freq.empty();
  if (!o.layout.empty() || !by_file) {
    options.device =
        arvcore::vlndev::layout_of(parse_layout(o.layout.empty() ? "4,1,4" : o.layout));
  }
  std::string file = o.target;
  if (!by_file) {
    const Value freq = parse_freq(o.freq);
    const auto found = find_table(o, freq, options.device->value(), o.json);
    if (!found) {
      return 2;
    }
    file = *found;
    options.sn = o.target;
    options.freq = freq.get<double>();
  }
  return print_check(check_cali_table(file, options), o.json);
}

// --- list ------------------------------------------------------------------------------------

struct ListOptions {
  std::string files;
  std::string sn;
  bool json = false;
};

// The header rows of a table: read until the first row of another kind, from its first
// 64 KiB at most.
Value header_of(const fs::path& path) {
  Value out = Value::object();
  std::ifstream in(path, std::ios::binary);
  std::string head(64 * 1024, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  // A cut multi-byte character at the end would fail the reader: stop before the last line.
  if (const auto nl = head.find_last_of('\n');
      head.size() == 64 * 1024 && nl != std::string::npos) {
    head.resize(nl + 1);
  }
  try {
    arvcore::value::CsvReader reader(head, /*strip_nul=*/true);
    arvcore::value::CsvRow row;
    while (reader.next(row)) {
      if (row.empty()) {
        continue;
      }
      const std::string key(row[0]);
      if (key == "VER" || key == "REALVER" || key == "SN" || key == "FCENTER") {
        if (row.size() > 1 && !out.contains(key)) {
          out[key] = std::string(row[1]);
        }
      } else if (key != "DR" && !key.starts_with("OFFSET_")) {
        break;
      }
    }
  } catch (const std::exception&) {
    // What was read before the fault is shown.
  }
  return out;
}

int list(const ListOptions& o) {
  const std::string dir = data_dir(o.files);
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    throw std::runtime_error(fmt::format("cannot list {}: {}", dir, ec.message()));
  }
  struct Entry {
    std::string sn, file;
    double freq;
    std::uintmax_t size;
    Value header;
  };
  std::vector<Entry> tables;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::string sn;
    double freq = 0;
    if (!arvcore::vlndev::cali_file_name(name, sn, freq) || (!o.sn.empty() && sn != o.sn) ||
        !it->is_regular_file(ec)) {
      continue;
    }
    tables.push_back({sn, it->path().string(), freq, it->file_size(ec), header_of(it->path())});
  }
  std::sort(tables.begin(), tables.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.sn, a.freq) < std::tie(b.sn, b.freq);
  });
  if (o.json) {
    Value list = Value::array();
    for (const auto& t : tables) {
      list.push_back({{"sn", t.sn},
                      {"frequency", t.freq},
                      {"file", t.file},
                      {"size", static_cast<std::int64_t>(t.size)},
                      {"VER", t.header.value("VER", Value())},
                      {"REALVER", t.header.value("REALVER", Value())},
                      {"SN", t.header.value("SN", Value())},
                      {"FCENTER", t.header.value("FCENTER", Value())}});
    }
    print_json({{"directory", dir}, {"tables", std::move(list)}});
    return 0;
  }
  auto text = [](const Value& header, const char* key) {
    return header.contains(key) ? printable(header[key].get<std::string>()) : std::string("-");
  };
  std::cout << fmt::format("{:<20} {:>9} {:>10} {:<8} {:<8} {}\n", "serial", "freq GHz", "bytes",
                           "VER", "REALVER", "file");
  for (const auto& t : tables) {
    std::cout << fmt::format("{:<20} {:>9} {:>10} {:<8} {:<8} {}\n", printable(t.sn),
                             arvcore::value::str(Value(t.freq)), t.size, text(t.header, "VER"),
                             text(t.header, "REALVER"), printable(t.file));
  }
  if (tables.empty()) {
    std::cout << printable(fmt::format("no calibration tables{} in {}",
                                       o.sn.empty() ? "" : " of " + o.sn, dir))
              << "\n";
  }
  return 0;
}

}  // namespace

void add_cali_tool_commands(CLI::App& app) {
  CLI::App* cali = app.get_subcommand("cali");

  auto c = std::make_shared<CheckOptions>();
  CLI::App* check_cmd = cali->add_subcommand(
      "check",
      "Check the table of SN at FREQ (or the table file FILE.csv) for every fault: missing or "
      "repeated rows, cells that are not numbers, missing ComData of any mode, board, chip, "
      "channel, step, gain or phase, the header against the device and the table's layout "
      "against the device's. The first line is what a device's parse answers. Exit status 0 "
      "without errors, 1 with errors, 2 when the file cannot be read");
  check_cmd->add_option("--files", c->files,
                        "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  check_cmd->add_option("--layout", c->layout,
                        "Device layout BOARDS,ICS,CHANNELS per IC (default with SN FREQ: 4,1,4; "
                        "with FILE: the table's own)");
  check_cmd->add_option("SN_OR_FILE", c->target, "Serial number of the device, or a table file")
      ->required();
  check_cmd->add_option("FREQ", c->freq, "Operating frequency in GHz (with SN)");
  add_json_flag(check_cmd, c->json);
  check_cmd->callback([c] { run_guarded([&] { return check(*c); }); });

  auto l = std::make_shared<ListOptions>();
  CLI::App* list_cmd = cali->add_subcommand(
      "list",
      "List the calibration tables {SN}_{FREQ}GHz.csv of the data directory (serial number, "
      "frequency, size, version), reading only their header rows");
  list_cmd->add_option("--files", l->files,
                       "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  list_cmd->add_option("SN", l->sn, "Only the tables of this serial number");
  add_json_flag(list_cmd, l->json);
  list_cmd->callback([l] { run_guarded([&] { return list(*l); }); });
}

}  // namespace vlntable
