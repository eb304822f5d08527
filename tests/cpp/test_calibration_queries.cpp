// Dynamic ranges, offsets, TC, common-arm step search and ComData of the calibration manager,
// on parsed tables, on the built-in polarization table and against a scripted database.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "log_capture.hpp"
#include "scripted_db.hpp"

namespace {

using arvcore::CellRFMode;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::RFMode;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::testing::ScriptedDB;
using arvcore::value::parse_json;
using arvcore::vlndev::CalibrationTableManager;

Value J(const char* text) {
  return parse_json(text);
}

// What an operation that may answer an envelope instead answered: its data, or the envelope.
Value answered(const std::variant<Value, RetType>& answer) {
  if (const auto* ret = std::get_if<RetType>(&answer)) {
    return Value::array({"envelope", ret->to_string()});
  }
  return std::get<Value>(answer);
}

// Entry stored for (board, step, channel, gain, phase): easy to recognise in results.
Value entry(int board, int step, int ch, double gain, int phase) {
  return Value::array({board, step * 10 + ch, gain, static_cast<double>(phase)});
}

// A complete table for `boards` boards of one IC with two channels, TX and RX, steps
// COM_1/COM_2, gains 3.5, 1.0 and -2.5, phases 0 and 45 (TX only for the ComData rows).
std::string table_csv(int boards, double comdr_shift = 0.0) {
  std::string s = "VER,3.0.0\nREALVER,3.0.2\nSN,SNX\nFCENTER,28\nDR,-6.0,12.5,-9.5,6.0\n";
  std::string tx = "OFFSET_TX";
  std::string rx = "OFFSET_RX";
  for (int b = 1; b <= boards; ++b) {
    tx += fmt::format(",{},{}", b * 10 + 1, b * 10 + 2);
    rx += fmt::format(",{},{}", -(b * 10 + 1), -(b * 10 + 2));
  }
  s += tx + "\n" + rx + "\n";
  for (int b = 1; b <= boards; ++b) {
    s += fmt::format("COMDR,TX,B,{0},DR,{1},{2},,\nCOMDR,RX,B,{0},DR,{3},{4}\n", b,
                     -9.5 + b + comdr_shift, -2.0 + b, -8.0 + b, -1.0 + b);
    s += fmt::format("ELEDR,TX,B,{0},DR,{1},,\nELEDR,RX,B,{0},DR,{2}\n", b, 7.0 + b, 6.0 + b);
  }
  for (int b = 1; b <= boards; ++b) {
    s += fmt::format("TEMPADC,ADC,{0},VAL,37\nTC,TC,{0},VAL,{1},2,3,{2}\n", b, b, b + 3);
    for (const char* mode : {"TX", "RX"}) {
      s += fmt::format("COMSTEPDR,{},B,{},S,X,1,R,10,~,-5\n", mode, b);
      s += fmt::format("COMSTEPDR,{},B,{},S,X,2,R,0,~,-20\n", mode, b);
    }
  }
  for (int b = 1; b <= boards; ++b) {
    for (int step = 1; step <= 2; ++step) {
      for (int ch = 1; ch <= 2; ++ch) {
        for (double gain : {3.5, 1.0, -2.5}) {
          for (int phase : {0, 45}) {
            s += fmt::format("DATA,TX,B,{},C,1,CH,{},G,I,{},PH,{},COM,{},R,{},{},D,{},{}\n", b, ch,
                             gain, phase, step, b, step * 10 + ch, gain, phase);
          }
        }
      }
    }
  }
  return s + "END\n";
}

// A data directory of its own, named by ARVCORE_FILES_DIR while the object lives.
class TempFilesDir {
 public:
  TempFilesDir() {
    path_ = std::filesystem::temp_directory_path() /
            fmt::format("caliquery-{}-{}", ::getpid(), counter_++);
    std::filesystem::create_directories(path_);
    ::setenv("ARVCORE_FILES_DIR", path_.c_str(), 1);
  }
  ~TempFilesDir() {
    ::unsetenv("ARVCORE_FILES_DIR");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFilesDir(const TempFilesDir&) = delete;
  TempFilesDir& operator=(const TempFilesDir&) = delete;

  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
  }

 private:
  std::filesystem::path path_;
  static inline int counter_ = 0;
};

arvcore::vlndev::RfLayoutFn layout(int boards, int ics, int channels) {
  return [=] { return Value::array({boards, ics, channels}); };
}

std::unique_ptr<CalibrationTableManager> local_manager(int boards, const std::string& csv) {
  auto m = std::make_unique<CalibrationTableManager>("SNX", Value(28), layout(boards, 1, 2), false,
                                                     false, false);
  std::istringstream in(csv);
  const RetType r = m->parse(28, &in);
  EXPECT_TRUE(r.ok()) << r.to_string();
  return m;
}

// --- dynamic ranges --------------------------------------------------------------------

TEST(CaliDynamicRange, LocalDRByModeArgument) {
  auto m = local_manager(2, table_csv(2));
  EXPECT_EQ(m->getDR().RetData, J(R"({"RX": [-6.0, 12.5], "TX": [-9.5, 6.0]})"));
  EXPECT_EQ(m->getDR(RFMode::RX).RetData, J("[-6.0, 12.5]"));
  EXPECT_EQ(m->getDR(std::int64_t{0}).RetData, J("[-9.5, 6.0]"));
  EXPECT_EQ(m->getDR(CellRFMode::TX).RetData, J("[-9.5, 6.0]"));
  EXPECT_THROW(m->getDR(std::int64_t{5}), arvcore::ValueError);
  // STANDBY is only special on polarization devices; here it is simply not in the table.
  EXPECT_THROW(m->getDR(CellRFMode::STANDBY), arvcore::KeyError);
}

TEST(CaliDynamicRange, LocalCacheShapesAndReuse) {
  auto m = local_manager(2, table_csv(2));
  LogCapture logs({"CaliTbl"});
  const RetType com = m->getCOMDR();
  ASSERT_TRUE(com.ok());
  EXPECT_EQ(com.RetData, J("[[[-8.5, -1.0], [-7.5, 0.0]], [[-7.0, 0.0], [-6.0, 1.0]]]"));
  // One-element lists are unwrapped; pairs stay lists.
  EXPECT_EQ(m->getELEDR().RetData, J("[[8.0, 9.0], [7.0, 8.0]]"));
  EXPECT_EQ(logs.count(Level::debug, "Fetch ELEDR from cache"), 1);
  EXPECT_EQ(logs.count(Level::debug, "Fetch COMDR from cache"), 0);
  int all_dr = 0;
  for (const auto& r : logs.records) {
    all_dr +=
        (r.level == Level::info && r.message.starts_with("All DR: {'COMDR': [[[-8.5")) ? 1 : 0;
  }
  EXPECT_EQ(all_dr, 1);

  EXPECT_EQ(m->_getBoardELEDR(std::int64_t{0}, 1), Value(9.0));
  EXPECT_EQ(m->_getBoardCOMDR(RFMode::RX, 0), J("[-7.0, 0.0]"));
  EXPECT_EQ(m->_getBoardCOMDR(RFMode::RX, -1), J("[-6.0, 1.0]"));
  EXPECT_THROW(m->_getBoardCOMDR(RFMode::TX, 2), arvcore::IndexError);
}

TEST(CaliDynamicRange, FrequencyParseDropsTheCaches) {
  TempFilesDir dir;
  dir.write("SNX_28GHz.csv", table_csv(2));
  CalibrationTableManager m("SNX", Value(28), layout(2, 1, 2));
  ASSERT_TRUE(m.parse(28).ok());
  EXPECT_EQ(m.getCOMDR().RetData[0][0], J("[-8.5, -1.0]"));
  EXPECT_EQ(std::get<Value>(m._getBoardsOffset({1})), J("[[11, 12]]"));

  dir.write("SNX_28GHz.csv", table_csv(2, 1.0));
  // A parse from a stream keeps the caches; a frequency parse drops them.
  std::istringstream in(table_csv(2, 1.0));
  ASSERT_TRUE(m.parse(28, &in).ok());
  EXPECT_EQ(m.getCOMDR().RetData[0][0], J("[-8.5, -1.0]"));
  ASSERT_TRUE(m.parse(28).ok());
  EXPECT_EQ(m.getCOMDR().RetData[0][0], J("[-7.5, -1.0]"));
  EXPECT_EQ(std::get<Value>(m._getBoardsOffset({2})), J("[[21, 22]]"));
}

TEST(CaliDynamicRange, FourICSectionsAndMissingSection) {
  // 2 boards x 2 ICs: the IC sections run BOARD_1..BOARD_4.
  auto m = std::make_unique<CalibrationTableManager>("SNX", Value(28), layout(2, 2, 1), false,
                                                     false, false);
  std::istringstream in(table_csv(4));
  // The offset rows list 4 values per mode: 2 boards x 2 ICs x 1 channel.
  ASSERT_TRUE(m->parse(28, &in).ok());
  const Value com = m->getCOMDR().RetData;
  ASSERT_EQ(com.size(), 2u);
  EXPECT_EQ(com[0].size(), 4u);
  EXPECT_EQ(com[1].size(), 4u);
  EXPECT_EQ(com[0][3], J("[-5.5, 2.0]"));

  // Only three sections: building fails, and no half-filled cache is left behind.
  auto short_table = std::make_unique<CalibrationTableManager>("SNX", Value(28), layout(2, 2, 1),
                                                               false, false, false);
  std::istringstream in3(table_csv(3));
  ASSERT_TRUE(short_table->parse(28, &in3).ok());
  EXPECT_THROW(short_table->getCOMDR(), arvcore::KeyError);
  LogCapture logs({"CaliTbl"});
  EXPECT_THROW(short_table->getELEDR(), arvcore::KeyError);
  EXPECT_EQ(logs.count(Level::debug, "Fetch ELEDR from cache"), 0);
}

// --- offsets -------------------------------------------------------------------------------

TEST(CaliOffsets, LocalPerBoardsAndChip) {
  auto m = local_manager(2, table_csv(2));
  LogCapture logs({"CaliTbl"});
  auto r = m->_getBoardsOffset({1, 2});
  ASSERT_TRUE(std::holds_alternative<Value>(r));
  EXPECT_EQ(std::get<Value>(r), J("[[11, 12], [21, 22]]"));
  EXPECT_EQ(logs.count(Level::debug, "OFFSET_TX: brd:1, offsets:[11, 12]"), 1);
  EXPECT_EQ(logs.count(Level::debug, "OFFSET_RX: brd:2, offsets:[-21, -22]"), 1);

  r = m->_getBoardsOffset({1, 2}, "RX");
  EXPECT_EQ(std::get<Value>(r), J("[[-11, -12], [-21, -22]]"));
  EXPECT_EQ(logs.count(Level::debug, "Fetch RX Offset from cache"), 1);

  // Other boards get their own answer, not the first call's.
  r = m->_getBoardsOffset({2}, "RX");
  EXPECT_EQ(std::get<Value>(r), J("[[-21, -22]]"));
  EXPECT_EQ(logs.count(Level::debug, "Fetch RX Offset from cache"), 1);

  EXPECT_EQ(std::get<Value>(m->_getBoardsOffset({})), J("[]"));
  EXPECT_THROW(m->_getBoardsOffset({1}, "TX", 2), arvcore::KeyError);
  EXPECT_THROW(m->_getBoardsOffset({3}), arvcore::KeyError);
  // The failed builds cached nothing: the chip-1 answer is still right afterwards.
  EXPECT_EQ(std::get<Value>(m->_getBoardsOffset({2, 1})), J("[[21, 22], [11, 12]]"));
  EXPECT_THROW(m->_getBoardsOffset({1}, "SIDE"), arvcore::KeyError);
}

// --- TC and common-arm steps ---------------------------------------------------------------

TEST(CaliTemperature, LocalTCAndStepSearch) {
  auto m = local_manager(2, table_csv(2));
  // Texts in the table come back as integers, TX values then RX values per section.
  EXPECT_EQ(m->_getTC(), J("[[[1, 2, 3, 4], [2, 2, 3, 5]]]"));

  LogCapture logs({"CaliTbl"});
  EXPECT_EQ(answered(m->_searchComStepDR(1, "TX", -3, 5)), J(R"(["COM_1"])"));
  EXPECT_EQ(logs.count(Level::debug, "Search COMSTEPDR -> COM list: ['COM_1']"), 1);
  EXPECT_EQ(answered(m->_searchComStepDR(2, "RX", -10, -1)), J(R"(["COM_2"])"));
  EXPECT_EQ(answered(m->_searchComStepDR(2, "RX", -25, 5)), J("[]"));
  EXPECT_EQ(logs.count(Level::debug, "Search COMSTEPDR -> COM list: []"), 1);
  EXPECT_EQ(answered(m->_searchComStepDR(2, "RX", 0, 0, Value("HORIZON"))),
            J(R"(["COM_1", "COM_2"])"));
  EXPECT_THROW(m->_searchComStepDR(3, "TX", 0, 0), arvcore::KeyError);
}

// --- ComData -------------------------------------------------------------------------------

TEST(CaliComData, LocalKeysKeepTheCallersKinds) {
  auto m = local_manager(2, table_csv(2));
  LogCapture logs({"CaliTbl"});
  // Integer phases and whole-number float ones (45.0, as numpy gives) find the table's keys.
  const Value got =
      m->_getComData("TX", 2, 1, J("[1, 2]"), J("[[3.5, 1.0], [-2.5, 1]]"),
                     J("[[0, 45], [45, 45.0]]"), J(R"([["COM_1"], ["COM_2", "COM_1"]])"));
  Value want = Value::array();
  want.push_back({{"COM_1", Value::array({entry(1, 1, 1, 3.5, 0), entry(1, 1, 2, 1.0, 45)})}});
  want.push_back({{"COM_2", Value::array({entry(2, 2, 1, -2.5, 45), entry(2, 2, 2, 1.0, 45)})},
                  {"COM_1", Value::array({entry(2, 1, 1, -2.5, 45), entry(2, 1, 2, 1.0, 45)})}});
  EXPECT_EQ(got, want);
  EXPECT_FALSE(logs.contains(Level::error, "")) << logs.dump();
  // Any other phase keeps its text: 22.5 makes the key 2_10_22.5, which no table holds.
  EXPECT_EQ(
      m->_getComData("TX", 1, 1, J("[2]"), J("[[1, 1]]"), J("[[0, 22.5]]"), J(R"([["COM_1"]])")),
      J(R"([{"COM_1": []}])"));
  EXPECT_EQ(logs.count(Level::error, "[COM_1] Can not find the ComData from key: 2_10_22.5"), 1);
  EXPECT_EQ(logs.count(Level::debug,
                       "[ComData] key: TX, 0/1/[1, 2] gain/phase: [3.5, 1.0]/[0, 45] with com "
                       "list: ['COM_1']"),
            1);
  EXPECT_EQ(logs.count(Level::debug,
                       "[ComData] Fetched from BOARD_1: {'COM_1': [[1, 11, 3.5, 0.0], [1, 12, "
                       "1.0, 45.0]]}"),
            1);

  // Truncation toward zero: 3.55 -> 35, -2.55 -> -25.
  EXPECT_EQ(m->_getComData("TX", 1, 1, J("[1, 2]"), J("[[3.55, -2.55]]"), J("[[0, 0]]"),
                           J(R"([["COM_2"]])")),
            Value::array({Value{
                {"COM_2", Value::array({entry(1, 2, 1, 3.5, 0), entry(1, 2, 2, -2.5, 0)})}}}));
  EXPECT_EQ(m->_getComData("TX", 0, 1, J("[1]"), J("[]"), J("[]"), J("[]")), J("[]"));
}

TEST(CaliComData, FailuresKeepTheBoardsDone) {
  auto m = local_manager(2, table_csv(2));
  LogCapture logs({"CaliTbl"});
  // The second board's gains are too short for channel 2.
  Value got = m->_getComData("TX", 2, 1, J("[1, 2]"), J("[[3.5, 1.0], [3.5]]"),
                             J("[[0, 0], [0, 0]]"), J(R"([["COM_1"], ["COM_1"]])"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["COM_1"].size(), 2u);
  EXPECT_EQ(logs.count(Level::error, "Exception to fetch ComData"), 1);

  // A third board that the table lacks; a missing step; a chip without data.
  got = m->_getComData("TX", 3, 1, J("[1]"), J("[[1.0], [1.0], [1.0]]"), J("[[0], [0], [0]]"),
                       J(R"([["COM_1"], ["COM_1"], ["COM_1"]])"));
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(m->_getComData("TX", 1, 1, J("[1]"), J("[[1.0]]"), J("[[0]]"), J(R"([["COM_9"]])")),
            J("[]"));
  EXPECT_EQ(m->_getComData("TX", 1, 2, J("[1]"), J("[[1.0]]"), J("[[0]]"), J(R"([["COM_1"]])")),
            J("[]"));
  // Channel 0 is refused instead of reading the last channel's gain.
  EXPECT_EQ(
      m->_getComData("TX", 1, 1, J("[0]"), J("[[1.0, 3.5]]"), J("[[0, 0]]"), J(R"([["COM_1"]])")),
      J("[]"));
  EXPECT_EQ(logs.count(Level::error, "Exception to fetch ComData"), 5);

  // Argument types are checked before anything runs, and reach the caller.
  logs.records.clear();
  EXPECT_THROW(m->_getComData("TX", 1, 1, Value(1), J("[[1.0]]"), J("[[0]]"), J("[[]]")),
               arvcore::TypeError);
  EXPECT_THROW(m->_getComData("TX", 1, 1, J("[1]"), J(R"({"a": 1})"), J("[[0]]"), J("[[]]")),
               arvcore::TypeError);
  EXPECT_THROW(m->_getComData("TX", 1, 1, J("[1]"), J("[[1.0]]"), Value("x"), J("[[]]")),
               arvcore::TypeError);
  EXPECT_THROW(m->_getComData("TX", 1, 1, J("[1]"), J("[[1.0]]"), J("[[0]]"), Value()),
               arvcore::TypeError);
  EXPECT_TRUE(logs.records.empty());
}

// --- web mode ------------------------------------------------------------------------------

std::string dump(const Value& v) {
  return arvcore::value::dump_json(v, -1);
}

std::unique_ptr<CalibrationTableManager> web_manager(int boards, int ics = 1) {
  return std::make_unique<CalibrationTableManager>("SNW", Value(28), layout(boards, ics, 2), false,
                                                   true);
}

TEST(CaliWeb, DRQueriesAnswerTheDatabaseEnvelope) {
  ScriptedDB db;
  auto m = web_manager(2);
  LogCapture logs({"CaliTbl"});
  db.replies.push_back(ScriptedDB::ok(J(R"({"DR": {"TX": [-9.5, 6.0], "RX": [-6.0, 12.5]}})")));
  db.replies.push_back(ScriptedDB::ok(J(R"({"DR.RX": [-6.0, 12.5]})")));
  db.replies.push_back(ScriptedDB::fail("no such table"));
  db.replies.push_back(Value("unreachable"));

  EXPECT_EQ(m->getDR().RetData, J(R"({"TX": [-9.5, 6.0], "RX": [-6.0, 12.5]})"));
  EXPECT_EQ(m->getDR(std::int64_t{1}).RetData, J("[-6.0, 12.5]"));
  ASSERT_EQ(db.calls.size(), 2u);
  EXPECT_EQ(dump(db.calls[0].payload),
            R"({"sn": "SNW", "frequency": 28, "category": "GENERAL", "query": ["DR"]})");
  EXPECT_EQ(dump(db.calls[1].payload["query"]), R"(["DR.RX"])");

  const RetType feedback = m->getDR(RFMode::TX);
  EXPECT_EQ(feedback.RetCode, RetCode::ERROR_DB_FEEDBACK);
  EXPECT_EQ(feedback.RetMsg, "no such table");
  EXPECT_EQ(m->getDR().RetCode, RetCode::ERROR_DB_SERVER);
  EXPECT_EQ(logs.count(Level::error, "Exception: " + feedback.to_string()), 1);
}

// Answers every per-IC dynamic-range request with values derived from its section and mode.
ScriptedDB::Responder dr_responder(int* failures_left = nullptr) {
  return [failures_left](const Value& payload, const std::optional<std::string>&) -> Value {
    const std::string section = payload["category"];
    const std::string mode = std::string(payload["query"][0]).substr(0, 2);
    if (failures_left != nullptr && section == "BOARD_2" && *failures_left > 0) {
      --*failures_left;
      return ScriptedDB::fail("busy");
    }
    const double n = std::stod(section.substr(6)) + (mode == "RX" ? 10 : 0);
    Value data = Value::object();
    data[mode + ".COMDR"] = Value::array({-n, n});
    data[mode + ".ELEDR"] = Value::array({n / 2});
    data[mode + ".COMSTEPDR"] = J(R"({"COM_1": ["10", "-5"], "COM_2": ["0", "-20"]})");
    data[mode + ".COMSTEPDR"]["COM_3"] = Value::array({n, -n});
    return ScriptedDB::ok(data);
  };
}

TEST(CaliWeb, DynamicRangeCacheIsBuiltOnceAndOnlyWhenComplete) {
  ScriptedDB db;
  int failures = 1;
  db.responder = dr_responder(&failures);
  auto m = web_manager(2);
  LogCapture logs({"CaliTbl"});

  // The second section fails: the caller gets the envelope and nothing is cached.
  const RetType failed = m->getCOMDR();
  EXPECT_EQ(failed.RetCode, RetCode::ERROR_DB_FEEDBACK);
  EXPECT_EQ(failed.RetMsg, "busy");
  ASSERT_EQ(db.calls.size(), 2u);

  // The next call starts over and sends one request per mode and section.
  db.calls.clear();
  EXPECT_EQ(m->getCOMDR().RetData,
            J("[[[-1.0, 1.0], [-2.0, 2.0]], [[-11.0, 11.0], [-12.0, 12.0]]]"));
  ASSERT_EQ(db.calls.size(), 4u);
  EXPECT_EQ(dump(db.calls[0].payload),
            R"({"sn": "SNW", "frequency": 28, "category": "BOARD_1", "query": ["TX.COMDR", )"
            R"("TX.ELEDR", "TX.COMSTEPDR"]})");
  EXPECT_EQ(db.calls[1].payload["category"], "BOARD_2");
  EXPECT_EQ(db.calls[3].payload["query"][2], "RX.COMSTEPDR");

  EXPECT_EQ(m->getELEDR().RetData, J("[[0.5, 1.0], [5.5, 6.0]]"));
  EXPECT_EQ(m->_getBoardCOMDR(std::int64_t{1}, 1), J("[-12.0, 12.0]"));
  // Steps whose range covers [-3, 5]; texts compare as numbers; web mode reads the cache.
  EXPECT_EQ(answered(m->_searchComStepDR(2, "RX", -3, 5)), J(R"(["COM_1", "COM_3"])"));
  EXPECT_EQ(answered(m->_searchComStepDR(1, "TX", -3, 5, Value("VERTICAL"))), J(R"(["COM_1"])"));
  EXPECT_EQ(db.calls.size(), 4u);
  EXPECT_EQ(logs.count(Level::debug, "Fetch ELEDR from cache"), 1);
  EXPECT_EQ(logs.count(Level::debug, "Fetch COMSTEPDR from cache"), 2);
  // A section or mode the table lacks answers an envelope naming it (local mode: KeyError).
  for (const auto& [board, mode] : {std::pair<int, const char*>{1, "SIDE"}, {0, "TX"}, {3, "TX"}}) {
    const RetType missing(RetCode::ERROR_DB_FEEDBACK,
                          fmt::format("the calibration table of SNW at 28 GHz has no entry "
                                      "BOARD_{}.{}.COMSTEPDR",
                                      board, mode));
    EXPECT_EQ(answered(m->_searchComStepDR(board, mode, 0, 0)),
              Value::array({"envelope", missing.to_string()}));
  }

  // A frequency parse drops the cache: the next query asks again.
  EXPECT_TRUE(m->parse(27.5).ok());
  EXPECT_EQ(m->getELEDR().RetData[0][0], Value(0.5));
  EXPECT_EQ(db.calls.size(), 8u);
  EXPECT_EQ(db.calls[4].payload["frequency"], Value(27.5));
}

TEST(CaliWeb, UnexpectedDynamicRangeKeysReachTheCaller) {
  ScriptedDB db;
  db.responder = [](const Value&, const std::optional<std::string>&) {
    return ScriptedDB::ok(J(R"({"TX.COMDR": [1.0, 2.0], "TX.OTHER": 1})"));
  };
  auto m = web_manager(1);
  EXPECT_THROW(m->getCOMDR(), arvcore::KeyError);
  db.responder = dr_responder();
  EXPECT_EQ(m->getCOMDR().RetData, J("[[[-1.0, 1.0]], [[-11.0, 11.0]]]"));
}

TEST(CaliWeb, OffsetsComeInOneBatchPerMode) {
  ScriptedDB db;
  auto m = web_manager(3);
  LogCapture logs({"CaliTbl"});
  auto batch_reply = [](int base) {
    Value data = Value::object();
    for (int i = 0; i < 3; ++i) {
      data[fmt::format("query-{}", i)]["OFFSET_CHIP_1"] =
          Value{{"CHANNEL_1", base + 10 * i}, {"CHANNEL_2", base + 10 * i + 1}};
    }
    return ScriptedDB::ok(data);
  };
  // A failed batch first: its held requests must not ride along with the next call's.
  db.replies.push_back(ScriptedDB::fail("down"));
  auto r = m->_getBoardsOffset({1, 2, 3});
  ASSERT_TRUE(std::holds_alternative<RetType>(r));
  EXPECT_EQ(std::get<RetType>(r).RetCode, RetCode::ERROR_DB_FEEDBACK);
  EXPECT_EQ(logs.count(Level::error, "Exception: " + std::get<RetType>(r).to_string()), 1);

  db.calls.clear();
  db.replies.push_back(batch_reply(100));
  db.replies.push_back(batch_reply(200));
  r = m->_getBoardsOffset({1, 2, 3}, "RX");
  ASSERT_TRUE(std::holds_alternative<Value>(r));
  EXPECT_EQ(std::get<Value>(r), J("[[200, 201], [210, 211], [220, 221]]"));
  ASSERT_EQ(db.calls.size(), 2u);
  EXPECT_EQ(db.calls[0].cmd, std::optional<std::string>("getMultiData"));
  const Value& batch = db.calls[0].payload;
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(
      dump(batch["query-1"]),
      R"({"sn": "SNW", "frequency": 28, "category": "BOARD_2", "query": ["TX.OFFSET_CHIP_1"]})");
  EXPECT_EQ(db.calls[1].payload["query-2"]["query"][0], "RX.OFFSET_CHIP_1");
  EXPECT_EQ(logs.count(Level::debug, "OFFSET_TX: brd:3, offsets:[120, 121]"), 1);

  // Same boards and chip: from the cache; one board alone: a plain query, its own entry.
  EXPECT_EQ(std::get<Value>(m->_getBoardsOffset({1, 2, 3})),
            J("[[100, 101], [110, 111], [120, 121]]"));
  EXPECT_EQ(db.calls.size(), 2u);
  db.replies.push_back(
      ScriptedDB::ok(J(R"({"TX.OFFSET_CHIP_2": {"CHANNEL_1": 7, "CHANNEL_2": 8}})")));
  db.replies.push_back(
      ScriptedDB::ok(J(R"({"RX.OFFSET_CHIP_2": {"CHANNEL_1": -7, "CHANNEL_2": -8}})")));
  EXPECT_EQ(std::get<Value>(m->_getBoardsOffset({2}, "RX", 2)), J("[[-7, -8]]"));
  EXPECT_FALSE(db.calls[2].cmd);
  EXPECT_EQ(logs.count(Level::debug, "OFFSET_TX: brd:2, offsets:[7, 8]"), 1);

  // No boards: nothing is sent.
  EXPECT_EQ(std::get<Value>(m->_getBoardsOffset({})), J("[]"));
  EXPECT_EQ(db.calls.size(), 4u);
}

TEST(CaliWeb, TemperatureCompensationPerSectionAndMode) {
  ScriptedDB db;
  db.responder = [](const Value& payload, const std::optional<std::string>&) {
    const std::string q = payload["query"][0];
    const std::string n = std::string(payload["category"]).substr(6);
    Value data = Value::object();
    data[q] = q.starts_with("TX") ? Value::array({n, "2"}) : Value::array({3, 4.0});
    return ScriptedDB::ok(data);
  };
  auto m = web_manager(1, 2);
  EXPECT_EQ(m->_getTC(), J("[[[1, 2, 3, 4], [2, 2, 3, 4]]]"));
  ASSERT_EQ(db.calls.size(), 4u);
  EXPECT_EQ(dump(db.calls[1].payload["query"]), R"(["RX.TC"])");
  EXPECT_EQ(db.calls[2].payload["category"], "BOARD_2");
  db.responder = [](const Value&, const std::optional<std::string>&) {
    return ScriptedDB::fail("gone");
  };
  EXPECT_THROW(m->_getTC(), arvcore::vlndev::VLNTableDBError);
}

// Answers a ComData batch: each request's keys map to an entry naming the key.
Value comdata_batch_reply(const Value& batch) {
  Value data = Value::object();
  for (const auto& [name, request] : batch.items()) {
    for (const auto& key : request["query"]) {
      data[name][std::string(key)] = Value::array({1, 2, 0.5, std::string(key).size()});
    }
  }
  return ScriptedDB::ok(data);
}

TEST(CaliWeb, ComDataInOneBatchWithCache) {
  ScriptedDB db;
  auto m = web_manager(3);
  LogCapture logs({"CaliTbl"});
  const Value channel = J("[1, 2]");
  const Value gain = J("[[3.5, 1.0], [-2.5, 0.0], [0.05, 7]]");
  const Value phase = J("[[0, 45], [45.0, 90], [355, 0]]");
  const Value coms = J(R"([["COM_1"], ["COM_1"], ["COM_1", "COM_2"]])");

  // A failed batch is dropped: the next query goes out alone and answers its own request.
  db.replies.push_back("down");
  EXPECT_EQ(m->_getComData("TX", 3, 1, channel, gain, phase, coms), J("[]"));
  EXPECT_EQ(logs.count(Level::error, "Exception to fetch ComData"), 1);
  EXPECT_TRUE(m->db()->heldQueries().empty());
  db.replies.push_back(ScriptedDB::ok(J(R"({"DR": {"TX": [1, 2], "RX": [3, 4]}})")));
  EXPECT_EQ(m->getDR(), RetType::Data(J(R"({"TX": [1, 2], "RX": [3, 4]})")));
  EXPECT_FALSE(db.calls.back().cmd);

  db.calls.clear();
  db.responder = [](const Value& payload, const std::optional<std::string>&) {
    return comdata_batch_reply(payload);
  };
  const Value got = m->_getComData("TX", 3, 1, channel, gain, phase, coms);
  ASSERT_EQ(db.calls.size(), 1u);
  EXPECT_EQ(db.calls[0].cmd, std::optional<std::string>("getMultiData"));
  const Value& batch = db.calls[0].payload;
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch["query-0"]["category"], "BOARD_1");
  EXPECT_EQ(dump(batch["query-0"]["query"]),
            R"(["TX.DATA_CHIP_1.COM_1.1_35_0", "TX.DATA_CHIP_1.COM_1.2_10_45"])");
  EXPECT_EQ(dump(batch["query-1"]["query"]),
            R"(["TX.DATA_CHIP_1.COM_1.1_-25_45", "TX.DATA_CHIP_1.COM_1.2_0_90"])");
  EXPECT_EQ(dump(batch["query-2"]["query"]),
            R"(["TX.DATA_CHIP_1.COM_1.1_0_355", "TX.DATA_CHIP_1.COM_1.2_70_0", )"
            R"("TX.DATA_CHIP_1.COM_2.1_0_355", "TX.DATA_CHIP_1.COM_2.2_70_0"])");
  ASSERT_EQ(got.size(), 3u);
  // (the scripted entries carry the length of their key)
  EXPECT_EQ(dump(got[0]), R"({"COM_1": [[1, 2, 0.5, 27], [1, 2, 0.5, 28]]})");
  EXPECT_EQ(dump(got[2]),
            R"({"COM_1": [[1, 2, 0.5, 28], [1, 2, 0.5, 27]], "COM_2": [[1, 2, 0.5, 28], )"
            R"([1, 2, 0.5, 27]]})");
  EXPECT_TRUE(m->db()->heldQueries().empty());

  // The same request again: from the cache, nothing sent, nothing left held.
  logs.records.clear();
  EXPECT_EQ(m->_getComData("TX", 3, 1, channel, gain, phase, coms), got);
  EXPECT_EQ(db.calls.size(), 1u);
  EXPECT_EQ(logs.count(Level::debug, "[ComData] Fetched from cache"), 1);
  EXPECT_TRUE(m->db()->heldQueries().empty());

  // 45 and 45.0 name the same key: the same key set, from the cache.
  const Value phase_int = J("[[0, 45], [45, 90], [355, 0]]");
  EXPECT_EQ(m->_getComData("TX", 3, 1, channel, gain, phase_int, coms), got);
  EXPECT_EQ(db.calls.size(), 1u);

  // Nothing to fetch: nothing sent.
  EXPECT_EQ(m->_getComData("TX", 0, 1, channel, gain, phase, coms), J("[]"));
  EXPECT_EQ(db.calls.size(), 1u);
}

// A board whose arguments fail ends the fetch before anything is sent, whichever board it
// is: the key lines up to it are logged, then the failure, as the SDK's module logs them.
TEST(CaliWeb, ComDataChecksEveryBoardBeforeAsking) {
  ScriptedDB db;
  auto m = web_manager(3);
  LogCapture logs({"CaliTbl"});
  struct Case {
    const char* gain;
    const char* phase;
    const char* coms;
    int key_lines;
  };
  const Case cases[] = {
      {"[[1, 1], [1, 1]]", "[[0, 0], [0, 0], [0, 0]]", R"([["COM_1"], ["COM_1"], ["COM_1"]])", 2},
      {"[[1, 1], [1, 1], [1]]", "[[0, 0], [0, 0], [0, 0]]", R"([["COM_1"], ["COM_1"], ["COM_1"]])",
       3},
      {"[[1, 1], [1, 1], [1, 1]]", "[[0, 0], [0, 0], [0, 0]]", R"([["COM_1"], ["COM_1"], [1]])", 3},
      {"[[1, 1], [1, 1], [1, 1]]", "[[0, 0], [0, 0]]", R"([["COM_1"], ["COM_1"], ["COM_1"]])", 2},
  };
  for (const Case& c : cases) {
    logs.records.clear();
    EXPECT_EQ(m->_getComData("TX", 3, 1, J("[1, 2]"), J(c.gain), J(c.phase), J(c.coms)), J("[]"));
    EXPECT_TRUE(db.calls.empty()) << c.gain;
    ASSERT_EQ(logs.records.size(), static_cast<std::size_t>(c.key_lines + 1)) << logs.dump();
    for (int i = 0; i < c.key_lines; ++i) {
      EXPECT_TRUE(logs.records[i].message.starts_with(fmt::format("[ComData] key: TX, {}/", i)));
    }
    EXPECT_EQ(logs.records.back().message, "Exception to fetch ComData");
  }
}

TEST(CaliWeb, ComDataSingleBoardReplyGroupsBySteps) {
  ScriptedDB db;
  auto m = web_manager(1);
  // One board: a plain query whose reply is a single map; entries group by their step part.
  db.replies.push_back(ScriptedDB::ok(J(R"({"TX.DATA_CHIP_2.COM_1.1_10_0": [1], )"
                                        R"("TX.DATA_CHIP_2.COM_1.2_10_0": [2], )"
                                        R"("TX.DATA_CHIP_2.COM_2.1_10_0": [3], )"
                                        R"("TX.DATA_CHIP_2.COM_2.2_10_0": [4]})")));
  const Value got = m->_getComData("TX", 1, 2, J("[1, 2]"), J("[[1, 1]]"), J("[[0, 0]]"),
                                   J(R"([["COM_1", "COM_2"]])"));
  ASSERT_EQ(db.calls.size(), 1u);
  EXPECT_FALSE(db.calls[0].cmd);
  EXPECT_EQ(db.calls[0].payload["category"], "BOARD_1");
  EXPECT_EQ(dump(got), R"([{"COM_1": [[1], [2]], "COM_2": [[3], [4]]}])");

  // A reply that is neither a list nor a map is a failure: logged, nothing cached.
  LogCapture logs({"CaliTbl"});
  db.replies.push_back(ScriptedDB::ok(Value(5)));
  db.replies.push_back(ScriptedDB::ok(J(R"({"a.b.COM_9.x": [9], "a.b.COM_9.y": [8]})")));
  EXPECT_EQ(m->_getComData("TX", 1, 2, J("[1]"), J("[[2]]"), J("[[0]]"), J(R"([["COM_9"]])")),
            J("[]"));
  EXPECT_EQ(logs.count(Level::error, "Exception to fetch ComData"), 1);
  EXPECT_EQ(dump(m->_getComData("TX", 1, 2, J("[1]"), J("[[2]]"), J("[[0]]"), J(R"([["COM_9"]])"))),
            R"([{"COM_9": [[9], [8]]}])");
  EXPECT_EQ(db.calls.size(), 3u);
}

// --- polarization devices ------------------------------------------------------------------

TEST(CaliPolarization, BuiltInTable) {
  ScriptedDB db;
  for (bool web : {false, true}) {
    CalibrationTableManager m("D2410E001-28", Value(28), layout(1, 1, 4), true, web);
    EXPECT_EQ(m.getDR().RetData["TX"], J(R"({"HORIZON": [-9.5, 5.0], "VERTICAL": [-8.0, 7.0]})"));
    EXPECT_EQ(m.getDR(std::int64_t{1}).RetData,
              J(R"({"HORIZON": [-5.0, 10.0], "VERTICAL": [-6.0, 9.0]})"));
    EXPECT_EQ(m.getDR(RFMode::TX).RetData["HORIZON"], J("[-9.5, 5.0]"));

    LogCapture logs({"CaliTbl"});
    for (const RetType& r : {m.getDR(CellRFMode::STANDBY), m.getDR(std::int64_t{2})}) {
      EXPECT_EQ(r.RetCode, RetCode::WARNING);
      EXPECT_EQ(r.RetMsg, "DR not support for STANDBY mode");
      EXPECT_TRUE(r.RetData.is_null());
    }
    EXPECT_EQ(logs.count(Level::warning, "DR not support for STANDBY mode"), 2);

    EXPECT_EQ(m.getCOMDR().RetData, J(R"([[{"HORIZON": [-9.5, -2.0], "VERTICAL": [-8.0, -0.5]}],
                    [{"HORIZON": [-5.0, 2.5], "VERTICAL": [-6.0, 1.5]}]])"));
    EXPECT_EQ(m.getELEDR().RetData,
              J(R"([[{"HORIZON": 7.0, "VERTICAL": 7.5}], [{"HORIZON": 4.0, "VERTICAL": 5.5}]])"));
    EXPECT_EQ(m._getTC(), J("[[[[8, 3, 2, 11], [8, 3, 2, 11]]]]"));
    // The built-in table has no step ranges.
    EXPECT_THROW(m._searchComStepDR(1, "TX", 0, 0), arvcore::KeyError);
  }
  // Polarization devices never use the table database.
  EXPECT_TRUE(db.tables.empty());
  EXPECT_TRUE(db.calls.empty());
}

}  // namespace
