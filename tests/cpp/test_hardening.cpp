// Inputs a hostile user tried: exports after failed parses, frequencies that name no file,
// version texts without a number, kit fields of the wrong kind, and held database queries
// left behind by a failed batch.

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "log_capture.hpp"
#include "scripted_db.hpp"
#include "test_beam_support.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::testing::ScriptedDB;
using arvcore::vlndev::AAKitTableManager;
using arvcore::vlndev::BeamPatternTableManager;
using arvcore::vlndev::CalibrationTableManager;

constexpr const char* kSn = "HARD-28";

Value layout_1x1x2() {
  return Value::array({1, 1, 2});
}

std::string cali_text(const std::string& ver, bool end = true) {
  return fmt::format(
      "VER,{}\nSN,{}\nFCENTER,28\nDR,-5,10,-10,-5\nOFFSET_TX,1,2\nCOMDR,TX,x,1,y,-6.5,10.0\n{}",
      ver, kSn, end ? "END\n" : "");
}

class Hardening : public ::testing::Test {
 protected:
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  std::unique_ptr<CalibrationTableManager> cali() {
    return std::make_unique<CalibrationTableManager>(kSn, Value(28), layout_1x1x2);
  }
  beamtest::FilesDir files_;
  fs::path dir_ = files_.path();
};

TEST_F(Hardening, ExportFollowsOnlyACompleteParseAndFailsWithItsRealCause) {
  const std::string csv = fmt::format("{}_28GHz.csv", kSn);
  const std::string json = fmt::format("{}_28GHz.json", kSn);
  write(csv, cali_text("3.0.0"));
  auto m = cali();
  ASSERT_TRUE(m->parse(Value(28), nullptr, true).ok());
  const std::string good = read(json);
  ASSERT_NE(good.find("\"COMDR\""), std::string::npos);

  // A broken table (no END, then a bad cell) leaves the good export in place.
  LogCapture logs({"CaliTbl"});
  for (const std::string& broken : {cali_text("3.0.0", false), cali_text("3.0.0") + "DR,x\n"}) {
    write(csv, broken);
    EXPECT_FALSE(m->parse(Value(28), nullptr, true).ok());
    EXPECT_EQ(read(json), good);
  }
  EXPECT_TRUE(logs.contains(Level::warning, "JSON export skipped"));

  // An export that cannot be written names why.
  write(csv, cali_text("3.0.0"));
  fs::remove(dir_ / json);
  fs::create_directory(dir_ / json);
  try {
    m->parse(Value(28), nullptr, true);
    ADD_FAILURE() << "the export into a directory succeeded";
  } catch (const arvcore::OSError& e) {
    EXPECT_NE(std::string(e.what()).find("Is a directory"), std::string::npos) << e.what();
  }
}

TEST_F(Hardening, FrequenciesThatNameNoFileAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Value bad[] = {Value(nan), Value(inf), Value(-inf), Value(-1), Value(0), Value(0.0)};

  BeamPatternTableManager beams(kSn, 9, 4, layout_1x1x2(), std::nullopt);
  write(fmt::format("{}_28GHz.csv", kSn), cali_text("3.0.0"));
  auto m = cali();
  ASSERT_TRUE(m->parse(Value(28)).ok());
  for (const Value& f : bad) {
    SCOPED_TRACE(arvcore::value::dump_json(f, -1));
    const RetType loaded = beams._load(f);
    EXPECT_EQ(loaded.RetCode, RetCode::ERROR_BF_BEAM);
    EXPECT_EQ(loaded.RetMsg, "BeamTable loading exception");
    const RetType parsed = m->parse(f);
    EXPECT_EQ(parsed.RetCode, RetCode::ERROR_BF_CALI_PATH);
    // Refused before anything changed: the table of 28 GHz is still there.
    EXPECT_EQ(m->CaliTable()["VER"], "3.0.0");
  }
  // No table file was created for any of them.
  EXPECT_FALSE(fs::exists(dir_ / "BeamTable"));
  ASSERT_TRUE(beams._load(Value(27.5)).ok());

  // In web mode nothing reaches the database either.
  ScriptedDB db;
  CalibrationTableManager web(kSn, Value(28), layout_1x1x2, false, true);
  EXPECT_EQ(web.parse(Value(nan)).RetCode, RetCode::ERROR_BF_CALI_PATH);
  EXPECT_EQ(web.db()->requestTemplate()["frequency"], 28);
  EXPECT_TRUE(web.parse(Value(28.5)).ok());
  EXPECT_EQ(web.db()->requestTemplate()["frequency"], 28.5);
}

TEST_F(Hardening, VersionTextsWithoutANumberAreTooLow) {
  const std::string csv = fmt::format("{}_28GHz.csv", kSn);
  auto m = cali();
  for (const char* ver :
       {"abc", "2..0", "3.0-rc", "", ".", "3.0.0.", "1.9.9", "v", "vabc", "v1.9"}) {
    SCOPED_TRACE(ver);
    LogCapture logs({"CaliTbl"});
    write(csv, cali_text(ver));
    const RetType r = m->parse(Value(28));
    EXPECT_EQ(r.RetMsg, "cali file is broken");
    EXPECT_TRUE(logs.contains(Level::error, "Version of Cali table is too low")) << logs.dump();
  }
  // Spreadsheets and people write "v3.0.0" or leave spaces around it.
  for (const char* ver :
       {"2", "2.0", "2.0.0", "3.0.0", "10.0.0", "2.0.0.1", "v3.0.0", "V2.0", " 3.0.0 "}) {
    SCOPED_TRACE(ver);
    write(csv, cali_text(ver));
    EXPECT_TRUE(m->parse(Value(28)).ok());
  }
}

TEST_F(Hardening, KitFieldsOfTheWrongKindFailTheFieldCheck) {
  AAKitTableManager m(9, 4, "files/", 2, {9});
  LogCapture logs({"AAKitTbl"});
  const Value pair = Value::array({1.0, 2.0});
  const Value eight = Value::array({0, 0, 0, 0, 0, 0, 0, 0});
  auto set = [&](const Value& tx, const Value& rx) {
    return m.setAAKitInfo(Value("K"), pair, pair, pair, tx, rx);
  };
  RetType r = set(Value("bad"), eight);
  EXPECT_EQ(r.RetCode, RetCode::ERROR_BF_AAKIT);
  EXPECT_EQ(r.RetMsg, "AAKit field checking failed: ['OFFSET_TX']");
  EXPECT_TRUE(logs.contains(Level::error, "Wrong kind:str of value for field: OFFSET_TX"));
  // A text as long as the list it stands for is no list either; nor is a number, or a text
  // inside the per-polarization form.
  r = set(eight, Value("12345678"));
  EXPECT_EQ(r.RetMsg, "AAKit field checking failed: ['OFFSET_RX']");
  r = set(Value(8), Value{{"HORIZON", Value::array({0, 0, 0, 0})}, {"VERTICAL", "abcd"}});
  EXPECT_EQ(r.RetMsg, "AAKit field checking failed: ['OFFSET_TX', 'OFFSET_RX']");
  EXPECT_TRUE(m.AAKitTable().empty());
  // The right kinds still pass.
  EXPECT_TRUE(set(eight, Value{{"HORIZON", Value::array({0, 0, 0, 0})},
                               {"VERTICAL", Value::array({1, 1, 1, 1})}})
                  .ok());
}

TEST(HeldQueries, AFailedBatchLeavesNothingHeld) {
  ScriptedDB db;
  CalibrationTableManager m(
      "SNW", Value(28),
      [] {
        return Value::array({2, 1, 2});
      },
      false, true);
  const Value empty = Value::array();
  auto fail_a_batch = [&] {
    db.replies.push_back(ScriptedDB::fail("down"));
    const auto r = m._getBoardsOffset({1, 2});
    ASSERT_TRUE(std::holds_alternative<RetType>(r));
    ASSERT_TRUE(m.db()->heldQueries().empty());
  };
  auto single_query_is_alone = [&] {
    db.calls.clear();
    db.replies.push_back(ScriptedDB::ok(Value{{"DR.TX", Value::array({-1, 1})}}));
    const RetType r = m.getDR(std::int64_t{0});
    EXPECT_TRUE(r.ok()) << r.to_string();
    ASSERT_EQ(db.calls.size(), 1u);
    EXPECT_FALSE(db.calls[0].cmd);
  };

  fail_a_batch();
  single_query_is_alone();
  fail_a_batch();
  EXPECT_EQ(m._getComData("TX", 0, 1, empty, empty, empty, empty), empty);
  EXPECT_EQ(std::get<Value>(m._getBoardsOffset({})), empty);
  single_query_is_alone();
}

}  // namespace

namespace {

TEST(ReadDepth, TextDeeperThanTheHostTakesIsRefusedWhereItIsRead) {
  const int before = arvcore::value::max_read_depth();
  arvcore::value::set_max_read_depth(8);
  auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_NO_THROW(arvcore::value::parse_json(nested(8)));
  EXPECT_THROW(arvcore::value::parse_json(nested(10)), arvcore::ValueError);
  // Refused by the fast reader and the exact one alike, whatever else is wrong further on.
  EXPECT_THROW(arvcore::value::parse_json(nested(12) + " x"), arvcore::ValueError);
  arvcore::value::set_max_read_depth(0);
  EXPECT_EQ(arvcore::value::max_read_depth(), 1);
  arvcore::value::set_max_read_depth(before);
}

}  // namespace
