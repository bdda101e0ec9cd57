// "orvalinth fleet" over a catalog the test fills: what each command prints
// (--json), its exit code, and what it asks of the catalog.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/server_command.h"
#include "server/snapshot_store.h"
#include "server/sqlite_catalog.h"

namespace orvalinth::server {
namespace {

namespace fs = std::filesystem;

class FleetCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("fleet-command-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "data");
    config_ = (folder_ / "server.conf").string();
    std::ofstream(config_) << "[server]\ndata = " << (folder_ / "data").string()
                           << "\n[profile daily]\nfile = C:\\Windows\n[schedule all]\nprofile = daily\nevery = 1h\n";
    std::string error;
    catalog_ = OpenSqliteCatalog((folder_ / "data" / "catalog.db").string(), &error);
    ASSERT_NE(catalog_, nullptr) << error;
    SXTargetProfile profile;
    profile.name = "daily";
    ASSERT_TRUE(catalog_->PutProfile(profile).ok());
    SXScheduleRow schedule;
    schedule.group = "*";
    schedule.interval_seconds = 3600;
    schedule.profile = "daily";
    ASSERT_TRUE(catalog_->PutSchedule(schedule, nullptr).ok());
    for (const auto& [uid, name] : std::vector<std::pair<int32_t, std::string>>{{1, "PC-01"}, {2, "PC-02"}, {3, "PC-02"}}) {
      SXMachineInfo info;
      info.uid = uid;
      info.name = name;
      info.seen_time = 1000;
      ASSERT_TRUE(catalog_->UpsertMachine(info, nullptr).ok());
    }
    int64_t ids[2] = {};
    for (int n = 1; n <= 2; ++n) {
      SXSnapshotRow row;
      row.uid = 1;
      row.number = n;
      row.received_time = 2000000000 + n;  // 2033: after any --since of these tests
      row.size = 100 * n;
      row.sha256 = std::string(64, 'a');
      row.path = CXSnapshotStore::RelativePath(1, n);
      row.compared = true;
      ASSERT_TRUE(catalog_->AddSnapshot(row, &ids[n - 1]).ok());
    }
    SXComparisonRow c;
    c.old_snapshot_id = ids[0];
    c.new_snapshot_id = ids[1];
    c.categories = {{ChangeKind::kApps, "Services", 1, 0, 0}, {ChangeKind::kFiles, "files", 0, 2, 5}};
    SXChangeRow added;
    added.kind = ChangeKind::kApps;
    added.category = ChangeCategory::kAdded;
    added.entry = "service";
    added.path = "Services\\Evil";
    added.new_text = "C:\\evil.exe";
    ASSERT_TRUE(catalog_->AddComparison(c, {added}, nullptr).ok());
  }
  void TearDown() override {
    catalog_.reset();
    fs::remove_all(folder_);
  }

  // Runs `orvalinth fleet --config ... WORDS`; its standard output.
  std::string Run(std::vector<std::string> words, int* code) {
    words.insert(words.begin(), {"--config", config_});
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    *code = RunFleetCommand(words);
    errors_ = ::testing::internal::GetCapturedStderr();
    return ::testing::internal::GetCapturedStdout();
  }

  fs::path folder_;
  std::string config_;
  std::string errors_;
  std::unique_ptr<CXCatalog> catalog_;
};

TEST_F(FleetCommand, EachCommandPrintsWhatTheCatalogHolds) {
  const struct {
    std::vector<std::string> words;
    int code;
    const char* out;  // a part of standard output, or of standard error when the code is not 0
  } cases[] = {
      {{"machines", "--json"}, 0, R"({"id":2,"name":"PC-02","group":"","online":true,)"},
      {{"snapshots", "PC-01", "--json"}, 0, R"("number":2,"received":"2033-05-18T03:33:22Z")"},
      {{"changes", "1", "--since", "2026-12-01", "--json"}, 0,
       R"("kind":"apps","change":"added","entry":"service","path":"Services\\Evil","old":"","new":"C:\\evil.exe")"},
      {{"changes", "1", "--json"}, 0,
       R"({"machine":1,"snapshot":2,"against":1,"kind":"apps","category":"Services","added":1,"removed":0,"changed":0})"},
      {{"changes", "1"}, 0, "snapshot 2 against 1: files: 0 added, 2 removed, 5 changed"},
      {{"gained", "apps", "services\\ev*", "--since", "30d", "--json"}, 0, R"({"machine":1,"name":"PC-01",)"},
      {{"gained", "apps", "Services\\Other*", "--json"}, 0, ""},
      {{"snapshots", "PC-02"}, 1, "2 machines are named PC-02 (ids 2, 3): give the id"},
      {{"snapshots", "9"}, 1, "no machine has the id 9"},
      {{"gained", "disks", "x"}, 2, "KIND is files, registry or apps"},
      {{"changes", "1", "--since", "yesterday"}, 2, "--since wants 7d, 12h or YYYY-MM-DD"},
      {{"stop-scan", "1"}, 1, "machine 1 has no scan open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + (c.words.size() > 1 ? c.words[1] : ""));
    int code = -1;
    const std::string out = Run(c.words, &code);
    EXPECT_EQ(code, c.code) << out << errors_;
    EXPECT_NE((c.code == 0 ? out : errors_).find(c.out), std::string::npos) << out << errors_;
    if (c.code == 0 && std::string(c.out).empty()) {
      EXPECT_EQ(out, "");
    }
  }
}

// scan-now asks the catalog for a scan with the machine's schedule's
// profile, which the server picks up; stop-scan ends it in the catalog,
// which the server tells the agent.
TEST_F(FleetCommand, ScanNowAndStopScanGoThroughTheCatalog) {
  int code = -1;
  Run({"scan-now", "PC-01"}, &code);
  ASSERT_EQ(code, 0) << errors_;
  std::vector<SXScanRow> asked;
  ASSERT_TRUE(catalog_->RequestedScans(&asked).ok());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].uid, 1);
  EXPECT_EQ(asked[0].profile, "daily");
  EXPECT_EQ(asked[0].origin, ScanOrigin::kPerson);

  Run({"stop-scan", "1"}, &code);
  EXPECT_EQ(code, 0) << errors_;
  SXScanRow row;
  ASSERT_TRUE(catalog_->GetScan(asked[0].id, &row).ok());
  EXPECT_EQ(row.state, ScanState::kStopped);

  ASSERT_TRUE(catalog_->SetMachineGroup(2, "lab").ok());
  ASSERT_TRUE(catalog_->SetMachineGroup(3, "lab").ok());
  Run({"scan-now", "--group", "lab", "--profile", "daily", "--json"}, &code);
  EXPECT_EQ(code, 0) << errors_;
  ASSERT_TRUE(catalog_->RequestedScans(&asked).ok());
  EXPECT_EQ(asked.size(), 2u);
  Run({"scan-now", "--group", "nobody"}, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(errors_.find("no machine is in the group nobody"), std::string::npos) << errors_;
}

}  // namespace
}  // namespace orvalinth::server
