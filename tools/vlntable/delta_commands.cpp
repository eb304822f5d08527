// `vlntable delta SN`: the converter delta frequency of one serial number.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {
namespace {

// The file holds the number as the converter's frequency settings take it: in MHz.
constexpr const char* kDeltaUnit = "MHz";

struct DeltaOptions {
  std::string files;
  std::string sn;
  bool json = false;
};

int run_delta(const DeltaOptions& o) {
  if (!o.files.empty()) {
    ::setenv("ARVCORE_FILES_DIR", o.files.c_str(), 1);
  }
  // The answer's message is printed here; the log would only repeat it.
  arvcore::log::set_level("UDDeltaTbl", 100);
  arvcore::vlndev::UDDeltaFreqTableManager m(o.sn);
  const arvcore::RetType ret = m.parse();
  if (o.json) {
    print_json({{"sn", o.sn},
                {"result", result_json(ret)},
                {"delta", ret.ok() ? m.getUDDeltaFreq().RetData : arvcore::Value()},
                {"unit", kDeltaUnit}});
  }
  if (!ret.ok()) {
    std::cerr << arvcore::value::printable(o.sn) << ": " << arvcore::value::printable(ret.RetMsg)
              << "\n";
    return 1;
  }
  if (o.json) {
    return 0;
  }
  std::cout << arvcore::value::printable(o.sn) << ": delta frequency "
            << m.getUDDeltaFreq().RetData.get<std::int64_t>() << " " << kDeltaUnit << "\n";
  return 0;
}

}  // namespace

void add_delta_commands(CLI::App& app) {
  auto opts = std::make_shared<DeltaOptions>();
  CLI::App* delta = app.add_subcommand(
      "delta", "Minimum LO-to-IF frequency difference of an up/down converter ({SN}.csv)");
  delta->add_option("--files", opts->files,
                    "Data directory (default: $ARVCORE_FILES_DIR, else ./files)");
  delta->add_option("SN", opts->sn, "Serial number")->required();
  add_json_flag(delta, opts->json);
  delta->callback([opts] { exit_status() = run_delta(*opts); });
}

}  // namespace vlntable
