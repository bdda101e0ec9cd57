// The TCP and UDP endpoints on Linux: /proc/net/{tcp,tcp6,udp,udp6}, each
// socket's owner found through its inode under /proc/<pid>/fd (see
// platform/ports.h).

#include "platform/ports.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/posix/proc_files.h"

namespace orvalinth::platform {
namespace {

// Linux TCP states (1 established ... 11 closing) as the Windows table numbers them.
uint32_t WindowsTcpState(unsigned linux_state) {
  static const uint32_t kStates[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9};
  return linux_state < sizeof(kStates) / sizeof(kStates[0]) ? kStates[linux_state] : 0;
}

uint32_t NetworkPort(unsigned port) { return ((port & 0xFF) << 8) | ((port >> 8) & 0xFF); }

// "0100007F:1F90" (IPv4) or 32 hex digits and the port (IPv6): the address
// as the kernel prints it, in groups of 32-bit words in the machine's order.
bool ParseEndpoint(const std::string& text, uint8_t* address, uint32_t* port) {
  const size_t colon = text.find(':');
  if (colon != 8 && colon != 32) return false;
  for (size_t word = 0; word * 8 < colon; ++word) {
    const uint32_t value = static_cast<uint32_t>(std::strtoul(text.substr(word * 8, 8).c_str(), nullptr, 16));
    std::memcpy(address + word * 4, &value, 4);
  }
  *port = NetworkPort(static_cast<unsigned>(std::strtoul(text.c_str() + colon + 1, nullptr, 16)));
  return true;
}

class PosixPortTables final : public PortTables {
 public:
  bool Available() override {
    owners_.clear();  // read afresh for each pass
    owners_read_ = false;
    return true;
  }

  bool Read(PortTableId table, std::vector<PortRow>* rows) override {
    static const char* const kFiles[] = {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"};
    rows->clear();
    std::string content;
    if (!posix::ReadProcFile(kFiles[table], &content)) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    if (!owners_read_) ReadOwners();
    const bool tcp = table == kPortTableTcp4 || table == kPortTableTcp6;
    std::istringstream lines(content);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long long inode = 0;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) continue;
      PortRow row;
      uint32_t remote_port = 0;
      if (!ParseEndpoint(local, row.local_address, &row.local_port)) continue;
      if (tcp) {
        ParseEndpoint(remote, row.remote_address, &remote_port);
        row.remote_port = remote_port;
        row.state = WindowsTcpState(static_cast<unsigned>(std::strtoul(state.c_str(), nullptr, 16)));
      }
      const auto owner = owners_.find(inode);
      row.pid = owner == owners_.end() ? 0 : owner->second;
      rows->push_back(row);
    }
    return true;
  }

 private:
  // Socket inode to the first process holding it.
  void ReadOwners() {
    owners_read_ = true;
    std::vector<int> descriptors;
    std::string target;
    for (const uint32_t pid : posix::ProcessIdsOfProc()) {
      if (!posix::DescriptorsOf(pid, &descriptors)) continue;
      const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
      for (const int fd : descriptors) {
        if (!posix::ReadProcLink(folder + std::to_string(fd), &target)) continue;
        if (target.compare(0, 8, "socket:[") != 0) continue;
        owners_.emplace(std::strtoull(target.c_str() + 8, nullptr, 10), pid);
      }
    }
  }

  std::unordered_map<unsigned long long, uint32_t> owners_;
  bool owners_read_ = false;
};

}  // namespace

template <>
PortTables& Facility<PortTables>::Real() {
  static PosixPortTables instance;
  return instance;
}

}  // namespace orvalinth::platform
