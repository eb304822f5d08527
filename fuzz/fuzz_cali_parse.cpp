// The calibration table parse, then the queries a device makes on whatever table the parse
// left. The text is handed over as an open stream, the parse's own entry for tables that do
// not come from the data directory (the file reader underneath is fuzzed by fuzz_csv).
//
// Input: the text of a calibration table for device D2230E013-28 at 28 GHz with 4 boards x
// 1 IC x 4 channels.

#include <cstdint>
#include <exception>
#include <memory>
#include <sstream>
#include <string>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "fuzz_support.hpp"

namespace {

using arvcore::Value;
using arvcore::vlndev::CalibrationTableManager;

constexpr const char* kSn = "D2230E013-28";

CalibrationTableManager& manager() {
  static std::unique_ptr<CalibrationTableManager> m = [] {
    arvcore::fuzz::quiet_logging();
    return std::make_unique<CalibrationTableManager>(
        kSn, Value(28),
        [] {
          return Value::array({4, 1, 4});
        },
        false, false,
        /*fetchCsvFromFile=*/false);
  }();
  return *m;
}

void query_all(CalibrationTableManager& m) {
  arvcore::fuzz::ignore_errors([&] { m.getDR(); });
  arvcore::fuzz::ignore_errors([&] { m.getDR(arvcore::RFMode::RX); });
  arvcore::fuzz::ignore_errors([&] { m.getCOMDR(); });
  arvcore::fuzz::ignore_errors([&] { m.getELEDR(); });
  arvcore::fuzz::ignore_errors([&] { m._getBoardCOMDR(arvcore::RFMode::TX, 1); });
  arvcore::fuzz::ignore_errors([&] { m._getBoardELEDR(std::int64_t{1}, 0); });
  arvcore::fuzz::ignore_errors([&] { m._getBoardsOffset({1, 2, 3, 4}, "TX", 1); });
  arvcore::fuzz::ignore_errors([&] { m._getTC(); });
  arvcore::fuzz::ignore_errors([&] { m._searchComStepDR(1, "RX", -5.0, 5.0); });
  arvcore::fuzz::ignore_errors([&] {
    m._getComData("TX", 2, 1, Value::array({1, 2, 3, 4}),
                  Value::array({Value::array({3.5, -2.0, 0.5, 7.0}), Value::array({0, 1, 2, 3})}),
                  Value::array({Value::array({45, 90, 0, 355}), Value::array({0, 0, 0, 0})}),
                  Value::array({Value::array({"COM_1"}), Value::array({"COM_2"})}));
  });
  arvcore::fuzz::ignore_errors([&] { m.queryCaliTableVer(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CalibrationTableManager& m = manager();
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  if (m.parse(28, &in).ok()) {
    query_all(m);
  }
  return 0;
}
