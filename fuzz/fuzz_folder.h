#pragma once
// A private program folder for a fuzz target that reads or writes the files
// the service keeps beside its executable (settings, data folder, log): a
// fresh folder under the system's temporary folder (in memory where /dev/shm
// exists), made once and removed at the process's end. Each input puts it in
// place as the executable's folder for its own run (InFolder), so that the
// same entry point can run inside the unit tests, whose process facility
// stays theirs between the runs.

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "base/strings.h"
#include "platform/facility.h"
#include "platform/process.h"

namespace orvalinth::fuzz {

class FolderProcess final : public platform::Process {
 public:
  explicit FolderProcess(std::u16string folder) : folder_(std::move(folder)) {}
  std::u16string ExecutablePath() override { return folder_ + u"OrvalinthSrv.exe"; }
  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    arguments->clear();
    return true;
  }
  bool Start(const std::u16string&, const std::u16string&, platform::RunMode) override { return false; }

 private:
  std::u16string folder_;
};

class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code error;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, error)) base = std::filesystem::temp_directory_path();
    host_ = base / ("orvalinth-fuzz-" + std::to_string(platform::CurrentProcessId()));
    std::filesystem::remove_all(host_, error);
    std::filesystem::create_directories(host_ / "data");
    // The host's "/" is drive Z: in the Windows form the program uses.
    std::string windows = "Z:" + host_.string() + "/";
    for (char& c : windows) {
      if (c == '/') c = '\\';
    }
    windows_ = DecodeUtf8(windows);
    process_ = std::make_unique<FolderProcess>(windows_);
  }
  ~ScratchFolder() {
    std::error_code error;
    std::filesystem::remove_all(host_, error);
  }

  // The folder in Windows form, ending in a backslash, and in host form.
  const std::u16string& windows() const { return windows_; }
  const std::filesystem::path& host() const { return host_; }
  FolderProcess& process() { return *process_; }

 private:
  std::filesystem::path host_;
  std::u16string windows_;
  std::unique_ptr<FolderProcess> process_;
};

// The scratch folder as the program folder while it lives.
using InFolder = platform::ScopedFacility<platform::Process>;

// The one scratch folder of the process.
inline ScratchFolder& Scratch() {
  static ScratchFolder folder;
  return folder;
}

}  // namespace orvalinth::fuzz
