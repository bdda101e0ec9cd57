// The recovery from a fatal fault: the link, the log lines, the crash copy
// and the restart, with the agent running against a console stand-in and the
// programs it starts recorded instead of run.

#include "host/crash_recovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "base/paths.h"
#include "link/agent_fixture.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

using test::FileExists;
using test::Hex;
using test::ReadFileBytes;
using test::TestPeer;
using test::WriteFileBytes;

// The test's own executable path, with the programs it starts recorded.
class RecordingProcess final : public platform::Process {
 public:
  struct Started {
    std::u16string program;
    std::u16string command_line;
    platform::RunMode mode;
  };
  std::u16string ExecutablePath() override { return test::test_process().ExecutablePath(); }
  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    return test::test_process().CommandLineArguments(arguments);
  }
  bool Start(const std::u16string& program, const std::u16string& command_line, platform::RunMode mode) override {
    std::lock_guard<std::mutex> guard(lock);
    started.push_back({program, command_line, mode});
    return start_result;
  }

  std::mutex lock;
  std::vector<Started> started;
  bool start_result = true;
};

std::atomic<int> g_stopped_reports{0};
std::atomic<int> g_starts_when_stopped_reported{-1};
RecordingProcess* g_process = nullptr;
void ReportStopped() {
  g_stopped_reports.fetch_add(1);
  std::lock_guard<std::mutex> guard(g_process->lock);
  g_starts_when_stopped_reported.store(static_cast<int>(g_process->started.size()));
}

class CrashRecoveryTest : public test::AgentTest {
 protected:
  CrashRecoveryTest() : use_process_(process_) {
    g_process = &process_;
    g_stopped_reports.store(0);
    g_starts_when_stopped_reported.store(-1);
    timing_.link_lock_wait_ms = 50;
  }
  ~CrashRecoveryTest() override { g_process = nullptr; }

  // The recovery with a client of its own that is not connected.
  int RecoverWithoutLink(platform::CrashRestart restart) {
    CXClient client(settings_, test::FastTiming());
    return RecoverFromCrash(client, restart, &ReportStopped, timing_);
  }

  RecordingProcess process_;
  platform::ScopedFacility<platform::Process> use_process_;
  SXCrashRecoveryTiming timing_;
};

TEST_F(CrashRecoveryTest, TheCopyHoldsTheSameBytesAsTheReport) {
  const std::string report = Hex("FF FE 54 00 0D 00 0A 00") + std::string(5000, 'x') + std::string(3, '\0');
  WriteFileBytes(CrashReportPath(), report);
  EXPECT_TRUE(CopyCrashReport());
  EXPECT_EQ(ReadFileBytes(CrashCopyPath()), report);
  EXPECT_EQ(ReadFileBytes(CrashReportPath()), report);
}

TEST_F(CrashRecoveryTest, ACopyFromAnEarlierCrashIsReplaced) {
  WriteFileBytes(CrashCopyPath(), std::string(10000, 'o'));  // longer than the new report
  WriteFileBytes(CrashReportPath(), Hex("FF FE 41 00"));
  EXPECT_TRUE(CopyCrashReport());
  EXPECT_EQ(ReadFileBytes(CrashCopyPath()), Hex("FF FE 41 00"));
}

TEST_F(CrashRecoveryTest, WithoutAReportThereIsNoCopy) {
  WriteFileBytes(CrashCopyPath(), "stale");
  EXPECT_FALSE(CopyCrashReport());
  EXPECT_FALSE(FileExists(CrashCopyPath()));
}

TEST_F(CrashRecoveryTest, AnEmptyReportGivesAnEmptyCopy) {
  WriteFileBytes(CrashReportPath(), "");
  EXPECT_TRUE(CopyCrashReport());
  ASSERT_TRUE(FileExists(CrashCopyPath()));
  EXPECT_EQ(ReadFileBytes(CrashCopyPath()), "");
}

TEST_F(CrashRecoveryTest, ServiceRestartRunsRestartDetachedThenReportsTheServiceStopped) {
  WriteFileBytes(CrashReportPath(), Hex("FF FE 2E 00"));
  MarkLog();
  EXPECT_EQ(RecoverWithoutLink(platform::CrashRestart::kServiceRestart), 1);

  ASSERT_EQ(process_.started.size(), 1u);
  const std::u16string exe = ExecutablePath();
  EXPECT_EQ(process_.started[0].program, exe);
  EXPECT_EQ(process_.started[0].command_line, u"\"" + exe + u"\" -restart");
  EXPECT_EQ(process_.started[0].mode, platform::RunMode::kDetached);
  EXPECT_EQ(g_stopped_reports.load(), 1);
  EXPECT_EQ(g_starts_when_stopped_reported.load(), 1);  // after the restart was under way

  const std::string log = LogSinceMark();
  const size_t fatal = log.find(" A fatal exception have occured in Orvalinth service while recording snapshots.");
  const size_t restart = log.find(" try to restart service...");
  ASSERT_NE(fatal, std::string::npos) << log;
  EXPECT_LT(fatal, restart) << log;
  EXPECT_EQ(log.find("Error: "), std::string::npos) << log;  // information lines
  EXPECT_EQ(ReadFileBytes(CrashCopyPath()), Hex("FF FE 2E 00"));
}

TEST_F(CrashRecoveryTest, ProcessReplacementStartsAFreshDaemonInPlace) {
  EXPECT_EQ(RecoverWithoutLink(platform::CrashRestart::kReplaceProcess), 0);  // the recorder does not replace
  ASSERT_EQ(process_.started.size(), 1u);
  const std::u16string exe = ExecutablePath();
  EXPECT_EQ(process_.started[0].program, exe);
  EXPECT_EQ(platform::SplitCommandLine(process_.started[0].command_line), std::vector<std::u16string>{exe});
  EXPECT_EQ(process_.started[0].mode, platform::RunMode::kReplace);
  EXPECT_EQ(g_stopped_reports.load(), 0);  // the daemon goes on under the same process id
}

TEST_F(CrashRecoveryTest, AFailedRestartIsIgnored) {
  process_.start_result = false;
  EXPECT_EQ(RecoverWithoutLink(platform::CrashRestart::kServiceRestart), 1);
  EXPECT_EQ(process_.started.size(), 1u);
}

TEST_F(CrashRecoveryTest, TheLinkIsClosedGracefullyAndNotMadeAgain) {
  std::atomic<bool> greeted{false};
  std::atomic<bool> closed{false};
  peer_.Serve([&](TestPeer& p) {
    greeted.store(test::Greet(p));
    // The agent's graceful close: the end of the stream, nothing before it.
    std::string rest;
    closed.store(p.DrainUntilClosed(&rest) && rest.empty());
    p.CloseConnection();
  });
  StartAgent();
  ASSERT_TRUE(test::WaitFor(greeted));
  ASSERT_TRUE(test::WaitUntil([&] { return client_->is_connected() == 1; }));

  EXPECT_EQ(RecoverFromCrash(*client_, platform::CrashRestart::kServiceRestart, nullptr, timing_), 1);
  EXPECT_TRUE(test::WaitFor(closed));
  peer_.Join();
  EXPECT_EQ(client_->is_connected(), 0);
  EXPECT_NE(client_->stop_requested(), 0);
  // The dying process makes no new link (the next would be refused anyway).
  peer_.StopListening();
  EXPECT_TRUE(test::WaitUntil([&] { return client_->running_threads() == 0; }));
}

TEST_F(CrashRecoveryTest, ALogLockThatStaysBusyDoesNotStopTheRecovery) {
  // Another writer holds the log's lock for good (stuck inside the file
  // system): the recovery's lines are dropped after a moment, and the rest
  // of the recovery still runs.
  class StuckLogFiles final : public platform::FileSystemWrapper {
   public:
    StuckLogFiles() : FileSystemWrapper(platform::FileSystem::Real()) {}
    std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override {
      if (path == ProcessLog().path() && block.load()) {
        entered.store(true);
        while (block.load()) platform::SleepMs(1);
      }
      return target().Open(path, mode);
    }
    std::atomic<bool> block{true};
    std::atomic<bool> entered{false};
  };
  StuckLogFiles files;
  platform::ScopedFacility<platform::FileSystem> use_files(files);
  std::thread writer([] { LogInfo("a line that hangs"); });
  ASSERT_TRUE(test::WaitFor(files.entered));

  WriteFileBytes(CrashReportPath(), Hex("FF FE"));
  const int64_t began = platform::MonotonicMs();
  EXPECT_EQ(RecoverWithoutLink(platform::CrashRestart::kServiceRestart), 1);
  EXPECT_LT(platform::MonotonicMs() - began, 5000);
  EXPECT_EQ(process_.started.size(), 1u);
  EXPECT_EQ(ReadFileBytes(CrashCopyPath()), Hex("FF FE"));

  files.block.store(false);
  writer.join();
}

}  // namespace
}  // namespace orvalinth
