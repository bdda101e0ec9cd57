// Seeds for shortcut_fuzz: links with local and network link information, in
// 8-bit and Unicode forms, and ID lists as Windows and Wine write them.

#include <fstream>
#include <string>

#include "tests/record/apps/shell_link_builder.h"

namespace {

void Write(const std::string& folder, const char* name, const std::string& bytes) {
  std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  using namespace orvalinth::test;  // NOLINT: the builders
  const std::string folder = argv[1];
  const std::string windows_list = IdList({ComputerItem(), DriveItem("C:\\"),
                                           WindowsFileItem(true, "PROGRA~1", u"Program Files"),
                                           WindowsFileItem(false, "APP~1.EXE", u"application.exe")});
  const std::string wine_list = IdList({ComputerItem(), DriveItem("C:\\"), WineFileItem(false, "app.exe")});
  Write(folder, "local", BuildLink("", LocalLinkInfo("C:\\Program Files\\", "App\\app.exe", false)));
  Write(folder, "unicode", BuildLink(windows_list, LocalLinkInfo("C:\\x", "y.exe", true)));
  Write(folder, "network", BuildLink("", NetworkLinkInfo("\\\\server\\share", "dir\\f.exe")));
  Write(folder, "windows_list", BuildLink(windows_list, ""));
  Write(folder, "wine_list", BuildLink(wine_list, ""));
  Write(folder, "computer", BuildLink(IdList({ComputerItem()}), ""));
  return 0;
}
