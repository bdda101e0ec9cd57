#include "storage/text_file.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::TempFolder;
using test::WriteFileBytes;

std::vector<std::u16string> Lines(const std::string& bytes) {
  TempFolder dir;
  WriteFileBytes(dir / u"t.txt", bytes);
  CXFileTextU text;
  EXPECT_EQ(text.Open(dir / u"t.txt"), 1);
  std::vector<std::u16string> lines;
  std::u16string line;
  while (text.ReadLine(&line)) lines.push_back(line);
  return lines;
}

TEST(TextFile, SplitsLines) {
  using L = std::vector<std::u16string>;
  struct Case {
    const char* name;
    std::string bytes;
    L lines;
  } cases[] = {
      {"CR LF", "a\r\nb", L{u"a", u"b"}},
      {"LF at the end gives an empty last line", "a\n", L{u"a", u""}},
      {"only FF FE", Hex("FF FE"), L{u""}},
      {"empty file", "", L{u""}},
      {"several CRs are all removed", "a\r\r\n\rb", L{u"a", u"\rb"}},
      {"bytes are Latin-1", "caf\xE9", L{u"caf\u00E9"}},
      {"UTF-16LE with mark", Hex("FF FE 61 00 0D 00 0A 00 AC 20"), L{u"a", u"\u20AC"}},
      {"odd byte of a UTF-16 file is dropped", Hex("FF FE 61 00 62"), L{u"a"}},
      {"FE FF is no mark", Hex("FE FF 41"), L{u"\u00FE\u00FFA"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Lines(c.bytes), c.lines) << c.name;
}

TEST(TextFile, MissingFileFailsWithTheChainLine) {
  TempFolder dir;
  CXFileTextU text;
  EXPECT_EQ(text.Open(dir / u"nope.ini"), 0);
  EXPECT_EQ(text.ChainText(false), "Cannot open file\n[" + test::N(dir / u"nope.ini") + "] [error:2]");
  std::u16string line;
  EXPECT_EQ(text.ReadLine(&line), 0);
}

TEST(TextFile, ReportsUnicode) {
  TempFolder dir;
  WriteFileBytes(dir / u"u", Hex("FF FE 41 00"));
  WriteFileBytes(dir / u"a", "A");
  CXFileTextU u, a;
  ASSERT_EQ(u.Open(dir / u"u"), 1);
  ASSERT_EQ(a.Open(dir / u"a"), 1);
  EXPECT_TRUE(u.is_unicode());
  EXPECT_FALSE(a.is_unicode());
}

}  // namespace
}  // namespace orvalinth
