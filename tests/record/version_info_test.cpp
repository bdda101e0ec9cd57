// Reading the version information of executables: the fixtures on both
// builds, blocks made by hand through a fake facility, and under Wine the
// same answers as the system's own VerQueryValueW.

#include "record/version_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "base/strings.h"
#include "platform/version_resources.h"
#include "storage/exe_version.h"
#include "storage/version_table.h"
#include "test_support.h"
#include "tests/platform/pe_builder.h"
#include "tests/platform/pe_fixtures.h"

#ifdef _WIN32
#include "platform/win32/win.h"
#endif

namespace orvalinth {
namespace {

using test::PeFixture;

SXExeVersion Version(int32_t high, int32_t low, std::u16string file_version, std::u16string description,
                     std::u16string product, std::u16string product_version, std::u16string company,
                     std::u16string comments) {
  SXExeVersion v;
  v.file_version_high = high;
  v.file_version_low = low;
  v.file_version = std::move(file_version);
  v.file_description = std::move(description);
  v.product_name = std::move(product);
  v.product_version = std::move(product_version);
  v.company_name = std::move(company);
  v.comments = std::move(comments);
  return v;
}

std::string Describe(const SXExeVersion& v) {
  std::string text = Format("%08x.%08x", v.file_version_high, v.file_version_low);
  for (int k = 0; k < SXExeVersion::kStringCount; ++k) text += " [" + test::N(*v.strings(k)) + "]";
  return text;
}

struct FixtureCase {
  const char* file;
  int result;
  SXExeVersion expected;
};

const FixtureCase kFixtureCases[] = {
    // The translation table names English first: its strings, not the German table's that comes first.
    {"full.exe", 1,
     Version(0x00010002, 0x00030004, u"1.2.3.4", u"Version fixture with every string", u"Orvalinth Fixture",
             u"5.6.7.8", u"Orvalinth Test Makers", u"caf\u00e9 \u20ac")},
    // No translation table: the block read by hand gives the table's key.
    {"no_translation.exe", 1, Version(0x00020000, 17, u"2.0.0.17", u"", u"Untranslated", u"", u"No Table Ltd", u"")},
    // Only the fixed information: no usable version information.
    {"fixed_only.exe", 0, SXExeVersion()},
    // A translation table and no strings: the hand parse finds the key.
    {"translation_only.exe", 1, Version(0x00030000, 1, u"", u"", u"", u"", u"", u"")},
    {"none.exe", 0, SXExeVersion()},
};

TEST(ReadVersionInfo, ReadsTheFixtures) {
  SKIP_WITHOUT_PE_FIXTURES();
  for (const FixtureCase& c : kFixtureCases) {
    SXExeVersion got = Version(7, 7, u"stale", u"", u"", u"", u"", u"");
    EXPECT_EQ(ReadVersionInfo(PeFixture(c.file), &got), c.result) << c.file;
    EXPECT_EQ(Describe(got), Describe(c.expected)) << c.file;
  }
  SXExeVersion got;
  EXPECT_EQ(ReadVersionInfo(PeFixture("missing.exe"), &got), 0);
}

// Serves hand-made blocks by path.
class FakeVersionResources final : public platform::VersionResources {
 public:
  uint32_t BlockSize(const std::u16string& path) override {
    const auto found = blocks.find(path);
    if (found == blocks.end()) return 0;
    return stated_size != 0 ? stated_size : static_cast<uint32_t>(found->second.size());
  }
  bool ReadBlock(const std::u16string& path, void* buffer, uint32_t size) override {
    last_room = size;
    const auto found = blocks.find(path);
    if (found == blocks.end() || fail_reads) return false;
    std::memcpy(buffer, found->second.data(), std::min<size_t>(size, found->second.size()));
    return true;
  }
  std::map<std::u16string, std::string> blocks;
  uint32_t stated_size = 0;
  uint32_t last_room = 0;
  bool fail_reads = false;
};

class ReadVersionInfoFake : public ::testing::Test {
 protected:
  FakeVersionResources fake_;
  platform::ScopedFacility<platform::VersionResources> scoped_{fake_};
};

std::string EnglishStrings() {
  return test::StringFileInfo({test::StringTable(
      u"040904b0", {test::StringEntry(u"ProductVersion", u"9.9"), test::StringEntry(u"FileVersion", u"9.1")})});
}

TEST_F(ReadVersionInfoFake, BufferIsFourTimesTheSizeButNeverHuge) {
  fake_.blocks[u"a.exe"] = test::VersionBlock(test::FixedInfo(1, 2), {EnglishStrings(), test::VarFileInfo({{0x409, 1200}})});
  SXExeVersion got;
  ASSERT_EQ(ReadVersionInfo(u"a.exe", &got), 1);
  EXPECT_EQ(fake_.last_room, 4 * fake_.blocks[u"a.exe"].size());
  EXPECT_EQ(got.product_version, u"9.9");
  EXPECT_EQ(got.file_version_low, 2);
  // A file that states an absurd size is read into a buffer a real block fits.
  fake_.stated_size = 0xFFFFFFF0u;
  ASSERT_EQ(ReadVersionInfo(u"a.exe", &got), 1);
  EXPECT_LE(fake_.last_room, 4u * (4 * platform::kMaxVersionBlock + 16));
  EXPECT_EQ(got.file_version, u"9.1");
}

TEST_F(ReadVersionInfoFake, AFailedReadGivesNothing) {
  fake_.blocks[u"a.exe"] = test::VersionBlock(test::FixedInfo(1, 2), {EnglishStrings(), test::VarFileInfo({{0x409, 1200}})});
  fake_.fail_reads = true;
  SXExeVersion got;
  EXPECT_EQ(ReadVersionInfo(u"a.exe", &got), 0);
  EXPECT_EQ(Describe(got), Describe(SXExeVersion()));
}

TEST_F(ReadVersionInfoFake, ATranslationNamingAMissingTableFallsBackToTheHandParse) {
  fake_.blocks[u"a.exe"] = test::VersionBlock(test::FixedInfo(1, 2), {EnglishStrings(), test::VarFileInfo({{0x407, 1252}})});
  SXExeVersion got;
  ASSERT_EQ(ReadVersionInfo(u"a.exe", &got), 1);
  EXPECT_EQ(got.product_version, u"9.9");
}

TEST_F(ReadVersionInfoFake, AShortFixedPartLeavesTheVersionAtZero) {
  // A fixed part of 8 bytes: reading the file version there would read the strings' bytes.
  fake_.blocks[u"a.exe"] = test::VersionBlock(test::FixedInfo(1, 2).substr(0, 8),
                                                 {EnglishStrings(), test::VarFileInfo({{0x409, 1200}})});
  SXExeVersion got;
  ASSERT_EQ(ReadVersionInfo(u"a.exe", &got), 1);
  EXPECT_EQ(got.file_version_high, 0);
  EXPECT_EQ(got.file_version_low, 0);
  EXPECT_EQ(got.file_version, u"9.1");
}

TEST_F(ReadVersionInfoFake, ATranslationShorterThanOneEntryIsNone) {
  std::string var = test::VarFileInfo({{0x409, 1200}});
  // Translation's value length (at 32 + 2 inside VarFileInfo) down to 2 bytes.
  test::PutU16(var, 32 + 2, 2);
  fake_.blocks[u"a.exe"] = test::VersionBlock(test::FixedInfo(1, 2), {var, EnglishStrings()});
  SXExeVersion got;
  EXPECT_EQ(ReadVersionInfo(u"a.exe", &got), 0);
}

TEST_F(ReadVersionInfoFake, StringsStopAtTheirZeroAndTheirRecord) {
  std::string table = test::StringTable(u"040904b0", {test::StringEntry(u"ProductVersion", u"1.0"),
                                                         test::StringEntry(u"Comments", u"abc")});
  // ProductVersion's value length (record at 24, field at +2) claims 200 units.
  test::PutU16(table, 24 + 2, 200);
  fake_.blocks[u"a.exe"] = test::VersionBlock(
      test::FixedInfo(1, 2), {test::StringFileInfo({table}), test::VarFileInfo({{0x409, 1200}})});
  SXExeVersion got;
  ASSERT_EQ(ReadVersionInfo(u"a.exe", &got), 1);
  EXPECT_EQ(got.product_version, u"1.0");
  EXPECT_EQ(got.comments, u"abc");
}

// Blocks for the hand parse, each with the key it must give.
struct HandCase {
  const char* what;
  std::string block;
  std::u16string key;
};

std::vector<HandCase> HandCases() {
  const std::string fixed = test::FixedInfo(1, 2);
  const std::string strings = test::StringFileInfo({test::StringTable(u"040904E4", {test::StringEntry(u"FileVersion", u"1")})});
  std::vector<HandCase> cases = {
      {"string table first", test::VersionBlock(fixed, {strings}), u"040904E4"},
      {"translation first", test::VersionBlock(fixed, {test::VarFileInfo({{0x0407, 0x04e4}, {1, 2}}), strings}), u"040704e4"},
      {"long table name", test::VersionBlock(fixed, {test::StringFileInfo({test::StringTable(u"040904b0extra", {})})}), u"040904b0"},
      {"other first child", test::VersionBlock(fixed, {test::VersionRecordBytes(u"Other", 1, "", 0, {strings})}), u""},
      {"table with a value", test::VersionBlock(fixed, {test::StringFileInfo({test::VersionRecordBytes(u"040904b0", 1, test::Utf16z(u"x"), 2)})}), u""},
      {"no Translation", test::VersionBlock(fixed, {test::VersionRecordBytes(u"VarFileInfo", 1, "", 0, {test::VersionRecordBytes(u"Translations", 0, "\x09\x04\xb0\x04", 4)})}), u""},
  };
  HandCase short_root{"root shorter than 130", test::VersionBlock(fixed, {strings}), u""};
  test::PutU16(short_root.block, 0, 129);
  HandCase text_root{"root of type 1", test::VersionBlock(fixed, {strings}), u""};
  test::PutU16(text_root.block, 4, 1);
  HandCase other_key{"root key", test::VersionBlock(fixed, {strings}), u""};
  other_key.block[6 + 2 * 14] = 'X';
  HandCase signature{"signature", test::VersionBlock(fixed, {strings}), u""};
  signature.block[40] = 0;
  HandCase no_child{"no child", test::VersionBlock(fixed, {}) + std::string(60, '\0'), u""};
  test::PutU16(no_child.block, 0, 152);
  HandCase empty_value{"no fixed value", test::VersionRecordBytes(u"VS_VERSION_INFO", 0, "", 0, {strings}) + std::string(60, '\0'), u""};
  HandCase short_translation{"translation of 2 bytes", test::VersionBlock(fixed, {test::VarFileInfo({{0x409, 1200}})}), u""};
  test::PutU16(short_translation.block, 92 + 32 + 2, 2);
  for (HandCase* c : {&short_root, &text_root, &other_key, &signature, &no_child, &empty_value, &short_translation}) cases.push_back(*c);
  return cases;
}

TEST(HandParseTranslationKey, FollowsTheFirstChild) {
  for (const HandCase& c : HandCases()) {
    EXPECT_EQ(test::N(HandParseTranslationKey(c.block.data(), c.block.size())), test::N(c.key)) << c.what;
  }
}

TEST(HandParseTranslationKey, EveryCutStaysInside) {
  for (const HandCase& c : HandCases()) {
    for (size_t n = 0; n <= c.block.size(); ++n) {
      std::unique_ptr<uint8_t[]> cut(new uint8_t[n + 1]);
      std::memcpy(cut.get(), c.block.data(), n);
      const std::u16string key = HandParseTranslationKey(cut.get(), n);
      EXPECT_LE(key.size(), 8u);
    }
  }
}

TEST(InstallVersionReader, ThePathsOfOneFileShareOneIndex) {
  SKIP_WITHOUT_PE_FIXTURES();
  CXExeVersionTable table;
  InstallVersionReader(table);
  SXExeVersion out;
  EXPECT_EQ(table.LookupVersion(PeFixture("full.exe"), nullptr, &out), 0);
  EXPECT_EQ(out.product_name, u"Orvalinth Fixture");
  EXPECT_EQ(table.LookupVersion(FoldedAZ(PeFixture("FULL.EXE")), nullptr, nullptr), 0);
  EXPECT_EQ(table.LookupVersion(PeFixture("fixed_only.exe"), nullptr, nullptr), -1);
  EXPECT_EQ(table.LookupVersion(PeFixture("no_translation.exe"), nullptr, nullptr), 1);
  EXPECT_EQ(table.count(), 2);
}

struct ExtensionCase {
  const char16_t* name;
  bool reads;
};

TEST(HasVersionInfoExtension, ByTheLastFourUnits) {
  const ExtensionCase cases[] = {
      {u"setup.exe", true},  {u"SETUP.EXE", true},     {u"x.Dll", true},     {u"kernel.sys", true},
      {u"a.ocx", true},      {u"font.fon", true},      {u"t.tlb", true},     {u"readme.txt", false},
      {u"exe", false},       {u".exe", false},         {u".EXE", false},     {u"aexe", false},
      {u"page.html", false}, {u"x.lnk", false},        {u"x.exe ", false},   {u"x.exe.bak", false},
      {u"", false},          {u"program.scr", true},   {u"help.hxs", true},  {u"x.unknown", false},
      // Only the low byte of a unit counts: U+012E has the low byte of ".".
      {u"x\u012Eexe", true}, {u"x.\u0145xe", true},
  };
  for (const ExtensionCase& c : cases) EXPECT_EQ(HasVersionInfoExtension(c.name), c.reads) << test::N(c.name);
}

#ifdef _WIN32
// The same reading done with the system's VerQueryValueW.
std::u16string SystemString(const void* block, const std::u16string& key, const char16_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::u16string sub_block = u"\\StringFileInfo\\" + key + u"\\" + name;
  if (!VerQueryValueW(block, platform::win32::W(sub_block), &value, &length) || length == 0) return std::u16string();
  std::u16string text(static_cast<const char16_t*>(value), length);
  return text.substr(0, text.find(u'\0'));
}

int SystemVersion(const std::u16string& path, SXExeVersion* out) {
  *out = SXExeVersion();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(platform::win32::W(path), &ignored);
  if (size == 0) return 0;
  std::vector<uint8_t> block(4 * size);
  void* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(platform::win32::W(path), 0, static_cast<DWORD>(block.size()), block.data()) ||
      !VerQueryValueW(block.data(), L"\\", &fixed, &length) || length < 52) {
    return 0;
  }
  out->file_version_high = static_cast<int32_t>(static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS);
  out->file_version_low = static_cast<int32_t>(static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionLS);
  auto read_strings = [&](const std::u16string& key) {
    out->product_version = SystemString(block.data(), key, u"ProductVersion");
    out->file_version = SystemString(block.data(), key, u"FileVersion");
    out->company_name = SystemString(block.data(), key, u"CompanyName");
    out->product_name = SystemString(block.data(), key, u"ProductName");
    out->file_description = SystemString(block.data(), key, u"FileDescription");
    out->comments = SystemString(block.data(), key, u"Comments");
  };
  void* translation = nullptr;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation, &length) && length >= 4) {
    const auto* pair = static_cast<const uint16_t*>(translation);
    read_strings(test::W(Format("%04x%04x", pair[0], pair[1])));
  }
  if (!out->product_version.empty() || !out->file_version.empty()) return 1;
  const std::u16string key = HandParseTranslationKey(block.data(), block.size());
  if (key.empty()) {
    *out = SXExeVersion();
    return 0;
  }
  read_strings(key);
  return 1;
}

std::vector<std::u16string> ComparedFiles() {
  std::vector<std::u16string> files;
  for (const FixtureCase& c : kFixtureCases) files.push_back(PeFixture(c.file));
  // Wine's own libraries carry version resources naming the product "Wine".
  if (test::running_under_wine()) files.push_back(u"C:\\windows\\system32\\version.dll");
  return files;
}

TEST(ReadVersionInfo, AgreesWithTheSystemAndThePeParser) {
  SKIP_WITHOUT_PE_FIXTURES();
  for (const std::u16string& file : ComparedFiles()) {
    SXExeVersion system;
    const int system_result = SystemVersion(file, &system);
    SXExeVersion ours;
    EXPECT_EQ(ReadVersionInfo(file, &ours), system_result) << test::N(file);
    EXPECT_EQ(Describe(ours), Describe(system)) << test::N(file);
    platform::PeVersionResources parser;
    platform::ScopedFacility<platform::VersionResources> scoped(parser);
    SXExeVersion parsed;
    EXPECT_EQ(ReadVersionInfo(file, &parsed), system_result) << test::N(file);
    EXPECT_EQ(Describe(parsed), Describe(system)) << test::N(file);
  }
  if (test::running_under_wine()) {
    SXExeVersion wine;
    ASSERT_EQ(ReadVersionInfo(u"C:\\windows\\system32\\version.dll", &wine), 1);
    EXPECT_EQ(wine.product_name, u"Wine");
  }
}

TEST(QueryVersionValue, AgreesWithVerQueryValueW) {
  SKIP_WITHOUT_PE_FIXTURES();
  const std::u16string queries[] = {
      u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\ProductName",
      u"\\StringFileInfo\\040904b0\\Comments", u"\\stringfileinfo\\040904B0\\fileversion",
      u"\\StringFileInfo\\040904E4\\CompanyName", u"\\StringFileInfo\\040904b0\\Missing", u"\\Nothing",
      u"\\StringFileInfo\\040704b0\\ProductVersion", u"\\StringFileInfo\\040904b0\\CompanyName",
  };
  for (const std::u16string& file : ComparedFiles()) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(platform::win32::W(file), &ignored);
    if (size == 0) continue;
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(platform::win32::W(file), 0, size, block.data()));
    for (const std::u16string& query : queries) {
      void* value = nullptr;
      UINT length = 0;
      const bool system = VerQueryValueW(block.data(), platform::win32::W(query), &value, &length) != FALSE;
      platform::VersionValue ours;
      EXPECT_EQ(platform::QueryVersionValue(block.data(), block.size(), query, &ours), system)
          << test::N(file) << " " << test::N(query);
      if (!system) continue;
      EXPECT_EQ(static_cast<const void*>(ours.data), value) << test::N(file) << " " << test::N(query);
      EXPECT_EQ(ours.length, length) << test::N(file) << " " << test::N(query);
    }
  }
}
#endif

}  // namespace
}  // namespace orvalinth
