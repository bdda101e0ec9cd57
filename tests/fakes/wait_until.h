#pragma once
// Waiting in tests: for a condition, with a deadline, never for a fixed time.
// A failing test ends at the deadline instead of hanging; a passing one goes
// on as soon as the condition holds.

#include <atomic>
#include <functional>

namespace orvalinth::test {

// The deadline of every wait unless a test gives its own: long enough for
// the sanitizer build and Wine on a busy machine.
inline constexpr int kWaitDeadlineMs = 10000;

// Polls `condition` every few milliseconds until it holds (true) or
// `deadline_ms` has passed (false).
bool WaitUntil(const std::function<bool()>& condition, int deadline_ms = kWaitDeadlineMs);
// WaitUntil the flag is true.
bool WaitFor(const std::atomic<bool>& flag, int deadline_ms = kWaitDeadlineMs);

}  // namespace orvalinth::test
