// The POSIX backend's drive table (Windows has real drives).
#ifndef _WIN32

#include "platform/posix/drive_table.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "test_support.h"

namespace orvalinth::platform::posix {
namespace {

class DriveTableTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetDrives(); }
};

TEST_F(DriveTableTest, DefaultTableMapsZOntoTheRoot) {
  EXPECT_EQ(DriveMask(), 1u << 25);
  EXPECT_EQ(DriveTypeOf('z'), kDriveFixed);
  EXPECT_EQ(DriveTypeOf('c'), kDriveNoRootDir);
  EXPECT_EQ(ToHostPath(u"Z:\\usr\\bin\\ls"), "/usr/bin/ls");
  EXPECT_EQ(ToHostPath(u"z:\\"), "/");
  EXPECT_EQ(ToHostPath(u"\\etc\\hosts"), "/etc/hosts");
  EXPECT_EQ(ToHostPath(u"relative\\name"), "relative/name");
  EXPECT_EQ(FromHostPath("/opt/x"), u"Z:\\opt\\x");
  EXPECT_EQ(FromHostPath("/"), u"Z:\\");
}

TEST_F(DriveTableTest, LongestMatchingDriveWins) {
  SetDrive('c', "/srv/prefix/drive_c/", kDriveFixed);
  SetDrive('a', "/media/floppy", kDriveRemovable);
  EXPECT_EQ(DriveMask(), (1u << 0) | (1u << 2) | (1u << 25));
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\system32"), "/srv/prefix/drive_c/Windows/system32");
  EXPECT_EQ(ToHostPath(u"c:"), "/srv/prefix/drive_c/");
  EXPECT_EQ(FromHostPath("/srv/prefix/drive_c/Users"), u"C:\\Users");
  EXPECT_EQ(FromHostPath("/srv/prefix/drive_cc"), u"Z:\\srv\\prefix\\drive_cc");  // folder boundaries
  EXPECT_EQ(FromHostPath("/media/floppy"), u"A:\\");
  EXPECT_EQ(Volumes::Real().DriveType('A'), kDriveRemovable);
  RemoveDrive('a');
  EXPECT_EQ(DriveTypeOf('a'), kDriveNoRootDir);
  EXPECT_EQ(ToHostPath(u"Q:\\x").rfind("/nonexistent-drive-q", 0), 0u);
}

TEST_F(DriveTableTest, Utf8BothWays) {
  const std::u16string name = {u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00};
  EXPECT_EQ(ToUtf8(name), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8(ToUtf8(name)), name);
  EXPECT_EQ(FromUtf8("bad\xFFname"), std::u16string(u"bad\u00FFname"));
}

TEST_F(DriveTableTest, ComponentsAreMatchedWithoutRegardToCase) {
  test::TempFolder dir;
  ASSERT_TRUE(FileSystem::Get().CreateFolder(dir / u"Users"));
  test::WriteFileBytes(dir / u"Users\\ReadMe.TXT", "hi");
  EXPECT_EQ(test::ReadFileBytes(dir / u"users\\readme.txt"), "hi");
  const std::string resolved = ResolveHostPath(dir / u"USERS\\readme.txt");
  EXPECT_EQ(resolved.substr(resolved.size() - 17), "/Users/ReadMe.TXT");
}

TEST_F(DriveTableTest, ResolvingIsLinearInThePathsLength) {
  // 160,000 components below a missing folder: looked up until the first
  // that is missing, the rest taken as written.
  test::TempFolder dir;
  std::u16string path = dir / u"Missing\\";
  for (int i = 0; i < 160000; ++i) path += u"a\\";
  const int64_t start = MonotonicMs();
  const std::string host = ResolveHostPath(path);
  EXPECT_LT(MonotonicMs() - start, 1000);
  EXPECT_EQ(host, ToHostPath(path));
}

TEST_F(DriveTableTest, PathsBeyondTheHostsLimitWorkAsShorterOnes) {
  // 400 folders of 22 units: 9,000 bytes on the host, twice what one call takes there.
  test::TempFolder dir;
  FileSystem& fs = FileSystem::Get();
  std::u16string deep = dir.path();
  for (int i = 0; i < 400; ++i) {
    deep += u"Folder-with-a-name-" + test::W(std::to_string(100 + i));
    ASSERT_TRUE(fs.CreateFolder(deep)) << i;
    deep += u"\\";
  }
  test::WriteFileBytes(deep + u"Leaf.TXT", "deep");
  // Names matched without regard to case at that depth too.
  std::u16string folded = deep;
  for (char16_t& c : folded) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  EXPECT_EQ(test::ReadFileBytes(folded + u"leaf.txt"), "deep");
  EXPECT_EQ(fs.Attributes(folded.substr(0, folded.size() - 1)) & kAttrDirectory, kAttrDirectory);
  FindData entry;
  EXPECT_NE(fs.FindFirst(deep + u"*.TXT", &entry), nullptr);
  EXPECT_EQ(entry.name, u"Leaf.TXT");
  ASSERT_TRUE(fs.RenameFile(deep + u"Leaf.TXT", deep + u"Moved.txt"));
  ASSERT_TRUE(fs.CopyFileTo(deep + u"Moved.txt", deep + u"Copy.txt", true));
  EXPECT_EQ(test::ReadFileBytes(deep + u"Copy.txt"), "deep");
  EXPECT_TRUE(fs.RemoveFile(deep + u"Moved.txt"));
  EXPECT_FALSE(test::FileExists(deep + u"Moved.txt"));
  // Beyond the longest Windows path, every call fails as on Windows.
  const std::u16string too_long = deep + std::u16string(32767, u'x');
  SetLastError(0);
  EXPECT_EQ(fs.FindFirst(too_long, &entry), nullptr);
  EXPECT_EQ(LastError(), kErrorFilenameTooLong);
  EXPECT_EQ(fs.Open(too_long, kOpenCreate), nullptr);
  EXPECT_EQ(LastError(), kErrorFilenameTooLong);
  EXPECT_EQ(fs.Attributes(too_long), kInvalidAttributes);
  EXPECT_FALSE(fs.CreateFolder(too_long));
  EXPECT_EQ(LastError(), kErrorFilenameTooLong);
}

TEST_F(DriveTableTest, ErrnoMapping) {
  EXPECT_EQ(ErrnoToWindowsError(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(ErrnoToWindowsError(EACCES), kErrorAccessDenied);
  EXPECT_EQ(ErrnoToWindowsError(ENOTEMPTY), kErrorDirNotEmpty);
  EXPECT_EQ(ErrnoToWindowsError(EEXIST), kErrorAlreadyExists);
  EXPECT_EQ(ErrnoToWindowsError(ENOSPC), kErrorDiskFull);
}

}  // namespace
}  // namespace orvalinth::platform::posix

#endif  // _WIN32
