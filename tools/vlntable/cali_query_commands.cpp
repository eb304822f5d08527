// The query part of `vlntable cali show`, and `vlntable cali offsets|comdata`: what the device
// would read from a calibration table (limits, offsets, TC, step ranges, ComData entries).

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {

using arvcore::RetType;
using arvcore::RFMode;
using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

namespace {

std::string trimmed(std::string line) {
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

std::string text(const Value& v) {
  return arvcore::value::str(v);
}

// Whether `a` is a number above `b` (texts by their float value); false when either is not one.
bool above(const Value& a, const Value& b) {
  try {
    return arvcore::value::to_float(a) > arvcore::value::to_float(b);
  } catch (const std::exception&) {
    return false;
  }
}

// A pair of range ends as "low .. high", whichever order the table keeps them in (COMSTEPDR
// rows give HIGH first); anything else as the host prints it.
std::string range_text(const Value& v) {
  if (v.is_array() && v.size() == 2 && v[0].is_primitive() && v[1].is_primitive()) {
    const bool high_first = above(v[0], v[1]);
    return text(v[high_first ? 1 : 0]) + " .. " + text(v[high_first ? 0 : 1]);
  }
  return text(v);
}

// Prints one part of the report; a part the table cannot answer says why instead.
template <class Fn>
void part(std::ostream& out, const char* title, Fn&& fn) {
  out << "\n" << title << "\n";
  try {
    fn();
  } catch (const std::exception& e) {
    out << "  unavailable: " << arvcore::value::printable(e.what()) << "\n";
  }
}

const Value& data_or_throw(const RetType& r) {
  if (!r.ok()) {
    throw arvcore::Error(result_line(r));
  }
  return r.RetData;
}

std::vector<std::string> mode_names() {
  std::vector<std::string> names;
  for (const auto& [name, mode] : arvcore::enum_members<RFMode>()) {
    names.emplace_back(name);
  }
  return names;
}

// A number as the device passes it: an integer when the text is one, else a float. The kind
// matters: a phase of 45.0 makes another ComData key than 45.
Value number(const std::string& t) {
  try {
    return arvcore::value::parse_int(t);
  } catch (const arvcore::ValueError&) {
    return arvcore::value::parse_float(t);
  }
}

// A per-board list of `width` values, indexed by channel number - 1, holding `values` at the
// positions of `channels`: one value for every channel, or one per channel in their order.
Value per_channel(const std::vector<std::string>& values, const Value& channels, std::size_t width,
                  const char* what) {
  if (values.size() != 1 && values.size() != channels.size()) {
    throw std::invalid_argument(
        fmt::format("--{} takes one value or one per channel ({} channels), not {}", what,
                    channels.size(), values.size()));
  }
  Value out(Value::array_t(width, Value(0)));
  for (std::size_t i = 0; i < channels.size(); ++i) {
    out[channels[i].get<std::size_t>() - 1] = number(values.size() == 1 ? values[0] : values[i]);
  }
  return out;
}

// The numbers of a ComData entry, by name and unit.
const char* const kComDataFields[] = {"reg_gain", "reg_phase", "meas_gain", "meas_phase"};
const char* const kComDataUnits[] = {"", "", " dB", " degrees"};

std::string comdata_text(const Value& entry) {
  if (!entry.is_array() || entry.size() != 4) {
    return text(entry);
  }
  std::vector<std::string> parts;
  for (std::size_t k = 0; k < 4; ++k) {
    parts.push_back(fmt::format("{} {}{}", kComDataFields[k], text(entry[k]), kComDataUnits[k]));
  }
  return fmt::format("{}", fmt::join(parts, ", "));
}

int report_unreadable(const RetType& parse_result, bool json) {
  if (json) {
    print_json({{"result", result_json(parse_result)}});
  } else {
    std::cout << arvcore::value::printable(result_line(parse_result)) << "\n";
  }
  return 1;
}

struct OffsetOptions {
  CaliOptions cali;
  std::vector<std::int64_t> boards;  // default: every board
  std::string mode;                  // default: every mode
  std::int64_t chip = 1;
};

int offsets(const OffsetOptions& o) {
  const OpenedCali c = open_cali(o.cali);
  if (!c.result.ok()) {
    return report_unreadable(c.result, o.cali.json);
  }
  CalibrationTableManager& m = *c.manager;
  for (const auto b : o.boards) {
    check_range("--boards", b, m.num_board(), o.cali.layout, "boards");
  }
  check_range("--chip", o.chip, m.num_ic_per_board(), o.cali.layout, "ICs per board");
  std::vector<std::int64_t> boards = o.boards;
  if (boards.empty()) {
    for (std::int64_t b = 1; b <= m.num_board(); ++b) {
      boards.push_back(b);
    }
  }
  const std::vector<std::string> modes = o.mode.empty() ? mode_names() : std::vector{o.mode};
  Value doc = {{"result", result_json(c.result)},
               {"boards", Value(boards)},
               {"chip", o.chip},
               {"OFFSET", Value::object()}};
  for (const auto& mode : modes) {
    const auto answer = m._getBoardsOffset(boards, mode, o.chip);
    if (const auto* r = std::get_if<RetType>(&answer)) {
      return report_unreadable(*r, o.cali.json);
    }
    const Value& lists = std::get<Value>(answer);
    if (o.cali.json) {
      doc["OFFSET"][mode] = lists;
      continue;
    }
    std::cout << "OFFSET " << mode << " chip " << o.chip << "\n";
    for (std::size_t i = 0; i < lists.size() && i < boards.size(); ++i) {
      std::vector<std::string> cells;
      for (const auto& v : lists[i]) {
        cells.push_back(text(v));
      }
      std::cout << fmt::format("  board {}: {}\n", boards[i], fmt::join(cells, ", "));
    }
  }
  if (o.cali.json) {
    print_json(doc);
  }
  return 0;
}

struct ComDataOptions {
  CaliOptions cali;
  std::string mode = "TX";
  std::int64_t chip = 1;
  std::vector<std::string> steps;     // "3" or "COM_3"
  std::vector<std::int64_t> channel;  // default: every channel of an IC
  std::vector<std::string> gain;
  std::vector<std::string> phase;
};

int comdata(const ComDataOptions& o) {
  const OpenedCali c = open_cali(o.cali);
  if (!c.result.ok()) {
    return report_unreadable(c.result, o.cali.json);
  }
  CalibrationTableManager& m = *c.manager;
  check_range("--chip", o.chip, m.num_ic_per_board(), o.cali.layout, "ICs per board");
  for (const auto ch : o.channel) {
    check_range("--channel", ch, m.num_channel_per_ic(), o.cali.layout, "channels per IC");
  }
  Value channel = Value::array();
  if (o.channel.empty()) {
    for (std::int64_t ch = 1; ch <= m.num_channel_per_ic(); ++ch) {
      channel.push_back(ch);
    }
  } else {
    for (const auto ch : o.channel) {
      channel.push_back(ch);
    }
  }
  Value steps = Value::array();
  for (const auto& s : o.steps) {
    steps.push_back(s.starts_with("COM_") ? s : "COM_" + s);
  }
  std::size_t width = 0;
  for (const auto& ch : channel) {
    if (ch.get<std::int64_t>() < 1) {
      throw std::invalid_argument("channel numbers start at 1");
    }
    width = std::max(width, ch.get<std::size_t>());
  }
  const Value gains = per_channel(o.gain, channel, width, "gain");
  const Value phases = per_channel(o.phase, channel, width, "phase");
  Value gain = Value::array();
  Value phase = Value::array();
  Value com_list = Value::array();
  for (std::int64_t b = 0; b < m.num_board(); ++b) {
    gain.push_back(gains);
    phase.push_back(phases);
    com_list.push_back(steps);
  }
  const Value result = m._getComData(o.mode, m.num_board(), o.chip, channel, gain, phase, com_list);
  bool complete = static_cast<std::int64_t>(result.size()) == m.num_board();
  if (o.cali.json) {
    for (const auto& board : result) {
      for (const auto& [step, entries] : board.items()) {
        complete = complete && entries.size() == channel.size();
      }
    }
    // The arguments of the manager's _getComData call, then its answer.
    print_json({{"result", result_json(c.result)},
                {"rf_mode_str", o.mode},
                {"board", m.num_board()},
                {"chip", o.chip},
                {"channel", channel},
                {"gain", gain},
                {"phase", phase},
                {"com_list", com_list},
                {"ComData", result},
                {"fields", Value::array({"reg_gain", "reg_phase", "meas_gain", "meas_phase"})},
                {"complete", complete}});
    return complete ? 0 : 1;
  }
  for (std::size_t b = 0; b < result.size(); ++b) {
    for (const auto& [step, entries] : result[b].items()) {
      std::cout << fmt::format("BOARD_{} {} chip {} {}\n", b + 1, o.mode, o.chip, step);
      const bool labelled = entries.size() == channel.size();
      complete = complete && labelled;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string label =
            labelled ? fmt::format("channel {}", text(channel[i])) : fmt::format("entry {}", i + 1);
        std::cout << fmt::format("  {}: {}\n", label, comdata_text(entries[i]));
      }
    }
  }
  if (!complete) {
    std::cout << "some entries were not found (see the log lines above)\n";
  }
  return complete ? 0 : 1;
}

}  // namespace

void show_cali_queries(CalibrationTableManager& manager, std::ostream& out) {
  const std::vector<std::string> modes = mode_names();
  part(out, "Total dynamic range (dB)", [&] {
    const Value dr = data_or_throw(manager.getDR());
    for (const auto& [mode, range] : dr.items()) {
      out << fmt::format("  {:<4} {}\n", mode, range_text(range));
    }
  });
  part(out, "Common-arm range (COMDR) and element-arm limit (ELEDR) per IC section (dB)", [&] {
    const Value com = data_or_throw(manager.getCOMDR());
    const Value ele = data_or_throw(manager.getELEDR());
    std::string header = fmt::format("  {:<10}", "section");
    for (const auto& mode : modes) {
      header += fmt::format(" {:<22} {:<10}", mode + " COMDR", mode + " ELEDR");
    }
    out << trimmed(header) << "\n";
    const std::size_t sections = com.empty() ? 0 : com[0].size();
    for (std::size_t i = 0; i < sections; ++i) {
      std::string row = fmt::format("  BOARD_{:<4}", i + 1);
      for (std::size_t m = 0; m < modes.size(); ++m) {
        row += fmt::format(" {:<22} {:<10}", range_text(com[m][i]), text(ele[m][i]));
      }
      out << trimmed(row) << "\n";
    }
  });
  part(out, "Temperature compensation per IC section (TX values, then RX values)", [&] {
    const Value tc = manager._getTC();
    for (std::size_t i = 0; i < tc[0].size(); ++i) {
      out << fmt::format("  BOARD_{:<4} {}\n", i + 1, text(tc[0][i]));
    }
  });
  part(out, "Common-arm step ranges per IC section (dB)", [&] {
    const Value& table = manager.caliTableHeader();  // COMSTEPDR is a header row
    const std::int64_t sections = manager.num_board() * manager.num_ic_per_board();
    for (std::int64_t i = 1; i <= sections; ++i) {
      const std::string section = fmt::format("BOARD_{}", i);
      for (const auto& mode : modes) {
        const Value& steps = table.at(section).at(mode).at("COMSTEPDR");
        std::vector<std::string> cells;
        for (const auto& [step, range] : steps.items()) {
          cells.push_back(fmt::format("{} {}", step, range_text(range)));
        }
        out << fmt::format("  {:<10} {:<3} {}\n", section, mode, fmt::join(cells, ", "));
      }
    }
  });
}

Value cali_queries_json(CalibrationTableManager& manager) {
  Value doc = Value::object();
  Value unavailable = Value::object();
  auto part = [&](const char* key, auto&& fn) {
    try {
      doc[key] = fn();
    } catch (const std::exception& e) {
      doc[key] = nullptr;
      unavailable[key] = e.what();
    }
  };
  part("DR", [&] { return data_or_throw(manager.getDR()); });
  part("COMDR", [&] { return data_or_throw(manager.getCOMDR()); });
  part("ELEDR", [&] { return data_or_throw(manager.getELEDR()); });
  part("TC", [&] { return manager._getTC(); });
  part("COMSTEPDR", [&] {
    const Value& table = manager.caliTableHeader();  // COMSTEPDR is a header row
    Value out = Value::object();
    for (std::int64_t i = 1; i <= manager.num_board() * manager.num_ic_per_board(); ++i) {
      const std::string section = fmt::format("BOARD_{}", i);
      for (const auto& mode : mode_names()) {
        out[section][mode] = table.at(section).at(mode).at("COMSTEPDR");
      }
    }
    return out;
  });
  doc["unavailable"] = std::move(unavailable);
  return doc;
}

void add_cali_query_commands(CLI::App& app) {
  CLI::App* cali = app.get_subcommand("cali");

  auto off = std::make_shared<OffsetOptions>();
  CLI::App* offsets_cmd = cali->add_subcommand(
      "offsets", "Print the per-channel offsets the device would get for SN at FREQ");
  add_cali_options(offsets_cmd, off->cali);
  offsets_cmd->add_option("--boards", off->boards, "Board numbers (default: every board)")
      ->delimiter(',');
  offsets_cmd->add_option("--mode", off->mode, "RF mode TX or RX (default: both)");
  offsets_cmd->add_option("--chip", off->chip, "IC position within each board")
      ->capture_default_str();
  add_json_flag(offsets_cmd, off->cali.json);
  offsets_cmd->callback([off] { run_guarded([&] { return offsets(*off); }); });

  auto cd = std::make_shared<ComDataOptions>();
  CLI::App* comdata_cmd = cali->add_subcommand(
      "comdata",
      "Print the ComData entries the device would get for SN at FREQ: every board, the given "
      "channels, gains and phases, and common-arm steps");
  add_cali_options(comdata_cmd, cd->cali);
  comdata_cmd->add_option("--mode", cd->mode, "RF mode TX or RX")->capture_default_str();
  comdata_cmd->add_option("--chip", cd->chip, "IC number within each board")->capture_default_str();
  comdata_cmd->add_option("--step", cd->steps, "Common-arm steps (3 or COM_3), comma separated")
      ->delimiter(',')
      ->required();
  comdata_cmd
      ->add_option("--channel", cd->channel, "Channel numbers (default: every channel of an IC)")
      ->delimiter(',');
  comdata_cmd
      ->add_option("--gain", cd->gain, "Gain in dB: one for every channel, or one per channel")
      ->delimiter(',')
      ->required();
  comdata_cmd
      ->add_option("--phase", cd->phase,
                   "Phase in degrees: one for every channel, or one per channel (45 and 45.0 "
                   "are different keys, as for the device)")
      ->delimiter(',')
      ->required();
  add_json_flag(comdata_cmd, cd->cali.json);
  comdata_cmd->callback([cd] { run_guarded([&] { return comdata(*cd); }); });
}

}  // namespace vlntable
