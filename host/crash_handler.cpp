#include "host/crash_handler.h"

#include <atomic>
#include <thread>

#include "base/fatal_flag.h"
#include "base/paths.h"
#include "base/strings.h"
#include "host/crash_report.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

// Where a person is asked to send the report (show-message flag 1).
constexpr char kSupportAddress[] = "support@orvalinth.example";
// How often a second faulting thread looks whether the report lock is free.
constexpr uint32_t kReportLockPollMs = 5;

// The installed settings. The report object is replaced only by a new
// installation; the old one is kept alive until the installation after,
// since a handler running on another thread at that moment may still hold it
// (it never happens in the service, which installs once).
std::atomic<CXCrashReport*> g_report{nullptr};
std::atomic<int> g_show_message{0};
std::atomic<CrashRecoveryRoutine> g_recovery{nullptr};

// The report lock: the thread that writes a report. A lock-free atomic, so
// that the handler can tell its own thread (a fault inside the handler) from
// another one, and never allocates to take it.
std::atomic<std::thread::id> g_report_owner{std::thread::id()};

class ReportLock {
 public:
  // Waits until the lock is free; `nested` when this thread holds it already.
  ReportLock() {
    const std::thread::id me = std::this_thread::get_id();
    for (;;) {
      std::thread::id free_owner;
      if (g_report_owner.compare_exchange_strong(free_owner, me)) break;
      if (free_owner == me) {
        nested_ = true;
        return;
      }
      platform::SleepMs(kReportLockPollMs);
    }
  }
  ~ReportLock() {
    if (!nested_) g_report_owner.store(std::thread::id());
  }
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;

  bool nested() const { return nested_; }

 private:
  bool nested_ = false;
};

// The walker's frames and errors go into the report as they come.
class ReportSink final : public platform::StackSink {
 public:
  void Frame(const platform::StackFrame& frame) override { ReportWrite(FrameLine(frame)); }
  void Error(const char* call, uint32_t code, uint64_t address) override {
    ReportWrite(WalkerErrorLine(call, code, address));
  }
};

}  // namespace

std::string FatalErrorMessage(const std::u16string& report_path) {
  return Format("A fatal error have occured.\nPlease send the log file:\n%s\nto %s", EncodeUtf8(report_path).c_str(),
                kSupportAddress);
}

bool InstallCrashHandler(const std::u16string& report_name, const std::string& title, int show_message,
                         CrashRecoveryRoutine recovery) {
  auto* report = new CXCrashReport(ProgramFolder() + report_name, CXCrashReport::MachineHeader(title));
  {
    ReportLock lock;
    g_show_message.store(show_message != 0 ? 1 : 0);
    g_recovery.store(recovery);
    // The replaced one is kept until the next installation: see g_report.
    static std::atomic<CXCrashReport*> retired{nullptr};
    delete retired.exchange(g_report.exchange(report));
  }
  return platform::CrashHandler::Get().Install(&HandleFault);
}

void UninstallCrashHandler() {
  platform::CrashHandler::Get().Uninstall();
  ReportLock lock;
  g_recovery.store(nullptr);
  g_show_message.store(0);
  delete g_report.exchange(nullptr);
}

void ReportWrite(const std::string& text) {
  CXCrashReport* report = g_report.load();
  if (report != nullptr) report->Write(text);
}

platform::FaultAction HandleFault(const platform::FaultInfo& fault) {
  {
    ReportLock lock;
    // The handler itself faulted: nothing it does can be trusted any more.
    if (lock.nested()) return platform::FaultAction::kDefault;
    SetFatalFlag(1);
    ReportWrite(FaultLine(fault.address, fault.code, MemorySituation()));
    ReportSink sink;
    platform::CrashHandler::Get().WalkFault(fault, sink);
    ReportWrite(kReportEnd);
  }

  if (g_show_message.load() != 0) {
    CXCrashReport* report = g_report.load();
    platform::CrashHandler::Get().ShowFatalMessage(
        FatalErrorMessage(report != nullptr ? report->path() : std::u16string()));
    return platform::FaultAction::kEndProcess;
  }
  const CrashRecoveryRoutine recovery = g_recovery.load();
  if (recovery == nullptr) return platform::FaultAction::kDefault;
  return recovery() != 0 ? platform::FaultAction::kEndProcess : platform::FaultAction::kDefault;
}

}  // namespace orvalinth
