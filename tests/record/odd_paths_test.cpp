// Folders deeper than 260 characters, and names that the ordinary Windows
// path rules misread (a trailing dot or space, device names such as CON and
// NUL), in a tree the test makes: recorded as they are, browsed, and the
// scan goes on past them. Under Wine this is the real Windows behaviour.

#include <gtest/gtest.h>

#include <set>

#include "link/browse.h"
#include "platform/files.h"
#include "record/file_scan.h"
#include "record/record_support.h"
#include "base/strings.h"

namespace orvalinth {
namespace {

using test::N;
using test::NodeSpec;

std::set<std::u16string> FileNames(const NodeSpec& node) {
  std::set<std::u16string> names;
  for (const test::FileSpec& f : node.files) names.insert(f.name);
  return names;
}

std::set<std::u16string> FolderNames(const NodeSpec& node) {
  std::set<std::u16string> names;
  for (const NodeSpec& child : node.children) names.insert(child.name);
  return names;
}

class OddPaths : public ::testing::Test {
 protected:
  OddPaths() {
    platform::FileSystem& fs = platform::FileSystem::Get();
    deep_ = dir_.path();
    for (int i = 0; i < 11; ++i) {
      deep_ += u"Folder with a longish name " + Widen(Format("%02d", i));
      EXPECT_TRUE(fs.CreateFolder(deep_)) << N(deep_);
      deep_ += u"\\";
    }
    EXPECT_GT(deep_.size(), 300u);
    for (const char16_t* name : {u"CON", u"nul.txt", u"name.", u"name ", u"plain.txt"}) {
      test::WriteFileBytes(deep_ + name, "12345");
    }
    for (const char16_t* name : {u"dir.", u"AUX", u"space "}) {
      EXPECT_TRUE(fs.CreateFolder(deep_ + name)) << N(name);
      test::WriteFileBytes(deep_ + name + u"\\inner.txt", "1");
    }
  }

  test::TempFolder dir_;
  std::u16string deep_;
};

const std::set<std::u16string> kFiles = {u"CON", u"nul.txt", u"name.", u"name ", u"plain.txt"};
const std::set<std::u16string> kFolders = {u"dir.", u"AUX", u"space "};

TEST_F(OddPaths, TheDeepFolderAndItsOddNamesAreRecordedAsTheyAre) {
  // The folder above the chain, whose walk reaches the deep folder; and the
  // deep folder itself as the target.
  struct Case {
    std::u16string target;
    int32_t folders;  // entered: the target, the chain below it, the three odd folders
  };
  for (const Case& c : {Case{dir_.path(), 1 + 11 + 3}, Case{deep_, 1 + 3}}) {
    test::JobRecording recording;
    recording.request().MakeExclusionSet(kScanFiles);
    ASSERT_TRUE(recording.Begin());
    {
      CXFileScan job(recording.writer(), recording.request(), {c.target}, nullptr);
      ASSERT_EQ(job.StartJob(recording.writer(), kScanFiles), 1);
      ASSERT_TRUE(recording.Await());
    }
    ASSERT_TRUE(recording.Finish());
    const NodeSpec section = recording.Section(kScanFiles, 0);
    std::vector<std::u16string> path;
    const std::u16string folder = CXFileScan::StoredNamePath(deep_);
    for (size_t at = folder.find(u'\\') + 1; at < folder.size();) {
      const size_t end = folder.find(u'\\', at);
      path.push_back(folder.substr(at, end - at));
      at = end + 1;
    }
    const NodeSpec* node = test::FindNode(section, path);
    ASSERT_NE(node, nullptr) << test::DumpTree(section, false);
    EXPECT_EQ(node->error, 0);
    EXPECT_EQ(FileNames(*node), kFiles);
    EXPECT_EQ(FolderNames(*node), kFolders);
    for (const NodeSpec& child : node->children) {
      EXPECT_EQ(child.error, 0) << N(child.name);
      EXPECT_EQ(FileNames(child), std::set<std::u16string>{u"inner.txt"}) << N(child.name);
    }
    for (const test::FileSpec& f : node->files) EXPECT_EQ(f.size, 5u) << N(f.name);
    EXPECT_EQ(recording.image().info.progress[kScanFiles][0], c.folders) << N(c.target);
  }
}

TEST_F(OddPaths, TheDeepFolderIsBrowsedWithItsOddNames) {
  std::vector<std::u16string> listing;
  ListSubfolders(deep_, &listing);
  EXPECT_EQ(std::set<std::u16string>(listing.begin(), listing.end()),
            (std::set<std::u16string>{u"0dir.", u"0AUX", u"0space "}));
  // Each odd folder is searched as itself: one file inside, no subfolder.
  for (const std::u16string& name : kFolders) {
    platform::FindData entry;
    auto search = platform::FileSystem::Get().FindFirst(deep_ + name + u"\\*.*", &entry);
    ASSERT_NE(search, nullptr) << N(name);
    std::set<std::u16string> names;
    do {
      names.insert(entry.name);
    } while (search->Next(&entry));
    EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u"inner.txt"})) << N(name);
  }
  EXPECT_EQ(test::ReadFileBytes(deep_ + u"CON"), "12345");
  EXPECT_NE(platform::FileSystem::Get().Attributes(deep_ + u"name."), platform::kInvalidAttributes);
}

}  // namespace
}  // namespace orvalinth
