#pragma once
// An alternate signal stack for the calling thread, so that the crash
// handler (platform/crash_handler.h) can still run when the thread has
// overflowed its own stack. Linux gives each thread its own alternate stack
// and a new thread none, so every thread that may run deep (the scan jobs)
// makes one. It replaces one the thread may have (AddressSanitizer gives
// every thread a small one, too small for the report and the recovery),
// which comes back when the object goes.

#include <signal.h>

#include <cstddef>

namespace orvalinth::platform::posix {

class AltSignalStack {
 public:
  // Room for the handler: the report, the walk and the recovery's calls,
  // also in the sanitizer build.
  static constexpr size_t kSize = 1024 * 1024;

  // Gives the calling thread this alternate signal stack.
  AltSignalStack();
  // Gives the thread back the alternate stack it had before (on the same thread).
  ~AltSignalStack();
  AltSignalStack(const AltSignalStack&) = delete;
  AltSignalStack& operator=(const AltSignalStack&) = delete;

  // Hands the stack over to the thread for its whole life (never freed).
  void Keep() { memory_ = nullptr; }

 private:
  void* memory_ = nullptr;
  stack_t previous_;
};

}  // namespace orvalinth::platform::posix
