#include "base/strings.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

TEST(Strings, NarrowKeepsLowByteAndTurnsZeroIntoQuestionMark) {
  EXPECT_EQ(Narrow(u"abc"), "abc");
  EXPECT_EQ(Narrow(std::u16string(u"a\u0100b", 3)), "a?b");  // 0x0100 has a zero low byte
  EXPECT_EQ(Narrow(u"\u0141"), "A");                           // 0x0141 keeps 0x41
  EXPECT_EQ(Narrow(std::u16string(1, u'\0')), "?");
}

TEST(Strings, WidenTakesBytesAsLatin1) {
  EXPECT_EQ(Widen("\xE9z"), std::u16string(u"\u00E9z"));
}

TEST(Strings, FoldingTouchesOnlyAtoZ) {
  EXPECT_EQ(FoldedAZ(u"ABC\u00C9xyz[]"), std::u16string(u"abc\u00C9xyz[]"));
  EXPECT_TRUE(EqualsFolded(u"C:\\Windows", u"c:\\WINDOWS"));
  EXPECT_FALSE(EqualsFolded(u"\u00C9", u"\u00E9"));
  EXPECT_TRUE(StartsWithFolded(u"HKEY_LOCAL_MACHINE\\x", u"hkey_local_machine"));
  EXPECT_TRUE(EndsWithFolded(u"SETUP.EXE", u".exe"));
}

TEST(Strings, NameOrderFoldsAtoZAndPutsShorterFirst) {
  struct Case {
    std::u16string a, b;
    int sign;
  } cases[] = {
      {u"abc", u"ABC", 0},  {u"ab", u"abc", -1}, {u"B", u"a", 1},
      {u"_", u"a", -1},     // '_' (0x5F) before 'a' (0x61) once A-Z are folded
      {u"Z", u"_", 1},      // 'z' (0x7A) after '_'
      {u"\u00E9", u"z", 1}, // unsigned comparison of units
  };
  for (const Case& c : cases) {
    const int r = CompareNames(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << test::N(c.a) << " vs " << test::N(c.b);
  }
}

TEST(Strings, EncodeUtf8UnitByUnit) {
  EXPECT_EQ(ToHex(EncodeUtf8(u"\u00E9")), "C3 A9");
  EXPECT_EQ(ToHex(EncodeUtf8(u"\u20AC")), "E2 82 AC");
  EXPECT_EQ(ToHex(EncodeUtf8(u"\u007F\u0080\u07FF\u0800")), "7F C2 80 DF BF E0 A0 80");
  // A surrogate pair is not combined: each unit is three bytes.
  const std::u16string pair = {0xD83D, 0xDE00};
  EXPECT_EQ(ToHex(EncodeUtf8(pair)), "ED A0 BD ED B8 80");
}

TEST(Strings, DecodeUtf8ByteByByte) {
  EXPECT_EQ(DecodeUtf8(Hex("C3 A9")), std::u16string(u"\u00E9"));
  EXPECT_EQ(DecodeUtf8(Hex("E2 82 AC")), std::u16string(u"\u20AC"));
  EXPECT_EQ(DecodeUtf8(Hex("F0")), std::u16string(u"\u00F0"));        // cannot start a sequence
  EXPECT_EQ(DecodeUtf8(Hex("80 41")), std::u16string(u"\u0080A"));   // a stray continuation byte
  EXPECT_EQ(DecodeUtf8(Hex("C3")), std::u16string(u"\u00C0"));       // missing continuation counts as 0
  EXPECT_EQ(DecodeUtf8(Hex("E2 82")), std::u16string(u"\u2080"));
  EXPECT_EQ(DecodeUtf8(Hex("ED A0 BD ED B8 80")), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(DecodeUtf8("ab\0cd"), std::u16string(u"ab"));           // zero-terminated form
}

TEST(Strings, FormatPrintsIntoAString) {
  EXPECT_EQ(Format("snapshot%03d.snp", 1), "snapshot001.snp");
  EXPECT_EQ(Format("snapshot%03d.snp", 1000), "snapshot1000.snp");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace orvalinth
