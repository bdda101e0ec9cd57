#pragma once
// The fleet server's log: one line per event, "2026-12-09T10:15:02Z LEVEL text",
// appended to the configured file (standard error as well when asked) and
// flushed line by line. Above the size limit the file becomes "<log>.1"
// (the older ones shift up to "<log>.<keep>", the oldest goes) and a new one
// starts. Lines of one kind ("unexpected link", "violation") beyond a burst
// per minute are counted, not written, and the count follows in one line: a
// flood of hostile links cannot fill the disk.

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace orvalinth::server {

enum class LogLevel { kInfo, kWarning, kError };

class CXServerLog {
 public:
  static constexpr int64_t kDefaultLimit = 10 * 1024 * 1024;
  static constexpr int kDefaultKeep = 5;
  static constexpr int kBurstPerMinute = 20;

  CXServerLog() = default;
  ~CXServerLog();
  CXServerLog(const CXServerLog&) = delete;
  CXServerLog& operator=(const CXServerLog&) = delete;

  // Opens (appending) the file; false with *error when it cannot.
  bool Open(const std::string& path, std::string* error, int64_t limit = kDefaultLimit, int keep = kDefaultKeep);
  void set_echo(bool echo) { echo_ = echo; }

  void Write(LogLevel level, const std::string& text);
  // Write, at most kBurstPerMinute lines of `kind` a minute; the rest are
  // counted and said in one line when the minute is over.
  void WriteLimited(const std::string& kind, LogLevel level, const std::string& text);

  const std::string& path() const { return path_; }

 private:
  void WriteLocked(LogLevel level, const std::string& text, int64_t now_s);
  void FlushCountsLocked(int64_t now_s);
  void RotateLocked();

  std::mutex lock_;
  std::FILE* file_ = nullptr;
  std::string path_;
  int64_t limit_ = kDefaultLimit;
  int keep_ = kDefaultKeep;
  int64_t size_ = 0;
  bool echo_ = false;
  struct Burst {
    int64_t minute = 0;
    int written = 0;
    int64_t held = 0;
  };
  std::map<std::string, Burst> bursts_;
};

// The time as the log writes it ("2026-12-09T10:15:02Z").
std::string UtcText(int64_t seconds);

}  // namespace orvalinth::server
