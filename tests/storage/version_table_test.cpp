#include "storage/version_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "base/strings.h"
#include "snapshot_builder.h"
#include "storage/exe_version.h"
#include "storage/file_records.h"
#include "storage/mem_reader.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::TempFolder;

// Version data made up from the path; paths containing "noversion" have none.
class FakeVersions {
 public:
  ReadVersionInfoFn Reader() {
    return [this](const std::u16string& path, SXExeVersion* out) {
      ++reads;
      if (path.find(u"noversion") != std::u16string::npos) return 0;
      *out = SXExeVersion();
      out->file_version = FoldedAZ(path);
      out->file_version_high = static_cast<int32_t>(path.size());
      return 1;
    };
  }
  std::atomic<int> reads{0};
};

class VersionTable : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_.version_table().set_reader(versions_.Reader());
    ASSERT_EQ(writer_.CreateSnapshot(dir_ / u"snapshot001.snp", "t", SXInfoRequest()), 1);
  }
  CXExeVersionTable& table() { return writer_.version_table(); }
  std::string FileBytes() { return test::ReadFileBytes(dir_ / u"snapshot001.snp"); }

  TempFolder dir_;
  FakeVersions versions_;
  CXSnapshotWriter writer_;
};

TEST_F(VersionTable, OneExecutableReferencedFourTimesGetsOneIndexAndOneRecord) {
  CXSnapshotDataFileRecArray files;
  SXFileRecord* from_folder = files.Append(u"app.exe");
  EXPECT_EQ(table().LookupVersion(u"C:\\Prog\\App.exe", from_folder, nullptr), 0);
  EXPECT_EQ(from_folder->version_index, 0);
  // Three processes of the same executable, one path differing in A-Z case.
  for (const char16_t* path : {u"c:\\prog\\app.exe", u"C:\\PROG\\APP.EXE", u"C:\\Prog\\App.exe"}) {
    EXPECT_EQ(table().LookupVersion(path, nullptr, nullptr), 0);
  }
  EXPECT_EQ(versions_.reads.load(), 1);
  EXPECT_EQ(table().count(), 1);
  EXPECT_EQ(table().LookupVersion(u"C:\\other.dll", nullptr, nullptr), 1);
}

TEST_F(VersionTable, KnownPathIsReadAgainOnlyForTheData) {
  table().LookupVersion(u"C:\\a.exe", nullptr, nullptr);
  SXExeVersion out;
  EXPECT_EQ(table().LookupVersion(u"C:\\A.EXE", nullptr, &out), 0);
  EXPECT_EQ(out.file_version, u"c:\\a.exe");
  EXPECT_EQ(versions_.reads.load(), 2);
  EXPECT_EQ(table().count(), 1);
}

TEST_F(VersionTable, FileWithoutVersionInformationGetsMinusOneAndIsReadAgainLater) {
  CXSnapshotDataFileRecArray files;
  SXFileRecord* r = files.Append(u"x");
  r->version_index = 42;
  EXPECT_EQ(table().LookupVersion(u"C:\\noversion.dll", r, nullptr), -1);
  EXPECT_EQ(r->version_index, -1);
  EXPECT_EQ(table().LookupVersion(u"C:\\noversion.dll", nullptr, nullptr), -1);
  EXPECT_EQ(versions_.reads.load(), 2);
  EXPECT_EQ(table().count(), 0);
}

TEST_F(VersionTable, WithoutAReaderNoFileHasVersionInformation) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(dir_ / u"other.snp", "t", SXInfoRequest()), 1);
  EXPECT_EQ(writer.version_table().LookupVersion(u"C:\\a.exe", nullptr, nullptr), -1);
}

TEST_F(VersionTable, The501stExecutableStoresTheFirstChunkBeforeItIsAdded) {
  for (int i = 0; i < 500; ++i) table().LookupVersion(u"C:\\e" + test::W(std::to_string(i)), nullptr, nullptr);
  EXPECT_EQ(FileBytes().size(), 20u);  // nothing stored yet
  EXPECT_EQ(table().LookupVersion(u"C:\\e500", nullptr, nullptr), 500);
  const std::string bytes = FileBytes();
  test::StoredBlock chunk;
  ASSERT_TRUE(test::DecodeBlock(bytes, 20, &chunk));
  EXPECT_EQ(static_cast<size_t>(20 + chunk.header_size) + chunk.stored, bytes.size());
  // Exactly records 0 to 499.
  CXMemReader r(reinterpret_cast<const uint8_t*>(chunk.payload.data()));
  SXDskSnapshotVersionExp record;
  int n = 0;
  while (r.position() < static_cast<int32_t>(chunk.payload.size())) {
    record.Read(r);
    EXPECT_EQ(record.file_version, u"c:\\e" + test::W(std::to_string(n)));
    ++n;
  }
  EXPECT_EQ(n, 500);
}

TEST_F(VersionTable, FlushStoresOnlyAPendingChunk) {
  int32_t count = -1, per_chunk = 0;
  std::vector<uint32_t> offsets{1, 2};
  table().FlushVersionTable(&count, &per_chunk, &offsets);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(per_chunk, 500);
  EXPECT_TRUE(offsets.empty());
  EXPECT_EQ(FileBytes().size(), 20u);
  table().LookupVersion(u"C:\\one.exe", nullptr, nullptr);
  table().FlushVersionTable(&count, &per_chunk, &offsets);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(offsets, std::vector<uint32_t>{20});
}

TEST_F(VersionTable, JobsLookingUpAtOnceShareIndexes) {
  // Four jobs walk the same 300 executables in different orders.
  std::vector<std::thread> jobs;
  std::vector<std::map<std::u16string, int32_t>> seen(4);
  for (int j = 0; j < 4; ++j) {
    jobs.emplace_back([this, j, &seen] {
      for (int k = 0; k < 300; ++k) {
        const int i = (j % 2 == 0) ? k : 299 - k;
        const std::u16string path = u"C:\\bin\\tool" + test::W(std::to_string(i)) + u".exe";
        seen[j][FoldedAZ(path)] = table().LookupVersion(j == 3 ? FoldedAZ(path) : path, nullptr, nullptr);
      }
    });
  }
  for (auto& t : jobs) t.join();
  EXPECT_EQ(table().count(), 300);
  EXPECT_EQ(versions_.reads.load(), 300);
  for (int j = 1; j < 4; ++j) EXPECT_EQ(seen[j], seen[0]);
}

}  // namespace
}  // namespace orvalinth
