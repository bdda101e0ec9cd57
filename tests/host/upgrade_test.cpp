// The first two stages of a self-upgrade with the emulated service manager and
// a process facility that records the programs started instead of starting
// them: what is written, kept and deleted, the hand-over, and the exact log.
// (The third stage is in "info": tests/link/dispatcher_test.cpp.)

#include "host/upgrade.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/app_version.h"
#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "recording_process.h"
#include "service_fixture.h"
#include "tests/platform/pe_fixtures.h"

namespace orvalinth {
namespace {

using platform::RunMode;
using test::FileExists;
using test::kService;
using test::ReadFileBytes;
using test::RecordingProcess;
using test::WriteFileBytes;
using Lines = std::vector<std::string>;

SXUpgradeTiming FastUpgrade() {
  SXUpgradeTiming timing;
  timing.replace_attempts = 5;
  timing.replace_retry_ms = 1;
  return timing;
}

const std::string kNewExe = "MZ the next version";

class UpgradeTest : public test::ServiceTest {
 protected:
  UpgradeTest() : use_process_(process_) { platform::FileSystem::Get().CreateFolder(DataFolder()); }

  // Settings with two snapshots waiting for download, and their files.
  void SettingsWithSnapshots(const std::string& more = std::string()) {
    for (int n : {1, 2}) WriteFileBytes(SnapshotPath(n), "snapshot " + std::to_string(n));
    WriteFileBytes(SettingsPath(), "ServerAddr:console\nSnapshotCnt:2\nSavedSnapshots:1,2\n" + more);
    ASSERT_EQ(settings_.Load(SettingsPath()), 1);
    ASSERT_EQ(settings_.saved_snapshots(), "1,2");
  }
  void RunningService() {
    ASSERT_EQ(CXServiceControl(FastControl()).Install(CXServiceControl::kDescription), 1);
    ASSERT_EQ(CXServiceControl(FastControl()).Start(), 1);
    MarkLog();
  }
  int Begin(const std::string& bytes, std::string* error) {
    return CXUpgrade(settings_, control_, FastUpgrade())
        .Begin(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), error);
  }
  // The second stage as the upgrade copy runs it, with -register doing what
  // the new executable does.
  void Finish() {
    test::test_process().set_executable(UpgradeCopyPath());
    process_.on_start = [](const RecordingProcess::SXStart& start) {
      if (start.command_line.size() >= 9 && start.command_line.substr(start.command_line.size() - 9) == u"-register") {
        CXServiceControl(FastControl()).Install(CXServiceControl::kDescription);
      }
    };
    CXUpgrade(settings_, control_, FastUpgrade()).Finish();
  }
  // The settings file and both snapshot files unchanged, the service
  // registered and running, and `starts` programs started (or tried).
  void ExpectNothingLost(const std::string& settings_before, size_t starts = 0) {
    EXPECT_EQ(ReadFileBytes(SettingsPath()), settings_before);
    EXPECT_EQ(ReadFileBytes(SnapshotPath(1)), "snapshot 1");
    EXPECT_EQ(ReadFileBytes(SnapshotPath(2)), "snapshot 2");
    EXPECT_EQ(settings_.saved_snapshots(), "1,2");
    EXPECT_TRUE(manager_.Exists(kService));
    EXPECT_FALSE(manager_.MarkedForDeletion(kService));
    platform::ServiceStatus status;
    EXPECT_TRUE(manager_.Status(kService, &status) && status.state == platform::kServiceRunning);
    EXPECT_EQ(process_.starts.size(), starts);
  }
  std::string CopyText() const { return Narrow(UpgradeCopyPath()); }

  RecordingProcess process_;
  platform::ScopedFacility<platform::Process> use_process_;
  CXClientSettings settings_;
  CXServiceControl control_{FastControl()};
};

TEST_F(UpgradeTest, BeginWritesTheCopyDiscardsTheSnapshotsAndHandsOver) {
  SettingsWithSnapshots();
  RunningService();
  std::string error;
  EXPECT_EQ(Begin(kNewExe, &error), 1);  // the recording facility returns where the process would end
  EXPECT_EQ(error, "");

  EXPECT_EQ(ReadFileBytes(UpgradeCopyPath()), kNewExe);
  EXPECT_FALSE(FileExists(SnapshotPath(1)));
  EXPECT_FALSE(FileExists(SnapshotPath(2)));
  EXPECT_EQ(settings_.saved_snapshots(), "");
  const std::string file = ReadFileBytes(SettingsPath());
  EXPECT_NE(file.find("SavedSnapshots:" + std::string(platform::kNewline)), std::string::npos) << file;
  EXPECT_NE(file.find(Format("OldVer:%d", APP_VERSION)), std::string::npos) << file;
  EXPECT_NE(file.find("ServerAddr:console"), std::string::npos) << file;

  // Removed without a stop: this very process is the service.
  EXPECT_TRUE(manager_.MarkedForDeletion(kService));
  EXPECT_TRUE(manager_.Controls(kService).empty());

  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].program, UpgradeCopyPath());
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + UpgradeCopyPath() + u"\" -upgrade");
  EXPECT_EQ(process_.starts[0].mode, RunMode::kReplace);
  EXPECT_EQ(NewLogLines(),
            (Lines{"Start upgrading...", "Uninstall previous version...", "Uninstall service...", "Service uninstalled"}));
}

TEST_F(UpgradeTest, ACopyThatCannotBeCreatedLosesNothing) {
  SettingsWithSnapshots();
  RunningService();
  const std::string before = ReadFileBytes(SettingsPath());
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(UpgradeCopyPath()));  // a folder in the copy's place

  std::string error;
  EXPECT_EQ(Begin(kNewExe, &error), 0);
  EXPECT_EQ(error, "cannot create file " + CopyText());
  ExpectNothingLost(before);
  EXPECT_EQ(settings_.saved_snapshots(), "1,2");
  EXPECT_EQ(NewLogLines(), (Lines{"Start upgrading...", "Error: cannot create file " + CopyText()}));
}

TEST_F(UpgradeTest, ACopyCutShortByAFullDiskIsDeletedAndLosesNothing) {
  SettingsWithSnapshots();
  RunningService();
  const std::string before = ReadFileBytes(SettingsPath());
  std::string error;
  {
    test::FaultyFiles full;  // every file takes 4 bytes, then the disk is full
    full.disk_room = 4;
    EXPECT_EQ(Begin(kNewExe, &error), 0);
  }
  EXPECT_EQ(error, "cannot create file " + CopyText());
  // Left in place it would make the next service report an upgrade.
  EXPECT_FALSE(FileExists(UpgradeCopyPath()));
  ExpectNothingLost(before);
}

TEST_F(UpgradeTest, AnEmptyExecutableIsRefused) {
  SettingsWithSnapshots();
  RunningService();
  const std::string before = ReadFileBytes(SettingsPath());
  std::string error;
  EXPECT_EQ(Begin("", &error), 0);
  EXPECT_EQ(error, "upgrade failed - empty executable");
  EXPECT_FALSE(FileExists(UpgradeCopyPath()));
  ExpectNothingLost(before);
}

// With "UpgradeSigner:" an executable goes in only when signed by a key it
// pins (host/signed_upgrade.h has the check's own tests); anything else is
// refused before a byte is written, and nothing changes. Without the key any
// executable goes in, as above.
class SignedUpgradeTest : public UpgradeTest {
 protected:
  void SetUp() override {
    if (std::string(ORVALINTH_SIGNED_FIXTURES).empty()) GTEST_SKIP() << "signed fixtures not built (scripts/setup)";
  }
  const std::string signed_exe_ = ReadFileBytes(test::PeFixture("signed\\rsa.exe"));
  const std::string pinned_ = std::string("UpgradeSigner:") + ORVALINTH_TEST_PIN_EC + ", " + ORVALINTH_TEST_PIN_RSA + "\n";
};

TEST_F(SignedUpgradeTest, AnExecutableSignedByAPinnedKeyGoesIn) {
  SettingsWithSnapshots(pinned_);
  RunningService();
  std::string error;
  EXPECT_EQ(Begin(signed_exe_, &error), 1);
  EXPECT_EQ(error, "");
  EXPECT_EQ(ReadFileBytes(UpgradeCopyPath()), signed_exe_);
  EXPECT_TRUE(manager_.MarkedForDeletion(kService));
  EXPECT_EQ(settings_.saved_snapshots(), "");
}

TEST_F(SignedUpgradeTest, AnythingElseIsRefusedAndLosesNothing) {
  const struct {
    const char* what;
    std::string settings;
    std::string exe;
    std::string refusal;
  } cases[] = {
      {"unsigned", pinned_, ReadFileBytes(test::PeFixture("full.exe")), "the executable is not signed"},
      {"not a program", pinned_, kNewExe, "the file is not a Windows program"},
      {"signed by a key not pinned", std::string("UpgradeSigner:") + ORVALINTH_TEST_PIN_EC + "\n", signed_exe_,
       std::string("the signature is not by an allowed signer (its key's pin is ") + ORVALINTH_TEST_PIN_RSA + ")"},
      {"a key naming no pin", "UpgradeSigner: ,\n", signed_exe_, "UpgradeSigner: names no pin, so no upgrade is allowed"},
      {"a key naming something else", "UpgradeSigner:anyone\n", signed_exe_,
       "UpgradeSigner: \"anyone\" is no pin (the base64 of a 32-byte SHA-256 digest), so no upgrade is allowed"},
  };
  RunningService();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SettingsWithSnapshots(c.settings);
    const std::string before = ReadFileBytes(SettingsPath());
    MarkLog();
    std::string error;
    EXPECT_EQ(Begin(c.exe, &error), 0);
    EXPECT_EQ(error, "upgrade refused - " + c.refusal);
    EXPECT_FALSE(FileExists(UpgradeCopyPath()));
    ExpectNothingLost(before);
    EXPECT_EQ(NewLogLines(), (Lines{"Start upgrading...", "Error: upgrade refused - " + c.refusal}));
  }
}

// The reload takes "OldVer:" from the file; the number recorded must still be
// the one of the program that upgrades now, or a second upgrade to the same
// version would be reported as a change.
TEST_F(UpgradeTest, TheOldVersionRecordedIsTheOneUpgradingNow) {
  SettingsWithSnapshots("OldVer:5\n");
  RunningService();
  std::string error;
  EXPECT_EQ(Begin(kNewExe, &error), 1);
  EXPECT_EQ(settings_.old_version(), APP_VERSION);
  const std::string file = ReadFileBytes(SettingsPath());
  EXPECT_NE(file.find(Format("OldVer:%d", APP_VERSION)), std::string::npos) << file;
  EXPECT_EQ(file.find("OldVer:5"), std::string::npos) << file;
}

// The service is marked for deletion only once the copy has started: a
// service so marked cannot be registered again while its process runs, and
// the console is told "failed" by an agent that must stay installed.
TEST_F(UpgradeTest, ACopyThatCannotStartIsDeletedAndTheServiceAndSnapshotsStay) {
  SettingsWithSnapshots();
  RunningService();
  const std::string before = ReadFileBytes(SettingsPath());
  process_.start_result = false;
  std::string error;
  EXPECT_EQ(Begin(kNewExe, &error), 0);
  EXPECT_EQ(error, "cannot start " + CopyText());
  EXPECT_FALSE(FileExists(UpgradeCopyPath()));
  ExpectNothingLost(before, 1);
  EXPECT_EQ(NewLogLines(), (Lines{"Start upgrading...", "Error: cannot start " + CopyText()}));
}

TEST_F(UpgradeTest, FinishReplacesTheExecutableRegistersAndStartsIt) {
  WriteFileBytes(TargetExecutablePath(), "MZ the old version");
  WriteFileBytes(UpgradeCopyPath(), kNewExe);
  WriteFileBytes(FixedSettingsPath(), "ServerAddr:console\nSavedSnapshots:3\nOldVer:6\n");
  WriteFileBytes(SnapshotPath(3), "snapshot 3");

  Finish();
  EXPECT_EQ(ReadFileBytes(TargetExecutablePath()), kNewExe);
  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].program, TargetExecutablePath());
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + TargetExecutablePath() + u"\" -register");
  EXPECT_EQ(process_.starts[0].mode, RunMode::kWait);
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, platform::kServiceRunning);
  // The copy reloads the program's settings, not those of its own name.
  EXPECT_EQ(settings_.settings_path(), FixedSettingsPath());
  EXPECT_FALSE(FileExists(SnapshotPath(3)));
  EXPECT_EQ(NewLogLines(), (Lines{"Finalizing upgrade...", "Installing service...", "Service installed",
                                  "Starting Orvalinth service ...",
                                  Format("Upgrade to v%s is complete.", AppVersionText(APP_VERSION))}));
}

TEST_F(UpgradeTest, FinishWaitsWhileTheOldProcessHoldsTheExecutable) {
  WriteFileBytes(TargetExecutablePath(), "MZ the old version");
  WriteFileBytes(UpgradeCopyPath(), kNewExe);
  WriteFileBytes(FixedSettingsPath(), "ServerAddr:console\n");
  test::FaultyFiles busy;  // copies onto the executable fail while the old process holds it
  busy.failing_copies = 3;
  Finish();
  EXPECT_EQ(busy.copies.load(), 4);
  EXPECT_EQ(ReadFileBytes(TargetExecutablePath()), kNewExe);
  const Lines lines = NewLogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), Format("Upgrade to v%s is complete.", AppVersionText(APP_VERSION)));
}

TEST_F(UpgradeTest, AnExecutableThatCannotBeReplacedRunsTheOldVersionAgain) {
  WriteFileBytes(TargetExecutablePath(), "MZ the old version");
  WriteFileBytes(UpgradeCopyPath(), kNewExe);
  WriteFileBytes(FixedSettingsPath(), "ServerAddr:console\n");
  test::FaultyFiles busy;
  busy.failing_copies = -1;
  Finish();
  EXPECT_EQ(busy.copies.load(), FastUpgrade().replace_attempts);
  EXPECT_EQ(ReadFileBytes(TargetExecutablePath()), "MZ the old version");
  ASSERT_EQ(process_.starts.size(), 1u);
  EXPECT_EQ(process_.starts[0].command_line, u"\"" + TargetExecutablePath() + u"\" -register");
  platform::ServiceStatus status;
  ASSERT_TRUE(manager_.Status(kService, &status));
  EXPECT_EQ(status.state, platform::kServiceRunning);
  EXPECT_EQ(NewLogLines(), (Lines{"Finalizing upgrade...", "Error: upgrade failed - cannot replace exe",
                                  "Installing service...", "Service installed", "Starting Orvalinth service ..."}));
}

TEST_F(UpgradeTest, FinishWithoutACopyChangesNothing) {
  WriteFileBytes(TargetExecutablePath(), "MZ the old version");
  WriteFileBytes(FixedSettingsPath(), "ServerAddr:console\nSavedSnapshots:1\n");
  WriteFileBytes(SnapshotPath(1), "snapshot 1");
  Finish();
  EXPECT_TRUE(FileExists(SnapshotPath(1)));
  EXPECT_TRUE(process_.starts.empty());
  EXPECT_EQ(NewLogLines(), (Lines{"Finalizing upgrade...", "Error: upgrade failed - cannot replace exe"}));
}

}  // namespace
}  // namespace orvalinth
