#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"
#include "log_capture.hpp"

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::vlndev::UDDeltaFreqTableManager;

namespace {

class UDDeltaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ud-delta-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ::setenv("ARVCORE_FILES_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("ARVCORE_FILES_DIR");
    fs::remove_all(dir_);
  }
  void write(const std::string& file, const std::string& text) const {
    std::ofstream(dir_ / file, std::ios::binary) << text;
  }
  fs::path dir_;
};

const RetType kNoFile(RetCode::WARNING, "Delta csv not exist, skip it");
const RetType kNoValue(RetCode::WARNING, "No delta freq info, skip it");
const RetType kBroken(RetCode::ERROR, "Exception while delta csv parsing");

}  // namespace

TEST_F(UDDeltaTest, FirstUsableRowSetsTheValue) {
  const std::string sn = "D2230E013-28";
  UDDeltaFreqTableManager m(sn);
  EXPECT_EQ(m.getUDDeltaFreq(), RetType::Data(0));
  EXPECT_EQ(m.parse(), kNoFile);

  LogCapture logs({"UDDeltaTbl"});
  write(sn + ".csv", sn + "\r\n# minimum LO-IF distance\n\n200,x\n300\n");
  EXPECT_EQ(m.parse(), RetType());
  EXPECT_EQ(m.getUDDeltaFreq(), RetType::Data(200));
  EXPECT_EQ(logs.count(Level::info, "Delta csv path: " + (dir_ / (sn + ".csv")).string()), 1);
  EXPECT_EQ(logs.count(Level::info, "Update delta freq to 200"), 1);

  write(sn + ".csv", " -150 ,y\n");
  EXPECT_EQ(m.parse(), RetType());
  EXPECT_EQ(m.getUDDeltaFreq().RetData, -150);

  // Failures keep the previous value.
  write(sn + ".csv", "# only comments\n\n" + sn + ",1\n");
  EXPECT_EQ(m.parse(), kNoValue);
  write(sn + ".csv", "abc\n");
  EXPECT_EQ(m.parse(), kBroken);
  EXPECT_TRUE(logs.contains(Level::error, "Exception while delta csv parsing"));
  write(sn + ".csv", "\xff\xfe\n");
  EXPECT_EQ(m.parse(), kBroken);
  fs::remove(dir_ / (sn + ".csv"));
  EXPECT_EQ(m.parse(), kNoFile);
  EXPECT_EQ(m.getUDDeltaFreq().RetData, -150);
}

TEST_F(UDDeltaTest, SerialNumberIsTakenLiterally) {
  write("D1.csv", "100\n");
  write("D*.csv", "7\n");
  fs::create_directory(dir_ / "sub");
  for (const char* sn : {"D?", "D[1]", "*", "sub/../D1"}) {
    UDDeltaFreqTableManager m(sn);
    EXPECT_EQ(m.parse(), kNoFile) << sn;
  }
  UDDeltaFreqTableManager star("D*");
  EXPECT_EQ(star.parse(), RetType());
  EXPECT_EQ(star.getUDDeltaFreq().RetData, 7);
}
