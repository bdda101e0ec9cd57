#pragma once
// The real threads, counted, or none at all: a thread system that counts the
// threads started through it and, when `fail` is set, starts none (as when
// the system is out of memory). Header-only.

#include <atomic>
#include <memory>

#include "platform/errors.h"
#include "platform/threads.h"

namespace orvalinth::test {

class CountedThreads final : public platform::ThreadSystem {
 public:
  std::unique_ptr<platform::Thread> Start(Function function, void* argument) override {
    if (fail) {
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      return nullptr;
    }
    ++started;
    return platform::ThreadSystem::Real().Start(function, argument);
  }

  std::atomic<bool> fail{false};
  std::atomic<int> started{0};
};

}  // namespace orvalinth::test
