#pragma once
// The log: every administrative step, connection event and error as one
// timestamped line in "OrvalinthSrv.log" beside the executable.
//
//   <yyyy-mm-dd hh:mm:ss> [Error: ]<text>
//
// The file is opened and closed for every line (other processes can read it
// at any time). Above 102,400 bytes it becomes "OrvalinthSrv.log.old" and a
// new log starts. The first line a process writes into a log that already has
// content is preceded by the banner "\nOrvalinthSrv v<version text>\n". When
// the log cannot be opened the line goes to standard output.

#include <mutex>
#include <string>

namespace orvalinth {

class CXLog {
 public:
  static constexpr long kRotationThreshold = 102400;

  explicit CXLog(std::u16string path) : path_(std::move(path)) {}

  // Appends one line; one lock makes the line and a rotation one step.
  void Write(const std::string& text, bool is_error);
  // Write, for the crash handler, which must not wait for a lock that the
  // faulting thread may hold: the lock is only tried, for up to `wait_ms`;
  // false (nothing written) when it could not be had.
  bool WriteUnlessBusy(const std::string& text, bool is_error, int wait_ms);

  const std::u16string& path() const { return path_; }

 private:
  // The line with its time stamp, and its writing under the lock.
  static std::string Line(const std::string& text, bool is_error);
  void WriteLocked(const std::string& line);

  std::mutex lock_;
  std::u16string path_;
  bool first_write_ = true;
};

// The process-wide log (its path computed on first use).
CXLog& ProcessLog();

// Appends one line to the process-wide log: information (is_error false) or error.
void LogMessage(const std::string& text, bool is_error);

// LogMessage through CXLog::WriteUnlessBusy (for the crash handler).
bool LogMessageUnlessBusy(const std::string& text, bool is_error, int wait_ms);

// printf-style forms.
void LogInfo(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void LogError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace orvalinth
