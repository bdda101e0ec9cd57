#include "storage/reg_values.h"

#include <gtest/gtest.h>

#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

// One value written as a run of its own, without the payload's first byte.
std::string OneValue(uint32_t type, const std::u16string& name, const std::string& data) {
  CXRegValueList list;
  list.Add(type, name, data);
  CXMemWriter w;
  w.WriteU8(1);
  EXPECT_EQ(list.Flush(w, true), 1);
  return std::string(reinterpret_cast<const char*>(w.data()) + 1, w.position() - 1);
}

TEST(RegValues, GoldenValues) {
  struct Case {
    const char* what;
    uint32_t type;
    std::u16string name;
    std::string data;
    std::string expected;
  } cases[] = {
      // a, b, a terminating zero and one odd byte: the two units a, b.
      {"REG_SZ of seven bytes", 1, u"v", Hex("61 00 62 00 00 00 41"), Hex("80 01 02 01 76 61 62")},
      // a, 0, b, 0, 0: the three units a, 0, b.
      {"REG_MULTI_SZ", 7, u"v", Hex("61 00 00 00 62 00 00 00 00 00"), Hex("80 01 03 07 76 61 00 62")},
      {"REG_DWORD", 4, u"d", Hex("78 56 34 12"), Hex("80 01 04 04 64 78 56 34 12")},
      {"REG_EXPAND_SZ", 2, u"p", Hex("25 00 00 00"), Hex("80 01 01 02 70 25")},
      {"REG_LINK without terminator", 6, u"SymbolicLinkValue", Hex("5C 00 52 00"),
       Hex("80 11") + Hex("02 06") + "SymbolicLinkValue" + "\\R"},
      {"wide text", 1, u"w", Hex("00 01 41 00 00 00"), Hex("A0 01 02 01 77 00 01 41 00")},
      {"one zero unit stays", 1, u"z", Hex("00 00"), Hex("80 01 01 01 7A 00")},
      {"empty REG_MULTI_SZ", 7, u"m", Hex("00 00"), Hex("80 01 00 07 6D")},
      {"default value of the key", 4, u"", Hex("01 00 00 00"), Hex("80 00 04 04 01 00 00 00")},
      {"type above 255", 0x1234, u"t", Hex("AA"), Hex("90 01 01 34 12 00 00 74 AA")},
      {"wide name", 3, u"\u4e2d", Hex("01"), Hex("88 01 01 03 2D 4E 01")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(OneValue(c.type, c.name, c.data)), ToHex(c.expected)) << c.what;
  }
}

TEST(RegValues, DataWidthCodes) {
  // 300 raw bytes: code 1 and a two-byte size.
  const std::string medium(300, 'x');
  EXPECT_EQ(ToHex(OneValue(3, u"b", medium).substr(0, 6)), "81 01 2C 01 03 62");
  // 70,000 raw bytes: code 2 and a four-byte size.
  const std::string large(70000, 'y');
  const std::string v = OneValue(3, u"b", large);
  EXPECT_EQ(ToHex(v.substr(0, 8)), "82 01 70 11 01 00 03 62");
  EXPECT_EQ(v.size(), 8u + 70000u);
  // 600 bytes of text are 300 units: code 1 by the unit count.
  std::string text;
  for (int i = 0; i < 300; ++i) text += Hex("41 00");
  EXPECT_EQ(ToHex(OneValue(1, u"s", text).substr(0, 6)), "81 01 2C 01 01 73");
}

TEST(RegValues, LongNameTakesTwoLengthBytes) {
  const std::u16string name(256, u'n');
  const std::string v = OneValue(4, name, Hex("00 00 00 00"));
  EXPECT_EQ(ToHex(v.substr(0, 5)), "84 00 01 04 04");
  EXPECT_EQ(v.substr(5, 256), std::string(256, 'n'));
}

TEST(RegValues, FlushSortsAndReadsBack) {
  CXRegValueList list;
  list.Add(1, u"Zeta", std::string("z\0\0\0", 4));
  list.Add(4, u"alpha", Hex("01 00 00 00"));
  list.Add(1, u"Beta", Hex("00 01 00 00"));
  CXMemWriter w;
  w.WriteU8(1);
  CXMemReader r(w.data(), list.Flush(w, true));
  EXPECT_EQ(list.size(), 0);
  uint8_t flags;
  uint32_t type;
  std::u16string name;
  std::string data;
  ReadRegValueRecord(r, &flags, &type, &name, &data);
  EXPECT_EQ(name, u"alpha");
  EXPECT_EQ(type, 4u);
  EXPECT_EQ(ToHex(data), "01 00 00 00");
  EXPECT_EQ(flags, 0x00);
  ReadRegValueRecord(r, &flags, &type, &name, &data);
  EXPECT_EQ(name, u"Beta");
  EXPECT_EQ(flags, 0x20);
  EXPECT_EQ(ToHex(data), "00 01");
  ReadRegValueRecord(r, &flags, &type, &name, &data);
  EXPECT_EQ(name, u"Zeta");
  EXPECT_EQ(flags, 0x80);
  EXPECT_EQ(data, "z");
}

TEST(RegValues, EmptyListWritesNothing) {
  CXRegValueList list;
  CXMemWriter w;
  w.WriteU8(1);
  EXPECT_EQ(list.Flush(w, true), 0);
  EXPECT_EQ(w.position(), 1);
}

}  // namespace
}  // namespace orvalinth
