// `vlntable kit list|show|check`: the antenna-kit files of the data directory as the SDK reads
// them. Nothing is written: old-form custom kits are reported, not renamed.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {
namespace {

using arvcore::Value;
using arvcore::value::printable;
using arvcore::vlndev::AAKitFileReading;
using arvcore::vlndev::AAKitTableManager;

struct KitOptions {
  std::string files;
  std::int64_t devtype = 9;
  std::int64_t channels = 16;
  std::int64_t polar = 1;
  std::vector<std::int64_t> support;
  std::string target;  // kit name or file
  bool json = false;
};

void add_kit_options(CLI::App* cmd, KitOptions& o) {
  cmd->add_option("--files", o.files, "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  cmd->add_option("--devtype", o.devtype, "Device-type code of the device")->capture_default_str();
  cmd->add_option("--channels", o.channels, "Total antenna channels of the device")
      ->capture_default_str();
  cmd->add_option("--polar", o.polar, "Number of polarizations of the device")
      ->capture_default_str();
  cmd->add_option("--support", o.support,
                  "Device-type codes whose kit files are accepted (default: the device type)");
}

AAKitTableManager make_manager(const KitOptions& o) {
  if (!o.files.empty()) {
    ::setenv("ARVCORE_FILES_DIR", o.files.c_str(), 1);
  }
  // The reasons for skipped files are printed here; the log would only repeat them.
  arvcore::log::set_level("AAKitTbl", 100);
  return AAKitTableManager(o.devtype, o.channels, "files/", o.polar,
                           o.support.empty() ? std::vector<std::int64_t>{o.devtype} : o.support);
}

struct ListedKit {
  std::string file;
  Value record;
};

bool old_form(const std::string& name, const Value& record) {
  if (!record.contains("TYPE") || record["TYPE"] != Value(1)) {
    return false;
  }
  const auto sep = name.rfind('_');
  return sep == std::string::npos ||
         !AAKitTableManager::checkAAKitTimeFormat(std::string_view(name).substr(sep + 1));
}

std::string kind(const Value& record) {
  if (!record.contains("TYPE")) {
    return "-";
  }
  const Value& t = record["TYPE"];
  return t == Value(1) ? "custom" : t == Value(0) ? "official" : arvcore::value::str(t);
}

// The kits a parse would load, in table order; skipped files are reported on stderr and
// listed in `skipped` as {"file", "reasons"}.
Value scan(const AAKitTableManager& m, Value& skipped) {
  Value kits = Value::object();
  skipped = Value::array();
  for (const std::string& file : m._getAAKitTablePath()) {
    AAKitFileReading reading = m.readKitFile(file);
    if (reading.skipped) {
      Value reasons = Value::array();
      for (const auto& reason : reading.reasons) {
        std::cerr << "skipped " << printable(file) << ": " << printable(reason) << "\n";
        reasons.push_back(reason);
      }
      skipped.push_back({{"file", file}, {"reasons", std::move(reasons)}});
      continue;
    }
    kits[reading.name] = {{"file", file}, {"record", std::move(reading.record)}};
  }
  return kits;
}

// One kit as JSON: {"name", "file", "record", "old_form"}.
Value kit_json(const std::string& name, const Value& kit) {
  return {{"name", name},
          {"file", kit["file"]},
          {"record", kit["record"]},
          {"old_form", old_form(name, kit["record"])}};
}

// A failure of a --json command: the message on stderr and as {"error": ...} on stdout.
int fail(const KitOptions& o, const std::string& message) {
  std::cerr << printable(message) << "\n";
  if (o.json) {
    print_json({{"error", message}});
  }
  return 1;
}

void print_record(const std::string& name, const Value& record, const std::string& file) {
  std::cout << fmt::format("{:<12}{}\n{:<12}{}\n", "AAKIT_NAME", printable(name), "FILE",
                           printable(file));
  for (const auto& [field, value] : record.items()) {
    std::string cells;
    if (value.is_array()) {
      for (const auto& e : value) {
        cells += (cells.empty() ? "" : " ") + arvcore::value::str(e);
      }
    } else {
      cells = arvcore::value::str(value);
    }
    if (field == "TYPE") {
      cells += " (" + kind(record) + ")";
    }
    std::cout << fmt::format("{:<12}{}\n", printable(field), printable(cells));
  }
  if (old_form(name, record)) {
    std::cout << "note: custom kit in the old naming form; the SDK renames it to "
              << printable(name) << "_<time suffix> when it next reads the kits\n";
  }
}

int run_list(const KitOptions& o) {
  const AAKitTableManager m = make_manager(o);
  if (m._getAAKitTablePath().empty()) {
    return fail(o, fmt::format("'{}' does not exist any AAKit table", m.defaultDir()->string()));
  }
  Value skipped;
  const Value kits = scan(m, skipped);
  if (kits.empty()) {
    return fail(o, "No available AAKit table here");
  }
  if (o.json) {
    Value list = Value::array();
    for (const auto& [name, kit] : kits.items()) {
      list.push_back(kit_json(name, kit));
    }
    print_json({{"kits", std::move(list)}, {"skipped", std::move(skipped)}});
    return 0;
  }
  std::cout << fmt::format("{:<40} {:<9} {:<9} {}\n", "NAME", "TYPE", "DEV_TYPE", "FILE");
  for (const auto& [name, kit] : kits.items()) {
    const Value& record = kit["record"];
    const std::string dev =
        record.contains("DEV_TYPE") ? arvcore::value::str(record["DEV_TYPE"]) : "-";
    std::cout << fmt::format(
        "{:<40} {:<9} {:<9} {}{}\n", printable(name), printable(kind(record)), printable(dev),
        printable(std::filesystem::path(kit["file"].get<std::string>()).filename().string()),
        old_form(name, record) ? "  (old-form name)" : "");
  }
  return 0;
}

int run_show(const KitOptions& o) {
  const AAKitTableManager m = make_manager(o);
  Value skipped;
  const Value kits = scan(m, skipped);
  if (!kits.contains(o.target)) {
    return fail(o, "There is NOT matched AAKit name: " + o.target);
  }
  const Value& kit = kits[o.target];
  if (o.json) {
    print_json(kit_json(o.target, kit));
    return 0;
  }
  print_record(o.target, kit["record"], kit["file"].get<std::string>());
  return 0;
}

int run_check(const KitOptions& o) {
  const AAKitTableManager m = make_manager(o);
  const std::filesystem::path file(o.target);
  const std::string base = file.filename().string();
  int status = 0;
  if (!(base.starts_with("AAKIT_") && base.ends_with(".csv") && base.size() >= 10)) {
    std::cout << "not read: the file name does not match AAKIT_*.csv\n";
    status = 1;
  } else {
    std::error_code ec;
    if (!std::filesystem::equivalent(file.parent_path().empty() ? "." : file.parent_path(),
                                     *m.defaultDir(), ec)) {
      std::cout << "not read: the file is not in the data directory "
                << printable(m.defaultDir()->string()) << "\n";
      status = 1;
    }
  }
  const AAKitFileReading reading = m.readKitFile(file);
  if (reading.skipped) {
    for (const auto& reason : reading.reasons) {
      std::cout << "skipped: " << printable(reason) << "\n";
    }
    return 1;
  }
  std::cout << (status == 0 ? "loaded" : "readable") << ": kit " << printable(reading.name) << "\n";
  print_record(reading.name, reading.record, file.string());
  return status;
}

}  // namespace

void add_kit_commands(CLI::App& app) {
  CLI::App* kit = app.add_subcommand("kit", "Antenna-array kit (AAKit) files");
  kit->require_subcommand(1);
  auto opts = std::make_shared<KitOptions>();

  CLI::App* list = kit->add_subcommand("list", "List the kits the SDK would load");
  add_kit_options(list, *opts);
  add_json_flag(list, opts->json);
  list->callback([opts] { exit_status() = run_list(*opts); });

  CLI::App* show = kit->add_subcommand("show", "Show one kit's record as a table");
  add_kit_options(show, *opts);
  show->add_option("NAME", opts->target, "Kit name")->required();
  add_json_flag(show, opts->json);
  show->callback([opts] { exit_status() = run_show(*opts); });

  CLI::App* check =
      kit->add_subcommand("check", "Say whether one kit file is loaded, and why it is skipped");
  add_kit_options(check, *opts);
  check->add_option("FILE", opts->target, "Kit file")->required();
  check->callback([opts] { exit_status() = run_check(*opts); });
}

}  // namespace vlntable
