// A snapshot whose writes fail is never reported as finished.

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/files.h"
#include "snapshot_builder.h"
#include "storage/error.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using testing::N;
using testing::ReadFileBytes;
using testing::TempFolder;

// Files whose writes fail from a chosen write on, or once the file was sought.
class FailingFiles final : public platform::FileSystemWrapper {
 public:
  FailingFiles() : FileSystemWrapper(platform::Files::Real()) {}
  int fail_from_write = 0;          // 1-based number of the first failing write; 0 for none
  bool fail_seeks = false;
  bool fail_writes_after_seek = false;
  int writes = 0;

  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override {
    auto inner = target().Open(path, mode);
    if (inner == nullptr) return nullptr;
    return std::make_unique<Faulty>(std::move(inner), *this);
  }

 private:
  class Faulty final : public platform::File {
   public:
    Faulty(std::unique_ptr<platform::File> inner, FailingFiles& owner) : inner_(std::move(inner)), owner_(owner) {}
    bool Read(void* b, uint32_t n, uint32_t* got) override { return inner_->Read(b, n, got); }
    bool Write(const void* b, uint32_t n, uint32_t* w) override {
      ++owner_.writes;
      if ((owner_.fail_from_write != 0 && owner_.writes >= owner_.fail_from_write) ||
          (owner_.fail_writes_after_seek && sought_)) {
        platform::SetLastError(platform::kErrorDiskFull);
        *w = 0;
        return false;
      }
      return inner_->Write(b, n, w);
    }
    bool Seek(int64_t offset) override {
      sought_ = true;
      if (owner_.fail_seeks) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        return false;
      }
      return inner_->Seek(offset);
    }
    bool SeekToEnd(int64_t* p) override { return inner_->SeekToEnd(p); }
    bool Size(uint64_t* s) override { return inner_->Size(s); }
    bool Flush() override { return inner_->Flush(); }

   private:
    std::unique_ptr<platform::File> inner_;
    FailingFiles& owner_;
    bool sought_ = false;
  };
};

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class SnapshotFailure : public ::testing::Test {
 protected:
  SnapshotFailure() : use_(files_) {}
  std::u16string Path() { return dir_ / u"snapshot001.snp"; }
  std::string Line(const char* operation, int code) {
    return std::string("Cannot ") + operation + " file\n[" + N(Path()) + "] [error:" + std::to_string(code) + "]";
  }

  TempFolder dir_;
  FailingFiles files_;
  platform::ScopedFacility<platform::FileSystem> use_;
};

TEST_F(SnapshotFailure, FailingWriteMakesFinishFailWithItsLine) {
  CXError recorder;  // the chain the console and the log will see
  CXSnapshotWriter writer;
  writer.SetParent(&recorder, true);
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  const std::string payload(40, 's');
  EXPECT_EQ(writer.AddSection(kSectionFiles, u"c:\\", 1, U8(payload), 40), 20u);
  files_.fail_from_write = files_.writes + 1;  // the disk is full from now on
  EXPECT_EQ(writer.AddSection(kSectionFiles, u"d:\\", 1, U8(payload), 40), 0u);
  EXPECT_TRUE(writer.failed());
  // Later blocks are not attempted: one failure, one line.
  EXPECT_EQ(writer.WriteBlock(U8(payload), 40), 0u);
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  EXPECT_EQ(recorder.ChainText(false), Line("write(1)", 112));
  // The header was never finished: readers see an unfinished snapshot.
  const std::string bytes = ReadFileBytes(Path());
  EXPECT_EQ(bytes.substr(0, 20), "s4.1" + std::string(16, '\0'));
}

TEST_F(SnapshotFailure, FailingCompressedWriteCountsHeaderAndStoredBytes) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  files_.fail_from_write = files_.writes + 1;
  const std::string zeros(10000, '\0');
  EXPECT_EQ(writer.WriteBlock(U8(zeros), 10000), 0u);
  const std::string text = writer.ChainText(false);
  EXPECT_EQ(text.rfind("Cannot write(", 0), 0u) << text;
  EXPECT_NE(text.find("[error:112]"), std::string::npos);
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  EXPECT_EQ(writer.LineCount(), 1);
}

TEST_F(SnapshotFailure, ALargeBlockFailsAsAnyOtherBetweenItsPartsOrAtItsHeader) {
  std::string payload;
  while (payload.size() < 2u * CXSnapshotWriter::kPartSize) payload += "setup" + std::to_string(payload.size() % 9973);
  const int32_t length = static_cast<int32_t>(payload.size());
  // The disk fills after the first part; then the header cannot be rewritten.
  for (int round = 0; round < 2; ++round) {
    CXSnapshotWriter writer;
    ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
    if (round == 0) {
      files_.fail_from_write = files_.writes + 4;  // place and method byte, then two pieces of the first part
    } else {
      files_.fail_seeks = true;
    }
    EXPECT_EQ(writer.WriteBlock(U8(payload), length), 0u);
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(writer.FinishSnapshot(1), 0u);
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
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  files_.fail_seeks = true;
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  EXPECT_EQ(writer.ChainText(false), Line("seek(0)", 87));
  EXPECT_EQ(ReadFileBytes(Path()).substr(4, 16), std::string(16, '\0'));
}

TEST_F(SnapshotFailure, FailingFinalHeaderFailsTheSnapshot) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  files_.fail_writes_after_seek = true;
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  EXPECT_EQ(writer.ChainText(false), Line("write(20)", 112));
}

TEST_F(SnapshotFailure, FileThatCannotBeCreatedStoresNothing) {
  CXSnapshotWriter writer;
  const std::u16string path = dir_ / u"missing\\snapshot001.snp";
  EXPECT_EQ(writer.CreateSnapshot(path, "t", CXScanRequest()), 0);
  EXPECT_EQ(writer.ChainText(false), "Cannot create file\n[" + N(path) + "] [error:3]");
  EXPECT_EQ(writer.WriteBlock(U8("abc"), 3), 0u);
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  EXPECT_EQ(writer.LineCount(), 1);
}

TEST_F(SnapshotFailure, ANewRecordingStartsWithoutTheOldFailure) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  files_.fail_seeks = true;
  EXPECT_EQ(writer.FinishSnapshot(1), 0u);
  files_.fail_seeks = false;
  writer.ChainText(true);
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  EXPECT_FALSE(writer.failed());
  const uint32_t size = writer.FinishSnapshot(2);
  EXPECT_GT(size, 20u);
  EXPECT_EQ(size, ReadFileBytes(Path()).size());
  EXPECT_EQ(writer.LineCount(), 0);
}

TEST_F(SnapshotFailure, ResetWriterClosesTheFileSoThatItCanBeDeleted) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", CXScanRequest()), 1);
  writer.AddSection(kSectionRegistry, u"HKEY_USERS", 1, U8("\x01\x80\x00"), 3);
  writer.ResetWriter();
  EXPECT_TRUE(writer.path().empty());
  EXPECT_TRUE(platform::Files::Get().RemoveFile(Path()));
  EXPECT_FALSE(testing::FileExists(Path()));
}

}  // namespace
}  // namespace orvalinth
