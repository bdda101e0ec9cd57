// The shell-link format reader: golden bytes, the ways a target is stored,
// and damaged links.

#include "record/apps/shell_link_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "test_support.h"
#include "tests/record/apps/shell_link_builder.h"

namespace orvalinth {
namespace {

using namespace test;  // NOLINT: the builders

// A link to C:\test\a.txt: the header (link information only), the link
// information with a volume id, the local base path and an empty common path
// suffix, and the terminal block of the extra data.
const std::string kLocalLink = Hex(
    "4c 00 00 00 01 14 02 00 00 00 00 00 c0 00 00 00 00 00 00 46 02 00 00 00 20 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 3c 00 00 00 1c 00 00 00 01 00 00 00 1c 00 00 00 2d 00 00 00 "
    "00 00 00 00 3b 00 00 00 11 00 00 00 03 00 00 00 cd ab 34 12 10 00 00 00 00 43 3a 5c 74 65 73 74 "
    "5c 61 2e 74 78 74 00 00 00 00 00 00 ");

bool Read(const std::string& link, std::u16string* target) {
  return ReadShellLinkTarget(link.data(), link.size(), target);
}

TEST(ShellLinkFile, ReadsTheGoldenLink) {
  std::u16string target = u"stale";
  ASSERT_TRUE(Read(kLocalLink, &target));
  EXPECT_EQ(target, u"C:\\test\\a.txt");
  EXPECT_EQ(ToHex(BuildLink("", LocalLinkInfo("C:\\test\\a.txt", "", false)).substr(0x4C)),
            ToHex(kLocalLink.substr(0x4C)));
}

const std::string kWindowsList =
    IdList({ComputerItem(), DriveItem("C:\\"), WindowsFileItem(true, "PROGRA~1", u"Program Files"),
            WindowsFileItem(false, "APPLIC~1.EXE", u"application \u00e9.exe")});

struct LinkCase {
  const char* what;
  std::string link;
  std::u16string target;
};

TEST(ShellLinkFile, FindsTheTargetWhereverItIsStored) {
  const LinkCase cases[] = {
      {"local path and suffix", BuildLink("", LocalLinkInfo("C:\\Program Files\\", "App\\app.exe", false)),
       u"C:\\Program Files\\App\\app.exe"},
      {"the Unicode forms first", BuildLink("", LocalLinkInfo("C:\\x", "", true)), u"C:\\x\u00e9"},
      {"8-bit text byte for unit", BuildLink("", LocalLinkInfo("C:\\caf\xe9.exe", "", false)), u"C:\\caf\u00e9.exe"},
      {"a share before the local path", BuildLink("", NetworkLinkInfo("\\\\server\\share", "dir\\f.exe")),
       u"\\\\server\\share\\dir\\f.exe"},
      {"link information before the ID list", BuildLink(kWindowsList, LocalLinkInfo("D:\\other.exe", "", false)),
       u"D:\\other.exe"},
      {"the ID list's long names", BuildLink(kWindowsList, ""), u"C:\\Program Files\\application \u00e9.exe"},
      {"ignored link information", BuildLink(kWindowsList, LocalLinkInfo("D:\\other.exe", "", false), kLinkForceNoLinkInfo),
       u"C:\\Program Files\\application \u00e9.exe"},
      {"an ID list as Wine writes it",
       BuildLink(IdList({ComputerItem(), DriveItem("C:\\"), WineFileItem(true, "users"), WineFileItem(false, "app.exe")}), ""),
       u"C:\\users\\app.exe"},
      {"a drive root", BuildLink(IdList({ComputerItem(), DriveItem("E:\\")}), ""), u"E:\\"},
      {"the computer itself", BuildLink(IdList({ComputerItem()}), ""), u""},
      {"an empty ID list", BuildLink(IdList({}), ""), u""},
      {"nothing at all", BuildLink("", ""), u""},
  };
  for (const LinkCase& c : cases) {
    std::u16string target = u"stale";
    EXPECT_TRUE(Read(c.link, &target)) << c.what;
    EXPECT_EQ(N(target), N(c.target)) << c.what;
  }
}

TEST(ShellLinkFile, DamagedLinksAreNotRead) {
  std::string header_size = kLocalLink;
  header_size[0] = 0x4D;
  std::string class_id = kLocalLink;
  class_id[19] = 0x47;
  std::string info_too_long = kLocalLink;
  PutU32(info_too_long, 0x4C, 0x1000);
  std::string path_outside = kLocalLink;
  PutU32(path_outside, 0x4C + 16, 0x3C);  // the local path's offset at the end of the information: no zero
  std::string list_too_long = BuildLink(kWindowsList, "");
  PutU16(list_too_long, 0x4C, 0x7000);
  std::string no_terminator = BuildLink(kWindowsList, "");
  no_terminator.resize(no_terminator.size() - 6);
  PutU16(no_terminator, 0x4C, static_cast<uint32_t>(no_terminator.size() - 0x4C - 2));
  // An ID list below the Control Panel: no file-system path.
  std::string panel_root = ComputerItem();
  panel_root[4] = 0x21;
  std::string share_outside = BuildLink("", NetworkLinkInfo("\\\\s\\x", ""));
  PutU32(share_outside, 0x4C + 20, 0x500);
  const LinkCase cases[] = {
      {"empty", "", u""},
      {"short", kLocalLink.substr(0, 0x4B), u""},
      {"header size", header_size, u""},
      {"class id", class_id, u""},
      {"information longer than the file", info_too_long, u""},
      {"path without its zero", path_outside, u""},
      {"share outside the information", share_outside, u""},
      {"ID list longer than the file", list_too_long, u""},
      {"ID list without terminator", no_terminator, u""},
      {"another shell folder", BuildLink(IdList({panel_root, DriveItem("C:\\")}), ""), u""},
      {"a file before any drive", BuildLink(IdList({ComputerItem(), WineFileItem(false, "x.exe")}), ""), u""},
      {"a drive without a colon", BuildLink(IdList({ComputerItem(), DriveItem("CC\\")}), ""), u""},
      {"an item too short", BuildLink(IdList({ComputerItem(), std::string("\x02\x00", 2)}), ""), u""},
  };
  for (const LinkCase& c : cases) {
    std::u16string target = u"stale";
    EXPECT_FALSE(Read(c.link, &target)) << c.what;
    EXPECT_EQ(target, u"") << c.what;
  }
  std::u16string target;
  EXPECT_FALSE(ReadShellLinkTarget(nullptr, 100, &target));
}

TEST(ShellLinkFile, EveryCutFailsUntilTheLinkInformationIsWhole) {
  const std::string info = LocalLinkInfo("C:\\dir\\", "file.exe", true);
  const std::string link = BuildLink(kWindowsList, info);
  const size_t needed = 0x4C + kWindowsList.size() + info.size();
  for (size_t n = 0; n <= link.size(); ++n) {
    // An exact-size copy, so that the address sanitizer sees any read past it.
    std::unique_ptr<uint8_t[]> cut(new uint8_t[n + 1]);
    std::memcpy(cut.get(), link.data(), n);
    std::u16string target;
    EXPECT_EQ(ReadShellLinkTarget(cut.get(), n, &target), n >= needed) << n;
    if (n >= needed) {
      EXPECT_EQ(target, u"C:\\dir\\\u00e9file.exe");
    }
  }
}

}  // namespace
}  // namespace orvalinth
