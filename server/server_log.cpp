#include "server/server_log.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace orvalinth::server {
namespace {

const char* LevelWord(LogLevel level) {
  switch (level) {
    case LogLevel::kInfo: return "info";
    case LogLevel::kWarning: return "warning";
    case LogLevel::kError: return "error";
  }
  return "info";
}

}  // namespace

std::string UtcText(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

CXServerLog::~CXServerLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CXServerLog::Open(const std::string& path, std::string* error, int64_t limit, int keep) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    *error = "cannot open the log " + path + " for appending";
    return false;
  }
  path_ = path;
  limit_ = limit;
  keep_ = keep;
  std::fseek(file_, 0, SEEK_END);
  size_ = std::ftell(file_);
  return true;
}

void CXServerLog::Write(LogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  const int64_t now = platform::UnixMicros() / 1000000;
  FlushCountsLocked(now);
  WriteLocked(level, text, now);
}

void CXServerLog::WriteLimited(const std::string& kind, LogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  const int64_t now = platform::UnixMicros() / 1000000;
  FlushCountsLocked(now);
  Burst& burst = bursts_[kind];
  if (burst.minute != now / 60) {
    burst.minute = now / 60;
    burst.written = 0;
  }
  if (burst.written >= kBurstPerMinute) {
    ++burst.held;
    return;
  }
  ++burst.written;
  WriteLocked(level, text, now);
}

void CXServerLog::FlushCountsLocked(int64_t now_s) {
  for (auto& [kind, burst] : bursts_) {
    if (burst.held > 0 && burst.minute != now_s / 60) {
      WriteLocked(LogLevel::kWarning,
                  std::to_string(burst.held) + " more lines of \"" + kind + "\" in the minute before were not written",
                  now_s);
      burst.held = 0;
    }
  }
}

void CXServerLog::WriteLocked(LogLevel level, const std::string& text, int64_t now_s) {
  std::string line = UtcText(now_s) + " " + LevelWord(level) + " ";
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;  // one event, one line
  line += '\n';
  if (echo_) std::fputs(line.c_str(), stderr);
  if (file_ == nullptr) return;
  if (size_ + static_cast<int64_t>(line.size()) > limit_) RotateLocked();
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
  size_ += static_cast<int64_t>(line.size());
}

void CXServerLog::RotateLocked() {
  std::fclose(file_);
  file_ = nullptr;
  std::remove((path_ + "." + std::to_string(keep_)).c_str());
  for (int n = keep_ - 1; n >= 1; --n) {
    std::rename((path_ + "." + std::to_string(n)).c_str(), (path_ + "." + std::to_string(n + 1)).c_str());
  }
  std::rename(path_.c_str(), (path_ + ".1").c_str());
  file_ = std::fopen(path_.c_str(), "ab");
  size_ = 0;
}

}  // namespace orvalinth::server
