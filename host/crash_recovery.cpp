#include "host/crash_recovery.h"

#include <memory>
#include <string>

#include "base/log.h"
#include "base/paths.h"
#include "host/run_program.h"
#include "host/service_runtime.h"
#include "link/client.h"
#include "platform/files.h"

namespace orvalinth {
namespace {

// A report is a few kilobytes; anything near this is not one of ours, and one
// read of it must not exhaust the memory of a process that has just faulted.
constexpr uint64_t kCopyLimit = 64u << 20;

void Log(const char* text, const SXCrashRecoveryTiming& timing) {
  LogMessageUnlessBusy(text, /*is_error=*/false, timing.link_lock_wait_ms);
}

}  // namespace

bool CopyCrashReport() {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string copy_path = CrashCopyPath();
  files.RemoveFile(copy_path);
  std::unique_ptr<platform::File> report = files.Open(CrashReportPath(), platform::kOpenRead);
  if (report == nullptr) return false;
  std::unique_ptr<platform::File> copy = files.Open(copy_path, platform::kOpenCreate);
  if (copy == nullptr) return false;
  uint64_t size = 0;
  if (!report->Size(&size) || size > kCopyLimit) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  uint32_t got = 0;
  if (size != 0 && !report->Read(&bytes[0], static_cast<uint32_t>(size), &got)) return false;
  uint32_t written = 0;
  return copy->Write(bytes.data(), got, &written) && got == size && written == got;
}

int RecoverFromCrash(CXClient& client, platform::CrashRestart restart, void (*report_stopped)(),
                     const SXCrashRecoveryTiming& timing) {
  client.CloseLinkAfterCrash(timing.link_lock_wait_ms);
  Log("A fatal exception have occured in Orvalinth service while recording snapshots.", timing);
  Log("try to restart service...", timing);
  CopyCrashReport();

  const std::u16string executable = ExecutablePath();
  if (restart == platform::CrashRestart::kReplaceProcess) {
    // Returns only when the new daemon could not start.
    RunProgram(executable, u"", RunProgramMode::kReplace);
    return 0;
  }
  RunProgram(executable, u"-restart", RunProgramMode::kDetached);
  if (report_stopped != nullptr) report_stopped();
  return 1;
}

int CrashRecovery() {
  return RecoverFromCrash(ProcessClient(), platform::CrashRestartStyle(), &ReportStoppedAfterCrash);
}

}  // namespace orvalinth
