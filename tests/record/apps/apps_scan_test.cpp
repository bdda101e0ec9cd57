// The applications job: when it runs, its phases and stop checks, and the
// eight sections it hands over.

#include "record/apps/apps_scan.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/service_emulation.h"
#include "record/apps/app_item_list.h"
#include "record/record_controller.h"
#include "settings/settings_fixture.h"
#include "storage/data_apps.h"
#include "storage/mem_reader.h"
#include "storage/payload_spool.h"
#include "storage/reader/snapshot_reader.h"
#include "base/strings.h"
#include "test_support.h"
#include "fakes/apps_fakes.h"
#include "tests/record/record_support.h"

namespace orvalinth {
namespace {

using test::N;

std::vector<std::u16string> CategoryNames() {
  return std::vector<std::u16string>(kAppCategoryNames, kAppCategoryNames + kAppCategoryCount);
}

TEST(AppsScan, WhichRequestsRunIt) {
  struct Case {
    bool full;
    std::vector<std::u16string> targets;
    bool runs;
  } cases[] = {
      {false, {}, false},           {false, {u"*"}, true},         {false, {u"*all"}, true},
      {false, {u"*", u"x"}, false}, {false, {u"*", u"-x"}, false}, {false, {u"x"}, false},
      {false, {u"x*"}, false},      {true, {}, true},              {true, {u"x", u"y"}, true},
  };
  for (const Case& c : cases) {
    CXScanRequest request;
    request.Build(c.full, false, false, {}, {}, c.targets);
    EXPECT_EQ(CXAppsScan::Requested(request), c.runs) << c.full << " " << c.targets.size();
  }
}

// A collector that runs a function.
class Collector final : public CXAppsCollector {
 public:
  explicit Collector(std::function<void(SXAppsScanContext&)> run) : run_(std::move(run)) {}
  void Run(SXAppsScanContext& context) override { run_(context); }

 private:
  std::function<void(SXAppsScanContext&)> run_;
};

// The job with collectors of the test's choice; records the phases made.
class ScriptedScan final : public CXAppsScan {
 public:
  using CXAppsScan::CXAppsScan;
  ~ScriptedScan() override { StopJob(true); }
  std::function<void(int, SXAppsScanContext&)> phase;
  std::vector<int> made;

 protected:
  std::unique_ptr<CXAppsCollector> MakeCollector(int which) override {
    made.push_back(which);
    if (!phase) return nullptr;
    return std::make_unique<Collector>([this, which](SXAppsScanContext& context) { phase(which, context); });
  }
};

// Items named after their letters, in the order given.
int32_t ItemRun(SXAppCategory& category, const std::u16string& names) {
  CXAppItemList list;
  for (char16_t c : names) {
    SXSnapshotDataAppsBase* item = list.NewItem();
    item->kind = kAppItemService;
    item->name = std::u16string(1, c);
    item->file.missing = 1;
  }
  return list.Flush(category.payload, true);
}

class AppsScanJob : public ::testing::Test {
 protected:
  // Runs the job to its end and reads the snapshot back.
  void Record() {
    ASSERT_TRUE(recording_.Begin());
    ASSERT_EQ(scan_.StartJob(recording_.writer(), kScanApps), 1);
    ASSERT_TRUE(recording_.Await());
    ASSERT_TRUE(recording_.Finish());
    CXSnapshotReader reader;
    ASSERT_EQ(reader.ReadFile(recording_.path(), &snapshot_), 1) << reader.fault().message;
    EXPECT_EQ(reader.remark_count(), 0u) << (reader.remarks().empty() ? "" : reader.remarks()[0]);
  }
  // The decoded payload of applications section `index`.
  std::string Payload(size_t index) {
    test::StoredBlock block;
    EXPECT_TRUE(test::DecodeBlock(test::ReadFileBytes(recording_.path()),
                                     recording_.image().tables[kScanApps].at(index).block_offset, &block));
    return block.payload;
  }

  test::JobRecording recording_;
  ScriptedScan scan_{recording_.writer()};
  SXReadSnapshot snapshot_;
};

TEST_F(AppsScanJob, EmptyCategoriesAreStillHandedOverInOrder) {
  Record();
  EXPECT_EQ(scan_.made, (std::vector<int>{0, 1, 2, 3}));
  ASSERT_EQ(recording_.SectionNames(kScanApps), CategoryNames());
  for (size_t i = 0; i < kAppCategoryCount; ++i) {
    // The format mark, then the root table: one node, no offsets, end mark.
    const std::string name = N(kAppCategoryNames[i]);
    EXPECT_EQ(test::ToHex(Payload(i)), test::ToHex("\x01\x80" + std::string(1, char(name.size())) + name));
    EXPECT_EQ(recording_.image().tables[kScanApps][i].root_offset, 1);
  }
  EXPECT_EQ(recording_.writer().job_counter(kScanApps).Get(), 0);
}

TEST_F(AppsScanJob, RunsOfOneAndOfThreeCarryTheEndMarkOnTheirLastItem) {
  scan_.phase = [](int which, SXAppsScanContext& context) {
    if (which == CXAppsScan::kPhaseStartup) context.category(kAppStartup).items_offset = ItemRun(context.category(kAppStartup), u"s");
    if (which == CXAppsScan::kPhaseServices) context.category(kAppServices).items_offset = ItemRun(context.category(kAppServices), u"cab");
  };
  Record();
  const std::vector<std::pair<int, std::string>> expected = {{kAppStartup, "s"}, {kAppServices, "abc"}};
  for (const auto& [category, names] : expected) {
    const std::string payload = Payload(static_cast<size_t>(category));
    CXMemReader reader(reinterpret_cast<const uint8_t*>(payload.data()), 1);  // the run follows the format mark
    for (size_t i = 0; i < names.size(); ++i) {
      SXSnapshotDataApps item;
      item.Read(reader);
      EXPECT_EQ(N(item.name), names.substr(i, 1));
      EXPECT_EQ((item.flags & kAppLast) != 0, i + 1 == names.size()) << names << " " << i;
    }
    ASSERT_EQ(snapshot_.sections[kReadApplications].size(), 8u);
    EXPECT_EQ(snapshot_.sections[kReadApplications][category].root.items.size(), names.size());
  }
}

TEST_F(AppsScanJob, AStopBetweenPhasesLeavesNoApplicationsSection) {
  scan_.phase = [](int which, SXAppsScanContext& context) {
    ItemRun(context.category(kAppStartup), u"x");
    if (which == CXAppsScan::kPhaseServices) context.thread->StopJob(false);
  };
  Record();
  EXPECT_EQ(scan_.made, (std::vector<int>{0, 1}));
  EXPECT_TRUE(recording_.SectionNames(kScanApps).empty());
  EXPECT_EQ(recording_.image().table_words[kScanApps], 0u);
}

// Categories long enough to stream, written in turns as the processes phase
// writes its four: every payload is the one they give when held whole.
TEST(AppsScanStreamed, LongCategoriesGiveTheSamePayloadsAsWhenHeldWhole) {
  const auto record = [](int32_t part) {
    CXPayloadSpool::set_part_size(part);
    test::JobRecording recording;
    ScriptedScan scan(recording.writer());
    scan.phase = [](int which, SXAppsScanContext& context) {
      if (which != CXAppsScan::kPhaseProcesses) return;
      for (int round = 0; round < 60; ++round) {
        for (const int c : {kAppProcesses, kAppModules, kAppHandles, kAppPorts}) {
          context.category(c).items_offset = ItemRun(context.category(c), u"qwertyuiopasdfghjklzxcvbnm0123456789");
        }
      }
    };
    EXPECT_TRUE(recording.Begin());
    EXPECT_EQ(scan.StartJob(recording.writer(), kScanApps), 1);
    EXPECT_TRUE(recording.Await());
    EXPECT_TRUE(recording.Finish());
    return recording.SectionPayloads(kScanApps);
  };
  const std::vector<std::string> whole = record(INT32_MAX);
  ASSERT_EQ(whole.size(), static_cast<size_t>(kAppCategoryCount));
  EXPECT_GT(whole[kAppModules].size(), 20u * 1024);
  EXPECT_TRUE(record(200) == whole);
  CXPayloadSpool::set_part_size(CXPayloadSpool::kPart);
}

// The recorder starts the job by the request; here with a service manager
// and startup folders of the test's own, so that the run is short.
class AppsScanRecorder : public test::SettingsTest {
 protected:
  std::vector<std::u16string> Record(bool runs, const std::vector<std::u16string>& targets) {
    SXScanTargets only_applications;
    only_applications.full_scan = 0;
    only_applications.applications = targets;
    settings_.set_scan_targets(only_applications);
    const int32_t number = settings_.NextSnapshotNumber();
    CXClientRecordController controller(settings_);
    EXPECT_EQ(controller.StartRecording(number), 1) << controller.ChainText(false);
    for (int i = 0; i < 30000 && controller.IsRecording() != 0; ++i) platform::SleepMs(2);
    EXPECT_EQ(controller.writer().job_counter(kScanApps).Get(), runs ? 0 : -1);
    EXPECT_EQ(controller.FinishRecording(number), 1) << controller.ChainText(false);
    test::SnapshotImage image;
    EXPECT_TRUE(test::ReadSnapshotImage(test::ReadFileBytes(SnapshotPath(number)), &image));
    std::vector<std::u16string> names;
    for (const SXSectionEntry& entry : image.tables[kScanApps]) names.push_back(entry.name);
    return names;
  }

  platform::EmulatedServiceManager services_;
  platform::ScopedFacility<platform::ServiceManager> use_services_{services_};
  test::FakeKnownFolders folders_;
  platform::ScopedFacility<platform::KnownFolder> use_folders_{folders_};
};

TEST_F(AppsScanRecorder, OnlyAnAsteriskListRecordsTheApplications) {
  EXPECT_TRUE(Record(false, {}).empty());
  EXPECT_TRUE(Record(false, {u"*", u"other"}).empty());
  EXPECT_TRUE(Record(false, {u"Programs"}).empty());
  EXPECT_EQ(Record(true, {u"*"}), CategoryNames());
}

}  // namespace
}  // namespace orvalinth
