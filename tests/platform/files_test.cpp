#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/errors.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::FindData;
using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

platform::FileSystem& Fs() { return platform::FileSystem::Get(); }

std::set<std::u16string> Names(const std::u16string& pattern) {
  std::set<std::u16string> names;
  FindData entry;
  if (auto search = Fs().FindFirst(pattern, &entry)) {
    do {
      names.insert(entry.name);
    } while (search->Next(&entry));
    EXPECT_EQ(platform::LastError(), platform::kErrorNoMoreFiles);
  }
  return names;
}

TEST(Files, SearchWithWildcards) {
  TempFolder dir;
  ASSERT_TRUE(Fs().CreateFolder(dir / u"Windows"));
  ASSERT_TRUE(Fs().CreateFolder(dir / u"WindowsApps"));
  WriteFileBytes(dir / u"notes.txt", "x");
  WriteFileBytes(dir / u"Windows.old", "y");
  using S = std::set<std::u16string>;
  EXPECT_EQ(Names(dir / u"*.*"), (S{u".", u"..", u"Windows", u"WindowsApps", u"notes.txt", u"Windows.old"}));
  EXPECT_EQ(Names(dir / u"Windows*.*"), (S{u"Windows", u"WindowsApps", u"Windows.old"}));
  EXPECT_EQ(Names(dir / u"*.TXT"), (S{u"notes.txt"}));
  EXPECT_EQ(Names(dir / u"notes.tx?"), (S{u"notes.txt"}));
  // A folder written in another case is searched all the same.
  WriteFileBytes(dir / u"Windows\\a.dll", "z");
  EXPECT_EQ(Names(dir / u"WINDOWS\\*.*"), (S{u".", u"..", u"a.dll"}));
  EXPECT_EQ(Names(dir / u"wINDOWS\\a.*"), (S{u"a.dll"}));
}

TEST(Files, SearchForOneNameGivesTheStoredName) {
  TempFolder dir;
  ASSERT_TRUE(Fs().CreateFolder(dir / u"MixedCase"));
  FindData entry;
  auto search = Fs().FindFirst(dir / u"mixedcase", &entry);
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(entry.name, u"MixedCase");
  EXPECT_NE(entry.attributes & platform::kAttrDirectory, 0u);
  EXPECT_FALSE(search->Next(&entry));
}

TEST(Files, SearchFailures) {
  TempFolder dir;
  FindData entry;
  EXPECT_EQ(Fs().FindFirst(dir / u"absent", &entry), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(Fs().FindFirst(dir / u"no-folder\\*.*", &entry), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorPathNotFound);
}

TEST(Files, EntryDescribesFiles) {
  TempFolder dir;
  WriteFileBytes(dir / u"data.bin", std::string(70000, 'z'));
  FindData entry;
  auto search = Fs().FindFirst(dir / u"data.bin", &entry);
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(entry.size, 70000u);
  EXPECT_EQ(entry.attributes & platform::kAttrDirectory, 0u);
  EXPECT_NE(entry.attributes & platform::kAttrArchive, 0u);
  // Written a moment ago: a FILETIME after 2020-01-01.
  EXPECT_GT(entry.last_write, 132223104000000000LL);
}

TEST(Files, AttributesAndErrorCodes) {
  TempFolder dir;
  WriteFileBytes(dir / u"f", "1");
  EXPECT_NE(Fs().Attributes(dir / u"f"), platform::kInvalidAttributes);
  EXPECT_NE(Fs().Attributes(dir.path()) & platform::kAttrDirectory, 0u);
  EXPECT_EQ(Fs().Attributes(dir / u"gone"), platform::kInvalidAttributes);
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(Fs().Attributes(dir / u"gone\\deeper"), platform::kInvalidAttributes);
  EXPECT_EQ(platform::LastError(), platform::kErrorPathNotFound);

  EXPECT_FALSE(Fs().RemoveFile(dir / u"gone"));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);

  ASSERT_TRUE(Fs().CreateFolder(dir / u"sub"));
  EXPECT_FALSE(Fs().CreateFolder(dir / u"sub"));
  EXPECT_EQ(platform::LastError(), platform::kErrorAlreadyExists);
  WriteFileBytes(dir / u"sub\\x", "");
  EXPECT_FALSE(Fs().RemoveFolder(dir / u"sub"));
  EXPECT_EQ(platform::LastError(), platform::kErrorDirNotEmpty);
  EXPECT_TRUE(Fs().RemoveFile(dir / u"sub\\x"));
  EXPECT_TRUE(Fs().RemoveFolder(dir / u"sub"));

  // A folder is not opened as a file.
  EXPECT_EQ(Fs().Open(dir.path().substr(0, dir.path().size() - 1), platform::kOpenRead), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);
}

TEST(Files, RenameReplacesAndCopyCanRefuse) {
  TempFolder dir;
  WriteFileBytes(dir / u"a", "AAA");
  WriteFileBytes(dir / u"b", "B");
  EXPECT_TRUE(Fs().RenameFile(dir / u"a", dir / u"b"));
  EXPECT_EQ(ReadFileBytes(dir / u"b"), "AAA");
  EXPECT_FALSE(test::FileExists(dir / u"a"));

  EXPECT_TRUE(Fs().CopyFileTo(dir / u"b", dir / u"c", true));
  EXPECT_EQ(ReadFileBytes(dir / u"c"), "AAA");
  WriteFileBytes(dir / u"b", "new");
  EXPECT_FALSE(Fs().CopyFileTo(dir / u"b", dir / u"c", true));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileExists);
  EXPECT_TRUE(Fs().CopyFileTo(dir / u"b", dir / u"c", false));
  EXPECT_EQ(ReadFileBytes(dir / u"c"), "new");
}

TEST(Files, SyncFolderTakesFoldersOnly) {
  TempFolder dir;
  WriteFileBytes(dir / u"a", "A");
  EXPECT_TRUE(Fs().RenameFile(dir / u"a", dir / u"b"));
  EXPECT_TRUE(Fs().SyncFolder(dir.path().substr(0, dir.path().size() - 1)));
  EXPECT_TRUE(Fs().SyncFolder(dir.path()));
  EXPECT_FALSE(Fs().SyncFolder(dir / u"missing"));
  EXPECT_FALSE(Fs().SyncFolder(dir / u"b"));  // a file
}

TEST(Files, AppendingWritesLandAtTheEndWhoeverWroteBefore) {
  // Two writers of one log, each positioned at the end before the other wrote.
  TempFolder dir;
  const std::u16string log = dir / u"log";
  WriteFileBytes(log, "one\n");
  auto first = Fs().Open(log, platform::kOpenWrite | platform::kOpenAppend);
  auto second = Fs().Open(log, platform::kOpenWrite | platform::kOpenAppend);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  int64_t at = 0;
  ASSERT_TRUE(first->SeekToEnd(&at));
  ASSERT_TRUE(second->SeekToEnd(&at));
  EXPECT_EQ(at, 4);
  uint32_t written = 0;
  EXPECT_TRUE(second->Write("two\n", 4, &written));
  EXPECT_TRUE(first->Write("three\n", 6, &written));
  first.reset();
  second.reset();
  EXPECT_EQ(ReadFileBytes(log), "one\ntwo\nthree\n");
}

TEST(Files, TempFolderEndsWithABackslash) {
  const std::u16string temp = Fs().TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), u'\\');
}

}  // namespace
}  // namespace orvalinth
