// Reading folder links: the reparse data layouts (golden bytes) and each
// backend's reader.

#include "platform/reparse_points.h"

#include <gtest/gtest.h>

#include "host_links.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::FolderLink;
using test::Hex;

// UTF-16LE bytes of ASCII text.
std::string Units(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

FolderLink Parse(const std::string& data) {
  FolderLink link;
  link.target = u"untouched";
  link.kind = platform::ParseReparseData(data.data(), data.size(), &link) ? link.kind : 99;
  return link;
}

// A junction as the system writes it: substitute name, zero, print name, zero.
const std::string kJunction = Hex("03 00 00 A0  34 00  00 00") +  // tag, data length 52, reserved
                              Hex("00 00 18 00  1A 00 10 00") +    // substitute 0/24, print 26/16
                              Units("\\??\\C:\\Users") + Hex("00 00") + Units("C:\\Users") + Hex("00 00");

TEST(ReparseData, MountPointGivesItsSubstituteName) {
  const FolderLink link = Parse(kJunction);
  EXPECT_EQ(link.kind, platform::kLinkMountPoint);
  EXPECT_EQ(link.target, u"\\??\\C:\\Users");
  EXPECT_FALSE(link.relative);
}

TEST(ReparseData, SymbolicLinkNamesNeedNotEndWithZero) {
  // The print name first and no terminating zeros: reading from the start of
  // the buffer to a zero would run the two names together.
  const std::string data = Hex("0C 00 00 A0  34 00  00 00") +  // tag, data length 52
                           Hex("10 00 18 00  00 00 10 00") +    // substitute 16/24, print 0/16
                           Hex("00 00 00 00") +                 // flags: absolute
                           Units("C:\\Users") + Units("\\??\\C:\\Users");
  const FolderLink link = Parse(data);
  EXPECT_EQ(link.kind, platform::kLinkSymbolic);
  EXPECT_EQ(link.target, u"\\??\\C:\\Users");
  EXPECT_FALSE(link.relative);
}

TEST(ReparseData, RelativeSymbolicLink) {
  const std::string data = Hex("0C 00 00 A0  20 00  00 00") + Hex("00 00 0A 00  0A 00 0A 00") +
                           Hex("01 00 00 00") + Units("..\\up") + Units("..\\up");
  const FolderLink link = Parse(data);
  EXPECT_EQ(link.kind, platform::kLinkSymbolic);
  EXPECT_EQ(link.target, u"..\\up");
  EXPECT_TRUE(link.relative);
}

TEST(ReparseData, EmptySubstituteNameFallsBackToThePrintName) {
  const std::string data =
      Hex("03 00 00 A0  18 00  00 00") + Hex("00 00 00 00  00 00 0E 00") + Units("D:\\Data") + Units("x");
  EXPECT_EQ(Parse(data).target, u"D:\\Data");
}

TEST(ReparseData, TrailingZeroCountedInTheLengthIsDropped) {
  const std::string data =
      Hex("03 00 00 A0  1C 00  00 00") + Hex("00 00 12 00  00 00 00 00") + Units("\\??\\D:\\x") + Hex("00 00 00 00");
  EXPECT_EQ(Parse(data).target, u"\\??\\D:\\x");
}

TEST(ReparseData, RefusesOtherTagsAndNamesOutsideTheData) {
  struct Case {
    const char* what;
    std::string data;
  };
  const Case cases[] = {
      {"deduplication tag", Hex("13 00 00 80  08 00 00 00  00 00 00 00 00 00 00 00")},
      {"short header", Hex("03 00 00 A0  00 00")},
      {"no name fields", Hex("03 00 00 A0  04 00 00 00  00 00 00 00")},
      {"substitute beyond the data", kJunction.substr(0, 40)},
      {"odd offset", Hex("03 00 00 A0  0C 00 00 00  01 00 02 00 00 00 00 00  41 00 42 00")},
      {"length field beyond the bytes returned", Hex("03 00 00 A0  FF 00 00 00  00 00 10 00 00 00 00 00") + Units("ab")},
  };
  for (const Case& c : cases) {
    const FolderLink link = Parse(c.data);
    EXPECT_EQ(link.kind, 99u) << c.what;
  }
}

TEST(FolderLinks, ReadsTheHostsSymbolicLinks) {
  test::HostTmpFolder dir;
  ASSERT_TRUE(platform::FileSystem::Real().CreateFolder(dir / u"Target"));
  ASSERT_TRUE(dir.Link(dir.host_path() + "Target", "Absolute"));
  ASSERT_TRUE(dir.Link("Target", "Relative"));
  platform::ReparsePoints& links = platform::ReparsePoints::Get();
  FolderLink link;
  if (test::running_under_wine()) {
    // Wine shows a host link as a reparse point but cannot read it.
    EXPECT_FALSE(links.ReadFolderLink(dir / u"Absolute", &link));
    EXPECT_EQ(platform::LastError(), platform::kErrorNotAReparsePoint);
  } else {
    ASSERT_TRUE(links.ReadFolderLink(dir / u"Absolute", &link));
    EXPECT_EQ(link.kind, platform::kLinkSymbolic);
    EXPECT_EQ(link.target, dir / u"Target");
    EXPECT_FALSE(link.relative);
    ASSERT_TRUE(links.ReadFolderLink(dir / u"relative\\", &link));
    EXPECT_EQ(link.target, u"Target");
    EXPECT_TRUE(link.relative);
  }
  EXPECT_FALSE(links.ReadFolderLink(dir / u"Target", &link));
  EXPECT_EQ(platform::LastError(), platform::kErrorNotAReparsePoint);
  EXPECT_FALSE(links.ReadFolderLink(dir / u"Missing", &link));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
}

TEST(FolderLinks, UnknownVolumeHasNoMountPaths) {
  std::vector<std::u16string> paths{u"kept"};
  EXPECT_FALSE(platform::ReparsePoints::Get().VolumeMountPaths(u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\", &paths));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
}

}  // namespace
}  // namespace orvalinth
