// ResolveCommandPath over a Windows folder made by the test (drive C: of the
// drive table on host, a substituted Windows folder under Wine), and under
// Wine over the prefix's real folders.

#include "record/command_path.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/path_lookup.h"
#include "platform/shell_links.h"
#include "test_support.h"
#include "tests/record/apps/shell_link_builder.h"

#ifdef _WIN32
#include "platform/win32/win.h"
#else
#include <stdlib.h>

#include "platform/posix/drive_table.h"
#include "platform/volumes.h"
#endif

namespace orvalinth {
namespace {

using test::N;

// The real lookups, with another Windows folder and chosen long names.
class PathLookupWrapper final : public platform::PathLookup {
 public:
  std::u16string WindowsFolder() override { return windows.empty() ? real().WindowsFolder() : windows; }
  bool SearchExecutable(const std::u16string& name, std::u16string* found) override {
    return real().SearchExecutable(name, found);
  }
  std::u16string ExpandEnvironment(const std::u16string& text) override { return real().ExpandEnvironment(text); }
  bool LongPathName(const std::u16string& path, std::u16string* long_path) override {
    const auto known = long_names.find(path);
    if (known == long_names.end()) return real().LongPathName(path, long_path);
    *long_path = known->second;
    return true;
  }

  std::u16string windows;
  std::map<std::u16string, std::u16string> long_names;

 private:
  static platform::PathLookup& real() { return platform::PathLookup::Real(); }
};

void SetVariable(const char* name, const std::u16string& value) {
#ifdef _WIN32
  SetEnvironmentVariableW(platform::win32::W(test::W(name)), value.empty() ? nullptr : platform::win32::W(value));
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, N(value).c_str(), 1);
  }
#endif
}

class CommandPath : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    apps_ = root_.path();
    lookup_.windows = root_ / u"Windows";
#else
    // Drive C: is the test's folder, with a Windows folder of its own.
    platform::posix::SetDrive('c', platform::posix::ToHostPath(root_.path()), platform::kDriveFixed);
    apps_ = u"C:\\";
#endif
    windows_ = apps_ + u"Windows\\";
    for (const char16_t* folder : {u"Windows", u"Windows\\system32", u"Windows\\system32\\drivers", u"My App", u"bin",
                                   u"LONGNA~1"}) {
      ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(apps_ + folder));
    }
    for (const char16_t* file : {u"Windows\\system32\\notepad.exe", u"Windows\\system32\\drivers\\beep.sys",
                                 u"My App\\app.exe", u"bin\\tool.exe", u"LONGNA~1\\long.exe"}) {
      test::WriteFileBytes(apps_ + file, "MZ");
    }
  }
  void TearDown() override {
#ifndef _WIN32
    platform::posix::RemoveDrive('c');
#endif
  }

  // The outcome of one resolution as "result|path|arguments".
  std::string Resolve(const std::u16string& command) {
    std::u16string path = u"stale";
    std::u16string arguments = u"stale";
    const int result = ResolveCommandPath(command, &path, &arguments);
    return Format("%d|", result) + N(path) + "|" + N(arguments);
  }
  std::string Found(const std::u16string& path, const std::u16string& arguments = u"") {
    return "1|" + N(path) + "|" + N(arguments);
  }

  test::TempFolder root_;
  PathLookupWrapper lookup_;
  platform::ScopedFacility<platform::PathLookup> scoped_{lookup_};
  std::u16string apps_;
  std::u16string windows_;
};

TEST_F(CommandPath, AQuotedPathKeepsItsBlanksAndGivesTheRestAsArguments) {
  EXPECT_EQ(Resolve(u"\"" + apps_ + u"My App\\app.exe\"  -run "), Found(apps_ + u"My App\\app.exe", u"-run"));
  EXPECT_EQ(Resolve(u"\"" + apps_ + u"My App\\app.exe\""), Found(apps_ + u"My App\\app.exe"));
  // An opening quote without its closing one is dropped.
  EXPECT_EQ(Resolve(u"\"" + apps_ + u"bin\\tool.exe"), Found(apps_ + u"bin\\tool.exe"));
}

TEST_F(CommandPath, AnUnquotedCommandIsCutAtTheBlankAfterExe) {
  EXPECT_EQ(Resolve(apps_ + u"My App\\app.exe -a  -b "), Found(apps_ + u"My App\\app.exe", u"-a  -b"));
  EXPECT_EQ(Resolve(apps_ + u"bin\\tool.exe\t/x"), Found(apps_ + u"bin\\tool.exe", u"/x"));
  // Without ".exe" the cut is at the first blank, and ".exe" is appended.
  EXPECT_EQ(Resolve(apps_ + u"bin\\tool -x"), Found(apps_ + u"bin\\tool.exe", u"-x"));
  EXPECT_EQ(Resolve(apps_ + u"bin\\TOOL"), Found(apps_ + u"bin\\TOOL.exe"));
}

TEST_F(CommandPath, SystemFoldersAreTakenBelowTheWindowsFolder) {
  EXPECT_EQ(Resolve(u"System32\\notepad.exe"), Found(windows_ + u"System32\\notepad.exe"));
  EXPECT_EQ(Resolve(u"\\SystemRoot\\system32\\notepad.exe /s"), Found(windows_ + u"system32\\notepad.exe", u"/s"));
  EXPECT_EQ(Resolve(u"\\??\\" + apps_ + u"bin\\tool.exe"), Found(apps_ + u"bin\\tool.exe"));
}

TEST_F(CommandPath, ADriverIsLookedForInTheDriversFolder) {
  EXPECT_EQ(Resolve(u"beep.sys"), Found(windows_ + u"system32\\drivers\\beep.sys"));
  EXPECT_EQ(Resolve(u"BEEP.SYS"), Found(windows_ + u"system32\\drivers\\BEEP.SYS"));
  EXPECT_EQ(Resolve(u"gone.sys"), "0|gone.sys|");
}

TEST_F(CommandPath, EnvironmentVariablesAreExpanded) {
  std::u16string folder = apps_;
  folder.pop_back();
  SetVariable("ORVALINTH_TEST_APPS", folder);
  EXPECT_EQ(Resolve(u"%ORVALINTH_TEST_APPS%\\bin\\tool -x"), Found(apps_ + u"bin\\tool.exe", u"-x"));
  EXPECT_EQ(Resolve(u"%orvalinth_test_apps%\\My App\\app.exe --y"), Found(apps_ + u"My App\\app.exe", u"--y"));
  SetVariable("ORVALINTH_TEST_APPS", u"");
  EXPECT_EQ(Resolve(u"%ORVALINTH_TEST_APPS%\\bin\\tool -x"), "0|%ORVALINTH_TEST_APPS%\\bin\\tool -x|-x");
}

TEST_F(CommandPath, AMissingCommandGivesTheCommandItself) {
  const std::u16string missing = apps_ + u"nowhere\\missing.exe -x";
  EXPECT_EQ(Resolve(missing), "0|" + N(missing) + "|-x");
  EXPECT_EQ(Resolve(u""), "0||");
  // A folder is no file, with ".exe" or without.
  EXPECT_EQ(Resolve(apps_ + u"bin"), "0|" + N(apps_) + "bin|");
  std::u16string path;
  EXPECT_EQ(ResolveCommandPath(apps_ + u"bin\\tool.exe", &path), 1) << "arguments are optional";
}

TEST_F(CommandPath, ATildeNameIsGivenInItsLongForm) {
  lookup_.long_names[apps_ + u"LONGNA~1\\long.exe"] = apps_ + u"Long Name\\long.exe";
  EXPECT_EQ(Resolve(apps_ + u"LONGNA~1\\long.exe"), Found(apps_ + u"Long Name\\long.exe"));
}

class FixedShellLinks final : public platform::ShellLinks {
 public:
  bool InstallerTarget(const std::u16string&, std::u16string*) override {
    platform::SetLastError(1627);
    return false;
  }
  bool LinkTarget(const std::u16string& shortcut, std::u16string* target) override {
    *target = EndsWithFolded(shortcut, u"computer.lnk") ? u"" : answer;
    return true;
  }
  bool HasLinkObject() override { return true; }
  std::u16string answer;
};

TEST_F(CommandPath, AShortcutIsReplacedByItsTarget) {
  FixedShellLinks links;
  links.answer = apps_ + u"bin\\tool.exe";
  platform::ScopedFacility<platform::ShellLinks> scoped(links);
  test::WriteFileBytes(apps_ + u"computer.lnk", "L");
  EXPECT_EQ(Resolve(u"\"" + apps_ + u"Tool.LNK\" -z"), Found(apps_ + u"bin\\tool.exe", u"-z"));
  // A shortcut to no file keeps its own path.
  EXPECT_EQ(Resolve(apps_ + u"computer.lnk"), Found(apps_ + u"computer.lnk"));
}

#ifndef _WIN32
TEST_F(CommandPath, PosixShortcutFilesAreRead) {
  test::WriteFileBytes(apps_ + u"tool.lnk",
                          test::BuildLink("", test::LocalLinkInfo(N(apps_) + "bin\\tool.exe", "", false)));
  EXPECT_EQ(Resolve(apps_ + u"tool.lnk"), Found(apps_ + u"bin\\tool.exe"));
}

TEST_F(CommandPath, PosixSearchesTheProgramFolderFirstThenTheSystemThenPath) {
  const std::u16string program = test::test_process().program_folder();
  test::WriteFileBytes(program + u"order.exe", "MZ");
  test::WriteFileBytes(windows_ + u"system32\\order.exe", "MZ");
  test::WriteFileBytes(windows_ + u"system32\\sys.exe", "MZ");
  test::WriteFileBytes(windows_ + u"win.exe", "MZ");
  test::TempFolder on_path;
  test::WriteFileBytes(on_path / u"pathonly.exe", "MZ");
  const char* old = getenv("PATH");
  const std::string saved = old != nullptr ? old : "";
  std::string host = platform::posix::ToHostPath(on_path.path());
  setenv("PATH", ("/nonexistent-folder:" + host + ":" + saved).c_str(), 1);
  EXPECT_EQ(Resolve(u"order"), Found(program + u"order.exe"));
  EXPECT_EQ(Resolve(u"sys.exe -q"), Found(windows_ + u"system32\\sys.exe", u"-q"));
  EXPECT_EQ(Resolve(u"win"), Found(u"C:\\Windows\\win.exe"));
  EXPECT_EQ(Resolve(u"pathonly"), Found(on_path.path() + u"pathonly.exe"));
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(Resolve(u"pathonly"), "0|pathonly|");
  EXPECT_EQ(Resolve(u"%SystemRoot%\\system32\\notepad.exe"), Found(u"C:\\Windows\\system32\\notepad.exe"));
}
#endif

#ifdef _WIN32
TEST(CommandPathWine, TheRealWindowsFolder) {
  if (!test::running_under_wine()) GTEST_SKIP() << "the prefix's folders are Wine's";
  const std::u16string windows = platform::PathLookup::Get().WindowsFolder() + u"\\";
  std::u16string path;
  std::u16string arguments;
  ASSERT_EQ(ResolveCommandPath(u"system32\\notepad.exe", &path, &arguments), 1);
  EXPECT_TRUE(EqualsFolded(path, windows + u"system32\\notepad.exe")) << N(path);
  ASSERT_EQ(ResolveCommandPath(u"%SystemRoot%\\System32\\notepad.exe -x", &path, &arguments), 1);
  EXPECT_TRUE(EqualsFolded(path, windows + u"system32\\notepad.exe")) << N(path);
  EXPECT_EQ(arguments, u"-x");
  ASSERT_EQ(ResolveCommandPath(u"notepad", &path, &arguments), 1);
  EXPECT_TRUE(EqualsFolded(path, windows + u"system32\\notepad.exe")) << N(path);
  ASSERT_EQ(ResolveCommandPath(u"\\??\\C:\\windows\\system32\\notepad.exe", &path, &arguments), 1);
  // A driver the prefix has only in the drivers folder, by its bare name.
  platform::FindData driver;
  auto search = platform::FileSystem::Get().FindFirst(windows + u"system32\\drivers\\*.sys", &driver);
  ASSERT_TRUE(search);
  while (platform::FileSystem::Get().Attributes(windows + u"system32\\" + driver.name) != platform::kInvalidAttributes) {
    ASSERT_TRUE(search->Next(&driver));
  }
  ASSERT_EQ(ResolveCommandPath(driver.name, &path, &arguments), 1) << N(driver.name);
  EXPECT_TRUE(EqualsFolded(path, windows + u"system32\\drivers\\" + driver.name)) << N(path);
  EXPECT_EQ(ResolveCommandPath(u"C:\\windows\\no-such-program.exe -x", &path, &arguments), 0);
  EXPECT_EQ(path, u"C:\\windows\\no-such-program.exe -x");
}
#endif

}  // namespace
}  // namespace orvalinth
