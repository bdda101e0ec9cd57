// The known folders: on POSIX the freedesktop.org folders, under Wine the
// shell's.

#include "platform/known_folders.h"

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/path_lookup.h"
#include "base/strings.h"
#include "test_support.h"

#ifndef _WIN32
#include <stdlib.h>

#include "platform/posix/drive_table.h"
#endif

namespace orvalinth {
namespace {

using test::N;

#ifndef _WIN32
// Sets an environment variable for the scope, restoring it after.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedVariable() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(KnownFolders, FreedesktopFoldersOnPosix) {
  ScopedVariable home("HOME", "/home/someone");
  ScopedVariable config("XDG_CONFIG_HOME", "/var/cfg");
  ScopedVariable dirs("XDG_CONFIG_DIRS", "relative/dir:/etc/first:/etc/second");
  ScopedVariable data("XDG_DATA_HOME", "not-absolute");
  platform::KnownFolder& folders = platform::KnownFolder::Get();
  const auto path = [&](int csidl, bool current) {
    std::u16string p;
    return folders.FolderPath(csidl, current, &p) ? N(p) : Format("error %u", platform::LastError());
  };
  const auto host = [](const char* host_path) { return N(platform::posix::FromHostPath(host_path)); };
  EXPECT_EQ(path(platform::kFolderStartup, true), host("/var/cfg/autostart"));
  EXPECT_EQ(path(platform::kFolderStartup, false), host("/home/someone/.config/autostart"));
  EXPECT_EQ(path(platform::kFolderCommonStartup, true), host("/etc/first/autostart"));
  EXPECT_EQ(path(platform::kFolderCommonStartup, false), host("/etc/xdg/autostart"));
  EXPECT_EQ(path(platform::kFolderStartMenu, true), host("/home/someone/.local/share/applications"));
  EXPECT_EQ(path(platform::kFolderCommonPrograms, true), host("/usr/share/applications"));
  EXPECT_EQ(path(platform::kFolderDesktop, true), host("/home/someone/Desktop"));
  EXPECT_EQ(path(platform::kFolderCommonDesktop, true), "error 2");
  EXPECT_EQ(path(platform::kFolderSystem, true), N(platform::PathLookup::Get().WindowsFolder()) + "\\system32");
}
#else
TEST(KnownFolders, TheShellNamesTheStartupFolders) {
  std::u16string startup, windows;
  ASSERT_TRUE(platform::KnownFolder::Get().FolderPath(platform::kFolderCommonStartup, true, &startup));
  EXPECT_TRUE(EndsWithFolded(startup, u"\\Programs\\StartUp")) << N(startup);
  ASSERT_TRUE(platform::KnownFolder::Get().FolderPath(platform::kFolderWindows, false, &windows));
  EXPECT_TRUE(EqualsFolded(windows, platform::PathLookup::Get().WindowsFolder())) << N(windows);
  EXPECT_FALSE(platform::KnownFolder::Get().FolderPath(-5, true, &windows));
}
#endif

}  // namespace
}  // namespace orvalinth
