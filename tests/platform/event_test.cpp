// The event that threads wait for.

#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"

namespace orvalinth::platform {
namespace {

TEST(Event, AutoResetLetsOneWaitThrough) {
  Event event(Event::Mode::kAutoReset);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // a second Set before the wait adds nothing
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Event event(Event::Mode::kManualReset, /*signalled=*/true);
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(Event::kInfinite));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, AWaitEndsWithTheTimeOut) {
  Event event;
  const int64_t began = MonotonicMs();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(MonotonicMs() - began, 29);
}

TEST(Event, SetWakesAWaitingThread) {
  Event event;
  std::atomic<int> woken{0};
  std::thread waiter([&] {
    if (event.Wait(Event::kInfinite)) ++woken;
  });
  event.Set();
  waiter.join();
  EXPECT_EQ(woken.load(), 1);
  EXPECT_FALSE(event.Wait(0));  // the waiter took the signal
}

TEST(Event, AutoResetWakesOneOfTwoWaiters) {
  Event event;
  std::atomic<int> woken{0};
  auto wait = [&] {
    if (event.Wait(300)) ++woken;
  };
  std::thread first(wait);
  std::thread second(wait);
  event.Set();
  first.join();
  second.join();
  EXPECT_EQ(woken.load(), 1);
}

}  // namespace
}  // namespace orvalinth::platform
