// The host build started without arguments is the service process the way
// systemd runs a daemon: in the foreground until SIGTERM or SIGINT, then exit
// code 0, with the same log lines as the Windows service.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "e2e_support.h"
#include "host_process.h"
#include "loopback_listener.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 20000;  // the sanitizer build starts slowly on a busy machine

class DaemonMode : public ::testing::Test {
 protected:
  DaemonMode() {
    folder_ = std::string(ORVALINTH_E2E_WORK) + "/daemon-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/data");
    fs::copy_file(HostExecutable(), Program());
  }
  ~DaemonMode() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int code = 0;
      WaitForExit(pid_, kWaitMs, &code);
    }
    fs::remove_all(folder_);
  }

  std::string Program() const { return folder_ + "/OrvalinthSrv"; }
  std::string Log() const { return folder_ + "/OrvalinthSrv.log"; }
  void WriteSettings() {
    ASSERT_TRUE(console_.ok());
    WriteWholeFile(folder_ + "/OrvalinthSrv.ini",
                   "ServerAddr:127.0.0.1\nServerPort:" + std::to_string(console_.port()) + "\n");
  }
  void Start() {
    SXCommand command;
    command.argv = {Program()};
    command.directory = folder_;
    command.output_path = folder_ + "/output.txt";
    pid_ = StartCommand(command);
    ASSERT_GT(pid_, 0);
  }
  // Waits for the end of the process; its exit code.
  int Exit() {
    int code = -1;
    EXPECT_TRUE(WaitForExit(pid_, kWaitMs, &code)) << "still running";
    pid_ = -1;
    return code;
  }

  LoopbackListener console_;
  std::string folder_;
  pid_t pid_ = -1;
};

const Lines kRunAndStop = {"Service started", "Orvalinth started", "stopping service...", "Orvalinth finished",
                           "Service stopped"};

TEST_F(DaemonMode, RunsUntilSigtermAndExitsZero) {
  WriteSettings();
  Start();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs)) << Joined(LogLines(Log()));
  // Still running a while later: nothing but the signal ends it.
  int code = 0;
  EXPECT_FALSE(WaitForExit(pid_, 200, &code));
  kill(pid_, SIGTERM);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
  EXPECT_TRUE(InOrder(LogLines(Log()), {"Waiting for server 127.0.0.1:" + std::to_string(console_.port()),
                                        "connecting to server...", "stopping service..."}))
      << Joined(LogLines(Log()));
  EXPECT_EQ(ReadWholeFile(folder_ + "/output.txt"), "");
}

TEST_F(DaemonMode, SigintStopsItLikeSigterm) {
  WriteSettings();
  Start();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs));
  kill(pid_, SIGINT);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
}

TEST_F(DaemonMode, MoreSignalsWhileStoppingChangeNothing) {
  WriteSettings();
  Start();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs));
  for (int i = 0; i < 5; ++i) kill(pid_, i % 2 == 0 ? SIGTERM : SIGINT);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
}

TEST_F(DaemonMode, WithoutSettingsItStopsByItselfWithExitCodeZero) {
  Start();
  EXPECT_EQ(Exit(), 0);
  std::string settings = "Z:" + folder_ + "/OrvalinthSrv.ini";
  for (char& c : settings) {
    if (c == '/') c = '\\';
  }
  EXPECT_EQ(LogLines(Log()), (Lines{"Service started", "Error: Cannot open file", "[" + settings + "] [error:2]",
                                    "app start failed", "stopping service...", "Orvalinth finished",
                                    "Service stopped"}));
}

}  // namespace
}  // namespace orvalinth::e2e
