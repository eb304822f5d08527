// The up/down converter delta-frequency parse.
//
// Input: the text of D2230E013-28.csv.

#include <cstdint>
#include <memory>

#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"
#include "fuzz_support.hpp"

namespace {

using arvcore::vlndev::UDDeltaFreqTableManager;

UDDeltaFreqTableManager& manager() {
  static std::unique_ptr<UDDeltaFreqTableManager> m = [] {
    arvcore::fuzz::quiet_logging();
    arvcore::fuzz::scratch_dir();
    return std::make_unique<UDDeltaFreqTableManager>("D2230E013-28");
  }();
  return *m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  UDDeltaFreqTableManager& m = manager();
  arvcore::fuzz::write_input(arvcore::fuzz::scratch_dir() / "D2230E013-28.csv", data, size);
  m.parse();
  m.getUDDeltaFreq();
  return 0;
}
