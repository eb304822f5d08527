// vlntable: inspect and maintain the calibration, antenna-kit, beam and delta-frequency
// tables of the SDK's data directory.

#include <CLI/CLI.hpp>

#include "commands.hpp"

namespace vlntable {

int& exit_status() {
  static int status = 0;
  return status;
}

}  // namespace vlntable

int main(int argc, char** argv) {
  CLI::App app{"vlntable: inspect and maintain the table files of the SDK's data directory"};
  app.require_subcommand(1);
  vlntable::add_cali_commands(app);
  vlntable::add_cali_query_commands(app);
  vlntable::add_kit_commands(app);
  vlntable::add_delta_commands(app);
  vlntable::add_beam_commands(app);
  CLI11_PARSE(app, argc, argv);
  return vlntable::exit_status();
}
