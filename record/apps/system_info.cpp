#include "record/apps/system_info.h"

#include "base/strings.h"

namespace orvalinth {

namespace {
const char16_t kCurrentVersionKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char16_t kProcessorKey[] = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
}  // namespace

std::string ReplaceAll(std::string text, std::string_view what, std::string_view with) {
  if (what.empty()) return text;
  size_t at = 0;
  while ((at = text.find(what.data(), at, what.size())) != std::string::npos) {
    text.replace(at, what.size(), with.data(), with.size());
    at += with.size();
  }
  return text;
}

std::string OsNameOf(const CXRegStringValues& values) {
  std::string name = Narrow(values.Get(u"ProductName"));
  name = ReplaceAll(name, "Microsoft ", "");
  name = ReplaceAll(name, "Windows ", "Win ");
  name = ReplaceAll(name, "(TM) ", "");
  name = ReplaceAll(name, "(R) ", "");
  const std::string build_lab_ex = Narrow(values.Get(u"BuildLabEx"));
  if (build_lab_ex.find(".amd64") != std::string::npos || build_lab_ex.find(".x64") != std::string::npos) {
    name += " x64";
  }
  const std::string build_lab = Narrow(values.Get(u"BuildLab"));
  const size_t sp = build_lab.find("_sp");
  if (sp == std::string::npos) {
    name += " ";
    name += Narrow(values.Get(u"CSDVersion"));
    name = ReplaceAll(name, "Service Pack ", "SP");
  } else {
    name += " SP";
    // A BuildLab that ends with "_sp" names no service pack number.
    if (sp + 3 < build_lab.size()) name += build_lab[sp + 3];
  }
  return name;
}

std::string OsDetailsOf(const CXRegStringValues& values) {
  static const char16_t* const kNames[] = {u"ProductName",     u"CSDVersion", u"BuildLab",
                                           u"BuildLabEx",      u"ProductId",  u"RegisteredOrganization",
                                           u"RegisteredOwner", u"CurrentVersion"};
  std::string details;
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (i > 0) details += '\n';
    details += Narrow(values.Get(kNames[i]));
  }
  return details;
}

std::string ProcessorNameOf(const CXRegStringValues& values) {
  std::string name = Narrow(values.Get(u"ProcessorNameString"));
  for (int round = 0; round < 10; ++round) name = ReplaceAll(name, "  ", " ");
  return name;
}

void GetOsDescription(std::string* name, std::string* details) {
  CXRegStringValues values;
  values.ReadKey(platform::RegistryRoot::kLocalMachine, kCurrentVersionKey);
  if (values.size() == 0) {
    // No key, no description: the rules would make a lone space and seven line feeds of nothing.
    name->clear();
    details->clear();
    return;
  }
  *name = OsNameOf(values);
  *details = OsDetailsOf(values);
}

std::string GetProcessorName() {
  CXRegStringValues values;
  values.ReadKey(platform::RegistryRoot::kLocalMachine, kProcessorKey);
  return ProcessorNameOf(values);
}

SXMachineDescription DescribeMachine() {
  SXMachineDescription machine;
  GetOsDescription(&machine.os_name, &machine.os_details);
  machine.processor = GetProcessorName();
  return machine;
}

}  // namespace orvalinth
