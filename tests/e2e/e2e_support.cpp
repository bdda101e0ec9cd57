#include "e2e_support.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <filesystem>

#include "base/strings.h"
#include "host_process.h"

namespace orvalinth::e2e {
namespace {

std::string g_windows_executable;

// "yyyy-mm-dd hh:mm:ss " at the start.
bool HasTimeStamp(const std::string& line) {
  static const char kPattern[] = "dddd-dd-dd dd:dd:dd ";
  if (line.size() < 20) return false;
  for (size_t i = 0; i < 20; ++i) {
    const char c = line[i];
    if (kPattern[i] == 'd' ? (c < '0' || c > '9') : c != kPattern[i]) return false;
  }
  return true;
}

}  // namespace

const std::string& WindowsExecutable() { return g_windows_executable; }
void SetWindowsExecutable(const std::string& path) { g_windows_executable = path; }
std::string HostExecutable() { return ORVALINTH_HOST_SERVICE; }

std::string Win64BuildFile(const std::string& relative) {
  return std::filesystem::path(WindowsExecutable()).parent_path().string() + "/" + relative;
}

std::string AgentPath(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}
std::u16string WindowsForm(const std::string& host_path) { return Widen(AgentPath(host_path)); }
std::string N(const std::u16string& text) { return EncodeUtf8(text); }

std::string SymbolFileOf(const std::string& executable) {
  return std::filesystem::path(executable).replace_extension(".pdb").string();
}

bool CopyProgram(const std::string& executable, const std::string& target) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::copy_file(executable, target, fs::copy_options::overwrite_existing, error);
  if (error) return false;
  fs::copy_file(SymbolFileOf(executable), fs::path(target).replace_filename("OrvalinthSrv.pdb"),
                fs::copy_options::overwrite_existing, error);
  return !error;
}

std::vector<std::string> LogLines(const std::string& path) {
  const std::string all = ReadWholeFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.rfind("OrvalinthSrv v", 0) == 0) continue;  // a banner
    if (HasTimeStamp(line)) line.erase(0, 20);
    lines.push_back(line);
  }
  return lines;
}

bool WaitForLogLine(const std::string& path, const std::string& line, int timeout_ms, size_t after) {
  const long long end = NowMs() + timeout_ms;
  for (;;) {
    const std::vector<std::string> lines = LogLines(path);
    for (size_t i = after; i < lines.size(); ++i) {
      if (lines[i] == line) return true;
    }
    if (NowMs() >= end) return false;
    SleepMs(20);
  }
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < expected.size() && line == expected[next]) ++next;
  }
  return next == expected.size();
}

std::vector<std::string> WithoutConnectLines(std::vector<std::string> lines) {
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& line) {
                               return line.rfind("Waiting for server ", 0) == 0 || line == "connecting to server...";
                             }),
              lines.end());
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

int WineProcessOf(const std::string& host_exe) {
  const std::string name = std::filesystem::path(host_exe).filename().string();
  int found = -1;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = readdir(proc)) {
    const int pid = static_cast<int>(std::atol(entry->d_name));
    if (pid <= 0) continue;
    const std::string base = "/proc/" + std::to_string(pid);
    if (ReadWholeFile(base + "/cmdline").find(name) == std::string::npos) continue;
    std::ifstream maps(base + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
      if (line.size() >= host_exe.size() && line.compare(line.size() - host_exe.size(), host_exe.size(), host_exe) == 0) {
        found = pid;
        break;
      }
    }
    if (found > 0) break;
  }
  closedir(proc);
  return found;
}

long ProcessStatus(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == field) {
      long value = -1;
      status >> value;
      return value;
    }
  }
  return -1;
}

}  // namespace orvalinth::e2e
