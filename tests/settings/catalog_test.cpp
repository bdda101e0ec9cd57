#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "settings/client_settings.h"
#include "settings/saved_snapshots.h"
#include "settings_fixture.h"

namespace orvalinth {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

class Catalog : public test::SettingsTest {
 protected:
  // What the scan thread does when a recording succeeds.
  void RecordSnapshot() {
    MakeSnapshot(settings_.NextSnapshotNumber());
    CXClientSettings::Guard guard = settings_.Hold();
    ASSERT_EQ(settings_.AddSnapshot(), 1);
    ASSERT_EQ(settings_.CompleteSnapshot(), 1);
  }
  std::string SavedInFile() const {
    const std::string text = ReadFileBytes(Ini());
    const size_t at = text.find("SavedSnapshots:");
    if (at == std::string::npos) return "<none>";
    const size_t begin = at + std::string("SavedSnapshots:").size();
    return text.substr(begin, text.find(platform::kNewline, begin) - begin);
  }
};

TEST_F(Catalog, FirstScanOnAFreshSettingsFile) {
  LoadText(Text({"ServerAddr:console"}));
  EXPECT_EQ(settings_.NextSnapshotNumber(), 1);
  EXPECT_EQ(SnapshotPath(1), dir_ / u"data\\snapshot001.snp");
  EXPECT_EQ(settings_.SnapshotTitle(), "PC-01 - snapshot #1");
  EXPECT_EQ(settings_.snapshot_name(), "PC-01 - snapshot #1");

  MakeSnapshot(1);
  ASSERT_EQ(settings_.AddSnapshot(), 1);
  EXPECT_EQ(settings_.saved_snapshots(), "1");
  EXPECT_EQ(settings_.snapshot_count(), 0);
  ASSERT_EQ(settings_.CompleteSnapshot(), 1);
  EXPECT_EQ(settings_.snapshot_count(), 1);
  EXPECT_EQ(settings_.snapshot_name(), "");
  EXPECT_EQ(ReadFileBytes(Ini()),
            Text({"ServerAddr:console", "ServerPort:51000", "ComputerID:0", "SnapshotCnt:1", "SnapshotName:",
                  "SavedSnapshots:1", "ScanAll:1", "ShowRemDsk:0", "AddExeVerInfo:0", "Registry:", "", "Files:", "",
                  "Applications:", ""}));
}

TEST_F(Catalog, DownAckLeavesTheOtherNumbers) {
  MakeSnapshot(1);
  MakeSnapshot(3);
  LoadText(Text({"SnapshotCnt:3", "SavedSnapshots:1,3"}));
  EXPECT_EQ(settings_.RemoveSnapshot(1), 1);
  EXPECT_EQ(settings_.saved_snapshots(), "3");
  EXPECT_EQ(SavedInFile(), "3");
  EXPECT_FALSE(SnapshotExists(1));
  EXPECT_TRUE(SnapshotExists(3));
  EXPECT_EQ(settings_.RemoveSnapshot(3), 1);
  EXPECT_EQ(settings_.saved_snapshots(), "");
  EXPECT_EQ(SavedInFile(), "");
  EXPECT_FALSE(SnapshotExists(3));
}

TEST_F(Catalog, DownAckOfANumberNotSavedStillDeletesItsFileAndRewritesTheSettings) {
  MakeSnapshot(1);
  MakeSnapshot(5);
  // Written by hand: lower-case keys, no sections; a save puts it in order.
  LoadText(Text({"savedsnapshots:1", "snapshotcnt:5"}));
  const std::string canonical =
      Text({"ServerAddr:localhost", "ServerPort:51000", "ComputerID:0", "SnapshotCnt:5", "SnapshotName:",
            "SavedSnapshots:1", "ScanAll:1", "ShowRemDsk:0", "AddExeVerInfo:0", "Registry:", "", "Files:", "",
            "Applications:", ""});
  EXPECT_EQ(settings_.RemoveSnapshot(5), 1);
  EXPECT_FALSE(SnapshotExists(5));
  EXPECT_EQ(settings_.saved_snapshots(), "1");
  EXPECT_EQ(ReadFileBytes(Ini()), canonical);

  WriteFileBytes(Ini(), "stale");
  EXPECT_EQ(settings_.RemoveSnapshot(6), 0);  // no such file: the deletion fails
  EXPECT_EQ(ReadFileBytes(Ini()), canonical);
}

TEST_F(Catalog, AStoppedScanLeavesItsNumberToTheNextScan) {
  LoadText(Text({"SnapshotCnt:2"}));
  ASSERT_EQ(settings_.NextSnapshotNumber(), 3);
  MakeSnapshot(3);               // recording number 3 ...
  settings_.RemoveSnapshot(3);   // ... stopped ("stop-scan")
  EXPECT_EQ(settings_.NextSnapshotNumber(), 3);
  EXPECT_EQ(settings_.saved_snapshots(), "");

  RecordSnapshot();  // number 3 succeeds this time
  EXPECT_EQ(settings_.saved_snapshots(), "3");
  EXPECT_EQ(settings_.RemoveSnapshot(3), 1);  // fetched and acknowledged
  EXPECT_EQ(settings_.NextSnapshotNumber(), 4);  // never handed out again
}

TEST_F(Catalog, AConsoleGivenNameIsUsedOnce) {
  LoadText(Text({"SnapshotCnt:1"}));
  settings_.set_snapshot_name("Before patch");
  EXPECT_EQ(settings_.SnapshotTitle(), "Before patch");
  RecordSnapshot();
  EXPECT_EQ(settings_.snapshot_name(), "");
  EXPECT_EQ(settings_.SnapshotTitle(), "PC-01 - snapshot #3");
}

TEST_F(Catalog, ANumberIsListedOnceEvenWhenTheCompletionStepWasLost) {
  MakeSnapshot(3);
  LoadText(Text({"SnapshotCnt:2", "SavedSnapshots:3"}));
  ASSERT_EQ(settings_.AddSnapshot(), 1);
  EXPECT_EQ(settings_.saved_snapshots(), "3");
}

TEST_F(Catalog, CheckSavedSnapshotsKeepsTheReadableOnesInOrder) {
  MakeSnapshot(4);
  MakeSnapshot(1);
  settings_.set_saved_snapshots("4,2,x,,1");
  settings_.CheckSavedSnapshots();
  EXPECT_EQ(settings_.saved_snapshots(), "4,1");
  settings_.set_saved_snapshots("");
  settings_.CheckSavedSnapshots();
  EXPECT_EQ(settings_.saved_snapshots(), "");
  EXPECT_EQ(JoinSavedSnapshots(SplitSavedSnapshots("", false)), "");
  EXPECT_EQ(SplitSavedSnapshots("", false).size(), 1u);
  EXPECT_TRUE(SplitSavedSnapshots("", true).empty());
  EXPECT_EQ(SplitSavedSnapshots("1,,2", true), (std::vector<std::string>{"1", "", "2"}));
}

// The scan thread adds finished snapshots while the connection thread
// acknowledges every even-numbered one as soon as it appears: no change may
// be lost, in memory or in the file.
TEST_F(Catalog, AddingAndRemovingOnTwoThreadsLosesNothing) {
  LoadText("");
  constexpr int kSnapshots = 24;
  std::atomic<bool> done{false};
  std::set<int> acknowledged;
  std::thread connection([&] {
    for (;;) {
      const bool last_round = done.load();
      int even = 0;
      for (const std::string& entry : SplitSavedSnapshots(settings_.saved_snapshots(), true)) {
        if (DecimalValue(entry) % 2 == 0) {
          even = DecimalValue(entry);
          break;
        }
      }
      if (even == 0) {
        if (last_round) return;
        std::this_thread::yield();
        continue;
      }
      EXPECT_EQ(settings_.RemoveSnapshot(even), 1) << even;
      acknowledged.insert(even);
    }
  });
  for (int i = 0; i < kSnapshots; ++i) RecordSnapshot();
  done = true;
  connection.join();

  std::string odd;
  for (int n = 1; n <= kSnapshots; ++n) {
    EXPECT_EQ(SnapshotExists(n), n % 2 == 1) << n;
    if (n % 2 == 0) continue;
    if (!odd.empty()) odd += ',';
    odd += std::to_string(n);
  }
  EXPECT_EQ(acknowledged.size(), static_cast<size_t>(kSnapshots / 2));
  EXPECT_EQ(settings_.snapshot_count(), kSnapshots);
  EXPECT_EQ(settings_.saved_snapshots(), odd);
  CXClientSettings from_file;
  ASSERT_EQ(from_file.Load(Ini()), 1);
  EXPECT_EQ(from_file.saved_snapshots(), odd);
  EXPECT_EQ(from_file.snapshot_count(), kSnapshots);
}

}  // namespace
}  // namespace orvalinth
