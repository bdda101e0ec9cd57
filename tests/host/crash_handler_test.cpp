// The crash handler's work for one fault, with a fake platform handler whose
// walks deliver the frames a test gives.

#include "host/crash_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "base/fatal_flag.h"
#include "base/paths.h"
#include "crash_text.h"
#include "fake_crash_handler.h"
#include "platform/process.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::FakeCrashHandler;
using test::ReadFileBytes;
using test::ReportLines;
using test::ReportText;

const char kTitle[] = "Orvalinth service v2.10 x64";

std::atomic<int> g_recoveries{0};
std::atomic<int> g_recovery_result{1};
int CountingRecovery() {
  g_recoveries.fetch_add(1);
  return g_recovery_result.load();
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  CrashHandlerTest() : use_handler_(fake_) {
    g_recoveries.store(0);
    g_recovery_result.store(1);
    SetFatalFlag(0);
    platform::FileSystem::Get().RemoveFile(CrashReportPath());
    FakeCrashHandler::Step frame;
    frame.frame.address = 0x140001234;
    frame.frame.module = "OrvalinthSrv";
    frame.frame.file = "C:\\src\\record\\file_scan.cpp";
    frame.frame.line = 131;
    frame.frame.full_name = "orvalinth::CXFileScan::ScanFolder(int)";
    FakeCrashHandler::Step error;
    error.error_call = "SymGetLineFromAddr64";
    error.error_code = 487;
    error.frame.address = 0x7FFB00001000;
    FakeCrashHandler::Step system_frame;
    system_frame.frame.address = 0x7FFB00001000;
    system_frame.frame.module = "ntdll";
    system_frame.frame.raw_name = "RtlUserThreadStart";
    fake_.steps = {frame, error, system_frame};
  }
  ~CrashHandlerTest() override {
    UninstallCrashHandler();
    SetFatalFlag(0);
    platform::FileSystem::Get().RemoveFile(CrashReportPath());
  }

  static platform::FaultInfo Fault(uint64_t address = 0x140001234) {
    platform::FaultInfo fault;
    fault.address = address;
    fault.code = 0xC0000005;
    return fault;
  }
  static std::string Report() { return ReportText(ReadFileBytes(CrashReportPath())); }

  FakeCrashHandler fake_;
  platform::ScopedFacility<platform::CrashHandler> use_handler_;
};

TEST_F(CrashHandlerTest, InstallationBuildsThePathAndHeaderAndInstallsTheFilter) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, &CountingRecovery));
  EXPECT_EQ(fake_.installs, 1);
  EXPECT_EQ(fake_.installed, &HandleFault);
  // Nothing is written until there is something to report.
  EXPECT_FALSE(test::FileExists(CrashReportPath()));
  ReportWrite("x\r\n");
  const std::string text = Report();
  EXPECT_EQ(text.find(std::string(kTitle) + "\r\n" + test::N(ExecutablePath()) + "\r\n"), 0u) << text;
}

TEST_F(CrashHandlerTest, ARefusedInstallationIsReported) {
  fake_.install_result = false;
  EXPECT_FALSE(InstallCrashHandler(u"error-log.txt", kTitle, 0, nullptr));
}

TEST_F(CrashHandlerTest, ReportWriteWithoutInstallationWritesNothing) {
  ReportWrite("lost\r\n");
  EXPECT_FALSE(test::FileExists(CrashReportPath()));
}

TEST_F(CrashHandlerTest, AFaultIsReportedThenRecoveredAndTheProcessEnds) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, &CountingRecovery));
  fake_.during_walk = [] { EXPECT_EQ(FatalFlag(), 1); };  // raised when the report starts
  EXPECT_EQ(HandleFault(Fault()), platform::FaultAction::kEndProcess);
  EXPECT_EQ(g_recoveries.load(), 1);
  EXPECT_EQ(fake_.walked_faults, std::vector<uint64_t>{0x140001234});

  const std::vector<std::string> lines = ReportLines(Report());
  ASSERT_EQ(lines.size(), 11u) << Report();
  EXPECT_EQ(lines[0], std::string(kTitle) + "\r\n");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n"))) << lines[4];
  EXPECT_TRUE(std::regex_match(lines[5], std::regex("exception at 0000000140001234 - C0000005 \\d+\\.\\d\\d/\\d+\\.\\d\\d\r\n")))
      << lines[5];
  EXPECT_EQ(lines[6], "0000000140001234 C:\\src\\record\\file_scan.cpp (131): orvalinth::CXFileScan::ScanFolder(int)\r\n");
  EXPECT_EQ(lines[7], "ERROR: SymGetLineFromAddr64, GetLastError: 487 (Address: 00007FFB00001000)\r\n");
  EXPECT_EQ(lines[8], "00007FFB00001000 (ntdll): -: RtlUserThreadStart\r\n");
  EXPECT_EQ(lines[9], ".\r\n");
  EXPECT_EQ(lines[10], "\r\n");
}

TEST_F(CrashHandlerTest, WithoutARecoveryTheFaultTakesItsNormalCourse) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, nullptr));
  EXPECT_EQ(HandleFault(Fault()), platform::FaultAction::kDefault);
  EXPECT_EQ(FatalFlag(), 1);
  EXPECT_NE(Report().find("exception at"), std::string::npos);
}

TEST_F(CrashHandlerTest, ARecoveryThatCouldNotRestartLeavesTheFaultToTheSystem) {
  g_recovery_result.store(0);
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, &CountingRecovery));
  EXPECT_EQ(HandleFault(Fault()), platform::FaultAction::kDefault);
  EXPECT_EQ(g_recoveries.load(), 1);
}

TEST_F(CrashHandlerTest, TheShowMessageFlagShowsTheReportPathInsteadOfRecovering) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 1, &CountingRecovery));
  EXPECT_EQ(HandleFault(Fault()), platform::FaultAction::kEndProcess);
  EXPECT_EQ(g_recoveries.load(), 0);
  ASSERT_EQ(fake_.messages.size(), 1u);
  EXPECT_EQ(fake_.messages[0], "A fatal error have occured.\nPlease send the log file:\n" +
                                   test::N(CrashReportPath()) + "\nto support@orvalinth.example");
  EXPECT_NE(Report().find("exception at"), std::string::npos);
}

TEST_F(CrashHandlerTest, TwoFaultingThreadsWriteTheirReportsOneAfterTheOther) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, nullptr));
  // Each walk step gives the other thread time to barge in, were there no lock.
  fake_.during_walk = [] { platform::SleepMs(5); };
  std::thread first([] { HandleFault(Fault(0x1111)); });
  std::thread second([] { HandleFault(Fault(0x2222)); });
  first.join();
  second.join();
  const std::vector<std::string> lines = ReportLines(Report());
  ASSERT_EQ(lines.size(), 5u + 2 * 6u) << Report();
  for (size_t start : {5u, 11u}) {
    EXPECT_EQ(lines[start].find("exception at "), 0u) << lines[start];
    EXPECT_EQ(lines[start + 1].find("0000000140001234 C:\\src"), 0u);
    EXPECT_EQ(lines[start + 2].find("ERROR: "), 0u);
    EXPECT_EQ(lines[start + 3].find("00007FFB00001000 (ntdll)"), 0u);
    EXPECT_EQ(lines[start + 4], ".\r\n");
    EXPECT_EQ(lines[start + 5], "\r\n");
  }
}

TEST_F(CrashHandlerTest, AFaultInsideTheHandlerIsLeftToTheSystem) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, &CountingRecovery));
  platform::FaultAction nested = platform::FaultAction::kEndProcess;
  bool once = false;
  fake_.during_walk = [&] {
    if (once) return;
    once = true;
    nested = HandleFault(Fault(0x3333));  // the walk itself faults
  };
  EXPECT_EQ(HandleFault(Fault()), platform::FaultAction::kEndProcess);
  EXPECT_EQ(nested, platform::FaultAction::kDefault);
  EXPECT_EQ(g_recoveries.load(), 1);
  EXPECT_EQ(Report().find("0000000000003333"), std::string::npos) << Report();
}

TEST_F(CrashHandlerTest, ReinstallingStartsANewReportFile) {
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", kTitle, 0, nullptr));
  ReportWrite("first\r\n");
  ASSERT_TRUE(InstallCrashHandler(u"error-log.txt", "Another title", 0, nullptr));
  ReportWrite("second\r\n");
  const std::string text = Report();
  EXPECT_EQ(text.find("Another title\r\n"), 0u) << text;
  EXPECT_EQ(text.find("first"), std::string::npos) << text;
}

}  // namespace
}  // namespace orvalinth
