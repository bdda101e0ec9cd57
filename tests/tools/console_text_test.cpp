#include "tools/console_text.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "tools/console_runner.h"

namespace orvalinth::tools {
namespace {

TEST(ConsoleText, Utf8ToUtf16PairsFourByteSequences) {
  EXPECT_EQ(Utf8ToUtf16("C:\\\xC3\xA9"), u"C:\\\u00E9");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9D\x84\x9E"), u"\U0001D11E");
  // Bytes outside a well-formed sequence keep their value.
  EXPECT_EQ(Utf8ToUtf16("\xC3\x28\xFF"), std::u16string(u"\u00C3(\u00FF"));
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), std::u16string(u"\u00ED\u00A0\u0080"));  // an encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(u"\u00C0\u00AF"));            // an overlong form
}

TEST(ConsoleText, Utf16ToUtf8CombinesPairs) {
  EXPECT_EQ(Utf16ToUtf8(u"\U0001D11E"), "\xF0\x9D\x84\x9E");
  EXPECT_EQ(Utf16ToUtf8(u"\u20AC"), "\xE2\x82\xAC");
  const char16_t lone[] = {u'a', 0xD834, u'b', 0};
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b");
}

TEST(ConsoleText, JsonQuoteEscapesAndStaysValid) {
  EXPECT_EQ(JsonQuote(std::string_view("a\"b\\c\n\t\x01\x7F")), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007f\"");
  EXPECT_EQ(JsonQuote(std::string_view("\xE9t\xC3\xA9")), "\"\xC3\xA9t\xC3\xA9\"");
  const char16_t lone[] = {0xDC00, u'x', 0};
  EXPECT_EQ(JsonQuote(std::u16string_view(lone)), "\"\\udc00x\"");
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string error;
  EXPECT_TRUE(test::IsValidJson(JsonQuote(std::string_view(all)), &error)) << error;
}

TEST(ConsoleText, DisplayTextDefusesControlCharacters) {
  EXPECT_EQ(DisplayText(std::string_view("red\x1B[31m\x07")), "red\\x1b[31m\\x07");
  EXPECT_EQ(DisplayText(std::string_view("\xC2\x9B" "2J")), "\\x9b2J");  // the 8-bit CSI
  EXPECT_EQ(DisplayText(std::string_view("a\r\nb\n"), /*keep_newlines=*/true), "a\nb\n");
  EXPECT_EQ(DisplayText(std::string_view("a\r\nb")), "a\\x0d\\x0ab");
}

TEST(ConsoleText, HexDumpCutsAfterTheLimit) {
  EXPECT_EQ(HexDump(test::Hex("04 00 00 00 70 69 6E 67")), "04 00 00 00 70 69 6E 67");
  EXPECT_EQ(HexDump(std::string(300, '\xAB'), 2), "AB AB ... (298 more bytes)");
  EXPECT_EQ(HexDump(""), "");
}

TEST(ConsoleText, PaddingCountsCharactersNotBytes) {
  EXPECT_EQ(PadRight("\xC3\xA9t\xC3\xA9", 5), "\xC3\xA9t\xC3\xA9  ");
  EXPECT_EQ(PadRight("longer", 3), "longer");
}

}  // namespace
}  // namespace orvalinth::tools
