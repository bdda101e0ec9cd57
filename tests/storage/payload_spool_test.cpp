// Section payloads streamed through a spool in parts: the block stored
// decodes to exactly the payload, compressed when that pays and raw when it
// does not, whatever the parts; the spool file goes; a spool that cannot be
// written fails the recording as any failed write does.

#include "storage/payload_spool.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fakes/faulty_files.h"
#include "platform/files.h"
#include "snapshot_builder.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

// Names and numbers as records have them, or bytes that do not compress.
std::string Payload(size_t n, bool random) {
  std::mt19937 gen(11);
  std::string s = "\x01";
  static const char* const kWords[] = {"setup", "kernel32", "readme", "System32", "api-ms-win", ".dll", ".exe"};
  while (s.size() < n) {
    if (random) {
      s.push_back(static_cast<char>(gen() & 0xFF));
    } else {
      s += kWords[gen() % 7];
      s += std::to_string(gen() % 100000);
    }
  }
  s.resize(n);
  return s;
}

class PayloadSpoolTest : public ::testing::Test {
 protected:
  ~PayloadSpoolTest() override { CXPayloadSpool::set_part_size(CXPayloadSpool::kPart); }

  std::u16string Path() const { return dir_ / u"snapshot001.snp"; }
  // Spool files left in the folder.
  int SpoolsLeft() const {
    platform::FindData entry;
    int left = 0;
    for (auto search = platform::FileSystem::Get().FindFirst(dir_ / u"*.part", &entry); search != nullptr;) {
      ++left;
      if (!search->Next(&entry)) break;
    }
    return left;
  }
  // Writes `bytes` into a streamed payload in pieces of 1 to `piece` bytes
  // and stores it as a section; the section's block, read back. AddSection's
  // result in *added.
  test::StoredBlock Store(int32_t part, const std::string& bytes, size_t piece, uint32_t* added = nullptr,
                          std::string* chain = nullptr) {
    CXPayloadSpool::set_part_size(part);
    CXSnapshotWriter writer;
    EXPECT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
    CXMemWriter payload;
    CXPayloadSpool spool(writer);
    spool.Attach(payload);
    std::mt19937 gen(3);
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min(bytes.size() - at, 1 + gen() % piece);
      payload.WriteBytes(bytes.data() + at, static_cast<int32_t>(n));
      at += n;
    }
    EXPECT_EQ(payload.position(), static_cast<int32_t>(bytes.size()));
    const uint32_t offset = writer.AddSection(kSectionRegistry, u"HKEY_X", 1, payload, &spool);
    if (added != nullptr) *added = offset;
    if (chain != nullptr) *chain = writer.ChainText(false);
    test::StoredBlock block;
    if (offset == 0 || writer.FinishSnapshot(1, SXMachineDescription()) == 0) return block;
    EXPECT_TRUE(test::DecodeBlock(test::ReadFileBytes(Path()), offset, &block));
    return block;
  }

  test::TempFolder dir_;
};

TEST_F(PayloadSpoolTest, AStreamedPayloadIsStoredAsOneBlockOfExactlyItsBytes) {
  struct Case {
    int32_t part;
    size_t length;
    bool random;
    size_t piece;  // the longest write
    bool compressed;
  } const cases[] = {
      {64, 200000, false, 50, true},      // many parts, writes across their ends
      {4096, 300000, false, 300, true},
      {4096, 60000, false, 60000, true},  // one write longer than many parts
      {4096, 100000, true, 300, false},   // does not pay: raw
      {64, 9000, false, 50, true},        // streamed, yet short
      {CXPayloadSpool::kPart, 1500000, false, 4000, true},
  };
  for (const Case& c : cases) {
    const std::string bytes = Payload(c.length, c.random);
    const test::StoredBlock block = Store(c.part, bytes, c.piece);
    EXPECT_TRUE(block.payload == bytes) << "part " << c.part << " length " << c.length;
    EXPECT_EQ(block.compressed, c.compressed) << "part " << c.part << " length " << c.length;
    EXPECT_EQ(SpoolsLeft(), 0);
  }
}

TEST_F(PayloadSpoolTest, ASpoolThatCannotBeWrittenFailsTheSection) {
  const std::string bytes = Payload(100000, false);
  for (int write = 1; write <= 3; ++write) {
    test::FaultyFiles files(u".part", platform::kOpenCreate);
    files.fail_from_write = write;
    uint32_t added = 1;
    std::string chain;
    Store(4096, bytes, 300, &added, &chain);
    EXPECT_EQ(added, 0u) << "write " << write;
    EXPECT_NE(chain.find(".part] [error:112]"), std::string::npos) << chain;
    EXPECT_GE(files.writes.load(), write);
    EXPECT_EQ(SpoolsLeft(), 0);
  }
}

}  // namespace
}  // namespace orvalinth
