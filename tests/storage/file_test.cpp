#include "storage/file.h"

#include <gtest/gtest.h>

#include "fakes/faulty_files.h"
#include "platform/errors.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::FileExists;
using test::N;
using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

TEST(FileAccess, MissingFileWithMode1RecordsOneOpenLineAndStaysClosed) {
  TempFolder dir;
  CXFileErr file;
  const std::u16string path = dir / u"missing.ini";
  EXPECT_EQ(file.OpenFile(path, platform::kOpenRead), 0);
  EXPECT_EQ(file.IsOpen(), 0);
  EXPECT_EQ(file.LineCount(), 1);
  EXPECT_EQ(file.ChainText(false), "Cannot open file\n[" + N(path) + "] [error:2]");
}

TEST(FileAccess, MissingFolderGivesError3) {
  TempFolder dir;
  CXFileErr file;
  const std::u16string path = dir / u"no-such-folder\\x.txt";
  EXPECT_EQ(file.OpenFile(path, platform::kOpenRead), 0);
  EXPECT_EQ(file.ChainText(false), "Cannot open file\n[" + N(path) + "] [error:3]");
}

TEST(FileAccess, VerbsByMode) {
  TempFolder dir;
  struct Case {
    unsigned mode;
    const char* verb;
  } cases[] = {{1, "open"}, {3, "update"}, {2, "create"}, {4, "create"}, {6, "create"}, {9, "open"}};
  for (const Case& c : cases) {
    CXFileErr file;
    // A path inside a missing folder fails for every mode.
    EXPECT_EQ(file.OpenFile(dir / u"none\\f", c.mode), 0) << c.mode;
    EXPECT_EQ(file.ChainText(false).rfind(std::string("Cannot ") + c.verb + " file\n[", 0), 0u) << c.mode;
  }
}

TEST(FileAccess, Mode3OnAMissingFileSaysCannotUpdate) {
  TempFolder dir;
  CXFileErr file;
  EXPECT_EQ(file.OpenFile(dir / u"absent", 3), 0);
  EXPECT_EQ(file.ChainText(false).rfind("Cannot update file\n[", 0), 0u);
  EXPECT_FALSE(FileExists(dir / u"absent"));
}

TEST(FileAccess, NoModeBitsFail) {
  TempFolder dir;
  WriteFileBytes(dir / u"f", "x");
  CXFile file;
  EXPECT_EQ(file.OpenFile(dir / u"f", 0), 0);
}

TEST(FileAccess, Mode6EmptiesAnExistingFile) {
  TempFolder dir;
  WriteFileBytes(dir / u"snap", "old contents");
  CXFileErr file;
  ASSERT_EQ(file.OpenFile(dir / u"snap", 6), 1);
  EXPECT_EQ(file.GetSize(), 0u);
  EXPECT_EQ(file.WriteAll("new", 3), 1);
  EXPECT_EQ(file.Seek(0), 1);
  char back[8] = {};
  EXPECT_EQ(file.ReadBytes(back, 8), 3);  // opened for reading too
  EXPECT_EQ(std::string(back, 3), "new");
  file.Close();
  EXPECT_EQ(ReadFileBytes(dir / u"snap"), "new");
}

TEST(FileAccess, Mode2CreatesOrKeepsContents) {
  TempFolder dir;
  CXFile file;
  ASSERT_EQ(file.OpenFile(dir / u"w", 2), 1);
  EXPECT_EQ(file.WriteAll("abcdef", 6), 1);
  file.Close();
  ASSERT_EQ(file.OpenFile(dir / u"w", 2), 1);
  EXPECT_EQ(file.WriteAll("XY", 2), 1);  // position 0, contents kept behind
  file.Close();
  EXPECT_EQ(ReadFileBytes(dir / u"w"), "XYcdef");
}

TEST(FileAccess, Mode3UpdatesInPlace) {
  TempFolder dir;
  WriteFileBytes(dir / u"u", "0123456789");
  CXFileErr file;
  ASSERT_EQ(file.OpenFile(dir / u"u", 3), 1);
  EXPECT_EQ(file.Seek(4), 1);
  EXPECT_EQ(file.WriteAll("ab", 2), 1);
  EXPECT_EQ(file.GetSize(), 10u);
  file.Close();
  EXPECT_EQ(ReadFileBytes(dir / u"u"), "0123ab6789");
}

TEST(FileAccess, ReadOfZeroBytesIsNoFailure) {
  TempFolder dir;
  WriteFileBytes(dir / u"r", "abc");
  CXFileErr file;
  ASSERT_EQ(file.OpenFile(dir / u"r", 1), 1);
  char c;
  EXPECT_EQ(file.ReadBytes(&c, 0), 0);
  EXPECT_EQ(file.LineCount(), 0);
  char buffer[10];
  EXPECT_EQ(file.ReadBytes(buffer, 10), 3);
  EXPECT_EQ(file.ReadBytes(buffer, 10), 0);  // end of file
  EXPECT_EQ(file.LineCount(), 0);
}

TEST(FileAccess, WriteOnAReadOnlyFileRecordsWriteN) {
  TempFolder dir;
  WriteFileBytes(dir / u"ro", "abc");
  CXFileErr file;
  ASSERT_EQ(file.OpenFile(dir / u"ro", 1), 1);
  EXPECT_EQ(file.WriteAll("xyz", 3), 0);
  const std::string text = file.ChainText(false);
  EXPECT_EQ(text.rfind("Cannot write(3) file\n[" + N(dir / u"ro") + "] [error:", 0), 0u) << text;
  EXPECT_EQ(file.WriteAll("", 0), 1);  // nothing to write is no failure
  EXPECT_EQ(file.LineCount(), 1);
}

TEST(FileAccess, FailedReadAndSeekRecordTheirOperation) {
  TempFolder dir;
  WriteFileBytes(dir / u"f", "abc");
  test::FaultyFiles failing;
  CXFileErr file;
  ASSERT_EQ(file.OpenFile(dir / u"f", 1), 1);
  failing.fail_reads_after = 0;
  failing.fail_seeks = true;
  char buffer[100];
  EXPECT_EQ(file.ReadBytes(buffer, 100), -1);
  EXPECT_EQ(file.Seek(1234), 0);
  EXPECT_EQ(file.ChainText(false), "Cannot read(100) file\n[" + N(dir / u"f") + "] [error:31]\n" +
                                       "Cannot seek(1234) file\n[" + N(dir / u"f") + "] [error:87]");
}

TEST(FileAccess, NarrowPathOpensTheSameFile) {
  TempFolder dir;
  WriteFileBytes(dir / u"n.txt", "hello");
  CXFile file;
  ASSERT_EQ(file.OpenFile(N(dir / u"n.txt"), 1), 1);
  EXPECT_EQ(file.GetSize(), 5u);
}

}  // namespace
}  // namespace orvalinth
