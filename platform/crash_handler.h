#pragma once
// The process's last line of defence: a handler for the faults that would
// otherwise end it (an access violation, an illegal instruction, a division
// by zero, an abort), and the walk of the faulting thread's stack for the
// crash report.
//
// win32: the unhandled-exception filter (SetUnhandledExceptionFilter); the
// stack walk uses the debug-help library (dbghelp.dll, loaded at run time,
// first from the debugging-tools folders under the program-files folder, then
// by name) with StackWalk64 and the symbol, line and module lookups. The code
// of a fault is the exception code (0xC0000005 for an access violation);
// abort() (also std::terminate) is caught through SIGABRT of the C library,
// with the code 0x40000015.
//
// POSIX: handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that run on
// an alternate signal stack (so that a stack overflow can still be reported;
// the installing thread and the scan jobs' threads have one); the walk uses
// backtrace() and dladdr, names undecorated with __cxa_demangle (the service
// executable is linked with -rdynamic so that its own functions have names).
// The code of a fault is the signal number (11 for SIGSEGV). A handler that
// is still busy after kWatchdogSeconds (stuck on a lock the faulting thread
// held) ends the process with SIGALRM, so that the service manager (systemd)
// can start it again.

#include <cstdint>
#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

// One fault as the handler sees it.
struct FaultInfo {
  uint64_t address = 0;           // instruction address of the faulting context
  uint32_t code = 0;              // exception code (win32) or signal number (POSIX)
  const void* context = nullptr;  // the native context of the fault, for WalkFault
};

// One frame of a walked stack. Texts are empty when unknown.
struct StackFrame {
  uint64_t address = 0;
  std::string module;  // the module's name ("OrvalinthSrv", "ntdll", "libc.so.6")
  std::string file;    // the source file
  int line = 0;        // its line, when `file` is known
  std::string full_name;  // undecorated full name ("ns::Class::Method(int)")
  std::string name;       // undecorated name ("ns::Class::Method")
  std::string raw_name;   // the name as the symbol table holds it
};

// Receives a walk, frame by frame, with the walker's errors where they occur.
class StackSink {
 public:
  virtual ~StackSink() = default;
  virtual void Frame(const StackFrame& frame) = 0;
  // `call` failed with the system's error code for the frame at `address`.
  virtual void Error(const char* call, uint32_t code, uint64_t address) = 0;
};

// What the handler does when the fault function returns.
enum class FaultAction {
  kEndProcess,  // end the process at once with exit code 0
  kDefault,     // let the system go on with its normal handling (the process dies of the fault)
};

// Runs on the faulting thread, inside the handler.
using FaultFunction = FaultAction (*)(const FaultInfo& fault);

class CrashHandler : public Facility<CrashHandler> {
 public:
  static constexpr unsigned kWatchdogSeconds = 60;

  virtual ~CrashHandler() = default;
  // Makes `on_fault` the process's handler of fatal faults, replacing an
  // earlier one; false with the error code when it cannot be installed.
  // Prepares what the handler needs (the walker's library, the alternate
  // stack) so that little is left to do at the time of a fault.
  virtual bool Install(FaultFunction on_fault) = 0;
  // Gives the faults back to the system's handling.
  virtual void Uninstall() = 0;
  // Walks the stack of the faulting thread from the fault's context.
  virtual void WalkFault(const FaultInfo& fault, StackSink& sink) = 0;
  // Walks the calling thread's stack from the caller of this function.
  virtual void WalkHere(StackSink& sink) = 0;
  // Shows a message to whoever sits at the machine and returns when it was
  // seen (win32: a message box; POSIX: standard error).
  virtual void ShowFatalMessage(const std::string& text) = 0;
};

template <>
CrashHandler& Facility<CrashHandler>::Real();

// How a crashed service comes back.
enum class CrashRestart {
  kServiceRestart,  // win32: another process runs "-restart" through the service manager
  kReplaceProcess,  // POSIX: a fresh daemon of the same executable in place of this process
                    // (same process id, so systemd and a terminal keep following it)
};
CrashRestart CrashRestartStyle();

}  // namespace orvalinth::platform
