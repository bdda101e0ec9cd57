// Text made safe for string values and log lines.

#include "link/wire_text.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

TEST(WireValue, SeparatorsZeroBytesAndALeadingListMarkBecomeQuestionMarks) {
  const struct {
    const char* text;   // hex
    const char* value;  // hex
  } cases[] = {
      {"50 43 FE 30 31 00 78", "50 43 3F 30 31 3F 78"},  // "PC" FE "01" 00 "x"
      {"50 43 FF 30 31", "50 43 FF 30 31"},              // "PC\xFF01": the character stays
      {"FF 50 43 FF", "3F 50 43 FF"},                    // only a leading FF reads as a list
      {"FF", "3F"},
      {"FF FF", "3F FF"},
      {"E9 74 E9", "E9 74 E9"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ToHex(WireValue(Hex(c.text))), ToHex(Hex(c.value))) << c.text;
}

TEST(CrashReportValue, Utf16ReportBecomesUtf8WithoutTheByteOrderMark) {
  const struct {
    const char* file;  // hex
    const char* value;  // hex
  } cases[] = {
      // "A\r\n"
      {"FF FE 41 00 0D 00 0A 00", "41 0D 0A"},
      // U+00E9, U+20AC, U+FEFF: bytes FE and FF must not appear as such
      {"FF FE E9 00 AC 20 FF FE", "C3 A9 E2 82 AC EF BB BF"},
      // zero units dropped, an odd last byte dropped
      {"FF FE 41 00 00 00 42 00 43", "41 42"},
      // the mark alone
      {"FF FE", ""},
      // not a UTF-16 report: bytes as they are, FE, 00 and a leading FF replaced
      {"41 FE 42 FF 00 43", "41 3F 42 FF 3F 43"},
      {"FE FF 41 00", "3F FF 41 3F"},
      {"FF", "3F"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(CrashReportValue(Hex(c.file))), ToHex(Hex(c.value))) << c.file;
  }
}

TEST(LogSafe, ControlBytesReplacedAndLongTextCut) {
  EXPECT_EQ(LogSafe("get\r\nX"), "get??X");
  EXPECT_EQ(LogSafe(std::string(150, 'a'), 100), std::string(100, 'a') + "...");
  EXPECT_EQ(LogSafe("ping"), "ping");
}

}  // namespace
}  // namespace orvalinth
