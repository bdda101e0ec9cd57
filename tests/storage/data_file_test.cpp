#include "storage/data_file.h"

#include <gtest/gtest.h>

#include "storage/file_records.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

struct F {
  std::u16string name;
  uint64_t size;
  int64_t time;
  uint16_t attributes = 0;
  int32_t version = -1;
};

// A payload holding one file run; the run starts at offset 1.
std::string RunPayload(const std::vector<F>& files) {
  CXSnapshotDataFileRecArray array;
  for (const F& f : files) {
    SXFileRecord* r = array.Append(f.name);
    r->size = f.size;
    r->last_write = f.time;
    r->attributes = f.attributes;
    r->version_index = f.version;
  }
  CXMemWriter w;
  w.WriteU8(1);
  array.Flush(w, true);
  return std::string(reinterpret_cast<const char*>(w.data()), w.position());
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

int CompareRuns(const std::vector<F>& left, const std::vector<F>& right, int32_t filter) {
  const std::string a = RunPayload(left), b = RunPayload(right);
  CXMemReader ra(U8(a), 1), rb(U8(b), 1);
  SXScanContext context;
  context.filter = filter;
  SXSnapshotDataFile file;
  return file.Compare(&ra, &rb, context);
}

const std::vector<F> kBase = {{u"a.exe", 10, 100}, {u"b.txt", 20, 200}, {u"c.dll", 0x10000, 300}};

TEST(DataFile, EqualRunsCompareEqual) {
  EXPECT_EQ(CompareRuns(kBase, kBase, kFilterAll), 0);
}

TEST(DataFile, VersionIndexAndAttributeValuesAreNotCompared) {
  std::vector<F> other = kBase;
  other[0].version = 4;  // flag 0x20 may differ
  EXPECT_EQ(CompareRuns(kBase, other, kFilterAll), 0);
  std::vector<F> with_attributes = kBase, other_attributes = kBase;
  with_attributes[1].attributes = 0x20;
  other_attributes[1].attributes = 0x01;  // same flag, other value
  EXPECT_EQ(CompareRuns(with_attributes, other_attributes, kFilterAll), 0);
  // Attributes present on one side only change the flags: different.
  EXPECT_EQ(CompareRuns(kBase, with_attributes, kFilterAll), 1);
}

TEST(DataFile, ChangedTimeSizeOrNameDiffers) {
  std::vector<F> time = kBase, size = kBase, name = kBase, shorter = kBase;
  time[1].time = 201;
  size[2].size = 0x10001;
  name[1].name = u"b.TXT";
  shorter.pop_back();
  EXPECT_EQ(CompareRuns(kBase, time, kFilterAll), 1);
  EXPECT_EQ(CompareRuns(kBase, size, kFilterAll), 1);
  EXPECT_EQ(CompareRuns(kBase, name, kFilterAll), 1);
  EXPECT_EQ(CompareRuns(kBase, shorter, kFilterAll), 1);
}

TEST(DataFile, MissingRunDiffers) {
  const std::string a = RunPayload(kBase);
  CXMemReader ra(U8(a), 1);
  SXScanContext context;
  SXSnapshotDataFile file;
  EXPECT_EQ(file.Compare(&ra, nullptr, context), 1);
  EXPECT_EQ(file.Compare(nullptr, nullptr, context), 1);
}

TEST(DataFile, FilteredCompareLooksOnlyAtAcceptedRecords) {
  std::vector<F> text_changed = kBase;
  text_changed[1].time = 999;
  EXPECT_EQ(CompareRuns(kBase, text_changed, kFilterExecutables), 0);
  EXPECT_EQ(CompareRuns(kBase, text_changed, kFilterExecutablesAlso), 0);
  EXPECT_EQ(CompareRuns(kBase, text_changed, kFilterNonExecutables), 1);
  std::vector<F> exe_changed = kBase;
  exe_changed[2].size = 1;
  EXPECT_EQ(CompareRuns(kBase, exe_changed, kFilterExecutables), 1);
  EXPECT_EQ(CompareRuns(kBase, exe_changed, kFilterNonExecutables), 0);
  // One more executable on one side: one run ends before the other.
  std::vector<F> extra = kBase;
  extra.push_back({u"d.sys", 1, 1});
  EXPECT_EQ(CompareRuns(kBase, extra, kFilterExecutables), 1);
  EXPECT_EQ(CompareRuns(kBase, extra, kFilterNonExecutables), 0);
  // Runs with nothing accepted on either side are equal.
  EXPECT_EQ(CompareRuns({{u"x.txt", 1, 1}}, {{u"y.txt", 2, 2}}, kFilterExecutables), 0);
}

TEST(DataFile, AcceptByFilterMode) {
  struct Case {
    const char16_t* name;
    int all, exe, non_exe;
  } cases[] = {
      {u"a.exe", 1, 1, 0},    {u"SETUP.MSI", 1, 1, 0}, {u"x.Dll", 1, 1, 0},   {u"autoexec.bat", 1, 1, 0},
      {u"drv.vxd", 1, 1, 0},  {u".exe", 1, 0, 0},      {u"b.txt", 1, 0, 1},   {u"abcd", 1, 0, 0},
      {u"abcde", 1, 0, 1},    {u"a.exe2", 1, 0, 1},    {u"a.ex", 1, 0, 0},    {u"a_exe", 1, 0, 1},
      {u"boot.ini", 1, 1, 0}, {u"x.ocx", 1, 1, 0},     {u"y.scr", 1, 1, 0},   {u"z.cpl", 1, 1, 0},
  };
  for (const Case& c : cases) {
    SXSnapshotDataFile f;
    f.name = c.name;
    EXPECT_EQ(f.Accept(kFilterAll), c.all) << test::N(c.name);
    EXPECT_EQ(f.Accept(kFilterExecutables), c.exe) << test::N(c.name);
    EXPECT_EQ(f.Accept(kFilterExecutablesAlso), c.exe) << test::N(c.name);
    EXPECT_EQ(f.Accept(kFilterNonExecutables), c.non_exe) << test::N(c.name);
  }
}

TEST(DataFile, OrderAndDiffers) {
  SXSnapshotDataFile a, b;
  a.name = u"Alpha";
  b.name = u"alphabet";
  EXPECT_LT(a.Order(b), 0);
  EXPECT_GT(b.Order(a), 0);
  b.name = u"ALPHA";
  EXPECT_EQ(a.Order(b), 0);
  a.size = b.size = 5;
  a.attributes = 1;  // attributes are not compared
  EXPECT_EQ(a.Differs(b), 0);
  b.last_write = 1;
  EXPECT_EQ(a.Differs(b), 1);
  EXPECT_EQ(a.SectionType(), 1);
}

TEST(DataFile, WriteReproducesTheRecordWithTheContextsEndMark) {
  const std::string original = RunPayload({{u"k.sys", 0x1234, 77, 0x21, 9}});
  CXMemReader r(U8(original), 1);
  SXSnapshotDataFile f;
  f.Read(r);
  CXMemWriter copy;
  copy.WriteU8(1);
  SXScanContext context;
  context.writer = &copy;
  context.last = true;
  EXPECT_EQ(f.Write(context), 1);
  EXPECT_EQ(test::ToHex(std::string(reinterpret_cast<const char*>(copy.data()), copy.position())),
            test::ToHex(original));
  context.last = false;
  const int32_t at = copy.position();
  f.Write(context);
  EXPECT_EQ(copy.data()[at], f.flags & 0x7F);
}

}  // namespace
}  // namespace orvalinth
