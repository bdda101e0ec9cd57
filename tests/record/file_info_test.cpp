// The file-information service: disk fields and version index in one call.

#include "record/file_info.h"

#include <gtest/gtest.h>

#include "base/strings.h"
#include "record/version_info.h"
#include "storage/exe_version.h"
#include "storage/file_records.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"
#include "tests/platform/pe_fixtures.h"

namespace orvalinth {
namespace {

class FileInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallVersionReader(writer_.version_table());
    ASSERT_EQ(writer_.CreateSnapshot(dir_ / u"snapshot001.snp", "t", SXInfoRequest()), 1);
  }

  // A record full of leftovers, as a reused one would be.
  static SXFileRecord Stale() {
    SXFileRecord record;
    record.version_index = 77;
    record.attributes = 0x1234;
    record.name_length = 0;
    record.last_write = 99;
    record.size = 98;
    record.missing = 5;
    return record;
  }

  test::TempFolder dir_;
  CXSnapshotWriter writer_;
};

TEST_F(FileInfo, AnExecutableGetsItsDiskFieldsAndOneVersionIndex) {
  SKIP_WITHOUT_PE_FIXTURES();
  const std::u16string path = test::PeFixture("full.exe");
  SXFileRecord record = Stale();
  SXExeVersion version;
  ASSERT_EQ(GetFileInfo(writer_, path, &record, &version), 1);
  EXPECT_EQ(record.missing, 0);
  EXPECT_EQ(record.size, test::ReadFileBytes(path).size());
  EXPECT_GT(record.last_write, 0);
  EXPECT_EQ(record.attributes & platform::kAttrDirectory, 0);
  EXPECT_EQ(record.version_index, 0);
  EXPECT_EQ(version.product_name, u"Orvalinth Fixture");

  // The same file seen again, by another collector, in another case.
  SXFileRecord again = Stale();
  GetFileVersion(writer_, FoldedAZ(path), &again, nullptr);
  EXPECT_EQ(again.version_index, 0);
  EXPECT_EQ(again.size, 98u) << "the disk fields are the caller's";
  EXPECT_EQ(writer_.version_table().count(), 1);
}

TEST_F(FileInfo, AFileWithoutVersionInformationHasNoIndex) {
  test::WriteFileBytes(dir_ / u"readme.txt", "12345");
  SXFileRecord record = Stale();
  SXExeVersion version;
  version.comments = u"stale";
  ASSERT_EQ(GetFileInfo(writer_, dir_ / u"readme.txt", &record, &version), 1);
  EXPECT_EQ(record.size, 5u);
  EXPECT_EQ(record.missing, 0);
  EXPECT_EQ(record.version_index, -1);
  EXPECT_EQ(version.comments, u"");
  EXPECT_EQ(writer_.version_table().count(), 0);
}

TEST_F(FileInfo, AMissingFileIsMarkedMissing) {
  test::WriteFileBytes(dir_ / u"present.exe", "MZ");
  const std::u16string missing[] = {dir_ / u"absent.exe", dir_ / u"*.exe", dir_ / u"present.ex?", u""};
  for (const std::u16string& path : missing) {
    SXFileRecord record = Stale();
    SXExeVersion version;
    version.comments = u"stale";
    EXPECT_EQ(GetFileInfo(writer_, path, &record, &version), 0) << test::N(path);
    EXPECT_EQ(record.missing, 1);
    EXPECT_EQ(record.version_index, -1);
    EXPECT_EQ(record.attributes, 0);
    EXPECT_EQ(record.last_write, 0);
    EXPECT_EQ(record.size, 0u);
    EXPECT_EQ(version.comments, u"");
  }
}

}  // namespace
}  // namespace orvalinth
