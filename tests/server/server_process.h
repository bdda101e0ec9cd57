#pragma once
// The fleet server as a process of its own (the real program, orvalinth
// server, ORVALINTH_TOOL_EXE), for the tests that kill it: started on a
// configuration, killed (SIGKILL) or stopped (SIGTERM), started again.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace orvalinth::test {

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The server as a process: started on a configuration, killed, started again.
class ServerProcess {
 public:
  // `data`: its data folder ("": <folder>/data).
  explicit ServerProcess(std::string folder, std::string data = "")
      : folder_(std::move(folder)), data_(data.empty() ? folder_ + "/data" : std::move(data)) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    std::filesystem::create_directories(data_);
  }
  ~ServerProcess() {
    if (pid_ > 0) Kill();
    std::filesystem::remove_all(folder_);
  }

  // Writes its configuration file.
  void Configure(const std::string& text) { std::ofstream(folder_ + "/server.conf", std::ios::trunc) << text; }

  // Starts it and waits until it listens; its port, 0 when it did not.
  uint16_t Start() {
    const size_t before = Count("listening on ");
    const std::string config = folder_ + "/server.conf";
    const std::string output = folder_ + "/output.txt";
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      execl(ORVALINTH_TOOL_EXE, ORVALINTH_TOOL_EXE, "server", "--config", config.c_str(), "--counters-every", "0",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    const std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      if (Count("listening on ") > before) {
        const std::string log = Log();
        const size_t at = log.rfind("listening on ");
        const size_t colon = log.find(':', at + 13);
        return static_cast<uint16_t>(std::atoi(log.c_str() + colon + 1));
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
  }

  void Kill() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // SIGTERM; its exit code, -1 when it did not end within 60 s.
  int Stop() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 6000; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  const std::string& data() const { return data_; }
  // The log, and what the program wrote besides.
  std::string Log() const { return ReadFileText(data() + "/server.log") + ReadFileText(folder_ + "/output.txt"); }
  size_t Count(const std::string& what) const {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  }

 private:
  std::string folder_;
  std::string data_;
  pid_t pid_ = -1;
};

}  // namespace orvalinth::test
