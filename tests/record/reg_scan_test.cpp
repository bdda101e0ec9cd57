// The registry job: on keys of the test's own (the emulated registry on the
// host build, the prefix's real registry under Wine), and over whole roots.

#include <gtest/gtest.h>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "record/record_support.h"
#include "record/reg_scan.h"
#include "registry_scratch.h"
#ifndef _WIN32
#include "platform/posix/registry_emulation.h"
#endif

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using test::N;
using test::NodeSpec;
using test::ScratchKey;

class RegScanTest : public ::testing::Test {
 protected:
  // Runs one registry job over `roots` and reads the snapshot back.
  void Record(std::vector<std::u16string> roots) {
    recording_.request().MakeExclusionSet(kScanRegistry);
    ASSERT_TRUE(recording_.Begin());
    CXRegScan job(recording_.writer());
    ASSERT_EQ(job.Start(recording_.request(), std::move(roots)), 1);
    ASSERT_TRUE(recording_.Await());
    ASSERT_TRUE(recording_.Finish());
  }
  const int32_t* Counters() const { return recording_.image().info.progress[kScanRegistry]; }

  static void SetValue(platform::RegistryKey& key, const std::u16string& name, uint32_t type,
                       const std::string& data) {
    ASSERT_EQ(key.SetValue(name, type, data), platform::kErrorSuccess);
  }

  test::JobRecording recording_;
};

TEST_F(RegScanTest, RecordsKeysValuesLinksAndExclusions) {
  ScratchKey scratch;
  platform::RegistryKey& key = scratch.key();
  // Folded, "_" (0x5F) lies between "Z" (0x5A) and "a" (0x61).
  SetValue(key, u"Zeta", platform::kRegDword, platform::RegDwordData(7));
  SetValue(key, u"alpha", platform::kRegSz, platform::RegSzData(u"first"));
  SetValue(key, u"_mid", platform::kRegBinary, std::string("\x01\x02", 2));
  ASSERT_TRUE(scratch.Create(u"Keep\\Inner"));
  ASSERT_TRUE(scratch.Create(u"Skip\\Hidden"));
  ASSERT_TRUE(scratch.CreateLink(u"Link", u"\\Registry\\Machine\\Software"));
  {
    std::unique_ptr<platform::RegistryKey> inner;
    ASSERT_EQ(key.OpenSubKey(u"Keep\\Inner", platform::kRegOptionNone, platform::kRegWrite | platform::kRegRead,
                             &inner),
              platform::kErrorSuccess);
    SetValue(*inner, u"", platform::kRegSz, platform::RegSzData(u"default"));
  }
  // Given in lower case: the nodes carry the names as the registry keeps them.
  const std::u16string target = FoldedAZ(u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\");
  recording_.request().include[kScanRegistry] = {target};
  recording_.request().exclude[kScanRegistry] = {u"-" + target + u"skip\\"};
  Record({target});

  ASSERT_EQ(recording_.SectionNames(kScanRegistry), std::vector<std::u16string>{u"HKEY_CURRENT_USER"});
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  const NodeSpec* scanned = test::FindNode(section, {u"Software", u"OrvalinthTest"});
  ASSERT_NE(scanned, nullptr) << test::DumpTree(section, false);
  EXPECT_EQ(N(section.children[0].name), "Software");
  EXPECT_EQ(N(section.children[0].children[0].name), "OrvalinthTest");
  ASSERT_EQ(scanned->children.size(), 1u);
  const NodeSpec& mine = scanned->children[0];
  EXPECT_EQ(test::DumpTree(mine),
            N(mine.name) + " _mid:3 alpha:1 Zeta:4\n" +
                " Keep\n"
                "  Inner :1\n"
                " Link link=1>\\Registry\\Machine\\Software\n");
  EXPECT_EQ(mine.values[1].data, "first");
  // Keys: the target, Keep, Link and Skip (excluded, but enumerated), Inner.
  EXPECT_EQ(Counters()[0], 5);
  EXPECT_EQ(Counters()[1], 4);
}

TEST_F(RegScanTest, AKeyWithoutValuesHasNoValueRun) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"Empty"));
  Record({u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\"});
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  const NodeSpec* empty = test::FindNode(section, {u"Software", u"OrvalinthTest", scratch.path().substr(23), u"Empty"});
  ASSERT_NE(empty, nullptr) << test::DumpTree(section, false);
  EXPECT_TRUE(empty->values.empty());
  EXPECT_TRUE(empty->children.empty());
  EXPECT_EQ(empty->error, 0);
  EXPECT_EQ(Counters()[1], 0);
}

TEST_F(RegScanTest, AMissingTargetIsANodeWithTheOpensError) {
  ScratchKey scratch;
  Record({u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Missing\\", u"HKEY_NOWHERE\\Key\\"});
  EXPECT_EQ(recording_.SectionNames(kScanRegistry),
            (std::vector<std::u16string>{u"HKEY_CURRENT_USER", u"HKEY_NOWHERE"}));
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  const NodeSpec* missing = test::FindNode(section, {u"Software", u"OrvalinthTest", scratch.path().substr(23), u"Missing"});
  ASSERT_NE(missing, nullptr) << test::DumpTree(section, false);
  EXPECT_EQ(missing->error, 2);
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanRegistry, 1)), "HKEY_NOWHERE\n Key error=2\n");
  EXPECT_EQ(Counters()[0], 0);
}

TEST_F(RegScanTest, AKeyThatOpensButCannotBeReadIsRecordedWithoutAnError) {
#ifdef _WIN32
  // Under Wine the performance-data key of the prefix opens, then answers 6
  // to every query and enumeration.
  ASSERT_TRUE(test::running_under_wine());
  const std::vector<std::u16string> path = {u"Software", u"Microsoft", u"Windows NT", u"CurrentVersion", u"Perflib",
                                            u"009"};
  Record({u"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009\\"});
#else
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"Unreadable\\Below"));
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(scratch.key().OpenSubKey(u"Unreadable", 0, platform::kRegWrite, &key), platform::kErrorSuccess);
  SetValue(*key, u"v", platform::kRegDword, platform::RegDwordData(1));
  ASSERT_TRUE(platform::posix::SetRegistryKeyUnreadable(scratch.root(), scratch.path() + u"\\Unreadable", true));
  const std::vector<std::u16string> path = {u"Software", u"OrvalinthTest", scratch.path().substr(23), u"Unreadable"};
  Record({u"HKEY_CURRENT_USER\\" + scratch.path() + u"\\Unreadable\\"});
#endif
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  const NodeSpec* node = test::FindNode(section, path);
  ASSERT_NE(node, nullptr) << test::DumpTree(section, false);
  EXPECT_EQ(node->error, 0) << "an error on a key says it could not be opened";
  EXPECT_TRUE(node->values.empty());
  EXPECT_TRUE(node->children.empty());
}

TEST_F(RegScanTest, AWholeRootIsOneSection) {
  // Under Wine this is the prefix's whole HKEY_CURRENT_USER.
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"Probe"));
  Record({u"hkey_current_user\\"});
  ASSERT_EQ(recording_.SectionNames(kScanRegistry), std::vector<std::u16string>{u"HKEY_CURRENT_USER"});
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  EXPECT_NE(test::FindNode(section, {u"Software", u"OrvalinthTest", scratch.path().substr(23), u"Probe"}), nullptr);
  EXPECT_GE(Counters()[0], 5);
}

TEST_F(RegScanTest, JobRootsForAFullScanAreTheFiveRoots) {
  CXScanRequest request;
  request.full = true;
  EXPECT_EQ(CXRegScan::JobRoots(request),
            (std::vector<std::u16string>{u"HKEY_CLASSES_ROOT\\", u"HKEY_CURRENT_CONFIG\\", u"HKEY_CURRENT_USER\\",
                                         u"HKEY_LOCAL_MACHINE\\", u"HKEY_USERS\\"}));
  request.full = false;
  request.include[kScanRegistry] = {u"*", u"HKEY_USERS\\x\\"};
  EXPECT_EQ(CXRegScan::JobRoots(request), std::vector<std::u16string>{u"HKEY_USERS\\x\\"});
  request.include[kScanRegistry].clear();
  EXPECT_TRUE(CXRegScan::JobRoots(request).empty());
}

#ifndef _WIN32
// On the emulated registry, which the tests fill entirely.
class EmulatedRegScanTest : public RegScanTest {
 protected:
  void SetUp() override { platform::posix::ResetRegistry(); }
  void TearDown() override { platform::posix::ResetRegistryToHost(); }
};

TEST_F(EmulatedRegScanTest, AFullScanStoresTheFiveRootsInOrder) {
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kLocalMachine, u"SOFTWARE\\Classes\\.txt", 0, &key),
            0u);
  SetValue(*key, u"", platform::kRegSz, platform::RegSzData(u"txtfile"));
  recording_.request().full = true;
  Record(CXRegScan::JobRoots(recording_.request()));
  EXPECT_EQ(recording_.SectionNames(kScanRegistry),
            (std::vector<std::u16string>{u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_CONFIG", u"HKEY_CURRENT_USER",
                                         u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"}));
  const std::vector<uint32_t> offsets = recording_.BlockOffsets(kScanRegistry);
  for (size_t i = 1; i < offsets.size(); ++i) EXPECT_LT(offsets[i - 1], offsets[i]);
  // HKEY_CLASSES_ROOT shows HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanRegistry, 0)), "HKEY_CLASSES_ROOT\n .txt :1\n");
}

TEST_F(EmulatedRegScanTest, ALowerCaseTargetLeadsThroughTheStoredNames) {
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kLocalMachine, u"SOFTWARE\\Classes\\.txt", 0, &key),
            0u);
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kLocalMachine, u"SOFTWARE\\Vendor", 0, &key), 0u);
  const std::u16string target = u"hkey_local_machine\\software\\classes\\";
  EXPECT_EQ(N(CXRegScan::StoredKeyPath(target)), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\");
  EXPECT_EQ(N(CXRegScan::StoredKeyPath(u"hkey_local_machine\\software\\gone\\x\\")),
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\gone\\x\\");
  Record({target});
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanRegistry, 0)),
            "HKEY_LOCAL_MACHINE\n"
            " SOFTWARE\n"
            "  Classes\n"
            "   .txt\n");
  EXPECT_EQ(Counters()[0], 2);  // Classes and .txt
}

TEST_F(EmulatedRegScanTest, KeysBeyondTheDepthLimitKeepTheirValuesButNoSubkeys) {
  // HKEY_USERS\k\k\...: the key at depth 1,023 below the root has a value
  // and a subkey, of which only the value is recorded.
  std::u16string path = u"k";
  for (int i = 2; i <= CXSectionWalk::kMaxDepth; ++i) path += u"\\k";
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_EQ(platform::Registry::Get().CreateKey(RegistryRoot::kUsers, path, 0, &key), 0u);
  const std::u16string deepest = path.substr(0, path.size() - 2);
  ASSERT_EQ(platform::Registry::Get().OpenKey(RegistryRoot::kUsers, deepest, 0, platform::kRegWrite, &key), 0u);
  SetValue(*key, u"v", platform::kRegDword, platform::RegDwordData(1));
  Record({u"HKEY_USERS\\"});
  const NodeSpec section = recording_.Section(kScanRegistry, 0);
  const NodeSpec* node = &section;
  int depth = 0;
  while (const NodeSpec* below = test::FindNode(*node, {u"k"})) {
    EXPECT_TRUE(node == &section || node->children.size() == 1u) << depth;
    node = below;
    ++depth;
  }
  EXPECT_EQ(depth, CXSectionWalk::kMaxDepth - 1);
  EXPECT_EQ(N(node->name), "k");
  EXPECT_TRUE(node->children.empty());
  ASSERT_EQ(node->values.size(), 1u);
  EXPECT_EQ(N(node->values[0].name), "v");
}
#endif  // _WIN32

}  // namespace
}  // namespace orvalinth
