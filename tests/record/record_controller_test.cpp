// The record controller: one recording from the settings to a snapshot in
// the catalog, or to no file at all.

#include <gtest/gtest.h>

#include "base/paths.h"
#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "fakes/wait_until.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "record/record_controller.h"
#include "record/record_support.h"
#include "record/version_hooks.h"
#include "settings/settings_fixture.h"
#include "storage/exe_version.h"
#ifndef _WIN32
#include "platform/posix/drive_table.h"
#include "platform/posix/registry_emulation.h"
#include "platform/volumes.h"
#endif

namespace orvalinth {
namespace {

using test::N;

// A controller whose applications job is one that ignores stops.
class StubbornController final : public CXClientRecordController {
 public:
  explicit StubbornController(CXClientSettings& settings) : CXClientRecordController(settings) {}
  test::StubbornJob* job = nullptr;

 protected:
  std::unique_ptr<CXScanThread> MakeApplicationsJob(const CXScanRequest&) override {
    auto made = std::make_unique<test::StubbornJob>();
    job = made.get();
    return made;
  }
};

class RecordControllerTest : public test::SettingsTest {
 protected:
  RecordControllerTest() {
    SXScanTargets targets;
    targets.full_scan = 0;
    settings_.set_scan_targets(targets);
    number_ = settings_.NextSnapshotNumber();
  }

  // Records a small folder of the test's own.
  void TargetAFolder() {
    test::WriteFileBytes(tree_ / u"setup.exe", "MZ");
    test::WriteFileBytes(tree_ / u"readme.txt", "text");
    settings_.set_file_targets({tree_.path()});
  }

  static bool AwaitEnd(CXClientRecordController& controller) {
    return test::WaitUntil([&] { return controller.IsRecording() == 0; }, 60000);
  }

  bool Read(test::SnapshotImage* image) {
    return test::ReadSnapshotImage(test::ReadFileBytes(SnapshotPath(number_)), image);
  }

  test::TempFolder tree_;
  int32_t number_ = 0;
};

TEST_F(RecordControllerTest, WithNothingToRecordTheSnapshotIsEmpty) {
  CXClientRecordController controller(settings_);
  ASSERT_EQ(controller.StartRecording(number_), 1) << controller.ChainText(false);
  EXPECT_TRUE(SnapshotExists(number_));
  EXPECT_EQ(controller.IsRecording(), 0);
  for (int32_t kind = 0; kind < kScanKinds; ++kind) EXPECT_EQ(controller.writer().job_counter(kind).Get(), -1);
  ASSERT_EQ(controller.FinishRecording(number_), 1) << controller.ChainText(false);
  test::SnapshotImage image;
  ASSERT_TRUE(Read(&image));
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(image.table_words[k], 0u);
    EXPECT_TRUE(image.tables[k].empty());
    EXPECT_TRUE(image.info.targets[k].empty());
  }
  EXPECT_EQ(image.info.number, number_);
  // The title given to the next snapshot: the settings were never loaded, so
  // the computer name part is empty.
  EXPECT_EQ(image.info.title, " - snapshot #" + std::to_string(number_));
  EXPECT_EQ(settings_.saved_snapshots(), std::to_string(number_));
  EXPECT_EQ(controller.FinishRecording(number_), 0);  // finished already
}

TEST_F(RecordControllerTest, RecordsTheFileTargetsAndAddsTheSnapshot) {
  TargetAFolder();
  settings_.set_add_version_info(1);
  const SXVersionInfoHooks real = VersionInfoHooks();
  SXVersionInfoHooks hooks;
  hooks.has_version_info_extension = [](const std::u16string& name) { return EndsWithFolded(name, u".exe"); };
  hooks.read_version_info = [](const std::u16string&, SXExeVersion* out) {
    *out = SXExeVersion();
    out->product_name = u"Setup";
    return 1;
  };
  SetVersionInfoHooks(hooks);
  CXClientRecordController controller(settings_);
  const int started = controller.StartRecording(number_);
  SetVersionInfoHooks(real);
  ASSERT_EQ(started, 1) << controller.ChainText(false);
  ASSERT_TRUE(AwaitEnd(controller));
  EXPECT_EQ(controller.writer().job_counter(kScanFiles).Get(), 0);
  EXPECT_EQ(controller.writer().job_counter(kScanRegistry).Get(), -1);
  ASSERT_EQ(controller.FinishRecording(number_), 1) << controller.ChainText(false);
  test::SnapshotImage image;
  ASSERT_TRUE(Read(&image));
  EXPECT_EQ(image.tables[kScanFiles].size(), 1u);
  EXPECT_EQ(image.info.progress[kScanFiles][1], 2);
  ASSERT_EQ(image.versions.size(), 1u);
  EXPECT_EQ(image.versions[0].product_name, u"Setup");
  EXPECT_EQ(image.info.version_info, 1);
  EXPECT_EQ(image.info.targets[kScanFiles], std::vector<std::u16string>{tree_.path()});
  EXPECT_EQ(settings_.saved_snapshots(), std::to_string(number_));
}

TEST_F(RecordControllerTest, TheRequestFollowsTheTargetRule) {
  settings_.set_file_targets({u"C:", u"\\", u"-C:\\Temp"});
  settings_.set_registry_targets({u"HKCU"});
  CXClientRecordController controller(settings_);
  controller.set_stop_wait(1000, 1);
  // The file job of "C:\" would walk a whole disk: stop it at once.
  ASSERT_EQ(controller.StartRecording(number_), 1);
  controller.AbortRecording();
  EXPECT_EQ(controller.request().include[kScanFiles], std::vector<std::u16string>{u"C:\\"});
  EXPECT_EQ(controller.request().exclude[kScanFiles], std::vector<std::u16string>{u"-C:\\Temp\\"});
  EXPECT_EQ(controller.request().include[kScanRegistry], std::vector<std::u16string>{u"HKCU\\"});
  EXPECT_FALSE(controller.request().full);
  EXPECT_FALSE(SnapshotExists(number_));
}

TEST_F(RecordControllerTest, AFailedWriteFailsTheFinishDeletesTheFileAndKeepsTheCatalog) {
  TargetAFolder();
  settings_.set_saved_snapshots("3");
  test::FaultyFiles disk_full;  // snapshot files take their provisional header, then the disk is full
  disk_full.only_suffix = u".snp";
  disk_full.only_modes = platform::kOpenWrite;
  disk_full.fail_from_write = 2;
  CXClientRecordController controller(settings_);
  ASSERT_EQ(controller.StartRecording(number_), 1) << controller.ChainText(false);
  ASSERT_TRUE(AwaitEnd(controller));
  EXPECT_EQ(controller.FinishRecording(number_), 0);
  EXPECT_NE(controller.ChainText(false).find("write("), std::string::npos) << controller.ChainText(false);
  EXPECT_FALSE(SnapshotExists(number_));
  EXPECT_EQ(settings_.saved_snapshots(), "3");
}

TEST_F(RecordControllerTest, AbortDuringALargeScanEndsTheJobAndDeletesTheFile) {
  test::MadeUpTreeFileSystem endless(u"Q:\\endless", 10, 10);
  platform::ScopedFacility<platform::FileSystem> use(endless);
  settings_.set_file_targets({u"Q:\\endless"});
  CXClientRecordController controller(settings_);
  controller.set_stop_wait(3000, 1);
  ASSERT_EQ(controller.StartRecording(number_), 1);
  ASSERT_TRUE(test::WaitUntil([&] { return endless.searches() >= 50; }));
  EXPECT_EQ(controller.IsRecording(), 1);
  controller.AbortRecording();
  EXPECT_EQ(controller.IsRecording(), 0);
  EXPECT_FALSE(SnapshotExists(number_));
  EXPECT_EQ(settings_.saved_snapshots(), "");
}

TEST_F(RecordControllerTest, AJobThatIgnoresTheStopIsEndedForcibly) {
  StubbornController controller(settings_);
  controller.set_stop_wait(5, 2);
  ASSERT_EQ(controller.StartRecording(number_), 1);
  ASSERT_NE(controller.job, nullptr);
  ASSERT_TRUE(test::WaitUntil([&] { return controller.job->started(); }));
  EXPECT_EQ(controller.IsRecording(), 1);
  EXPECT_EQ(controller.writer().job_counter(kScanApps).Get(), 1);
  // Still running: the recording cannot be finished yet, and goes on.
  EXPECT_EQ(controller.FinishRecording(number_), 0);
  EXPECT_TRUE(SnapshotExists(number_));
  controller.AbortRecording();
  EXPECT_TRUE(controller.job->terminated());
  EXPECT_EQ(controller.IsRecording(), 0);
  EXPECT_FALSE(SnapshotExists(number_));
}

TEST_F(RecordControllerTest, TheWaitForTheJobsEndsWithTheLastJobNotAtItsTimeOut) {
  StubbornController controller(settings_);
  ASSERT_EQ(controller.StartRecording(number_), 1);
  ASSERT_TRUE(test::WaitUntil([&] { return controller.job->started(); }));
  EXPECT_EQ(controller.WaitWhileRecording(20), 1) << "a job runs: the wait lasts its time-out";
  const int64_t released = platform::MonotonicMs();
  controller.job->Release();
  EXPECT_EQ(controller.WaitWhileRecording(500), 0);
  EXPECT_LT(platform::MonotonicMs() - released, 100) << "the wait outlasted the job's end";
  EXPECT_EQ(controller.FinishRecording(number_), 1) << controller.ChainText(false);
}

// A data folder that is gone is made again; one that cannot be made (a file
// of that name is in the way) lets nothing start.
TEST_F(RecordControllerTest, WithoutADataFolderNothingStarts) {
  const std::u16string folder = DataFolder().substr(0, DataFolder().size() - 1);
  platform::FileSystem::Get().RemoveFolder(folder);
  {
    CXClientRecordController controller(settings_);
    EXPECT_EQ(controller.StartRecording(number_), 1);
    controller.AbortRecording();
  }
  EXPECT_NE(platform::FileSystem::Get().Attributes(folder) & platform::kAttrDirectory, 0u);
  test::RemoveTree(DataFolder());
  test::WriteFileBytes(folder, "in the way");
  CXClientRecordController controller(settings_);
  EXPECT_EQ(controller.StartRecording(number_), 0);
  EXPECT_NE(controller.ChainText(false).find(N(SnapshotPath(number_))), std::string::npos) << controller.ChainText(false);
  EXPECT_EQ(controller.IsRecording(), 0);
  EXPECT_EQ(controller.StartRecording(number_), 0);  // one snapshot per controller
  controller.AbortRecording();
}

#ifndef _WIN32
// One fixed drive, mapped onto a folder of the test; the emulated registry.
class OneDrive final : public platform::Volumes {
 public:
  uint32_t LogicalDrives() override { return 1u << ('q' - 'a'); }
  uint32_t DriveType(char) override { return platform::kDriveFixed; }
};

TEST_F(RecordControllerTest, AFullScanRecordsEverythingAndStoresStarTargets) {
  OneDrive drive;
  platform::ScopedFacility<platform::Volumes> use(drive);
  platform::posix::SetDrive('q', platform::posix::ToHostPath(tree_.path()), platform::kDriveFixed);
  platform::posix::ResetRegistry();
  test::WriteFileBytes(tree_ / u"one.txt", "1");
  SXScanTargets targets;
  targets.full_scan = 1;
  targets.files = {u"C:\\ignored\\"};
  settings_.set_scan_targets(targets);
  CXClientRecordController controller(settings_);
  ASSERT_EQ(controller.StartRecording(number_), 1);
  ASSERT_TRUE(AwaitEnd(controller));
  ASSERT_EQ(controller.FinishRecording(number_), 1) << controller.ChainText(false);
  platform::posix::ResetDrives();
  platform::posix::ResetRegistryToHost();
  for (const auto& include : controller.request().include) EXPECT_EQ(include, std::vector<std::u16string>{u"*"});
  test::SnapshotImage image;
  ASSERT_TRUE(Read(&image));
  EXPECT_EQ(image.info.full, 1);
  for (const auto& list : image.info.targets) EXPECT_EQ(list, std::vector<std::u16string>{u"*"});
  EXPECT_EQ(image.tables[kScanRegistry].size(), 5u);
  ASSERT_EQ(image.tables[kScanFiles].size(), 1u);
  EXPECT_EQ(image.tables[kScanFiles][0].name, u"q:\\");
  EXPECT_EQ(image.info.progress[kScanFiles][1], 1);
}
#endif  // _WIN32

}  // namespace
}  // namespace orvalinth
