#pragma once
// Threads that can be waited for and, as a last resort, ended forcibly. The
// scan jobs of a recording run on these; everything else uses std::thread.
//
// Forced termination is what a stop does with a job that has not ended after
// a minute, and it is unsafe on both systems:
// - win32 (TerminateThread): the thread ends at once, wherever it is. Locks it
//   holds stay held (a later lock of the same mutex waits for ever, and this
//   includes the C library's heap lock), nothing it allocated is freed, no
//   destructor runs, and the data it was changing is left half-changed.
// - POSIX (pthread_cancel): the thread ends at its next cancellation point
//   (a blocking call such as read, nanosleep, open or a wait, not a mutex
//   lock), unwinding its stack so that destructors run and scoped locks are
//   released. A thread that never reaches such a point is not ended, and
//   Wait(kWaitForever) after Terminate then waits with it; a cancellation
//   passing through code that swallows every exception (catch (...) without
//   rethrowing) or through a noexcept function ends the whole process.

#include <cstdint>
#include <memory>

#include "platform/facility.h"

namespace orvalinth::platform {

inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// One started thread. Destroying the object closes its handle; a thread that
// is still running goes on, detached.
class Thread {
 public:
  virtual ~Thread() = default;
  // Waits up to `timeout_ms` (kWaitForever: without limit) until the thread
  // has ended; true when it has.
  virtual bool Wait(uint32_t timeout_ms) = 0;
  // Ends the thread forcibly (see above); false with the error code when the
  // request cannot be made. Follow it with Wait.
  virtual bool Terminate() = 0;
};

class ThreadSystem : public Facility<ThreadSystem> {
 public:
  using Function = void (*)(void* argument);

  virtual ~ThreadSystem() = default;
  // Runs function(argument) on a new thread; null with the error code when
  // the thread cannot be created.
  virtual std::unique_ptr<Thread> Start(Function function, void* argument) = 0;
};

template <>
ThreadSystem& Facility<ThreadSystem>::Real();

// Lowers the calling thread's priority below the process's other threads,
// for background work that must yield the processor to an event loop: the
// lowest niceness (19) on Linux, for the thread alone; below normal on
// Windows. False when the system refused.
bool LowerCurrentThreadPriority();

}  // namespace orvalinth::platform
