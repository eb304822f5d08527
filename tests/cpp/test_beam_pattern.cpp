// Single and batch beam pattern reads and writes, with the device's checks.

#include <string>

#include <gtest/gtest.h>

#include "test_beam_support.hpp"

namespace beamtest {
namespace {

using arvcore::BeamType;
using arvcore::log::Level;
using arvcore::vlndev::BTModeFilter;
using arvcore::vlndev::BTSetOption;
namespace value = arvcore::value;

class BeamPatternTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mgr._load(28, "").ok()); }

  fs::path table_file() const { return files.table("Beam_Configuration_SN01_28GHz.json"); }
  Value stored() const { return value::read_json_file(table_file()); }

  FilesDir files;
  RecordingChecks checks;
  BeamPatternTableManager mgr = make_manager(&checks);
};

Value beam_config(Value db, Value theta, Value phi) {
  Value c = Value::object();
  c["db"] = std::move(db);
  c["theta"] = std::move(theta);
  c["phi"] = std::move(phi);
  return c;
}

TEST_F(BeamPatternTest, GetAnswersDefaultsAndChecksIds) {
  LogCapture logs;
  const RetType first = mgr.getBeamPattern(RFMode::TX, 1);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.RetData["channel_config"]["board_2"]["common_db"], 11);
  EXPECT_EQ(mgr.getBeamPattern(std::int64_t{0}, 1), first);  // integer mode value
  EXPECT_TRUE(mgr.getBeamPattern(RFMode::TX, 8).ok());
  for (std::int64_t id : {0, 9}) {
    const RetType bad = mgr.getBeamPattern(RFMode::TX, id);
    EXPECT_EQ(bad, RetType(RetCode::ERROR_BF_BEAM, fmt::format("Invaid beam id: {}", id)));
    EXPECT_TRUE(logs.has(Level::error, bad.RetMsg));
  }
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
  EXPECT_THROW(mgr.getBeamPattern(std::int64_t{5}, 1), arvcore::ValueError);
}

TEST_F(BeamPatternTest, SetBeamStoresWhatTheCheckAnswers) {
  checks.beam_answer = [](const RecordingChecks::BeamCall&) {
    return RetType::Data(Value::array({3.0, 0, 0}));
  };
  LogCapture logs;
  const RetType ret =
      mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, beam_config(3.5, 0, 0), "north");
  ASSERT_EQ(ret, RetType());
  ASSERT_EQ(checks.beam_calls.size(), 1U);
  const auto& call = checks.beam_calls[0];
  EXPECT_EQ(call.mode, RFMode::TX);
  EXPECT_EQ(call.db, 3.5);
  EXPECT_EQ(call.theta, 0);
  EXPECT_TRUE(call.none.is_null());
  const std::string expected =
      "{\"beam_description\": \"north\", \"beam_type\": 0, \"beam_config\": {\"db\": 3.0, "
      "\"theta\": 0, \"phi\": 0}}";
  EXPECT_EQ(value::dump_json(mgr.BeamTable()["TX"]["1"], -1), expected);
  EXPECT_EQ(value::dump_json(stored()["TX"]["1"], -1), expected);  // saved
  EXPECT_TRUE(logs.has(Level::info,
                       "Set/update beam:1 pattern -> {'beam_description': 'north', "
                       "'beam_type': 0, 'beam_config': {'db': 3.0, 'theta': 0, 'phi': 0}}"));
}

TEST_F(BeamPatternTest, SetBeamWithoutConfigChecksTheDefaultBeam) {
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::RX, 2, BeamType::CHANNEL,
                                 value::parse_json(R"({"board_1": {"common_db": 1}})"))
                  .ok());
  ASSERT_TRUE(mgr.setBeamPattern(std::int64_t{1}, 2, std::int64_t{0}).ok());  // over CHANNEL
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::RX, 3, BeamType::BEAM).ok());        // unset id
  ASSERT_EQ(checks.beam_calls.size(), 2U);
  for (const auto& call : checks.beam_calls) {
    EXPECT_EQ(call.mode, RFMode::RX);
    EXPECT_EQ(call.db, 15);
    EXPECT_EQ(call.theta, 0);
  }
  EXPECT_EQ(value::dump_json(mgr.BeamTable()["RX"]["2"], -1),
            "{\"beam_description\": \"\", \"beam_type\": 0, \"beam_config\": {\"db\": 15, "
            "\"theta\": 0, \"phi\": 0}}");

  // CHANNEL without config over a BEAM entry removes the id, unchecked.
  const std::size_t group_calls = checks.group_calls.size();
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::RX, 3, BeamType::CHANNEL).ok());
  EXPECT_EQ(checks.group_calls.size(), group_calls);
  EXPECT_FALSE(stored()["RX"].contains("3"));
  EXPECT_EQ(mgr.getBeamPattern(RFMode::RX, 3).RetData["beam_type"], 1);
}

TEST_F(BeamPatternTest, SetChannelReplacesGivenKeysAndChecksEveryGroup) {
  const Value config =
      value::parse_json(R"({"board_2": {"channel_3": {"sw": 1, "db": 2.0, "deg": 90}}})");
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 5, BeamType::CHANNEL, config).ok());
  Value expected = Value::object();
  expected = mgr.getBeamPattern(RFMode::TX, 6).RetData;  // a default CHANNEL beam
  expected["channel_config"]["board_2"]["channel_3"] = config["board_2"]["channel_3"];
  EXPECT_EQ(mgr.BeamTable()["TX"]["5"], expected);
  ASSERT_EQ(checks.group_calls.size(), 4U);
  EXPECT_EQ(checks.group_calls[1].index, 1);
  EXPECT_EQ(value::dump_json(checks.group_calls[1].gains, -1), "[4, 4, 2.0, 4]");
  EXPECT_EQ(checks.group_calls[1].common, 11);
}

TEST(BeamPatternGroups, EveryIcSectionIsChecked) {
  FilesDir files;
  RecordingChecks checks;
  auto mgr = make_manager(&checks, Value::array({2, 2, 4}));
  ASSERT_TRUE(mgr._load(28, "").ok());
  checks.group_answer = [](const RecordingChecks::GroupCall& c) {
    return c.index == 3 ? RetType(RetCode::ERROR, "too loud") : RetType();
  };
  const RetType ret = mgr.setBeamPattern(
      RFMode::TX, 1, BeamType::CHANNEL,
      value::parse_json(R"({"board_4": {"channel_1": {"sw": 0, "db": 99, "deg": 0}}})"));
  EXPECT_EQ(ret.RetMsg,
            "BeamID_1: Checking channel config failed: Checking board_4 gain list failed");
  EXPECT_EQ(checks.group_calls.size(), 4U);
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
  // The batch check covers the same groups.
  Value batch = Value::object();
  batch["TX"]["1"] = mgr.getBeamPattern(RFMode::TX, 1).RetData;
  checks.group_calls.clear();
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::VALIDATE, nullptr).RetMsg,
            "Checking board_4 gain list failed");
  EXPECT_EQ(checks.group_calls.size(), 4U);
}

TEST_F(BeamPatternTest, RefusedSetsLeaveTheTableAsItWas) {
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, beam_config(1, 2, 3), "kept").ok());
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 2, BeamType::CHANNEL).ok());
  const Value before = mgr.BeamTable();
  const std::string file_before = read_file(table_file());
  LogCapture logs;

  checks.beam_answer = [](const RecordingChecks::BeamCall&) {
    return RetType(RetCode::ERROR, "out of range", Value::array({1}));
  };
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, beam_config(99, 0, 0), "new"),
            RetType(RetCode::ERROR, "out of range", Value::array({1})));
  checks.group_answer = [](const RecordingChecks::GroupCall& c) {
    return c.index == 1 ? RetType(RetCode::ERROR, "no") : RetType();
  };
  const RetType refused = mgr.setBeamPattern(
      RFMode::TX, 2, BeamType::CHANNEL,
      value::parse_json(R"({"board_1": {"common_db": 0}, "board_2": {"common_db": 99}})"), "new");
  EXPECT_EQ(refused, RetType(RetCode::ERROR_BF_BEAM,
                             "BeamID_2: Checking channel config failed: Checking board_2 gain "
                             "list failed"));
  EXPECT_TRUE(logs.has(Level::error, "Checking board_2 gain list failed"));
  EXPECT_TRUE(logs.has(Level::error, refused.RetMsg));
  checks.group_answer = nullptr;
  // A channel map without "db" cannot be checked: refused, not stored.
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 2, BeamType::CHANNEL,
                               value::parse_json(R"({"board_1": {"channel_1": {"sw": 1}}})"))
                .RetMsg,
            "BeamID_2: Checking channel config failed: Invalid channel config");
  EXPECT_TRUE(logs.has(Level::error, "Invalid channel config"));
  EXPECT_EQ(mgr.BeamTable(), before);
  EXPECT_EQ(read_file(table_file()), file_before);
}

TEST_F(BeamPatternTest, SetFailuresAnswerSetBeamPatternException) {
  const RetType failed(RetCode::ERROR_BF_BEAM, "SetBeamPattern exception");
  LogCapture logs;
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM,
                               value::parse_json(R"({"db": 1, "theta": 0})")),
            failed);
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, std::int64_t{7}), failed);
  EXPECT_EQ(mgr.setBeamPattern(std::int64_t{4}, 1, BeamType::BEAM), failed);
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, BeamType::CHANNEL,
                               value::parse_json(R"({"board_9": {"common_db": 1}})")),
            failed);
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, BeamType::CHANNEL,
                               value::parse_json(R"({"board_1": {"channel_9": {}}})")),
            failed);
  checks.beam_answer = [](const RecordingChecks::BeamCall&) {
    return RetType::Data(Value::array({1, 2}));
  };
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM), failed);
  EXPECT_TRUE(logs.has(Level::error, "SetBeamPattern exception"));
  ASSERT_FALSE(logs.records().empty());
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());

  // A CHANNEL config for a BEAM entry, and a device without checks.
  checks.beam_answer = nullptr;
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::RX, 1, BeamType::BEAM).ok());
  EXPECT_EQ(mgr.setBeamPattern(RFMode::RX, 1, BeamType::CHANNEL,
                               value::parse_json(R"({"board_1": {"common_db": 1}})")),
            failed);
  auto unchecked = make_manager(nullptr);
  ASSERT_TRUE(unchecked._load(28, "").ok());
  EXPECT_EQ(unchecked.setBeamPattern(RFMode::TX, 1, BeamType::BEAM), failed);
  EXPECT_EQ(unchecked.setBeamPattern(RFMode::TX, 1, BeamType::CHANNEL).RetMsg,
            "BeamID_1: Checking channel config failed: Invalid channel config");
  // Argument types are the caller's fault: raised, not answered.
  EXPECT_THROW(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, Value::array({1, 2, 3})),
               arvcore::TypeError);
  EXPECT_THROW(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, nullptr, 5), arvcore::TypeError);
}

TEST_F(BeamPatternTest, SavingIsAskedForAndItsFailureAnswered) {
  const std::string before = read_file(table_file());
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 1, BeamType::BEAM, nullptr, nullptr, false).ok());
  EXPECT_EQ(read_file(table_file()), before);
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 2, BeamType::BEAM).ok());
  EXPECT_TRUE(stored()["TX"].contains("1"));

  // A save that fails is answered; the change stays in memory for a later save.
  fs::remove_all(files.beam_dir());
  EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 3, BeamType::BEAM),
            RetType(RetCode::ERROR_BF_BEAM_FILE, "BeamFile saving exception"));
  EXPECT_TRUE(mgr.BeamTable()["TX"].contains("3"));
}

TEST_F(BeamPatternTest, NotReadyBeforeLoad) {
  auto fresh = make_manager(&checks);
  const RetType not_ready(RetCode::ERROR_BF_BEAM, "BeamTable is not ready");
  EXPECT_EQ(fresh.getBeamPattern(RFMode::TX, 1), not_ready);
  EXPECT_EQ(fresh.setBeamPattern(RFMode::TX, 1, BeamType::BEAM), not_ready);
  EXPECT_EQ(fresh._getBatchBeamPattern(), not_ready);
  Value merge = Value::object();
  merge["TX"]["1"] = value::parse_json(
      R"({"beam_description": "", "beam_type": 0, "beam_config": {"db": 1, "theta": 0, "phi": 0}})");
  EXPECT_EQ(fresh._setBatchBeamPattern(merge, BTSetOption::SAVE, nullptr), not_ready);
  EXPECT_EQ(fresh._saveToBeamTableFile().RetCode, RetCode::ERROR_BF_BEAM_FILE);
}

// --- batches -------------------------------------------------------------------------------

TEST_F(BeamPatternTest, BatchGetFiltersModesAndLoadsThroughACallback) {
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::RX, 1, BeamType::BEAM).ok());
  LogCapture logs;
  const RetType rx = mgr._getBatchBeamPattern(std::int64_t{2});
  ASSERT_TRUE(rx.ok());
  EXPECT_EQ(value::dump_json(rx.RetData, -1),
            "{\"RX\": " + value::dump_json(mgr.BeamTable()["RX"], -1) + "}");
  EXPECT_TRUE(logs.has(Level::info, "getBatchBeamPattern with filter: BTModeFilter.RX"));
  const RetType all = mgr._getBatchBeamPattern();
  EXPECT_EQ(all.RetData.begin().key(), "TX");
  EXPECT_EQ(all.RetData.size(), 2U);
  EXPECT_EQ(mgr._getBatchBeamPattern(BTModeFilter::TX).RetData.size(), 1U);

  // With a callback the table is loaded through it first.
  Value web_table = mgr.BeamTable();
  web_table["TX"]["7"] = "from web";
  const RetType loaded = mgr._getBatchBeamPattern(BTModeFilter::ALL, [&](const Value& kw) {
    return RetType::Data(kw["func_name"] == "_load" ? web_table : Value());
  });
  EXPECT_EQ(loaded.RetData["TX"]["7"], "from web");
  EXPECT_EQ(mgr.BeamTable(), web_table);
  const RetType refused(RetCode::ERROR_DB_SERVER, "down");
  EXPECT_EQ(mgr._getBatchBeamPattern(BTModeFilter::ALL, [&](const Value&) { return refused; }),
            refused);
}

class BeamBatchSetTest : public BeamPatternTest {
 protected:
  void SetUp() override {
    BeamPatternTest::SetUp();
    batch = Value::object();
    batch["VERSION"] = "v2.0.0";
    batch["SN"] = "SN01";
    Value channel = mgr.getBeamPattern(RFMode::TX, 2).RetData;
    channel["beam_description"] = "ch";
    channel["channel_config"]["board_1"]["channel_1"]["db"] = 1.5;
    batch["TX"]["1"] = value::parse_json(
        R"({"beam_description": "b", "beam_type": 0, "beam_config": {"db": 2, "theta": 5, "phi": 6}})");
    batch["TX"]["2"] = channel;
    batch["RX"] = Value::object();
  }
  Value batch;
};

TEST_F(BeamBatchSetTest, GetEchoesWithoutChecks) {
  const RetType ret = mgr._setBatchBeamPattern(batch, BTSetOption::GET, nullptr);
  EXPECT_EQ(ret, RetType::Data(batch));
  EXPECT_TRUE(checks.beam_calls.empty());
  EXPECT_TRUE(checks.group_calls.empty());
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
  // REPLACE_ALL without SAVE does nothing at all.
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, std::int64_t{8}, nullptr), RetType());
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
}

TEST_F(BeamBatchSetTest, ValidateChecksEveryBeam) {
  LogCapture logs;
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, std::int64_t{3}, nullptr), RetType::Data(batch));
  ASSERT_EQ(checks.beam_calls.size(), 1U);
  EXPECT_EQ(checks.beam_calls[0].phi, 6);
  EXPECT_EQ(checks.group_calls.size(), 4U);
  EXPECT_TRUE(
      logs.has(Level::debug, "Checking board_1 gain list: [1.5, 3, 3, 3] with common gain: 10"));
  EXPECT_TRUE(logs.has(Level::debug, "Checked  board_1 gain list: [1.5, 3, 3, 3]"));
  EXPECT_TRUE(logs.has(Level::info, "setBatchBeamPattern with option: BTSetOption.UI_EXPORT"));
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::UI_IMPORT, nullptr), RetType());

  checks.beam_answer = [](const RecordingChecks::BeamCall&) {
    return RetType(RetCode::ERROR, "steer");
  };
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::UI_EXPORT, nullptr),
            RetType(RetCode::ERROR, "steer"));
  checks.beam_answer = nullptr;
  checks.group_answer = [](const RecordingChecks::GroupCall& c) {
    return c.index == 1 ? RetType(RetCode::ERROR, "x") : RetType();
  };
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::VALIDATE, nullptr),
            RetType(RetCode::ERROR_BF_BEAM, "Checking board_2 gain list failed"));
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
  EXPECT_THROW(mgr._setBatchBeamPattern(Value::array(), BTSetOption::GET, nullptr),
               arvcore::TypeError);
}

TEST_F(BeamBatchSetTest, SaveMergesThroughSetAndWritesOnce) {
  LogCapture logs;
  const RetType ret = mgr._setBatchBeamPattern(batch, BTSetOption::UI_SAVE_UPSERT, nullptr);
  ASSERT_TRUE(ret.ok()) << ret.RetMsg;
  EXPECT_EQ(ret.RetData, mgr.BeamTable());
  EXPECT_EQ(logs.count("Saving beam file to " + table_file().string()), 1U);
  EXPECT_EQ(stored(), mgr.BeamTable());
  EXPECT_EQ(mgr.BeamTable()["TX"]["1"]["beam_description"], "b");
  EXPECT_EQ(mgr.BeamTable()["TX"]["2"], batch["TX"]["2"]);
  // Merged beams were verified by the set itself; no separate validation ran.
  EXPECT_EQ(checks.beam_calls.size(), 1U);
  EXPECT_EQ(checks.group_calls.size(), 4U);
  EXPECT_EQ(logs.count("Checking board_1 gain list: [1.5, 3, 3, 3] with common gain: 10"), 0U);
}

TEST_F(BeamBatchSetTest, MergeStopsAtTheFirstRefusal) {
  batch["TX"]["9"] = batch["TX"]["1"];  // beyond the beam count
  const std::string before = read_file(table_file());
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::SAVE, nullptr).RetMsg,
            "Invaid beam id: 9");
  EXPECT_TRUE(mgr.BeamTable()["TX"].contains("2"));  // merged before, not saved
  EXPECT_EQ(read_file(table_file()), before);
  batch["TX"].erase("9");
  batch["TX"]["x"] = batch["TX"]["1"];
  EXPECT_THROW(mgr._setBatchBeamPattern(batch, BTSetOption::SAVE, nullptr), arvcore::ValueError);
}

TEST_F(BeamBatchSetTest, ReplaceAllSwapsModeMapsWithoutChecks) {
  Value saved_payload;
  const RetType ret = mgr._setBatchBeamPattern(batch, std::int64_t{13}, [&](const Value& kw) {
    saved_payload = kw;
    return RetType();
  });
  ASSERT_TRUE(ret.ok());
  EXPECT_TRUE(checks.beam_calls.empty());
  EXPECT_TRUE(checks.group_calls.empty());
  EXPECT_EQ(mgr.BeamTable()["TX"], batch["TX"]);
  EXPECT_EQ(mgr.BeamTable()["SN"], "SN01");
  EXPECT_EQ(saved_payload["func_name"], "_saveToBeamTableFile");
  EXPECT_EQ(saved_payload["new_table"], mgr.BeamTable());
  EXPECT_EQ(ret.RetData, mgr.BeamTable());

  const RetType web_down(RetCode::ERROR_DB_SERVER, "down");
  EXPECT_EQ(mgr._setBatchBeamPattern(batch, BTSetOption::UI_SAVE_REPLACE,
                                     [&](const Value&) { return web_down; }),
            web_down);
  Value only_tx = Value::object();
  only_tx["TX"] = Value::object();
  EXPECT_ANY_THROW(mgr._setBatchBeamPattern(only_tx, BTSetOption::UI_SAVE_REPLACE, nullptr));
  EXPECT_EQ(mgr.BeamTable()["TX"], batch["TX"]);  // nothing half replaced
}

TEST(BeamFakes, Answers) {
  EXPECT_EQ(arvcore::vlndev::fake_rf_layout(), Value::array({4, 1, 4}));
  EXPECT_EQ(arvcore::vlndev::fake_check("m", 1.5, 10, 20).RetData, Value::array({1.5, 10, 20}));
  EXPECT_EQ(arvcore::vlndev::fake_ic_check("m", 0, Value::array({1, 2})).RetData,
            Value::array({1, 2}));
}

}  // namespace
}  // namespace beamtest
