// The host build started without arguments is the service process the way
// systemd runs a daemon: in the foreground until SIGTERM or SIGINT, then exit
// code 0, with the same log lines as the Windows service.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "e2e_support.h"
#include "host_daemon.h"
#include "host_process.h"
#include "loopback_listener.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 20000;  // the sanitizer build starts slowly on a busy machine

class DaemonMode : public HostDaemonTest {
 protected:
  DaemonMode() : HostDaemonTest("daemon", HostExecutable()) {}

  // The settings with the test's listener as the console.
  void WriteSettings() {
    ASSERT_TRUE(listener_.ok());
    HostDaemonTest::WriteSettings(listener_.port());
  }
  // Waits for the end of the daemon; its exit code.
  int Exit() {
    int code = -1;
    EXPECT_TRUE(WaitForExit(daemon_, kWaitMs, &code)) << "still running";
    daemon_ = -1;
    return code;
  }

  LoopbackListener listener_;
};

const Lines kRunAndStop = {"Service started", "Orvalinth started", "stopping service...", "Orvalinth finished",
                           "Service stopped"};

TEST_F(DaemonMode, RunsUntilSigtermAndExitsZero) {
  WriteSettings();
  StartDaemon();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs)) << Joined(LogLines(Log()));
  // Still running a while later: nothing but the signal ends it.
  int code = 0;
  EXPECT_FALSE(WaitForExit(daemon_, 200, &code));
  kill(daemon_, SIGTERM);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
  EXPECT_TRUE(InOrder(LogLines(Log()), {"Waiting for server 127.0.0.1:" + std::to_string(listener_.port()),
                                        "connecting to server...", "stopping service..."}))
      << Joined(LogLines(Log()));
  EXPECT_EQ(ReadWholeFile(DaemonOutput()), "");
}

TEST_F(DaemonMode, SigintStopsItLikeSigterm) {
  WriteSettings();
  StartDaemon();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs));
  kill(daemon_, SIGINT);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
}

TEST_F(DaemonMode, MoreSignalsWhileStoppingChangeNothing) {
  WriteSettings();
  StartDaemon();
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs));
  for (int i = 0; i < 5; ++i) kill(daemon_, i % 2 == 0 ? SIGTERM : SIGINT);
  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(WithoutConnectLines(LogLines(Log())), kRunAndStop);
}

TEST_F(DaemonMode, WithoutSettingsItStopsByItselfWithExitCodeZero) {
  StartDaemon();
  EXPECT_EQ(Exit(), 0);
  const std::string settings = AgentPath(folder_ + "/OrvalinthSrv.ini");
  EXPECT_EQ(LogLines(Log()), (Lines{"Service started", "Error: Cannot open file", "[" + settings + "] [error:2]",
                                    "app start failed", "stopping service...", "Orvalinth finished",
                                    "Service stopped"}));
}

}  // namespace
}  // namespace orvalinth::e2e
