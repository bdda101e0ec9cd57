// The crash handler on POSIX: signal handlers for the fatal signals, on an
// alternate stack, and a stack walk with backtrace() and dladdr.
//
// A handler of a synchronous fault can do little that is strictly
// async-signal-safe and still write a report and restart the service; what
// it needs is prepared at installation (the unwinder is loaded, the watchdog
// timer made), and a handler that hangs all the same (on a lock the faulting
// thread held) is ended by the watchdog's SIGALRM.

#include "platform/crash_handler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <execinfo.h>
#include <signal.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/posix/alt_signal_stack.h"
#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr int kMaxFrames = 256;
// ERROR_NOT_FOUND: the faulting instruction is on none of the walked frames.
constexpr uint32_t kErrorNotFound = 1168;

std::atomic<FaultFunction> g_on_fault{nullptr};

uint64_t InstructionAddress(const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<uint64_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// Names the frame at `address`. `exact` is the faulting instruction itself;
// any other frame holds a return address, which may already lie in the next
// function, so it is looked up one byte earlier.
void Describe(uint64_t address, bool exact, StackFrame* frame) {
  frame->address = address;
  Dl_info info;
  std::memset(&info, 0, sizeof info);
  const uint64_t lookup = exact || address == 0 ? address : address - 1;
  if (dladdr(reinterpret_cast<void*>(static_cast<uintptr_t>(lookup)), &info) == 0) return;
  if (info.dli_fname != nullptr) {
    const char* slash = std::strrchr(info.dli_fname, '/');
    frame->module = slash != nullptr ? slash + 1 : info.dli_fname;
  }
  if (info.dli_sname == nullptr) return;
  frame->raw_name = info.dli_sname;
  int status = -1;
  char* undecorated = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  if (status == 0 && undecorated != nullptr) {
    frame->full_name = undecorated;
    // The name alone: the full name up to its parameter list.
    const size_t paren = frame->full_name.find('(');
    frame->name = frame->full_name.substr(0, paren);
  }
  std::free(undecorated);
}

// Frames from `first` on; frames with address 0 are skipped.
void Deliver(void* const* frames, int count, int first, uint64_t exact_address, StackSink& sink) {
  for (int i = first; i < count; ++i) {
    const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(frames[i]));
    if (address == 0) continue;
    StackFrame frame;
    Describe(address, address == exact_address, &frame);
    sink.Frame(frame);
  }
}

// What FaultInfo::context points at on POSIX: the signal's context and the
// frames captured on the faulting thread, so that the rest of the work can
// move to another thread.
struct CapturedFault {
  const void* context = nullptr;
  void* frames[kMaxFrames];
  int count = 0;
};

// Whether the handler runs on a small alternate stack that is not ours (the
// sanitizer's, on threads this program did not start itself): the report
// and the recovery need more room than that.
bool OnSmallAltStack() {
  stack_t current;
  return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK) != 0 &&
         current.ss_size < posix::AltSignalStack::kSize;
}

struct HelperWork {
  FaultInfo fault;
  FaultFunction on_fault = nullptr;
  FaultAction action = FaultAction::kDefault;
};

void* RunHelper(void* raw) {
  auto* work = static_cast<HelperWork*>(raw);
  work->action = work->on_fault(work->fault);
  return nullptr;
}

// Runs `on_fault` on a thread with a stack of its own size while the
// faulting thread waits; on this thread when no thread can be made.
FaultAction HandleWithRoom(FaultFunction on_fault, const FaultInfo& fault) {
  HelperWork work;
  work.fault = fault;
  work.on_fault = on_fault;
  pthread_attr_t attributes;
  pthread_t helper;
  bool started = false;
  if (pthread_attr_init(&attributes) == 0) {
    started = pthread_attr_setstacksize(&attributes, posix::AltSignalStack::kSize) == 0 &&
              pthread_create(&helper, &attributes, &RunHelper, &work) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) return on_fault(fault);
  pthread_join(helper, nullptr);
  return work.action;
}

class PosixCrashHandler final : public CrashHandler {
 public:
  bool Install(FaultFunction on_fault) override {
    std::lock_guard<std::mutex> guard(lock_);
    g_on_fault.store(on_fault);
    if (installed_) return true;
    // The unwinder is loaded on its first use: not inside a handler.
    void* warm[4];
    backtrace(warm, 4);
    // The installing thread (the service entry's) keeps its stack for good.
    posix::AltSignalStack().Keep();
    MakeWatchdog();

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &OnSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignalCount; ++i) {
      if (sigaction(kSignals[i], &action, &previous_[i]) != 0) {
        const int error = errno;
        for (size_t j = 0; j < i; ++j) sigaction(kSignals[j], &previous_[j], nullptr);
        posix::SetLastErrorFromErrno(error);
        return false;
      }
    }
    installed_ = true;
    return true;
  }

  void Uninstall() override {
    std::lock_guard<std::mutex> guard(lock_);
    g_on_fault.store(nullptr);
    if (!installed_) return;
    for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    installed_ = false;
  }

  void WalkFault(const FaultInfo& fault, StackSink& sink) override {
    const auto* captured = static_cast<const CapturedFault*>(fault.context);
    if (captured == nullptr) {
      sink.Error("backtrace", kErrorInvalidParameter, fault.address);
      return;
    }
    // The capture starts in the handler; the faulting frame follows the
    // signal trampoline with its exact instruction address.
    int first = 0;
    while (first < captured->count && reinterpret_cast<uintptr_t>(captured->frames[first]) != fault.address) ++first;
    if (first == captured->count) {
      sink.Error("backtrace", kErrorNotFound, fault.address);
      first = 0;
    }
    Deliver(captured->frames, captured->count, first, fault.address, sink);
  }

  __attribute__((noinline)) void WalkHere(StackSink& sink) override {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    Deliver(frames, count, 1, 0, sink);  // frame 0 is this function
  }

  void ShowFatalMessage(const std::string& text) override { WriteStderr(text + "\n"); }

 private:
  static void OnSignal(int signal, siginfo_t* /*info*/, void* context) {
    const int saved_errno = errno;
    ArmWatchdog();
    // The stack is captured here, on the faulting thread; the rest may move.
    CapturedFault captured;
    captured.context = context;
    captured.count = backtrace(captured.frames, kMaxFrames);
    FaultInfo fault;
    fault.address = InstructionAddress(context);
    fault.code = static_cast<uint32_t>(signal);
    fault.context = &captured;
    const FaultFunction on_fault = g_on_fault.load();
    FaultAction action = FaultAction::kDefault;
    if (on_fault != nullptr) action = OnSmallAltStack() ? HandleWithRoom(on_fault, fault) : on_fault(fault);
    if (action == FaultAction::kEndProcess) _exit(0);
    DisarmWatchdog();
    // The default action: for a fault the instruction faults again on
    // return; for a sent signal (abort) the raised one, pending until then.
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal, &default_action, nullptr);
    raise(signal);
    errno = saved_errno;
  }

  // A POSIX timer, unlike alarm(), does not survive the exec of a
  // replacement daemon.
  static void MakeWatchdog() {
    struct sigevent event;
    std::memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
      watchdog_ = timer;
      has_watchdog_.store(true);
    }
  }
  static void SetWatchdog(time_t seconds) {
    if (!has_watchdog_.load()) return;
    struct itimerspec when;
    std::memset(&when, 0, sizeof when);
    when.it_value.tv_sec = seconds;
    timer_settime(watchdog_, 0, &when, nullptr);
  }
  static void ArmWatchdog() { SetWatchdog(kWatchdogSeconds); }
  static void DisarmWatchdog() { SetWatchdog(0); }

  std::mutex lock_;
  bool installed_ = false;
  struct sigaction previous_[kSignalCount];
  static inline timer_t watchdog_{};
  static inline std::atomic<bool> has_watchdog_{false};
};

}  // namespace

template <>
CrashHandler& Facility<CrashHandler>::Real() {
  static PosixCrashHandler instance;
  return instance;
}

CrashRestart CrashRestartStyle() { return CrashRestart::kReplaceProcess; }

}  // namespace orvalinth::platform
