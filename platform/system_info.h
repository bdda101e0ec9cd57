#pragma once
// Facts about the machine and the account the program runs under.

#include <cstdint>
#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

class SystemInfo : public Facility<SystemInfo> {
 public:
  virtual ~SystemInfo() = default;
  // The machine's NetBIOS name (GetComputerNameA; the host name on POSIX);
  // false when it cannot be read.
  virtual bool ComputerName(std::string* name) = 0;
  // The account the process runs as; false when unknown.
  virtual bool UserName(std::u16string* name) = 0;
  // The native processor architecture: 9 AMD64, 6 IA64, 12 ARM64, 0 x86, ...
  virtual uint32_t NativeArchitecture() = 0;
  // Physical memory in bytes; false when unknown.
  virtual bool Memory(uint64_t* available, uint64_t* total) = 0;
};

template <>
SystemInfo& Facility<SystemInfo>::Real();

}  // namespace orvalinth::platform
