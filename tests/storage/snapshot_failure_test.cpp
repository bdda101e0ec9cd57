// A snapshot whose writes fail is never reported as finished.

#include <gtest/gtest.h>

#include "base/error.h"
#include "fakes/faulty_files.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/apps/system_info.h"
#include "snapshot_builder.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::N;
using test::ReadFileBytes;
using test::TempFolder;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class SnapshotFailure : public ::testing::Test {
 protected:
  SnapshotFailure() = default;
  std::u16string Path() { return dir_ / u"snapshot001.snp"; }
  std::string Line(const char* operation, int code) {
    return std::string("Cannot ") + operation + " file\n[" + N(Path()) + "] [error:" + std::to_string(code) + "]";
  }

  TempFolder dir_;
  test::FaultyFiles files_;
};

TEST_F(SnapshotFailure, FailingWriteMakesFinishFailWithItsLine) {
  CXError recorder;  // the chain the console and the log will see
  CXSnapshotWriter writer;
  writer.SetParent(&recorder, true);
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  const std::string payload(40, 's');
  EXPECT_EQ(writer.AddSection(kSectionFiles, u"c:\\", 1, U8(payload), 40), 20u);
  files_.fail_from_write = files_.writes + 1;  // the disk is full from now on
  EXPECT_EQ(writer.AddSection(kSectionFiles, u"d:\\", 1, U8(payload), 40), 0u);
  EXPECT_TRUE(writer.failed());
  // Later blocks are not attempted: one failure, one line.
  EXPECT_EQ(writer.WriteBlock(U8(payload), 40), 0u);
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  EXPECT_EQ(recorder.ChainText(false), Line("write(1)", 112));
  // The header was never finished: readers see an unfinished snapshot.
  const std::string bytes = ReadFileBytes(Path());
  EXPECT_EQ(bytes.substr(0, 20), "s4.1" + std::string(16, '\0'));
}

TEST_F(SnapshotFailure, FailingCompressedWriteCountsHeaderAndStoredBytes) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  files_.fail_from_write = files_.writes + 1;
  const std::string zeros(10000, '\0');
  EXPECT_EQ(writer.WriteBlock(U8(zeros), 10000), 0u);
  const std::string text = writer.ChainText(false);
  EXPECT_EQ(text.rfind("Cannot write(", 0), 0u) << text;
  EXPECT_NE(text.find("[error:112]"), std::string::npos);
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  EXPECT_EQ(writer.LineCount(), 1);
}

TEST_F(SnapshotFailure, ALargeBlockFailsAsAnyOtherBetweenItsPartsOrAtItsHeader) {
  std::string payload;
  while (payload.size() < 2u * CXSnapshotWriter::kPartSize) payload += "setup" + std::to_string(payload.size() % 9973);
  const int32_t length = static_cast<int32_t>(payload.size());
  // The disk fills after the first part; then the header cannot be rewritten.
  for (int round = 0; round < 2; ++round) {
    CXSnapshotWriter writer;
    ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
    if (round == 0) {
      files_.fail_from_write = files_.writes + 4;  // place and method byte, then two pieces of the first part
    } else {
      files_.fail_seeks = true;
    }
    EXPECT_EQ(writer.WriteBlock(U8(payload), length), 0u);
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
    const std::string text = writer.ChainText(false);
    EXPECT_EQ(writer.LineCount(), 1) << text;
    EXPECT_EQ(text.rfind(round == 0 ? "Cannot write(" : "Cannot seek(20)", 0), 0u) << text;
    EXPECT_EQ(ReadFileBytes(Path()).substr(4, 16), std::string(16, '\0'));
    files_.fail_from_write = 0;
    files_.fail_seeks = false;
  }
}

TEST_F(SnapshotFailure, FailingFinalSeekFailsTheSnapshot) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  files_.fail_seeks = true;
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  EXPECT_EQ(writer.ChainText(false), Line("seek(0)", 87));
  EXPECT_EQ(ReadFileBytes(Path()).substr(4, 16), std::string(16, '\0'));
}

TEST_F(SnapshotFailure, FailingFinalHeaderFailsTheSnapshot) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  files_.fail_writes_after_seek = true;
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  EXPECT_EQ(writer.ChainText(false), Line("write(20)", 112));
}

TEST_F(SnapshotFailure, FileThatCannotBeCreatedStoresNothing) {
  CXSnapshotWriter writer;
  const std::u16string path = dir_ / u"missing\\snapshot001.snp";
  EXPECT_EQ(writer.CreateSnapshot(path, "t", SXInfoRequest()), 0);
  EXPECT_EQ(writer.ChainText(false), "Cannot create file\n[" + N(path) + "] [error:3]");
  EXPECT_EQ(writer.WriteBlock(U8("abc"), 3), 0u);
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  EXPECT_EQ(writer.LineCount(), 1);
}

TEST_F(SnapshotFailure, ANewRecordingStartsWithoutTheOldFailure) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  files_.fail_seeks = true;
  EXPECT_EQ(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  files_.fail_seeks = false;
  writer.ChainText(true);
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  EXPECT_FALSE(writer.failed());
  const uint32_t size = writer.FinishSnapshot(2, DescribeMachine());
  EXPECT_GT(size, 20u);
  EXPECT_EQ(size, ReadFileBytes(Path()).size());
  EXPECT_EQ(writer.LineCount(), 0);
}

TEST_F(SnapshotFailure, ResetWriterClosesTheFileSoThatItCanBeDeleted) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  writer.AddSection(kSectionRegistry, u"HKEY_USERS", 1, U8("\x01\x80\x00"), 3);
  writer.ResetWriter();
  EXPECT_TRUE(writer.path().empty());
  EXPECT_TRUE(platform::FileSystem::Get().RemoveFile(Path()));
  EXPECT_FALSE(test::FileExists(Path()));
}

}  // namespace
}  // namespace orvalinth
