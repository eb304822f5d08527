// Calibration manager: set-ups, file discovery, the CSV parse and its results, JSON export
// and import.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_layout.hpp"
#include "arvcore/vlndev/cali_table_import.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_later_rows.hpp"
#include "arvcore/vlndev/detail/cali_numbers.hpp"
#include "log_capture.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::value::parse_json;
using arvcore::vlndev::CalibrationTableManager;

constexpr const char* kSn = "D2230E013-28";

Value layout(int boards, int ics, int channels) {
  return Value::array({boards, ics, channels});
}

// One DATA row; unused cells carry filler so that a shifted column would be noticed.
std::string data_row(const std::string& mode, int board, int chip, int ch, const std::string& gain,
                     const std::string& phase, int com, int a, int b, const std::string& x,
                     const std::string& y) {
  return fmt::format("DATA,{},m,{},b,{},c,{},d,e,{},g,{},p,{},s,{},{},u,{},{}\n", mode, board, chip,
                     ch, gain, phase, com, a, b, x, y);
}

// A complete table for layout 2 boards x 1 IC x 2 channels.
std::string header(const std::string& ver = "3.0.0", const std::string& sn = kSn,
                   const std::string& fcenter = "28") {
  return fmt::format("VER,{}\nREALVER,3.0.1\nSN,{}\nFCENTER,{}\nDR,-5,10.5,-10,-5\n", ver, sn,
                     fcenter);
}
const std::string kBody =
    "OFFSET_TX,1,2,3,4\n"
    "OFFSET_RX,-1,-2,-3,-4\n"
    "COMDR,TX,x,1,y,-6.5,10.0,,\n"
    "ELEDR,TX,x,1,y,7.5\n"
    "COMDR,RX,x,2,y,-4,8\n"
    "TEMPADC,x,1,y,2048\n"
    "TC,x,1,y,t1,t2,r1,r2\n"
    "COMSTEPDR,TX,x,1,y,z,3,w,-6.0,v,2.5\n" +
    data_row("TX", 1, 1, 2, "3.5", "45", 3, 100, 200, "0.5", "-0.25") +
    data_row("TX", 1, 1, 1, "0.05", "0", 3, 1, 2, "1", "2") +
    data_row("TX", 1, 1, 1, "-1.25", "355", 3, 1, 2, "1", "2") +
    data_row("TX", 1, 1, 2, "3.5", "45", 3, 7, 8, "9.5", "10") +  // same key: replaces
    data_row("RX", 2, 1, 1, "-8", "5", 1, 5, 6, "7", "8");
const std::string kGood = header() + kBody + "END\n";

class CaliFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           fmt::format("cali_files_{}_{}", ::getpid(),
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("ARVCORE_FILES_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ARVCORE_FILES_DIR");
    fs::remove_all(dir_);
  }

  fs::path write(const std::string& name, const std::string& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  CalibrationTableManager make(Value freq = 28, Value lay = layout(2, 1, 2)) {
    return CalibrationTableManager(kSn, std::move(freq), [lay] { return lay; });
  }

  fs::path dir_;
};

TEST_F(CaliFiles, ThreeSetUps) {
  // Polarization device: the one shared built-in table and the fixed frequency list.
  CalibrationTableManager polar(
      kSn, 28, [] { return layout(1, 1, 4); }, true);
  EXPECT_EQ(&polar.CaliTable(), CalibrationTableManager::zinnet_cali().get());
  EXPECT_EQ(polar.freq_list(), parse_json("[26.5, 27.0, 27.5, 28.0, 28.5, 29.0, 29.5]"));
  EXPECT_FALSE(polar.defaultDir());
  const Value& z = polar.CaliTable();
  EXPECT_EQ(z["FCENTER"], 28);
  EXPECT_TRUE(z["FCENTER"].is_number_integer());
  EXPECT_EQ(z["BOARD_1"]["TC"]["HORIZON"], parse_json("[8, 3, 2, 11]"));
  EXPECT_EQ(z["BOARD_1"]["RX"]["VERTICAL"], parse_json(R"({"OFFSET": [0, 0, 0, 0],
            "COMDR": [-6.0, 1.5], "ELEDR": 5.5})"));
  EXPECT_EQ(arvcore::value::dump_json(z["DR"], -1),
            R"({"TX": {"HORIZON": [-9.5, 5.0], "VERTICAL": [-8.0, 7.0]}, )"
            R"("RX": {"HORIZON": [-5.0, 10.0], "VERTICAL": [-6.0, 9.0]}})");
  EXPECT_EQ(polar.queryCaliTableVer().RetData, "3.0.0");
  EXPECT_EQ(polar.getFrequencyList(true).RetData.size(), 7u);
  EXPECT_EQ(polar.num_channel_per_ic(), 4);

  // Web mode: a facade with the request template, no table and no file search.
  write("D2230E013-28_28GHz.csv", kGood);
  CalibrationTableManager web(
      kSn, 27.5, [] { return layout(4, 1, 4); }, false, true);
  ASSERT_NE(web.db(), nullptr);
  EXPECT_EQ(web.db()->requestTemplate(),
            parse_json(R"({"sn": "D2230E013-28", "frequency": 27.5})"));
  EXPECT_TRUE(web.CaliTable().is_null());
  EXPECT_TRUE(web.freq_list().empty());
  EXPECT_EQ(web.checkCaliTableLocation().RetData, true);

  // Local mode: searches once at construction.
  auto local = make();
  EXPECT_EQ(local.defaultDir(), dir_);
  EXPECT_EQ(local.path_cali(), "");
  EXPECT_EQ(local.freq_list(), parse_json("[28.0]"));
  EXPECT_EQ(local.CaliTable(), Value::object());
  EXPECT_EQ(local.cali_table_ver_limit(), "2.0.0");

  // Local without file fetching: no data directory, so a search is an error.
  CalibrationTableManager bare(
      kSn, 28, [] { return layout(2, 1, 2); }, false, false, false);
  EXPECT_FALSE(bare.defaultDir());
  EXPECT_THROW(bare._searchCaliFile(), arvcore::Error);

  // The layout must be exactly three integers.
  EXPECT_THROW(make(28, Value::array({1, 1, 1, 1})), arvcore::ValueError);
  EXPECT_THROW(make(28, Value::array({1, 2})), arvcore::ValueError);
  EXPECT_THROW(make(28, Value::array({1, 2.5, 3})), arvcore::TypeError);
}

TEST_F(CaliFiles, SearchTiedToSerialNumber) {
  write("D2230E013-28_28GHz.csv", "x");
  write("D2230E013-28_27.5GHz.csv", "x");
  write("D2230E013-280_29GHz.csv", "x");                  // another device
  write("D2230E013-28_oldGHz.csv", "x");                  // unreadable frequency
  write("D2230E013-28_28GHz.json", "{}");                 // other extension
  write("XD2230E013-28_26GHz.csv", "x");                  // not a prefix
  fs::create_directory(dir_ / "D2230E013-28_30GHz.csv");  // not a file
  LogCapture logs({"CaliTbl"});
  auto m = make(28.0);
  EXPECT_EQ(m.freq_list(), parse_json("[27.5, 28.0]"));
  EXPECT_EQ(m._searchCaliFile(), (dir_ / "D2230E013-28_28GHz.csv").string());
  EXPECT_TRUE(logs.contains(Level::warning, "D2230E013-28_oldGHz.csv")) << logs.dump();

  EXPECT_EQ(m._searchCaliFile(".json"), (dir_ / "D2230E013-28_28GHz.json").string());
  EXPECT_EQ(m.freq_list(), parse_json("[28.0]"));

  // Wildcard characters in the serial number are literal.
  write("A[1]_28GHz.csv", "x");
  write("A1_27GHz.csv", "x");
  write("A*_26GHz.csv", "x");
  CalibrationTableManager odd("A[1]", 28, [] { return layout(1, 1, 1); });
  EXPECT_EQ(odd.freq_list(), parse_json("[28.0]"));
  CalibrationTableManager star("A*", 28, [] { return layout(1, 1, 1); });
  EXPECT_EQ(star.freq_list(), parse_json("[26.0]"));
}

TEST_F(CaliFiles, SearchInDirectoryWithUnderscoreAndRefresh) {
  const fs::path sub = dir_ / "my_files_1";
  fs::create_directories(sub);
  setenv("ARVCORE_FILES_DIR", sub.c_str(), 1);
  std::ofstream(sub / "D2230E013-28_28GHz.csv") << "x";
  auto m = make(28);
  EXPECT_EQ(m.freq_list(), parse_json("[28.0]"));
  EXPECT_EQ(m.checkCaliTableLocation().RetData, true);

  std::ofstream(sub / "D2230E013-28_26.5GHz.csv") << "x";
  EXPECT_EQ(m.getFrequencyList().RetData, parse_json("[28.0]"));
  EXPECT_EQ(m.getFrequencyList(true).RetData, parse_json("[26.5, 28.0]"));

  // Only other frequencies: a table exists, but not for this one.
  auto other = make(30);
  EXPECT_EQ(other.checkCaliTableLocation().RetData, true);
  EXPECT_EQ(other.parse(30).RetMsg, "Can not find file for Cali table");

  fs::remove(sub / "D2230E013-28_28GHz.csv");
  fs::remove(sub / "D2230E013-28_26.5GHz.csv");
  EXPECT_EQ(m.checkCaliTableLocation().RetData, false);
  EXPECT_TRUE(m.freq_list().empty());
}

TEST_F(CaliFiles, ParseBuildsTheTable) {
  // A NUL inside a line is dropped before splitting.
  std::string with_nul = kGood;
  with_nul.insert(with_nul.find("REALVER") + 1, std::string(1, '\0'));
  write("D2230E013-28_28GHz.csv", with_nul);
  LogCapture logs({"CaliTbl"});
  auto m = make(27);
  const RetType r = m.parse(28);
  ASSERT_EQ(r, RetType()) << logs.dump();
  const fs::path path = dir_ / "D2230E013-28_28GHz.csv";
  EXPECT_EQ(m.path_cali(), path.string());

  const Value expected = parse_json(R"({
    "VER": "3.0.0", "REALVER": "3.0.1", "SN": "D2230E013-28", "FCENTER": "28",
    "DR": {"RX": [-5.0, 10.5], "TX": [-10.0, -5.0]},
    "BOARD_1": {
      "TX": {"OFFSET_CHIP_1": {"CHANNEL_1": 1, "CHANNEL_2": 2},
             "COMDR": [-6.5, 10.0], "ELEDR": [7.5], "TEMPADC": "2048", "TC": ["t1", "t2"],
             "COMSTEPDR": {"COM_3": ["-6.0", "2.5"]},
             "DATA_CHIP_1": {"COM_3": {"2_35_45": [7, 8, 9.5, 10.0], "1_0_0": [1, 2, 1.0, 2.0],
                                       "1_-12_355": [1, 2, 1.0, 2.0]}}},
      "RX": {"OFFSET_CHIP_1": {"CHANNEL_1": -1, "CHANNEL_2": -2},
             "TEMPADC": "2048", "TC": ["r1", "r2"]}},
    "BOARD_2": {
      "TX": {"OFFSET_CHIP_1": {"CHANNEL_1": 3, "CHANNEL_2": 4}},
      "RX": {"OFFSET_CHIP_1": {"CHANNEL_1": -3, "CHANNEL_2": -4}, "COMDR": [-4.0, 8.0],
             "DATA_CHIP_1": {"COM_1": {"1_-80_5": [5, 6, 7.0, 8.0]}}}}
  })");
  // Same content, same key order, same number kinds.
  EXPECT_EQ(arvcore::value::dump_json(m.CaliTable(), 1), arvcore::value::dump_json(expected, 1));

  EXPECT_EQ(logs.count(Level::info, "Cali file path: " + path.string()), 1);
  EXPECT_EQ(logs.count(Level::debug, "SN: D2230E013-28"), 1);
  EXPECT_EQ(logs.count(Level::debug, "RXmode DR: {-5.000000~10.500000}"), 1);
  EXPECT_EQ(logs.count(Level::debug, "TXmode DR: {-10.000000~-5.000000}"), 1);
  EXPECT_EQ(logs.count(Level::info, path.string() + " parsing done"), 1);
  EXPECT_EQ(m.queryCaliTableVer().RetData, "3.0.0");

  // A later parse starts from an empty table.
  write("D2230E013-28_28GHz.csv", header() + "END\n");
  EXPECT_TRUE(m.parse(28).ok());
  EXPECT_FALSE(m.CaliTable().contains("BOARD_1"));
}

TEST_F(CaliFiles, ParseResults) {
  struct Case {
    std::string name, content, msg;
    RetCode code;
    std::string logged;  // an error line expected besides the result message
  };
  const std::string broken = "cali file is broken";
  const std::string exc = "parse exception";
  const auto P = RetCode::ERROR_BF_CALI_PARSE;
  const std::vector<Case> cases = {
      {"no END", header() + kBody, broken, P, ""},
      {"END in the middle", header() + "END\n" + kBody, "", RetCode::OK, ""},
      {"version 10.0.0", header("10.0.0") + kBody + "END\n", "", RetCode::OK, ""},
      {"version 2.0", header("2.0") + kBody + "END\n", "", RetCode::OK, ""},
      {"version 1.9.9", header("1.9.9") + kBody + "END\n", broken, P, "please upgrade it."},
      {"version 1.10", header("1.10") + kBody + "END\n", broken, P, "please upgrade it."},
      {"wrong SN", header("3.0.0", "D2230E013-29") + kBody + "END\n", broken, P, "Wrong SN!"},
      {"fcenter 28.0", header("3.0.0", kSn, "28.0") + kBody + "END\n", "", RetCode::OK, ""},
      {"fcenter 28.5", header("3.0.0", kSn, "28.5") + kBody + "END\n", broken, P, "Wrong Freq"},
      {"fcenter text", header("3.0.0", kSn, "x") + kBody + "END\n", exc, P, ""},
      {"header check after END", header("1.0") + "END\n" + kBody, "",
       RetCode::ERROR_BF_CALI_INCOMPLTE, "please upgrade it."},
      {"no SN at check", "VER,3.0.0\nFCENTER,28\n" + kBody + "END\n", exc, P, ""},
      {"short DR", "DR,1,2,3\nEND\n", exc, P, ""},
      {"second SN", header() + "SN,X\nEND\n", exc, P,
       "__updateDict exception with key:SN, value:X"},
      {"second COMDR", header() + kBody + "COMDR,TX,x,1,y,1,2\nEND\n", exc, P,
       "__updateDict exception with key:COMDR, value:[1.0, 2.0]"},
      {"TEMPADC of unknown board", header() + kBody + "TEMPADC,x,9,y,1\nEND\n", exc, P, ""},
      {"DATA of unknown board",
       header() + kBody + data_row("TX", 9, 1, 1, "1", "0", 1, 1, 1, "1", "1") + "END\n", exc, P,
       ""},
      {"DATA bad phase",
       header() + kBody + data_row("TX", 1, 1, 1, "1", "4.5", 1, 1, 1, "1", "1") + "END\n", exc, P,
       ""},
      {"COMDR bad number", header() + "COMDR,TX,x,1,y,a\nEND\n", exc, P, ""},
      {"short OFFSET", header() + "OFFSET_TX,1,2\nEND\n", exc, P, ""},
      {"empty lines and other rows", "\n" + header() + "\nFOO,1\n" + kBody + "END\n", "",
       RetCode::OK, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("D2230E013-28_28GHz.csv", c.content);
    LogCapture logs({"CaliTbl"});
    auto m = make();
    const RetType r = m.parse(28);
    EXPECT_EQ(r.RetCode, c.code);
    if (c.code != RetCode::ERROR_BF_CALI_INCOMPLTE) {
      EXPECT_EQ(r.RetMsg, c.msg);
    }
    if (!c.msg.empty()) {
      EXPECT_EQ(logs.count(Level::error, c.msg), 1) << logs.dump();
    }
    if (!c.logged.empty()) {
      EXPECT_TRUE(logs.contains(Level::error, c.logged)) << logs.dump();
    }
  }
}

TEST_F(CaliFiles, FailedParseKeepsRowsReadSoFar) {
  write("D2230E013-28_28GHz.csv", header() + kBody + "TC,x,9,y,1,2,3,4\nSN,late\nEND\n");
  auto m = make();
  EXPECT_EQ(m.parse(28).RetMsg, "parse exception");
  EXPECT_EQ(m.CaliTable()["BOARD_2"]["RX"]["COMDR"], parse_json("[-4.0, 8.0]"));

  // Without END, the rows are all there but the file counts as broken.
  write("D2230E013-28_28GHz.csv", header() + kBody);
  EXPECT_EQ(m.parse(28).RetMsg, "cali file is broken");
  EXPECT_EQ(m.CaliTable()["BOARD_1"]["TX"]["DATA_CHIP_1"]["COM_3"].size(), 3u);

  // A file that is not UTF-8 is a parse exception too.
  write("D2230E013-28_28GHz.csv", header() + "FOO,\xff\xfe\nEND\n");
  EXPECT_EQ(m.parse(28).RetMsg, "parse exception");
}

TEST_F(CaliFiles, ParseFromStream) {
  auto m = make(27);
  std::istringstream in(kGood);
  // The header check compares with the manager's frequency, which the stream does not change.
  EXPECT_EQ(m.parse(28, &in).RetMsg, "cali file is broken");
  std::istringstream in2(header("3.0.0", kSn, "27") + kBody + "END\n");
  LogCapture logs({"CaliTbl"});
  EXPECT_TRUE(m.parse(99, &in2, true).ok()) << logs.dump();
  EXPECT_EQ(m.path_cali(), "");
  EXPECT_EQ(m.CaliTable()["FCENTER"], "27");
  EXPECT_TRUE(logs.contains(Level::warning, "JSON export skipped")) << logs.dump();
  EXPECT_TRUE(fs::is_empty(dir_));

  // A manager without data directory and a web-mode manager parse streams too.
  CalibrationTableManager bare(
      kSn, 28, [] { return layout(2, 1, 2); }, false, false, false);
  std::istringstream in3(kGood);
  EXPECT_TRUE(bare.parse(28, &in3).ok());
  CalibrationTableManager web(
      kSn, 28, [] { return layout(2, 1, 2); }, false, true);
  std::istringstream in4(kGood);
  EXPECT_TRUE(web.parse(0, &in4).ok());
  EXPECT_EQ(web.CaliTable()["SN"], kSn);
}

TEST_F(CaliFiles, JsonExportAndImport) {
  const fs::path csvdir = dir_ / "csvdir";
  fs::create_directories(csvdir);
  setenv("ARVCORE_FILES_DIR", csvdir.c_str(), 1);
  std::ofstream(csvdir / "D2230E013-28_28GHz.csv") << kGood;

  auto m = make();
  // No JSON export yet: the import finds nothing and lists no frequencies.
  EXPECT_EQ(m.parseRawJson(), RetType(RetCode::ERROR_BF_CALI_PARSE, "cali file error"));
  EXPECT_TRUE(m.freq_list().empty());

  EXPECT_TRUE(m.parse(28, nullptr, true).ok());
  const fs::path json = csvdir / "D2230E013-28_28GHz.json";
  ASSERT_TRUE(fs::exists(json));
  EXPECT_EQ(arvcore::value::read_text_file(json), arvcore::value::dump_json(m.CaliTable(), 4));
  // Only the export itself appeared (no temporary files left behind).
  EXPECT_EQ(std::distance(fs::directory_iterator(csvdir), fs::directory_iterator()), 2);

  auto fresh = make();
  testing::internal::CaptureStdout();
  EXPECT_EQ(fresh.parseRawJson(), RetType());
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fresh.CaliTable(), m.CaliTable());
  EXPECT_EQ(fresh.CaliTable()["FCENTER"], "28");
  EXPECT_EQ(fresh.freq_list(), parse_json("[28.0]"));
  EXPECT_EQ(printed, arvcore::value::repr(m.CaliTable()) + "\n");

  // A broken table is not exported: the good export stays.
  std::ofstream(csvdir / "D2230E013-28_28GHz.csv") << header();
  EXPECT_EQ(m.parse(28, nullptr, true).RetMsg, "cali file is broken");
  EXPECT_TRUE(arvcore::value::read_json_file(json).contains("BOARD_1"));

  // Invalid JSON reaches the caller and leaves the table as it was.
  std::ofstream(json) << "{";
  EXPECT_THROW(fresh.parseRawJson(), arvcore::ValueError);
  EXPECT_EQ(fresh.CaliTable()["SN"], kSn);
}

TEST_F(CaliFiles, ParseAfterNoFileAndQueryVersionWithoutTable) {
  auto m = make();
  LogCapture logs({"CaliTbl"});
  const RetType r = m.parse(28);
  EXPECT_EQ(r, RetType(RetCode::ERROR_BF_CALI_PATH, "Can not find file for Cali table"));
  EXPECT_EQ(logs.count(Level::info, "Cali file path: False"), 1) << logs.dump();
  EXPECT_EQ(logs.count(Level::error, "Can not find file for Cali table"), 1);
  EXPECT_EQ(m.queryCaliTableVer(),
            RetType(RetCode::ERROR_BF_CALI_INCOMPLTE, "Can not found any calibration table"));
}

// A failed parse writes the error records the host's own parse writes, no more: hosts count
// and alert on them. Where it failed goes with the failure's trace, or at info level when the
// failure has none.
TEST_F(CaliFiles, OneErrorRecordPerFailure) {
  const std::string to_data = header() + kBody.substr(0, kBody.find("DATA"));  // 13 lines
  const std::string bad_number = data_row("TX", 1, 1, 1, "1", "0", 1, 1, 1, "x", "1");
  struct Case {
    std::string name;
    std::string content;  // no file when empty
    Value freq;
    std::vector<std::string> errors;  // a part of each error record's message, in order
    std::string place;
    bool from_stream = false;
  };
  const std::vector<Case> cases = {
      {"no file",
       "",
       28,
       {"Can not find file for Cali table"},
       "No calibration file D2230E013-28_28GHz.csv in "},
      {"frequency 0",
       kGood,
       0,
       {"Can not find file for Cali table"},
       "Frequency 0 GHz is not a finite positive number"},
      {"no END", header() + kBody, 28, {"cali file is broken"}, "no END row after line 18"},
      {"wrong SN",
       header("3.0.0", "X") + kBody + "END\n",
       28,
       {"Wrong SN!", "cali file is broken"},
       "_28GHz.csv: line 3: Wrong SN! The table's SN is 'X'"},
      {"bad number",
       to_data + bad_number + "END\n",
       28,
       {"parse exception"},
       "_28GHz.csv: line 14: DATA row: MEAS gain 'x' is not a number"},
      {"second SN",
       header() + "SN,X\nEND\n",
       28,
       {"__updateDict exception with key:SN", "parse exception"},
       "line 6: SN row: a second row for a place the table already holds"},
      {"not UTF-8", to_data + "FOO,\xff\nEND\n", 28, {"parse exception"}, "_28GHz.csv: line 14"},
      {"bad number in a stream",
       to_data + bad_number + "END\n",
       28,
       {"parse exception"},
       "the given stream: line 14: DATA row: MEAS gain 'x' is not a number",
       true},
  };
  const std::set<std::string> loggers = {"CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "D2230E013-28_28GHz.csv");
    if (!c.content.empty() && !c.from_stream) {
      write("D2230E013-28_28GHz.csv", c.content);
    }
    auto m = make();
    LogCapture logs(loggers);
    std::istringstream in(c.content);
    EXPECT_FALSE(m.parse(c.freq, c.from_stream ? &in : nullptr).ok());
    std::map<std::pair<std::string, Level>, int> count;
    std::vector<const arvcore::testing::LogRecord*> errors;
    for (const auto& r : logs.records) {
      ++count[{r.logger, r.level}];
      if (r.level == Level::error) {
        errors.push_back(&r);
      }
    }
    const std::map<std::pair<std::string, Level>, int> errors_only = {
        {{"CaliTbl", Level::error}, static_cast<int>(c.errors.size())}};
    std::erase_if(count, [](const auto& n) { return n.first.second < Level::warning; });
    EXPECT_EQ(count, errors_only) << logs.dump();
    for (std::size_t i = 0; i < std::min(errors.size(), c.errors.size()); ++i) {
      EXPECT_NE(errors[i]->message.find(c.errors[i]), std::string::npos) << logs.dump();
    }
    // The place: in the trace of the failure's record when it has one, else at info level.
    if (!errors.empty() && !errors.back()->exc.empty()) {
      const std::string& exc = errors.back()->exc;
      EXPECT_NE(exc.find(c.place), std::string::npos) << exc;
      EXPECT_LT(exc.find('\n'), exc.find(c.place)) << "a note after the failure's own line";
    } else {
      EXPECT_TRUE(logs.contains(Level::info, c.place)) << logs.dump();
    }
  }
}

}  // namespace

namespace {

// DATA cells take a short path for plain decimals; every spelling the host's int() and
// float() accept must come out the same, bit for bit.
TEST_F(CaliFiles, DataCellsConvertLikeTheHost) {
  std::mt19937_64 rng(7);
  std::vector<std::string> floats = {"0.1",
                                     "-0.0",
                                     "1e1",
                                     " 2.5 ",
                                     "1_0.5",
                                     "+3",
                                     ".5",
                                     "5.",
                                     "-.25",
                                     "123456789012345678.9",
                                     "0.30000000000000004",
                                     "9007199254740993",
                                     "1E-7",
                                     "inf"};
  for (int i = 0; i < 300; ++i) {
    const int digits = static_cast<int>(rng() % 15) + 1;
    std::string s = (rng() % 2) ? "-" : "";
    for (int d = 0; d < digits; ++d) {
      s += static_cast<char>('0' + rng() % 10);
    }
    s.insert(s.size() - static_cast<std::size_t>(rng() % static_cast<unsigned>(digits)), ".");
    floats.push_back(s);
  }
  const std::vector<std::string> ints = {
      "7", "-7", "+7", " 8", "0_1", "007", "-0", "123456789012345678", "9223372036854775807"};
  std::string csv = header() + kBody;
  for (std::size_t i = 0; i < floats.size(); ++i) {
    csv += data_row("TX", 1, 1, 1, "1", std::to_string(i), 3, 1, 2, floats[i], floats[i]);
  }
  for (std::size_t i = 0; i < ints.size(); ++i) {
    csv += data_row("TX", 1, 1, 2, "1", std::to_string(i), 3, 0, 0, "0", "0");
    const auto at = csv.rfind(",s,0,0,");
    csv.replace(at, 7, ",s," + ints[i] + "," + ints[i] + ",");
  }
  // Gain and phase spellings, and the keys they give.
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"1e-1", "7_1_0"},
      {" -0.05", "7_0_0"},
      {"2_5", "7_250_0"},
      {"-1.25", "7_-12_0"},
      {"-0.0", "7_0_0"},
      {"-7.5", "7_-75_0"},
      {"+2.5", "7_25_0"},
      {"2.55", "7_25_0"},
      {"-0.35", "7_-3_0"},
      {"0.7", "7_7_0"},
      {"-3", "7_-30_0"},
      {"99999999.9", "7_999999999_0"},
      {"-0.1", "7_-1_0"},
      {"100000000.5", "7_1000000005_0"},
      // A gain beyond any integer type keeps every digit of its float.
      {"1e300",
       "7_10000000000000000525047602552044202487044685811081591549158541155118024579889081957863"
       "713750804478640437044438328838781769425232353604305756447921847867069828483872009265758"
       "037378302337947880900593689532349707999450811190389676408800746527427801424945792587888"
       "200568428381156694721963868654594005401600_0"}};
  for (const auto& [gain, key] : keys) {
    csv += data_row("TX", 1, 1, 7, gain, "0", 3, 1, 1, "1", "1");
  }
  // Phases go into keys as int() prints them.
  const std::vector<std::pair<std::string, std::string>> phases = {
      {"+045", "8_10_45"}, {"-5", "8_10_-5"},    {"-0", "8_10_0"},
      {"1_0", "8_10_10"},  {"-012", "8_10_-12"}, {"0", "8_10_0"}};
  for (const auto& [phase, key] : phases) {
    csv += data_row("TX", 1, 1, 8, "1", phase, 3, 1, 1, "1", "1");
  }
  write("D2230E013-28_28GHz.csv", csv + "END\n");
  auto m = make();
  ASSERT_TRUE(m.parse(28).ok());
  const Value& com = m.CaliTable()["BOARD_1"]["TX"]["DATA_CHIP_1"]["COM_3"];
  for (std::size_t i = 0; i < floats.size(); ++i) {
    SCOPED_TRACE(floats[i]);
    const double want = arvcore::value::parse_float(floats[i]);
    for (const std::size_t cell : {2, 3}) {  // the measured gain, and the phase closing the line
      const double got = com.at(fmt::format("1_10_{}", i))[cell].get<double>();
      EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << got << " vs " << want;
    }
  }
  for (std::size_t i = 0; i < ints.size(); ++i) {
    SCOPED_TRACE(ints[i]);
    EXPECT_EQ(com.at(fmt::format("2_10_{}", i))[0], arvcore::value::parse_int(ints[i]));
  }
  for (const auto& [gain, key] : keys) {
    EXPECT_TRUE(com.contains(key)) << gain;
  }
  for (const auto& [phase, key] : phases) {
    EXPECT_TRUE(com.contains(key)) << phase;
  }

  // Text neither accepts is a parse exception, whichever path meets it.
  for (const std::string bad : {"1.2.3", "-", "", "0x10", "1e", "nan1"}) {
    write("D2230E013-28_28GHz.csv",
          header() + kBody + data_row("TX", 1, 1, 1, "1", "0", 3, 1, 1, bad, "1") + "END\n");
    EXPECT_EQ(m.parse(28).RetMsg, "parse exception") << bad;
  }
}

// Step maps are sized ahead once the table is regular; irregular tables still come out
// complete and in order.
TEST_F(CaliFiles, IrregularStepSizes) {
  std::string csv = header() + kBody;
  // Small steps, then large ones: one of a known size, one that outgrows it, one that falls
  // short of it.
  const std::vector<int> sizes = {5, 5, 1, 7, 7, 7, 2, 9, 600, 600, 600, 900, 900, 300};
  std::vector<std::vector<std::string>> expected;
  for (int step = 0; step < static_cast<int>(sizes.size()); ++step) {
    std::vector<std::string> keys;
    for (int k = 0; k < sizes[step]; ++k) {
      csv += data_row("RX", 2, 1, 1, "1", std::to_string(k * 5), 10 + step, k, 0, "0", "0");
      keys.push_back(fmt::format("1_10_{}={}", k * 5, k));
    }
    expected.push_back(keys);
  }
  write("D2230E013-28_28GHz.csv", csv + "END\n");
  auto m = make();
  ASSERT_TRUE(m.parse(28).ok());
  const Value& chip = m.CaliTable()["BOARD_2"]["RX"]["DATA_CHIP_1"];
  for (int step = 0; step < static_cast<int>(sizes.size()); ++step) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : chip.at(fmt::format("COM_{}", 10 + step)).items()) {
      keys.push_back(fmt::format("{}={}", k, v.at(0).get<std::int64_t>()));
    }
    EXPECT_EQ(keys, expected[static_cast<std::size_t>(step)]) << step;
  }
}

}  // namespace

namespace {

// The channel keys and entries of one step map, in order.
std::vector<std::string> step_items(const Value& step) {
  std::vector<std::string> items;
  for (const auto& [k, v] : step.items()) {
    items.push_back(k + "=" + arvcore::value::dump_json(v, -1));
  }
  return items;
}

// Each unit of a table as "path=json", in order.
std::vector<std::string> unit_rows(const std::vector<arvcore::tabledb::Unit>& units) {
  std::vector<std::string> rows;
  for (const auto& u : units) {
    rows.push_back(u.path + "=" + u.json);
  }
  return rows;
}

}  // namespace

// DATA rows between other rows, steps and chips visited again, keys repeated, coming in
// falling order or far apart: the table keeps every place and order a row-by-row build gives,
// also after a parse that failed part way, and the queries and the store's import find the
// same entries.
TEST_F(CaliFiles, DataRowsKeepTheirPlaces) {
  const std::string mixed = "OFFSET_TX,1,2,3,4\nOFFSET_RX,-1,-2,-3,-4\nCOMDR,TX,x,1,y,-6.5,10.0\n" +
                            data_row("TX", 1, 2, 1, "1", "0", 1, 1, 1, "1", "1") +
                            data_row("TX", 1, 1, 1, "1", "0", 2, 2, 2, "2", "2") +
                            "TEMPADC,x,1,y,7\n" +
                            data_row("TX", 1, 2, 1, "1", "0", 3, 3, 3, "3", "3") +
                            "COMSTEPDR,TX,x,1,y,z,3,w,-6.0,v,2.5\n" +
                            data_row("TX", 1, 2, 2, "1", "0", 1, 4, 4, "4", "4") +
                            data_row("TX", 1, 2, 1, "1", "0", 1, 5, 5, "5.5", "5");
  const std::string mode_map =
      R"({"OFFSET_CHIP_1": {"CHANNEL_1": 1, "CHANNEL_2": 2}, "COMDR": [-6.5, 10.0], )"
      R"("DATA_CHIP_2": {"COM_1": {"1_10_0": [5, 5, 5.5, 5.0], "2_10_0": [4, 4, 4.0, 4.0]}, )"
      R"("COM_3": {"1_10_0": [3, 3, 3.0, 3.0]}}, "DATA_CHIP_1": {"COM_2": {"1_10_0": )"
      R"([2, 2, 2.0, 2.0]}}, "TEMPADC": "7", "COMSTEPDR": {"COM_3": ["-6.0", "2.5"]}})";
  // Keys rising in one step, falling in the next, far apart and repeated in a third.
  std::string far;
  std::vector<std::string> rising, falling, sparse;
  for (int k = 0; k < 120; ++k) {
    far += data_row("RX", 1, 1, 1, "1", std::to_string(k), 1, k, 0, "0", "0");
    rising.push_back(fmt::format("1_10_{}=[{}, 0, 0.0, 0.0]", k, k));
  }
  for (int k = 0; k < 120; ++k) {
    far += data_row("RX", 1, 1, 1, "1", std::to_string(119 - k), 2, k, 0, "0", "0");
    falling.push_back(fmt::format("1_10_{}=[{}, 0, 0.0, 0.0]", 119 - k, k));
  }
  for (int round = 0; round < 2; ++round) {
    for (const int k : {119, 79, 39, 0}) {
      far += data_row("RX", 1, 1, 1, "1", std::to_string(k), 3, round, k, "0", "0");
      if (round == 0) {
        sparse.push_back(fmt::format("1_10_{}=[1, {}, 0.0, 0.0]", k, k));
      }
    }
  }
  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken);
    const std::string bad = broken ? data_row("TX", 1, 1, 1, "x", "0", 1, 1, 1, "1", "1") : "";
    write("D2230E013-28_28GHz.csv", header() + mixed + far + bad + "COMDR,RX,x,2,y,1\nEND\n");
    auto m = make();
    EXPECT_EQ(m.parse(28, nullptr, /*exportToJson=*/true).RetMsg, broken ? "parse exception" : "");
    if (!broken) {  // written from the arrays, as the whole tree would be
      EXPECT_EQ(arvcore::value::read_text_file(dir_ / "D2230E013-28_28GHz.json"),
                arvcore::value::dump_json(m.CaliTable(), 4));
    }
    const Value& board = m.CaliTable()["BOARD_1"];
    EXPECT_EQ(arvcore::value::dump_json(board["TX"], -1), mode_map);
    const Value& chip = board["RX"]["DATA_CHIP_1"];
    EXPECT_EQ(step_items(chip["COM_1"]), rising);
    EXPECT_EQ(step_items(chip["COM_2"]), falling);
    EXPECT_EQ(step_items(chip["COM_3"]), sparse);
    EXPECT_EQ(m.CaliTable()["BOARD_2"]["RX"].contains("COMDR"), !broken);
    // One part of the table, built alone, is that part of the whole.
    auto pieces = make();
    pieces.parse(28);
    // The store's units and the layout, read from the header tree and the arrays before any
    // whole tree is built, are those of the whole tree.
    EXPECT_EQ(unit_rows(arvcore::vlndev::table_units(pieces)),
              unit_rows(arvcore::tabledb::split_table(m.CaliTable())));
    EXPECT_EQ(arvcore::vlndev::table_layout(pieces.caliTableHeader(), pieces.caliData()),
              arvcore::vlndev::table_layout(m.CaliTable()));
    const std::vector<std::vector<std::string>> paths = {
        {},
        {"BOARD_1"},
        {"BOARD_1", "TX"},
        {"BOARD_1", "TX", "DATA_CHIP_2"},
        {"BOARD_1", "TX", "DATA_CHIP_2", "COM_1"},
        {"BOARD_1", "TX", "DATA_CHIP_2", "COM_1", "2_10_0"},
        {"BOARD_1", "TX", "COMSTEPDR", "COM_3"},
        {"BOARD_1", "RX", "DATA_CHIP_1", "COM_3", "1_10_0", "0"},
        {"BOARD_1", "TX", "DATA_CHIP_3"},
        {"BOARD_1", "TX", "DATA_CHIP_2", "COM_2"},
        {"BOARD_1", "TX", "DATA_CHIP_2", "COM_1", "1_10_5"}};
    for (const auto& path : paths) {
      std::string want;
      const Value* at = &m.CaliTable();
      for (const auto& key : path) {
        if (want.empty() && at->contains(key) && at->is_object()) {
          at = &(*at)[key];
        } else if (want.empty()) {
          want = "KeyError " + key;
        }
      }
      std::string got;
      try {
        got = arvcore::value::dump_json(pieces.caliTableEntry(path), -1);
      } catch (const arvcore::KeyError& e) {
        got = std::string("KeyError ") + e.what();
      }
      EXPECT_EQ(got, want.empty() ? arvcore::value::dump_json(*at, -1) : want) << path.size();
    }
    EXPECT_EQ(m._getComData("RX", 1, 1, parse_json("[1]"), parse_json("[[1]]"),
                            parse_json("[[39]]"), parse_json(R"([["COM_3", "COM_2"]])")),
              parse_json(R"([{"COM_3": [[1, 39, 0.0, 0.0]], "COM_2": [[80, 0, 0.0, 0.0]]}])"));
  }
}

namespace {

using arvcore::vlndev::detail::CaliLaterRows;

// What a parse gives: its answer, its log records and the whole table.
std::string parse_outcome() {
  LogCapture logs({"CaliTbl"});
  CalibrationTableManager m(kSn, 28, [] { return layout(2, 1, 2); });
  const RetType r = m.parse(28);
  std::string out = fmt::format("{} {}\n", static_cast<int>(r.RetCode), r.RetMsg);
  for (const auto& rec : logs.records) {
    out += fmt::format("{} {} {}\n", static_cast<int>(rec.level), rec.message, rec.exc);
  }
  return out + arvcore::value::dump_json(m.CaliTable(), -1);
}

// The DATA rows of a regular table, step by step.
std::vector<std::string> regular_rows() {
  std::vector<std::string> rows;
  for (const char* mode : {"TX", "RX"}) {
    for (int board = 1; board <= 2; ++board) {
      for (int com = 1; com <= 4; ++com) {
        for (int gain = 0; gain < 20; ++gain) {
          for (int phase = 0; phase < 360; phase += 15) {
            for (int ch = 1; ch <= 3; ++ch) {
              rows.push_back(data_row(mode, board, 1, ch, fmt::format("{}", gain * 0.5),
                                      std::to_string(phase), com, gain, phase, "0.5",
                                      std::to_string(-phase)));
            }
          }
        }
      }
    }
  }
  return rows;
}

}  // namespace

// A large file's later half is read beside the earlier one: whatever its rows hold, the
// parse answers, logs and keeps what it does when it reads every row in turn.
TEST_F(CaliFiles, SplitParseMatchesOneGo) {
  const std::vector<std::string> rows = regular_rows();
  const std::size_t n = rows.size();
  const std::size_t step = 1440;  // rows per step, more than fit a heap block
  auto with = [&](std::size_t at, const std::string& row, std::vector<std::string> r = {}) {
    r = r.empty() ? rows : r;
    r.insert(r.begin() + static_cast<std::ptrdiff_t>(at), row);
    return r;
  };
  auto reversed_late_steps = [&] {
    std::vector<std::string> r = rows;
    for (std::size_t s = n / 2 / step * step; s < n; s += step) {
      std::reverse(r.begin() + static_cast<std::ptrdiff_t>(s),
                   r.begin() + static_cast<std::ptrdiff_t>(s + step));
    }
    return r;
  };
  // Rows of many steps inside one quoted cell, across the middle of the file.
  std::string quoted = "NOTE,\"";
  for (std::size_t k = 0; k < n / 3; ++k) {
    quoted += data_row("TX", 1, 1, 1, "1", "0", 9 + static_cast<int>(k / 10), 1, 1, "1", "1");
  }
  quoted += "\"\n";
  auto bad_text = [&](std::size_t at) {
    std::string row = rows[at];
    return row.replace(row.find(",m,"), 3, ",\xff,");
  };
  const std::string bad_number = data_row("TX", 2, 1, 1, "1", "0", 1, 1, 1, "1", "x");
  const std::string other_row = "COMSTEPDR,TX,x,1,y,z,5,w,-6.0,v,2.5\n";
  struct Case {
    std::string name;
    std::vector<std::string> rows;
    bool end = true;
    bool split = true;  // the later half stands
    bool piece = true;  // so does a piece of the earlier half, when one is read
  };
  const std::vector<Case> cases = {
      {"whole", rows},
      {"bad number late", with(3 * n / 4, bad_number)},
      {"other row late", with(3 * n / 4, other_row)},
      {"unknown board late", with(3 * n / 4, data_row("RX", 9, 1, 1, "1", "0", 1, 1, 1, "1", "1")),
       true, false},
      {"not UTF-8 late", with(3 * n / 4, bad_text(3 * n / 4)), true, false, false},
      // A piece of the earlier half is read from the middle of it on.
      {"bad number in the piece", with(3 * n / 8, bad_number), true, false},
      {"other row in the piece", with(3 * n / 8, other_row)},
      {"not UTF-8 in the piece", with(3 * n / 8, bad_text(3 * n / 8)), true, false, false},
      // Rows that end the piece, and after them, before the later half, text that is not UTF-8.
      {"END in the piece, not UTF-8 after it",
       with(3 * n / 8, "END\n", with(15 * n / 32, bad_text(15 * n / 32))), true, false},
      {"new board in the piece, not UTF-8 after it",
       with(3 * n / 8, "COMDR,TX,x,3,y,-6.5,10.0\n", with(15 * n / 32, bad_text(15 * n / 32))),
       true, false},
      {"new step in the piece, not UTF-8 after it",
       with(3 * n / 8, other_row, with(15 * n / 32, bad_text(15 * n / 32))), true, false},
      {"not UTF-8 after the later half", with(n, other_row + "FOO,\xff\n")},
      {"no END", rows, false},
      {"quoted rows across the middle", with(2 * n / 5, quoted), true, false, false},
      {"keys in another order late", reversed_late_steps()},
      {"step again late", with(n, data_row("TX", 1, 1, 2, "0.5", "15", 1, 7, 7, "7", "7") +
                                      data_row("TX", 1, 1, 3, "0.5", "15", 1, 8, 8, "8", "8"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Without DATA rows before the regular ones, whose keys would number them otherwise.
    std::string csv = header() + kBody.substr(0, kBody.find("DATA"));
    for (const auto& r : c.rows) {
      csv += r;
    }
    write("D2230E013-28_28GHz.csv", csv + (c.end ? "END\n" : ""));
    const std::uint64_t before = CaliLaterRows::set_split_from(~std::uint64_t{0});
    const std::string one_go = parse_outcome();
    CaliLaterRows::set_split_from(0);
    // Then with the later half's thread reading a piece of the earlier half too.
    for (const bool piece : {false, true}) {
      SCOPED_TRACE(piece ? "with a piece" : "halves");
      CaliLaterRows::set_pieces(piece ? CaliLaterRows::Pieces::kAlways
                                      : CaliLaterRows::Pieces::kLarge);
      const std::uint64_t taken = CaliLaterRows::halves_taken();
      const std::uint64_t pieces = CaliLaterRows::pieces_taken();
      const std::string split = parse_outcome();
      CaliLaterRows::set_pieces(CaliLaterRows::Pieces::kLarge);
      EXPECT_EQ(CaliLaterRows::halves_taken() - taken, c.split ? 1u : 0u);
      EXPECT_EQ(CaliLaterRows::pieces_taken() - pieces, piece && c.piece ? 1u : 0u);
      EXPECT_EQ(split, one_go);
    }
    CaliLaterRows::set_split_from(before);
  }
}

// Pieces read whenever the timing allows, beside a parse that does not wait for them: it takes
// each piece, passes it, or waits for it, and the table comes out the same every time, also
// when a row ends a piece early and text that is not UTF-8 follows.
TEST_F(CaliFiles, PiecesBesideTheParseMatchOneGo) {
  std::vector<std::string> rows = regular_rows();
  const std::size_t n = rows.size();
  std::string early_end = header() + kBody.substr(0, kBody.find("DATA"));
  for (std::size_t i = 0; i < n; ++i) {
    early_end += (i == 3 * n / 8 ? "END\n" : "") + rows[i];
    if (i == 15 * n / 32) {
      early_end.insert(early_end.size() - 3, "\xff");
    }
  }
  for (const std::string& csv :
       {header() + kBody.substr(0, kBody.find("DATA")) + fmt::format("{}", fmt::join(rows, "")),
        early_end}) {
    write("D2230E013-28_28GHz.csv", csv + "END\n");
    const std::uint64_t before = CaliLaterRows::set_split_from(~std::uint64_t{0});
    const std::string one_go = parse_outcome();
    CaliLaterRows::set_split_from(0);
    const auto pieces_before = CaliLaterRows::set_pieces(CaliLaterRows::Pieces::kAnySize);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(parse_outcome(), one_go) << i;
    }
    CaliLaterRows::set_pieces(pieces_before);
    CaliLaterRows::set_split_from(before);
  }
}

// Bytes that are not UTF-8 fail the parse at their own line, however the file is cut into
// chunks and windows, and the table keeps exactly the rows before that line: what a parse of
// those rows alone keeps.
TEST_F(CaliFiles, NotUtf8FailsAtItsLine) {
  const std::string top = header() + kBody.substr(0, kBody.find("DATA"));
  const std::vector<std::string> rows = regular_rows();
  struct Case {
    std::string name;
    std::string kept;  // whole rows before the failing line
    std::string rest;  // from there on
    std::size_t line;
  };
  auto lines = [](const std::string& text, char end = '\n') {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), end));
  };
  // The rows from `from` on, and the first `count` of them, joined.
  auto rows_from = [&](std::size_t from, std::size_t count = SIZE_MAX) {
    std::string out;
    for (std::size_t i = from; i < rows.size() && i - from < count; ++i) {
      out += rows[i];
    }
    return out;
  };
  // The case whose bad byte, a lead byte not followed by its sequence, lies at byte `offset`.
  auto at_offset = [&](std::uint64_t offset) {
    std::string kept = top;
    std::size_t i = 0;
    for (; kept.size() + rows[i].size() <= offset; ++i) {
      kept += rows[i];
    }
    std::string bad = rows[i];
    bad[std::min<std::size_t>(offset - kept.size(), bad.size() - 2)] = '\xe2';
    return Case{fmt::format("at byte {}", offset), kept, bad + rows_from(i + 1), lines(kept) + 1};
  };
  auto cr = [](std::string text) {
    std::replace(text.begin(), text.end(), '\n', '\r');
    return text;
  };
  const std::string half = top + rows_from(0, 5000);
  const std::vector<Case> cases = {
      {"first line", "", "VER,3.0\xff.0\n" + half, 1},
      {"past the first window", half, "DATA,\xff" + rows_from(5000), lines(half) + 1},
      {"at its line's start after CR line ends", cr(half), cr("\xff" + rows_from(5000)),
       lines(half) + 1},
      {"on a later line of a quoted row", half, "DATA,TX,\"m\n\xff\",b\n" + rows_from(5000),
       lines(half) + 2},
      {"a sequence cut by the end", half + rows_from(5000), "FOO,\xe2\x82",
       lines(half + rows_from(5000)) + 1},
      at_offset((std::size_t{256} << 10) - 1),
      at_offset((std::size_t{512} << 10) - 1),
      at_offset(std::size_t{512} << 10),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream kept(c.kept);
    auto reference = make();
    reference.parse(28, &kept);
    write("D2230E013-28_28GHz.csv", c.kept + c.rest);
    for (const bool from_stream : {false, true}) {
      SCOPED_TRACE(from_stream ? "stream" : "file");
      LogCapture logs({"CaliTbl"});
      auto m = make();
      std::istringstream in(c.kept + c.rest);
      EXPECT_EQ(m.parse(28, from_stream ? &in : nullptr).RetMsg, "parse exception");
      ASSERT_FALSE(logs.records.empty());
      const std::string& exc = logs.records.back().exc;
      EXPECT_TRUE(exc.starts_with("UnicodeError: 'utf-8' codec")) << exc;
      EXPECT_TRUE(exc.ends_with(fmt::format(": line {}", c.line))) << exc;
      EXPECT_EQ(m.CaliTable(), reference.CaliTable());
    }
  }
}

// A step packs any entry it is given into 16 bytes, or keeps it whole, and gives back the very
// numbers it was given.
TEST(CaliNumbers, PackedEntriesGiveBackTheirNumbers) {
  namespace detail = arvcore::vlndev::detail;
  std::vector<double> floats = {0.0,
                                -0.0,
                                0.1,
                                -0.2590,
                                4.655,
                                1e-9,
                                123456.78,
                                1.5e8,
                                1e300,
                                5e-324,
                                0.1 + 0.2,
                                9.999999,
                                13421772.7,
                                134217727,
                                134217728,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 random(11);
  for (int i = 0; i < 2000; ++i) {
    // Decimals as tables write them, some too long to pack, and any bits at all.
    const auto digits = static_cast<double>(random() % 2000000000) - 1e9;
    floats.push_back(digits / detail::kPow10[random() % 12]);
    floats.push_back(std::bit_cast<double>(random()));
  }
  const std::vector<std::int64_t> ints = {0,
                                          -1,
                                          255,
                                          INT32_MAX,
                                          INT32_MIN,
                                          std::int64_t{INT32_MAX} + 1,
                                          std::int64_t{INT32_MIN} - 1,
                                          INT64_MIN,
                                          INT64_MAX};
  detail::CaliData::Step step;
  std::vector<detail::ComDataNumbers> given;
  for (std::size_t i = 0; i < floats.size(); ++i) {
    given.push_back({ints[i % ints.size()], ints[(i / 3) % ints.size()], floats[i],
                     floats[floats.size() - 1 - i]});
    step.packed.push_back(step.pack(given.back()));
  }
  const auto bits = [](const detail::ComDataNumbers& n) {
    return fmt::format("{} {} {:x} {:x}", n.reg0, n.reg1, std::bit_cast<std::uint64_t>(n.gain),
                       std::bit_cast<std::uint64_t>(n.phase));
  };
  for (std::size_t i = 0; i < given.size(); ++i) {
    ASSERT_EQ(bits(step.at(i)), bits(given[i])) << i;
  }
  // Short decimals, nearly every entry of a real table, take no more room than their 16 bytes.
  detail::CaliData::Step short_ones;
  for (int i = 0; i < 2000; ++i) {
    const auto digits = static_cast<double>(random() % 99999999);
    short_ones.pack({static_cast<std::int64_t>(random() % 256), 0,
                     (i % 2 == 0 ? -digits : digits) / detail::kPow10[random() % 8], -0.0});
  }
  EXPECT_TRUE(short_ones.wide.empty());
  EXPECT_EQ(short_ones.pack({41, 120, -0.2590, 4.655}).gain,
            detail::PackedEntry::pack_float(true, 259, 3));
}

namespace {

// The numbers of a DATA line's entry as its cells give them one by one, or the failure.
template <class Read>
std::string numbers_outcome(Read read) {
  try {
    const arvcore::vlndev::detail::ComDataNumbers n = read();
    return fmt::format("{} {} {:x} {:x}", n.reg0, n.reg1, std::bit_cast<std::uint64_t>(n.gain),
                       std::bit_cast<std::uint64_t>(n.phase));
  } catch (const std::exception& e) {
    return fmt::format("{}: {}", typeid(e).name(), e.what());
  }
}

}  // namespace

// The four numbers of a DATA line are read at once where the processor allows: whatever the
// cells hold, they come out as the cells read one by one give them, failures included.
TEST(CaliNumbers, FourAtOnceAsOneByOne) {
  namespace detail = arvcore::vlndev::detail;
  const std::vector<std::string> texts = {
      "0",         "-0",        "7",          "-7",        "41",       "127",       "12345678",
      "-12345678", "123456789", "-",          "",          ".",        "-.",        "0.5",
      "-0.2590",   "4.655",     "-5.461",     "1.",        ".5",       "-.5",       "1.2.3",
      "12345.67",  "1234567.8", "-1234567.8", "0.0000000", "1e3",      "+5",        " 5",
      "5 ",        "1_0",       "x",          "\xC3\xA9",  "99999999", "9999999.9", "00000007",
      "-00.10",    "--1",       "-1.-",       "0x1F",      "inf",      "nan",       "9.",
  };
  std::mt19937 random(7);
  auto text = [&] {
    if (random() % 2 == 0) {
      return texts[random() % texts.size()];
    }
    static const char kChars[] = "0123456789012345678901234567890123456789..-+e_ :;<=>?/";
    std::string t = random() % 3 == 0 ? "-" : "";
    for (std::size_t n = random() % 11; n > 0; --n) {
      t += kChars[random() % (sizeof kChars - 1)];
    }
    return t;
  };
  std::vector<std::array<std::string, 4>> entries(20000);
  std::string csv;
  // Every fourth line is one of a real table, whose four cells the vector takes whole.
  const std::array<std::string, 4> real = {"41", "120", "-0.2590", "4.655"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto& e = entries[i];
    for (auto& t : e) {
      t = text();
    }
    if (i % 4 == 0) {
      e = real;
      e[static_cast<std::size_t>(random() % 4)] = std::to_string(random() % 1000);
    }
    csv += fmt::format("DATA,TX,BOARD,1,CHIP,1,CH,1,G,IDX,1,PH,0,COM,1,REG,{},{},DIFF,{},{}\n",
                       e[0], e[1], e[2], e[3]);
  }
  arvcore::value::CsvReader reader(csv);
  arvcore::value::CsvCells cells;
  arvcore::value::CsvRow row;
  std::size_t peeked = 0;
  std::size_t in_vector = 0;  // lines the vector took whole
  for (const auto& e : entries) {
    if (!reader.peek_plain(cells)) {
      ASSERT_TRUE(reader.next(row));  // near the end of the text
      continue;
    }
    ++peeked;
    const std::string one_by_one = numbers_outcome([&] {
      return detail::ComDataNumbers{detail::cell_int(cells[detail::kReg0Cell]),
                                    detail::cell_int(cells[detail::kReg1Cell]),
                                    detail::cell_float(cells[detail::kGainCell]),
                                    detail::cell_float(cells[detail::kPhaseCell])};
    });
    // As a step keeps the entry and gives it back.
    const std::string at_once = numbers_outcome([&] {
      detail::RowEntry read;
      detail::entry_numbers(cells, read);
      detail::CaliData::Step step;
      step.packed.push_back(read.is_packed ? read.packed : step.pack(read.numbers));
      return step.at(0);
    });
    ASSERT_EQ(at_once, one_by_one) << e[0] << " " << e[1] << " " << e[2] << " " << e[3];
#if defined(__x86_64__)
    detail::PackedEntry packed;
    in_vector += arvcore::value::has_avx2() && detail::entry_numbers_avx2(cells, packed) ? 1 : 0;
#endif
    reader.take(cells);
  }
  EXPECT_GT(peeked, entries.size() * 9 / 10);
#if defined(__x86_64__)
  EXPECT_TRUE(!arvcore::value::has_avx2() || in_vector > peeked / 5) << in_vector;
#endif
}
