// The file system job's roots, walk down to the targets, depth limit, stop
// and batched counting.

#include <gtest/gtest.h>

#include <fstream>

#include "base/strings.h"
#include "fakes/wait_until.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/volumes.h"
#include "record/file_scan.h"
#include "record/record_support.h"
#ifndef _WIN32
#include "platform/posix/drive_table.h"
#endif

namespace orvalinth {
namespace {

using test::JobRecording;
using test::N;
using test::NodeSpec;

TEST(CountBatch, AddsInBatchesAndTheRestAtTheEnd) {
  CXSerializedAccessInt counter(0);
  CXCountBatch batch(counter, CXFileScan::kFileBatch);
  std::vector<int32_t> seen;
  for (int i = 1; i <= 250; ++i) {
    batch.Count();
    if (i == 99 || i == 100 || i == 199 || i == 200 || i == 250) seen.push_back(counter.Get());
  }
  batch.Flush();
  seen.push_back(counter.Get());
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 100, 100, 200, 200, 250}));
  batch.Flush();  // nothing left
  EXPECT_EQ(counter.Get(), 250);
}

TEST(SectionWalk, OrderRootsSortsAndDropsCoveredRoots) {
  struct Case {
    std::vector<std::u16string> roots;
    std::vector<std::u16string> ordered;
  };
  const Case cases[] = {
      {{u"c:\\Windows\\", u"c:\\Users\\"}, {u"c:\\Users\\", u"c:\\Windows\\"}},
      {{u"d:\\x\\", u"c:\\b\\", u"c:\\a\\"}, {u"c:\\a\\", u"c:\\b\\", u"d:\\x\\"}},
      // Below or equal to an earlier root: recorded by that root's scan already.
      {{u"c:\\a\\b\\", u"c:\\a\\", u"C:\\A\\"}, {u"c:\\a\\"}},
      {{u"c:\\", u"c:\\Windows\\"}, {u"c:\\"}},
      // A common start that is not a whole folder is no cover.
      {{u"c:\\ab\\", u"c:\\a\\"}, {u"c:\\a\\", u"c:\\ab\\"}},
      {{u"c:\\a b\\", u"c:\\a\\x\\", u"c:\\a\\"}, {u"c:\\a b\\", u"c:\\a\\"}},
      // The five root keys keep the order of a full registry scan.
      {{u"HKEY_USERS\\", u"HKEY_LOCAL_MACHINE\\", u"HKEY_CURRENT_USER\\", u"HKEY_CURRENT_CONFIG\\",
        u"HKEY_CLASSES_ROOT\\"},
       {u"HKEY_CLASSES_ROOT\\", u"HKEY_CURRENT_CONFIG\\", u"HKEY_CURRENT_USER\\", u"HKEY_LOCAL_MACHINE\\",
        u"HKEY_USERS\\"}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> roots = c.roots;
    CXSectionWalk::OrderRoots(&roots);
    EXPECT_EQ(roots, c.ordered) << N(c.roots.front());
  }
  EXPECT_EQ(CXSectionWalk::RootPartLength(u"c:\\Windows\\"), 3u);
  EXPECT_EQ(CXSectionWalk::RootPartLength(u"*"), 1u);
}

// The threads of this process now (-1 where that cannot be read).
int ThreadsNow() {
#ifdef _WIN32
  return -1;
#else
  std::ifstream status("/proc/self/status");
  std::string key;
  int threads = -1;
  while (status >> key) {
    if (key == "Threads:") status >> threads;
  }
  return threads;
#endif
}

class FileWalkTest : public ::testing::Test {
 protected:
  void Record(std::vector<std::u16string> roots) {
    recording_.request().MakeExclusionSet(kScanFiles);
    ASSERT_TRUE(recording_.Begin());
    CXFileScan job(recording_.writer(), recording_.request(), std::move(roots), nullptr);
    ASSERT_EQ(job.StartJob(recording_.writer(), kScanFiles), 1);
    ASSERT_TRUE(recording_.Await());
    ASSERT_TRUE(recording_.Finish());
  }
  const int32_t* FileCounters() const { return recording_.image().info.progress[kScanFiles]; }

  JobRecording recording_;
};

TEST_F(FileWalkTest, FoldersDeeperThanTheTablesAreRecordedWithoutContents) {
  test::MadeUpTreeFileSystem tree(u"Q:", 1, 1);
  platform::ScopedFacility<platform::FileSystem> use(tree);
  Record({u"Q:\\"});
  const NodeSpec section = recording_.Section(kScanFiles, 0);
  EXPECT_EQ(section.name, u"q:");  // a drive root node reads without its "\"
  // Depth 0 is the drive; every level holds d0 and f0.txt down to depth
  // 1,023, whose folder is searched but recorded empty.
  const NodeSpec* node = &section;
  int depth = 0;
  while (!node->children.empty()) {
    ASSERT_EQ(node->children.size(), 1u);
    ASSERT_EQ(node->files.size(), 1u) << depth;
    node = &node->children[0];
    ++depth;
  }
  EXPECT_EQ(depth, CXSectionWalk::kMaxDepth - 1);
  EXPECT_TRUE(node->files.empty());
  EXPECT_EQ(node->error, 0);
  EXPECT_EQ(FileCounters()[0], 1024);
  EXPECT_EQ(FileCounters()[1], 1023);
}

TEST_F(FileWalkTest, ATargetDeeperThanTheLimitIsCutThereWithTheErrorOfTooLongAName) {
  test::MadeUpTreeFileSystem tree(u"Q:\\deep", 1, 0);
  platform::ScopedFacility<platform::FileSystem> use(tree);
  std::u16string target = u"Q:\\deep\\";
  for (int i = 1; i < 4000; ++i) target += u"D0\\";  // 4,000 components
  Record({target});
  // The names as the file system keeps them down to the deepest node there
  // can be (depth 1,023), which carries 206; nothing below it is looked up.
  const NodeSpec section = recording_.Section(kScanFiles, 0);
  const NodeSpec* node = &section;
  int depth = 0;
  while (!node->children.empty()) {
    ASSERT_EQ(node->children.size(), 1u);
    node = &node->children[0];
    ++depth;
    ASSERT_EQ(node->name, depth == 1 ? u"deep" : u"d0");
    if (depth < CXSectionWalk::kMaxDepth - 1) {
      EXPECT_EQ(node->error, 0);
    }
  }
  EXPECT_EQ(depth, CXSectionWalk::kMaxDepth - 1);
  EXPECT_EQ(node->error, static_cast<int32_t>(platform::kErrorFilenameTooLong));
  EXPECT_LE(tree.searches(), CXSectionWalk::kMaxDepth - 1);
  EXPECT_EQ(FileCounters()[0], 0);
}

TEST_F(FileWalkTest, AStopEndsTheWalkAtItsNextEntry) {
  // Ten folders and ten files in every folder, endlessly: only a stop ends it.
  test::MadeUpTreeFileSystem tree(u"Q:\\endless", 10, 10);
  platform::ScopedFacility<platform::FileSystem> use(tree);
  recording_.request().MakeExclusionSet(kScanFiles);
  ASSERT_TRUE(recording_.Begin());
  const int threads = ThreadsNow();
  CXFileScan job(recording_.writer(), recording_.request(), {u"Q:\\endless\\"}, nullptr);
  job.set_stop_wait(3000, 1);
  ASSERT_EQ(job.StartJob(recording_.writer(), kScanFiles), 1);
  ASSERT_TRUE(test::WaitUntil([&] { return tree.searches() >= 50; }));
  EXPECT_EQ(job.StopJob(true), 1);
  EXPECT_FALSE(job.terminated());
  EXPECT_EQ(recording_.writer().running_jobs().Get(), 0);
  // Neither the job's thread nor its lister's is left (the job's may still be on its way out).
  EXPECT_TRUE(test::WaitUntil([&] { return ThreadsNow() == threads; })) << ThreadsNow() << " against " << threads;
  // Nothing of the abandoned section was stored.
  ASSERT_TRUE(recording_.Finish());
  EXPECT_TRUE(recording_.image().tables[kScanFiles].empty());
}

#ifndef _WIN32
// Drives of the host build are folders of the test, through the drive table.
class FileDrivesTest : public FileWalkTest {
 protected:
  void TearDown() override { platform::posix::ResetDrives(); }

  // Maps `letter` onto a fresh folder of the test; its Windows-form path.
  std::u16string MapDrive(char letter, uint32_t type) {
    folders_.push_back(std::make_unique<test::TempFolder>());
    const std::u16string path = folders_.back()->path();
    platform::posix::SetDrive(letter, platform::posix::ToHostPath(path), type);
    return path;
  }

  std::vector<std::unique_ptr<test::TempFolder>> folders_;
};

TEST_F(FileDrivesTest, TargetsOnOneDriveShareOneSection) {
  const std::u16string c = MapDrive('c', platform::kDriveFixed);
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Windows"));
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Windows\\System32"));
  test::WriteFileBytes(c + u"Windows\\win.ini", "[fonts]");
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Users"));
  test::WriteFileBytes(c + u"Users\\ntuser.dat", "12");
  test::WriteFileBytes(c + u"pagefile.sys", "not scanned");
  Record({u"C:\\Windows\\", u"C:\\Users\\"});
  ASSERT_EQ(recording_.SectionNames(kScanFiles), std::vector<std::u16string>{u"c:\\"});
  // Node names as the file system stores them, sorted; the drive's own
  // files are not targets.
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanFiles, 0)),
            "c:\n"
            " Users ntuser.dat:2\n"
            " Windows win.ini:7\n"
            "  System32\n");
  EXPECT_EQ(FileCounters()[0], 3);
  EXPECT_EQ(FileCounters()[1], 2);
}

TEST_F(FileDrivesTest, AMissingTargetIsANodeWithItsErrorAndNoContents) {
  const std::u16string c = MapDrive('c', platform::kDriveFixed);
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"There"));
  Record({u"C:\\There\\Gone\\", u"C:\\Missing\\"});
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanFiles, 0)),
            "c:\n"
            " missing error=2\n"
            " There\n"
            "  gone error=2\n");
  EXPECT_EQ(FileCounters()[0], 2);  // each target counts as entered
}

TEST_F(FileDrivesTest, TheDriveRootIsScannedIntoTheSectionsRootNode) {
  const std::u16string c = MapDrive('c', platform::kDriveFixed);
  test::WriteFileBytes(c + u"boot.ini", "123");
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Temp"));
  Record({u"C:\\", u"C:\\Temp\\"});
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanFiles, 0)),
            "c: boot.ini:3\n"
            " Temp\n");
  EXPECT_EQ(FileCounters()[0], 2);
}

// A machine with a floppy, a hard disk and a CD drive.
class ThreeDrives final : public platform::Volumes {
 public:
  uint32_t LogicalDrives() override { return (1u << 0) | (1u << 2) | (1u << 3); }
  uint32_t DriveType(char letter) override {
    switch (letter) {
      case 'a': return platform::kDriveRemovable;
      case 'c': return platform::kDriveFixed;
      case 'd': return platform::kDriveCdRom;
      default: return platform::kDriveNoRootDir;
    }
  }
};

TEST_F(FileDrivesTest, AFullScanTakesFixedDrivesOrAllWithRemovableOnes) {
  ThreeDrives drives;
  platform::ScopedFacility<platform::Volumes> use(drives);
  CXScanRequest request;
  request.full = true;
  EXPECT_EQ(CXFileScan::JobRoots(request), std::vector<std::u16string>{u"c:\\"});
  request.removable_drives = true;
  EXPECT_EQ(CXFileScan::JobRoots(request), (std::vector<std::u16string>{u"a:\\", u"c:\\", u"d:\\"}));
  // An include list of "*" alone is a job over everything as well.
  request.full = false;
  request.include[kScanFiles] = {u"*"};
  EXPECT_EQ(CXFileScan::JobRoots(request).size(), 3u);

  MapDrive('a', platform::kDriveRemovable);
  MapDrive('c', platform::kDriveFixed);
  const std::u16string d = MapDrive('d', platform::kDriveCdRom);
  test::WriteFileBytes(d + u"autorun.inf", "[autorun]");
  recording_.request().full = true;
  recording_.request().removable_drives = true;
  Record(CXFileScan::JobRoots(recording_.request()));
  EXPECT_EQ(recording_.SectionNames(kScanFiles), (std::vector<std::u16string>{u"a:\\", u"c:\\", u"d:\\"}));
  const std::vector<uint32_t> offsets = recording_.BlockOffsets(kScanFiles);
  EXPECT_TRUE(offsets[0] < offsets[1] && offsets[1] < offsets[2]);  // stored in drive order
  EXPECT_EQ(test::DumpTree(recording_.Section(kScanFiles, 2)), "d: autorun.inf:9\n");
  EXPECT_EQ(FileCounters()[0], 3);
}

TEST_F(FileDrivesTest, StoredNamePathTakesTheNamesTheFileSystemKeeps) {
  const std::u16string c = MapDrive('c', platform::kDriveFixed);
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Program Files"));
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(c + u"Program Files\\Vendor"));
  struct Case {
    const char16_t* root;
    const char16_t* stored;
  };
  const Case cases[] = {
      {u"C:\\PROGRAM FILES\\vendor\\", u"c:\\Program Files\\Vendor\\"},
      {u"C:\\Program Files\\Vendor\\Missing\\", u"c:\\Program Files\\Vendor\\missing\\"},
      {u"C:\\Gone\\Program Files\\", u"c:\\gone\\program files\\"},
      {u"C:\\\\Program Files\\\\", u"c:\\Program Files\\"},
      {u"C:\\Program*\\", u"c:\\program*\\"},
      {u"C:\\", u"c:\\"},
  };
  for (const Case& k : cases) EXPECT_EQ(N(CXFileScan::StoredNamePath(k.root)), N(k.stored)) << N(k.root);
}
#endif  // _WIN32

}  // namespace
}  // namespace orvalinth
