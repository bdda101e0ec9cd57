#pragma once
// What the service control and service runtime tests share: the emulated
// service manager in place of the real one, a private program folder, and the
// lines the log gained during the test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/paths.h"
#include "fake_crash_handler.h"
#include "host/crash_handler.h"
#include "host/service_control.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/service_emulation.h"
#include "test_support.h"

namespace orvalinth::test {

inline constexpr char16_t kService[] = u"OrvalinthSrv";

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() : use_manager_(manager_), use_crash_handler_(crash_handler_) {
    // The process log keeps the path of its first use: fix it before the
    // executable moves into this test's folder.
    ProcessLog();
    test_process().set_executable(dir_ / u"OrvalinthSrv.exe");
    MarkLog();
  }
  ~ServiceTest() override {
    // The service entry installs the crash handler (into the fake above).
    UninstallCrashHandler();
    test_process().set_executable(std::u16string());
  }

  // The log lines written since the test began, without their time stamps
  // (a line that goes on from the one before has none).
  std::vector<std::string> NewLogLines() const {
    std::string all = ReadFileBytes(ProcessLog().path());
    size_t start = log_start_;
    if (all.size() < start) {
      // The log was rotated during the test: its beginning is in the old log.
      all = ReadFileBytes(ProcessLog().path() + u".old") + all;
    }
    std::vector<std::string> lines;
    while (start < all.size()) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (IsTimeStamp(line)) line.erase(0, 20);
      // The connection thread runs beside the service entry and says, at a
      // moment of its own, that it waits for a console that never comes.
      if (line.rfind("Waiting for server ", 0) != 0) lines.push_back(line);
      start = end + 1;
    }
    return lines;
  }

  // Waits until the log has gained the line `text`, at most `timeout_ms`.
  bool WaitForLogLine(const std::string& text, int timeout_ms) const {
    const int64_t end = platform::MonotonicMs() + timeout_ms;
    for (;;) {
      for (const std::string& line : NewLogLines()) {
        if (line == text) return true;
      }
      if (platform::MonotonicMs() >= end) return false;
      platform::SleepMs(5);
    }
  }

  // Later NewLogLines begin here.
  void MarkLog() { log_start_ = ReadFileBytes(ProcessLog().path()).size(); }

  // The service control without sleeping between its status queries nor
  // before a restart: the tests count queries, not time.
  static CXServiceControl::Timing FastControl() {
    CXServiceControl::Timing timing;
    timing.poll_interval_ms = 0;
    timing.restart_delay_ms = 0;
    return timing;
  }

  void WriteSettings() {
    WriteFileBytes(SettingsPath(), "ServerAddr:127.0.0.1\nServerPort:51999\n");
  }

  TempFolder dir_;
  platform::EmulatedServiceManager manager_;
  platform::ScopedFacility<platform::ServiceManager> use_manager_;
  FakeCrashHandler crash_handler_;
  platform::ScopedFacility<platform::CrashHandler> use_crash_handler_;

 private:
  // "yyyy-mm-dd hh:mm:ss " at the start.
  static bool IsTimeStamp(const std::string& line) {
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < 20) return false;
    for (size_t i = 0; i < 20; ++i) {
      const char c = line[i];
      if (kPattern[i] == 'd' ? (c < '0' || c > '9') : c != kPattern[i]) return false;
    }
    return true;
  }

  size_t log_start_ = 0;
};

}  // namespace orvalinth::test
