// The snapshot bytes of the simulated agents: a file read once, its copies
// numbered as asked and the two variants of the misbehaving agents checked
// with the untrusting reader, and the cache that shares them.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "server/sim/sim_snapshot.h"
#include "server/sim_test_support.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::sim {
namespace {

// Reads `bytes` as a snapshot file: 1 when the reader takes it.
int ReadBack(const std::string& bytes, SXReadSnapshot* snapshot, std::string* why = nullptr) {
  test::TempFolder folder;
  test::WriteFileBytes(folder / u"s.snp", bytes);
  CXSnapshotReader reader;
  const int read = reader.ReadFile(folder / u"s.snp", snapshot);
  if (why != nullptr) *why = reader.fault().message;
  return read;
}

TEST(SimSnapshot, TheFileIsReadWholeAndShared) {
  const std::string path = ::testing::TempDir() + "sim_snapshot_load.snp";
  const std::string bytes = test::SampleBytes(200000);
  std::ofstream(path, std::ios::binary) << bytes;
  std::string error;
  const SnapshotBytes loaded = LoadSnapshotFile(path, &error);
  ASSERT_NE(loaded, nullptr) << error;
  EXPECT_EQ(*loaded, bytes);
  std::remove(path.c_str());
  EXPECT_EQ(LoadSnapshotFile(path, &error), nullptr);
  EXPECT_EQ(error, "cannot open the snapshot file " + path);
}

TEST(SimSnapshot, TheCorruptVariantKeepsSizeAndHeaderButDoesNotRead) {
  const std::string real = test::RealSnapshotBytes();
  SXReadSnapshot read;
  std::string why;
  ASSERT_EQ(ReadBack(real, &read, &why), 1) << why;
  const std::string corrupt = CorruptSnapshot(real);
  EXPECT_EQ(corrupt.size(), real.size());
  EXPECT_EQ(corrupt.substr(0, 20), real.substr(0, 20));
  EXPECT_NE(corrupt, real);
  EXPECT_EQ(ReadBack(corrupt, &read), 0);
  // Too short to have blocks: every byte changes.
  EXPECT_EQ(test::ToHex(CorruptSnapshot(test::Hex("73 34 2E 31"))), test::ToHex(test::Hex("8C CB D1 CE")));
}

TEST(SimSnapshot, TheClockOffVariantCarriesAnotherFinishTimeAndStillReads) {
  const std::string real = test::RealSnapshotBytes();
  std::string before;
  std::string error;
  ASSERT_TRUE(SnapshotFinishTime(real, &before, &error)) << error;
  const std::string later = "2099-12-31 23:59";
  ASSERT_NE(before, later);
  std::string shifted;
  ASSERT_TRUE(ReplaceFinishTime(real, later, &shifted, &error)) << error;
  std::string now;
  ASSERT_TRUE(SnapshotFinishTime(shifted, &now, &error)) << error;
  EXPECT_EQ(now, later);
  // Only the info block, at the end, changed.
  SXReadSnapshot read;
  ASSERT_EQ(ReadBack(real, &read), 1);
  const uint32_t info = read.info_offset;
  EXPECT_EQ(shifted.substr(0, info), real.substr(0, info));
  std::string why;
  ASSERT_EQ(ReadBack(shifted, &read, &why), 1) << why;
  EXPECT_EQ(read.info.time, later);
  EXPECT_EQ(read.info.title, "PC-01 - snapshot #1");
}

TEST(SimSnapshot, OnlyASnapshotHasAFinishTimeToChange) {
  const struct {
    std::string bytes;
    const char* error;
  } cases[] = {
      {test::SampleBytes(100), "not a snapshot file (no \"s4.1\" header)"},
      {test::Hex("73 34 2E 31") + std::string(12, '\0') + test::Hex("FF 00 00 00"),
       "the snapshot's info block offset 255 lies outside the file"},
      {test::Hex("73 34 2E 31") + std::string(12, '\0') + test::Hex("14 00 00 00 05 01 02"),
       "the snapshot's info block runs past the end of the file"},
      {test::Hex("73 34 2E 31") + std::string(12, '\0') + test::Hex("14 00 00 00 02 03 00"),
       "the snapshot's info block is too short"},
  };
  for (const auto& c : cases) {
    std::string out;
    std::string error;
    EXPECT_FALSE(ReplaceFinishTime(c.bytes, "2099-01-01 00:00", &out, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(SimSnapshot, EachVariantOfANumberReadsAsThatNumber) {
  const std::string real = test::RealSnapshotBytes();
  CXSnapshotVariants variants(test::Shared(real), "2099-12-31 23:59");
  const struct {
    SnapshotVariant variant;
    bool reads;
    const char* time;  // when it reads; null: the file's own
  } cases[] = {
      {SnapshotVariant::kNormal, true, nullptr},
      {SnapshotVariant::kClockOff, true, "2099-12-31 23:59"},
      {SnapshotVariant::kCorrupt, false, nullptr},
  };
  SXReadSnapshot original;
  ASSERT_EQ(ReadBack(real, &original), 1);
  for (const auto& c : cases) {
    for (int32_t number : {1, 2, 300}) {
      SCOPED_TRACE(testing::Message() << static_cast<int>(c.variant) << " #" << number);
      const SnapshotBytes bytes = variants.Get(c.variant, number);
      ASSERT_NE(bytes, nullptr);
      SXReadSnapshot read;
      std::string why;
      ASSERT_EQ(ReadBack(*bytes, &read, &why), c.reads ? 1 : 0) << why;
      if (!c.reads) {
        EXPECT_EQ(bytes->size(), variants.Get(SnapshotVariant::kNormal, number)->size());
        continue;
      }
      EXPECT_EQ(read.info.number, number);
      EXPECT_EQ(read.info.time, c.time != nullptr ? c.time : original.info.time);
      EXPECT_EQ(read.info.title, original.info.title);
      // Only the info block, at the end, differs from the file.
      EXPECT_EQ(bytes->substr(0, original.info_offset), real.substr(0, original.info_offset));
    }
  }
  // The file's own number is the file itself, not a copy.
  EXPECT_EQ(variants.Get(SnapshotVariant::kNormal, 1).get(), variants.base().get());
}

TEST(SimSnapshot, VariantsAreMadeOnceSharedAndBounded) {
  CXSnapshotVariants variants(test::Shared(test::RealSnapshotBytes()), "2099-12-31 23:59", /*kept=*/3);
  const SnapshotBytes two = variants.Get(SnapshotVariant::kNormal, 2);
  // Agents on several threads asking for the same number share one copy.
  std::vector<SnapshotBytes> got(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] { got[i] = variants.Get(SnapshotVariant::kNormal, 2); });
  }
  for (std::thread& t : threads) t.join();
  for (const SnapshotBytes& g : got) EXPECT_EQ(g.get(), two.get());
  for (int32_t n = 3; n < 50; ++n) variants.Get(SnapshotVariant::kCorrupt, n);
  EXPECT_EQ(variants.cached(), 3u);
  // Evicted, made again the same; the copy still streamed stays whole.
  const SnapshotBytes again = variants.Get(SnapshotVariant::kNormal, 2);
  EXPECT_NE(again.get(), two.get());
  EXPECT_EQ(*again, *two);
}

TEST(SimSnapshot, AFileThatIsNoSnapshotIsServedAsItIsForEveryNumber) {
  const std::string bytes = test::SampleBytes(1000);
  CXSnapshotVariants variants(test::Shared(bytes), "2099-12-31 23:59");
  EXPECT_EQ(*variants.Get(SnapshotVariant::kNormal, 7), bytes);
  EXPECT_EQ(*variants.Get(SnapshotVariant::kCorrupt, 7), CorruptSnapshot(bytes));
  int32_t number = 0;
  std::string error;
  EXPECT_FALSE(SnapshotNumber(bytes, &number, &error));
  EXPECT_EQ(error, "not a snapshot file (no \"s4.1\" header)");
}

TEST(SimSnapshot, FinishTimesHaveTheWritersForm) {
  const std::string text = FinishTimeText(std::time(nullptr));
  ASSERT_EQ(text.size(), 16u) << text;
  EXPECT_EQ(text[4], '-');
  EXPECT_EQ(text[7], '-');
  EXPECT_EQ(text[10], ' ');
  EXPECT_EQ(text[13], ':');
  EXPECT_LT(text, FinishTimeText(std::time(nullptr) + kClockOffSeconds));
}

}  // namespace
}  // namespace orvalinth::sim
