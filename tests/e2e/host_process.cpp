#include "host_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace orvalinth::e2e {
namespace {

// The child's environment: ours, without the names to unset, with the names
// to set replaced.
std::vector<std::string> Environment(const SXCommand& command) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool drop = false;
    for (const std::string& unset : command.unset_environment) drop = drop || unset == name;
    for (const auto& set : command.set_environment) drop = drop || set.first == name;
    if (!drop) result.push_back(text);
  }
  for (const auto& set : command.set_environment) result.push_back(set.first + "=" + set.second);
  return result;
}

}  // namespace

pid_t StartCommand(const SXCommand& command) {
  if (command.argv.empty()) return -1;
  std::vector<std::string> environment = Environment(command);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> arguments = command.argv;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  const std::string output = command.output_path.empty() ? "/dev/null" : command.output_path;

  const pid_t child = fork();
  if (child != 0) return child;
  // In the child: only async-signal-safe calls until exec.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  if (!command.directory.empty() && chdir(command.directory.c_str()) != 0) _exit(126);
  execvpe(argv[0], argv.data(), envp.data());
  _exit(127);
}

bool WaitForExit(pid_t pid, int timeout_ms, int* exit_code) {
  const long long end = NowMs() + timeout_ms;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (done < 0 || NowMs() >= end) return false;
    SleepMs(10);
  }
}

int RunCommand(const SXCommand& command) {
  const pid_t child = StartCommand(command);
  if (child < 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int milliseconds) {
  const timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

}  // namespace orvalinth::e2e
