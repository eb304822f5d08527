// The beam table load: current tables, legacy tables converted to the current layout (with
// and without a kit), the re-save of any other version, then the reads a device makes.
//
// Input: the JSON text of the beam table file. Inputs of odd length are loaded with the kit
// "K" (legacy beams older than v1.1.0 then become BEAM entries), even ones without a kit.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "fuzz_support.hpp"

namespace {

using arvcore::Value;
using arvcore::vlndev::BeamPatternTableManager;

// A device of 2 boards x 1 IC x 4 channels with 4 beam ids per mode.
BeamPatternTableManager& manager() {
  static std::unique_ptr<BeamPatternTableManager> m = [] {
    arvcore::fuzz::quiet_logging();
    arvcore::fuzz::scratch_dir();
    arvcore::vlndev::CheckFuncs checks{
        [](arvcore::RFMode, const Value& db, const Value& theta, const Value& phi, const Value&) {
          return arvcore::RetType::Data(Value::array({db, theta, phi}));
        },
        [](arvcore::RFMode, std::int64_t, const Value&, const Value&) {
          return arvcore::RetType();
        }};
    auto b = std::make_unique<BeamPatternTableManager>(Value("SN1"), Value(9), 4,
                                                       Value::array({2, 1, 4}), checks);
    Value dr = Value::object();
    dr["TX"] = Value::array({-10.0, 5.0});
    dr["RX"] = Value::array({-8.0, 6.5});
    const Value comdr_mode = Value::array({Value::array({-9.5, -2.0}), Value::array({-9.0, -1.5})});
    const Value eledr_mode = Value::array({7.0, 7.5});
    b->_updateFreq(28, dr, Value::array({comdr_mode, comdr_mode}),
                   Value::array({eledr_mode, eledr_mode}));
    // The first load creates the table directory.
    b->_load(28, "");
    return b;
  }();
  return *m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  BeamPatternTableManager& m = manager();
  const std::string kit = (size & 1) != 0 ? "K" : "";
  const auto file = arvcore::fuzz::scratch_dir() / "BeamTable" /
                    BeamPatternTableManager::table_file_name(Value("SN1"), Value(28), kit);
  arvcore::fuzz::write_input(file, data, size);
  if (!m._load(28, kit).ok()) {
    return 0;
  }
  arvcore::fuzz::ignore_errors([&] { m.getBeamPattern(arvcore::RFMode::TX, 1); });
  arvcore::fuzz::ignore_errors([&] { m.getBeamPattern(arvcore::RFMode::RX, 2); });
  arvcore::fuzz::ignore_errors([&] { m._getBatchBeamPattern(); });
  return 0;
}
