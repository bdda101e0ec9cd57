// The POSIX backend's drive table (Windows has real drives).
#ifndef _WIN32

#include "platform/posix/drive_table.h"

#include <gtest/gtest.h>

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
