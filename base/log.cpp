#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "base/app_version.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

// How often WriteUnlessBusy tries the lock again.
constexpr int kBusyPollMs = 5;

bool WriteText(platform::File& file, const std::string& text) {
  uint32_t written = 0;
  return file.Write(text.data(), static_cast<uint32_t>(text.size()), &written);
}

}  // namespace

std::string CXLog::Line(const std::string& text, bool is_error) {
  std::string line;
  platform::LocalTime now;
  if (platform::GetLocalTime(&now)) {
    line = Format("%04d-%02d-%02d %02d:%02d:%02d ", now.year, now.month, now.day, now.hour, now.minute, now.second);
  }
  if (is_error) line += "Error: ";
  line += text;
  line += '\n';
  return line;
}

void CXLog::Write(const std::string& text, bool is_error) {
  const std::string line = Line(text, is_error);
  std::lock_guard<std::mutex> guard(lock_);
  WriteLocked(line);
}

bool CXLog::WriteUnlessBusy(const std::string& text, bool is_error, int wait_ms) {
  const std::string line = Line(text, is_error);
  std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
  for (int waited = 0; !guard.owns_lock() && waited < wait_ms; waited += kBusyPollMs) {
    platform::SleepMs(kBusyPollMs);
    guard.try_lock();
  }
  if (!guard.owns_lock()) return false;
  WriteLocked(line);
  return true;
}

void CXLog::WriteLocked(const std::string& line) {
  platform::FileSystem& fs = platform::FileSystem::Get();
  std::unique_ptr<platform::File> file = fs.Open(path_, platform::kOpenWrite | platform::kOpenAppend);
  int64_t size = 0;
  if (file != nullptr && !file->SeekToEnd(&size)) file.reset();
  if (file != nullptr && size > kRotationThreshold) {
    file.reset();
    const std::u16string old = path_ + u".old";
    fs.RemoveFile(old);
    fs.RenameFile(path_, old);
    file = fs.Open(path_, platform::kOpenWrite | platform::kOpenAppend);
    size = 0;
    if (file != nullptr && !file->SeekToEnd(&size)) file.reset();
  }
  if (file == nullptr) {
    platform::WriteStdout(line);
    return;
  }
  if (first_write_ && size != 0) {
    WriteText(*file, platform::TextModeLineEnds(Format("\nOrvalinthSrv v%s\n", AppVersionText(APP_VERSION))));
  }
  first_write_ = false;
  WriteText(*file, platform::TextModeLineEnds(line));
}

CXLog& ProcessLog() {
  static CXLog log(LogPath());
  return log;
}

void LogMessage(const std::string& text, bool is_error) { ProcessLog().Write(text, is_error); }

bool LogMessageUnlessBusy(const std::string& text, bool is_error, int wait_ms) {
  return ProcessLog().WriteUnlessBusy(text, is_error, wait_ms);
}

void LogInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = VFormat(format, args);
  va_end(args);
  LogMessage(text, false);
}

void LogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = VFormat(format, args);
  va_end(args);
  LogMessage(text, true);
}

}  // namespace orvalinth
