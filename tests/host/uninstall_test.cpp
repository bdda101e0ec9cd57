// The two stages of a self-uninstall with the emulated service manager, the
// registry's installed-programs key moved into a scratch key, a temporary
// folder of the test's own, scripted message boxes and a process facility
// that records the hand-over instead of ending the test process.

#include "host/uninstall.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/strings.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/path_lookup.h"
#include "recording_process.h"
#include "registry_scratch.h"
#include "service_fixture.h"

namespace orvalinth {
namespace {

using platform::RunMode;
using test::FileExists;
using test::kService;
using test::ReadFileBytes;
using test::RecordingProcess;
using test::TempFolder;
using test::WriteFileBytes;
using Lines = std::vector<std::string>;

CXSelfUninstall::Timing FastUninstall() {
  CXSelfUninstall::Timing timing;
  timing.delete_attempts = 5;
  timing.delete_retry_ms = 1;
  return timing;
}

// Message boxes answered by the test; what was shown is kept.
class ScriptedDialog final : public platform::Dialog {
 public:
  bool AskYesNo(const std::string& caption, const std::string& question) override {
    shown.push_back(caption + "|" + question);
    return answer_yes;
  }
  void Inform(const std::string& caption, const std::string& text) override { shown.push_back(caption + "|" + text); }

  bool answer_yes = false;
  std::vector<std::string> shown;
};

// The installed-programs key of HKEY_LOCAL_MACHINE is a scratch key's
// "Uninstall" subkey; everything else is the real registry.
class MovedInstalledPrograms final : public platform::Registry {
 public:
  explicit MovedInstalledPrograms(test::ScratchKey& scratch) : scratch_(scratch) {}
  uint32_t OpenKey(platform::RegistryRoot root, const std::u16string& path, uint32_t options, uint32_t access,
                   std::unique_ptr<platform::RegistryKey>* key) override {
    if (root == platform::RegistryRoot::kLocalMachine && EqualsFolded(path, CXSelfUninstall::kInstalledProgramsKey)) {
      return platform::Registry::Real().OpenKey(scratch_.root(), scratch_.path() + u"\\Uninstall", options, access,
                                                  key);
    }
    if (root == platform::RegistryRoot::kLocalMachine && EqualsFolded(path, CXSelfUninstall::kPackageKey)) {
      return platform::Registry::Real().OpenKey(scratch_.root(), scratch_.path() + u"\\Package", options, access,
                                                  key);
    }
    return platform::Registry::Real().OpenKey(root, path, options, access, key);
  }
  uint32_t CreateKey(platform::RegistryRoot root, const std::u16string& path, uint32_t options,
                     std::unique_ptr<platform::RegistryKey>* key) override {
    return platform::Registry::Real().CreateKey(root, path, options, key);
  }
  uint32_t DeleteKey(platform::RegistryRoot root, const std::u16string& path) override {
    return platform::Registry::Real().DeleteKey(root, path);
  }

 private:
  test::ScratchKey& scratch_;
};

// The system's temporary folder is one of the test's; deletions at the next
// restart are recorded (and not carried out); chosen files cannot be deleted
// for a number of attempts.
class TestFiles final : public platform::FileSystemWrapper {
 public:
  explicit TestFiles(std::u16string temp) : FileSystemWrapper(platform::FileSystem::Real()), temp_(std::move(temp)) {}
  std::u16string TempFolder() override { return temp_; }
  bool DeleteAtReboot(const std::u16string& path) override {
    at_reboot.push_back(path);
    return true;
  }
  bool RemoveFile(const std::u16string& path) override {
    if (path == busy_path && busy_removals != 0) {
      if (busy_removals > 0) --busy_removals;
      ++refused;
      platform::SetLastError(platform::kErrorSharingViolation);
      return false;
    }
    return target().RemoveFile(path);
  }

  std::vector<std::u16string> at_reboot;
  std::u16string busy_path;
  int busy_removals = 0;  // -1: always
  int refused = 0;

 private:
  std::u16string temp_;
};

class UninstallTest : public test::ServiceTest {
 protected:
  UninstallTest()
      : files_(temp_.path()),
        registry_(scratch_),
        use_files_(files_),
        use_registry_(registry_),
        use_dialogs_(dialogs_),
        use_process_(process_) {
    // The program under its own name (no ".exe" on POSIX).
    test::test_process().set_executable(Exe());
    WriteFileBytes(Exe(), "MZ the program");
  }

  // A complete installation: the running service, its settings (snapshot
  // count 3, two of them waiting), the settings' temporary file, both logs,
  // both crash files, an upgrade copy left behind, the snapshot files 1 to 3,
  // the installed-programs entry and that of another program.
  void Installed() {
    platform::FileSystem::Get().CreateFolder(DataFolder());
    WriteFileBytes(SettingsPath(), "ServerAddr:console\nSnapshotCnt:3\nSavedSnapshots:2,3\n");
    for (const std::u16string& path : ProgramFiles()) {
      if (path != SettingsPath()) WriteFileBytes(path, "bytes");
    }
    for (int n : {1, 2, 3}) WriteFileBytes(SnapshotPath(n), "snapshot");
    ASSERT_TRUE(scratch_.Create(u"Uninstall\\Orvalinth Service"));
    ASSERT_TRUE(scratch_.Create(u"Uninstall\\Another Program"));
    ASSERT_EQ(CXServiceControl(FastControl()).Install(CXServiceControl::kDescription), 1);
    ASSERT_EQ(CXServiceControl(FastControl()).Start(), 1);
    MarkLog();
  }
  static std::vector<std::u16string> ProgramFiles() {
    return {SettingsPath(),      SettingsPath() + u".tmp", LogPath(),        LogPath() + u".old",
            CrashReportPath(), CrashCopyPath(),          UpgradeCopyPath(), SymbolFilePath()};
  }
  bool EntryExists(const std::u16string& name) {
    std::unique_ptr<platform::RegistryKey> key;
    return platform::Registry::Real().OpenKey(scratch_.root(), scratch_.path() + u"\\Uninstall\\" + name,
                                                platform::kRegOptionNone, platform::kRegRead, &key) == 0;
  }
  bool Exists(const std::u16string& path) {
    return platform::FileSystem::Real().Attributes(path) != platform::kInvalidAttributes;
  }
  // Where the program and its data folder are (the second stage runs elsewhere).
  std::u16string Exe() const { return dir_ / ProgramFileName(); }
  std::u16string Data() const { return dir_ / u"data\\"; }
  std::u16string Copy() const { return temp_ / CXSelfUninstall::kUninstallerName; }
  void FirstStage(bool quiet) { CXSelfUninstall(control_, FastUninstall()).FirstStage(quiet); }
  // The second stage as the uninstaller copy runs it.
  void SecondStage(bool quiet) {
    test::test_process().set_executable(Copy());
    CXSelfUninstall(control_, FastUninstall()).Run(dir_.path(), quiet);
  }

  TempFolder temp_;
  test::ScratchKey scratch_;
  TestFiles files_;
  MovedInstalledPrograms registry_;
  ScriptedDialog dialogs_;
  RecordingProcess process_;
  platform::ScopedFacility<platform::FileSystem> use_files_;
  platform::ScopedFacility<platform::Registry> use_registry_;
  platform::ScopedFacility<platform::Dialog> use_dialogs_;
  platform::ScopedFacility<platform::Process> use_process_;
  CXServiceControl control_{FastControl()};
};

TEST_F(UninstallTest, QuietFirstStageRemovesTheProgramsFilesAndHandsOverToTheCopy) {
  Installed();
  FirstStage(/*quiet=*/true);

  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(manager_.Controls(kService), std::vector<uint32_t>{platform::kServiceControlStop});  // stopped first
  EXPECT_FALSE(manager_.Exists(kService));
  for (const std::u16string& path : ProgramFiles()) EXPECT_FALSE(Exists(path)) << test::N(path);
  for (int n : {1, 2, 3}) EXPECT_FALSE(Exists(SnapshotPath(n))) << n;
  EXPECT_FALSE(Exists(DataFolder()));
  EXPECT_FALSE(EntryExists(u"Orvalinth Service"));
  EXPECT_TRUE(EntryExists(u"Another Program"));

  // The executable itself goes in the second stage, from the copy.
  EXPECT_TRUE(Exists(Exe()));
  EXPECT_EQ(ReadFileBytes(Copy()), "MZ the program");
  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].program, Copy());
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + Copy() + u"\" -uninstall \"" + dir_.path() + u"\\\" -quiet");
  EXPECT_EQ(process_.starts[0].mode, RunMode::kReplace);
  EXPECT_EQ(NewLogLines(), (Lines{"Uninstall service...", "Service uninstalled"}));
}

TEST_F(UninstallTest, TheSecondStageArgumentsGiveTheFolderBackWithOneBackslash) {
  const struct {
    bool quiet;
    const char16_t* text;
  } cases[] = {
      {true, u"-uninstall \"C:\\Program Files\\Orvalinth\\\\\" -quiet"},
      {false, u"-uninstall \"C:\\Program Files\\Orvalinth\\\\\""},
  };
  for (const auto& c : cases) {
    const std::u16string text = CXSelfUninstall::SecondStageArguments(u"C:\\Program Files\\Orvalinth\\", c.quiet);
    EXPECT_EQ(text, c.text);
    std::vector<std::u16string> expected = {u"C:\\t\\copy.exe", u"-uninstall", u"C:\\Program Files\\Orvalinth\\"};
    if (c.quiet) expected.push_back(u"-quiet");
    EXPECT_EQ(platform::SplitCommandLine(u"\"C:\\t\\copy.exe\" " + text), expected);
  }
}

TEST_F(UninstallTest, TheSnapshotCountComesFromTheSettingsFile) {
  // Count 2: the snapshots 1 and 2, and 3, the number that a recording cut off
  // would have left; 4 is not the program's.
  WriteFileBytes(SettingsPath(), "SnapshotCnt:2\n");
  platform::FileSystem::Get().CreateFolder(DataFolder());
  for (int n : {1, 2, 3, 4}) WriteFileBytes(SnapshotPath(n), "snapshot");
  EXPECT_EQ(CXSelfUninstall::SnapshotCountOf(SettingsPath()), 2);
  FirstStage(/*quiet=*/true);
  for (int n : {1, 2, 3}) EXPECT_FALSE(Exists(SnapshotPath(n))) << n;
  EXPECT_TRUE(Exists(SnapshotPath(4)));
  EXPECT_TRUE(Exists(DataFolder()));
  EXPECT_EQ(CXSelfUninstall::SnapshotCountOf(dir_ / u"missing.ini"), 0);
}

TEST_F(UninstallTest, AFilePlacedByHandKeepsTheDataAndProgramFolders) {
  Installed();
  WriteFileBytes(Data() + u"notes.txt", "mine");
  FirstStage(/*quiet=*/true);
  SecondStage(/*quiet=*/true);
  EXPECT_EQ(ReadFileBytes(Data() + u"notes.txt"), "mine");
  EXPECT_FALSE(Exists(Exe()));
  EXPECT_FALSE(Exists(dir_ / u"OrvalinthSrv.ini"));
  EXPECT_TRUE(Exists(dir_.path()));
}

TEST_F(UninstallTest, NoToTheQuestionChangesNothing) {
  Installed();
  dialogs_.answer_yes = false;
  FirstStage(/*quiet=*/false);
  EXPECT_EQ(dialogs_.shown, (Lines{std::string("Orvalinth Service|Are you sure you want to completely remove "
                                               "Orvalinth Service from your computer?")}));
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, platform::kServiceRunning);
  for (const std::u16string& path : ProgramFiles()) EXPECT_TRUE(Exists(path)) << test::N(path);
  for (int n : {1, 2, 3}) EXPECT_TRUE(Exists(SnapshotPath(n))) << n;
  EXPECT_TRUE(EntryExists(u"Orvalinth Service"));
  EXPECT_TRUE(process_.starts.empty());
  EXPECT_FALSE(Exists(Copy()));
  EXPECT_EQ(NewLogLines(), Lines{});
}

TEST_F(UninstallTest, YesToTheQuestionUninstallsAndPassesNoQuietFlag) {
  Installed();
  dialogs_.answer_yes = true;
  FirstStage(/*quiet=*/false);
  EXPECT_FALSE(manager_.Exists(kService));
  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + Copy() + u"\" -uninstall \"" + dir_.path() + u"\\\"");
  EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(UninstallTest, TheSecondStageRemovesTheExecutableTheFolderAndItself) {
  WriteFileBytes(Copy(), "MZ the program");
  SecondStage(/*quiet=*/false);
  EXPECT_FALSE(Exists(dir_.path()));
  EXPECT_EQ(files_.at_reboot, std::vector<std::u16string>{Copy()});
  EXPECT_EQ(dialogs_.shown, Lines{"Orvalinth Service|Orvalinth Service was removed."});
}

// The package's product code as the package writes it (REG_SZ, UTF-16LE
// with its terminator); the second stage hands the package's registration to
// msiexec only for a well-formed code.
TEST_F(UninstallTest, TheSecondStageRemovesThePackagesRegistrationByItsProductCode) {
  const struct {
    const char16_t* value;
    bool removed;
  } cases[] = {
      {u"{0A1B2C3D-4E5F-6789-ABCD-EF0123456789}", true},
      {u"{0a1b2c3d-4e5f-6789-abcd-ef0123456789}", true},
      {u"0A1B2C3D-4E5F-6789-ABCD-EF0123456789", false},
      {u"{0A1B2C3D-4E5F-6789-ABCD-EF012345678}", false},
      {u"{0A1B2C3D-4E5F-6789-ABCD-EF012345678G}", false},
      {u"{0A1B2C3D 4E5F-6789-ABCD-EF0123456789}", false},
      {u"{0A1B2C3D-4E5F-6789-ABCD-EF0123456789} /i x", false},
  };
  ASSERT_TRUE(scratch_.Create(u"Package"));
  for (const auto& c : cases) {
    std::unique_ptr<platform::RegistryKey> key;
    ASSERT_EQ(platform::Registry::Real().OpenKey(scratch_.root(), scratch_.path() + u"\\Package",
                                                 platform::kRegOptionNone, platform::kRegWrite, &key),
              0u);
    std::string bytes;
    for (char16_t unit : std::u16string(c.value) + u'\0') {
      bytes += static_cast<char>(unit & 0xff);
      bytes += static_cast<char>(unit >> 8);
    }
    ASSERT_EQ(key->SetValue(CXSelfUninstall::kPackageValue, platform::kRegSz, bytes), 0u);
    process_.starts.clear();
    platform::FileSystem::Real().CreateFolder(dir_.path());  // the last round removed it
    WriteFileBytes(Exe(), "MZ the program");
    SecondStage(/*quiet=*/true);
    if (!c.removed) {
      EXPECT_TRUE(process_.starts.empty()) << test::N(c.value);
      continue;
    }
    ASSERT_EQ(process_.starts.size(), 1u) << test::N(c.value);
    EXPECT_EQ(process_.starts[0].mode, RunMode::kWait);
    const std::u16string msiexec = process_.starts[0].program;
    EXPECT_TRUE(EqualsFolded(test::N(msiexec.substr(msiexec.size() - 21)), "\\System32\\msiexec.exe"))
        << test::N(msiexec);
    EXPECT_EQ(process_.starts[0].command_line,
              u"\"" + msiexec + u"\" /x " + std::u16string(c.value) + u" /qn SELFREMOVED=1");
  }
}

TEST_F(UninstallTest, TheSecondStageWaitsWhileTheFirstStageHoldsTheExecutable) {
  files_.busy_path = Exe();
  files_.busy_removals = 3;
  SecondStage(/*quiet=*/true);
  EXPECT_EQ(files_.refused, 3);
  EXPECT_FALSE(Exists(dir_.path()));
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(UninstallTest, AnExecutableThatStaysIsNotReportedAsRemoved) {
  files_.busy_path = Exe();
  files_.busy_removals = -1;
  SecondStage(/*quiet=*/false);
  EXPECT_EQ(files_.refused, FastUninstall().delete_attempts);
  EXPECT_TRUE(Exists(Exe()));
  EXPECT_EQ(dialogs_.shown,
            Lines{"Orvalinth Service|Orvalinth Service was removed. Some of its files could not be deleted."});
}

TEST_F(UninstallTest, TheTemporaryFolderFallsBackToTheWindowsFolder) {
  EXPECT_EQ(CXSelfUninstall::TemporaryFolder(), temp_.path());
  TestFiles no_temp{std::u16string()};
  platform::ScopedFacility<platform::FileSystem> use(no_temp);
  std::u16string windows = platform::PathLookup::Get().WindowsFolder();
  if (!windows.empty() && windows.back() != u'\\') windows += u'\\';
  EXPECT_EQ(CXSelfUninstall::TemporaryFolder(), windows);
}

// What Wine does without a display: the box cannot be shown and the answer
// is not Yes, at once.
TEST(Dialogs, WithoutADisplayTheAnswerIsNotYes) {
  if (!test::running_under_wine()) GTEST_SKIP() << "a real desktop would show the box and wait";
  EXPECT_FALSE(platform::Dialog::Real().AskYesNo("Orvalinth Service", "Answer?"));
}

}  // namespace
}  // namespace orvalinth
