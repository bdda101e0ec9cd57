#include "record/apps/system_info.h"

#include <gtest/gtest.h>

#include "fakes/fake_registry.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using test::FakeRegistry;

const char16_t kCurrentVersion[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char16_t kProcessor[] = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

CXRegStringValues Values(std::initializer_list<std::pair<std::u16string, std::u16string>> pairs) {
  CXRegStringValues values;
  for (const auto& p : pairs) values.Add(p.first, p.second);
  return values;
}

TEST(SystemInfo, OsNames) {
  struct Case {
    const char* what;
    CXRegStringValues values;
    const char* name;
  } cases[] = {
      {"7 x64 with service pack 1",
       Values({{u"ProductName", u"Windows 7 Professional"},
               {u"BuildLabEx", u"7601.17514.amd64fre.win7sp1_rtm.101119-1850"},
               {u"BuildLab", u"7601.win7sp1_rtm.101119-1850"},
               {u"CSDVersion", u"Service Pack 1"}}),
       "Win 7 Professional x64 SP1"},
      {"XP with _sp3 in BuildLab",
       Values({{u"ProductName", u"Microsoft Windows XP"},
               {u"BuildLab", u"2600.xpsp_sp3_gdr.080814-1236"},
               {u"CSDVersion", u"Service Pack 3"}}),
       "Win XP SP3"},
      {"empty CSDVersion leaves a trailing space",
       Values({{u"ProductName", u"Windows 10 Pro"}, {u"BuildLab", u"19041.vb_release.191206-1406"},
               {u"BuildLabEx", u"19041.1.x64fre.vb_release.191206-1406"}, {u"CSDVersion", u""}}),
       "Win 10 Pro x64 "},
      {"(R) and (TM) with and without a space",
       Values({{u"ProductName", u"Windows(R) Server(R)2003 (TM) Web"}}),
       "WindowsServer(R)2003 Web "},
      {"Wine: no BuildLab, no BuildLabEx",
       Values({{u"ProductName", u"Microsoft Windows 7"}, {u"CSDVersion", u"Service Pack 1"}}),
       "Win 7 SP1"},
      {".x64 in BuildLabEx", Values({{u"ProductName", u"Windows 8"}, {u"BuildLabEx", u"9200.x64"}}), "Win 8 x64 "},
      {"BuildLab ending with _sp", Values({{u"ProductName", u"Windows XP"}, {u"BuildLab", u"2600.xp_sp"}}),
       "Win XP SP"},
      {"case matters in the replacements",
       Values({{u"ProductName", u"microsoft windows 7"}, {u"CSDVersion", u"service pack 1"}}),
       "microsoft windows 7 service pack 1"},
      {"no values at all", Values({}), " "},
  };
  for (const Case& c : cases) EXPECT_EQ(OsNameOf(c.values), c.name) << c.what;
}

TEST(SystemInfo, DetailsAreEightValuesInOrder) {
  const CXRegStringValues values =
      Values({{u"CurrentVersion", u"6.1"},     {u"RegisteredOwner", u"owner"}, {u"ProductName", u"Windows 7"},
              {u"BuildLab", u"7601.win7sp1"},  {u"ProductId", u"00371"},       {u"Other", u"ignored"},
              {u"CSDVersion", u"Service Pack 1"}});
  EXPECT_EQ(OsDetailsOf(values), "Windows 7\nService Pack 1\n7601.win7sp1\n\n00371\n\nowner\n6.1");
}

TEST(SystemInfo, EightBitTextKeepsLowBytesAndMarksZeroBytes) {
  const CXRegStringValues values = Values({{u"ProductName", u"Win\u00e9 \u4e00\u0141"}});
  EXPECT_EQ(OsDetailsOf(values).substr(0, 7), "Win\xE9 ?A");
}

TEST(SystemInfo, ProcessorNameCollapsesSpaces) {
  struct Case {
    size_t run;
    size_t left;
  } cases[] = {{1, 1}, {2, 1}, {3, 1}, {1000, 1}, {1024, 1}, {1025, 2}, {2048, 2}, {2049, 3}};
  for (const Case& c : cases) {
    const CXRegStringValues values =
        Values({{u"ProcessorNameString", u"Intel(R) Core(TM)" + std::u16string(c.run, u' ') + u"i7"}});
    EXPECT_EQ(ProcessorNameOf(values), "Intel(R) Core(TM)" + std::string(c.left, ' ') + "i7") << c.run;
  }
  EXPECT_EQ(ProcessorNameOf(Values({{u"ProcessorNameString", u"    AMD  EPYC   7B13 "}})), " AMD EPYC 7B13 ");
}

TEST(SystemInfo, ReplaceAllGoesLeftToRightWithoutOverlaps) {
  EXPECT_EQ(ReplaceAll("aaaa", "aa", "a"), "aa");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("a.b.c", ".", ".."), "a..b..c");
}

TEST(SystemInfo, ReadsTheRegistryThroughTheFacility) {
  FakeRegistry registry;
  registry.SetText(RegistryRoot::kLocalMachine, kCurrentVersion, u"ProductName", u"Microsoft Windows 7 Ultimate");
  registry.SetText(RegistryRoot::kLocalMachine, kCurrentVersion, u"CSDVersion", u"Service Pack 1");
  registry.SetText(RegistryRoot::kLocalMachine, kCurrentVersion, u"BuildLabEx", u"7601.x.amd64fre",
                   platform::kRegExpandSz);
  registry.Set(RegistryRoot::kLocalMachine, kCurrentVersion, u"CurrentVersion", platform::kRegDword,
               test::Hex("06 00 00 00"));  // not text: skipped
  // REG_MULTI_SZ: only the first string counts.
  registry.Set(RegistryRoot::kLocalMachine, kCurrentVersion, u"RegisteredOwner", platform::kRegMultiSz,
               test::Hex("6F 00 77 00 00 00 78 00 00 00 00 00 00 00"));
  registry.SetText(RegistryRoot::kLocalMachine, kProcessor, u"ProcessorNameString", u"CPU  9000");
  platform::ScopedFacility<platform::Registry> use(registry);

  std::string name, details;
  GetOsDescription(&name, &details);
  EXPECT_EQ(name, "Win 7 Ultimate x64 SP1");
  EXPECT_EQ(details, "Microsoft Windows 7 Ultimate\nService Pack 1\n\n7601.x.amd64fre\n\n\now\n");
  EXPECT_EQ(GetProcessorName(), "CPU 9000");

  // Read each time: a change shows at the next call.
  registry.SetText(RegistryRoot::kLocalMachine, kProcessor, u"ProcessorNameString", u"Other");
  EXPECT_EQ(GetProcessorName(), "Other");
}

TEST(SystemInfo, MissingKeysGiveEmptyTexts) {
  FakeRegistry registry;
  platform::ScopedFacility<platform::Registry> use(registry);
  std::string name = "x", details = "y";
  GetOsDescription(&name, &details);
  EXPECT_EQ(name, "");
  EXPECT_EQ(details, "");
  EXPECT_EQ(GetProcessorName(), "");
  registry.AddKey(RegistryRoot::kLocalMachine, kProcessor);  // key without the value
  EXPECT_EQ(GetProcessorName(), "");
}

TEST(SystemInfo, LookupIgnoresCaseAndStopsAtTheFirstZero) {
  FakeRegistry registry;
  registry.Set(RegistryRoot::kLocalMachine, kProcessor, u"processornamestring", platform::kRegSz,
               test::Hex("41 00 42 00 00 00 43 00"));
  // An odd byte count: the last byte is not part of a unit.
  registry.Set(RegistryRoot::kLocalMachine, kCurrentVersion, u"ProductName", platform::kRegSz,
               test::Hex("57 00 78 00 79"));
  platform::ScopedFacility<platform::Registry> use(registry);
  EXPECT_EQ(GetProcessorName(), "AB");
  std::string name, details;
  GetOsDescription(&name, &details);
  EXPECT_EQ(name, "Wx ");
}

}  // namespace
}  // namespace orvalinth
