// The system's program paths: the POSIX rules over the drive table, and the
// system's own under Wine.

#include "platform/path_lookup.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "test_support.h"

#ifdef _WIN32
#include "platform/win32/win.h"
#else
#include <stdlib.h>

#include "platform/posix/drive_table.h"
#include "platform/volumes.h"
#endif

namespace orvalinth::platform {
namespace {

using test::N;

PathLookup& Lookup() { return PathLookup::Get(); }

void SetVariable(const char* name, const std::u16string& value) {
#ifdef _WIN32
  SetEnvironmentVariableW(win32::W(test::W(name)), value.empty() ? nullptr : win32::W(value));
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, N(value).c_str(), 1);
  }
#endif
}

TEST(PathLookup, LongExpansionsAreNeverCut) {
  const std::u16string long_value(400, u'v');
  SetVariable("ORVALINTH_TEST_LONG", long_value);
  EXPECT_EQ(Lookup().ExpandEnvironment(u"<%ORVALINTH_TEST_LONG%|%ORVALINTH_TEST_LONG%>"),
            u"<" + long_value + u"|" + long_value + u">");
  SetVariable("ORVALINTH_TEST_LONG", u"");
  EXPECT_EQ(Lookup().ExpandEnvironment(u""), u"");
}

TEST(PathLookup, SystemRootIsTheWindowsFolder) {
  EXPECT_TRUE(EqualsFolded(Lookup().ExpandEnvironment(u"%SystemRoot%\\x"), Lookup().WindowsFolder() + u"\\x"));
  EXPECT_TRUE(EqualsFolded(Lookup().ExpandEnvironment(u"%windir%"), Lookup().WindowsFolder()));
}

TEST(PathLookup, SearchesAFullPathAsItIs) {
  test::TempFolder dir;
  ASSERT_TRUE(FileSystem::Get().CreateFolder(dir / u"bin"));
  test::WriteFileBytes(dir / u"bin\\tool.exe", "MZ");
  std::u16string found;
  ASSERT_TRUE(Lookup().SearchExecutable(dir / u"bin\\.\\x\\..\\tool.exe", &found));
  EXPECT_EQ(found, dir / u"bin\\tool.exe");
  EXPECT_FALSE(Lookup().SearchExecutable(dir / u"bin\\none.exe", &found));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  ASSERT_TRUE(Lookup().LongPathName(dir / u"bin\\tool.exe", &found));
  EXPECT_EQ(found, dir / u"bin\\tool.exe");
  EXPECT_FALSE(Lookup().LongPathName(dir / u"bin\\none.exe", &found));
}

#ifndef _WIN32
class PosixPathLookup : public ::testing::Test {
 protected:
  void TearDown() override { posix::RemoveDrive('c'); }
};

TEST_F(PosixPathLookup, TheWindowsFolderIsDriveCsWhenItHasOne) {
  EXPECT_EQ(Lookup().WindowsFolder(), u"C:\\Windows");
  test::TempFolder drive;
  posix::SetDrive('c', posix::ToHostPath(drive.path()), kDriveFixed);
  EXPECT_EQ(Lookup().WindowsFolder(), u"C:\\Windows");
  ASSERT_TRUE(FileSystem::Get().CreateFolder(drive / u"windows"));
  EXPECT_EQ(Lookup().WindowsFolder(), u"C:\\windows") << "as the drive stores it";
}

TEST_F(PosixPathLookup, ExpandsVariablesByTheWindowsRules) {
  SetVariable("ORVALINTH_TEST_A", u"alpha");
  const struct {
    const char16_t* text;
    const char16_t* expanded;
  } cases[] = {
      {u"x%ORVALINTH_TEST_A%y", u"xalphay"},
      {u"%orvalinth_test_a%", u"alpha"},
      {u"%ORVALINTH_TEST_NONE%\\rest", u"%ORVALINTH_TEST_NONE%\\rest"},
      {u"%ORVALINTH_TEST_NONE%ORVALINTH_TEST_A%", u"%ORVALINTH_TEST_NONE%ORVALINTH_TEST_A%"},
      {u"%ORVALINTH_TEST_A%%ORVALINTH_TEST_A%", u"alphaalpha"},
      {u"100%", u"100%"},
      {u"%%", u"%%"},
      {u"a%ORVALINTH_TEST_A", u"a%ORVALINTH_TEST_A"},
      {u"%SYSTEMROOT%\\system32", u"C:\\Windows\\system32"},
  };
  for (const auto& c : cases) EXPECT_EQ(N(Lookup().ExpandEnvironment(c.text)), N(c.expanded)) << N(c.text);
  SetVariable("ORVALINTH_TEST_A", u"");
}

TEST_F(PosixPathLookup, PathsAreMadeFull) {
  test::TempFolder drive;
  posix::SetDrive('c', posix::ToHostPath(drive.path()), kDriveFixed);
  ASSERT_TRUE(FileSystem::Get().CreateFolder(drive / u"a"));
  test::WriteFileBytes(drive / u"a\\tool.exe", "MZ");
  std::u16string found;
  for (const char16_t* name : {u"C:\\a\\tool.exe", u"C:/a/tool.exe", u"C:\\x\\..\\..\\a\\.\\tool.exe", u"c:a\\tool.exe"}) {
    ASSERT_TRUE(Lookup().SearchExecutable(name, &found)) << N(name);
    EXPECT_TRUE(EqualsFolded(found, u"C:\\a\\tool.exe")) << N(found);
  }
  EXPECT_FALSE(Lookup().SearchExecutable(u"", &found));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
}
#endif

#ifdef _WIN32
TEST(PathLookupWine, FindsTheSystemsPrograms) {
  if (!test::running_under_wine()) GTEST_SKIP() << "the prefix's folders are Wine's";
  EXPECT_TRUE(EqualsFolded(Lookup().WindowsFolder(), u"C:\\windows"));
  std::u16string found;
  ASSERT_TRUE(Lookup().SearchExecutable(u"notepad.exe", &found));
  EXPECT_TRUE(EqualsFolded(found, u"C:\\windows\\system32\\notepad.exe")) << N(found);
}
#endif

}  // namespace
}  // namespace orvalinth::platform
