// A tree recorded with its sections streamed in small parts and recorded
// with them held whole: every decompressed payload is the same, byte for
// byte (the files of a folder listed out of name order included), and no
// spool file is left.

#include <gtest/gtest.h>

#include <random>

#include "base/strings.h"
#include "platform/registry.h"
#include "record/file_scan.h"
#include "record/record_support.h"
#include "record/reg_scan.h"
#include "registry_scratch.h"
#include "storage/payload_spool.h"

namespace orvalinth {
namespace {

class StreamedSections : public ::testing::Test {
 protected:
  ~StreamedSections() override { CXPayloadSpool::set_part_size(CXPayloadSpool::kPart); }

  // The payloads of `kind` of one recording of `roots`, its sections
  // streamed in parts of `part` bytes.
  template <class Job>
  std::vector<std::string> Record(int32_t part, int32_t kind, const std::vector<std::u16string>& roots) {
    CXPayloadSpool::set_part_size(part);
    test::JobRecording recording;
    recording.request().include[kind] = roots;
    recording.request().MakeExclusionSet(kind);
    EXPECT_TRUE(recording.Begin());
    Start<Job>(recording, roots);
    EXPECT_TRUE(recording.Await());
    EXPECT_TRUE(recording.Finish());
    return recording.SectionPayloads(kind);
  }
  template <class Job>
  void Start(test::JobRecording& recording, const std::vector<std::u16string>& roots);
  // Recorded both ways; the payloads are long enough to stream.
  template <class Job>
  void ExpectTheSamePayloads(int32_t kind, const std::vector<std::u16string>& roots) {
    const std::vector<std::string> whole = Record<Job>(INT32_MAX, kind, roots);
    ASSERT_FALSE(whole.empty());
    size_t longest = 0;
    for (const std::string& p : whole) longest = std::max(longest, p.size());
    EXPECT_GT(longest, 20u * 1024) << "too short to stream in many parts";
    for (int32_t part : {100, 4096}) EXPECT_TRUE(Record<Job>(part, kind, roots) == whole) << "part " << part;
  }

  std::unique_ptr<CXScanThread> job_;
};

template <>
void StreamedSections::Start<CXFileScan>(test::JobRecording& recording, const std::vector<std::u16string>& roots) {
  auto job = std::make_unique<CXFileScan>(recording.writer(), recording.request(), roots, nullptr);
  ASSERT_EQ(job->StartJob(recording.writer(), kScanFiles), 1);
  job_ = std::move(job);
}

template <>
void StreamedSections::Start<CXRegScan>(test::JobRecording& recording, const std::vector<std::u16string>& roots) {
  auto job = std::make_unique<CXRegScan>(recording.writer());
  ASSERT_EQ(job->Start(recording.request(), roots), 1);
  job_ = std::move(job);
}

TEST_F(StreamedSections, AFileTreeGivesTheSamePayloads) {
  test::TempFolder tree;
  std::mt19937 gen(5);
  for (int folder = 0; folder < 20; ++folder) {
    const std::u16string sub = tree / Widen("folder" + std::to_string(gen() % 100000));
    ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(sub));
    for (int file = 0; file < 20; ++file) test::WriteFileBytes(sub + u"\\f" + Widen(std::to_string(gen())), "x");
  }
  // Made in another order than the names': on most file systems listed so too.
  for (int file = 0; file < 1000; ++file) test::WriteFileBytes(tree / Widen("w" + std::to_string(gen()) + ".txt"), "yz");
  ExpectTheSamePayloads<CXFileScan>(kScanFiles, {tree.path() + u"\\"});
}

TEST_F(StreamedSections, ARegistryTreeGivesTheSamePayloads) {
  test::ScratchKey scratch;
  for (int key = 0; key < 40; ++key) {
    const std::u16string name = u"k" + Widen(std::to_string(key * 7919 % 1000));
    ASSERT_TRUE(scratch.Create(name + u"\\inner"));
    std::unique_ptr<platform::RegistryKey> opened;
    ASSERT_EQ(scratch.key().OpenSubKey(name, 0, platform::kRegWrite, &opened), platform::kErrorSuccess);
    for (int value = 0; value < 25; ++value) {
      ASSERT_EQ(opened->SetValue(u"value" + Widen(std::to_string(value)), platform::kRegSz,
                                 platform::RegSzData(u"data of value " + Widen(std::to_string(value)))),
                platform::kErrorSuccess);
    }
  }
  ExpectTheSamePayloads<CXRegScan>(kScanRegistry, {u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\"});
}

}  // namespace
}  // namespace orvalinth
