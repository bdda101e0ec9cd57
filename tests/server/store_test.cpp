// The snapshot store: a download written to its temporary file, checked,
// made durable and renamed; a download refused with nothing left behind; the
// sweep at start; removal and retention taking rows first and then files.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fakes/faulty_files.h"
#include "platform/crypto.h"
#include "platform/posix/drive_table.h"
#include "server/snapshot_store.h"
#include "server/sqlite_catalog.h"
#include "test_support.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth::server {
namespace {

using test::TempFolder;

// A whole snapshot file numbered `number`; `title` makes another one of that number.
std::string SnapshotBytes(int32_t number, const std::string& title = "sample") {
  SXReadSnapshot s = test::SampleSnapshot();
  s.info.number = number;
  s.info.title = title;
  return test::BuildSnapshotFile(s);
}

// Every file below a folder, relative to it with "/", sorted.
void ListTree(const std::u16string& folder, const std::string& prefix, std::vector<std::string>* out) {
  platform::FindData entry;
  auto search = platform::FileSystem::Get().FindFirst(folder + u"\\*", &entry);
  if (!search) return;
  do {
    if (entry.name == u"." || entry.name == u"..") continue;
    const std::string name = prefix + test::N(entry.name);
    if (entry.attributes & platform::kAttrDirectory) {
      ListTree(folder + u"\\" + entry.name, name + "/", out);
    } else {
      out->push_back(name);
    }
  } while (search->Next(&entry));
  std::sort(out->begin(), out->end());
}

class Store : public ::testing::Test {
 protected:
  Store() : data_(folder_ / u"data"), store_(data_) {
    platform::FileSystem::Get().CreateFolder(data_);
    std::string error;
    catalog_ = OpenSqliteCatalog(platform::posix::ToHostPath(folder_ / u"catalog.db"), &error);
    EXPECT_TRUE(catalog_) << error;
  }

  std::vector<std::string> Files() {
    std::vector<std::string> out;
    ListTree(data_, "", &out);
    return out;
  }

  // Downloads `bytes` as the agent's blocks of 131,072 bytes (smaller here, to have several).
  bool Download(int32_t uid, int32_t number, const std::string& bytes, SXStoredSnapshot* stored,
                std::string* error = nullptr, int64_t* offset = nullptr, int64_t announced = -1) {
    std::string begin_error;
    std::unique_ptr<CXStoreDownload> d = store_.Begin(uid, number, &begin_error);
    EXPECT_TRUE(d) << begin_error;
    if (!d) return false;
    for (size_t at = 0; at < bytes.size(); at += 1000) {
      d->Write(bytes.data() + at, std::min<size_t>(1000, bytes.size() - at));
    }
    const bool ok = d->Finish(announced < 0 ? static_cast<int64_t>(bytes.size()) : announced, stored);
    if (error != nullptr) *error = d->error();
    if (offset != nullptr) *offset = d->fault_offset();
    return ok;
  }

  // Stored and catalogued, as the server does before "down-ack" (marked compared).
  int64_t Keep(int32_t uid, int32_t number, int64_t received, const std::string& title = "sample") {
    SXStoredSnapshot stored;
    EXPECT_TRUE(Download(uid, number, SnapshotBytes(number, title), &stored));
    int64_t id = 0;
    std::string error;
    EXPECT_TRUE(store_.Catalogue(*catalog_, stored, received, &id, &error)) << error;
    EXPECT_TRUE(catalog_->SetCompared(id).ok());
    return id;
  }

  void Machine(int32_t uid) {
    SXMachineInfo info;
    info.uid = uid;
    info.name = "PC-" + std::to_string(uid);
    ASSERT_TRUE(catalog_->UpsertMachine(info, nullptr).ok());
  }

  TempFolder folder_;
  std::u16string data_;
  CXSnapshotStore store_;
  std::unique_ptr<CXCatalog> catalog_;
};

TEST_F(Store, ADownloadGoesToATemporaryFileAndIsRenamedWhenChecked) {
  const std::string bytes = SnapshotBytes(7);
  std::string error;
  std::unique_ptr<CXStoreDownload> d = store_.Begin(17, 7, &error);
  ASSERT_TRUE(d) << error;
  ASSERT_TRUE(d->Write(bytes.data(), 100));
  ASSERT_TRUE(d->Write(bytes.data() + 100, bytes.size() - 100));
  // Meanwhile only the temporary file is there, with what has come.
  const std::vector<std::string> during = Files();
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].rfind("machines/17/snapshot007.snp.", 0), 0u) << during[0];
  EXPECT_EQ(during[0].substr(during[0].size() - 5), ".part");
  EXPECT_EQ(test::ReadFileBytes(d->part_path()), bytes);

  SXStoredSnapshot stored;
  ASSERT_TRUE(d->Finish(static_cast<int64_t>(bytes.size()), &stored)) << d->error();
  EXPECT_EQ(Files(), std::vector<std::string>{"machines/17/snapshot007.snp"});
  EXPECT_EQ(stored.path, "machines/17/snapshot007.snp");
  EXPECT_EQ(test::ReadFileBytes(store_.FullPath(stored.path)), bytes);  // exactly as sent
  EXPECT_EQ(stored.sha256, HexDigest(platform::Crypto::Get().Sha256(bytes.data(), bytes.size())));
  EXPECT_EQ(stored.size, static_cast<int64_t>(bytes.size()));
  EXPECT_FALSE(stored.already_stored);
  EXPECT_EQ(stored.title, "sample");
  EXPECT_GT(stored.files + stored.values + stored.items, 0);
  d.reset();  // nothing more to remove
  EXPECT_EQ(Files(), std::vector<std::string>{"machines/17/snapshot007.snp"});
}

TEST_F(Store, ADownloadThatIsNotAWholeSnapshotIsRefusedWithNothingLeft) {
  SXReadSnapshot sample = test::SampleSnapshot();
  sample.info.number = 7;
  const std::string good = test::BuildSnapshotFile(sample);
  struct Case {
    const char* what;
    std::string bytes;
    int64_t announced;  // -1: the bytes' size
    std::string error;
    int64_t offset;  // the reader's file offset; -1 for none
  };
  const Case cases[] = {
      {"cut by one byte", good.substr(0, good.size() - 1), -1,
       "corrupt snapshot: block at file offset " + std::to_string(sample.info_offset), sample.info_offset},
      {"unfinished", "s4.1" + std::string(16, '\0'), -1, "unfinished snapshot: the info offset at file offset 16 is 0",
       16},
      {"not a snapshot", "hello, world", -1, "not a snapshot file", 0},
      {"shorter than announced", good.substr(0, 100), static_cast<int64_t>(good.size()),
       "received 100 bytes, the agent announced " + std::to_string(good.size()), -1},
      {"another number", SnapshotBytes(8), -1, "the file calls itself snapshot 8", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SXStoredSnapshot stored;
    std::string error;
    int64_t offset = -2;
    EXPECT_FALSE(Download(17, 7, c.bytes, &stored, &error, &offset, c.announced));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_NE(error.find("nothing kept"), std::string::npos) << error;
    EXPECT_EQ(offset, c.offset);
    EXPECT_EQ(Files(), std::vector<std::string>{}) << "nothing left behind";
  }
}

TEST_F(Store, AbortAndAWriteThatFailsLeaveNothing) {
  const std::string bytes = SnapshotBytes(3);
  std::string error;
  {
    std::unique_ptr<CXStoreDownload> d = store_.Begin(5, 3, &error);
    ASSERT_TRUE(d);
    d->Write(bytes.data(), 500);
    d->Abort();
    EXPECT_EQ(Files(), std::vector<std::string>{});
    std::unique_ptr<CXStoreDownload> gone = store_.Begin(5, 3, &error);
    gone->Write(bytes.data(), 500);
  }  // a download dropped (the link went) is aborted
  EXPECT_EQ(Files(), std::vector<std::string>{});

  test::FaultyFiles faulty(u".part", 0);  // in place of the file system while it lives
  faulty.fail_from_write = 2;              // the disk is full from the second block on
  std::unique_ptr<CXStoreDownload> d = store_.Begin(5, 3, &error);
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->Write(bytes.data(), 500));
  EXPECT_FALSE(d->Write(bytes.data() + 500, 500));
  EXPECT_FALSE(d->Write(bytes.data() + 1000, bytes.size() - 1000));  // the rest is read on, not written
  SXStoredSnapshot stored;
  EXPECT_FALSE(d->Finish(static_cast<int64_t>(bytes.size()), &stored));
  EXPECT_NE(d->error().find("cannot write"), std::string::npos) << d->error();
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(Store, TheSameSnapshotTwiceIsOneFileAndAnotherOfItsNumberIsRefused) {
  SXStoredSnapshot first, second;
  ASSERT_TRUE(Download(17, 4, SnapshotBytes(4), &first));
  ASSERT_TRUE(Download(17, 4, SnapshotBytes(4), &second));
  EXPECT_TRUE(second.already_stored);
  EXPECT_EQ(second.sha256, first.sha256);
  std::string error;
  EXPECT_FALSE(Download(17, 4, SnapshotBytes(4, "a clone's"), &second, &error));
  EXPECT_NE(error.find("another snapshot 4 is stored already"), std::string::npos) << error;
  EXPECT_EQ(Files(), std::vector<std::string>{"machines/17/snapshot004.snp"});
  EXPECT_EQ(test::ReadFileBytes(store_.FullPath(first.path)), SnapshotBytes(4));
}

TEST_F(Store, TwoLinksDeliveringOneSnapshotStoreItOnce) {
  Machine(17);
  const std::string bytes = SnapshotBytes(6);
  std::string error;
  std::unique_ptr<CXStoreDownload> a = store_.Begin(17, 6, &error);
  std::unique_ptr<CXStoreDownload> b = store_.Begin(17, 6, &error);
  ASSERT_TRUE(a && b);
  ASSERT_NE(a->part_path(), b->part_path());
  ASSERT_TRUE(a->Write(bytes.data(), bytes.size()));
  ASSERT_TRUE(b->Write(bytes.data(), bytes.size()));
  SXStoredSnapshot sa, sb;
  std::thread other([&] { EXPECT_TRUE(b->Finish(static_cast<int64_t>(bytes.size()), &sb)) << b->error(); });
  ASSERT_TRUE(a->Finish(static_cast<int64_t>(bytes.size()), &sa)) << a->error();
  other.join();
  EXPECT_NE(sa.already_stored, sb.already_stored);  // one placed it, the other found it there
  int64_t ida = 0, idb = 0;
  ASSERT_TRUE(store_.Catalogue(*catalog_, sa, 100, &ida, &error)) << error;
  ASSERT_TRUE(store_.Catalogue(*catalog_, sb, 101, &idb, &error)) << error;
  EXPECT_EQ(ida, idb);
  std::vector<SXSnapshotRow> rows;
  ASSERT_TRUE(catalog_->ListSnapshots(17, &rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].sha256, sa.sha256);
  EXPECT_EQ(rows[0].received_time, 100);
  EXPECT_EQ(Files(), std::vector<std::string>{"machines/17/snapshot006.snp"});
  // No row without its machine: not acknowledged, and the file waits for the agent's next try.
  SXStoredSnapshot orphan;
  ASSERT_TRUE(Download(18, 1, SnapshotBytes(1), &orphan));
  EXPECT_FALSE(store_.Catalogue(*catalog_, orphan, 100, &ida, &error));
  EXPECT_NE(error.find("no machine 18"), std::string::npos) << error;
}

TEST_F(Store, TheSweepAtStartRemovesLeftoversAndNamesMissingFiles) {
  Machine(1);
  Machine(2);
  Machine(3);
  Keep(1, 1, 10);                      // row and file: kept
  const int64_t lost = Keep(1, 2, 20);  // row, file gone
  std::string error;
  ASSERT_TRUE(store_.RemoveFile(CXSnapshotStore::RelativePath(1, 2), &error)) << error;
  SXSnapshotRow row;
  ASSERT_TRUE(catalog_->GetSnapshot(lost, &row).ok());
  // A download cut short and a file renamed into place whose row was never committed.
  test::WriteFileBytes(store_.FullPath("machines/1/snapshot003.snp.17.part"), "partial");
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(store_.FullPath("machines/2")));
  test::WriteFileBytes(store_.FullPath("machines/2/snapshot001.snp"), SnapshotBytes(1));
  // Files the store does not own stay.
  test::WriteFileBytes(store_.FullPath("machines/1/changes-5.lz4"), "changes");
  // A machine whose whole folder is gone.
  row.uid = 3;
  row.number = 1;
  row.path = CXSnapshotStore::RelativePath(3, 1);
  int64_t id = 0;
  ASSERT_TRUE(catalog_->AddSnapshot(row, &id).ok());

  SXSweepReport report;
  ASSERT_TRUE(store_.Sweep(*catalog_, &report, &error)) << error;
  EXPECT_EQ(report.removed_parts, std::vector<std::string>{"machines/1/snapshot003.snp.17.part"});
  EXPECT_EQ(report.removed_orphans, std::vector<std::string>{"machines/2/snapshot001.snp"});
  std::vector<std::string> missing;
  for (const SXSnapshotRow& r : report.missing) missing.push_back(r.path);
  EXPECT_EQ(missing, (std::vector<std::string>{"machines/1/snapshot002.snp", "machines/3/snapshot001.snp"}));
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(Files(), (std::vector<std::string>{"machines/1/changes-5.lz4", "machines/1/snapshot001.snp"}));

  // Nothing stored yet at all: nothing to do.
  CXSnapshotStore empty(folder_ / u"empty");
  ASSERT_TRUE(empty.Sweep(*catalog_, &report, &error)) << error;
  EXPECT_TRUE(report.removed_parts.empty() && report.removed_orphans.empty());
}

TEST_F(Store, RetentionByCountAndByAgeTakesRowsAndFilesTogether) {
  const int64_t day = 86400, now = 1000 * day;
  Machine(1);
  Machine(2);
  // Machine 1: five snapshots a day apart, each compared with the one before (with a change file).
  std::vector<int64_t> ids;
  for (int n = 1; n <= 5; ++n) {
    ids.push_back(Keep(1, n, now - (10 - n) * day));
    if (n > 1) {
      SXComparisonRow c;
      c.old_snapshot_id = ids[n - 2];
      c.new_snapshot_id = ids[n - 1];
      c.change_file = "machines/1/changes-" + std::to_string(n) + ".lz4";
      test::WriteFileBytes(store_.FullPath(c.change_file), "x");
      SXChangeRow change;
      change.path = "C:\\f" + std::to_string(n);
      ASSERT_TRUE(catalog_->AddComparison(c, {change}, nullptr).ok());
    }
  }
  // Machine 2: two snapshots, long ago.
  Keep(2, 1, now - 400 * day);
  Keep(2, 2, now - 300 * day);

  struct Step {
    const char* what;
    SXRetention retention;
    int64_t pruned;
    std::vector<std::string> files;  // what is left
  };
  const Step steps[] = {
      {"last 3 per machine", {3, 0}, 2,
       {"machines/1/changes-4.lz4", "machines/1/changes-5.lz4", "machines/1/snapshot003.snp",
        "machines/1/changes-3.lz4", "machines/1/snapshot004.snp", "machines/1/snapshot005.snp",
        "machines/2/snapshot001.snp", "machines/2/snapshot002.snp"}},
      {"younger than 6 days (the newest always stays)", {0, 6}, 2,
       {"machines/1/changes-4.lz4", "machines/1/changes-5.lz4", "machines/1/snapshot004.snp",
        "machines/1/snapshot005.snp", "machines/2/snapshot002.snp"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    SXPruneReport report;
    std::string error;
    ASSERT_TRUE(store_.Prune(*catalog_, 0, s.retention, now, &report, &error)) << error;
    EXPECT_EQ(report.snapshots, s.pruned);
    EXPECT_TRUE(report.failures.empty());
    std::vector<std::string> expected = s.files;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(), expected);
    // Every row names a file that is there, and every file is named.
    std::vector<std::string> named;
    for (int32_t uid : {1, 2}) {
      std::vector<SXSnapshotRow> rows;
      ASSERT_TRUE(catalog_->ListSnapshots(uid, &rows).ok());
      for (const SXSnapshotRow& r : rows) named.push_back(r.path);
    }
    std::vector<std::string> snapshots;
    for (const std::string& f : Files()) {
      if (f.find("/snapshot") != std::string::npos) snapshots.push_back(f);
    }
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, snapshots);
  }
  // The change rows of the pruned snapshots went with them; those of the kept ones stay.
  std::vector<SXChangeRow> changes;
  ASSERT_TRUE(catalog_->ChangesSince(1, 0, 100, &changes).ok());
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].path, "C:\\f4");
  EXPECT_EQ(changes[1].path, "C:\\f5");
}

TEST_F(Store, RemovingASnapshotTakesTheRowFirst) {
  Machine(1);
  const int64_t id = Keep(1, 1, 10);
  // A row that cannot go keeps its file.
  SXRemovedSnapshot removed;
  std::string error;
  EXPECT_FALSE(store_.RemoveSnapshot(*catalog_, id + 100, &removed, &error));
  EXPECT_NE(error.find("no snapshot"), std::string::npos) << error;
  EXPECT_EQ(Files(), std::vector<std::string>{"machines/1/snapshot001.snp"});
  ASSERT_TRUE(store_.RemoveSnapshot(*catalog_, id, &removed, &error)) << error;
  EXPECT_EQ(removed.snapshot.path, "machines/1/snapshot001.snp");
  EXPECT_EQ(Files(), std::vector<std::string>{});
  SXSnapshotRow row;
  EXPECT_TRUE(catalog_->GetSnapshot(id, &row).not_found());
  // A file already gone is no failure.
  EXPECT_TRUE(store_.RemoveFile("machines/1/snapshot001.snp", &error)) << error;
}

TEST(StorePaths, NamesAndForms) {
  EXPECT_EQ(CXSnapshotStore::RelativePath(17, 3), "machines/17/snapshot003.snp");
  EXPECT_EQ(CXSnapshotStore::RelativePath(17, 1234), "machines/17/snapshot1234.snp");
  EXPECT_EQ(CXSnapshotStore(u"Z:\\srv\\data\\").FullPath("machines/1/snapshot001.snp"),
            u"Z:\\srv\\data\\machines\\1\\snapshot001.snp");
  EXPECT_EQ(CXSnapshotStore(u"/srv/data").FullPath("machines/1/snapshot001.snp"), u"/srv/data/machines/1/snapshot001.snp");
}

}  // namespace
}  // namespace orvalinth::server
