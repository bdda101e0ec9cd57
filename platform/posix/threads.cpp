// Threads on POSIX: pthreads, with forced termination by cancellation.

#include "platform/threads.h"

#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/errors.h"
#include "platform/posix/alt_signal_stack.h"
#include "platform/posix/drive_table.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORVALINTH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVALINTH_ASAN 1
#endif
#endif
#ifdef ORVALINTH_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace orvalinth::platform {
namespace {

// A cancellation unwinds the stack without telling AddressSanitizer, which
// then finds the dead frames' red zones still marked and reports its own
// bookkeeping as an overflow. The stack below the caller is unused: clear it.
void ForgetDeadFrames() {
#ifdef ORVALINTH_ASAN
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
    char here;
    char* bottom = static_cast<char*>(low);
    if (&here > bottom) ASAN_UNPOISON_MEMORY_REGION(bottom, static_cast<size_t>(&here - bottom));
  }
  pthread_attr_destroy(&attributes);
#endif
}

// What the thread and its handle share; it lives as long as either of them,
// so a detached thread never touches freed memory.
struct SharedState {
  ThreadSystem::Function function = nullptr;
  void* argument = nullptr;
  std::mutex lock;
  std::condition_variable ended_signal;
  bool ended = false;
};

// Marks the thread ended when the thread's function returns and also when a
// cancellation unwinds the stack through it, so that Wait can time out
// without pthread_timedjoin_np and join only a thread that is leaving.
class EndMark {
 public:
  explicit EndMark(std::shared_ptr<SharedState> state) : state_(std::move(state)) {}
  ~EndMark() {
    ForgetDeadFrames();
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->ended = true;
    state_->ended_signal.notify_all();
  }
  EndMark(const EndMark&) = delete;
  EndMark& operator=(const EndMark&) = delete;

 private:
  std::shared_ptr<SharedState> state_;
};

void* ThreadEntry(void* raw) {
  auto* handed = static_cast<std::shared_ptr<SharedState>*>(raw);
  std::shared_ptr<SharedState> state = std::move(*handed);
  delete handed;
  EndMark mark(state);
  // A job that overflows its stack can still be reported by the crash handler.
  posix::AltSignalStack alt_stack;
  state->function(state->argument);
  return nullptr;
}

class PosixThread final : public Thread {
 public:
  PosixThread(pthread_t thread, std::shared_ptr<SharedState> state) : thread_(thread), state_(std::move(state)) {}
  ~PosixThread() override {
    if (!joined_) pthread_detach(thread_);
  }

  bool Wait(uint32_t timeout_ms) override {
    if (joined_) return true;
    {
      std::unique_lock<std::mutex> guard(state_->lock);
      auto ended = [this] { return state_->ended; };
      if (timeout_ms == kWaitForever) {
        state_->ended_signal.wait(guard, ended);
      } else if (!state_->ended_signal.wait_for(guard, std::chrono::milliseconds(timeout_ms), ended)) {
        SetLastError(kErrorWaitTimeout);
        return false;
      }
    }
    // The thread is past its function: the join returns at once.
    pthread_join(thread_, nullptr);
    joined_ = true;
    return true;
  }

  bool Terminate() override {
    if (joined_) return true;
    const int result = pthread_cancel(thread_);
    if (result != 0 && result != ESRCH) {
      posix::SetLastErrorFromErrno(result);
      return false;
    }
    return true;
  }

 private:
  pthread_t thread_;
  std::shared_ptr<SharedState> state_;
  bool joined_ = false;
};

class PosixThreadSystem final : public ThreadSystem {
 public:
  std::unique_ptr<Thread> Start(Function function, void* argument) override {
    auto state = std::make_shared<SharedState>();
    state->function = function;
    state->argument = argument;
    auto* handed = new std::shared_ptr<SharedState>(state);
    pthread_t thread;
    const int result = pthread_create(&thread, nullptr, &ThreadEntry, handed);
    if (result != 0) {
      delete handed;
      posix::SetLastErrorFromErrno(result);
      return nullptr;
    }
    return std::make_unique<PosixThread>(thread, std::move(state));
  }
};

}  // namespace

template <>
ThreadSystem& Facility<ThreadSystem>::Real() {
  static PosixThreadSystem instance;
  return instance;
}

bool LowerCurrentThreadPriority() {
  // On Linux a thread id names that thread alone to setpriority.
  const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
  return setpriority(PRIO_PROCESS, thread, 19) == 0;
}

}  // namespace orvalinth::platform
