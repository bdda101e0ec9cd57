#include "wine_prefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>

#include "host_process.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kBootTimeoutS = 180;
constexpr int kServerTimeoutS = 30;

std::mutex g_open_lock;
std::set<std::string> g_open;  // prefixes whose server may be running

// By the paths of cmake/wine-env, which every script uses too.
std::string WineProgram() { return ORVALINTH_WINE64; }
std::string WineServer() { return ORVALINTH_WINESERVER; }

// A command in `prefix`: headless, no Mono or Gecko prompts, no menu
// entries, no debugger, under timeout(1) when `timeout_s` is not 0.
SXCommand InPrefix(const std::string& prefix, std::vector<std::string> argv, int timeout_s) {
  SXCommand command;
  if (timeout_s > 0) {
    argv.insert(argv.begin(), {"timeout", "-k", "5", std::to_string(timeout_s)});
  }
  command.argv = std::move(argv);
  command.set_environment = {{"WINEPREFIX", prefix},
                             {"WINEARCH", "win64"},
                             {"WINEDEBUG", "-all"},
                             {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"}};
  command.unset_environment = {"DISPLAY", "WAYLAND_DISPLAY"};
  return command;
}

// Ends the prefix's server and waits for it (-k first: -w alone hangs on a
// server started with -p).
void EndServer(const std::string& prefix) {
  RunCommand(InPrefix(prefix, {WineServer(), "-k"}, kServerTimeoutS));
  RunCommand(InPrefix(prefix, {WineServer(), "-w"}, kServerTimeoutS));
}

// Makes the template once; concurrent harness runs wait for each other.
bool MakeTemplate(const std::string& folder, std::string* error) {
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  const int lock = open((folder + "/template.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    *error = "cannot lock " + folder + "/template.lock";
    if (lock >= 0) close(lock);
    return false;
  }
  const std::string tpl = folder + "/template";
  const std::string ready = tpl + "/.orvalinth-e2e-ready";
  bool made = fs::exists(ready);
  if (!made) {
    fs::remove_all(tpl, ignored);
    SXCommand boot = InPrefix(tpl, {WineProgram(), "wineboot", "--init"}, kBootTimeoutS);
    boot.output_path = folder + "/template.log";
    const int code = RunCommand(boot);
    RunCommand(InPrefix(tpl, {WineServer(), "-w"}, kServerTimeoutS));
    if (code != 0 || !fs::exists(tpl + "/drive_c/windows")) {
      *error = "wineboot failed (" + std::to_string(code) + "), see " + boot.output_path;
    } else {
      // The user folders of a new prefix are links into $HOME.
      for (const fs::directory_entry& user : fs::directory_iterator(tpl + "/drive_c/users", ignored)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(user.path(), ignored)) {
          if (entry.is_symlink(ignored)) {
            fs::remove(entry.path(), ignored);
            fs::create_directory(entry.path(), ignored);
          }
        }
      }
      // Drive Z: is the whole Linux root: a full scan would walk all of it.
      fs::remove(tpl + "/dosdevices/z:", ignored);
      EndServer(tpl);
      made = WriteWholeFile(ready, "");
      if (!made) *error = "cannot write " + ready;
    }
  }
  flock(lock, LOCK_UN);
  close(lock);
  return made;
}

}  // namespace

std::string PrefixesFolder() { return std::string(ORVALINTH_E2E_WORK) + "/prefixes"; }

WinePrefix::WinePrefix(const std::string& name) {
  const std::string folder = PrefixesFolder();
  if (!MakeTemplate(folder, &error_)) return;
  path_ = folder + "/" + name + "-" + std::to_string(getpid());
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  {
    std::lock_guard<std::mutex> guard(g_open_lock);
    g_open.insert(path_);
  }
  open_ = true;
  if (RunCommand(SXCommand{{"cp", "-a", folder + "/template", path_}, {}, {}, {}, {}}) != 0) {
    error_ = "cannot copy the template prefix to " + path_;
    return;
  }
  if (RunCommand(InPrefix(path_, {WineServer(), "-p"}, kServerTimeoutS)) != 0) {
    error_ = "cannot start the server of " + path_;
    return;
  }
  // The prefix's own processes (services.exe and its friends) start now,
  // with their output on /dev/null rather than on a test's output file.
  SXCommand warm = InPrefix(path_, {WineProgram(), "cmd", "/c", "exit"}, 120);
  warm.directory = path_ + "/drive_c";
  if (RunCommand(warm) != 0) error_ = "cannot run a program in " + path_;
}

WinePrefix::~WinePrefix() { Close(); }

SXRun WinePrefix::Wine(const std::vector<std::string>& arguments, int timeout_s) const {
  static std::atomic<int> runs{0};
  std::vector<std::string> argv = {WineProgram()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SXCommand command = InPrefix(path_, argv, timeout_s);
  command.directory = path_ + "/drive_c";
  command.output_path = path_ + "/run-" + std::to_string(++runs) + ".out";
  SXRun run;
  run.exit_code = RunCommand(command);
  run.output = ReadWholeFile(command.output_path);
  std::error_code ignored;
  fs::remove(command.output_path, ignored);
  return run;
}

pid_t WinePrefix::Start(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {WineProgram()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SXCommand command = InPrefix(path_, argv, 0);
  command.directory = path_ + "/drive_c";
  return StartCommand(command);
}

std::string WinePrefix::HostPath(const std::string& windows_path) const {
  std::string rest = windows_path.size() >= 3 ? windows_path.substr(3) : std::string();
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  return path_ + "/drive_c/" + rest;
}

void WinePrefix::Close() {
  if (!open_) return;
  open_ = false;
  EndServer(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  std::lock_guard<std::mutex> guard(g_open_lock);
  g_open.erase(path_);
}

void CloseAllPrefixes() {
  std::set<std::string> open;
  {
    std::lock_guard<std::mutex> guard(g_open_lock);
    open.swap(g_open);
  }
  for (const std::string& prefix : open) {
    EndServer(prefix);
    std::error_code ignored;
    fs::remove_all(prefix, ignored);
  }
}

}  // namespace orvalinth::e2e
