// The crash handler on win32: the process's unhandled-exception filter and
// the stack walk through the debug-help library.

#include "platform/crash_handler.h"

#include <atomic>
#include <csignal>
#include <mutex>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/win32/stack_walker.h"
#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

std::atomic<FaultFunction> g_on_fault{nullptr};
win32::StackWalker g_walker;
std::mutex g_walker_lock;

// A thread that overflowed its stack has no room left for the report: a
// helper thread handles the fault while the faulting one waits. The helper
// walks the faulting thread through a real handle to it.
struct OverflowWork {
  FaultInfo fault;
  HANDLE faulting_thread = nullptr;
  FaultAction action = FaultAction::kDefault;
};
thread_local HANDLE t_walked_thread = nullptr;

DWORD WINAPI HandleOverflow(LPVOID raw) {
  auto* work = static_cast<OverflowWork*>(raw);
  t_walked_thread = work->faulting_thread;
  const FaultFunction on_fault = g_on_fault.load();
  work->action = on_fault != nullptr ? on_fault(work->fault) : FaultAction::kDefault;
  return 0;
}

LONG WINAPI Filter(EXCEPTION_POINTERS* pointers) {
  FaultInfo fault;
  fault.address = pointers->ContextRecord->Rip;
  fault.code = pointers->ExceptionRecord->ExceptionCode;
  fault.context = pointers->ContextRecord;
  FaultAction action = FaultAction::kDefault;
  if (fault.code == EXCEPTION_STACK_OVERFLOW) {
    OverflowWork work;
    work.fault = fault;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &work.faulting_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    win32::Handle helper(CreateThread(nullptr, 0, &HandleOverflow, &work, 0, nullptr));
    if (helper.valid()) WaitForSingleObject(helper.get(), INFINITE);
    if (work.faulting_thread != nullptr) CloseHandle(work.faulting_thread);
    action = work.action;
  } else {
    const FaultFunction on_fault = g_on_fault.load();
    if (on_fault != nullptr) action = on_fault(fault);
  }
  if (action == FaultAction::kEndProcess) EndProcessNow(0);
  return EXCEPTION_CONTINUE_SEARCH;
}

// abort() (and with it std::terminate, an exception that nothing caught)
// ends the process through the C library's SIGABRT, not through an
// exception: it is a fatal fault all the same. Its code is the one abort()
// ends a process with where it raises an exception, STATUS_FATAL_APP_EXIT.
constexpr uint32_t kAbortCode = 0x40000015;

void OnAbort(int) {
  CONTEXT context;
  ZeroMemory(&context, sizeof context);
  RtlCaptureContext(&context);
  FaultInfo fault;
  fault.address = context.Rip;
  fault.code = kAbortCode;
  fault.context = &context;
  const FaultFunction on_fault = g_on_fault.load();
  if (on_fault != nullptr && on_fault(fault) == FaultAction::kEndProcess) EndProcessNow(0);
  // Returning lets abort() end the process as it would have (exit code 3).
}

class Win32CrashHandler final : public CrashHandler {
 public:
  bool Install(FaultFunction on_fault) override {
    {
      // Loaded now: a fault may come while another thread holds the loader lock.
      std::lock_guard<std::mutex> guard(g_walker_lock);
      g_walker.Load();
    }
    g_on_fault.store(on_fault);
    SetUnhandledExceptionFilter(&Filter);
    signal(SIGABRT, &OnAbort);
    return true;
  }

  void Uninstall() override {
    g_on_fault.store(nullptr);
    SetUnhandledExceptionFilter(nullptr);
    signal(SIGABRT, SIG_DFL);
  }

  void WalkFault(const FaultInfo& fault, StackSink& sink) override {
    const HANDLE thread = t_walked_thread != nullptr ? t_walked_thread : GetCurrentThread();
    std::lock_guard<std::mutex> guard(g_walker_lock);  // the symbol handler serves one walk at a time
    g_walker.Walk(thread, *static_cast<const CONTEXT*>(fault.context), sink);
  }

  __attribute__((noinline)) void WalkHere(StackSink& sink) override {
    CONTEXT context;
    ZeroMemory(&context, sizeof context);
    RtlCaptureContext(&context);
    std::lock_guard<std::mutex> guard(g_walker_lock);
    g_walker.Load();
    g_walker.Walk(GetCurrentThread(), context, sink);
  }

  void ShowFatalMessage(const std::string& text) override {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    MessageBoxW(nullptr, wide.c_str(), L"Orvalinth", MB_OK | MB_ICONSTOP | MB_TOPMOST | MB_SETFOREGROUND);
  }
};

}  // namespace

template <>
CrashHandler& Facility<CrashHandler>::Real() {
  static Win32CrashHandler instance;
  return instance;
}

CrashRestart CrashRestartStyle() { return CrashRestart::kServiceRestart; }

}  // namespace orvalinth::platform
