// This process and the programs it starts, on POSIX.

#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/errors.h"
#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

class PosixProcess final : public Process {
 public:
  std::u16string ExecutablePath() override {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::u16string();
    return posix::FromHostPath(std::string(buffer, static_cast<size_t>(n)));
  }

  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    arguments->clear();
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    if (!in) return false;
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\0', start);
      if (end == std::string::npos) end = all.size();
      arguments->push_back(posix::FromUtf8(all.substr(start, end - start)));
      start = end + 1;
    }
    return !arguments->empty();
  }

  bool StartInPlace(const std::u16string& program, const std::u16string& command_line,
                    const std::function<void()>& hand_over) override {
    // exec cannot hold a program back: what can be known before the
    // hand-over is that the file is one that can be executed.
    const std::string path = posix::ResolveHostPath(program);
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || access(path.c_str(), X_OK) != 0) {
      posix::SetLastErrorFromErrno(errno, path);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      posix::SetLastErrorFromErrno(EACCES, path);
      return false;
    }
    hand_over();
    return Start(program, command_line, RunMode::kReplace);
  }

  bool Start(const std::u16string& program, const std::u16string& command_line, RunMode mode) override {
    const std::string path = posix::ResolveHostPath(program);
    std::vector<std::string> strings;
    for (const std::u16string& argument : SplitCommandLine(command_line)) strings.push_back(posix::ToUtf8(argument));
    if (strings.empty()) strings.push_back(path);
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    if (mode == RunMode::kReplace) {
      // The program takes over this process (and its place under a service manager).
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv(path.c_str(), argv.data());
      posix::SetLastErrorFromErrno(errno, path);
      return false;
    }

    // The child reports a failed exec through a pipe that a successful exec closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
      posix::SetLastErrorFromErrno(errno);
      return false;
    }
    const pid_t child = fork();
    if (child < 0) {
      posix::SetLastErrorFromErrno(errno);
      close(report[0]);
      close(report[1]);
      return false;
    }
    if (child == 0) {
      close(report[0]);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(SIGPIPE, SIG_DFL);
      if (mode == RunMode::kDetached) {
        // Detach into a session of its own; the middle process ends at once so
        // that nothing is left to be waited for.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild < 0) {
          const int e = errno;
          (void)!write(report[1], &e, sizeof e);
          _exit(127);
        }
        if (grandchild > 0) _exit(0);
      }
      execv(path.c_str(), argv.data());
      const int e = errno;
      (void)!write(report[1], &e, sizeof e);
      _exit(127);
    }
    close(report[1]);
    int exec_errno = 0;
    ssize_t got;
    do {
      got = read(report[0], &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (mode == RunMode::kDetached || got > 0) {
      int status = 0;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (got > 0) {
      posix::SetLastErrorFromErrno(exec_errno, path);
      return false;
    }
    if (mode == RunMode::kWait) {
      int status = 0;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
    return true;
  }
};

}  // namespace

template <>
Process& Facility<Process>::Real() {
  static PosixProcess instance;
  return instance;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void EndProcessNow(int code) { _exit(code); }

void SleepMs(uint32_t milliseconds) {
  timespec rest{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace orvalinth::platform
