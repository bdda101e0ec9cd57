#include "fakes/wait_until.h"

#include <cstdint>

#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth::test {

bool WaitUntil(const std::function<bool()>& condition, int deadline_ms) {
  const int64_t end = platform::MonotonicMs() + deadline_ms;
  while (!condition()) {
    if (platform::MonotonicMs() >= end) return false;
    platform::SleepMs(2);
  }
  return true;
}

bool WaitFor(const std::atomic<bool>& flag, int deadline_ms) {
  return WaitUntil([&flag] { return flag.load(); }, deadline_ms);
}

}  // namespace orvalinth::test
