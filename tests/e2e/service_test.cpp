// The real OrvalinthSrv.exe as a Windows service under Wine: installed,
// started, stopped and removed by its own options through Wine's service
// control manager, checked with the manager's and the registry's own tools
// (sc, reg) and the program's log.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "e2e_support.h"
#include "host_process.h"
#include "loopback_listener.h"
#include "wine_prefix.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr char kFolder[] = "C:\\Program Files\\Orvalinth\\";
constexpr char kExe[] = "C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe";
constexpr int kLogWaitMs = 15000;

class WineService : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    if (WindowsExecutable().empty()) return;
    console_ = new LoopbackListener();
    prefix_ = new WinePrefix("service");
    if (!prefix_->ok()) return;
    // The program folder as the installation makes it: the executable, its
    // settings (written per test) and the data folder.
    std::error_code error;
    fs::create_directories(prefix_->HostPath(kFolder) + "data", error);
    fs::copy_file(WindowsExecutable(), prefix_->HostPath(kExe), fs::copy_options::overwrite_existing, error);
  }
  static void TearDownTestSuite() {
    if (prefix_ != nullptr && prefix_->ok()) RemoveService();
    delete prefix_;  // ends the prefix's server and removes the copy
    prefix_ = nullptr;
    delete console_;
    console_ = nullptr;
  }

 protected:
  void SetUp() override {
    ASSERT_FALSE(WindowsExecutable().empty())
        << "no win64 OrvalinthSrv.exe: give --exe=PATH or set ORVALINTH_E2E_EXE";
    ASSERT_TRUE(prefix_->ok()) << prefix_->error();
    ASSERT_TRUE(console_->ok());
    fs::remove(LogPath());
    WriteSettings();
  }
  void TearDown() override { RemoveService(); }

  static std::string LogPath() { return prefix_->HostPath(std::string(kFolder) + "OrvalinthSrv.log"); }
  static std::string SettingsPath() { return prefix_->HostPath(std::string(kFolder) + "OrvalinthSrv.ini"); }
  static void WriteSettings() {
    WriteWholeFile(SettingsPath(), "ServerAddr:127.0.0.1\r\nServerPort:" + std::to_string(console_->port()) + "\r\n");
  }

  // Runs the program with one option; the option's work is done when it returns.
  static void Program(const std::string& option) {
    const SXRun run = prefix_->Wine({kExe, option});
    EXPECT_EQ(run.exit_code, 0) << option << ": " << run.output;
  }
  static Lines Log() { return LogLines(LogPath()); }
  // The log lines from number `from` on.
  static Lines LogFrom(size_t from) {
    const Lines all = Log();
    return from < all.size() ? Lines(all.begin() + static_cast<long>(from), all.end()) : Lines();
  }
  static bool WaitForLog(const std::string& line, size_t after = 0) {
    return WaitForLogLine(LogPath(), line, kLogWaitMs, after);
  }

  // The state word of "sc query" ("RUNNING", "STOPPED", ...); empty when the
  // service does not exist.
  // The service's state, "" when it does not exist. Wine now and then dies
  // while it starts a program: a query that gave neither a state nor error
  // 1060 (no such service) is asked again.
  static std::string State() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const SXRun run = prefix_->Wine({"sc", "query", "OrvalinthSrv"});
      std::smatch match;
      if (run.exit_code == 0 && std::regex_search(run.output, match, std::regex("STATE *: *\\d+ +([A-Z_]+)"))) {
        return match[1];
      }
      if (run.output.find("1060") != std::string::npos) break;
    }
    return std::string();
  }

  // Stops and deletes the service with the manager's own tool, so that the
  // next test starts without it whatever the program under test did.
  static void RemoveService() {
    if (State().empty()) return;
    prefix_->Wine({"sc", "stop", "OrvalinthSrv"});
    const long long end = NowMs() + kLogWaitMs;
    while (State() != "STOPPED" && NowMs() < end) SleepMs(100);
    prefix_->Wine({"sc", "delete", "OrvalinthSrv"});
  }

  void RegisterAndStart() {
    Program("-register");
    Program("-start");
    ASSERT_TRUE(WaitForLog("Orvalinth started")) << Joined(Log());
  }

  static WinePrefix* prefix_;
  static LoopbackListener* console_;
};

WinePrefix* WineService::prefix_ = nullptr;
LoopbackListener* WineService::console_ = nullptr;

TEST_F(WineService, RegisterInstallsTheServiceWithItsIdentity) {
  Program("-register");
  EXPECT_EQ(Log(), (Lines{"Installing service...", "Service installed"}));
  EXPECT_EQ(State(), "STOPPED");

  const SXRun reg = prefix_->Wine({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OrvalinthSrv"});
  ASSERT_EQ(reg.exit_code, 0) << reg.output;
  for (const char* value : {"Description    REG_SZ    Orvalinth remote scan client",
                            "DisplayName    REG_SZ    Orvalinth Service", "ErrorControl    REG_DWORD    0x0",
                            "ImagePath    REG_SZ    \"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe\"",
                            "ObjectName    REG_SZ    LocalSystem", "Start    REG_DWORD    0x2",
                            "Type    REG_DWORD    0x10"}) {
    EXPECT_NE(reg.output.find(value), std::string::npos) << value << "\n" << reg.output;
  }
}

TEST_F(WineService, StartRunsARealServiceAndStopEndsIt) {
  Program("-register");
  const size_t start = Log().size();
  Program("-start");
  EXPECT_EQ(State(), "RUNNING");
  // The agent goes on to the suite's listener, which takes the connection
  // and never greets; wait for that so the stop's lines come after it.
  ASSERT_TRUE(WaitForLog("connecting to server...", start)) << Joined(LogFrom(start));
  // The "-start" command and the service write at the same time: each one's
  // lines keep their order, the two interleave as they come.
  const Lines from_start = LogFrom(start);
  const Lines command{"Starting Orvalinth service ...", "Service started"};
  const Lines service{"Orvalinth started", "Waiting for server 127.0.0.1:" + std::to_string(console_->port()),
                      "connecting to server..."};
  Lines expected = command;
  expected.insert(expected.end(), service.begin(), service.end());
  EXPECT_TRUE(std::is_permutation(from_start.begin(), from_start.end(), expected.begin(), expected.end()))
      << Joined(from_start);
  EXPECT_LT(std::find(from_start.begin(), from_start.end(), command[0]),
            std::find(from_start.begin(), from_start.end(), command[1]));
  EXPECT_LT(std::find(from_start.begin(), from_start.end(), service[1]),
            std::find(from_start.begin(), from_start.end(), service[2]));

  const size_t stop = Log().size();
  Program("-stop");
  EXPECT_EQ(State(), "STOPPED");
  ASSERT_TRUE(WaitForLog("Service stopped", stop));
  // The control's line, then the service's own stop.
  EXPECT_EQ(WithoutConnectLines(LogFrom(stop)),
            (Lines{"stopping service...", "stopping service...", "Orvalinth finished", "Service stopped"}));

  const size_t remove = Log().size();
  Program("-unregister");
  EXPECT_EQ(State(), "");
  EXPECT_EQ(LogFrom(remove), (Lines{"Uninstall service...", "Service uninstalled"}));
}

TEST_F(WineService, RegisterTwiceReinstallsStoppingTheRunningService) {
  RegisterAndStart();
  const size_t again = Log().size();
  Program("-register");
  ASSERT_TRUE(WaitForLog("Service stopped", again));
  const Lines lines = LogFrom(again);
  // The two processes write into one log: each one's lines keep their order.
  EXPECT_TRUE(InOrder(lines, {"Installing service...", "warning: service already exists", "Uninstall service...",
                              "Service uninstalled", "installing service...", "Service installed"}))
      << Joined(lines);
  EXPECT_TRUE(InOrder(lines, {"Uninstall service...", "stopping service...", "Orvalinth finished", "Service stopped"}))
      << Joined(lines);
  EXPECT_EQ(State(), "STOPPED");  // installed anew, not started
}

TEST_F(WineService, UnregisterStopsARunningServiceFirst) {
  RegisterAndStart();
  const size_t remove = Log().size();
  Program("-unregister");
  EXPECT_EQ(State(), "");
  ASSERT_TRUE(WaitForLog("Service stopped", remove));
  const Lines lines = LogFrom(remove);
  EXPECT_TRUE(InOrder(lines, {"Uninstall service...", "stopping service...", "Orvalinth finished",
                              "Service uninstalled"}))
      << Joined(lines);
}

TEST_F(WineService, StopOfAStoppedServiceFails) {
  Program("-register");
  const size_t stop = Log().size();
  Program("-stop");
  EXPECT_EQ(LogFrom(stop), (Lines{"stopping service...", "Error: stopping service failed - error code 1062"}));
  EXPECT_EQ(State(), "STOPPED");
}

TEST_F(WineService, OptionsWithoutTheService) {
  Program("-start");
  Program("-stop");
  Program("-unregister");
  EXPECT_EQ(Log(), (Lines{"Starting Orvalinth service ...", "Error: cannot open service - service does not exist",
                          "stopping service...", "Error: cannot open service - service does not exist",
                          "Uninstall service...", "Error: cannot open service - service does not exist"}));
}

TEST_F(WineService, AMissingSettingsFileStopsTheServiceAtOnce) {
  fs::remove(SettingsPath());
  Program("-register");
  const size_t start = Log().size();
  Program("-start");
  ASSERT_TRUE(WaitForLog("Service stopped", start)) << Joined(Log());
  Lines lines = LogFrom(start);
  // The service reports running before it reads its settings, so -start may
  // see it running, or already on its way to stopped and then say so.
  lines.erase(std::remove(lines.begin(), lines.end(), "Error: starting service failed - error code 0"), lines.end());
  EXPECT_EQ(lines,
            (Lines{"Starting Orvalinth service ...", "Service started", "Error: Cannot open file",
                   "[C:\\Program Files\\Orvalinth\\OrvalinthSrv.ini] [error:2]", "app start failed",
                   "stopping service...", "Orvalinth finished", "Service stopped"}));
  const long long end = NowMs() + kLogWaitMs;
  while (State() != "STOPPED" && NowMs() < end) SleepMs(100);
  EXPECT_EQ(State(), "STOPPED");
}

TEST_F(WineService, RestartStopsAndStartsTheService) {
  RegisterAndStart();
  const size_t restart = Log().size();
  const long long began = NowMs();
  Program("-restart");
  EXPECT_GE(NowMs() - began, 5000);  // it always waits 5 s first
  EXPECT_EQ(State(), "RUNNING");
  ASSERT_TRUE(WaitForLog("Orvalinth started", restart));
  const Lines lines = LogFrom(restart);
  EXPECT_TRUE(InOrder(lines, {"stopping service...", "stopping service...", "Orvalinth finished", "Service stopped",
                              "Service started", "Orvalinth started"}))
      << Joined(lines);
  EXPECT_TRUE(InOrder(lines, {"stopping service...", "Starting Orvalinth service ...", "Service started"}))
      << Joined(lines);
}

// Started by hand, the dispatcher finds no service manager waiting for it.
TEST_F(WineService, StartedByHandWithoutArgumentsItExitsAndWritesNothing) {
  const SXRun run = prefix_->Wine({kExe}, 60);
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_FALSE(fs::exists(LogPath())) << Joined(Log());
}

}  // namespace
}  // namespace orvalinth::e2e
