// `vlntable beam show|convert` and `vlntable device`: the beam pattern tables of the data
// directory ("BeamTable/Beam_Configuration_{SN}_{FREQ}GHz[_{KIT}].json") and the walk a device
// makes when its operating frequency changes.

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {
namespace {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::RFMode;
using arvcore::Value;
using arvcore::vlndev::BeamPatternTableManager;
namespace value = arvcore::value;

struct BeamOptions {
  CaliOptions cali;  // --files, --layout, SN, FREQ
  std::string kit;
  std::int64_t beams = 64;
  std::int64_t devtype = 9;
};

void add_beam_options(CLI::App* cmd, BeamOptions& o) {
  add_cali_options(cmd, o.cali);
  cmd->add_option("--kit", o.kit, "Antenna-array kit name (part of the beam file name)");
  cmd->add_option("--beams", o.beams, "Beam ids per RF mode")->capture_default_str();
  cmd->add_option("--devtype", o.devtype, "Device-type code stored in new tables")
      ->capture_default_str();
}

/// FREQ as the device passes it: 28 stays an integer, 27.5 a float.
Value frequency(const std::string& text) {
  try {
    return value::parse_int(text);
  } catch (const arvcore::ValueError&) {
  }
  try {
    return value::parse_float(text);
  } catch (const arvcore::ValueError&) {
    throw std::invalid_argument(fmt::format("FREQ must be a number in GHz, not '{}'", text));
  }
}

/// The table file the options name (after --files took effect).
fs::path table_path(const BeamOptions& o) {
  if (!o.cali.files.empty()) {
    ::setenv("ARVCORE_FILES_DIR", o.cali.files.c_str(), 1);
  }
  const std::string problem = BeamPatternTableManager::name_problem(o.cali.sn, o.kit);
  if (!problem.empty()) {
    throw std::invalid_argument(problem);
  }
  return fs::path(arvcore::Utils::get_files_dir()) / "BeamTable" /
         BeamPatternTableManager::table_file_name(o.cali.sn, frequency(o.cali.freq), o.kit);
}

// --- describing tables ---------------------------------------------------------------------

/// Smallest and largest of a set of numbers, shown as the values themselves.
struct Range {
  std::optional<Value> low, high;
  int others = 0;  // nulls and non-numbers

  void add(const Value& v) {
    if (!v.is_number()) {
      ++others;
      return;
    }
    if (!low || v.get<double>() < low->get<double>()) {
      low = v;
    }
    if (!high || v.get<double>() > high->get<double>()) {
      high = v;
    }
  }
  std::string text() const {
    if (!low) {
      return others > 0 ? "unset" : "none";
    }
    std::string t = *low == *high ? value::str(*low) : value::str(*low) + ".." + value::str(*high);
    return others > 0 ? fmt::format("{} ({} unset)", t, others) : t;
  }
};

std::string type_name(const Value& type) {
  if (type == Value(arvcore::enum_value(arvcore::BeamType::BEAM))) {
    return "BEAM";
  }
  if (type == Value(arvcore::enum_value(arvcore::BeamType::CHANNEL))) {
    return "CHANNEL";
  }
  return "?" + value::str(type);
}

std::string describe_channels(const Value& config) {
  if (!config.is_object()) {
    return "channel_config is not a map";
  }
  Range common, gain, phase;
  std::int64_t channels = 0;
  std::int64_t on = 0;
  for (const auto& [group, members] : config.items()) {
    if (!members.is_object()) {
      continue;
    }
    for (const auto& [key, v] : members.items()) {
      if (key == "common_db") {
        common.add(v);
      } else if (v.is_object()) {
        ++channels;
        on += v.contains("sw") && v["sw"] != Value(0) ? 1 : 0;
        gain.add(v.contains("db") ? v["db"] : Value());
        phase.add(v.contains("deg") ? v["deg"] : Value());
      }
    }
  }
  return fmt::format("{} groups, {} channels ({} switched), db {}, deg {}, common_db {}",
                     config.size(), channels, on, gain.text(), phase.text(), common.text());
}

std::string describe_entry(const Value& entry) {
  if (!entry.is_object()) {
    return "not a beam entry: " + value::repr(entry);
  }
  if (entry.contains("beam_config") && entry["beam_config"].is_object()) {
    const Value& c = entry["beam_config"];
    auto field = [&](const char* k) { return c.contains(k) ? value::str(c[k]) : "-"; };
    return fmt::format("db {}  theta {}  phi {}", field("db"), field("theta"), field("phi"));
  }
  if (entry.contains("channel_config")) {
    return describe_channels(entry["channel_config"]);
  }
  return "no beam_config or channel_config";
}

void print_mode_maps(const Value& table, std::int64_t num_beam) {
  for (const auto& [name_view, mode] : arvcore::enum_members<RFMode>()) {
    const std::string name(name_view);
    if (!table.contains(name) || !table[name].is_object()) {
      std::cout << name << ": no mode map\n";
      continue;
    }
    const Value& beams = table[name];
    if (beams.empty()) {
      std::cout << name << ": no stored beams (every id reads as the default CHANNEL beam)\n";
      continue;
    }
    std::cout << fmt::format("{}: {} of {} beam ids stored\n", name, beams.size(), num_beam);
    std::cout << fmt::format("  {:<5} {:<8} {:<24} {}\n", "ID", "TYPE", "DESCRIPTION", "PATTERN");
    for (const auto& [id, entry] : beams.items()) {
      const std::string type =
          entry.is_object() && entry.contains("beam_type") ? type_name(entry["beam_type"]) : "-";
      const std::string description = entry.is_object() && entry.contains("beam_description")
                                          ? value::str(entry["beam_description"])
                                          : "";
      std::cout << fmt::format("  {:<5} {:<8} {:<24} {}\n", value::printable(id), type,
                               value::printable(description),
                               value::printable(describe_entry(entry)));
    }
  }
}

void print_header(const Value& table) {
  for (const char* key : {"VERSION", "SN", "DEV_TYPE", "FREQ", "AAKIT_NAME"}) {
    std::cout << fmt::format(
        "{:<11} {}\n", key,
        table.contains(key) ? value::printable(value::repr(table[key])) : "(absent)");
  }
}

/// Beams of a legacy table per mode: (mode name, list size).
std::vector<std::pair<std::string, std::size_t>> legacy_counts(const Value& table) {
  std::vector<std::pair<std::string, std::size_t>> counts;
  for (const auto& [name, mode] : arvcore::enum_members<RFMode>()) {
    const std::string key = std::string(name) + "_beam_list";
    const bool listed = table.contains(key) && table[key].is_array();
    counts.emplace_back(std::string(name), listed ? table[key].size() : 0);
  }
  return counts;
}

bool is_legacy(const Value& table) {
  return !table.contains("VERSION") || table["VERSION"].is_null();
}

// --- beam show -----------------------------------------------------------------------------

// The facts of `show` as one JSON document: the file, whether it is a legacy table, and the
// table as stored.
int show_json(const fs::path& path, const Value& table) {
  print_json({{"file", path.string()}, {"legacy", is_legacy(table)}, {"table", table}});
  return 0;
}

int run_show(const BeamOptions& o) {
  const fs::path path = table_path(o);
  const auto fail = [&](const std::string& message) {
    std::cerr << value::printable(message) << "\n";
    if (o.cali.json) {
      print_json({{"error", message}});
    }
    return 1;
  };
  if (!fs::exists(path)) {
    return fail("no beam table at " + path.string() + " (the device creates it on its first load)");
  }
  const Value table = value::read_json_file(path);
  if (!table.is_object()) {
    return fail(path.string() + " does not hold a beam table (not a JSON object)");
  }
  if (o.cali.json) {
    return show_json(path, table);
  }
  std::cout << "Beam table: " << value::printable(path.string()) << "\n";
  if (is_legacy(table)) {
    std::cout << "legacy table, version "
              << value::printable(table.contains("version") ? value::str(table["version"])
                                                            : "(absent)")
              << "\n";
    for (const auto& [name, count] : legacy_counts(table)) {
      std::cout << fmt::format("{}: {} legacy beams\n", name, count);
    }
    std::cout << "`vlntable beam convert` turns it into the current layout\n";
    return 0;
  }
  print_header(table);
  print_mode_maps(table, o.beams);
  return 0;
}

// --- beam plot -----------------------------------------------------------------------------

struct PlotOptions {
  std::string out;
  std::string what = "beam";
  std::string mode = "TX";
  std::int64_t id = 0;
};

// Only a table in the current layout is drawn: loading a missing or legacy table would write
// the data directory, and a picture must not.
int run_plot(const BeamOptions& o, const PlotOptions& p) {
  parse_layout(o.cali.layout);  // refused here as by every other command
  const fs::path path = table_path(o);
  if (!fs::exists(path)) {
    std::cerr << "no beam table at " << value::printable(path.string())
              << " (the device creates it on its first load)\n";
    return 1;
  }
  const Value table = value::read_json_file(path);
  if (!table.is_object() || is_legacy(table) ||
      table["VERSION"] != Value("v" + std::string(arvcore::vlndev::BTField_version))) {
    std::cerr << value::printable(path.string())
              << " is not a beam table in the current layout (`vlntable beam convert` converts "
                 "a legacy one)\n";
    return 1;
  }
  std::vector<std::string> args{"beam",        o.cali.sn,
                                o.cali.freq,   "--out",
                                p.out,         "--layout",
                                o.cali.layout, "--kit=" + o.kit,
                                "--beams",     std::to_string(o.beams),
                                "--devtype",   std::to_string(o.devtype),
                                "--what",      p.what,
                                "--mode",      p.mode};
  if (p.id != 0) {
    args.insert(args.end(), {"--id", std::to_string(p.id)});
  }
  if (!o.cali.files.empty()) {
    args.insert(args.end(), {"--files", o.cali.files});
  }
  return run_python_plot(args);
}

// --- calibration limits and the beam manager -----------------------------------------------

/// What the calibration manager hands the beam manager on a frequency change.
struct Calibrated {
  Value dr, comdr, eledr;
  Value layout;  // [boards, ICs per board, channels per IC]
};

/// Per mode: how many IC sections and the range of their values (element 1 of COMDR pairs).
std::string section_summary(const Value& per_mode, bool pairs) {
  std::string out;
  for (const auto& [name, mode] : arvcore::enum_members<RFMode>()) {
    const auto i = static_cast<std::size_t>(arvcore::enum_value(mode));
    if (!per_mode.is_array() || i >= per_mode.size() || !per_mode[i].is_array()) {
      continue;
    }
    Range r;
    for (const Value& section : per_mode[i]) {
      r.add(pairs && section.is_array() && section.size() > 1 ? section[1] : section);
    }
    out += fmt::format("  {} {} sections, {} {}", name, per_mode[i].size(), pairs ? "max" : "limit",
                       r.text());
  }
  return out;
}

/// Parses the calibration table of SN and FREQ and reads its limits, printing each step.
/// Empty when a step failed.
std::optional<Calibrated> calibrate(const BeamOptions& o) {
  OpenedCali cali = open_cali(o.cali);
  auto& m = *cali.manager;
  std::cout << "calibration parse: " << value::printable(result_line(cali.result));
  if (!m.path_cali().empty()) {
    std::cout << " (" << value::printable(m.path_cali()) << ")";
  }
  std::cout << "\n";
  if (cali.result.RetCode != RetCode::OK) {
    return std::nullopt;
  }
  const RetType dr = m.getDR();
  const RetType comdr = m.getCOMDR();
  const RetType eledr = m.getELEDR();
  std::string dr_text;
  if (dr.RetData.is_object()) {
    for (const auto& [mode, range] : dr.RetData.items()) {
      dr_text += fmt::format("  {} {}", mode, value::repr(range));
    }
  }
  std::cout << "getDR:    " << value::printable(result_line(dr)) << dr_text << "\n"
            << "getCOMDR: " << value::printable(result_line(comdr))
            << section_summary(comdr.RetData, true) << "\n"
            << "getELEDR: " << value::printable(result_line(eledr))
            << section_summary(eledr.RetData, false) << "\n";
  if (!dr.ok() || !comdr.ok() || !eledr.ok()) {
    return std::nullopt;
  }
  return Calibrated{dr.RetData, comdr.RetData, eledr.RetData,
                    Value::array({m.num_board(), m.num_ic_per_board(), m.num_channel_per_ic()})};
}

/// A beam manager for the device, holding the limits of the frequency.
BeamPatternTableManager beam_manager(const BeamOptions& o, const Calibrated& c, const Value& freq) {
  BeamPatternTableManager mgr(o.cali.sn, o.devtype, o.beams, c.layout, std::nullopt);
  mgr._updateFreq(freq, c.dr, c.comdr, c.eledr);
  mgr._updateAAKit(o.kit);
  return mgr;
}

void print_counts(const Value& table) {
  for (const auto& [name, mode] : arvcore::enum_members<RFMode>()) {
    const std::string key(name);
    const std::size_t n = table.contains(key) && table[key].is_object() ? table[key].size() : 0;
    std::cout << fmt::format("  {}: {} stored beams\n", key, n);
  }
}

// --- beam convert --------------------------------------------------------------------------

/// A free name for the copy of a legacy table: "<stem>.legacy-<version>[-n].json". It cannot
/// be taken for the table of any kit, whose names continue "GHz_" after the frequency.
fs::path legacy_copy_path(const fs::path& table, const Value& version) {
  std::string ver = value::str(version);
  for (char& ch : ver) {
    const bool plain = std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '.' || ch == '-';
    ch = plain ? ch : '_';
  }
  const std::string stem = table.stem().string() + ".legacy-" + ver;
  fs::path candidate = table.parent_path() / (stem + ".json");
  for (int n = 2; fs::exists(candidate); ++n) {
    candidate = table.parent_path() / fmt::format("{}-{}.json", stem, n);
  }
  return candidate;
}

/// What became of the beams of one mode of a legacy table.
struct ModeReport {
  std::size_t legacy = 0, beams = 0, channels = 0, clamped = 0;
  std::vector<std::string> dropped;
};

ModeReport compare_mode(const Value& legacy_list, const Value& converted, std::int64_t per_ic) {
  ModeReport r;
  if (!legacy_list.is_array()) {
    return r;
  }
  r.legacy = legacy_list.size();
  for (const Value& beam : legacy_list) {
    const std::string id = beam.contains("beamId") ? value::str(beam["beamId"]) : "?";
    if (!converted.contains(id)) {
      r.dropped.push_back(id);
      continue;
    }
    const Value& entry = converted[id];
    if (!entry.contains("channel_config")) {
      ++r.beams;
      continue;
    }
    ++r.channels;
    if (!beam.contains("channel_config") || !beam["channel_config"].is_array() || per_ic <= 0) {
      continue;
    }
    for (const Value& ch : beam["channel_config"]) {
      if (!ch.contains("channel") || !ch["channel"].is_number_integer() || !ch.contains("db")) {
        continue;
      }
      const std::int64_t n = ch["channel"].get<std::int64_t>();
      const Value& group =
          entry["channel_config"].value(fmt::format("board_{}", (n - 1) / per_ic + 1), Value());
      const std::string key = fmt::format("channel_{}", (n - 1) % per_ic + 1);
      if (group.is_object() && group.contains(key) && group[key].value("db", Value()) != ch["db"]) {
        ++r.clamped;
      }
    }
  }
  return r;
}

int run_convert(const BeamOptions& o) {
  const Value freq = frequency(o.cali.freq);
  const fs::path path = table_path(o);
  if (!fs::exists(path)) {
    std::cerr << "no beam table at " << value::printable(path.string()) << "\n";
    return 1;
  }
  const std::string text = value::read_text_file(path);
  const Value legacy = value::parse_json(text);
  if (!legacy.is_object()) {
    std::cerr << value::printable(path.string())
              << " does not hold a beam table (not a JSON object)\n";
    return 1;
  }
  if (!is_legacy(legacy)) {
    std::cout << value::printable(path.string()) << " is already in the current layout (VERSION "
              << value::printable(value::repr(legacy["VERSION"])) << "); nothing to convert\n";
    return 0;
  }
  const Value version = legacy.value("version", Value());
  std::cout << "legacy table " << value::printable(path.string()) << ", version "
            << value::printable(value::str(version)) << "\n";
  const std::optional<Calibrated> cal = calibrate(o);
  if (!cal) {
    std::cout << "not converted: the conversion needs the limits of the calibration table\n";
    return 1;
  }
  // The conversion writes the table in place; the legacy text is kept first.
  const fs::path copy = legacy_copy_path(path, version);
  value::write_file_atomic(copy, text);
  BeamPatternTableManager mgr = beam_manager(o, *cal, freq);
  const RetType loaded = mgr._load(freq, o.kit);
  std::cout << "convert: " << value::printable(result_line(loaded)) << "\n";
  if (!loaded.ok()) {
    fs::remove(copy);
    std::cout << "the legacy file is unchanged\n";
    return 1;
  }
  const std::int64_t per_ic = cal->layout[2].get<std::int64_t>();
  for (const auto& [name_view, mode] : arvcore::enum_members<RFMode>()) {
    const std::string name(name_view);
    const ModeReport r =
        compare_mode(legacy.value(name + "_beam_list", Value()), mgr.BeamTable()[name], per_ic);
    std::cout << fmt::format("  {}: {} legacy beams -> {} BEAM + {} CHANNEL", name, r.legacy,
                             r.beams, r.channels);
    if (r.clamped > 0) {
      std::cout << fmt::format(", channel gains clamped to COMDR max + ELEDR: {}", r.clamped);
    }
    if (!r.dropped.empty()) {
      std::string ids;
      for (const auto& id : r.dropped) {
        ids += (ids.empty() ? "" : ", ") + value::printable(id);
      }
      std::cout << fmt::format(", dropped (no beam type): {}", ids);
    }
    std::cout << "\n";
  }
  std::cout << "  CHANNEL groups carry common_db null until the device sets them\n"
            << "written " << value::printable(path.string()) << " (VERSION v"
            << arvcore::vlndev::BTField_version << ")\nlegacy copy kept at "
            << value::printable(copy.string()) << "\n";
  return 0;
}

// --- device --------------------------------------------------------------------------------

int run_device(const BeamOptions& o) {
  const Value freq = frequency(o.cali.freq);
  const fs::path path = table_path(o);
  std::cout << fmt::format("Frequency change of {} to {} GHz{}\n", value::printable(o.cali.sn),
                           value::str(freq),
                           o.kit.empty() ? "" : ", kit " + value::printable(o.kit));
  std::cout << "1. calibration manager: parse, then the limits for the beam manager\n";
  const std::optional<Calibrated> cal = calibrate(o);
  if (!cal) {
    std::cout << "stopped: without the limits of the calibration table no beam table is loaded\n";
    return 1;
  }
  std::cout << fmt::format(
      "2. beam manager: _updateFreq({}, DR, COMDR, ELEDR), _updateAAKit('{}'), "
      "layout {}\n",
      value::str(freq), value::printable(o.kit), value::repr(cal->layout));
  BeamPatternTableManager mgr = beam_manager(o, *cal, freq);

  std::string before = "no table file: a fresh v2.0.0 table is created";
  if (fs::exists(path)) {
    try {
      const Value table = value::read_json_file(path);
      if (!table.is_object()) {
        before = "the file is not a beam table";
      } else if (is_legacy(table)) {
        before = "legacy table (version " +
                 value::printable(value::str(table.value("version", Value()))) +
                 "): converted and rewritten";
      } else if (table["VERSION"] != Value("v" + std::string(arvcore::vlndev::BTField_version))) {
        before =
            "table of version " + value::printable(value::str(table["VERSION"])) + ": rewritten";
      } else {
        before = "current table: read as it is";
      }
    } catch (const std::exception&) {
      before = "the file cannot be read as JSON";
    }
  }
  std::cout << "3. beam manager: _load(" << value::str(freq) << ", '" << value::printable(o.kit)
            << "')\n"
            << "  " << value::printable(path.string()) << "\n  " << before << "\n";
  const RetType loaded = mgr._load(freq, o.kit);
  std::cout << "  result: " << value::printable(result_line(loaded)) << "\n";
  if (!loaded.ok()) {
    return 1;
  }
  print_counts(mgr.BeamTable());
  std::cout << fmt::format("ready: {} beam ids per mode on {} channels\n", o.beams, mgr.totalCH());
  return 0;
}

}  // namespace

void add_beam_commands(CLI::App& app) {
  auto opts = std::make_shared<BeamOptions>();
  CLI::App* beam = app.add_subcommand("beam", "Beam pattern tables BeamTable/*.json");
  beam->require_subcommand(1);

  CLI::App* show = beam->add_subcommand(
      "show", "Show the stored beams of each RF mode of the table of SN at FREQ (reads only)");
  add_beam_options(show, *opts);
  add_json_flag(show, opts->cali.json);
  show->callback([opts] { run_guarded([opts] { return run_show(*opts); }, 1); });

  auto plot_opts = std::make_shared<PlotOptions>();
  CLI::App* plot = beam->add_subcommand(
      "plot",
      fmt::format("Draw the table of SN at FREQ into --out (.png, .svg or .pdf): beam --id of "
                  "--mode (a CHANNEL beam as its groups x channels grid of db and deg, a BEAM "
                  "beam among the mode's steering angles), every BEAM beam of --mode "
                  "(steering), or the stored ids per mode (ids). {}",
                  plot_requirements));
  add_beam_options(plot, *opts);
  plot->add_option("--out", plot_opts->out, "Picture file (.png, .svg or .pdf)")->required();
  plot->add_option("--what", plot_opts->what, "What to draw")
      ->check(CLI::IsMember({"beam", "steering", "ids"}))
      ->capture_default_str();
  plot->add_option("--mode", plot_opts->mode, "RF mode (TX or RX)")->capture_default_str();
  plot->add_option("--id", plot_opts->id, "Beam id (for --what beam; marked for steering)");
  plot->callback(
      [opts, plot_opts] { run_guarded([&] { return run_plot(*opts, *plot_opts); }, 1); });

  CLI::App* convert = beam->add_subcommand(
      "convert",
      "Convert the legacy table of SN at FREQ to the current layout with the limits of its "
      "calibration table, report what changed, and keep a copy of the legacy file next to it");
  add_beam_options(convert, *opts);
  convert->callback([opts] { run_guarded([opts] { return run_convert(*opts); }, 1); });

  CLI::App* device = app.add_subcommand(
      "device",
      "Walk through what a device does when its frequency changes to FREQ: parse the "
      "calibration table, hand its limits to the beam manager, load or create the beam table");
  add_beam_options(device, *opts);
  device->callback([opts] { run_guarded([opts] { return run_device(*opts); }, 1); });
}

}  // namespace vlntable
