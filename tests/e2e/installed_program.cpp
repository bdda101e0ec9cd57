#include "installed_program.h"

#include <filesystem>
#include <regex>

#include "e2e_support.h"
#include "host_process.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kStateWaitMs = 15000;

}  // namespace

std::string NextWindowsExecutable() {
  if (WindowsExecutable().empty()) return std::string();
  return (fs::path(WindowsExecutable()).parent_path() / "OrvalinthSrvNext.exe").string();
}

bool InstalledProgram::Install(const std::string& executable, uint16_t port, const std::string& more_settings) {
  std::error_code error;
  const std::string folder = prefix_.HostPath(kFolder);
  fs::remove_all(folder, error);
  fs::create_directories(folder + "data", error);
  if (error) return false;
  if (!CopyProgram(executable, prefix_.HostPath(kExe))) return false;
  return WriteWholeFile(HostPath("OrvalinthSrv.ini"),
                        "ServerAddr:127.0.0.1\r\nServerPort:" + std::to_string(port) + "\r\n" + more_settings);
}

std::string InstalledProgram::HostPath(const std::string& relative) const {
  return prefix_.HostPath(std::string(kFolder) + relative);
}

bool InstalledProgram::Exists(const std::string& relative) const {
  std::error_code error;
  return fs::exists(HostPath(relative), error);
}

bool InstalledProgram::WaitForExistence(const std::string& relative, bool exists, int timeout_ms) const {
  const long long end = NowMs() + timeout_ms;
  while (Exists(relative) != exists) {
    if (NowMs() >= end) return false;
    SleepMs(50);
  }
  return true;
}

SXRun InstalledProgram::Program(const std::string& option) const { return prefix_.Wine({kExe, option}); }

bool InstalledProgram::RegisterAndStart() const {
  Program("-register");
  Program("-start");
  return State() == "RUNNING";
}

std::string InstalledProgram::State() const {
  const SXRun run = prefix_.Wine({"sc", "query", "OrvalinthSrv"});
  std::smatch match;
  if (run.exit_code != 0 || !std::regex_search(run.output, match, std::regex("STATE *: *\\d+ +([A-Z_]+)"))) {
    return std::string();
  }
  return match[1];
}

void InstalledProgram::RemoveService() const {
  if (State().empty()) return;
  prefix_.Wine({"sc", "stop", "OrvalinthSrv"});
  const long long end = NowMs() + kStateWaitMs;
  while (State() != "STOPPED" && NowMs() < end) SleepMs(100);
  prefix_.Wine({"sc", "delete", "OrvalinthSrv"});
}

std::vector<std::string> InstalledProgram::Log() const { return LogLines(HostPath("OrvalinthSrv.log")); }

}  // namespace orvalinth::e2e
