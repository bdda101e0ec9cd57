#pragma once
// Event: a flag that threads wait for, as a Windows event object. An
// auto-reset event lets exactly one wait through per Set and is unsignalled
// again; a manual-reset event stays signalled until Reset. Built on the
// standard library, so it behaves the same on both builds.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orvalinth::platform {

class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };
  static constexpr int64_t kInfinite = -1;

  explicit Event(Mode mode = Mode::kAutoReset, bool signalled = false) : mode_(mode), signalled_(signalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Signals the event and wakes the waiters (one of them for an auto-reset event).
  void Set();
  // Unsignalled.
  void Reset();
  // Waits until the event is signalled, at most `timeout_ms` (kInfinite: no
  // limit; 0: just looks). True when it was signalled; an auto-reset event is
  // then unsignalled again.
  bool Wait(int64_t timeout_ms);

 private:
  const Mode mode_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool signalled_;
};

}  // namespace orvalinth::platform
