// Threads through the Windows API: CreateThread, WaitForSingleObject and
// TerminateThread.

#include "platform/threads.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using win32::Handle;

struct StartData {
  ThreadSystem::Function function;
  void* argument;
};

DWORD WINAPI ThreadEntry(void* raw) {
  const StartData data = *static_cast<StartData*>(raw);
  delete static_cast<StartData*>(raw);
  data.function(data.argument);
  return 0;
}

class WinThread final : public Thread {
 public:
  explicit WinThread(HANDLE thread) : thread_(thread) {}

  bool Wait(uint32_t timeout_ms) override {
    const DWORD timeout = timeout_ms == kWaitForever ? INFINITE : static_cast<DWORD>(timeout_ms);
    const DWORD result = WaitForSingleObject(thread_.get(), timeout);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_TIMEOUT) ::SetLastError(WAIT_TIMEOUT);
    return false;
  }

  bool Terminate() override { return TerminateThread(thread_.get(), /*dwExitCode=*/1) != FALSE; }

 private:
  Handle thread_;
};

class WinThreadSystem final : public ThreadSystem {
 public:
  std::unique_ptr<Thread> Start(Function function, void* argument) override {
    auto* data = new StartData{function, argument};
    HANDLE thread = CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, &ThreadEntry, data,
                                 /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr);
    if (thread == nullptr) {
      const DWORD error = GetLastError();
      delete data;
      ::SetLastError(error);
      return nullptr;
    }
    return std::make_unique<WinThread>(thread);
  }
};

}  // namespace

template <>
ThreadSystem& Facility<ThreadSystem>::Real() {
  static WinThreadSystem instance;
  return instance;
}

bool LowerCurrentThreadPriority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0; }

}  // namespace orvalinth::platform
