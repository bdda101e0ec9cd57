// The end of a recording: the info block, the version chunks, concurrent
// sections, repeatability and failing writes.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>
#include <thread>

#include "base/strings.h"
#include "fakes/fake_machine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "record/apps/system_info.h"
#include "snapshot_builder.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::N;
using test::ReadFileBytes;
using test::TempFolder;

class SnapshotFinish : public ::testing::Test {
 protected:
  SnapshotFinish() {
    machine_.machine.computer_name = "WORKSTATION-0123456789";
    machine_.machine.user_name = std::u16string(300, u'u');
  }
  std::u16string Path(const char16_t* name = u"snapshot007.snp") { return dir_ / name; }

  TempFolder dir_;
  test::DescribedMachine machine_;
};

SXExeVersion Version(int i) {
  SXExeVersion v;
  v.file_version = u"1.0." + test::W(std::to_string(i));
  v.file_version_low = i;
  return v;
}

TEST_F(SnapshotFinish, InfoBlockFieldByField) {
  test::SnapshotPlan plan;
  plan.number = 7;
  plan.title = "PC - snapshot #7";
  plan.request.Build(false, true, false, {u"HKEY_LOCAL_MACHINE\\SOFTWARE"}, {u"C:", u"-C:\\Temp"}, {});
  plan.progress[0][0] = 11;
  plan.progress[0][1] = 12;
  plan.progress[1][0] = 21;
  plan.progress[1][1] = 22;
  plan.progress[2][0] = 31;
  plan.progress[2][1] = 32;
  plan.versions = {{u"C:\\a.exe", Version(0)}, {u"C:\\b.exe", Version(1)}};
  ASSERT_GT(test::WriteSnapshot(Path(), plan), 0u);
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(ReadFileBytes(Path()), &image));
  const test::InfoImage& info = image.info;
  EXPECT_EQ(info.mark, 3);
  EXPECT_EQ(info.number, 7);
  EXPECT_EQ(info.reserved, -1);
  EXPECT_EQ(info.format_version, 0x401);
  EXPECT_EQ(info.title, "PC - snapshot #7");
  EXPECT_TRUE(std::regex_match(info.time, std::regex("[0-9 ]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}"))) << info.time;
  EXPECT_EQ(info.computer_name, "WORKSTATION-012");  // a NetBIOS name has at most 15 characters
  EXPECT_EQ(info.os_name, "Win 7 Enterprise SP1");
  EXPECT_EQ(info.os_details, "Microsoft Windows 7 Enterprise\nService Pack 1\n\n\n\n\n\n6.1");
  EXPECT_EQ(info.processor, "Test CPU");
  EXPECT_EQ(info.user_name, std::u16string(256, u'u'));
  EXPECT_EQ(info.tables_offset, 20u);  // no section: the tables block comes first
  EXPECT_EQ(info.progress[0][0], 11);
  EXPECT_EQ(info.progress[0][1], 12);
  EXPECT_EQ(info.progress[1][0], 21);
  EXPECT_EQ(info.progress[1][1], 22);
  EXPECT_EQ(info.progress[2][0], 31);
  EXPECT_EQ(info.progress[2][1], 32);
  EXPECT_EQ(info.minutes, 0);
  EXPECT_GE(info.seconds, 0);
  EXPECT_LT(info.seconds, 60);
  EXPECT_EQ(info.version_count, 2);
  EXPECT_EQ(info.versions_per_chunk, 500);
  ASSERT_EQ(info.version_chunks.size(), 1u);
  EXPECT_GT(info.version_chunks[0], info.tables_offset);
  EXPECT_LT(info.version_chunks[0], image.info_offset);
  EXPECT_EQ(info.full, 0);
  EXPECT_EQ(info.removable, 1);
  EXPECT_EQ(info.version_info, 0);
  EXPECT_EQ(info.targets[0], std::vector<std::u16string>{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\"});
  EXPECT_EQ(info.targets[1], (std::vector<std::u16string>{u"C:\\", u"-C:\\Temp\\"}));
  EXPECT_TRUE(info.targets[2].empty());
  EXPECT_EQ(info.reserved_tail, std::string(120, ' '));
  EXPECT_EQ(info.unread, 0u);
  ASSERT_EQ(image.versions.size(), 2u);
  EXPECT_TRUE(image.versions[1] == Version(1));
}

TEST_F(SnapshotFinish, ThousandAndOneVersionsMakeChunksOf500500And1) {
  test::SnapshotPlan plan;
  for (int i = 0; i < 1001; ++i) plan.versions.push_back({u"C:\\x" + test::W(std::to_string(i)), Version(i)});
  ASSERT_GT(test::WriteSnapshot(Path(), plan), 0u);
  const std::string bytes = ReadFileBytes(Path());
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));
  EXPECT_EQ(image.info.version_count, 1001);
  EXPECT_EQ(image.info.versions_per_chunk, 500);
  ASSERT_EQ(image.info.version_chunks.size(), 3u);
  size_t counts[3];
  for (int k = 0; k < 3; ++k) {
    test::StoredBlock chunk;
    ASSERT_TRUE(test::DecodeBlock(bytes, image.info.version_chunks[k], &chunk));
    CXMemReader r(reinterpret_cast<const uint8_t*>(chunk.payload.data()));
    SXDskSnapshotVersionExp record;
    counts[k] = 0;
    while (r.position() < static_cast<int32_t>(chunk.payload.size())) {
      record.Read(r);
      EXPECT_TRUE(record == Version(500 * k + static_cast<int>(counts[k])));
      ++counts[k];
    }
  }
  EXPECT_EQ(counts[0], 500u);
  EXPECT_EQ(counts[1], 500u);
  EXPECT_EQ(counts[2], 1u);
  // Full chunks are stored as they fill; the last after the tables block, before the info block.
  EXPECT_EQ(image.info.version_chunks[0], 20u);
  EXPECT_LT(image.info.version_chunks[1], image.info.tables_offset);
  EXPECT_GT(image.info.version_chunks[2], image.info.tables_offset);
  EXPECT_LT(image.info.version_chunks[2], image.info_offset);
  EXPECT_EQ(image.versions.size(), 1001u);
}

TEST_F(SnapshotFinish, FullRequestListsAStarPerKind) {
  test::SnapshotPlan plan;
  plan.request.Build(true, false, true, {}, {u"C:"}, {});
  ASSERT_GT(test::WriteSnapshot(Path(), plan), 0u);
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(ReadFileBytes(Path()), &image));
  EXPECT_EQ(image.info.full, 1);
  EXPECT_EQ(image.info.version_info, 1);
  for (const auto& list : image.info.targets) EXPECT_EQ(list, std::vector<std::u16string>{u"*"});
}

TEST_F(SnapshotFinish, JobsAddingSectionsAtOnceMakeAFileWhoseBlocksAllDecode) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  constexpr int kPerJob = 60;
  std::map<std::u16string, std::string> expected[3];
  std::vector<std::thread> jobs;
  for (int kind = 0; kind < 3; ++kind) {
    for (int i = 0; i < kPerJob; ++i) {
      std::mt19937 gen(static_cast<unsigned>(kind * 1000 + i));
      // Small, compressible and incompressible payloads of every header form.
      const size_t sizes[] = {5, 200, 3000, 17000, 70000};
      std::string payload(sizes[i % 5], '\0');
      for (size_t b = 0; b < payload.size(); ++b) payload[b] = static_cast<char>(i % 2 ? gen() & 0xFF : b % 7);
      expected[kind][u"s" + test::W(std::to_string(i))] = payload;
    }
  }
  for (int kind = 0; kind < 3; ++kind) {
    jobs.emplace_back([&writer, &expected, kind] {
      for (const auto& [name, payload] : expected[kind]) {
        writer.AddSection(kind, name, 1, reinterpret_cast<const uint8_t*>(payload.data()),
                          static_cast<int32_t>(payload.size()));
        writer.progress(kind, 1).Add(1);
      }
    });
  }
  for (auto& t : jobs) t.join();
  ASSERT_GT(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  const std::string bytes = ReadFileBytes(Path());
  std::vector<test::StoredBlock> blocks;
  ASSERT_TRUE(test::DecodeAllBlocks(bytes, &blocks));
  EXPECT_EQ(blocks.size(), 3u * kPerJob + 2);  // sections, tables block, info block
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));
  for (int kind = 0; kind < 3; ++kind) {
    ASSERT_EQ(image.tables[kind].size(), static_cast<size_t>(kPerJob));
    EXPECT_EQ(image.info.progress[kind][1], kPerJob);
    for (const SXSectionEntry& e : image.tables[kind]) {
      test::StoredBlock block;
      ASSERT_TRUE(test::DecodeBlock(bytes, e.block_offset, &block));
      EXPECT_EQ(block.payload, expected[kind][e.name]) << kind << " " << N(e.name);
    }
  }
}

// Everything but the time fields: the time text and the elapsed time.
std::string WithoutTimes(const std::string& file) {
  test::SnapshotImage image;
  if (!test::ReadSnapshotImage(file, &image)) return "unreadable";
  test::StoredBlock info;
  test::DecodeBlock(file, image.info_offset, &info);
  std::string payload = info.payload;
  const size_t time_at = 1 + 12 + 2 + image.info.title.size() + 2;
  payload.replace(time_at, image.info.time.size(), image.info.time.size(), '#');
  const size_t after_user = time_at + image.info.time.size() + 4 * 2 + image.info.computer_name.size() +
                            image.info.os_name.size() + image.info.os_details.size() + image.info.processor.size() +
                            2 + 2 * image.info.user_name.size();
  const size_t elapsed_at = after_user + 4 + 24;
  payload.replace(elapsed_at, 4, 4, '#');
  return file.substr(0, image.info_offset) + payload;
}

TEST_F(SnapshotFinish, SameInputGivesTheSameBytesButForTheTimes) {
  test::SnapshotPlan plan;
  test::NodeSpec root;
  root.name = u"HKEY_LOCAL_MACHINE";
  root.values = {test::Value(u"v", 1, test::Hex("61 00 62 00 00 00")),
                 test::Value(u"d", 4, test::Hex("01 00 00 00"))};
  for (int i = 0; i < 200; ++i) root.children.push_back(test::Node(u"Key" + test::W(std::to_string(i))));
  plan.sections.push_back({kSectionRegistry, u"HKEY_LOCAL_MACHINE", root});
  plan.versions = {{u"C:\\a.exe", Version(3)}};
  ASSERT_GT(test::WriteSnapshot(Path(u"one.snp"), plan), 0u);
  ASSERT_GT(test::WriteSnapshot(Path(u"two.snp"), plan), 0u);
  const std::string one = ReadFileBytes(Path(u"one.snp"));
  const std::string two = ReadFileBytes(Path(u"two.snp"));
  EXPECT_EQ(test::ToHex(WithoutTimes(one)), test::ToHex(WithoutTimes(two)));
  EXPECT_NE(WithoutTimes(one), "unreadable");
}

}  // namespace
}  // namespace orvalinth
