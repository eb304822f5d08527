// Beam table files: naming, fresh tables, default beams, loading, upgrading, legacy
// conversion and saving.

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "test_beam_support.hpp"

namespace beamtest {
namespace {

using arvcore::log::Level;
namespace value = arvcore::value;

ino_t inode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_ino;
}

TEST(BeamTableName, FrequencyAndKit) {
  EXPECT_EQ(BeamPatternTableManager::table_file_name("SN", 28, ""),
            "Beam_Configuration_SN_28GHz.json");
  EXPECT_EQ(BeamPatternTableManager::table_file_name("SN", 28.0, ""),
            "Beam_Configuration_SN_28GHz.json");
  EXPECT_EQ(BeamPatternTableManager::table_file_name("SN", 28.5, "K1"),
            "Beam_Configuration_SN_28.5GHz_K1.json");
  EXPECT_EQ(BeamPatternTableManager::table_file_name(123, 39.25, ""),
            "Beam_Configuration_123_39.25GHz.json");
  EXPECT_THROW(BeamPatternTableManager("SN", 9, 4, Value::array({2, 2}), std::nullopt),
               arvcore::ValueError);
}

TEST(BeamTableLoad, MissingFileCreatesFreshTable) {
  FilesDir files;
  fs::remove_all(files.path());  // the data directory itself is created too
  LogCapture logs;
  auto mgr = make_manager(nullptr);
  const RetType ret = mgr._load(28, "");
  ASSERT_EQ(ret.RetCode, RetCode::OK) << ret.RetMsg;
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(read_file(file),
            "{\n  \"VERSION\": \"v2.0.0\",\n  \"SN\": \"SN01\",\n  \"DEV_TYPE\": 9,\n"
            "  \"FREQ\": 28,\n  \"AAKIT_NAME\": \"\",\n  \"TX\": {},\n  \"RX\": {}\n}");
  EXPECT_EQ(ret.RetData, mgr.BeamTable());
  EXPECT_TRUE(logs.has(Level::info, "Loading Beam Table by: 28.0GHz, AAKIT_NAME: ''"));
  EXPECT_TRUE(logs.has(Level::info, "Generate Beam Table: " + file.string()));
  EXPECT_TRUE(logs.has(Level::info, "Beam Table version: v2.0.0"));
  EXPECT_TRUE(logs.has(Level::info, "Loaded Beam Table from: " + file.string()));
  EXPECT_EQ(logs.count("Upgrade Beam Table version to 2.0.0"), 0U);

  // A float frequency keeps its kind in the table; the name is the same.
  ASSERT_TRUE(mgr._load(28.0, "KIT").ok());
  EXPECT_NE(read_file(files.table("Beam_Configuration_SN01_28GHz_KIT.json"))
                .find("\"FREQ\": 28.0,\n  \"AAKIT_NAME\": \"KIT\""),
            std::string::npos);
}

TEST(BeamTableLoad, CurrentFilesAreReadAsTheyAreOtherVersionsRewritten) {
  FilesDir files;
  LogCapture logs;
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  const std::string text =
      "{\"SN\": \"other\", \"VERSION\": \"v2.0.0\", \"TX\": {\"3\": {\"beam_description\": "
      "\"\u00e9\", \"beam_type\": 0, \"beam_config\": {\"db\": 1.0, \"theta\": 2, \"phi\": 3}}}, "
      "\"RX\": {}, \"EXTRA\": [1, 2.5]}";
  write_file(file, text);
  const ino_t before = inode_of(file);
  auto mgr = make_manager(nullptr);
  const RetType ret = mgr._load(28, "");
  ASSERT_TRUE(ret.ok()) << ret.RetMsg;
  EXPECT_EQ(value::dump_json(ret.RetData, -1), value::dump_json(value::parse_json(text), -1));
  EXPECT_EQ(inode_of(file), before);  // not even rewritten with the same bytes

  write_file(file, "{\"VERSION\": \"v1.9.9\", \"TX\": {}, \"RX\": {}}");
  ASSERT_TRUE(mgr._load(28, "").ok());
  ASSERT_TRUE(mgr._load(28, "").ok());
  EXPECT_EQ(read_file(file), "{\n  \"VERSION\": \"v1.9.9\",\n  \"TX\": {},\n  \"RX\": {}\n}");
  EXPECT_EQ(logs.count("Upgrade Beam Table version to 2.0.0"), 2U);
}

TEST(BeamTableLoad, BrokenFilesAnswerLoadingException) {
  FilesDir files;
  LogCapture logs;
  auto mgr = make_manager(nullptr);
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  for (const std::string text :
       {"{\"VERSION\": ", "[1, 2]", "{\"TX\": {}}",
        R"({"version": "v1.2.0", "TX_beam_list": []})",  // no RX list
        R"({"version": "v1.0.0", "TX_beam_list": [{"beamId": 1}], "RX_beam_list": []})"}) {
    write_file(file, text);
    ASSERT_TRUE(mgr._load(28, "KIT_OTHER").ok());  // a table was loaded before each failure
    const RetType ret = mgr._load(28, "");
    EXPECT_EQ(ret, RetType(RetCode::ERROR_BF_BEAM, "BeamTable loading exception")) << text;
    EXPECT_TRUE(mgr.BeamTable().is_null()) << text;
    EXPECT_EQ(read_file(file), text);
  }
  EXPECT_TRUE(logs.has(Level::error, "BeamTable loading exception"));
  EXPECT_EQ(mgr.getBeamPattern(RFMode::TX, 1),
            RetType(RetCode::ERROR_BF_BEAM, "BeamTable is not ready"));
}

TEST(BeamTableLoad, NamesThatLeaveTheDirectoryTouchNoFile) {
  FilesDir files;
  LogCapture logs;
  auto mgr = make_manager(nullptr);
  for (const std::string& kit :
       std::vector<std::string>{"../evil", "a/b", std::string("a\0b", 3), "..", "x\\y"}) {
    const RetType ret = mgr._load(28, kit);
    EXPECT_EQ(ret, RetType(RetCode::ERROR_BF_BEAM, "BeamTable loading exception"));
    EXPECT_FALSE(fs::exists(files.beam_dir()));
    EXPECT_FALSE(fs::exists(files.path() / "evil"));
    // Nor can a later save write anywhere.
    EXPECT_EQ(mgr._saveToBeamTableFile(nullptr, Value::object()).RetCode,
              RetCode::ERROR_BF_BEAM_FILE);
  }
  BeamPatternTableManager bad_sn("../SN", 9, 8, Value::array({4, 1, 4}), std::nullopt);
  EXPECT_EQ(bad_sn._load(28, "").RetCode, RetCode::ERROR_BF_BEAM);
  EXPECT_FALSE(fs::exists(files.beam_dir()));
  EXPECT_TRUE(logs.has(Level::error, "BeamTable loading exception"));
}

TEST(BeamTableLoad, CallbackLoadHandsOverAndReadsNothing) {
  FilesDir files;
  auto mgr = make_manager(nullptr);
  Value seen;
  const RetType answer(RetCode::WARNING, "from web", Value::array({1}));
  const RetType ret = mgr._load(28.5, "K", [&](const Value& kw) {
    seen = kw;
    return answer;
  });
  EXPECT_EQ(ret, answer);
  EXPECT_EQ(value::dump_json(seen, -1),
            "{\"func_name\": \"_load\", \"freq\": 28.5, \"aakit\": \"K\", \"devtype\": 9, "
            "\"num_beam\": 8, \"rf_layout\": [4, 1, 4], \"check_funcs\": null, "
            "\"web_client_id\": null}");
  EXPECT_TRUE(mgr.BeamTable().is_null());
  // Without a callback, web mode has no file to fall back on.
  BeamPatternTableManager web("SN", 9, 8, Value::array({4, 1, 4}), std::nullopt, true);
  EXPECT_EQ(web._load(28, "").RetCode, RetCode::ERROR_BF_BEAM);
  EXPECT_EQ(web._saveToBeamTableFile(nullptr, Value::object()).RetCode,
            RetCode::ERROR_BF_BEAM_FILE);
  EXPECT_FALSE(fs::exists(files.beam_dir()));
}

TEST(BeamTableSave, FailedWriteAnswersAndKeepsPreviousFile) {
  FilesDir files;
  LogCapture logs;
  auto mgr = make_manager(nullptr);
  ASSERT_TRUE(mgr._load(28, "").ok());
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  // A file name that is a directory cannot be replaced.
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_EQ(mgr._saveToBeamTableFile(),
            RetType(RetCode::ERROR_BF_BEAM_FILE, "BeamFile saving exception"));
  EXPECT_TRUE(logs.has(Level::error, "BeamFile saving exception"));
}

TEST(BeamTableSave, OutputMatchesPythonJsonDump) {
  FilesDir files;
  auto mgr = make_manager(nullptr);
  ASSERT_TRUE(mgr._load(28, "").ok());
  Value table = mgr.BeamTable();
  table["TX"]["1"] = value::parse_json(
      R"({"beam_description": "Strahl \u00fcber \"Nord\" \u2192 \u6771\t\\ \u0001", "beam_type": 0,
          "beam_config": {"db": 1e-05, "theta": -0.0, "phi": 1e16, "big": 123456789012345678,
          "list": [], "map": {}, "nested": [[1.5, null, true, false]], "f": 0.1}})");
  ASSERT_TRUE(mgr._saveToBeamTableFile(nullptr, table).ok());
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  const fs::path py_out = files.path() / "python.json";
  const std::string cmd = fmt::format(
      "{} -c \"import json,sys; t=json.load(open(sys.argv[1],encoding='utf-8')); "
      "json.dump(t, open(sys.argv[2],'w',encoding='utf-8'), indent=2, ensure_ascii=False)\" "
      "'{}' '{}'",
      ARVCORE_TEST_PYTHON, file.string(), py_out.string());
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(read_file(file), read_file(py_out));
  EXPECT_NE(read_file(file).find("\u00fcber"), std::string::npos);  // written unescaped
}

// --- default beams -------------------------------------------------------------------------

TEST(BeamDefaults, ChannelBeamFollowsIcSections) {
  FilesDir files;
  auto mgr = make_manager(nullptr, Value::array({2, 2, 4}));
  ASSERT_TRUE(mgr._load(28, "").ok());
  const Value beam = mgr.getBeamPattern(RFMode::RX, 1).RetData;
  EXPECT_EQ(beam["beam_description"], "");
  EXPECT_EQ(beam["beam_type"], 1);
  const Value& cc = beam["channel_config"];
  ASSERT_EQ(cc.size(), 4U);
  for (int k = 1; k <= 4; ++k) {
    const Value& group = cc.at(fmt::format("board_{}", k));
    ASSERT_EQ(group.size(), 5U);
    EXPECT_EQ(group.begin().key(), "common_db");
    EXPECT_EQ(group["common_db"], 4 + k);
    for (int n = 1; n <= 4; ++n) {
      EXPECT_EQ(value::dump_json(group.at(fmt::format("channel_{}", n)), -1),
                fmt::format("{{\"sw\": 0, \"db\": {}, \"deg\": 0}}", value::float_repr(0.5 + k)));
    }
  }
  EXPECT_EQ(mgr.BeamTable()["RX"], Value::object());  // the default is not stored
}

TEST(BeamDefaults, OneChannelPerIcMakesEveryChannelAGroup) {
  FilesDir files;
  RecordingChecks checks;
  auto mgr = make_manager(&checks, Value::array({3, 1, 1}));
  ASSERT_TRUE(mgr._load(28, "").ok());
  const Value beam = mgr.getBeamPattern(RFMode::TX, 2).RetData;
  EXPECT_EQ(value::dump_json(beam["channel_config"], -1),
            "{\"board_1\": {\"common_db\": 10, \"channel_1\": {\"sw\": 0, \"db\": 3, \"deg\": 0}}, "
            "\"board_2\": {\"common_db\": 11, \"channel_1\": {\"sw\": 0, \"db\": 4, \"deg\": 0}}, "
            "\"board_3\": {\"common_db\": 12, \"channel_1\": {\"sw\": 0, \"db\": 5, \"deg\": 0}}}");
  ASSERT_TRUE(mgr.setBeamPattern(RFMode::TX, 2, arvcore::BeamType::CHANNEL).ok());
  ASSERT_EQ(checks.group_calls.size(), 3U);
  EXPECT_EQ(checks.group_calls[2].index, 2);
  EXPECT_EQ(checks.group_calls[2].gains, Value::array({5}));
}

// --- legacy tables -------------------------------------------------------------------------

/// A legacy channel list for channels 1..count, listed from the last to the first.
std::string legacy_channels(int count, double db_of_ch3) {
  std::string list;
  for (int ch = count; ch >= 1; --ch) {
    const double db = ch == 3 ? db_of_ch3 : ch;
    list += fmt::format("{}{{\"channel\": {}, \"sw\": {}, \"db\": {}, \"deg\": {}}}",
                        list.empty() ? "" : ", ", ch, ch % 2, value::float_repr(db), ch * 10);
  }
  return "[" + list + "]";
}

TEST(BeamLegacy, BeforeV110BeamsNeedAKit) {
  FilesDir files;
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz_KIT.json");
  const std::string legacy =
      R"({"SN": "SN01", "version": "v1.0.5", "TX_beam_list": [{"beamId": 2, "db": 5.5, "theta": 10,
      "phi": -20, "channel_switch": [1, 1]}], "RX_beam_list": [], "NOTE": "kept"})";
  write_file(file, legacy);
  auto mgr = make_manager(nullptr);
  const RetType ret = mgr._load(28, "KIT");
  ASSERT_TRUE(ret.ok()) << ret.RetMsg;
  EXPECT_EQ(value::dump_json(mgr.BeamTable(), -1),
            "{\"SN\": \"SN01\", \"NOTE\": \"kept\", \"VERSION\": \"v2.0.0\", \"DEV_TYPE\": 9, "
            "\"FREQ\": 28, \"AAKIT_NAME\": \"KIT\", \"TX\": {\"2\": {\"beam_description\": \"\", "
            "\"beam_type\": 0, \"beam_config\": {\"db\": 5.5, \"theta\": 10, \"phi\": -20}}}, "
            "\"RX\": {}}");
  // Written back in the current layout, and read as current next time.
  EXPECT_EQ(value::read_json_file(file), mgr.BeamTable());
  LogCapture logs;
  ASSERT_TRUE(mgr._load(28, "KIT").ok());
  EXPECT_EQ(logs.count("Upgrade Beam Table version to 2.0.0"), 0U);

  // Without a kit the old beams have no type and are dropped.
  write_file(files.table("Beam_Configuration_SN01_28GHz.json"), legacy);
  ASSERT_TRUE(mgr._load(28, "").ok());
  EXPECT_EQ(mgr.BeamTable()["TX"], Value::object());
}

TEST(BeamLegacy, FromV110ChannelBeamsAreRegroupedAndClamped) {
  FilesDir files;
  LogCapture logs;
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  // TX section 1: COMDR max 10 + ELEDR 3 = 13, so 99.5 is clamped to 13 and 13 stays 13.
  write_file(file, fmt::format(R"({{"version": "v1.2.0", "TX_beam_list": [
      {{"beamId": 4, "beam_type": 1, "channel_config": {}}},
      {{"beamId": 5, "beam_type": 0, "beam_config": {{"db": 1, "theta": 2, "phi": 3}}}},
      {{"beamId": 6, "beam_type": null}}, {{"beamId": 7}}],
      "RX_beam_list": [{{"beamId": 1, "beam_type": 1, "channel_config": {}}}]}})",
                               legacy_channels(16, 99.5), legacy_channels(16, 13)));
  auto mgr = make_manager(nullptr);
  const RetType ret = mgr._load(28, "");
  ASSERT_TRUE(ret.ok()) << ret.RetMsg;
  const Value& tx = mgr.BeamTable()["TX"];
  ASSERT_EQ(tx.size(), 2U);  // 6 and 7 carry no beam type
  EXPECT_EQ(tx["5"]["beam_config"]["phi"], 3);
  const Value& group1 = tx["4"]["channel_config"]["board_1"];
  EXPECT_TRUE(group1["common_db"].is_null());
  EXPECT_EQ(value::dump_json(group1["channel_3"], -1), "{\"sw\": 1, \"db\": 13, \"deg\": 30}");
  EXPECT_EQ(value::dump_json(group1["channel_2"], -1), "{\"sw\": 0, \"db\": 2.0, \"deg\": 20}");
  EXPECT_EQ(value::dump_json(tx["4"]["channel_config"]["board_4"]["channel_4"], -1),
            "{\"sw\": 0, \"db\": 16.0, \"deg\": 160}");
  // RX section 1: 5 + 1.5 = 6.5; the element's 13 is clamped to the float sum.
  EXPECT_EQ(mgr.BeamTable()["RX"]["1"]["channel_config"]["board_1"]["channel_3"]["db"], 6.5);
  EXPECT_TRUE(logs.has(Level::debug,
                       "[TX] Default beam config: {'beam_description': '', 'beam_type': 0, "
                       "'beam_config': {'db': 20.5, 'theta': 0, 'phi': 0}}"));
  EXPECT_TRUE(logs.has(Level::debug,
                       "Transfer config: [TX][5] {'beamId': 5, 'beam_type': 0, 'beam_config': "
                       "{'db': 1, 'theta': 2, 'phi': 3}}"));
}

TEST(BeamLegacy, ConversionFailuresLoadNothingAndKeepTheFile) {
  FilesDir files;
  const fs::path file = files.table("Beam_Configuration_SN01_28GHz.json");
  struct Case {
    std::string channels;
    std::string message;
  };
  std::string missing = legacy_channels(16, 3);  // channel 7 listed as a second channel 1
  missing.replace(missing.find("\"channel\": 7,"), 13, "\"channel\": 1,");
  for (const Case& c :
       {Case{legacy_channels(15, 3),
             "RX BeamID:2: count of channel_config(15) not match with channel count(16)"},
        Case{missing, "Can not find channel seq: 7"}}) {
    const std::string text = fmt::format(
        R"({{"version": "v1.1.0", "TX_beam_list": [{{"beamId": 1, "beam_type": 0, "beam_config": {{}}}}],
        "RX_beam_list": [{{"beamId": 2.0, "beam_type": 1, "channel_config": {}}}]}})",
        c.channels);
    write_file(file, text);
    LogCapture logs;
    auto mgr = make_manager(nullptr);
    const RetType ret = mgr._load(28, "");
    EXPECT_EQ(ret, RetType(RetCode::ERROR_BF_BEAM_FILE, c.message));
    EXPECT_TRUE(logs.has(Level::error, c.message));
    EXPECT_TRUE(mgr.BeamTable().is_null());
    EXPECT_EQ(read_file(file), text);
    // No later set can write a half-converted table over the legacy file.
    EXPECT_EQ(mgr.setBeamPattern(RFMode::TX, 1, arvcore::BeamType::CHANNEL).RetMsg,
              "BeamTable is not ready");
    EXPECT_EQ(read_file(file), text);
  }
}

}  // namespace
}  // namespace beamtest
