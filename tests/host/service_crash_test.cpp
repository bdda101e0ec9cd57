// The service entry and the crash handler: the handler is installed first
// thing, with the service's report and title, and the recovery can tell the
// service manager that the service has stopped.

#include <gtest/gtest.h>

#include "base/app_version.h"
#include "crash_text.h"
#include "host/crash_handler.h"
#include "host/service_control.h"
#include "host/service_runtime.h"
#include "service_fixture.h"

namespace orvalinth {
namespace {

using test::kService;

constexpr int kWaitMs = 10000;

class ServiceCrashTest : public test::ServiceTest {
 protected:
  ServiceCrashTest() {
    manager_.Host(kService, &ServiceMain);
    CXServiceControl::Timing timing;
    timing.poll_interval_ms = 20;
    control_ = std::make_unique<CXServiceControl>(timing);
    EXPECT_EQ(control_->Install(CXServiceControl::kDescription), 1);
  }

  // Starts the service the way the manager does, without waiting.
  void StartService() {
    std::unique_ptr<platform::ServiceDatabase> database;
    std::unique_ptr<platform::Service> service;
    ASSERT_TRUE(manager_.OpenManager(platform::kScManagerConnect, &database));
    ASSERT_TRUE(database->Open(kService, platform::kServiceStart, &service));
    ASSERT_TRUE(service->Start());
  }

  std::unique_ptr<CXServiceControl> control_;
};

TEST_F(ServiceCrashTest, TheEntryInstallsTheCrashHandlerWithTheServicesReport) {
  EXPECT_EQ(crash_handler_.installs, 0);
  StartService();  // no settings: the service stops again by itself
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_EQ(crash_handler_.installs, 1);
  EXPECT_EQ(crash_handler_.installed, &HandleFault);

  ReportWrite("exception at\r\n");
  const std::string text = test::ReportText(test::ReadFileBytes(dir_ / u"error-log.txt"));
  EXPECT_EQ(text.find(std::string("Orvalinth service v") + AppVersionText(APP_VERSION) + "\r\n" +
                      test::N(dir_ / u"OrvalinthSrv.exe") + "\r\n"),
            0u)
      << text;
  EXPECT_EQ(std::string(AppVersionText(APP_VERSION)), "2.10 x64");
}

TEST_F(ServiceCrashTest, AfterACrashTheServiceIsReportedStoppedWithProcessAborted) {
  WriteSettings();
  StartService();
  ASSERT_TRUE(manager_.WaitForState(kService, platform::kServiceRunning, kWaitMs));
  ReportStoppedAfterCrash();
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, platform::kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, platform::kErrorProcessAborted);
  EXPECT_EQ(status.controls_accepted, 0u);
  // The process would end now; here the entry is let go.
  SignalStop();
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
}

TEST_F(ServiceCrashTest, AStoppedServiceIsNotReportedAgain) {
  StartService();
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  const size_t reports = manager_.ReportedStates(kService).size();
  ReportStoppedAfterCrash();
  EXPECT_EQ(manager_.ReportedStates(kService).size(), reports);
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.win32_exit_code, 0u);
}

}  // namespace
}  // namespace orvalinth
