// Installing, removing, starting and stopping the service against the
// emulated service manager: the manager's answers and the exact log lines.

#include "host/service_control.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/errors.h"
#include "service_fixture.h"

namespace orvalinth {
namespace {

using platform::EmulatedServiceManager;
using test::kService;
using Lines = std::vector<std::string>;

class ServiceControlTest : public test::ServiceTest {
 protected:
  // The service as installed before the test; its log lines are left out.
  void Installed() {
    ASSERT_EQ(CXServiceControl(FastControl()).Install(CXServiceControl::kDescription), 1);
    MarkLog();
  }
  void Running() {
    ASSERT_EQ(CXServiceControl(FastControl()).Install(CXServiceControl::kDescription), 1);
    ASSERT_EQ(CXServiceControl(FastControl()).Start(), 1);
    MarkLog();
  }
  void SetBehaviour(int start_pending, int stop_pending, bool fails = false) {
    EmulatedServiceManager::Behaviour behaviour;
    behaviour.start_pending_queries = start_pending;
    behaviour.stop_pending_queries = stop_pending;
    behaviour.fails_to_start = fails;
    manager_.SetBehaviour(kService, behaviour);
  }
  uint32_t State() {
    platform::ServiceStatus status;
    return manager_.Status(kService, &status) ? status.state : 0;
  }

  CXServiceControl control_{FastControl()};
};

TEST_F(ServiceControlTest, InstallCreatesTheServiceWithItsIdentity) {
  EXPECT_EQ(control_.Install("Orvalinth remote scan client"), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "Service installed"}));

  platform::ServiceConfig config;
  ASSERT_TRUE(manager_.Config(u"orvalinthsrv", &config));  // names ignore case
  EXPECT_EQ(config.name, u"OrvalinthSrv");
  EXPECT_EQ(config.display_name, u"Orvalinth Service");
  EXPECT_EQ(config.type, 0x10u);        // its own process
  EXPECT_EQ(config.start_type, 2u);     // automatic
  EXPECT_EQ(config.error_control, 0u);  // ignore
  // Quoted, so that a blank in the folder cannot make another program run.
  EXPECT_EQ(config.binary_path, u"\"" + dir_ / u"OrvalinthSrv.exe" + u"\"");
  EXPECT_EQ(config.account, u"");  // LocalSystem
  EXPECT_EQ(config.password, u"");
  EXPECT_EQ(config.load_order_group, u"");
  EXPECT_TRUE(config.dependencies.empty());
  std::u16string description;
  ASSERT_TRUE(manager_.Description(kService, &description));
  EXPECT_EQ(description, u"Orvalinth remote scan client");
  EXPECT_EQ(State(), platform::kServiceStopped);
}

TEST_F(ServiceControlTest, InstallOverAStoppedServiceRecreatesItWithoutAStop) {
  Installed();
  EXPECT_EQ(control_.Install("second"), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "warning: service already exists", "Uninstall service...",
                                  "Service uninstalled", "installing service...", "Service installed"}));
  std::u16string description;
  ASSERT_TRUE(manager_.Description(kService, &description));
  EXPECT_EQ(description, u"second");
  EXPECT_TRUE(manager_.Controls(kService).empty());
}

TEST_F(ServiceControlTest, InstallOverARunningServiceStopsItFirst) {
  Running();
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "warning: service already exists", "Uninstall service...",
                                  "Service uninstalled", "installing service...", "Service installed"}));
  EXPECT_EQ(manager_.Controls(kService), std::vector<uint32_t>{platform::kServiceControlStop});
  EXPECT_EQ(State(), platform::kServiceStopped);
}

TEST_F(ServiceControlTest, AFailedRemovalEndsTheInstallationQuietly) {
  Installed();
  // Rights to create but not to delete: the old service cannot go.
  manager_.SetGrantedRights(platform::kScManagerAllAccess, platform::kServiceAllAccess & ~platform::kServiceDelete);
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "warning: service already exists", "Uninstall service...",
                                  "Error: cannot open service - access denied"}));
  EXPECT_TRUE(manager_.Exists(kService));
}

TEST_F(ServiceControlTest, AServiceThatWillNotStopIsDeletedButBlocksTheNewOne) {
  Running();
  SetBehaviour(1, EmulatedServiceManager::Behaviour::kForever);
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 0);
  EXPECT_EQ(NewLogLines(),
            (Lines{"Installing service...", "warning: service already exists", "Uninstall service...",
                   "Error: stopping service failed - error code 1053", "Service uninstalled", "installing service...",
                   "Error: install service failed - error code 1072"}));
  EXPECT_TRUE(manager_.MarkedForDeletion(kService));
}

TEST_F(ServiceControlTest, InstallWithoutRightsIsDenied) {
  manager_.SetGrantedRights(platform::kScManagerConnect, platform::kServiceQueryStatus);
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "Error: install service failed - access denied"}));
  EXPECT_FALSE(manager_.Exists(kService));
}

TEST_F(ServiceControlTest, InstallWithoutTheExecutablePathFails) {
  test::test_process().set_executable_unknown();
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"Installing service...", "Error: install service failed - error code 2"}));
}

TEST_F(ServiceControlTest, AnOpenHandleKeepsADeletedServiceMarked) {
  Installed();
  // Another program (a services list, say) holds the service open.
  std::unique_ptr<platform::ServiceDatabase> database;
  std::unique_ptr<platform::Service> held;
  ASSERT_TRUE(manager_.OpenManager(platform::kScManagerConnect, &database));
  ASSERT_TRUE(database->Open(kService, platform::kServiceQueryStatus, &held));
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 0);
  EXPECT_EQ(NewLogLines().back(), "Error: install service failed - error code 1072");
  held.reset();
  EXPECT_FALSE(manager_.Exists(kService));
  EXPECT_EQ(control_.Install(CXServiceControl::kDescription), 1);
}

TEST_F(ServiceControlTest, UninstallDeletesAStoppedServiceWithoutAStop) {
  Installed();
  EXPECT_EQ(control_.Uninstall(true), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Uninstall service...", "Service uninstalled"}));
  EXPECT_FALSE(manager_.Exists(kService));
  EXPECT_TRUE(manager_.Controls(kService).empty());
}

TEST_F(ServiceControlTest, UninstallStopsARunningServiceFirst) {
  Running();
  SetBehaviour(1, 3);  // three queries stop pending
  EXPECT_EQ(control_.Uninstall(true), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Uninstall service...", "Service uninstalled"}));
  EXPECT_EQ(manager_.Controls(kService), std::vector<uint32_t>{platform::kServiceControlStop});
  EXPECT_FALSE(manager_.Exists(kService));
}

TEST_F(ServiceControlTest, UninstallWithoutStopLeavesARunningServiceMarked) {
  Running();
  EXPECT_EQ(control_.Uninstall(false), 1);
  EXPECT_TRUE(manager_.Controls(kService).empty());
  EXPECT_TRUE(manager_.MarkedForDeletion(kService));
  EXPECT_EQ(State(), platform::kServiceRunning);
}

TEST_F(ServiceControlTest, UninstallFailures) {
  EXPECT_EQ(control_.Uninstall(true), 0);
  EXPECT_EQ(NewLogLines(),
            (Lines{"Uninstall service...", "Error: cannot open service - service does not exist"}));
  Installed();
  manager_.SetGrantedRights(platform::kScManagerConnect, platform::kServiceStop | platform::kServiceDelete);
  EXPECT_EQ(control_.Uninstall(true), 0);  // may not query
  manager_.SetGrantedRights(0, 0);
  EXPECT_EQ(control_.Uninstall(true), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"Uninstall service...", "Error: cannot open service - access denied",
                                  "Uninstall service...", "Error: openSCManager failed - access denied"}));
  EXPECT_TRUE(manager_.Exists(kService));
}

TEST_F(ServiceControlTest, StartWaitsWhileStartPending) {
  Installed();
  SetBehaviour(5, 1);
  EXPECT_EQ(control_.Start(), 1);
  EXPECT_EQ(NewLogLines(), Lines{"Starting Orvalinth service ..."});
  EXPECT_EQ(State(), platform::kServiceRunning);
}

// At most 70 status queries: the 70th may still see the service run.
TEST_F(ServiceControlTest, StartGivesUpAfterSeventyQueries) {
  struct Case {
    int pending_queries;
    int result;
  };
  for (const Case& c : {Case{69, 1}, Case{70, 0}, Case{EmulatedServiceManager::Behaviour::kForever, 0}}) {
    SCOPED_TRACE(c.pending_queries);
    EmulatedServiceManager manager;  // a service left start pending cannot be removed
    platform::ScopedFacility<platform::ServiceManager> use(manager);
    ASSERT_EQ(control_.Install(CXServiceControl::kDescription), 1);
    EmulatedServiceManager::Behaviour behaviour;
    behaviour.start_pending_queries = c.pending_queries;
    manager.SetBehaviour(kService, behaviour);
    MarkLog();
    EXPECT_EQ(control_.Start(), c.result);
    if (c.result == 0) {
      EXPECT_EQ(NewLogLines(),
                (Lines{"Starting Orvalinth service ...", "Error: starting service failed - error code 1053"}));
    }
  }
}

TEST_F(ServiceControlTest, StartFailures) {
  EXPECT_EQ(control_.Start(), 0);
  Running();
  EXPECT_EQ(control_.Start(), 0);
  SetBehaviour(2, 0, /*fails=*/true);
  ASSERT_EQ(control_.Stop(), 1);
  EXPECT_EQ(control_.Start(), 0);
  manager_.SetGrantedRights(platform::kScManagerConnect, platform::kServiceQueryStatus | platform::kServiceStop);
  EXPECT_EQ(control_.Start(), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"Starting Orvalinth service ...",
                                  "Error: starting service failed - error code 1056", "stopping service...",
                                  "Starting Orvalinth service ...", "Error: starting service failed - error code 1067",
                                  "Starting Orvalinth service ...", "Error: cannot open service - access denied"}));
}

TEST_F(ServiceControlTest, StartOfAMissingService) {
  EXPECT_EQ(control_.Start(), 0);
  EXPECT_EQ(NewLogLines(),
            (Lines{"Starting Orvalinth service ...", "Error: cannot open service - service does not exist"}));
}

TEST_F(ServiceControlTest, StopWaitsWhileStopPending) {
  Running();
  SetBehaviour(1, 4);
  EXPECT_EQ(control_.Stop(), 1);
  EXPECT_EQ(NewLogLines(), Lines{"stopping service..."});
  EXPECT_EQ(State(), platform::kServiceStopped);
}

TEST_F(ServiceControlTest, StopOfAStoppedServiceFails) {
  Installed();
  EXPECT_EQ(control_.Stop(), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"stopping service...", "Error: stopping service failed - error code 1062"}));
}

TEST_F(ServiceControlTest, StopOfAServiceThatHangs) {
  Running();
  SetBehaviour(1, EmulatedServiceManager::Behaviour::kForever);
  EXPECT_EQ(control_.Stop(), 0);
  EXPECT_EQ(NewLogLines(), (Lines{"stopping service...", "Error: stopping service failed - error code 1053"}));
  EXPECT_EQ(State(), platform::kServiceStopPending);
}

TEST_F(ServiceControlTest, RestartSleepsThenStopsAndStarts) {
  Running();
  CXServiceControl::Timing timing = FastControl();
  timing.restart_delay_ms = 150;
  CXServiceControl control(timing);
  const int64_t began = platform::MonotonicMs();
  EXPECT_EQ(control.Restart(), 1);
  EXPECT_GE(platform::MonotonicMs() - began, 150);
  EXPECT_EQ(NewLogLines(), (Lines{"stopping service...", "Starting Orvalinth service ..."}));
  EXPECT_EQ(manager_.Controls(kService), std::vector<uint32_t>{platform::kServiceControlStop});
  EXPECT_EQ(State(), platform::kServiceRunning);
}

TEST_F(ServiceControlTest, RestartOfAStoppedServiceStartsItAndReportsSuccess) {
  Installed();
  EXPECT_EQ(control_.Restart(), 1);
  EXPECT_EQ(NewLogLines(), (Lines{"stopping service...", "Error: stopping service failed - error code 1062",
                                  "Starting Orvalinth service ..."}));
  EXPECT_EQ(State(), platform::kServiceRunning);
  // Even with no service at all.
  ASSERT_EQ(control_.Uninstall(true), 1);
  EXPECT_EQ(control_.Restart(), 1);
}

TEST(ServiceControl, DefaultTiming) {
  const CXServiceControl::Timing timing;
  EXPECT_EQ(timing.poll_interval_ms, 100u);
  EXPECT_EQ(timing.poll_count, 70);
  EXPECT_EQ(timing.restart_delay_ms, 5000u);
}

TEST(ServiceControl, ErrorTexts) {
  EXPECT_EQ(ServiceErrorText(5), "access denied");
  EXPECT_EQ(ServiceErrorText(1060), "service does not exist");
  EXPECT_EQ(ServiceErrorText(1073), "service exists");
  EXPECT_EQ(ServiceErrorText(1062), "error code 1062");
  EXPECT_EQ(ServiceErrorText(0), "error code 0");
}

}  // namespace
}  // namespace orvalinth
