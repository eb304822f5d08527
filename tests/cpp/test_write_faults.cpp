// Failure injection on every writer (beam table, kit file, calibration JSON export): a short
// write, a full disk, a failing sync, close or rename, and a kill, at every step of the write.
// The previous file must stay byte for byte as it was, the failure must reach the caller with
// its real cause, and no temporary file may outlive the next save.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "test_beam_support.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::value::WriteStep;
using arvcore::vlndev::AAKitTableManager;
using arvcore::vlndev::BeamPatternTableManager;
using arvcore::vlndev::CalibrationTableManager;

constexpr WriteStep kSteps[] = {WriteStep::create, WriteStep::write, WriteStep::sync,
                                WriteStep::close, WriteStep::rename};

std::string step_name(WriteStep s) {
  static const char* const names[] = {"create", "write", "sync", "close", "rename"};
  return names[static_cast<int>(s)];
}

// The fault plan the hook follows; a plain function pointer cannot carry state.
struct Plan {
  WriteStep step = WriteStep::create;
  int err = 0;                // errno to fail `step` with
  bool kill = false;          // SIGKILL this process at `step` instead
  std::size_t short_to = 0;   // writes at most this many bytes at a time (0: no limit)
  int writes_before_err = 0;  // at `write`, let this many writes through before failing
  int writes_seen = 0;
};
Plan plan;

// Failure text of the last record logged with one: the writers that answer envelopes log the
// cause there.
std::string& last_logged_failure() {
  static std::string text;
  return text;
}

int hook(WriteStep step, std::size_t& bytes) {
  if (step == WriteStep::write && plan.short_to != 0 && bytes > plan.short_to) {
    bytes = plan.short_to;
  }
  if (step != plan.step) {
    return 0;
  }
  if (plan.kill) {
    ::raise(SIGKILL);
  }
  if (step == WriteStep::write && plan.writes_seen++ < plan.writes_before_err) {
    return 0;
  }
  return plan.err;
}

/// Installs `p` for one scope.
struct Injected {
  explicit Injected(Plan p) {
    plan = p;
    arvcore::value::set_write_fault_hook(hook);
  }
  ~Injected() { arvcore::value::set_write_fault_hook(nullptr); }
  Injected(const Injected&) = delete;
  Injected& operator=(const Injected&) = delete;
};

std::string bytes_of(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> temp_files(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().find(".tmp-") != std::string::npos) {
      names.push_back(e.path().filename().string());
    }
  }
  return names;
}

/// One writer under test: `save(n)` writes the n-th version of its file and answers whether
/// it reports success (a failure must carry `cause` in its answer or error text).
struct Writer {
  fs::path file;
  std::function<bool(int version, std::string& failure)> save;
};

/// Runs every fault at every step against `w`. Version 0 is on disk at the start.
void every_fault_at_every_step(Writer& w) {
  std::string failure;
  ASSERT_TRUE(w.save(0, failure)) << failure;
  int version = 1;
  for (const WriteStep step : kSteps) {
    for (const int err : {ENOSPC, EIO}) {
      SCOPED_TRACE(fmt::format("{} fails with {}", step_name(step), std::strerror(err)));
      const std::string before = bytes_of(w.file);
      {
        const Injected fault(Plan{step, err});
        failure.clear();
        EXPECT_FALSE(w.save(version, failure));
      }
      EXPECT_NE(failure.find(std::strerror(err)), std::string::npos) << failure;
      EXPECT_EQ(bytes_of(w.file), before);
      EXPECT_EQ(temp_files(w.file.parent_path()), std::vector<std::string>{});
    }
    // A kill at this step: the process dies with its temporary file half done.
    {
      SCOPED_TRACE("killed before " + step_name(step));
      const std::string before = bytes_of(w.file);
      const pid_t pid = ::fork();
      if (pid == 0) {
        const Injected fault(Plan{step, 0, true});
        std::string ignored;
        w.save(version, ignored);
        ::_exit(0);  // not reached
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      EXPECT_EQ(bytes_of(w.file), before);
      EXPECT_EQ(temp_files(w.file.parent_path()).size(), step == WriteStep::create ? 0u : 1u);
      // The next save clears what the killed one left.
      ASSERT_TRUE(w.save(version, failure)) << failure;
      EXPECT_EQ(temp_files(w.file.parent_path()), std::vector<std::string>{});
      EXPECT_NE(bytes_of(w.file), before);
      ++version;
    }
  }
  // Short writes are carried on where they stopped; a short write followed by a full disk
  // fails like any other.
  {
    const std::string before = bytes_of(w.file);
    {
      const Injected fault(Plan{WriteStep::write, ENOSPC, false, 5, 1});
      failure.clear();
      EXPECT_FALSE(w.save(version, failure));
    }
    EXPECT_EQ(bytes_of(w.file), before);
    EXPECT_EQ(temp_files(w.file.parent_path()), std::vector<std::string>{});
    {
      const Injected fault(Plan{WriteStep::create, 0, false, 3});
      ASSERT_TRUE(w.save(version, failure)) << failure;
    }
    const std::string shortly = bytes_of(w.file);
    ASSERT_TRUE(w.save(version, failure)) << failure;
    EXPECT_EQ(shortly, bytes_of(w.file));
    EXPECT_NE(shortly, before);
  }
}

class WriteFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    arvcore::log::set_sink(
        [](std::string_view, arvcore::log::Level, std::string_view, std::string_view exc) {
          if (!exc.empty()) {
            last_logged_failure() = std::string(exc);
          }
        });
  }
  void TearDown() override {
    arvcore::log::set_sink({});
    arvcore::value::set_write_fault_hook(nullptr);
  }
  beamtest::FilesDir files_;
  fs::path dir_ = files_.path();
};

TEST_F(WriteFaults, BeamTable) {
  BeamPatternTableManager m("SN1", 9, 8, Value::array({1, 1, 2}), std::nullopt);
  ASSERT_TRUE(m._load(Value(28)).ok());
  Writer w{m.path(), [&m](int version, std::string& failure) {
             Value table = m.BeamTable();
             table["SN"] = fmt::format("SN1-{}", version);
             const RetType r = m._saveToBeamTableFile(nullptr, table);
             if (!r.ok()) {
               failure = r.to_string() + " " + last_logged_failure();
               EXPECT_EQ(r.RetCode, RetCode::ERROR_BF_BEAM_FILE);
             }
             return r.ok();
           }};
  every_fault_at_every_step(w);
}

TEST_F(WriteFaults, KitFile) {
  AAKitTableManager m(9, 2, "files/", 1, {9});
  Writer w{dir_ / "AAKIT_Kit.csv", [&m](int version, std::string& failure) {
             const RetType set = m.setAAKitInfo(
                 Value("Kit"), Value::array({5.0, 5.0}), Value::array({-45.0, 45.0}),
                 Value::array({-45.0, 45.0}), Value::array({version, 0}), Value::array({0, 0}));
             EXPECT_TRUE(set.ok()) << set.to_string();
             const RetType r = m.saveAAKitFile(std::string("Kit"), nullptr, false);
             if (!r.ok()) {
               failure = r.to_string() + " " + last_logged_failure();
               EXPECT_EQ(r.RetCode, RetCode::ERROR_BF_AAKIT);
             }
             return r.ok();
           }};
  every_fault_at_every_step(w);
}

TEST_F(WriteFaults, CalibrationExport) {
  const fs::path csv = dir_ / "SNC_28GHz.csv";
  CalibrationTableManager m("SNC", Value(28), [] { return Value::array({1, 1, 2}); });
  Writer w{dir_ / "SNC_28GHz.json", [&](int version, std::string& failure) {
             std::ofstream(csv) << fmt::format("VER,3.0.0\nREALVER,{}\nSN,SNC\nFCENTER,28\nEND\n",
                                               version);
             try {
               return m.parse(Value(28), nullptr, true).ok();
             } catch (const arvcore::OSError& e) {
               failure = e.what();
               return false;
             }
           }};
  every_fault_at_every_step(w);
}

}  // namespace
