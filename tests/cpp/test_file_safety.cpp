// Files as a hostile host would hand them over: endless inputs (devices, pipes, files without
// end) that every table reader must refuse, and temporary files of killed saves that a later
// save must clear away.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"
#include "log_capture.hpp"
#include "test_beam_support.hpp"

namespace {

namespace fs = std::filesystem;
using arvcore::RetCode;
using arvcore::RetType;
using arvcore::Value;
using arvcore::log::Level;
using arvcore::testing::LogCapture;
using arvcore::vlndev::AAKitTableManager;
using arvcore::vlndev::BeamPatternTableManager;
using arvcore::vlndev::CalibrationTableManager;
using arvcore::vlndev::UDDeltaFreqTableManager;

constexpr const char* kSn = "SAFE-28";

/// Runs `body` in a child process that is killed after `seconds`: a reader that never finishes
/// fails the test instead of hanging it. `body` answers "" when all is well, else what went
/// wrong.
std::string in_child_within(int seconds, const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    return "pipe failed";
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    ::alarm(static_cast<unsigned>(seconds));
#if !defined(__SANITIZE_ADDRESS__)
    // A reader that grows without end must fail in here rather than take the machine's memory.
    const rlimit memory{std::size_t{4} << 30, std::size_t{4} << 30};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
    std::string verdict;
    try {
      verdict = body();
    } catch (const std::exception& e) {
      verdict = std::string("threw: ") + e.what();
    }
    [[maybe_unused]] const ssize_t n = ::write(pipe_fds[1], verdict.data(), verdict.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string verdict;
  char buf[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) {
    verdict.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    return fmt::format("the child was killed by signal {} (it did not finish in {} s)",
                       WTERMSIG(status), seconds);
  }
  return verdict;
}

/// What a refused file is logged with: some record's failure text names the reason.
bool logged_reason(const LogCapture& logs, const std::string& part) {
  for (const auto& r : logs.records) {
    if (r.exc.find(part) != std::string::npos || r.message.find(part) != std::string::npos) {
      return true;
    }
  }
  return false;
}

class EndlessInputs : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ / "BeamTable"); }
  void TearDown() override { ::unsetenv("ARVCORE_MAX_TABLE_BYTES"); }

  /// The kinds of endless or oversized input, each placed at `name` in turn. `check` answers
  /// "" when the reader refused it properly, with `reason` the text expected in its log.
  void each_endless_input(const fs::path& name,
                          const std::function<std::string(const std::string& reason)>& check) {
    struct Input {
      const char* what;
      std::function<void()> make;
      const char* reason;
    };
    const std::vector<Input> inputs = {
        {"/dev/zero through a symlink", [&] { fs::create_symlink("/dev/zero", name); },
         "character device, not a regular file"},
        {"a FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0); },
         "named pipe, not a regular file"},
        {"a file above the size limit",
         [&] {
           std::ofstream(name) << std::string(5000, 'x');
           ::setenv("ARVCORE_MAX_TABLE_BYTES", "4096", 1);
         },
         "more than 4096 bytes"},
        // A /proc file reports no size: only counting while reading finds it too large.
        {"a file that grows past the limit while it is read",
         [&] {
           fs::create_symlink("/proc/self/maps", name);
           ::setenv("ARVCORE_MAX_TABLE_BYTES", "64", 1);
         },
         "more than 64 bytes"},
    };
    for (const Input& input : inputs) {
      SCOPED_TRACE(input.what);
      std::error_code ec;
      fs::remove(name, ec);
      ::unsetenv("ARVCORE_MAX_TABLE_BYTES");
      input.make();
      EXPECT_EQ(in_child_within(20, [&] { return check(input.reason); }), "");
    }
  }

  beamtest::FilesDir files_;
  fs::path dir_ = files_.path();
};

TEST_F(EndlessInputs, CalibrationParseRefusesAndAnswersItsFailure) {
  each_endless_input(dir_ / fmt::format("{}_28GHz.csv", kSn), [](const std::string& reason) {
    LogCapture logs({"CaliTbl"});
    CalibrationTableManager m(kSn, Value(28), [] { return Value::array({1, 1, 2}); });
    const RetType r = m.parse(Value(28));
    if (r.RetCode != RetCode::ERROR_BF_CALI_PARSE || r.RetMsg != "parse exception") {
      return "answered " + r.to_string();
    }
    return logged_reason(logs, reason) ? "" : "no log line says why:\n" + logs.dump();
  });
}

TEST_F(EndlessInputs, CalibrationJsonImportRefusesWithTheReason) {
  each_endless_input(dir_ / fmt::format("{}_28GHz.json", kSn), [](const std::string& reason) {
    CalibrationTableManager m(kSn, Value(28), [] { return Value::array({1, 1, 2}); });
    try {
      m.parseRawJson();
    } catch (const arvcore::OSError& e) {
      return std::string(e.what()).find(reason) != std::string::npos
                 ? ""
                 : std::string("refused for another reason: ") + e.what();
    }
    return std::string("the import succeeded");
  });
}

TEST_F(EndlessInputs, KitListingSkipsTheFileAndSaysWhy) {
  each_endless_input(dir_ / "AAKIT_endless.csv", [](const std::string& reason) {
    LogCapture logs({"AAKitTbl"});
    AAKitTableManager m(9, 4, "files/", 1, {9});
    const RetType parsed = m.parse();
    if (parsed.RetCode != RetCode::ERROR_BF_NO_AAKIT ||
        parsed.RetMsg != "No available AAKit table here") {
      return "parse answered " + parsed.to_string();
    }
    return logged_reason(logs, reason) ? "" : "no log line says why:\n" + logs.dump();
  });
}

TEST_F(EndlessInputs, DeltaParseRefusesAndAnswersItsFailure) {
  each_endless_input(dir_ / fmt::format("{}.csv", kSn), [](const std::string& reason) {
    LogCapture logs({"UDDeltaTbl"});
    UDDeltaFreqTableManager m(kSn);
    const RetType r = m.parse();
    if (r.RetCode != RetCode::ERROR || r.RetMsg != "Exception while delta csv parsing") {
      return "answered " + r.to_string();
    }
    return logged_reason(logs, reason) ? "" : "no log line says why:\n" + logs.dump();
  });
}

TEST_F(EndlessInputs, BeamLoadRefusesAndAnswersItsFailure) {
  const std::string name = BeamPatternTableManager::table_file_name(kSn, Value(28), "");
  each_endless_input(dir_ / "BeamTable" / name, [](const std::string& reason) {
    LogCapture logs({"BeamTbl"});
    BeamPatternTableManager m(kSn, 9, 4, Value::array({1, 1, 2}), std::nullopt);
    const RetType r = m._load(Value(28));
    if (r.RetCode != RetCode::ERROR_BF_BEAM || r.RetMsg != "BeamTable loading exception") {
      return "answered " + r.to_string();
    }
    return logged_reason(logs, reason) ? "" : "no log line says why:\n" + logs.dump();
  });
}

TEST_F(EndlessInputs, FilesWithinTheLimitAreStillRead) {
  // Exactly at the limit is allowed; a read-ahead of several chunks counts across them.
  const std::string text(3 << 20, 'a');
  std::ofstream(dir_ / "exact.txt") << text;
  ::setenv("ARVCORE_MAX_TABLE_BYTES", std::to_string(text.size()).c_str(), 1);
  EXPECT_EQ(arvcore::value::read_text_file(dir_ / "exact.txt").size(), text.size());
  arvcore::value::FileReadAhead ahead(dir_ / "exact.txt", 1 << 16);
  std::size_t total = 0;
  for (auto chunk = ahead.next(); !chunk.bytes.empty(); chunk = ahead.next()) {
    total += chunk.bytes.size();
  }
  EXPECT_EQ(total, text.size());
  ::setenv("ARVCORE_MAX_TABLE_BYTES", std::to_string(text.size() - 1).c_str(), 1);
  EXPECT_THROW(arvcore::value::read_text_file(dir_ / "exact.txt"), arvcore::OSError);
  // An unusable setting falls back to the default limit.
  ::setenv("ARVCORE_MAX_TABLE_BYTES", "lots", 1);
  EXPECT_EQ(arvcore::value::max_table_bytes(), std::uint64_t{1} << 30);
}

// --- temporary files of killed saves ---------------------------------------------------------

/// The pid of a process that has ended (and been reaped).
pid_t ended_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  return pid;
}

std::vector<std::string> dot_files(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(".")) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StaleTemporaryFiles, ASaveRemovesThoseOfItsTargetWhoseWriterIsGone) {
  const fs::path dir = fs::temp_directory_path() / fmt::format("stale_tmp_{}", ::getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  const pid_t gone = ended_pid();
  const fs::path target = dir / "table.json";
  auto make = [&](const std::string& name) { std::ofstream(dir / name) << "partial"; };
  // Left by killed writers of this target, in the naming of older and of current writers.
  make(fmt::format(".table.json.tmp-{}-3", gone));
  make(fmt::format(".table.json.tmp-{}-123-0", gone));
  // pid 1 runs, but not since the start time the name records: a reused pid.
  make(".table.json.tmp-1-999999999999-0");
  // Kept: a writer that still runs (this process's parent, started whenever it started),
  // another target's file, and names that are not this writer's.
  const std::string live = fmt::format(".table.json.tmp-{}-7", ::getppid());
  make(live);
  const std::string other = fmt::format(".other.json.tmp-{}-3", gone);
  make(other);
  const std::string unrelated = fmt::format(".table.json.tmp-{}-x", gone);
  make(unrelated);

  arvcore::value::write_file_atomic(target, "{}");
  std::vector<std::string> kept{other, live, unrelated};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(dot_files(dir), kept);
  fs::remove_all(dir);
}

}  // namespace
