#pragma once
// The machine as a test wants it, in place of the real one for the object's
// lifetime:
//  - FakeMachine: the system information (computer and user names,
//    architecture, memory), each fixed by the test or made unreadable;
//  - DescribedMachine: FakeMachine plus a registry holding only what the
//    machine description of a snapshot is read from (the operating system's
//    name, service pack and version, and the processor), as the writer
//    tests expect them: "Win 7 Enterprise SP1" on "Test CPU".

#include <cstdint>
#include <string>

#include "fakes/fake_registry.h"
#include "platform/facility.h"
#include "platform/system_info.h"

namespace orvalinth::test {

class FakeMachine final : public platform::SystemInfo {
 public:
  FakeMachine() : use_(*this) {}

  bool ComputerName(std::string* name) override {
    if (!names_known) return false;
    *name = computer_name;
    return true;
  }
  bool UserName(std::u16string* name) override {
    if (!names_known) return false;
    *name = user_name;
    return true;
  }
  uint32_t NativeArchitecture() override { return architecture; }
  bool Memory(uint64_t* available, uint64_t* total) override {
    if (memory_total == 0) return false;
    *available = memory_available;
    *total = memory_total;
    return true;
  }

  std::string computer_name = "PC-01";
  std::u16string user_name = u"tester";
  bool names_known = true;    // false: neither name can be read
  uint32_t architecture = 9;  // AMD64
  uint64_t memory_available = 0;
  uint64_t memory_total = 0;  // 0: the memory is unknown

 private:
  platform::ScopedFacility<platform::SystemInfo> use_;
};

class DescribedMachine {
 public:
  DescribedMachine();

  FakeMachine machine;
  FakeRegistry registry;

 private:
  platform::ScopedFacility<platform::Registry> use_registry_;
};

}  // namespace orvalinth::test
