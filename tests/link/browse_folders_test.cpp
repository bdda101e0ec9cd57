// Browsing drives and folders: real folders of both builds, and prepared
// searches, link data and volumes where the machine cannot give them.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "base/strings.h"
#include "host_links.h"
#include "link/browse.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/reparse_points.h"
#include "platform/volumes.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::FindData;
using test::TempFolder;
using test::WriteFileBytes;
using Listing = std::vector<std::u16string>;

const std::u16string kArrow = u" \u25BA ";

Listing Sorted(Listing listing) {
  std::sort(listing.begin(), listing.end());
  return listing;
}

Listing Subfolders(const std::u16string& path) {
  Listing listing{u"left over"};
  ListSubfolders(path, &listing);
  return listing;
}

class FakeVolumes final : public platform::Volumes {
 public:
  explicit FakeVolumes(std::map<char, uint32_t> drives) : drives_(std::move(drives)) {}
  uint32_t LogicalDrives() override {
    uint32_t mask = 0;
    for (const auto& drive : drives_) mask |= 1u << (drive.first - 'a');
    return mask;
  }
  uint32_t DriveType(char letter) override {
    asked_ += letter;
    auto it = drives_.find(letter);
    return it == drives_.end() ? platform::kDriveNoRootDir : it->second;
  }
  std::string asked_;

 private:
  std::map<char, uint32_t> drives_;
};

TEST(ListDrives, LetterAndFixedDiskDigitPerDrive) {
  struct Case {
    std::map<char, uint32_t> drives;
    const char* expected;
  };
  const Case cases[] = {
      {{{'a', platform::kDriveRemovable}, {'c', platform::kDriveFixed}, {'z', platform::kDriveRemote}}, "a0c1z0"},
      {{{'a', platform::kDriveRemovable}, {'c', platform::kDriveFixed}, {'d', platform::kDriveCdRom}}, "a0c1d0"},
      {{{'e', platform::kDriveRamDisk}, {'f', platform::kDriveUnknown}, {'g', platform::kDriveFixed}}, "e0f0g1"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    FakeVolumes volumes(c.drives);
    platform::ScopedFacility<platform::Volumes> use(volumes);
    EXPECT_EQ(ListDrives(), c.expected);
    // Types are asked by the lower-case letter, once per present drive.
    std::string letters;
    for (const auto& drive : c.drives) letters += drive.first;
    EXPECT_EQ(volumes.asked_, letters);
  }
}

TEST(ListSubfolders, KindsOfFoldersAndLinks) {
  test::HostTmpFolder dir;
  platform::FileSystem& fs = platform::FileSystem::Real();
  ASSERT_TRUE(fs.CreateFolder(dir / u"Leaf"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Branch"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Branch\\Sub"));
  WriteFileBytes(dir / u"notes.txt", "not a folder");
  ASSERT_TRUE(dir.Link(dir.host_path() + "Branch", "Linked"));
  ASSERT_TRUE(dir.Link("Leaf", "Relative"));
  Listing expected = {u"0Leaf", u"1Branch"};
  if (test::running_under_wine()) {
    // Wine marks a host link as a folder reparse point but cannot read where
    // it leads (FSCTL_GET_REPARSE_POINT fails with 4390): the target is empty.
    expected.push_back(u"2Linked" + kArrow);
    expected.push_back(u"2Relative" + kArrow);
  } else {
    expected.push_back(u"2Linked" + kArrow + dir.path() + u"Branch");
    expected.push_back(u"2Relative" + kArrow + dir.path() + u"Leaf");
  }
  EXPECT_EQ(Sorted(Subfolders(dir.path())), Sorted(expected));
}

TEST(ListSubfolders, ProbeCountsDotsAndStopsAfterAThousandEntries) {
  TempFolder dir;
  platform::FileSystem& fs = platform::FileSystem::Real();
  ASSERT_TRUE(fs.CreateFolder(dir / u"Probe"));
  // 998 files with "." and "..": 1000 entries, none a folder.
  for (int i = 0; i < 998; ++i) WriteFileBytes(dir / u"Probe\\" + Widen(Format("f%04d", i)), "");
  EXPECT_EQ(Subfolders(dir.path()), Listing{u"0Probe"});
  // The 1001st entry answers "has subfolders" without looking at it.
  WriteFileBytes(dir / u"Probe\\f0998", "");
  EXPECT_EQ(Subfolders(dir.path()), Listing{u"1Probe"});
}

TEST(ListSubfolders, PathWithoutFinalBackslashListsNamesWithThatBeginning) {
  TempFolder dir;
  platform::FileSystem& fs = platform::FileSystem::Real();
  ASSERT_TRUE(fs.CreateFolder(dir / u"Windows"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Windows\\System32"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"WindowsApps"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Other"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Other\\Inner"));
  WriteFileBytes(dir / u"Windows.old", "");
  // Each name is probed in the folder it was found in (dir), not below "Windows".
  EXPECT_EQ(Sorted(Subfolders(dir / u"Windows")), (Listing{u"0WindowsApps", u"1Windows"}));
  EXPECT_EQ(Subfolders(dir / u"Windows\\"), Listing{u"0System32"});
}

TEST(ListSubfolders, MissingFolderListsNothing) {
  TempFolder dir;
  EXPECT_EQ(Subfolders(dir / u"absent\\"), Listing{});
  EXPECT_EQ(Subfolders(dir.path()), Listing{});
}

// Searches for chosen patterns give prepared entries or fail with a chosen
// code; the rest goes to the real file system.
class PreparedSearches final : public platform::FileSystemWrapper {
 public:
  PreparedSearches() : FileSystemWrapper(platform::FileSystem::Real()) {}

  void Entries(const std::u16string& pattern, std::vector<FindData> entries) {
    entries_[FoldedAZ(pattern)] = std::move(entries);
  }
  void Fail(const std::u16string& pattern, uint32_t error) { errors_[FoldedAZ(pattern)] = error; }
  int served() const { return served_; }

  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, FindData* first) override {
    const std::u16string key = FoldedAZ(pattern);
    if (errors_.count(key)) {
      platform::SetLastError(errors_[key]);
      return nullptr;
    }
    auto it = entries_.find(key);
    if (it == entries_.end()) return FileSystemWrapper::FindFirst(pattern, first);
    auto search = std::make_unique<Search>(it->second, &served_);
    if (!search->Next(first)) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return nullptr;
    }
    return search;
  }

 private:
  class Search final : public platform::FindHandle {
   public:
    Search(const std::vector<FindData>& entries, int* served) : entries_(entries), served_(served) {}
    bool Next(FindData* entry) override {
      if (at_ == entries_.size()) {
        platform::SetLastError(platform::kErrorNoMoreFiles);
        return false;
      }
      *entry = entries_[at_++];
      ++*served_;
      return true;
    }

   private:
    const std::vector<FindData>& entries_;
    int* served_;
    size_t at_ = 0;
  };

  std::map<std::u16string, std::vector<FindData>> entries_;
  std::map<std::u16string, uint32_t> errors_;
  int served_ = 0;
};

FindData Folder(const std::u16string& name, uint32_t more = 0) {
  FindData entry;
  entry.name = name;
  entry.attributes = platform::kAttrDirectory | more;
  return entry;
}

FindData File(const std::u16string& name) {
  FindData entry;
  entry.name = name;
  entry.attributes = platform::kAttrArchive;
  return entry;
}

std::vector<FindData> Files(int count) {
  std::vector<FindData> entries;
  for (int i = 0; i < count; ++i) entries.push_back(File(Widen(Format("file%05d.dat", i))));
  return entries;
}

TEST(HasSubfolders, StopsAtTheFirstEntryBeyondAThousandUndecidedOnes) {
  struct Case {
    const char* what;
    std::vector<FindData> entries;
    bool expected;
    int examined;
  };
  std::vector<FindData> thousand_then_folder = Files(1000);
  thousand_then_folder.push_back(Folder(u"late"));
  std::vector<FindData> dots_then_folder = {Folder(u"."), Folder(u".."), Folder(u"sub")};
  const Case cases[] = {
      {"5000 files", Files(5000), true, 1001},
      {"1001 files", Files(1001), true, 1001},
      {"1000 files", Files(1000), false, 1000},
      {"1000 files and then a folder", thousand_then_folder, true, 1001},
      {"dots are not subfolders", {Folder(u"."), Folder(u"..")}, false, 2},
      {"a folder after the dots", dots_then_folder, true, 3},
  };
  for (const Case& c : cases) {
    PreparedSearches searches;
    searches.Entries(u"C:\\Big\\*.*", c.entries);
    platform::ScopedFacility<platform::FileSystem> use(searches);
    EXPECT_EQ(HasSubfolders(u"C:\\", u"Big"), c.expected) << c.what;
    EXPECT_EQ(searches.served(), c.examined) << c.what;
  }
}

// Link data and volumes prepared by the test.
class PreparedLinks final : public platform::ReparsePoints {
 public:
  std::map<std::u16string, platform::FolderLink> links;
  std::map<std::u16string, std::vector<std::u16string>> volumes;
  std::vector<std::u16string> volumes_asked;

  bool ReadFolderLink(const std::u16string& path, platform::FolderLink* link) override {
    auto it = links.find(path);
    if (it == links.end()) {
      platform::SetLastError(platform::kErrorNotAReparsePoint);
      return false;
    }
    *link = it->second;
    return true;
  }
  bool VolumeMountPaths(const std::u16string& volume, std::vector<std::u16string>* paths) override {
    volumes_asked.push_back(volume);
    auto it = volumes.find(volume);
    if (it == volumes.end()) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return false;
    }
    *paths = it->second;
    return true;
  }
};

TEST(ListSubfolders, TheRootOfCWithAJunction) {
  PreparedSearches searches;
  searches.Entries(u"C:\\*.*", {Folder(u"Windows"), File(u"pagefile.sys"), Folder(u"Temp2"),
                                Folder(u"Documents and Settings", platform::kAttrReparsePoint | platform::kAttrHidden)});
  searches.Entries(u"C:\\Windows\\*.*", {Folder(u"."), Folder(u".."), File(u"win.ini"), Folder(u"System32")});
  searches.Entries(u"C:\\Temp2\\*.*", {Folder(u"."), Folder(u"..")});
  PreparedLinks links;
  links.links[u"C:\\Documents and Settings"] = {platform::kLinkMountPoint, u"\\??\\C:\\Users", false};
  platform::ScopedFacility<platform::FileSystem> use_files(searches);
  platform::ScopedFacility<platform::ReparsePoints> use_links(links);

  const Listing listing = Subfolders(u"C:\\");
  ASSERT_EQ(listing, (Listing{u"1Windows", u"0Temp2", u"2Documents and Settings" + kArrow + u"C:\\Users"}));
  EXPECT_EQ(test::ToHex(EncodeUtf8(listing[2])),
            test::ToHex("2Documents and Settings" + test::Hex("20 E2 96 BA 20") + "C:\\Users"));
}

TEST(ListSubfolders, UnreadableFoldersAreLeavesAndListNothing) {
  TempFolder dir;
  ASSERT_TRUE(platform::FileSystem::Real().CreateFolder(dir / u"Locked"));
  ASSERT_TRUE(platform::FileSystem::Real().CreateFolder(dir / u"Locked\\Inside"));
  PreparedSearches searches;
  searches.Fail(dir / u"Locked\\*.*", platform::kErrorAccessDenied);
  platform::ScopedFacility<platform::FileSystem> use(searches);
  EXPECT_EQ(Subfolders(dir.path()), Listing{u"0Locked"});
  EXPECT_EQ(Subfolders(dir / u"Locked\\"), Listing{});
}

TEST(ListSubfolders, LinkWhoseTargetCannotBeReadHasAnEmptyTarget) {
  PreparedSearches searches;
  searches.Entries(u"D:\\*.*", {Folder(u"Broken", platform::kAttrReparsePoint)});
  PreparedLinks links;
  platform::ScopedFacility<platform::FileSystem> use_files(searches);
  platform::ScopedFacility<platform::ReparsePoints> use_links(links);
  EXPECT_EQ(Subfolders(u"D:\\"), Listing{u"2Broken" + kArrow});
}

TEST(ResolveFolderLink, TargetsInWindowsForm) {
  const std::u16string volume = u"Volume{5e1d2c3b-0000-0000-0000-100000000000}\\";
  struct Case {
    const char* what;
    std::u16string folder;
    platform::FolderLink link;
    std::vector<std::u16string> mount_paths;  // of `volume`; none given: unknown volume
    int kind;
    std::u16string target;
  };
  const std::vector<Case> cases = {
      {"junction", u"C:\\Documents and Settings", {2, u"\\??\\C:\\Users", false}, {}, 2, u"C:\\Users"},
      {"symbolic link", u"C:\\l", {1, u"\\??\\D:\\x", false}, {}, 1, u"D:\\x"},
      {"without prefix", u"C:\\l", {1, u"D:\\x", false}, {}, 1, u"D:\\x"},
      {"network share", u"C:\\l", {1, u"\\??\\UNC\\server\\share\\dir", false}, {}, 1, u"\\\\server\\share\\dir"},
      {"relative", u"C:\\a\\b\\l", {1, u"..\\Other\\x", false}, {}, 1, u"..\\Other\\x"},
      {"relative flag", u"C:\\a\\b\\l", {1, u"..\\Other\\.\\x", true}, {}, 1, u"C:\\a\\Other\\x"},
      {"relative to the drive", u"C:\\a\\l", {1, u"\\root\\x", true}, {}, 1, u"C:\\root\\x"},
      {"relative above the root", u"C:\\a\\l", {1, u"..\\..\\..\\x", true}, {}, 1, u"C:\\x"},
      {"relative on a share", u"\\\\s\\share\\a\\l", {1, u"..\\..\\x", true}, {}, 1, u"\\\\s\\share\\x"},
      {"volume mounted elsewhere", u"C:\\mnt\\data", {2, u"\\??\\" + volume, false},
       {u"C:\\mnt\\data\\", u"E:\\", u"C:\\other\\"}, 2, u"E:\\"},
      {"volume mounted here only", u"C:\\mnt\\data", {2, u"\\??\\" + volume, false}, {u"c:\\MNT\\data\\"}, 2,
       u"C:\\mnt\\data"},
      {"shortest first of equal length", u"C:\\m", {2, u"\\??\\" + volume, false}, {u"F:\\", u"E:\\"}, 2, u"F:\\"},
      {"unknown volume", u"C:\\m", {2, u"\\??\\" + volume, false}, {}, 2, volume},
  };
  for (const Case& c : cases) {
    PreparedLinks links;
    links.links[c.folder] = c.link;
    if (!c.mount_paths.empty()) links.volumes[u"\\\\?\\" + volume] = c.mount_paths;
    platform::ScopedFacility<platform::ReparsePoints> use(links);
    std::u16string target = u"untouched";
    EXPECT_EQ(ResolveFolderLink(c.folder, &target), c.kind) << c.what;
    EXPECT_EQ(test::N(target), test::N(c.target)) << c.what;
    const bool asks_volume = c.link.target.find(u"Volume{") != std::u16string::npos;
    EXPECT_EQ(links.volumes_asked.size(), asks_volume ? 1u : 0u) << c.what;
  }
}

TEST(ResolveFolderLink, UnreadableLinkLeavesTheTarget) {
  PreparedLinks links;
  links.links[u"C:\\odd"] = {platform::kLinkNone, u"\\??\\C:\\x", false};
  platform::ScopedFacility<platform::ReparsePoints> use(links);
  std::u16string target = u"untouched";
  EXPECT_EQ(ResolveFolderLink(u"C:\\missing", &target), 0);
  EXPECT_EQ(ResolveFolderLink(u"C:\\odd", &target), 0);
  EXPECT_EQ(target, u"untouched");
}

}  // namespace
}  // namespace orvalinth
