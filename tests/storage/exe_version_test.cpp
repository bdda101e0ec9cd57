#include "storage/exe_version.h"

#include <gtest/gtest.h>

#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

std::string Written(const CXMemWriter& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.position()); }

TEST(ExeVersion, GoldenRecord) {
  SXDskSnapshotVersionExp v;
  v.file_version_high = 0x00010002;
  v.file_version_low = 0x00030004;
  v.file_version = u"1.2";
  v.company_name = u"\u0100";
  v.comments = std::u16string(300, u'c');
  CXMemWriter w;
  v.WriteRecord(w);
  EXPECT_EQ(ToHex(Written(w)), ToHex(Hex("20 10 02 00 01 00 04 00 03 00 03") + "1.2" + Hex("00 00 00 01 00 01 2C 01") +
                                     std::string(300, 'c')));
}

TEST(ExeVersion, EmptyRecordIsTenBytesAndEightLengths) {
  SXDskSnapshotVersionExp v;
  CXMemWriter w;
  v.WriteRecord(w);
  EXPECT_EQ(ToHex(Written(w)), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(ExeVersion, StringsAreWrittenInRecordOrderAndReadBack) {
  SXExeVersion data;
  data.file_version_high = -1;
  data.file_version_low = 7;
  data.file_version = u"FV";
  data.file_description = u"FD";
  data.product_name = u"PN \u4e2d";
  data.product_version = u"PV";
  data.company_name = u"CN";
  data.comments = u"CM";
  SXDskSnapshotVersionExp record(data);
  CXMemWriter w;
  record.WriteRecord(w);
  record.WriteRecord(w);  // back to back, as in a chunk
  CXMemReader r(w.data());
  SXDskSnapshotVersionExp back;
  back.Read(r);
  EXPECT_TRUE(static_cast<const SXExeVersion&>(back) == data);
  back.Read(r);
  EXPECT_TRUE(static_cast<const SXExeVersion&>(back) == data);
  EXPECT_EQ(r.position(), w.position());
  EXPECT_EQ(back.SectionType(), -1);
  const std::string bytes = Written(w);
  EXPECT_EQ(ToHex(bytes.substr(0, 13)), "00 04 FF FF FF FF 07 00 00 00 02 46 56");  // product name is wide
}

TEST(ExeVersion, StringsLongerThan65535UnitsAreCut) {
  SXDskSnapshotVersionExp v;
  v.comments = std::u16string(70000, u'x');
  CXMemWriter w;
  v.WriteRecord(w);
  EXPECT_EQ(w.position(), 2 + 8 + 5 + 2 + 65535);
  CXMemReader r(w.data());
  SXDskSnapshotVersionExp back;
  back.Read(r);
  EXPECT_EQ(back.comments.size(), 65535u);
}

}  // namespace
}  // namespace orvalinth
