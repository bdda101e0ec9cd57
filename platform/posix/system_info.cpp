#include "platform/system_info.h"

#include <pwd.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

class PosixSystemInfo final : public SystemInfo {
 public:
  bool ComputerName(std::string* name) override {
    char buffer[1024];
    if (gethostname(buffer, sizeof buffer) != 0) return false;
    buffer[sizeof buffer - 1] = '\0';
    // Like a NetBIOS name: the first label, upper case.
    std::string host(buffer);
    const size_t dot = host.find('.');
    if (dot != std::string::npos) host.resize(dot);
    for (char& c : host) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    *name = host;
    return !host.empty();
  }

  bool UserName(std::u16string* name) override {
    passwd entry;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
    *name = posix::FromUtf8(entry.pw_name);
    return true;
  }

  uint32_t NativeArchitecture() override {
    utsname u;
    if (uname(&u) != 0) return 0xFFFF;
    if (std::strcmp(u.machine, "x86_64") == 0) return 9;
    if (std::strcmp(u.machine, "aarch64") == 0) return 12;
    if (std::strcmp(u.machine, "ia64") == 0) return 6;
    return 0;
  }

  bool Memory(uint64_t* available, uint64_t* total) override {
    struct sysinfo s;
    if (sysinfo(&s) != 0) return false;
    *total = static_cast<uint64_t>(s.totalram) * s.mem_unit;
    *available = static_cast<uint64_t>(s.freeram + s.bufferram) * s.mem_unit;
    return true;
  }
};

}  // namespace

template <>
SystemInfo& Facility<SystemInfo>::Real() {
  static PosixSystemInfo instance;
  return instance;
}

}  // namespace orvalinth::platform
