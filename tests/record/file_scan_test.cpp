// The file system job over real folders made by the tests (and made-up
// ones where a real tree would be too big or cannot fail as wanted).

#include <gtest/gtest.h>

#include <map>

#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "host_links.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/reparse_points.h"
#include "record/file_scan.h"
#include "record/record_support.h"
#include "storage/exe_version.h"

namespace orvalinth {
namespace {

using test::JobRecording;
using test::N;
using test::NodeSpec;
using test::W;

bool ExeOrDll(const std::u16string& name) {
  return name.size() > 4 && (EndsWithFolded(name, u".exe") || EndsWithFolded(name, u".dll"));
}

int ReadFakeVersion(const std::u16string& path, SXExeVersion* out) {
  *out = SXExeVersion();
  out->file_version = u"1.0 " + path.substr(path.find_last_of(u'\\') + 1);
  return 1;
}

// Says that one folder is a junction to `target`; any other is no link.
class OneJunction final : public platform::ReparsePoints {
 public:
  OneJunction(std::u16string folder, std::u16string target) : folder_(std::move(folder)), target_(std::move(target)) {}
  bool ReadFolderLink(const std::u16string& path, platform::FolderLink* link) override {
    if (!EqualsFolded(path, folder_)) {
      platform::SetLastError(platform::kErrorNotAReparsePoint);
      return false;
    }
    link->kind = platform::kLinkMountPoint;
    link->target = u"\\??\\" + target_;
    link->relative = false;
    return true;
  }
  bool VolumeMountPaths(const std::u16string&, std::vector<std::u16string>*) override { return false; }

 private:
  std::u16string folder_;
  std::u16string target_;
};

// Lists the folder `name` of `folder` with the reparse-point attribute.
class ReparsePointFolder final : public platform::FileSystemWrapper {
 public:
  ReparsePointFolder(std::u16string folder, std::u16string name)
      : FileSystemWrapper(platform::FileSystem::Real()), pattern_(std::move(folder) + u"*.*"), name_(std::move(name)) {}
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    std::unique_ptr<platform::FindHandle> search = target().FindFirst(pattern, first);
    if (search == nullptr || !EqualsFolded(pattern, pattern_)) return search;
    Mark(first);
    return std::make_unique<Marking>(std::move(search), this);
  }

 private:
  class Marking final : public platform::FindHandle {
   public:
    Marking(std::unique_ptr<platform::FindHandle> inner, ReparsePointFolder* owner)
        : inner_(std::move(inner)), owner_(owner) {}
    bool Next(platform::FindData* entry) override {
      if (!inner_->Next(entry)) return false;
      owner_->Mark(entry);
      return true;
    }

   private:
    std::unique_ptr<platform::FindHandle> inner_;
    ReparsePointFolder* owner_;
  };
  void Mark(platform::FindData* entry) const {
    if (entry->name == name_) entry->attributes |= platform::kAttrReparsePoint;
  }

  std::u16string pattern_;
  std::u16string name_;
};

void Make(const std::u16string& path, const std::string& bytes) { test::WriteFileBytes(path, bytes); }
void MakeFolder(const std::u16string& path) { ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(path)); }

class FileScanTest : public ::testing::Test {
 protected:
  // Runs one file job over `roots` and reads the snapshot back.
  void Record(std::vector<std::u16string> roots, bool (*has_version_info_extension)(const std::u16string&) = nullptr) {
    recording_.request().MakeExclusionSet(kScanFiles);
    ASSERT_TRUE(recording_.Begin());
    recording_.writer().version_table().set_reader(&ReadFakeVersion);
    CXFileScan job(recording_.writer(), recording_.request(), std::move(roots), has_version_info_extension);
    job.set_listing(listing_thread_, piece_entries_);
    ASSERT_EQ(job.StartJob(recording_.writer(), kScanFiles), 1);
    ASSERT_TRUE(recording_.Await());
    ASSERT_TRUE(recording_.Finish());
  }
  const int32_t* FileCounters() const { return recording_.image().info.progress[kScanFiles]; }

  JobRecording recording_;
  bool listing_thread_ = true;
  int32_t piece_entries_ = CXFolderLister::kPieceEntries;
};

// A tree of every kind of entry: nested folders, a folder of 250 files, a
// folder link, a folder that cannot be listed, an excluded folder, and files
// with and without version information.
class FileTreeTest : public FileScanTest {
 protected:
  void SetUp() override {
    base_ = tmp_.path();
    MakeFolder(base_ + u"a");
    MakeFolder(base_ + u"a\\b");
    Make(base_ + u"a\\b\\deep.txt", "hello");
    MakeFolder(base_ + u"a\\many");
    for (int i = 0; i < 250; ++i) Make(base_ + W(Format("a\\many\\f%03d.txt", i)), std::string(i % 7, 'x'));
    MakeFolder(base_ + u"Excluded");
    Make(base_ + u"Excluded\\x.txt", "x");
    MakeFolder(base_ + u"locked");
    Make(base_ + u"locked\\y.txt", "y");
    Make(base_ + u"setup.exe", "MZ");
    Make(base_ + u"lib.dll", "MZ1");
    Make(base_ + u"readme.txt", "read");
    Make(base_ + u"exe", "e");
    ASSERT_TRUE(tmp_.Link(tmp_.host_path() + "a", "link"));
  }

  // The recorded folder of the tree: z:\ -> tmp -> orvalinth-links-...
  const NodeSpec* Tree(const NodeSpec& section) {
    return test::FindNode(section, {u"tmp", base_.substr(7, base_.size() - 8)});
  }

  test::HostTmpFolder tmp_;
  std::u16string base_;
};

TEST_F(FileTreeTest, RecordsTheTreeWithErrorsLinksAndCounters) {
  test::FaultyFiles locked;  // closed to the service's account (the tests run as root)
  locked.locked_folder = base_ + u"locked";
  recording_.request().exclude[kScanFiles].push_back(u"-" + base_ + u"excluded\\");
  recording_.request().version_info = true;
  Record({base_}, &ExeOrDll);

  ASSERT_EQ(recording_.SectionNames(kScanFiles), std::vector<std::u16string>{u"z:\\"});
  const NodeSpec section = recording_.Section(kScanFiles, 0);
  EXPECT_EQ(section.name, u"z:");  // a drive root node reads without its "\"
  const NodeSpec* tree = Tree(section);
  ASSERT_NE(tree, nullptr) << test::DumpTree(section, false);

  // Versions are numbered in the order the folder lists the files.
  std::map<std::u16string, int32_t> versions;
  for (const test::FileSpec& file : tree->files) versions[file.name] = file.version_index;
  ASSERT_EQ(recording_.image().versions.size(), 2u);
  EXPECT_EQ(recording_.image().versions[static_cast<size_t>(versions[u"setup.exe"])].file_version, u"1.0 setup.exe");
  EXPECT_EQ(recording_.image().versions[static_cast<size_t>(versions[u"lib.dll"])].file_version, u"1.0 lib.dll");
  const std::string setup = Format("setup.exe:2#%d", versions[u"setup.exe"]);
  const std::string lib = Format("lib.dll:3#%d", versions[u"lib.dll"]);

  std::string many = "  many";
  for (int i = 0; i < 250; ++i) many += Format(" f%03d.txt:%d", i, i % 7);
  // Under Wine a host link is a reparse point whose target cannot be read:
  // it stays a node without link and without contents, and is not entered.
  const std::string link = test::running_under_wine() ? " link\n" : " link link=2>" + N(base_) + "a\n";
  const std::string expected = N(tree->name) + " exe:1 " + lib + " readme.txt:4 " + setup + "\n" +
                               " a\n"
                               "  b deep.txt:5\n" +
                               many + "\n" + link + " locked error=5\n";
  EXPECT_EQ(test::DumpTree(*tree), expected);

  // Folders entered: the target, a, b, many and locked; the link and the
  // excluded folder are not. Files: 250 + 1 + 4.
  EXPECT_EQ(FileCounters()[0], 5);
  EXPECT_EQ(FileCounters()[1], 255);
}

TEST_F(FileTreeTest, TheSectionIsTheSameByteForByteHoweverTheTreeIsListed) {
  test::FaultyFiles locked;
  locked.locked_folder = base_ + u"locked";
  recording_.request().exclude[kScanFiles].push_back(u"-" + base_ + u"excluded\\");
  recording_.request().version_info = true;
  // On the job's thread; on the lister's in pieces of one entry, so that its
  // queue fills and the walk waits for piece after piece; in whole pieces.
  const struct {
    bool thread;
    int32_t piece_entries;
  } ways[] = {{false, CXFolderLister::kPieceEntries}, {true, 1}, {true, CXFolderLister::kPieceEntries}};
  std::string blocks[3];
  std::string trees[3];
  for (int i = 0; i < 3; ++i) {
    listing_thread_ = ways[i].thread;
    piece_entries_ = ways[i].piece_entries;
    Record({base_}, &ExeOrDll);
    blocks[i] = recording_.SectionBlock(kScanFiles, 0);
    trees[i] = test::DumpTree(recording_.Section(kScanFiles, 0));
    EXPECT_EQ(FileCounters()[1], 255) << i;
    EXPECT_EQ(trees[i], trees[0]) << i;
    EXPECT_TRUE(blocks[i] == blocks[0]) << i << ": " << blocks[i].size() << " bytes against " << blocks[0].size();
  }
  EXPECT_GT(blocks[0].size(), 100u);
}

TEST_F(FileTreeTest, FilesKeepWhatTheFileSystemReports) {
  Record({base_});
  const NodeSpec section = recording_.Section(kScanFiles, 0);
  const NodeSpec* tree = Tree(section);
  ASSERT_NE(tree, nullptr);
  platform::FindData entry;
  ASSERT_NE(platform::FileSystem::Get().FindFirst(base_ + u"readme.txt", &entry), nullptr);
  const test::FileSpec* readme = nullptr;
  for (const test::FileSpec& file : tree->files) {
    if (file.name == u"readme.txt") readme = &file;
  }
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->last_write, entry.last_write);
  EXPECT_EQ(readme->attributes, static_cast<uint16_t>(entry.attributes));
  EXPECT_EQ(readme->version_index, -1);  // versions off
  const NodeSpec* a = test::FindNode(*tree, {u"a"});
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a->attributes & platform::kAttrDirectory, 0);
  // Nothing excluded now.
  EXPECT_NE(test::FindNode(*tree, {u"Excluded"}), nullptr);
  EXPECT_EQ(FileCounters()[0], 6);
  EXPECT_EQ(FileCounters()[1], 257);
}

TEST_F(FileTreeTest, AJunctionIsALinkOfType3AndIsNotEntered) {
  OneJunction junction(base_ + u"a", u"C:\\Elsewhere");
  platform::ScopedFacility<platform::ReparsePoints> use(junction);
  // "a" is a plain folder to the file system: make it look like a reparse point.
  ReparsePointFolder files(base_, u"a");
  platform::ScopedFacility<platform::FileSystem> use_files(files);
  Record({base_});
  const NodeSpec section = recording_.Section(kScanFiles, 0);
  const NodeSpec* tree = Tree(section);
  ASSERT_NE(tree, nullptr);
  const NodeSpec* a = test::FindNode(*tree, {u"a"});
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->link_type, 3);
  EXPECT_EQ(a->link_target, u"C:\\Elsewhere");
  EXPECT_TRUE(a->children.empty());
  EXPECT_TRUE(a->files.empty());
  EXPECT_EQ(FileCounters()[1], 6);  // setup.exe, lib.dll, readme.txt, exe, x.txt, y.txt
}

}  // namespace
}  // namespace orvalinth
