// Parses one calibration table through the installed arvcore library and prints its dynamic
// ranges: `consumer SN FREQ` with the data directory in ARVCORE_FILES_DIR.

#include <cstdlib>
#include <iostream>
#include <string>

#include "arvcore/value/json.hpp"
#include "arvcore/version.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: consumer SN FREQ\n";
    return 2;
  }
  using namespace arvcore;
  const Value freq = std::stoll(argv[2]);
  vlndev::CalibrationTableManager cali(argv[1], freq, [] { return Value::array({4, 1, 4}); });
  const RetType ret = cali.parse(freq);
  if (ret.RetCode != RetCode::OK) {
    std::cerr << "parse failed: " << ret.RetMsg << "\n";
    return 1;
  }
  std::cout << "arvcore " << arvcore::version << " DR "
            << value::dump_json(cali.getDR().RetData, -1) << "\n";
  return 0;
}
