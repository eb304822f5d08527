// Managers of different devices, each used by a thread of its own at the same time (the Python
// package runs long work without the GIL). They share only the loggers, the value pool and the
// data directory; the sanitizer builds look for races between them.

#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "test_beam_support.hpp"

namespace {

using namespace beamtest;
using arvcore::BeamType;

TEST(ManagersOnThreads, FourBeamManagersLoadSetAndSaveAtOnce) {
  FilesDir dir;
  constexpr int kDevices = 4;
  constexpr int kRounds = 6;
  std::vector<RecordingChecks> checks(kDevices);
  std::vector<BeamPatternTableManager> managers;
  const Limits limits(4);
  for (int i = 0; i < kDevices; ++i) {
    managers.emplace_back(Value(fmt::format("SN{:02}", i)), 9, 16, Value::array({4, 1, 4}),
                          checks[i].funcs());
    managers.back()._updateFreq(28, limits.dr, limits.comdr, limits.eledr);
  }
  std::vector<std::string> failures(kDevices);
  std::vector<std::thread> threads;
  for (int i = 0; i < kDevices; ++i) {
    threads.emplace_back([&, i] {
      BeamPatternTableManager& m = managers[i];
      for (int round = 0; round < kRounds; ++round) {
        Value config = Value::object();
        config["db"] = 1.0 + i;
        config["theta"] = round;
        config["phi"] = 0;
        const RetType loaded = m._load(28);
        const RetType set = m.setBeamPattern(RFMode::TX, round + 1, BeamType::BEAM, config);
        const RetType batch = m._getBatchBeamPattern();
        if (!loaded.ok() || !set.ok() || !batch.ok()) {
          failures[i] = loaded.RetMsg + set.RetMsg + batch.RetMsg;
          return;
        }
        const Value& stored = batch.RetData["TX"][std::to_string(round + 1)]["beam_config"];
        if (stored["theta"] != Value(round)) {
          failures[i] = fmt::format("round {}: {}", round, stored.dump());
          return;
        }
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  for (int i = 0; i < kDevices; ++i) {
    EXPECT_EQ(failures[i], "") << "device " << i;
    const Value saved = arvcore::value::parse_json(
        read_file(dir.table(fmt::format("Beam_Configuration_SN{:02}_28GHz.json", i))));
    EXPECT_EQ(saved["SN"], Value(fmt::format("SN{:02}", i)));
    EXPECT_EQ(saved["TX"][std::to_string(kRounds)]["beam_config"]["db"], Value(1.0 + i));
    EXPECT_EQ(checks[i].beam_calls.size(), static_cast<std::size_t>(kRounds));
  }
}

}  // namespace
