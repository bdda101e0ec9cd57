// The platform's crash handler for real: the stack walk of this very test,
// and faults on purpose in child processes (death tests), which report,
// recover and end as the service's handler does.

#include "platform/crash_handler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "crash_text.h"
#include "host/crash_flag.h"
#include "host/crash_handler.h"
#include "host/crash_report.h"
#include "host/paths.h"
#include "platform/console.h"
#include "platform/process.h"
#include "test_support.h"

// Functions the walks must find by name: outside any anonymous namespace,
// never inlined and never left by a tail call, so that each keeps a frame.
namespace orvalinth::crash_probe {

struct Lines final : platform::StackSink {
  void Frame(const platform::StackFrame& frame) override { lines.push_back(FrameLine(frame)); }
  void Error(const char* call, uint32_t code, uint64_t address) override {
    lines.push_back(WalkerErrorLine(call, code, address));
  }
  std::vector<std::string> lines;
};

volatile int g_after_call = 0;

__attribute__((noinline)) void WalkFromProbe(platform::StackSink& sink) {
  platform::CrashHandlers::Get().WalkHere(sink);
  g_after_call = g_after_call + 1;
}

__attribute__((noinline)) void CallerOfProbe(platform::StackSink& sink) {
  WalkFromProbe(sink);
  g_after_call = g_after_call + 1;
}

// A real access violation, which the sanitizers must not turn into a report of their own.
__attribute__((noinline, no_sanitize("address", "undefined"))) void FaultOnPurpose() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
  g_after_call = g_after_call + 1;
}

}  // namespace orvalinth::crash_probe

namespace orvalinth {
namespace {

constexpr char kTitle[] = "Orvalinth service v2.10 x64";

bool NamesProbe(const std::vector<std::string>& lines, const std::string& probe) {
  for (const std::string& line : lines) {
    if (testing::IsFrameLine(line) && line.find(probe) != std::string::npos) return true;
  }
  return false;
}

TEST(PlatformCrashHandler, WalkHereNamesTheCallersInTheReportsLineFormats) {
  crash_probe::Lines sink;
  crash_probe::CallerOfProbe(sink);
  ASSERT_FALSE(sink.lines.empty());
  std::string all;
  for (const std::string& line : sink.lines) {
    all += line;
    EXPECT_TRUE(testing::IsStackLine(line)) << line;
  }
  EXPECT_TRUE(NamesProbe(sink.lines, "WalkFromProbe")) << all;
  EXPECT_TRUE(NamesProbe(sink.lines, "CallerOfProbe")) << all;
}

TEST(PlatformCrashHandler, TheServiceRestartsAsThePlatformCan) {
#ifdef _WIN32
  EXPECT_EQ(platform::CrashRestartStyle(), platform::CrashRestart::kServiceRestart);
#else
  EXPECT_EQ(platform::CrashRestartStyle(), platform::CrashRestart::kReplaceProcess);
#endif
}

// The recovery of the child processes below: it checks the report that the
// handler has just written, shows it on standard error for the parent, and
// ends the child with a code that says what was wrong (0: nothing).
int CheckReportAndEnd() {
  const std::string text = testing::ReportText(testing::ReadFileBytes(CrashReportPath()));
  platform::WriteStderr(text);
  const std::vector<std::string> lines = testing::ReportLines(text);
  int wrong = 0;
  if (FatalFlag() != 1) wrong |= 1;
  if (lines.size() < 9 || lines[0] != std::string(kTitle) + "\r\n" ||
      lines[1] != testing::N(ExecutablePath()) + "\r\n") {
    wrong |= 2;
  }
  size_t body = 0;
  while (body < lines.size() && lines[body].rfind("exception at ", 0) != 0) ++body;
  if (body + 3 >= lines.size()) {
    wrong |= 4;
  } else {
    const std::vector<std::string> stack(lines.begin() + static_cast<long>(body) + 1, lines.end() - 2);
    for (const std::string& line : stack) {
      if (!testing::IsStackLine(line)) wrong |= 8;
    }
    if (!NamesProbe(stack, "FaultOnPurpose")) wrong |= 16;
    if (lines[lines.size() - 2] != ".\r\n" || lines.back() != "\r\n") wrong |= 32;
  }
  platform::EndProcessNow(wrong);
}

void FaultOnAnotherThread() {
  std::thread faulting([] { crash_probe::FaultOnPurpose(); });
  faulting.join();
}

using PlatformCrashHandlerDeathTest = ::testing::Test;

TEST_F(PlatformCrashHandlerDeathTest, AFaultOnAnotherThreadIsReportedThenRecovered) {
  EXPECT_EXIT(
      {
        InstallCrashHandler(u"error-log.txt", kTitle, 0, &CheckReportAndEnd);
        FaultOnAnotherThread();
      },
      ::testing::ExitedWithCode(0), "exception at");
}

TEST_F(PlatformCrashHandlerDeathTest, WithoutARecoveryTheProcessDiesOfTheFault) {
#ifdef _WIN32
  const auto died = ::testing::ExitedWithCode(static_cast<int>(0xC0000005));
#else
  const auto died = ::testing::KilledBySignal(SIGSEGV);
#endif
  EXPECT_EXIT(
      {
        InstallCrashHandler(u"error-log.txt", kTitle, 0, nullptr);
        FaultOnAnotherThread();
      },
      died, "");
}

TEST_F(PlatformCrashHandlerDeathTest, AnAbortIsAFatalFaultToo) {
  EXPECT_EXIT(
      {
        InstallCrashHandler(u"error-log.txt", kTitle, 0, [] {
          const std::string text = testing::ReportText(testing::ReadFileBytes(CrashReportPath()));
          platform::WriteStderr(text);
          platform::EndProcessNow(text.find("exception at ") != std::string::npos ? 0 : 1);
          return 1;
        });
        std::thread([] { std::abort(); }).join();
      },
      ::testing::ExitedWithCode(0), "exception at");
}

}  // namespace
}  // namespace orvalinth
