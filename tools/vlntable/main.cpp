// vlntable: inspect and maintain the calibration, antenna-kit, beam and delta-frequency
// tables of the SDK's data directory.

#include <exception>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "arvcore/sdk/errors.hpp"
#include "arvcore/version.hpp"

#include "commands.hpp"

namespace vlntable {

int& exit_status() {
  static int status = 0;
  return status;
}

void run_guarded(const std::function<int()>& body, int failure_status) {
  try {
    exit_status() = body();
  } catch (const arvcore::KeyError& e) {
    std::cerr << "error: the table has no entry '" << e.what() << "'\n";
    exit_status() = failure_status;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    exit_status() = failure_status;
  }
}

}  // namespace vlntable

int main(int argc, char** argv) {
  CLI::App app{"vlntable: inspect and maintain the table files of the SDK's data directory"};
  app.set_version_flag("--version", std::string("vlntable ") + arvcore::version);
  app.require_subcommand(1);
  vlntable::add_cali_commands(app);
  vlntable::add_cali_query_commands(app);
  vlntable::add_kit_commands(app);
  vlntable::add_delta_commands(app);
  vlntable::add_beam_commands(app);
  vlntable::add_plot_commands(app);
  vlntable::add_db_commands(app);
  CLI11_PARSE(app, argc, argv);
  return vlntable::exit_status();
}
