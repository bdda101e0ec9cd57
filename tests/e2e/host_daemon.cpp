#include "host_daemon.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "host_process.h"

namespace orvalinth::e2e {

namespace fs = std::filesystem;

HostDaemonTest::HostDaemonTest(const std::string& name, const std::string& executable, const std::string& program)
    : program_(program.empty() ? std::string() : "/" + program) {
  folder_ = std::string(ORVALINTH_E2E_WORK) + "/" + name + "-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::remove_all(folder_);
  fs::create_directories(ProgramFolder() + "/data");
  fs::create_directories(folder_ + "/downloads");
  fs::copy_file(executable, Program());
}

HostDaemonTest::~HostDaemonTest() {
  for (pid_t pid : {daemon_, console_, child_}) {
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    int code = 0;
    WaitForExit(pid, 30000, &code);
  }
  fs::remove_all(folder_);
}

bool HostDaemonTest::WriteSettings(int port) const {
  return WriteWholeFile(ProgramFolder() + "/OrvalinthSrv.ini",
                        "ServerAddr:127.0.0.1\nServerPort:" + std::to_string(port) + "\n");
}

void HostDaemonTest::StartDaemon() {
  SXCommand daemon;
  daemon.argv = {Program()};
  daemon.directory = ProgramFolder();
  daemon.output_path = DaemonOutput();
  daemon_ = StartCommand(daemon);
  ASSERT_GT(daemon_, 0);
}

void HostDaemonTest::StartConsoleAndDaemon(const std::vector<std::string>& set_scan, int seconds) {
  // The console first, on a free port that it writes down.
  const std::string port_file = folder_ + "/port";
  const std::string wait = std::to_string(seconds);
  SXCommand console;
  console.argv = {ORVALINTH_TOOL_EXE, "console", "--listen", "127.0.0.1", "--port", "0", "--port-file", port_file,
                  "--accept-timeout", wait, "--reply-timeout", wait, "set-scan"};
  console.argv.insert(console.argv.end(), set_scan.begin(), set_scan.end());
  const std::vector<std::string> rest = {";", "scan", ";", "wait-scan", wait, ";",
                                         "download", "last", folder_ + "/downloads", "--ack"};
  console.argv.insert(console.argv.end(), rest.begin(), rest.end());
  console.output_path = ConsoleOutput();
  console_ = StartCommand(console);
  ASSERT_GT(console_, 0);
  const std::string port = Await(port_file, seconds * 1000);
  ASSERT_FALSE(port.empty()) << ReadWholeFile(ConsoleOutput());

  // Then the daemon, pointed at it.
  ASSERT_TRUE(WriteSettings(std::atoi(port.c_str())));
  StartDaemon();
}

std::string HostDaemonTest::Await(const std::string& path, int timeout_ms) {
  const long long end = NowMs() + timeout_ms;
  while (ReadWholeFile(path).empty() && NowMs() < end) SleepMs(20);
  return ReadWholeFile(path);
}

}  // namespace orvalinth::e2e
