#include <gtest/gtest.h>

#include "platform/process.h"
#include "test_support.h"

#ifdef _WIN32
// The splitter is compared with the system's own on Windows.
#include <windows.h>
#include <shellapi.h>
#endif

namespace orvalinth {
namespace {

using V = std::vector<std::u16string>;

struct SplitCase {
  const char16_t* line;
  V args;
};

const SplitCase kSplitCases[] = {
    {u"srv.exe", V{u"srv.exe"}},
    {u"srv.exe -start", V{u"srv.exe", u"-start"}},
    {u"\"C:\\Program Files\\srv.exe\" -a  \t -b ", V{u"C:\\Program Files\\srv.exe", u"-a", u"-b"}},
    {u"srv.exe -uninstall \"C:\\dir\\\\\" -quiet", V{u"srv.exe", u"-uninstall", u"C:\\dir\\", u"-quiet"}},
    {u"srv.exe -uninstall \"C:\\dir\\\" -quiet", V{u"srv.exe", u"-uninstall", u"C:\\dir\" -quiet"}},
    {u"srv.exe a\\\\b \\\\\\\"c", V{u"srv.exe", u"a\\\\b", u"\\\"c"}},
    {u"srv.exe \"\" x", V{u"srv.exe", u"", u"x"}},
    {u"srv.exe \"a\"\"b\"", V{u"srv.exe", u"a\"b"}},
    {u"srv.exe \"a\"\"\"b", V{u"srv.exe", u"a\"b"}},
    {u"srv.exe a\"b c\"d", V{u"srv.exe", u"ab cd"}},
    {u"C:\\x\\srv.exe\" -a", V{u"C:\\x\\srv.exe\"", u"-a"}},  // no escapes in the program's name
    {u"\"srv.exe\"-a", V{u"srv.exe", u"-a"}},
};

TEST(CommandLine, SplitsByTheWindowsRules) {
  for (const SplitCase& c : kSplitCases) {
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.args) << test::N(c.line);
  }
  EXPECT_TRUE(platform::SplitCommandLine(u"").empty());
}

TEST(CommandLine, QuotedArgumentsComeBackUnchanged) {
  const std::u16string samples[] = {u"plain", u"", u"with blank", u"C:\\dir\\", u"q\"uote", u"tab\there",
                                    u"\\\\server\\share\\", u"a\\\\\"b"};
  std::u16string line = u"prog.exe";
  V expected = {u"prog.exe"};
  for (const std::u16string& s : samples) {
    line += u" " + platform::QuoteArgument(s);
    expected.push_back(s);
  }
  EXPECT_EQ(platform::SplitCommandLine(line), expected);
}

#ifdef _WIN32
TEST(CommandLine, AgreesWithCommandLineToArgvW) {
  for (const SplitCase& c : kSplitCases) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(c.line), &count);
    ASSERT_NE(argv, nullptr);
    V system;
    for (int i = 0; i < count; ++i) system.push_back(reinterpret_cast<const char16_t*>(argv[i]));
    LocalFree(argv);
    EXPECT_EQ(platform::SplitCommandLine(c.line), system) << test::N(c.line);
  }
}
#endif

}  // namespace
}  // namespace orvalinth
