#include "service_link.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "e2e_support.h"
#include "host_process.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kStateWaitMs = 15000;

}  // namespace

ServiceLink::ServiceLink(const std::string& name) {
  if (WindowsExecutable().empty()) {
    error_ = "no win64 OrvalinthSrv.exe: give --exe=PATH or set ORVALINTH_E2E_EXE";
    return;
  }
  prefix_ = std::make_unique<WinePrefix>(name);
  if (!prefix_->ok()) {
    error_ = prefix_->error();
    return;
  }
  std::error_code failed;
  fs::create_directories(prefix_->HostPath(kFolder) + "data", failed);
  if (failed || !CopyProgram(WindowsExecutable(), prefix_->HostPath(kExe))) {
    error_ = "cannot install the program and its symbol file in the prefix";
    return;
  }
  if (!console_.Listen("127.0.0.1", 0)) error_ = "the console cannot listen: " + console_.failure_text();
  console_.set_reply_timeout_ms(60000);
}

ServiceLink::~ServiceLink() {
  if (prefix_ == nullptr || !prefix_->ok()) return;
  console_.Close();
  if (!State().empty()) {
    Stop();
    prefix_->Wine({"sc", "delete", "OrvalinthSrv"});
  }
  prefix_->Close();
}

void ServiceLink::WriteSettings(const std::string& address, uint16_t port, const std::string& more) {
  WriteWholeFile(SettingsPath(), "ServerAddr:" + address + "\r\nServerPort:" + std::to_string(port) + "\r\n" + more);
}

std::string ServiceLink::State() {
  const SXRun run = prefix_->Wine({"sc", "query", "OrvalinthSrv"});
  std::smatch match;
  if (run.exit_code != 0 || !std::regex_search(run.output, match, std::regex("STATE *: *\\d+ +([A-Z_]+)"))) {
    return std::string();
  }
  return match[1];
}

void ServiceLink::Stop() {
  prefix_->Wine({"sc", "stop", "OrvalinthSrv"});
  const long long end = NowMs() + kStateWaitMs;
  while (State() != "STOPPED" && NowMs() < end) SleepMs(100);
}

bool ServiceLink::Start() {
  const std::string state = State();
  if (state.empty()) {
    prefix_->Wine({kExe, "-register"});
  } else if (state != "STOPPED") {
    Stop();
  }
  prefix_->Wine({kExe, "-start"});
  const long long end = NowMs() + kStateWaitMs;
  while (State() != "RUNNING" && NowMs() < end) SleepMs(100);
  return State() == "RUNNING";
}

bool ServiceLink::Connect(const std::string& more, int64_t timeout_ms) {
  if (console_.connected()) return true;
  WriteSettings("127.0.0.1", console_.port(), more);
  if (!Start()) {
    error_ = "the service does not run; its log:\n" + Joined(LogLines(LogPath()));
    return false;
  }
  if (!console_.AcceptAgent(timeout_ms)) {
    error_ = "no link from the service: " + console_.failure_text() + "; its log:\n" + Joined(LogLines(LogPath()));
    return false;
  }
  return true;
}

bool ServiceLink::Reconnect(int64_t timeout_ms) {
  console_.Close();
  if (console_.AcceptAgent(timeout_ms)) return true;
  error_ = "the service did not connect again: " + console_.failure_text();
  return false;
}

std::string ServiceLink::LogPath() const { return prefix_->HostPath(std::string(kFolder) + "OrvalinthSrv.log"); }
std::string ServiceLink::SettingsPath() const { return prefix_->HostPath(std::string(kFolder) + "OrvalinthSrv.ini"); }

std::string ServiceLink::SnapshotPath(int number) const {
  char name[32];
  std::snprintf(name, sizeof name, "data\\snapshot%03d.snp", number);
  return prefix_->HostPath(std::string(kFolder) + name);
}

std::string ServiceLink::Setting(const std::string& key) const {
  const std::string text = ReadWholeFile(SettingsPath());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
    at = end + 1;
  }
  return std::string();
}

int NextSnapshotNumber(const ServiceLink& service) { return std::atoi(service.Setting("SnapshotCnt:").c_str()) + 1; }

}  // namespace orvalinth::e2e
