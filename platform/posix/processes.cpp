// The running processes and their modules on Linux, from /proc (see
// platform/processes.h).

#include "platform/processes.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "platform/errors.h"
#include "platform/posix/drive_table.h"
#include "platform/posix/proc_files.h"
#include "platform/process.h"

namespace orvalinth::platform {
namespace {

// Where the emulated memory of a process lies: the environment block, the
// parameters and the command line, one after the other.
constexpr uint64_t kPebAddress = 0x7FF000000000ULL;
constexpr uint64_t kParametersAddress = kPebAddress + 0x1000;
constexpr uint64_t kCommandLineAddress = kPebAddress + 0x2000;

class PosixOpenedProcess final : public OpenedProcess {
 public:
  PosixOpenedProcess(uint32_t pid, std::string exe) : pid_(pid), exe_(std::move(exe)) {}

  bool Modules(uint32_t max, std::vector<uint64_t>* modules) override {
    modules->clear();
    files_.clear();
    std::string maps;
    if (!posix::ReadProcFile(Proc("maps"), &maps)) return false;
    files_.push_back(exe_);  // the main executable first
    std::unordered_set<std::string> seen{exe_};
    size_t start = 0;
    while (start < maps.size()) {
      size_t end = maps.find('\n', start);
      if (end == std::string::npos) end = maps.size();
      // "address perms offset dev inode   pathname": the path begins at the first "/" after the inode.
      const std::string line = maps.substr(start, end - start);
      start = end + 1;
      const size_t slash = line.find(" /");
      if (slash == std::string::npos) continue;
      std::string path = line.substr(slash + 1);
      if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0) continue;
      if (seen.insert(path).second) files_.push_back(path);
    }
    const size_t n = std::min<size_t>(files_.size(), max);
    for (size_t i = 0; i < n; ++i) modules->push_back(i + 1);
    return true;
  }

  bool ModuleFileName(uint64_t module, std::u16string* name) override {
    if (module == 0 || module > files_.size()) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    *name = posix::FromHostPath(files_[module - 1]);
    if (name->size() > 519) name->resize(519);
    return true;
  }

  bool EnvironmentBlock(uint64_t* address) override {
    std::string arguments;
    if (!posix::ReadProcFile(Proc("cmdline"), &arguments)) return false;
    // The program as its full path, always quoted (a Linux program has no
    // ".exe" to end its name at), then its arguments, each quoted the Windows way.
    command_ = u"\"" + posix::FromHostPath(exe_) + u"\"";
    size_t start = arguments.find('\0');
    start = start == std::string::npos ? arguments.size() : start + 1;
    while (start < arguments.size()) {
      size_t end = arguments.find('\0', start);
      if (end == std::string::npos) end = arguments.size();
      command_ += u" " + QuoteArgument(posix::FromUtf8(arguments.substr(start, end - start)));
      start = end + 1;
    }
    if (command_.size() > 32767) command_.resize(32767);
    peb_.assign(kPebReadSize, 0);
    Store(peb_.data() + kPebParametersOffset, kParametersAddress);
    parameters_.assign(0x400, 0);
    const uint16_t bytes = static_cast<uint16_t>(command_.size() * 2);
    std::memcpy(parameters_.data() + kParametersCommandLengthOffset, &bytes, 2);
    Store(parameters_.data() + kParametersCommandAddressOffset, kCommandLineAddress);
    *address = kPebAddress;
    return true;
  }

  bool ReadMemory(uint64_t address, void* buffer, size_t size, size_t* read) override {
    *read = 0;
    const uint8_t* base = nullptr;
    size_t length = 0;
    uint64_t origin = 0;
    if (address >= kCommandLineAddress) {
      base = reinterpret_cast<const uint8_t*>(command_.data());
      length = command_.size() * 2;
      origin = kCommandLineAddress;
    } else if (address >= kParametersAddress) {
      base = parameters_.data();
      length = parameters_.size();
      origin = kParametersAddress;
    } else if (address >= kPebAddress) {
      base = peb_.data();
      length = peb_.size();
      origin = kPebAddress;
    }
    if (base == nullptr || address - origin >= length) {
      SetLastError(kErrorPartialCopy);
      return false;
    }
    *read = std::min<size_t>(size, length - (address - origin));
    std::memcpy(buffer, base + (address - origin), *read);
    return true;
  }

 private:
  static constexpr uint32_t kErrorPartialCopy = 299;
  static void Store(uint8_t* at, uint64_t value) { std::memcpy(at, &value, sizeof value); }
  std::string Proc(const char* entry) const { return "/proc/" + std::to_string(pid_) + "/" + entry; }

  const uint32_t pid_;
  const std::string exe_;
  std::vector<std::string> files_;
  std::u16string command_;
  std::vector<uint8_t> peb_;
  std::vector<uint8_t> parameters_;
};

class PosixProcessTable final : public ProcessTable {
 public:
  bool Available() override { return true; }

  bool ProcessIds(uint32_t room_bytes, std::vector<uint32_t>* ids, uint32_t* bytes) override {
    *ids = posix::ProcessIdsOfProc();
    if (ids->empty()) {
      SetLastError(kErrorAccessDenied);
      *bytes = 0;
      return false;
    }
    if (ids->size() > room_bytes / 4) ids->resize(room_bytes / 4);
    *bytes = static_cast<uint32_t>(ids->size() * 4);
    return true;
  }

  std::unique_ptr<OpenedProcess> Open(uint32_t pid) override {
    std::string exe;
    if (!posix::ReadProcLink("/proc/" + std::to_string(pid) + "/exe", &exe)) {
      SetLastError(kErrorAccessDenied);
      return nullptr;
    }
    return std::make_unique<PosixOpenedProcess>(pid, exe);
  }
};

}  // namespace

template <>
ProcessTable& Facility<ProcessTable>::Real() {
  static PosixProcessTable instance;
  return instance;
}

}  // namespace orvalinth::platform
