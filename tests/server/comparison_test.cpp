// Comparison on arrival: the rows and counts of two snapshots of one
// machine, the default filter, snapshots that do not read, the change file
// (its bytes, its reader, when it is written) and the pool of workers.

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/strings.h"
#include "platform/posix/drive_table.h"
#include "server/comparison.h"
#include "server/comparison_pool.h"
#include "storage/lz4_block.h"
#include "test_support.h"
#include "tests/fakes/faulty_files.h"
#include "tests/fakes/wait_until.h"
#include "tests/storage/snapshot_builder.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/tools/report/report_pair.h"

namespace orvalinth::server {
namespace {

using test::PairFile;
using test::PairItem;
using test::SampleNode;
using test::SampleText;

// One machine before (`after` false) and after: C:\Data\report.txt grew, the
// value Vendor\Mode changed, the service Spooler stopped; and the noise the
// default filter leaves out: a file under C:\Windows\Temp and an open handle.
// `bulk` more files under C:\Data\Bulk, every one of them grown.
SXReadSnapshot Machine(bool after, int bulk = 0) {
  SXReadSnapshot s;
  s.info.number = after ? 2 : 1;
  s.info.computer = "PC-0042";
  SXReadNode data = SampleNode(u"Data");
  data.files = {PairFile(u"keep.txt", 5, test::kBefore), PairFile(u"report.txt", after ? 200 : 100, test::kBefore)};
  if (bulk > 0) {
    data.children.push_back(SampleNode(u"Bulk"));
    for (int i = 0; i < bulk; ++i) {
      data.children[0].files.push_back(PairFile(test::W(Format("f%05d.bin", i)), after ? 2 : 1, test::kBefore));
    }
  }
  SXReadNode temp = SampleNode(u"Temp");
  temp.files = {PairFile(u"setup.dat", after ? 2 : 1, test::kBefore)};
  SXReadSection files;
  files.name = u"C:\\";
  files.root = SampleNode(u"C:\\", {data, SampleNode(u"Windows", {temp})});

  SXReadNode vendor = SampleNode(u"Vendor");
  vendor.values = {SampleText(u"Mode", 1, after ? u"b" : u"a"), SampleText(u"Same", 1, u"x")};
  SXReadSection registry;
  registry.name = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
  registry.root = SampleNode(u"HKEY_LOCAL_MACHINE\\SOFTWARE", {vendor});

  SXReadItem handle = test::SampleItem(8, u"notepad.exe", u"C:\\Windows\\notepad.exe");
  handle.handle_type = 1;
  handle.object_name = after ? u"C:\\b.txt" : u"C:\\a.txt";
  s.sections[kReadRegistry] = {registry};
  s.sections[kReadFiles] = {files};
  s.sections[kReadApplications] = {
      test::PairApps(u"Services", {PairItem(3, u"Spooler", u"C:\\Windows\\System32\\spoolsv.exe", 2, after ? 1 : 4),
                                   PairItem(3, u"W32Time", u"C:\\Windows\\System32\\svchost.exe", 3, 1)}),
      test::PairApps(u"Opened Handles", {handle})};
  return s;
}

const std::string kService = "path C:\\Windows\\System32\\spoolsv.exe  start automatic  state %s  file 1,000 bytes  "
                             "2023-11-14 22:13:20 UTC";
const std::vector<SXChange> kMachineRows = {
    {SXChangeKind::kRegistry, SXChangeWhat::kChanged, "registry values", "value",
     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Mode", "REG_SZ \"a\"", "REG_SZ \"b\""},
    {SXChangeKind::kFiles, SXChangeWhat::kChanged, "files", "file", "C:\\Data\\report.txt",
     "100 bytes  2023-11-14 22:13:20 UTC", "200 bytes  2023-11-14 22:13:20 UTC"},
    {SXChangeKind::kApplications, SXChangeWhat::kChanged, "Services", "service", "Services\\Spooler",
     Format(kService.c_str(), "running"), Format(kService.c_str(), "stopped")},
};

std::string Line(const SXChange& r) {
  return std::string(ChangeWhatName(r.change)) + " " + r.entry + " " + r.path;
}

class Comparison : public ::testing::Test {
 protected:
  // The host path of a file of the test's folder.
  std::string Host(const std::string& name) { return platform::posix::ToHostPath(folder_ / test::W(name)); }
  std::string Write(const std::string& name, SXReadSnapshot snapshot, test::Store store = test::Store::kAuto) {
    std::string bytes = test::BuildSnapshotFile(snapshot, store);
    test::WriteFileBytes(folder_ / test::W(name), bytes);
    return Host(name);
  }
  bool Exists(const std::string& host_path) { return test::FileExists(PlatformPath(host_path)); }

  test::TempFolder folder_;
};

TEST_F(Comparison, OneFileOneValueOneServiceGiveExactlyTheirRowsAndCounts) {
  const std::string a = Write("1.snp", Machine(false)), b = Write("2.snp", Machine(true));
  const SXComparison c = CompareArrived(a, b);
  ASSERT_TRUE(c.ok()) << c.error;
  EXPECT_EQ(c.rows, kMachineRows);
  ASSERT_EQ(c.counts.size(), 3u);
  const std::pair<SXChangeKind, const char*> kinds[] = {{SXChangeKind::kRegistry, "registry values"},
                                                        {SXChangeKind::kFiles, "files"},
                                                        {SXChangeKind::kApplications, "Services"}};
  for (const auto& [kind, category] : kinds) {
    const SXComparisonCount* n = c.Count(kind, category);
    ASSERT_NE(n, nullptr) << category;
    EXPECT_EQ(n->added + n->removed, 0u) << category;
    EXPECT_EQ(n->changed, 1u) << category;
  }
  EXPECT_EQ(c.added + c.removed, 0u);
  EXPECT_EQ(c.changed, 3u);
  EXPECT_EQ(c.row_count, 3u);
  EXPECT_TRUE(c.change_file.empty());
  EXPECT_FALSE(Exists(ChangeFilePath(b)));

  // Nothing changed: no row, no count.
  const SXComparison same = CompareArrived(b, b);
  ASSERT_TRUE(same.ok()) << same.error;
  EXPECT_TRUE(same.rows.empty());
  EXPECT_TRUE(same.counts.empty());
}

TEST_F(Comparison, TheDefaultFilterLeavesOutTheNoise) {
  const std::string a = Write("1.snp", Machine(false)), b = Write("2.snp", Machine(true));
  std::set<std::string> expected;
  for (const SXChange& r : kMachineRows) expected.insert(Line(r));
  SXComparisonOptions everything;
  everything.filter = std::make_shared<report::CXReportFilter>();
  struct Case {
    const char* name;
    SXComparisonOptions options;
    std::set<std::string> extra;
  } const cases[] = {
      {"default", SXComparisonOptions(), {}},
      {"none", everything,
       {"changed file C:\\Windows\\Temp\\setup.dat", "added open handle Opened Handles\\C:\\b.txt",
        "removed open handle Opened Handles\\C:\\a.txt"}},
  };
  for (const Case& k : cases) {
    const SXComparison c = CompareArrived(a, b, k.options);
    ASSERT_TRUE(c.ok()) << c.error;
    std::set<std::string> lines;
    for (const SXChange& r : c.rows) lines.insert(Line(r));
    std::set<std::string> want = expected;
    want.insert(k.extra.begin(), k.extra.end());
    EXPECT_EQ(lines, want) << k.name;
  }
  std::string error;
  EXPECT_TRUE(report::CXReportFilter().Parse(DefaultFilterText(), &error)) << error;
  EXPECT_TRUE(DefaultFilter()->DropsCategory(u"Opened Handles"));
  EXPECT_TRUE(DefaultFilter()->drops_agent_link());
}

TEST_F(Comparison, ASnapshotThatDoesNotReadIsAnErrorWithItsOffset) {
  const std::string good = Write("1.snp", Machine(false));
  SXReadSnapshot raw = Machine(true);
  const std::string bytes = test::BuildSnapshotFile(raw, test::Store::kRaw);
  test::StoredBlock block;
  const uint32_t files_block = raw.sections[kReadFiles][0].block_offset;
  ASSERT_TRUE(test::DecodeBlock(bytes, files_block, &block));
  std::string bad_mark = bytes;
  bad_mark[files_block + static_cast<uint32_t>(block.header_size)] = 7;  // the payload's format mark
  struct Case {
    const char* name;
    std::string old_bytes, new_bytes;  // empty old: the good one
    SXComparisonStatus status;
    int64_t file_offset, payload_offset;
    const char* says;
  } const cases[] = {
      {"format mark", "", bad_mark, SXComparisonStatus::kNewUnreadable, files_block, 0, "format mark"},
      {"cut short", "", bytes.substr(0, bytes.size() - 3), SXComparisonStatus::kNewUnreadable, -2, -2, "corrupt"},
      {"not a snapshot", "", "hello world, not a snapshot", SXComparisonStatus::kNewUnreadable, 0, -1,
       "not a snapshot"},
      {"old one", "s4.1", bytes, SXComparisonStatus::kOldUnreadable, 0, -1, "corrupt"},
  };
  for (const Case& k : cases) {
    const std::string old_path = k.old_bytes.empty() ? good : Host("old.snp");
    if (!k.old_bytes.empty()) test::WriteFileBytes(PlatformPath(old_path), k.old_bytes);
    test::WriteFileBytes(folder_ / u"new.snp", k.new_bytes);
    SXComparisonOptions options;
    options.max_rows = 0;  // a change file would be begun at the first row
    const SXComparison c = CompareArrived(old_path, Host("new.snp"), options);
    EXPECT_EQ(c.status, k.status) << k.name << ": " << c.error;
    const std::string& path = k.status == SXComparisonStatus::kOldUnreadable ? old_path : Host("new.snp");
    EXPECT_EQ(c.error.rfind(path + ": ", 0), 0u) << k.name << ": " << c.error;
    EXPECT_NE(c.error.find(k.says), std::string::npos) << k.name << ": " << c.error;
    if (k.file_offset == -2) {
      EXPECT_GE(c.error_file_offset, 0) << k.name;
    } else {
      EXPECT_EQ(c.error_file_offset, k.file_offset) << k.name;
      EXPECT_EQ(c.error_payload_offset, k.payload_offset) << k.name;
    }
    EXPECT_TRUE(c.rows.empty()) << k.name;
    EXPECT_FALSE(Exists(ChangeFilePath(Host("new.snp")))) << k.name;
    EXPECT_FALSE(Exists(ChangeFilePath(Host("new.snp")) + ".tmp")) << k.name;
  }
  const SXComparison missing = CompareArrived(Host("none.snp"), good);
  EXPECT_EQ(missing.status, SXComparisonStatus::kOldUnreadable);
  EXPECT_NE(missing.error.find("cannot open"), std::string::npos) << missing.error;
}

TEST_F(Comparison, RowsBeyondTheLimitGoToTheChangeFile) {
  const std::string a = Write("1.snp", Machine(false, 300)), b = Write("2.snp", Machine(true, 300));
  SXComparisonOptions all;
  all.max_rows = 100000;
  const SXComparison whole = CompareArrived(a, b, all);
  ASSERT_TRUE(whole.ok()) << whole.error;
  ASSERT_EQ(whole.rows.size(), 303u);
  ASSERT_NE(whole.Count(SXChangeKind::kFiles, "files"), nullptr);
  EXPECT_EQ(whole.Count(SXChangeKind::kFiles, "files")->changed, 301u);
  const std::vector<SXChange> kept = {kMachineRows[0], kMachineRows[2]};
  struct Case {
    size_t max_rows;
    std::vector<SXChange> rows;
    bool cut;
  } const cases[] = {{302, kept, false}, {10, kept, false}, {1, {kMachineRows[0]}, true}, {0, {}, true}};
  for (const Case& k : cases) {
    SXComparisonOptions options;
    options.max_rows = k.max_rows;
    const SXComparison c = CompareArrived(a, b, options);
    ASSERT_TRUE(c.ok()) << c.error;
    EXPECT_EQ(c.rows, k.rows) << k.max_rows;
    EXPECT_EQ(c.rows_cut, k.cut) << k.max_rows;
    EXPECT_EQ(c.row_count, 303u);
    EXPECT_EQ(c.changed, 303u);
    EXPECT_EQ(c.change_file, ChangeFilePath(b));
    std::vector<SXChange> back;
    std::string error;
    ASSERT_TRUE(ReadChangeFile(c.change_file, &back, &error)) << error;
    EXPECT_EQ(back, whole.rows) << k.max_rows;
    EXPECT_FALSE(Exists(c.change_file + ".tmp"));
  }
  // Within the limit again: the file of the earlier run goes.
  EXPECT_TRUE(CompareArrived(a, b, all).change_file.empty());
  EXPECT_FALSE(Exists(ChangeFilePath(b)));
}

TEST_F(Comparison, TextsAreBoundedAtACharacter) {
  struct Case {
    std::string text;
    size_t max;
    std::string bounded;
  } const cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abc\xE2\x80\xA6"},
      {"ab\xC3\xA9" "defg", 6, "ab\xE2\x80\xA6"},  // "é" is not cut in two
      {"a\xE2\x82\xAC" "bcdefg", 7, "a\xE2\x82\xAC\xE2\x80\xA6"},
  };
  for (const Case& k : cases) EXPECT_EQ(BoundedText(k.text, k.max), k.bounded) << k.text;
  SXComparisonOptions options;
  options.max_text = 16;
  const SXComparison c = CompareArrived(Write("1.snp", Machine(false)), Write("2.snp", Machine(true)), options);
  ASSERT_TRUE(c.ok()) << c.error;
  ASSERT_EQ(c.rows.size(), 3u);
  EXPECT_EQ(c.rows[2].old_text, "path C:\\Windo\xE2\x80\xA6");
  EXPECT_EQ(c.rows[2].path, "Services\\Spooler");
}

// ---- the change file ----

const std::vector<SXChange> kTwoRows = {
    {SXChangeKind::kRegistry, SXChangeWhat::kChanged, "registry values", "value", "K\\Mode", "REG_SZ \"a\"",
     "REG_SZ \"b\""},
    {SXChangeKind::kFiles, SXChangeWhat::kAdded, "files", "file", "C:\\n.txt", "", "7 bytes"},
};

std::string WriteChanges(const std::string& path, const std::vector<SXChange>& rows, uint32_t block = 1u << 18) {
  CXChangeFileWriter writer(block);
  EXPECT_TRUE(writer.Open(path)) << writer.error();
  for (const SXChange& r : rows) EXPECT_TRUE(writer.Add(r)) << writer.error();
  EXPECT_TRUE(writer.Finish()) << writer.error();
  return test::ReadFileBytes(PlatformPath(path));
}

// Every byte but the LZ4 block's, which is whatever LZ4 makes of the decoded
// bytes (another LZ4 may find other matches): those are checked instead.
TEST_F(Comparison, ChangeFileBytes) {
  const std::string bytes = WriteChanges(Host("x.changes"), kTwoRows);
  const std::string decoded = test::Hex(
      "00 02  0F000000 7265676973747279 2076616C756573  05000000 76616C7565  06000000 4B5C4D6F6465"
      "  0A000000 5245475F535A20226122  0A000000 5245475F535A20226222"
      "01 00  05000000 66696C6573  04000000 66696C65  08000000 433A5C6E2E747874  00000000"
      "  07000000 37206279746573");
  ASSERT_EQ(decoded.size(), 114u);
  const std::string header = test::Hex("4F7276436867 0D0A  0100 1800 00000000  0200000000000000");
  ASSERT_GE(bytes.size(), 40u);
  EXPECT_EQ(test::ToHex(bytes.substr(0, 24)), test::ToHex(header));
  const uint32_t stored = static_cast<uint8_t>(bytes[24]) | static_cast<uint8_t>(bytes[25]) << 8;
  EXPECT_EQ(test::ToHex(bytes.substr(28, 8)), "72 00 00 00 02 00 00 00");  // 114 bytes, 2 rows
  const uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size());
  EXPECT_EQ(bytes.substr(36, 4), std::string(reinterpret_cast<const char*>(&crc), 4));
  std::string out(decoded.size(), '\0');
  ASSERT_EQ(Lz4DecompressBlock(reinterpret_cast<const uint8_t*>(bytes.data() + 40), static_cast<int32_t>(stored),
                               reinterpret_cast<uint8_t*>(&out[0]), static_cast<int32_t>(out.size())),
            114);
  EXPECT_EQ(test::ToHex(out), test::ToHex(decoded));
  EXPECT_EQ(test::ToHex(bytes.substr(40 + stored)), test::ToHex(std::string(16, '\0')));
  EXPECT_EQ(bytes.size(), 40u + stored + 16u);
  // The check value of the CRC: "123456789".
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST_F(Comparison, TheChangeFileReaderRefusesDamage) {
  std::vector<SXChange> rows;
  for (int i = 0; i < 40; ++i) rows.push_back({SXChangeKind::kFiles, SXChangeWhat::kAdded, "files", "file",
                                               Format("C:\\f%d", i), "", "1 byte"});
  const std::string good = WriteChanges(Host("good.changes"), rows, 300);  // several blocks
  std::vector<SXChange> back;
  std::string error;
  ASSERT_TRUE(ReadChangeFile(Host("good.changes"), &back, &error)) << error;
  EXPECT_EQ(back, rows);
  std::string bad_crc = good;
  bad_crc[36] = static_cast<char>(bad_crc[36] ^ 0x55);
  const auto with = [&](size_t at, const std::string& bytes) { return good.substr(0, at) + bytes + good.substr(at + bytes.size()); };
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t offset;
    const char* says;
  } const cases[] = {
      {"empty", "", 0, "ends inside the header"},
      {"magic", with(0, "OrvChx"), 0, "not a change file"},
      {"version", with(8, std::string("\x02\x00", 2)), 8, "format version 2"},
      {"flags", with(12, "\x01"), 12, "flags"},
      {"count", with(16, "\x29"), 16, "counts 41 rows"},
      {"too many rows", with(16, "\x05"), 24, "more rows"},
      {"length", with(28, std::string("\x00\x00\x50\x00", 4)), 24, "block of"},
      {"checksum", bad_crc, 24, "checksum"},
      {"cut", good.substr(0, good.size() - 20), good.size() - 20 - 0, ""},
      {"tail", good + "x", good.size(), "follow the end"},
  };
  for (const Case& k : cases) {
    test::WriteFileBytes(folder_ / u"bad.changes", k.bytes);
    EXPECT_FALSE(ReadChangeFile(Host("bad.changes"), &back, &error)) << k.name;
    EXPECT_EQ(error.rfind("change file " + Host("bad.changes") + ": at file offset ", 0), 0u) << k.name << ": " << error;
    EXPECT_NE(error.find(k.says), std::string::npos) << k.name << ": " << error;
    if (std::string(k.name) != "cut") {
      EXPECT_NE(error.find(Format("offset %llu:", static_cast<unsigned long long>(k.offset))), std::string::npos)
          << k.name << ": " << error;
    }
  }
  // A reader that stops early reads no further.
  int seen = 0;
  EXPECT_TRUE(ReadChangeFile(Host("good.changes"), [&](SXChange&&) { return ++seen < 3; }, &error)) << error;
  EXPECT_EQ(seen, 3);
}

// ---- the pool ----

SXComparison Done() { return SXComparison(); }

TEST(ComparisonPool, MoreJobsThanWorkersAllCompleteOnWorkerThreads) {
  CXComparisonPool pool(2);
  EXPECT_EQ(pool.workers(), 2u);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(pool.Submit([](const std::atomic<bool>&) { return Done(); }, [&](SXComparison r) {
      EXPECT_TRUE(r.ok());
      std::lock_guard<std::mutex> lock(mutex);
      threads.insert(std::this_thread::get_id());
      ++done;
    }));
  }
  ASSERT_TRUE(test::WaitUntil([&] { return pool.completed() == 20; }));
  EXPECT_EQ(done.load(), 20);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_LE(threads.size(), 2u);
  EXPECT_EQ(pool.queued(), 0u);
  EXPECT_EQ(pool.busy(), 0u);
}

TEST_F(Comparison, APoolJobComparesTheTwoFiles) {
  CXComparisonPool pool(1);
  std::promise<SXComparison> result;
  ASSERT_TRUE(pool.Submit(SXComparisonJob{Write("1.snp", Machine(false)), Write("2.snp", Machine(true)), {}},
                          [&](SXComparison r) { result.set_value(std::move(r)); }));
  std::future<SXComparison> future = result.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const SXComparison c = future.get();
  EXPECT_TRUE(c.ok()) << c.error;
  EXPECT_EQ(c.rows, kMachineRows);
}

TEST(ComparisonPool, SubmitDoesNotWaitForBusyWorkersAndStopAbandonsTheQueue) {
  CXComparisonPool pool(1);
  std::promise<void> started;
  std::vector<SXComparisonStatus> statuses;
  std::mutex mutex;
  const auto record = [&](SXComparison r) {
    std::lock_guard<std::mutex> lock(mutex);
    statuses.push_back(r.status);
  };
  // The one worker runs until the pool stops it.
  ASSERT_TRUE(pool.Submit(
      [&](const std::atomic<bool>& cancel) {
        started.set_value();
        test::WaitFor(cancel);
        SXComparison r;
        r.status = cancel ? SXComparisonStatus::kCancelled : SXComparisonStatus::kDone;
        return r;
      },
      record));
  started.get_future().wait();
  // Submitted from another thread, so that a Submit that waited would fail the test, not hang it.
  std::future<int> submitted = std::async(std::launch::async, [&] {
    int accepted = 0;
    for (int i = 0; i < 5; ++i) accepted += pool.Submit([](const std::atomic<bool>&) { return Done(); }, record);
    return accepted;
  });
  ASSERT_EQ(submitted.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(submitted.get(), 5);
  EXPECT_EQ(pool.busy(), 1u);
  EXPECT_EQ(pool.queued(), 5u);
  pool.Stop();
  EXPECT_EQ(statuses.size(), 6u);
  EXPECT_EQ(statuses[0], SXComparisonStatus::kCancelled);
  for (size_t i = 1; i < statuses.size(); ++i) EXPECT_EQ(statuses[i], SXComparisonStatus::kAbandoned) << i;
  EXPECT_EQ(pool.completed(), 1u);
  EXPECT_EQ(pool.abandoned(), 5u);
  EXPECT_EQ(pool.queued(), 0u);
  EXPECT_FALSE(pool.Submit([](const std::atomic<bool>&) { return Done(); }, record));
  pool.Stop();  // again: nothing to do
}

// Sets the flag when the change file's temporary file is created.
class CXCancelOnCreate final : public platform::FileSystemWrapper {
 public:
  explicit CXCancelOnCreate(std::atomic<bool>& cancel)
      : FileSystemWrapper(platform::FileSystem::Real()), cancel_(cancel), scope_(*this) {}
  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override {
    if (EndsWithFolded(path, u".tmp")) cancel_ = true;
    return target().Open(path, mode);
  }

 private:
  std::atomic<bool>& cancel_;
  platform::ScopedFacility<platform::FileSystem> scope_;
};

TEST_F(Comparison, AChangeFileNotWrittenOrACancelLeavesNoFile) {
  const std::string a = Write("1.snp", Machine(false, 50)), b = Write("2.snp", Machine(true, 50));
  struct Case {
    const char* name;
    SXComparisonStatus status;
    const char* says;
  } const cases[] = {
      {"disk full", SXComparisonStatus::kChangeFileFailed, "is the disk full?"},
      {"rename", SXComparisonStatus::kChangeFileFailed, "cannot rename"},
      {"cancel", SXComparisonStatus::kCancelled, "cancelled"},
  };
  for (const Case& k : cases) {
    std::atomic<bool> cancel{false};
    SXComparisonOptions options;
    options.max_rows = 0;
    options.cancel = &cancel;
    SXComparison c;
    if (std::string(k.name) == "cancel") {
      CXCancelOnCreate files(cancel);
      c = CompareArrived(a, b, options);
    } else {
      test::FaultyFiles files(u".tmp", platform::kOpenCreate);
      files.fail_from_write = k.name == std::string("disk full") ? 2 : 0;  // the header goes, the block not
      files.fail_renames = k.name == std::string("rename");
      c = CompareArrived(a, b, options);
    }
    EXPECT_EQ(c.status, k.status) << k.name << ": " << c.error;
    EXPECT_NE(c.error.find(k.says), std::string::npos) << k.name << ": " << c.error;
    EXPECT_TRUE(c.rows.empty()) << k.name;
    EXPECT_FALSE(Exists(ChangeFilePath(b))) << k.name;
    EXPECT_FALSE(Exists(ChangeFilePath(b) + ".tmp")) << k.name;
  }
}

}  // namespace
}  // namespace orvalinth::server
