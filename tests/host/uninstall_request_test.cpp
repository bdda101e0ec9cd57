// The console's "uninstall" seen from the service: the stop that it asks for
// ends in the hand-over to "-uninstall -quiet" instead of a plain stop. The
// service entry is hosted by the emulated service manager; the hand-over is
// recorded instead of replacing the test process.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "host/application.h"
#include "host/service_control.h"
#include "host/service_runtime.h"
#include "recording_process.h"
#include "service_fixture.h"

namespace orvalinth {
namespace {

using test::kService;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 10000;

class UninstallRequestTest : public test::ServiceTest {
 protected:
  UninstallRequestTest() : use_process_(process_) {
    manager_.Host(kService, &ServiceMain);
    CXServiceControl::Timing timing;
    timing.poll_interval_ms = 20;
    control_ = std::make_unique<CXServiceControl>(timing);
    EXPECT_EQ(control_->Install(CXServiceControl::kDescription), 1);
    WriteSettings();
    MarkLog();
  }
  ~UninstallRequestTest() override { g_uninstall_requested.store(0); }

  test::RecordingProcess process_;
  platform::ScopedFacility<platform::Process> use_process_;
  std::unique_ptr<CXServiceControl> control_;
};

TEST_F(UninstallRequestTest, TheStopHandsOverToAQuietUninstall) {
  ASSERT_EQ(control_->Start(), 1);
  ASSERT_TRUE(WaitForLogLine("Orvalinth started", kWaitMs));

  // What the dispatcher does for "uninstall".
  g_uninstall_requested.store(1);
  ASSERT_TRUE(RequestServiceStop());
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));

  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].program, ExecutablePath());
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + ExecutablePath() + u"\" -uninstall -quiet");
  EXPECT_EQ(process_.starts[0].mode, platform::RunMode::kReplace);
  // The real hand-over ends the process after "Uninstalling..."; the
  // recording one returns, and the entry goes on to its end.
  EXPECT_EQ(NewLogLines(), (Lines{"Starting Orvalinth service ...", "Service started", "Orvalinth started",
                                  "stopping service...", "Orvalinth finished", "Uninstalling...", "Service stopped"}));
}

TEST_F(UninstallRequestTest, APlainStopHandsOverToNothing) {
  ASSERT_EQ(control_->Start(), 1);
  ASSERT_TRUE(WaitForLogLine("Orvalinth started", kWaitMs));
  ASSERT_TRUE(RequestServiceStop());
  ASSERT_TRUE(manager_.WaitForEntryEnd(kService, kWaitMs));
  EXPECT_TRUE(process_.starts.empty());
  const Lines lines = NewLogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Uninstalling..."), 0);
}

}  // namespace
}  // namespace orvalinth
