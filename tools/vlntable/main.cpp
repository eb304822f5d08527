// vlntable: inspect and maintain the calibration, antenna-kit, beam and delta-frequency
// tables of the SDK's data directory.

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include <map>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <CLI/CLI.hpp>

#include "arvcore/sdk/log_format.hpp"

#include "arvcore/base/errors.hpp"
#include "arvcore/base/log.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/version.hpp"

#include "commands.hpp"

namespace vlntable {

int& exit_status() {
  static int status = 0;
  return status;
}

void run_guarded(const std::function<int()>& body, int failure_status) {
  std::string message;
  try {
    exit_status() = body();
    return;
  } catch (const arvcore::KeyError& e) {
    message = fmt::format("the table has no entry '{}'", e.what());
  } catch (const std::exception& e) {
    message = e.what();
  }
  std::cerr << "error: " << arvcore::value::printable(message) << "\n";
  if (json_requested()) {
    print_json_error(message);
  }
  exit_status() = failure_status;
}

namespace {

// The words of a command line that name a sub-command which does not exist, as a message
// listing those that do; "" when every sub-command word is known.
std::string unknown_command(const CLI::App& app, int argc, char** argv) {
  const CLI::App* at = &app;
  std::string path = "vlntable";
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const auto subs = at->get_subcommands([](const CLI::App*) { return true; });
    if (subs.empty()) {
      return {};
    }
    if (word.starts_with("-")) {
      continue;
    }
    const CLI::App* next = nullptr;
    std::vector<std::string> names;
    for (const CLI::App* sub : subs) {
      names.push_back(sub->get_name());
      if (sub->get_name() == word) {
        next = sub;
      }
    }
    if (next == nullptr) {
      return fmt::format("unknown command '{}' for '{}'; the commands are: {}", word, path,
                         fmt::join(names, ", "));
    }
    at = next;
    path += " " + word;
  }
  return {};
}

// Log records reach the terminal escaped, the failure's text under the message as without a
// sink: a serial number or file name in a record can neither forge a line nor drive the
// terminal. Each record is written in one call, as records may come from several threads.
void log_to_terminal(std::string_view /*logger*/, arvcore::log::Level /*level*/,
                     std::string_view message, std::string_view exc_text) {
  std::string text = arvcore::value::printable(message) + "\n";
  if (!exc_text.empty()) {
    text += arvcore::value::printable(exc_text) + "\n";
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void set_log_level(const std::string& level) {
  static const std::map<std::string, int> levels = {
      {"debug", 10}, {"info", 20}, {"warning", 30}, {"error", 40}, {"off", 100}};
  for (const char* name : {"CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB"}) {
    arvcore::log::set_level(name, levels.at(level));
  }
}

}  // namespace

}  // namespace vlntable

int main(int argc, char** argv) {
  CLI::App app{"vlntable: inspect and maintain the table files of the SDK's data directory"};
  app.set_version_flag("--version", std::string("vlntable ") + arvcore::version);
  app.require_subcommand(1);
  arvcore::log::set_sink(vlntable::log_to_terminal);
  vlntable::add_cali_commands(app);
  vlntable::add_cali_query_commands(app);
  vlntable::add_kit_commands(app);
  vlntable::add_delta_commands(app);
  vlntable::add_beam_commands(app);
  vlntable::add_plot_commands(app);
  vlntable::add_db_commands(app);
  vlntable::add_cali_tool_commands(app);
  vlntable::add_cali_diff_command(app);
  app.add_option_function<std::string>("--log-level", vlntable::set_log_level,
                                       "Lowest level of the log records shown on standard error "
                                       "(default: warning)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}))
      ->trigger_on_parse();
  for (int i = 1; i < argc; ++i) {
    vlntable::json_requested() = vlntable::json_requested() || std::string(argv[i]) == "--json";
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string message = vlntable::unknown_command(app, argc, argv);
    if (message.empty()) {
      message = e.what();
    }
    std::cerr << "error: " << arvcore::value::printable(message) << "\n";
    if (vlntable::json_requested()) {
      vlntable::print_json_error(message);
    }
    return e.get_exit_code() != 0 ? 2 : 0;
  }
  return vlntable::exit_status();
}
