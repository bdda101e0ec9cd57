// The service entry, the control handler and the stop event, with the entry
// hosted by the emulated service manager the way the real manager runs it.

#include "host/service_runtime.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/program.h"
#include "host/service_control.h"
#include "platform/errors.h"
#include "service_fixture.h"

namespace orvalinth {
namespace {

using test::kService;
using Lines = std::vector<std::string>;
using States = std::vector<uint32_t>;

constexpr int kWaitMs = 10000;  // for a thread to get somewhere; normally a few milliseconds

const uint32_t kStartPending = platform::kServiceStartPending;
const uint32_t kRunning = platform::kServiceRunning;
const uint32_t kStopPending = platform::kServiceStopPending;
const uint32_t kStopped = platform::kServiceStopped;

class ServiceRuntimeTest : public test::ServiceTest {
 protected:
  ServiceRuntimeTest() {
    manager_.Host(kService, &ServiceMain);
    CXServiceControl::Timing timing;
    timing.poll_interval_ms = 20;  // the client stops within one 500 ms sleep
    control_ = std::make_unique<CXServiceControl>(timing);
    EXPECT_EQ(control_->Install(CXServiceControl::kDescription), 1);
    MarkLog();
  }

  // Starts the service the way the manager does, without waiting.
  void StartService() {
    std::unique_ptr<platform::ServiceDatabase> database;
    std::unique_ptr<platform::Service> service;
    ASSERT_TRUE(manager_.OpenManager(platform::kScManagerConnect, &database));
    ASSERT_TRUE(database->Open(kService, platform::kServiceStart, &service));
    ASSERT_TRUE(service->Start());
  }
  // Sends a control through the manager; the status the service reported.
  platform::ServiceStatus Send(uint32_t control) {
    std::unique_ptr<platform::ServiceDatabase> database;
    std::unique_ptr<platform::Service> service;
    platform::ServiceStatus status;
    EXPECT_TRUE(manager_.OpenManager(platform::kScManagerConnect, &database));
    EXPECT_TRUE(database->Open(kService, platform::kServiceAllAccess, &service));
    EXPECT_TRUE(service->Control(control, &status)) << platform::LastError();
    return status;
  }
  void WaitUntilTheApplicationRuns() {
    ASSERT_TRUE(WaitForLogLine("Orvalinth started", kWaitMs));
    ASSERT_TRUE(manager_.WaitForState(kService, kRunning, kWaitMs));
  }

  std::unique_ptr<CXServiceControl> control_;
};

TEST_F(ServiceRuntimeTest, StartAndStopThroughTheManager) {
  WriteSettings();
  EXPECT_EQ(control_->Start(), 1);
  WaitUntilTheApplicationRuns();
  EXPECT_EQ(control_->Stop(), 1);
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));

  EXPECT_EQ(manager_.ReportedStates(kService), (States{kStartPending, kRunning, kStopPending, kStopPending, kStopped}));
  EXPECT_EQ(NewLogLines(), (Lines{"Starting Orvalinth service ...", "Service started", "Orvalinth started",
                                  "stopping service...", "stopping service...", "Orvalinth finished",
                                  "Service stopped"}));
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, kStopped);
  EXPECT_EQ(status.win32_exit_code, 0u);  // it reported its stop itself
  EXPECT_EQ(status.type, platform::kServiceWin32);
}

TEST_F(ServiceRuntimeTest, RunningAcceptsStopAndShutdown) {
  WriteSettings();
  StartService();
  WaitUntilTheApplicationRuns();
  const platform::ServiceStatus status = Send(platform::kServiceControlInterrogate);
  EXPECT_EQ(status.state, kRunning);
  EXPECT_EQ(status.controls_accepted, platform::kServiceAcceptStop | platform::kServiceAcceptShutdown);
  EXPECT_EQ(status.checkpoint, 0u);
  EXPECT_EQ(status.wait_hint, 0u);
  // The interrogation was answered with the status unchanged, and the service runs on.
  EXPECT_EQ(manager_.ReportedStates(kService), (States{kStartPending, kRunning, kRunning}));
  EXPECT_FALSE(manager_.WaitForState(kService, kStopPending, 50));

  // The handler reports stop pending at once; the entry may be stopped already
  // by the time the manager answers.
  const uint32_t state = Send(platform::kServiceControlStop).state;
  EXPECT_TRUE(state == kStopPending || state == kStopped) << state;
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_EQ(manager_.ReportedStates(kService),
            (States{kStartPending, kRunning, kRunning, kStopPending, kStopPending, kStopped}));
}

TEST_F(ServiceRuntimeTest, ShutdownStopsTheServiceLikeStop) {
  WriteSettings();
  StartService();
  WaitUntilTheApplicationRuns();
  // The manager delivers a shutdown only at system shutdown: call the handler
  // as its dispatcher would.
  ServiceCtrlHandler(platform::kServiceControlShutdown);
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_EQ(manager_.ReportedStates(kService), (States{kStartPending, kRunning, kStopPending, kStopPending, kStopped}));
  EXPECT_EQ(NewLogLines().back(), "Service stopped");
}

TEST_F(ServiceRuntimeTest, SignalStopEndsTheService) {
  WriteSettings();
  StartService();
  WaitUntilTheApplicationRuns();
  SignalStop();  // what the console's "uninstall" does
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_EQ(manager_.ReportedStates(kService), (States{kStartPending, kRunning, kStopPending, kStopped}));
  EXPECT_EQ(NewLogLines(), (Lines{"Service started", "Orvalinth started", "stopping service...",
                                  "Orvalinth finished", "Service stopped"}));
}

TEST_F(ServiceRuntimeTest, AMissingSettingsFileStopsTheServiceNormally) {
  StartService();
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_EQ(manager_.ReportedStates(kService), (States{kStartPending, kRunning, kStopPending, kStopped}));
  const std::string missing = test::N(SettingsPath());
  EXPECT_EQ(NewLogLines(), (Lines{"Service started", "Error: Cannot open file", "[" + missing + "] [error:2]",
                                  "app start failed", "stopping service...", "Orvalinth finished",
                                  "Service stopped"}));
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, kStopped);
  EXPECT_EQ(status.win32_exit_code, 0u);
}

TEST_F(ServiceRuntimeTest, AStopWhileTheApplicationStartsIsNotLost) {
  WriteSettings();
  // The stop comes as soon as the service runs, while the application is
  // still starting: the event is set before the entry waits for it.
  std::thread entry([] { ServiceMain(); });
  ASSERT_TRUE(manager_.WaitForState(kService, kRunning, kWaitMs));
  ServiceCtrlHandler(platform::kServiceControlStop);
  entry.join();
  EXPECT_EQ(manager_.ReportedStates(kService).back(), kStopped);
  EXPECT_EQ(NewLogLines().back(), "Service stopped");
}

TEST_F(ServiceRuntimeTest, AnEntryWithoutItsServiceCannotRegister) {
  ASSERT_EQ(control_->Uninstall(true), 1);
  MarkLog();
  ServiceMain();  // the manager knows no "OrvalinthSrv"
  EXPECT_EQ(NewLogLines(), Lines{"Error: service start failed - cannot register handler"});
  EXPECT_TRUE(manager_.ReportedStates(kService).empty());
}

TEST_F(ServiceRuntimeTest, NotStartedAsAServiceTheProcessWritesNothing) {
  platform::SetLastError(0);
  EXPECT_FALSE(RunServiceDispatcher());
  EXPECT_EQ(platform::LastError(), platform::kErrorFailedServiceControllerConnect);
  // The program without arguments: exit code 0, no line.
  test::test_process().set_arguments({u"OrvalinthSrv.exe"});
  EXPECT_EQ(ProgramMain({"OrvalinthSrv.exe"}, RealProgramActions()), 0);
  EXPECT_TRUE(NewLogLines().empty());
}

}  // namespace
}  // namespace orvalinth
