// Seeds for shortcut_fuzz: links with local and network link information, in
// 8-bit and Unicode forms, and ID lists as Windows and Wine write them.

#include <string>

#include "seed_folder.h"
#include "tests/record/apps/shell_link_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  using namespace orvalinth::test;  // NOLINT: the builders
  using orvalinth::fuzz::WriteSeed;
  const std::string folder = argv[1];
  const std::string windows_list = IdList({ComputerItem(), DriveItem("C:\\"),
                                           WindowsFileItem(true, "PROGRA~1", u"Program Files"),
                                           WindowsFileItem(false, "APP~1.EXE", u"application.exe")});
  const std::string wine_list = IdList({ComputerItem(), DriveItem("C:\\"), WineFileItem(false, "app.exe")});
  WriteSeed(folder, "local", BuildLink("", LocalLinkInfo("C:\\Program Files\\", "App\\app.exe", false)));
  WriteSeed(folder, "unicode", BuildLink(windows_list, LocalLinkInfo("C:\\x", "y.exe", true)));
  WriteSeed(folder, "network", BuildLink("", NetworkLinkInfo("\\\\server\\share", "dir\\f.exe")));
  WriteSeed(folder, "windows_list", BuildLink(windows_list, ""));
  WriteSeed(folder, "wine_list", BuildLink(wine_list, ""));
  WriteSeed(folder, "computer", BuildLink(IdList({ComputerItem()}), ""));
  return 0;
}
