// Which paths the file-system calls take in the extended form, and that form.

#include "platform/extended_path.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth::platform {
namespace {

using test::N;

TEST(ExtendedPath, OnlyPathsTheOrdinaryRulesMisreadChangeForm) {
  const std::u16string deep = u"C:\\" + std::u16string(240, u'd') + u"\\x";  // 245 units
  struct Case {
    std::u16string path;
    std::u16string call;
  };
  const Case cases[] = {
      // Ordinary paths, relative ones and those in a device form already stay as they are.
      {u"C:\\Windows\\System32\\*.*", u"C:\\Windows\\System32\\*.*"},
      {u"C:\\a.b\\c d\\...x", u"C:\\a.b\\c d\\...x"},
      {u"C:\\console\\nul1\\com10\\lpt\\context.con", u"C:\\console\\nul1\\com10\\lpt\\context.con"},
      {u"relative\\name.", u"relative\\name."},
      {u"C:name.", u"C:name."},
      {u"\\\\?\\C:\\name.", u"\\\\?\\C:\\name."},
      {u"\\\\.\\pipe\\x ", u"\\\\.\\pipe\\x "},
      {deep, deep},
      // A trailing dot or space, a device name (also with an extension or spaces).
      {u"C:\\dir.\\*.*", u"\\\\?\\C:\\dir.\\*.*"},
      {u"c:\\x\\name ", u"\\\\?\\c:\\x\\name "},
      {u"C:\\x\\CON", u"\\\\?\\C:\\x\\CON"},
      {u"C:\\x\\nul.txt\\", u"\\\\?\\C:\\x\\nul.txt\\"},
      {u"C:\\x\\Com7 .log", u"\\\\?\\C:\\x\\Com7 .log"},
      {u"C:\\LPT1\\f", u"\\\\?\\C:\\LPT1\\f"},
      {u"C:\\x\\conout$", u"\\\\?\\C:\\x\\conout$"},
      // The form is made the way the ordinary rules would have read the rest.
      {u"C:/a//b/./c/../CON", u"\\\\?\\C:\\a\\b\\CON"},
      {u"C:\\..\\..\\aux", u"\\\\?\\C:\\aux"},
      {u"\\\\server\\share\\x.", u"\\\\?\\UNC\\server\\share\\x."},
      {u"//server/share/prn", u"\\\\?\\UNC\\server\\share\\prn"},
      // A long path: from 248 units on.
      {deep + u"xyz", u"\\\\?\\" + deep + u"xyz"},
  };
  for (const Case& c : cases) EXPECT_EQ(N(ExtendedLengthPath(c.path)), N(c.call)) << N(c.path);
}

TEST(ExtendedPath, ReservedDeviceNames) {
  struct Case {
    const char16_t* name;
    bool reserved;
  };
  const Case cases[] = {
      {u"CON", true},   {u"con", true},      {u"Nul.txt", true},  {u"AUX  ", true},      {u"PRN.a.b", true},
      {u"COM1", true},  {u"lpt9", true},     {u"COM0", true},     {u"COM\u00B9", true},  {u"CONIN$", true},
      {u"CONS", false}, {u"COM", false},     {u"COM10", false},   {u"LPTX", false},      {u"xCON", false},
      {u"", false},     {u".con", false},    {u"NUL_", false},
  };
  for (const Case& c : cases) {
    const std::u16string name = c.name;
    EXPECT_EQ(IsReservedDeviceName(name, 0, name.size()), c.reserved) << N(name);
  }
  // Within a longer text, only the given range counts.
  const std::u16string path = u"C:\\aux\\file";
  EXPECT_TRUE(IsReservedDeviceName(path, 3, 6));
  EXPECT_FALSE(IsReservedDeviceName(path, 3, 8));
}

TEST(ExtendedPath, NoPathBeyondTheLongestAWindowsCallTakes) {
  EXPECT_FALSE(PathTooLong(std::u16string(kMaxPathUnits, u'a')));
  EXPECT_TRUE(PathTooLong(std::u16string(kMaxPathUnits + 1, u'a')));
}

}  // namespace
}  // namespace orvalinth::platform
