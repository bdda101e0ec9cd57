#include "host/paths.h"

#include <gtest/gtest.h>

#include "host/app_version.h"
#include "test_support.h"

namespace orvalinth {
namespace {

class PathsTest : public ::testing::Test {
 protected:
  void TearDown() override { testing::test_process().set_executable(std::u16string()); }
  void Use(const std::u16string& exe) { testing::test_process().set_executable(exe); }
};

TEST_F(PathsTest, RulesFromTheExecutablePath) {
  Use(u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe");
  EXPECT_EQ(ProgramFolder(), u"C:\\Program Files\\Orvalinth\\");
  EXPECT_EQ(DataFolder(), u"C:\\Program Files\\Orvalinth\\data\\");
  EXPECT_EQ(SettingsPath(), u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.ini");
  EXPECT_EQ(SnapshotPath(1), u"C:\\Program Files\\Orvalinth\\data\\snapshot001.snp");
  EXPECT_EQ(SnapshotPath(1000), u"C:\\Program Files\\Orvalinth\\data\\snapshot1000.snp");
  EXPECT_EQ(LogPath(), u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.log");
  EXPECT_EQ(CrashReportPath(), u"C:\\Program Files\\Orvalinth\\error-log.txt");
  EXPECT_EQ(CrashCopyPath(), u"C:\\Program Files\\Orvalinth\\error-log.tmp");
  EXPECT_EQ(UpgradeCopyPath(), u"C:\\Program Files\\Orvalinth\\upgrade_tmp.exe");
  EXPECT_EQ(SymbolFilePath(), u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.pdb");
#ifdef _WIN32
  EXPECT_EQ(TargetExecutablePath(), u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe");
#else
  // The POSIX build's program has no ".exe" (packaging/orvalinth.service).
  EXPECT_EQ(TargetExecutablePath(), u"C:\\Program Files\\Orvalinth\\OrvalinthSrv");
#endif
}

TEST_F(PathsTest, SettingsPathFollowsTheExecutablesOwnName) {
  Use(u"C:\\x.y\\upgrade_tmp.exe");
  EXPECT_EQ(SettingsPath(), u"C:\\x.y\\upgrade_tmp.ini");
  EXPECT_EQ(FixedSettingsPath(), u"C:\\x.y\\OrvalinthSrv.ini");
  Use(u"Z:\\opt.d\\orvalinth\\OrvalinthSrv");  // no extension: the dot of a folder does not count
  EXPECT_EQ(SettingsPath(), u"Z:\\opt.d\\orvalinth\\OrvalinthSrv.ini");
}

TEST_F(PathsTest, UnknownExecutablePath) {
  testing::test_process().set_executable_unknown();
  EXPECT_EQ(ExecutablePath(), u"");
  EXPECT_EQ(ProgramFolder(), u"");
  EXPECT_EQ(SettingsPath(), u"OrvalinthSrv.ini");
  EXPECT_EQ(LogPath(), u"OrvalinthSrv.log");
}

TEST(AppVersion, Texts) {
  const char* expected[] = {"2.0", "2.2", "2.4", "2.6", "2.8 x64", "2.8 x64", "2.10 x64"};
  for (int v = 0; v <= 6; ++v) EXPECT_STREQ(AppVersionText(v), expected[v]) << v;
  EXPECT_STREQ(AppVersionText(7), "?");
  EXPECT_STREQ(AppVersionText(-1), "?");
}

}  // namespace
}  // namespace orvalinth
