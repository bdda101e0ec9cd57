// A fatal fault in a scan, end to end, with the test build of the service
// (OrvalinthSrvFault: its file system scan faults with a real access
// violation in a folder named "orvalinth-fault-here") and the project's
// console library as the console:
//  - the host build in its daemon mode: the report, its copy, the daemon
//    replaced in place by a fresh one, which sends the report in "info";
//  - the win64 build as a service under Wine: the report with StackWalk64's
//    frames named from the symbol file beside the executable, "-restart" run
//    once, the service back and the report in "info"; without that symbol
//    file, or with another build's, the program's frames are unnamed.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_daemon.h"
#include "host_process.h"
#include "link/message.h"
#include "tools/console_link.h"
#include "wine_prefix.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 30000;  // the sanitizer build and Wine start slowly on a busy machine
constexpr char kFaultFolder[] = "orvalinth-fault-here";
constexpr char kFatalLine[] = "A fatal exception have occured in Orvalinth service while recording snapshots.";

// The report's text: UTF-16LE after FF FE, as UTF-8.
std::string ReportText(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return EncodeUtf8(text);
}

Lines CrLfLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The number of the first line `line` of the log; its size when there is none.
size_t LineNumber(const std::string& log, const std::string& line) {
  const Lines lines = LogLines(log);
  size_t n = 0;
  while (n < lines.size() && lines[n] != line) ++n;
  return n;
}

int Count(const Lines& lines, const std::string& line) {
  int n = 0;
  for (const std::string& l : lines) n += l == line ? 1 : 0;
  return n;
}

// Checks a whole report: the header, the time, the fault line with `code`,
// stack lines only, one of them naming the scan of record/ (`own_function`),
// and the end. With `own_function` empty: frames of the program's module
// ("OrvalinthSrv", in any case), but none of them named.
void CheckReport(const std::string& bytes, const std::string& executable, const std::string& code,
                 const std::string& own_function) {
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::string text = ReportText(bytes);
  const Lines lines = CrLfLines(text);
  ASSERT_GE(lines.size(), 9u) << text;
  EXPECT_EQ(lines[0], "Orvalinth service v2.10 x64") << text;
  EXPECT_EQ(lines[1], executable);
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(".* Exe64"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(".* \\d+\\.\\d\\d/\\d+\\.\\d\\d"))) << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"))) << lines[4];
  EXPECT_TRUE(std::regex_match(lines[5], std::regex("exception at [0-9A-F]{16} - " + code + " \\d+\\.\\d\\d/\\d+\\.\\d\\d")))
      << lines[5];
  ASSERT_GE(text.size(), 5u);
  EXPECT_EQ(text.substr(text.size() - 5), ".\r\n\r\n");
  const std::regex with_file("[0-9A-F]{16} .+ \\(\\d+\\): .+");
  const std::regex without_file("[0-9A-F]{16} \\([^()]*\\): -: .+");
  const std::regex error("ERROR: .+, GetLastError: -?\\d+ \\(Address: [0-9A-F]{16}\\)");
  const std::regex own_module("[0-9A-F]{16} \\(OrvalinthSrv\\): .*", std::regex::icase);
  const std::regex unnamed_own("[0-9A-F]{16} \\(OrvalinthSrv\\): -: -", std::regex::icase);
  bool names_own_code = false;
  int unnamed_own_frames = 0;
  // Then the stack, then "." and the empty line.
  for (size_t i = 6; i + 2 < lines.size(); ++i) {
    const std::string& line = lines[i];
    const bool frame = std::regex_match(line, with_file) || std::regex_match(line, without_file);
    EXPECT_TRUE(frame || std::regex_match(line, error)) << "line " << i << ": " << line;
    if (!frame) continue;
    if (own_function.empty()) {
      const bool own = std::regex_match(line, own_module);
      EXPECT_TRUE(!own || std::regex_match(line, unnamed_own)) << "line " << i << ": " << line;
      EXPECT_EQ(line.find("orvalinth::"), std::string::npos) << "line " << i << ": " << line;
      unnamed_own_frames += own ? 1 : 0;
    } else if (line.find(own_function) != std::string::npos) {
      names_own_code = true;
    }
  }
  EXPECT_EQ(lines[lines.size() - 2], ".");
  EXPECT_EQ(lines.back(), "");
  if (own_function.empty()) {
    // The faulting scan and its callers down to the thread's start.
    EXPECT_GE(unnamed_own_frames, 3) << text;
  } else {
    EXPECT_TRUE(names_own_code) << "no frame names " << own_function << ":\n" << text;
  }
}

// A scan of `folder` (in the agent's path form) with nothing else in it.
bool StartScan(tools::CXConsoleLink& console, const std::string& folder) {
  CXMessage request;
  request.Init("scan").AddInt("default", 0);
  request.AddList("file", {DecodeUtf8(folder)}).AddList("regs", {}).AddList("apps", {});
  request.AddInt("add-ver-inf", 0).AddInt("full", 0).AddString("snap-name", "crash");
  CXMessage reply;
  return console.Request("scan", request, &reply) && reply.GetInt("ok") == 1;
}

// ---- the host build as a daemon ---------------------------------------------

class DaemonCrash : public HostDaemonTest {
 protected:
  DaemonCrash() : HostDaemonTest("crash", ORVALINTH_HOST_FAULT_SERVICE) {
    fs::create_directories(folder_ + "/scan-me/a/" + kFaultFolder);
    WriteWholeFile(folder_ + "/scan-me/a/file.txt", "x");
  }
};

TEST_F(DaemonCrash, AFaultInAScanIsReportedAndAFreshDaemonTakesOver) {
  tools::CXConsoleLink console;
  ASSERT_TRUE(console.Listen("127.0.0.1", 0)) << console.failure_text();
  WriteSettings(console.port());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());

  ASSERT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text() << Joined(LogLines(Log()));
  EXPECT_FALSE(console.info().has_crash);
  ASSERT_TRUE(StartScan(console, AgentPath(folder_ + "/scan-me/"))) << console.failure_text();

  // The faulting process closes the link, and a fresh daemon starts in its
  // place; it has not read the copy before the console answers its greeting.
  ASSERT_TRUE(console.WaitForDrop(kWaitMs)) << console.failure_text() << Joined(LogLines(Log()));
  ASSERT_TRUE(WaitForLogLine(Log(), "try to restart service...", kWaitMs)) << Joined(LogLines(Log()));
  const size_t restart = LineNumber(Log(), "try to restart service...");
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", kWaitMs, restart)) << Joined(LogLines(Log()));
  const std::string report = ReadWholeFile(folder_ + "/error-log.txt");
  CheckReport(report, AgentPath(Program()), "B", "CXFolderLister::");
  EXPECT_EQ(ReadWholeFile(folder_ + "/error-log.tmp"), report);

  ASSERT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text();
  ASSERT_TRUE(console.info().has_crash);
  EXPECT_EQ(console.info().crash, ReportText(report));
  EXPECT_FALSE(fs::exists(folder_ + "/error-log.tmp"));
  ASSERT_TRUE(WaitForLogLine(Log(), "connected to server", kWaitMs, restart)) << Joined(LogLines(Log()));

  // The same process (the daemon was replaced, not started beside it),
  // restarted once.
  int code = 0;
  EXPECT_FALSE(WaitForExit(daemon_, 0, &code));
  const Lines lines = LogLines(Log());
  EXPECT_TRUE(InOrder(lines, {"Service started", "Orvalinth started", kFatalLine, "try to restart service...",
                              "Service started", "Orvalinth started", "connected to server"}))
      << Joined(lines);
  EXPECT_EQ(Count(lines, "Service started"), 2) << Joined(lines);
  EXPECT_EQ(Count(lines, kFatalLine), 1);

  kill(daemon_, SIGTERM);
  EXPECT_TRUE(WaitForExit(daemon_, kWaitMs, &code));
  EXPECT_EQ(code, 0);
  daemon_ = -1;
}

// ---- the win64 build as a service under Wine ----------------------------------

constexpr char kFolder[] = "C:\\Program Files\\Orvalinth\\";
constexpr char kExe[] = "C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe";

// The fault build beside the product: ORVALINTH_E2E_FAULT_EXE, else the
// tests folder of the product's build.
std::string WindowsFaultExecutable() {
  if (const char* path = std::getenv("ORVALINTH_E2E_FAULT_EXE")) return path;
  if (WindowsExecutable().empty()) return std::string();
  return (fs::path(WindowsExecutable()).parent_path() / "tests" / "OrvalinthSrvFault.exe").string();
}

class WineCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(WindowsFaultExecutable().empty())
        << "no win64 OrvalinthSrvFault.exe: give --exe=PATH or set ORVALINTH_E2E_FAULT_EXE";
    ASSERT_TRUE(fs::exists(WindowsFaultExecutable())) << WindowsFaultExecutable();
    prefix_ = std::make_unique<WinePrefix>("crash");
    ASSERT_TRUE(prefix_->ok()) << prefix_->error();
    fs::create_directories(prefix_->HostPath(kFolder) + "data");
    fs::create_directories(prefix_->HostPath("C:\\scan-me\\a\\") + kFaultFolder);
    WriteWholeFile(prefix_->HostPath("C:\\scan-me\\a\\file.txt"), "x");
    ASSERT_TRUE(CopyProgram(WindowsFaultExecutable(), prefix_->HostPath(kExe)))
        << "cannot install " << WindowsFaultExecutable() << " with its symbol file";
  }
  void TearDown() override {
    if (prefix_ != nullptr && prefix_->ok() && !State().empty()) {
      prefix_->Wine({"sc", "stop", "OrvalinthSrv"});
      const long long end = NowMs() + kWaitMs;
      while (State() != "STOPPED" && NowMs() < end) SleepMs(100);
      prefix_->Wine({"sc", "delete", "OrvalinthSrv"});
    }
    prefix_.reset();  // ends the prefix's server and removes the copy
  }

  std::string File(const char* name) const { return prefix_->HostPath(std::string(kFolder) + name); }
  // Lets the service crash in a scan and returns its report, once the
  // recovery has begun (the report is complete then). `console` waits for
  // the service's connection.
  std::string CrashInAScan(tools::CXConsoleLink& console) {
    const size_t before = LogLines(Log()).size();
    if (!console.AcceptAgent(kWaitMs)) ADD_FAILURE() << console.failure_text() << Joined(LogLines(Log()));
    if (!StartScan(console, "C:\\scan-me\\")) ADD_FAILURE() << console.failure_text();
    EXPECT_TRUE(console.WaitForDrop(60000)) << console.failure_text() << Joined(LogLines(Log()));
    EXPECT_TRUE(WaitForLogLine(Log(), "try to restart service...", kWaitMs, before)) << Joined(LogLines(Log()));
    return ReadWholeFile(File("error-log.txt"));
  }
  std::string Log() const { return File("OrvalinthSrv.log"); }
  std::string State() const {
    const SXRun run = prefix_->Wine({"sc", "query", "OrvalinthSrv"});
    std::smatch match;
    if (run.exit_code != 0 || !std::regex_search(run.output, match, std::regex("STATE *: *\\d+ +([A-Z_]+)"))) {
      return std::string();
    }
    return match[1];
  }

  std::unique_ptr<WinePrefix> prefix_;
};

TEST_F(WineCrash, AFaultInAScanIsReportedAndTheServiceRestartsOnce) {
  tools::CXConsoleLink console;
  ASSERT_TRUE(console.Listen("127.0.0.1", 0)) << console.failure_text();
  WriteWholeFile(File("OrvalinthSrv.ini"),
                 "ServerAddr:127.0.0.1\r\nServerPort:" + std::to_string(console.port()) + "\r\n");
  EXPECT_EQ(prefix_->Wine({kExe, "-register"}).exit_code, 0);
  EXPECT_EQ(prefix_->Wine({kExe, "-start"}).exit_code, 0);

  ASSERT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text() << Joined(LogLines(Log()));
  EXPECT_FALSE(console.info().has_crash);
  ASSERT_TRUE(StartScan(console, "C:\\scan-me\\")) << console.failure_text();

  ASSERT_TRUE(console.WaitForDrop(60000)) << console.failure_text() << Joined(LogLines(Log()));
  ASSERT_TRUE(WaitForLogLine(Log(), "try to restart service...", kWaitMs)) << Joined(LogLines(Log()));
  const size_t restart = LineNumber(Log(), "try to restart service...");
  // "-restart" waits 5 s, stops the service (already stopped) and starts it.
  ASSERT_TRUE(WaitForLogLine(Log(), "Orvalinth started", 60000, restart)) << Joined(LogLines(Log()));
  const std::string report = ReadWholeFile(File("error-log.txt"));
  CheckReport(report, kExe, "C0000005", "CXFolderLister::");
  EXPECT_EQ(ReadWholeFile(File("error-log.tmp")), report);

  ASSERT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text() << Joined(LogLines(Log()));
  ASSERT_TRUE(console.info().has_crash);
  EXPECT_EQ(console.info().crash, ReportText(report));
  EXPECT_FALSE(fs::exists(File("error-log.tmp")));
  ASSERT_TRUE(WaitForLogLine(Log(), "connected to server", kWaitMs, restart)) << Joined(LogLines(Log()));
  EXPECT_EQ(State(), "RUNNING");

  const Lines lines = LogLines(Log());
  EXPECT_TRUE(InOrder(lines, {"Starting Orvalinth service ...", "Service started", "Orvalinth started", kFatalLine,
                              "try to restart service...", "Starting Orvalinth service ...", "Service started",
                              "Orvalinth started", "connected to server"}))
      << Joined(lines);
  EXPECT_EQ(Count(lines, "Starting Orvalinth service ..."), 2) << Joined(lines);  // -start, then -restart once
  EXPECT_EQ(Count(lines, kFatalLine), 1);
}

// The frames are named only from the symbol file built with the executable:
// dbghelp ignores one that does not match it (as an upgrade leaves the old
// one, since only the executable travels), so a name is never wrong.
TEST_F(WineCrash, WithoutItsOwnSymbolFileTheProgramsFramesAreUnnamed) {
  const std::string symbol_file = File("OrvalinthSrv.pdb");
  ASSERT_TRUE(fs::exists(symbol_file));
  ASSERT_FALSE(WindowsExecutable().empty());
  tools::CXConsoleLink console;
  ASSERT_TRUE(console.Listen("127.0.0.1", 0)) << console.failure_text();
  WriteWholeFile(File("OrvalinthSrv.ini"),
                 "ServerAddr:127.0.0.1\r\nServerPort:" + std::to_string(console.port()) + "\r\n");

  fs::remove(symbol_file);
  EXPECT_EQ(prefix_->Wine({kExe, "-register"}).exit_code, 0);
  EXPECT_EQ(prefix_->Wine({kExe, "-start"}).exit_code, 0);
  CheckReport(CrashInAScan(console), kExe, "C0000005", "");

  // The product's symbol file, of the same name, beside the fault build;
  // the service restarted after the first crash.
  fs::copy_file(SymbolFileOf(WindowsExecutable()), symbol_file);
  CheckReport(CrashInAScan(console), kExe, "C0000005", "");
}

}  // namespace
}  // namespace orvalinth::e2e
