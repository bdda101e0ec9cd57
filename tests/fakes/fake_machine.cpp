#include "fakes/fake_machine.h"

namespace orvalinth::test {

DescribedMachine::DescribedMachine() : use_registry_(registry) {
  const std::u16string key = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  registry.SetText(platform::RegistryRoot::kLocalMachine, key, u"ProductName", u"Microsoft Windows 7 Enterprise");
  registry.SetText(platform::RegistryRoot::kLocalMachine, key, u"CSDVersion", u"Service Pack 1");
  registry.SetText(platform::RegistryRoot::kLocalMachine, key, u"CurrentVersion", u"6.1");
  registry.SetText(platform::RegistryRoot::kLocalMachine, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                   u"ProcessorNameString", u"Test  CPU");
}

}  // namespace orvalinth::test
