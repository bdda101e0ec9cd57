#include "host/run_program.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempFolder;

// A copy of the service executable in its own folder, so that its log lands there.
std::u16string CopyOfService(const TempFolder& dir) {
  const std::u16string exe = dir / u"OrvalinthSrv.exe";
  EXPECT_TRUE(platform::FileSystem::Real().CopyFileTo(test::ServiceExecutable(), exe, false));
  return exe;
}

TEST(RunProgram, WaitModeReturnsWhenTheProgramHasEnded) {
  TempFolder dir;
  const std::u16string exe = CopyOfService(dir);
  EXPECT_TRUE(RunProgram(exe, u"-bogus \"two words\"", RunProgramMode::kWait));
  // The quoted program path and the arguments arrive as the program's own command line.
  EXPECT_NE(ReadFileBytes(dir / u"OrvalinthSrv.log").find("Error: invalid param -bogus"), std::string::npos);
}

TEST(RunProgram, DetachedModeReturnsAtOnce) {
  TempFolder dir;
  const std::u16string exe = CopyOfService(dir);
  EXPECT_TRUE(RunProgram(exe, u"-nonsense", RunProgramMode::kDetached));
  const int64_t deadline = platform::MonotonicMs() + 20000;
  while (!FileExists(dir / u"OrvalinthSrv.log") && platform::MonotonicMs() < deadline) platform::SleepMs(20);
  // The line is complete once the file is there: wait for its line end.
  while (ReadFileBytes(dir / u"OrvalinthSrv.log").find('\n') == std::string::npos &&
         platform::MonotonicMs() < deadline) {
    platform::SleepMs(20);
  }
  EXPECT_NE(ReadFileBytes(dir / u"OrvalinthSrv.log").find("Error: invalid param -nonsense"), std::string::npos);
}

TEST(RunProgram, AProgramThatCannotStartIsReported) {
  TempFolder dir;
  EXPECT_FALSE(RunProgram(dir / u"missing.exe", u"-x", RunProgramMode::kWait));
  EXPECT_FALSE(RunProgram(dir / u"missing.exe", u"-x", RunProgramMode::kDetached));
  // In replace mode a failed start returns, and this process keeps running.
  EXPECT_FALSE(RunProgram(dir / u"missing.exe", u"-x", RunProgramMode::kReplace));
}

}  // namespace
}  // namespace orvalinth
