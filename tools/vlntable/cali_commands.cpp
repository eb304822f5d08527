// `vlntable cali check|show|export`: parse the calibration table of one device and frequency
// from the data directory, as the SDK would, and report on it.

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_layout.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {

using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::value::printable;
using arvcore::vlndev::CalibrationTableManager;

namespace {

std::string freq_text(const Value& f) {
  return arvcore::value::str(f);
}

// The facts of `show` as one JSON document.
int show_json(const OpenedCali& c) {
  Value doc = {{"result", result_json(c.result)}};
  if (c.result.ok()) {
    CalibrationTableManager& m = *c.manager;
    const Value& t = m.caliTableHeader();  // the header rows are all it reads
    doc["file"] = m.path_cali();
    for (const char* key : {"VER", "REALVER", "SN", "FCENTER"}) {
      doc[key] = t.value(key, Value());
    }
    doc["frequencies"] = m.freq_list();
    doc["layout"] = Value::array({m.num_board(), m.num_ic_per_board(), m.num_channel_per_ic()});
    Value queries = cali_queries_json(m);
    for (auto& [key, v] : queries.items()) {
      doc[key] = std::move(v);
    }
  }
  print_json(doc);
  return c.result.ok() ? 0 : 1;
}

int show(const CaliOptions& o) {
  const OpenedCali c = open_cali(o);
  if (o.json) {
    return show_json(c);
  }
  if (!c.result.ok()) {
    std::cout << printable(result_line(c.result)) << "\n";
    return 1;
  }
  CalibrationTableManager& m = *c.manager;
  const Value& t = m.caliTableHeader();  // the header rows are all it reads
  auto entry = [&t](const char* key) {
    return t.contains(key) ? printable(arvcore::value::str(t[key])) : std::string("-");
  };
  std::vector<std::string> freqs;
  for (const auto& f : m.freq_list()) {
    freqs.push_back(freq_text(f));
  }
  std::cout << "file:         " << printable(m.path_cali()) << "\n"
            << "version:      " << entry("VER") << " (real " << entry("REALVER") << ")\n"
            << "serial:       " << entry("SN") << "\n"
            << "centre freq:  " << entry("FCENTER") << " GHz\n"
            << "frequencies:  " << fmt::format("{}", fmt::join(freqs, ", ")) << " GHz\n"
            << "layout:       " << m.num_board() << " boards x " << m.num_ic_per_board()
            << " ICs x " << m.num_channel_per_ic() << " channels\n";
  show_cali_queries(m, std::cout);
  return 0;
}

int export_json(const CaliOptions& o) {
  const OpenedCali c = open_cali(o, /*exportToJson=*/true);
  std::cout << printable(result_line(c.result)) << "\n";
  const std::string& csv = c.manager->path_cali();
  if (!csv.empty() && c.result.ok()) {  // only a complete table is exported
    std::filesystem::path json(csv);
    json.replace_extension(".json");
    std::cout << "wrote " << printable(json.string()) << "\n";
  }
  return c.result.ok() ? 0 : 1;
}

}  // namespace

Value parse_freq(const std::string& text) {
  try {
    return arvcore::value::parse_int(text);
  } catch (const arvcore::ValueError&) {
  }
  try {
    return arvcore::value::parse_float(text);
  } catch (const arvcore::ValueError&) {
    throw std::invalid_argument(fmt::format("FREQ must be a number in GHz, not '{}'", text));
  }
}

Value parse_layout(const std::string& text) {
  Value out = Value::array();
  std::string::size_type start = 0;
  while (true) {
    const auto comma = text.find(',', start);
    const std::string piece = text.substr(start, comma - start);
    try {
      const std::int64_t n = arvcore::value::parse_int(piece);
      if (n < 1) {
        throw arvcore::ValueError("not positive");
      }
      out.push_back(n);
    } catch (const arvcore::ValueError&) {
      out = nullptr;
      break;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  if (!out.is_array() || out.size() != 3) {
    throw std::invalid_argument(fmt::format(
        "--layout must be three positive integers BOARDS,ICS,CHANNELS, not '{}'", text));
  }
  try {
    arvcore::vlndev::layout_of(out);
  } catch (const arvcore::ValueError& e) {
    throw std::invalid_argument(fmt::format("--layout: {}", e.what()));
  }
  return out;
}

void check_range(const std::string& option, std::int64_t value, std::int64_t most,
                 const std::string& layout, const char* what) {
  if (value < 1 || value > most) {
    throw std::invalid_argument(fmt::format("{} {} is not within the layout {} (1 to {} {})",
                                            option, value, layout, most, what));
  }
}

void add_cali_options(CLI::App* cmd, CaliOptions& o) {
  cmd->add_option("--files", o.files, "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  cmd->add_option("--layout", o.layout, "Device layout BOARDS,ICS,CHANNELS per IC")
      ->capture_default_str();
  cmd->add_option("SN", o.sn, "Serial number of the device")->required();
  cmd->add_option("FREQ", o.freq, "Operating frequency in GHz (for example 28 or 27.5)")
      ->required();
}

void add_json_flag(CLI::App* cmd, bool& json) {
  cmd->add_flag("--json", json,
                "Print the facts as one JSON document on standard output (messages and log "
                "lines go to standard error)");
}

OpenedCali open_cali(const CaliOptions& o, bool exportToJson) {
  const Value freq = parse_freq(o.freq);
  const Value layout = parse_layout(o.layout);
  if (!o.files.empty()) {
    ::setenv("ARVCORE_FILES_DIR", o.files.c_str(), 1);
  }
  OpenedCali c;
  c.manager = std::make_unique<CalibrationTableManager>(o.sn, freq, [layout] { return layout; });
  c.result = c.manager->parse(freq, nullptr, exportToJson);
  return c;
}

std::string result_line(const RetType& r) {
  const std::string code(arvcore::enum_name(r.RetCode));
  return r.RetMsg.empty() ? code : fmt::format("{}: {}", code, r.RetMsg);
}

void add_cali_commands(CLI::App& app) {
  CLI::App* cali = app.add_subcommand("cali", "Calibration tables {SN}_{FREQ}GHz.csv");
  cali->require_subcommand(1);

  struct Sub {
    const char* name;
    const char* help;
    int (*run)(const CaliOptions&);
  };
  const Sub subs[] = {
      {"show",
       "Parse the table of SN at FREQ and show its version, serial number, centre frequency, "
       "the frequencies that have a table, and the limits read from it",
       show},
      {"export",
       "Parse the table of SN at FREQ and write it as JSON next to the CSV file "
       "({SN}_{FREQ}GHz.json)",
       export_json},
  };
  auto opts = std::make_shared<CaliOptions>();
  for (const Sub& sub : subs) {
    CLI::App* cmd = cali->add_subcommand(sub.name, sub.help);
    add_cali_options(cmd, *opts);
    cmd->callback([opts, run = sub.run] { run_guarded([&] { return run(*opts); }); });
  }
  add_json_flag(cali->get_subcommand("show"), opts->json);
}

}  // namespace vlntable
