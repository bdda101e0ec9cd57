// The agent waiting for the console's greeting: a console that accepted the
// link and says nothing must not hold up the service's stop for the 30-second
// receive time-out.

#include <gtest/gtest.h>

#include "link/agent_fixture.h"
#include "platform/clock.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::TestPeer;

class GreetingWait : public AgentTest {};

TEST_F(GreetingWait, AStopWhileTheConsoleIsSilentEndsTheConnectionThreadAtOnce) {
  std::atomic<bool> greeted{false};
  std::atomic<bool> released{false};
  StartAgent();
  peer_.Serve([&](TestPeer& p) {
    CXMessage hello;
    greeted.store(p.RecvMessage(&hello) && hello.IsNamed("hello"));
    // Silent until the test is done; then the agent's close is drained.
    test::WaitFor(released, 60000);
    p.CloseAfterClient();
  });
  ASSERT_TRUE(test::WaitFor(greeted));
  MarkLog();
  const int64_t asked = platform::MonotonicMs();
  StopAgent();
  const int64_t stopped = platform::MonotonicMs();
  released.store(true);
  peer_.Join();
  // The close after the greeting that never came waits for the console's
  // end of stream at most 2 s; the receive time-out is 30 s.
  EXPECT_LT(stopped - asked, 10000);
  // A stop is no failure of the link.
  const std::string log = LogSinceMark();
  EXPECT_EQ(log.find("Error:"), std::string::npos) << log;
  EXPECT_NE(log.find("stopping service..."), std::string::npos) << log;
}

}  // namespace
}  // namespace orvalinth
