#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "log_capture.hpp"

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::vlndev::AAKitTableManager;

namespace {

std::string zeros_row(const std::string& key, int n, const std::string& cell = "0") {
  std::string row = key;
  for (int i = 0; i < n; ++i) {
    row += "," + cell;
  }
  return row + "\r\n";
}

// A complete kit file as the module writes it.
std::string kit_text(const std::string& name, int type, int channels = 16, int devtype = 9) {
  return "AAKIT_NAME," + name + "\r\nDEV_TYPE," + std::to_string(devtype) + "\r\nTYPE," +
         std::to_string(type) + "\r\nSPACING,5.0,5.0\r\nSTEERING_H,-45.0,45.0\r\n" +
         "STEERING_V,-45.0,45.0\r\n" + zeros_row("OFFSET_TX", channels) +
         zeros_row("OFFSET_RX", channels);
}

Value zeros(int n) {
  Value v = Value::array();
  for (int i = 0; i < n; ++i) {
    v.push_back(0);
  }
  return v;
}

const Value kSpacing = Value::array({5.0, 5.0});
const Value kSteering = Value::array({-45.0, 45.0});
const std::string kSuffix = "2024031514302512+0800";

class AAKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("aakit-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "data");
    data_ = dir_ / "data";
    ::setenv("ARVCORE_FILES_DIR", data_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("ARVCORE_FILES_DIR");
    fs::remove_all(dir_);
  }

  void write(const std::string& file, const std::string& text) const {
    std::ofstream(data_ / file, std::ios::binary) << text;
  }
  std::string read(const std::string& file) const {
    return arvcore::value::read_text_file(data_ / file);
  }
  // Every file of the data directory with its content.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(data_)) {
      files[e.path().filename().string()] =
          e.is_regular_file() ? arvcore::value::read_text_file(e.path()) : "<dir>";
    }
    return files;
  }

  fs::path dir_;
  fs::path data_;
};

std::vector<std::string> names(const AAKitTableManager& m) {
  std::vector<std::string> out;
  for (const auto& [name, record] : m.AAKitTable().items()) {
    out.push_back(name);
  }
  return out;
}

}  // namespace

TEST_F(AAKitTest, ParseReadsFilesInOrderWithTheirChecks) {
  AAKitTableManager empty(9, 16, "files/", 1, {9});
  write("AAKIT.csv", kit_text("Old", 0));
  RetType r = empty.parse();
  EXPECT_EQ(r.RetCode, RetCode::ERROR_BF_NO_AAKIT);
  EXPECT_EQ(r.RetMsg, "'" + data_.string() + "' does not exist any AAKit table");

  write("AAKIT_b.csv", kit_text("Same", 0) + "SPACING,7.0,7.0\r\n");
  write("AAKIT_a.csv", kit_text("Same", 0));
  write("AAKIT_a2.csv", "\r\nAAKIT_NAME,Other\r\nUNKNOWN,1\r\nTYPE,-1\r\nSPACING, 5.0,5,7.0\r\n" +
                            zeros_row("OFFSET_TX", 16, " 5"));
  write("AAKIT_c.csv", kit_text("Mismatch", 0, 16, 7));
  write("AAKIT_d.csv", "AAKIT_NAME,Two\r\nTYPE,2\r\n");
  write("AAKIT_e.csv", "AAKIT_NAME,Short\r\nSPACING,5.0\r\n");
  write("AAKIT_f.csv", kit_text("Wide", 0, 17));
  write("AAKIT_g.csv", "AAKIT_NAME,Half\r\n" + zeros_row("OFFSET_RX", 16, "1.5"));
  write("AAKIT_h.csv", "DEV_TYPE,7\r\nAAKIT_NAME,Late\r\n");
  write("AAKIT_i.csv", kit_text("../outside", 0));
  write("AAKIT_j.csv", kit_text("a\\b", 0));

  LogCapture logs({"AAKitTbl"});
  AAKitTableManager m(9, 16, "files/", 1, {9});
  ASSERT_TRUE(m.parse().ok()) << logs.dump();
  EXPECT_EQ(names(m), (std::vector<std::string>{"Same", "Other"}));
  // The later file wins, the name keeps its first place.
  EXPECT_EQ(m.AAKitTable()["Same"]["SPACING"], Value::array({7.0, 7.0}));
  const Value& other = m.AAKitTable()["Other"];
  EXPECT_EQ(other["TYPE"], Value(-1));
  EXPECT_TRUE(other["SPACING"][0].is_number_float());
  EXPECT_EQ(other["SPACING"], Value::array({5.0, 5.0}));
  EXPECT_EQ(other["OFFSET_TX"][15], Value(5));
  EXPECT_FALSE(other.contains("DEV_TYPE"));

  const std::string d = data_.string();
  EXPECT_EQ(logs.count(Level::warning, "Skip " + d + "/AAKIT_c.csv, due to dev type(7) not match"),
            1);
  EXPECT_EQ(logs.count(Level::error, "Unknown custom type: 2"), 1);
  EXPECT_EQ(logs.count(Level::error, "OFFSET_TX: number of channel:17 not equal to 16"), 1);
  EXPECT_EQ(logs.count(Level::error, "exception"), 2);  // short SPACING, 1.5 offset
  // A file that stops before its name row is reported twice.
  EXPECT_EQ(logs.count(Level::error, "Skip " + d + "/AAKIT_h.csv due to unknown file"), 1);
  EXPECT_TRUE(logs.contains(Level::error, "Invalid AAKit name: ../outside"));
  EXPECT_TRUE(logs.contains(Level::error, "Invalid AAKit name: a\\b"));
  EXPECT_TRUE(logs.contains(Level::info, "Parsing (Other)" + d + "/AAKIT_a2.csv done"));

  // Without supported device types every file with a DEV_TYPE row is refused.
  AAKitTableManager none(9, 16);
  none.parse();
  EXPECT_EQ(names(none), (std::vector<std::string>{"Other"}));

  // Two polarizations still expect one value per channel in a file.
  AAKitTableManager dual(9, 8, "files/", 2, {9});
  fs::remove(data_ / "AAKIT_a2.csv");
  for (const char* f : {"AAKIT_a.csv", "AAKIT_b.csv"}) {
    fs::remove(data_ / f);
  }
  write("AAKIT_k.csv", kit_text("Dual", 0, 8));
  EXPECT_TRUE(dual.parse().ok());
  EXPECT_EQ(names(dual), (std::vector<std::string>{"Dual"}));

  fs::remove(data_ / "AAKIT_k.csv");
  r = dual.parse();
  EXPECT_EQ(r.RetCode, RetCode::ERROR_BF_NO_AAKIT);
  EXPECT_EQ(r.RetMsg, "No available AAKit table here");
}

TEST_F(AAKitTest, SavedKitReadsBackToTheSameRecord) {
  AAKitTableManager m(9, 4, "files/", 1, {9, 11});
  Value tx = Value::array({1, -2, 3, 40});
  const std::string name = "Round_" + kSuffix;
  // Listed in file order, so that the tables compare equal.
  ASSERT_TRUE(
      m.setAAKitInfo("Official", kSpacing, kSteering, kSteering, zeros(4), zeros(4), 0).ok());
  ASSERT_EQ(m.setAAKitInfo(name, Value::array({0.1, "2.5"}), Value::array({-60, 1e-05}), kSteering,
                           tx, Value::array({1.9, -1.9, "7", 0}), 1, nullptr, 11)
                .RetData,
            Value(name));
  ASSERT_TRUE(m.saveAAKitFile(name).ok());
  ASSERT_TRUE(m.saveAAKitFile("Official").ok());
  EXPECT_EQ(read("AAKIT_" + name + ".csv"),
            "AAKIT_NAME," + name +
                "\r\nDEV_TYPE,11\r\nTYPE,1\r\nSPACING,0.1,2.5\r\nSTEERING_H,-60.0,1e-05\r\n"
                "STEERING_V,-45.0,45.0\r\nOFFSET_TX,1,-2,3,40\r\nOFFSET_RX,1,-1,7,0\r\n");

  AAKitTableManager back(9, 4, "files/", 1, {9, 11});
  ASSERT_TRUE(back.parse().ok());
  EXPECT_EQ(back.AAKitTable(), m.AAKitTable());
  EXPECT_EQ(back.AAKitTable()[name]["OFFSET_RX"], Value::array({1, -1, 7, 0}));
  // Nothing but the two kit files was left behind.
  EXPECT_EQ(snapshot().size(), 2u);
}

TEST_F(AAKitTest, OldFormCustomKitIsRenamedDuringParse) {
  write("AAKIT_MyAAKIT.csv", kit_text("MyAAKIT", 1));
  write("AAKIT_Factory.csv", kit_text("Factory", 0));
  write("AAKIT_Fresh.csv", kit_text("Fresh_" + kSuffix, 1));
  LogCapture logs({"AAKitTbl"});
  AAKitTableManager m(9, 16, "files/", 1, {9});
  ASSERT_TRUE(m.parse().ok());
  const std::vector<std::string> listed = names(m);
  ASSERT_EQ(listed.size(), 3u) << logs.dump();
  EXPECT_EQ(listed[0], "Factory");
  EXPECT_EQ(listed[1], "Fresh_" + kSuffix);
  const std::string renamed = listed[2];
  ASSERT_EQ(renamed.size(), std::string("MyAAKIT_").size() + 21);
  EXPECT_EQ(renamed.substr(0, 8), "MyAAKIT_");
  EXPECT_TRUE(AAKitTableManager::checkAAKitTimeFormat(renamed.substr(8)));
  EXPECT_FALSE(fs::exists(data_ / "AAKIT_MyAAKIT.csv"));
  EXPECT_EQ(read("AAKIT_" + renamed + ".csv"), kit_text(renamed, 1));
  EXPECT_EQ(logs.count(Level::info, "Invalid custom AAKit name(old format): MyAAKIT"), 1);
  EXPECT_EQ(logs.count(Level::info, " -> new custom AAKit name(new format): " + renamed), 1);
  EXPECT_EQ(logs.count(Level::debug, "Valid custom AAKit name"), 1);
}

TEST_F(AAKitTest, OldFormKitThatCannotBeWrittenKeepsItsNameAndFile) {
  // No STEERING_V row: the file under the new name cannot be complete.
  const std::string partial = "AAKIT_NAME,Partial\r\nTYPE,1\r\nSPACING,5.0,5.0\r\n";
  write("AAKIT_Partial.csv", partial);
  // The file does not carry the kit's own file name, so there is nothing to replace.
  write("AAKIT_copy.csv", kit_text("Elsewhere", 1));
  const auto before = snapshot();
  LogCapture logs({"AAKitTbl"});
  AAKitTableManager m(9, 16, "files/", 1, {9});
  ASSERT_TRUE(m.parse().ok());
  EXPECT_EQ(names(m), (std::vector<std::string>{"Partial", "Elsewhere"}));
  EXPECT_EQ(snapshot(), before);
  int failures = 0;
  for (const auto& record : logs.records) {
    failures += record.exc.empty() ? 0 : 1;
  }
  EXPECT_EQ(failures, 2) << logs.dump();
}

TEST_F(AAKitTest, FailedSavesLeaveEveryFileAsItWas) {
  AAKitTableManager m(9, 16, "files/", 1, {9});
  const std::string name = "Kit_" + kSuffix;
  ASSERT_TRUE(m.setAAKitInfo(name, kSpacing, kSteering, kSteering, zeros(16), zeros(16)).ok());
  ASSERT_TRUE(m.saveAAKitFile(name).ok());
  const auto before = snapshot();

  // A record without STEERING_V.
  Value context = m.AAKitTable()[name];
  context.erase("STEERING_V");
  RetType r = m.saveAAKitFile(name, nullptr, false, context);
  EXPECT_EQ(r, RetType(RetCode::ERROR_BF_AAKIT, "exception"));
  EXPECT_EQ(snapshot(), before);

  // The data directory is a file, or is missing.
  std::ofstream(dir_ / "plain") << "x";
  ::setenv("ARVCORE_FILES_DIR", (dir_ / "plain").c_str(), 1);
  AAKitTableManager on_file(9, 16);
  ASSERT_TRUE(
      on_file.setAAKitInfo(name, kSpacing, kSteering, kSteering, zeros(16), zeros(16)).ok());
  EXPECT_EQ(on_file.saveAAKitFile(name).RetMsg, "exception");
  EXPECT_EQ(arvcore::value::read_text_file(dir_ / "plain"), "x");
  ::setenv("ARVCORE_FILES_DIR", (dir_ / "missing").c_str(), 1);
  AAKitTableManager on_missing(9, 16);
  ASSERT_TRUE(
      on_missing.setAAKitInfo(name, kSpacing, kSteering, kSteering, zeros(16), zeros(16)).ok());
  EXPECT_EQ(on_missing.saveAAKitFile(name).RetMsg, "exception");
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(AAKitTest, RenameWritesBeforeItDeletes) {
  write("AAKIT_Factory.csv", kit_text("Factory", 0));
  write("AAKIT_Mine_" + kSuffix + ".csv", kit_text("Mine_" + kSuffix, 1));
  AAKitTableManager m(9, 16, "files/", 1, {9});
  ASSERT_TRUE(m.getAAKitList().ok());
  ASSERT_TRUE(m.setAAKitInfo("Draft", kSpacing, kSteering, kSteering, zeros(16), zeros(16)).ok());
  const auto before = snapshot();
  LogCapture logs({"AAKitTbl"});

  // An official kit is refused as its deletion would be; no file changes.
  RetType r = m.setAAKitInfo("Factory", kSpacing, kSteering, kSteering, zeros(16), zeros(16), 1,
                             nullptr, nullptr, "Renamed");
  EXPECT_EQ(r, RetType(RetCode::ERROR_BF_AAKIT, "Factory must be customized AAKit for deletion"));
  EXPECT_EQ(logs.count(Level::error, "Rename file failed"), 1);
  EXPECT_EQ(snapshot(), before);
  EXPECT_TRUE(m.AAKitTable().contains("Factory"));

  // A custom kit that was never saved has no file to replace: refused, the kit stays.
  r = m.setAAKitInfo("Draft", kSpacing, kSteering, kSteering, zeros(16), zeros(16), 1, nullptr,
                     nullptr, "Renamed");
  EXPECT_EQ(r, RetType(RetCode::ERROR_BF_AAKIT, "exception"));
  EXPECT_TRUE(m.AAKitTable().contains("Draft"));
  EXPECT_EQ(snapshot(), before);

  // A saved custom kit moves to its new file.
  Value tx = zeros(16);
  tx[0] = 3;
  r = m.setAAKitInfo("Mine_" + kSuffix, kSpacing, kSteering, kSteering, tx, zeros(16), 1, nullptr,
                     nullptr, "Better");
  ASSERT_TRUE(r.ok()) << r.RetMsg;
  const std::string renamed = r.RetData.get<std::string>();
  EXPECT_EQ(renamed.substr(0, 7), "Better_");
  EXPECT_FALSE(m.AAKitTable().contains("Mine_" + kSuffix));
  EXPECT_FALSE(fs::exists(data_ / ("AAKIT_Mine_" + kSuffix + ".csv")));
  EXPECT_EQ(m.AAKitTable()[renamed]["OFFSET_TX"][0], Value(3));
  EXPECT_EQ(read("AAKIT_" + renamed + ".csv").substr(0, 11 + renamed.size() + 2),
            "AAKIT_NAME," + renamed + "\r\n");
}

TEST_F(AAKitTest, WebModeForwardsSavesAndDeletions) {
  std::vector<Value> calls;
  auto forward = [&](const Value& kwargs) {
    calls.push_back(kwargs);
    return RetType(RetCode::WARNING, "forwarded");
  };
  AAKitTableManager m(9, 4, "files/", 1, {9, 10}, true);
  EXPECT_FALSE(m.defaultDir().has_value());

  Value fetched = Value::object();
  fetched["Web_" + kSuffix] = {{"DEV_TYPE", 9}, {"TYPE", 1}};
  Value seen;
  auto fetch = [&](std::int64_t devtype, std::int64_t channels, const Value& support) {
    seen = Value::array({devtype, channels, support});
    return RetType::Data(fetched);
  };
  RetType r = m.getAAKitList(false, fetch);
  EXPECT_EQ(seen, Value::array({9, 4, Value::array({9, 10})}));
  EXPECT_EQ(r.RetData, Value::array({"Web_" + kSuffix}));
  // A failed fetch, or one without a table, leaves the table alone.
  auto failing = [](std::int64_t, std::int64_t, const Value&) {
    return RetType(RetCode::ERROR_DB_SERVER, "down");
  };
  EXPECT_EQ(m.getAAKitList(false, failing), RetType(RetCode::ERROR_DB_SERVER, "down"));
  auto listing = [](std::int64_t, std::int64_t, const Value&) {
    return RetType::Data(Value::array({1}));
  };
  EXPECT_THROW(m.getAAKitList(false, listing), arvcore::TypeError);
  EXPECT_EQ(m.AAKitTable(), fetched);
  EXPECT_TRUE(m.parse().ok());
  EXPECT_EQ(m.AAKitTable(), fetched);

  // A new custom kit gets its full name at once.
  r = m.setAAKitInfo("New", kSpacing, kSteering, kSteering, zeros(4), zeros(4), 1, forward);
  ASSERT_TRUE(r.ok());
  const std::string full = r.RetData.get<std::string>();
  EXPECT_EQ(full.size(), 4u + 21u);
  EXPECT_TRUE(calls.empty());

  EXPECT_EQ(m.saveAAKitFile(full, forward), RetType(RetCode::WARNING, "forwarded"));
  ASSERT_EQ(calls.size(), 1u);
  Value expected_save = {{"func_name", "saveAAKitFile"},
                         {"kitName", full},
                         {"check", false},
                         {"context", m.AAKitTable()[full]}};
  EXPECT_EQ(calls[0], expected_save);
  EXPECT_EQ(calls[0].dump(), expected_save.dump());  // keyword order

  EXPECT_EQ(m.deleteAAKitInfo(full, forward), RetType(RetCode::WARNING, "forwarded"));
  EXPECT_EQ(calls[1].dump(),
            Value({{"func_name", "deleteAAKitInfo"}, {"kitName", full}, {"check", false}}).dump());
  EXPECT_FALSE(m.AAKitTable().contains(full));

  // Renaming forwards the save of the new kit before the deletion of the old one.
  calls.clear();
  auto accept = [&](const Value& kwargs) {
    calls.push_back(kwargs);
    return RetType();
  };
  r = m.setAAKitInfo("Web_" + kSuffix, kSpacing, kSteering, kSteering, zeros(4), zeros(4), 1,
                     accept, nullptr, "Moved");
  ASSERT_TRUE(r.ok()) << r.RetMsg;
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["func_name"], "saveAAKitFile");
  EXPECT_EQ(calls[0]["kitName"], r.RetData);
  EXPECT_EQ(calls[1]["func_name"], "deleteAAKitInfo");
  EXPECT_EQ(calls[1]["kitName"], "Web_" + kSuffix);

  // A forwarding function that fails is an "exception" answer.
  auto throwing = [](const Value&) -> RetType { throw std::runtime_error("gone"); };
  EXPECT_EQ(m.saveAAKitFile(r.RetData.get<std::string>(), throwing).RetMsg, "exception");
  // Without a forwarding function there is no file to write in web mode.
  EXPECT_EQ(m.saveAAKitFile(r.RetData.get<std::string>()).RetMsg, "exception");
}

TEST_F(AAKitTest, KitNamesThatAreNotPlainFileNamesAreRefused) {
  // "AAKIT_x/../../victim.csv" leads out of the data directory.
  std::ofstream(dir_ / "victim.csv") << "keep";
  fs::create_directory(data_ / "AAKIT_x");
  AAKitTableManager m(9, 16, "files/", 1, {9});
  const Value record = Value::parse(R"({"DEV_TYPE": 9, "TYPE": 1})");
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string("x/../../victim"),
        std::string("a\\b"), std::string("a\0b", 3)}) {
    const RetType refused(RetCode::ERROR_BF_AAKIT, "Invalid AAKit name: " + bad);
    EXPECT_EQ(m.setAAKitInfo(bad, kSpacing, kSteering, kSteering, zeros(16), zeros(16)), refused);
    EXPECT_EQ(m.saveAAKitFile(bad, nullptr, false, record), refused);
    EXPECT_EQ(m.deleteAAKitInfo(bad, nullptr, false), refused);
  }
  EXPECT_EQ(m.setAAKitInfo("ok", kSpacing, kSteering, kSteering, zeros(16), zeros(16), 1, nullptr,
                           nullptr, "../x"),
            RetType(RetCode::ERROR_BF_AAKIT, "Invalid AAKit name: ../x"));
  EXPECT_TRUE(m.AAKitTable().empty());
  EXPECT_EQ(arvcore::value::read_text_file(dir_ / "victim.csv"), "keep");
  EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(AAKitTest, SetAAKitInfoChecksConvertsAndMerges) {
  AAKitTableManager m(9, 16);
  Value fifteen = zeros(15);
  EXPECT_THROW(m.setAAKitInfo(5, kSpacing, kSteering, kSteering, zeros(16), zeros(16)),
               arvcore::TypeError);
  EXPECT_THROW(m.setAAKitInfo("K", 5.0, kSteering, kSteering, zeros(16), zeros(16)),
               arvcore::TypeError);
  RetType r = m.setAAKitInfo("K", Value::array({1.0}), kSteering, kSteering, fifteen, zeros(16));
  EXPECT_EQ(
      r, RetType(RetCode::ERROR_BF_AAKIT, "AAKit field checking failed: ['SPACING', 'OFFSET_TX']"));
  EXPECT_TRUE(m.AAKitTable().empty());
  // A given device type skips the counts.
  r = m.setAAKitInfo("K", kSpacing, kSteering, kSteering, fifteen, zeros(16), 1, nullptr, 4);
  EXPECT_EQ(r.RetData, "K");
  EXPECT_EQ(m.AAKitTable()["K"]["OFFSET_TX"].size(), 15u);
  EXPECT_EQ(m.AAKitTable()["K"]["DEV_TYPE"], 4);

  // An update replaces the fields; an official duplicate is ignored.
  r = m.setAAKitInfo("K", Value::array({"1.5", 2}), kSteering, kSteering, zeros(16), zeros(16));
  EXPECT_EQ(m.AAKitTable()["K"]["SPACING"], Value::array({1.5, 2.0}));
  EXPECT_EQ(m.AAKitTable()["K"]["DEV_TYPE"], 9);
  const Value kept = m.AAKitTable();
  EXPECT_EQ(m.setAAKitInfo("K", kSpacing, kSpacing, kSpacing, zeros(16), zeros(16), 0).RetData,
            "K");
  EXPECT_EQ(m.AAKitTable(), kept);
  r = m.setAAKitInfo("K", Value::array({"x", 1}), kSteering, kSteering, zeros(16), zeros(16));
  EXPECT_EQ(r, RetType(RetCode::ERROR_BF_AAKIT, "exception"));

  // Per-polarization offsets count together.
  AAKitTableManager dual(9, 4, "files/", 2);
  Value pol = {{"HORIZON", zeros(4)}, {"VERTICAL", Value::array({1, 2, 3, 4.9})}};
  ASSERT_TRUE(dual.setAAKitInfo("P", kSpacing, kSteering, kSteering, pol, pol).ok());
  EXPECT_EQ(dual.AAKitTable()["P"]["OFFSET_RX"]["VERTICAL"], Value::array({1, 2, 3, 4}));
  EXPECT_FALSE(dual.checkAAKitField("OFFSET_TX", Value({{"HORIZON", zeros(4)}})));
  EXPECT_THROW(dual.checkAAKitField("TYPE", zeros(1)), arvcore::KeyError);
}

TEST_F(AAKitTest, ListingSelectionAndInfo) {
  AAKitTableManager m(9, 16, "files/", 1, {9});
  EXPECT_EQ(m.getAAKitList(), RetType::Data(Value::array()));
  write("AAKIT_A.csv", kit_text("A", 0));
  write("AAKIT_B.csv", kit_text("B", 0));
  EXPECT_EQ(m.getAAKitList().RetData, Value::array({"A", "B"}));
  fs::remove(data_ / "AAKIT_B.csv");
  EXPECT_EQ(m.getAAKitList().RetData, Value::array({"A", "B"}));
  EXPECT_EQ(m.getAAKitList(true).RetData, Value::array({"A"}));

  EXPECT_EQ(m.getAAKitInfo(), RetType(RetCode::ERROR_BF_AAKIT,
                                      "Fail to getAAKitInfo, please call selectAAKit() first"));
  EXPECT_EQ(m._selectAAKit("B"),
            RetType(RetCode::ERROR_BF_NO_AAKIT, "There is NOT matched AAKit name: B"));
  ASSERT_TRUE(m._selectAAKit("A").ok());
  EXPECT_EQ(m.getAAKitInfo("").RetData["TYPE"], 0);
  EXPECT_EQ(m.getAAKitInfo(std::nullopt, true).RetData, m.AAKitTable());
  EXPECT_EQ(m.getAAKitInfo("B", true), RetType(RetCode::ERROR_BF_AAKIT, "getAAKitInfo exception"));
  ASSERT_TRUE(m._selectAAKit("").ok());
  EXPECT_EQ(m.aakit_name(), "");
  EXPECT_EQ(m.saveAAKitFile().RetMsg,
            "Fail to save, please call selectAAKit() first or assign aakit name");
  EXPECT_EQ(m.saveAAKitFile("B").RetMsg, "B not exist in list");
}

TEST_F(AAKitTest, DeleteRemovesOnlyCustomKits) {
  write("AAKIT_A.csv", kit_text("A", 0));
  write("AAKIT_C_" + kSuffix + ".csv", kit_text("C_" + kSuffix, 1));
  AAKitTableManager m(9, 16, "files/", 1, {9});
  ASSERT_TRUE(m.getAAKitList().ok());
  ASSERT_TRUE(m.setAAKitInfo("Unsaved", kSpacing, kSteering, kSteering, zeros(16), zeros(16)).ok());
  EXPECT_EQ(m.deleteAAKitInfo("A"),
            RetType(RetCode::ERROR_BF_AAKIT, "A must be customized AAKit for deletion"));
  EXPECT_TRUE(fs::exists(data_ / "AAKIT_A.csv"));
  EXPECT_EQ(m.deleteAAKitInfo("Nope").RetMsg, "Nope not exist in list");
  EXPECT_TRUE(m.deleteAAKitInfo("C_" + kSuffix).ok());
  EXPECT_FALSE(fs::exists(data_ / ("AAKIT_C_" + kSuffix + ".csv")));
  EXPECT_EQ(m.deleteAAKitInfo("Unsaved"), RetType(RetCode::ERROR_BF_AAKIT, "exception"));
  EXPECT_FALSE(m.AAKitTable().contains("Unsaved"));
}

TEST(AAKitTimeSuffix, CheckAndCompute) {
  for (const char* good : {"2024031514302512+0800", "2024031514302512-0500",
                           "2024022914302599+23:59", "2024031514302512+080000.5"}) {
    EXPECT_TRUE(AAKitTableManager::checkAAKitTimeFormat(good)) << good;
  }
  for (const char* bad :
       {"20240315", "2024031514302512", "2023022914302512+0800", "2024031514302512+2400",
        "2024031514302512+08:0000", "2024031514306012+0800", "2024031514+0800",
        "x024031514302512+0800", "2024031514302512+0800x", ""}) {
    EXPECT_FALSE(AAKitTableManager::checkAAKitTimeFormat(bad)) << bad;
  }
  const std::string full = AAKitTableManager::computeAAKitFullName("Kit");
  ASSERT_EQ(full.size(), 25u);
  EXPECT_EQ(full.substr(0, 4), "Kit_");
  EXPECT_TRUE(AAKitTableManager::checkAAKitTimeFormat(full.substr(4)));
}
