#include "platform/posix/alt_signal_stack.h"

#include <sys/mman.h>

namespace orvalinth::platform::posix {

AltSignalStack::AltSignalStack() {
  if (sigaltstack(nullptr, &previous_) != 0) return;
  // Mapped, not allocated: it must not come from a heap that a fault may
  // have left locked, and untouched pages cost nothing.
  void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack;
  stack.ss_sp = memory;
  stack.ss_size = kSize;
  stack.ss_flags = 0;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, kSize);
    return;
  }
  memory_ = memory;
}

AltSignalStack::~AltSignalStack() {
  if (memory_ == nullptr) return;
  stack_t current;
  // Only the stack this object made, and never while a handler runs on it.
  if (sigaltstack(nullptr, &current) != 0 || current.ss_sp != memory_ || (current.ss_flags & SS_ONSTACK) != 0) return;
  stack_t back = previous_;
  back.ss_flags &= SS_DISABLE;  // SS_ONSTACK is a state, not a request
  if (sigaltstack(&back, nullptr) == 0) munmap(memory_, kSize);
}

}  // namespace orvalinth::platform::posix
