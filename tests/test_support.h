#pragma once
// Helpers shared by the tests of both builds.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace orvalinth::test {

// True under Wine; tests that Wine cannot pass say why next to the check.
bool running_under_wine();

// A fresh folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's path, ending with a backslash.
  const std::u16string& path() const { return path_; }
  // path() + name.
  std::u16string operator/(const std::u16string& name) const { return path_ + name; }

 private:
  std::u16string path_;
};

// Removes a folder and everything below it (links are removed, not followed).
void RemoveTree(const std::u16string& folder);

void WriteFileBytes(const std::u16string& path, const std::string& bytes);
std::string ReadFileBytes(const std::u16string& path);
bool FileExists(const std::u16string& path);

// UTF-16 from ASCII or UTF-8 test text.
std::u16string W(const std::string& text);
// 8-bit from UTF-16 (UTF-8).
std::string N(const std::u16string& text);

// Bytes from a hex text such as "04 00 00 00 70 69".
std::string Hex(const std::string& hex);
// Hex text of bytes, for readable failures.
std::string ToHex(const std::string& bytes);

// The service executable built beside the tests, in Windows form.
std::u16string ServiceExecutable();

// The process facility of every test process: the executable path is
// "OrvalinthSrv.exe" in a private program folder (so logs, settings and
// snapshots of a test never meet those of another), the arguments are those a
// test sets, everything else is the real process.
class TestProcess final : public platform::Process {
 public:
  explicit TestProcess(std::u16string program_folder) : folder_(std::move(program_folder)) {}
  std::u16string ExecutablePath() override {
    if (unknown_) return std::u16string();
    return executable_.empty() ? folder_ + u"OrvalinthSrv.exe" : executable_;
  }
  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    *arguments = arguments_;
    return arguments_available_;
  }
  bool Start(const std::u16string& program, const std::u16string& command_line, platform::RunMode mode) override {
    return platform::Process::Real().Start(program, command_line, mode);
  }

  const std::u16string& program_folder() const { return folder_; }
  // Another executable path; the empty text goes back to the test's own.
  void set_executable(std::u16string path) {
    executable_ = std::move(path);
    unknown_ = false;
  }
  // The executable path cannot be had.
  void set_executable_unknown() { unknown_ = true; }
  void set_arguments(std::vector<std::u16string> arguments, bool available = true) {
    arguments_ = std::move(arguments);
    arguments_available_ = available;
  }
  // As at the start of the process: the test's own executable, no arguments.
  void Reset() {
    executable_.clear();
    unknown_ = false;
    arguments_.clear();
    arguments_available_ = true;
  }

 private:
  std::u16string folder_;
  std::u16string executable_;
  bool unknown_ = false;
  std::vector<std::u16string> arguments_;
  bool arguments_available_ = true;
};

// The test process facility in force.
TestProcess& test_process();

}  // namespace orvalinth::test
