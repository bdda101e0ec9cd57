// The PE resource parser: built PE files, damaged ones, the real fixtures,
// and under Wine the same bytes as the system's GetFileVersionInfoW.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/version_resources.h"
#include "test_support.h"
#include "tests/platform/pe_builder.h"
#include "tests/platform/pe_fixtures.h"

#ifdef _WIN32
#include "platform/win32/win.h"
#endif

namespace orvalinth::platform {
namespace {

using test::MemorySource;

const std::string& SampleBlock() {
  static const std::string block = test::VersionBlock(
      test::FixedInfo(0x00010002, 0x00030004),
      {test::StringFileInfo({test::StringTable(u"040904b0", {test::StringEntry(u"FileVersion", u"1.2")})}),
       test::VarFileInfo({{0x409, 1200}})});
  return block;
}

// The version resource's bytes as the parser finds them; empty when it finds none.
std::string Found(const std::string& file, uint32_t* error = nullptr) {
  MemorySource source(file);
  uint64_t offset = 0;
  uint32_t size = 0;
  SetLastError(0);
  if (!FindPeVersionResource(source, &offset, &size)) {
    if (error != nullptr) *error = LastError();
    return std::string();
  }
  return file.substr(static_cast<size_t>(offset), size);
}

TEST(PeVersion, FindsTheBlockInEveryLayout) {
  struct {
    test::PeOptions options;
    const char* what;
  } const layouts[] = {
      {{true, 1, true}, "PE32+ after an icon type"},
      {{false, 1, true}, "PE32 after an icon type"},
      {{true, 1, false}, "PE32+ alone"},
      {{true, 7, false}, "a name other than 1: the first name"},
  };
  for (const auto& layout : layouts) {
    EXPECT_EQ(test::ToHex(Found(test::BuildPe(SampleBlock(), layout.options))), test::ToHex(SampleBlock()))
        << layout.what;
  }
}

TEST(PeVersion, OtherFilesAreNoExecutables) {
  std::string bad_magic = test::BuildPe(SampleBlock());
  test::PutU16(bad_magic, test::kPeHeader + 24, 0x107);
  std::string bad_signature = test::BuildPe(SampleBlock());
  bad_signature[test::kPeHeader + 1] = 'X';
  std::string far_header = test::BuildPe(SampleBlock());
  test::PutU32(far_header, 0x3C, 0xFFFFFFF0);
  std::string short_optional = test::BuildPe(SampleBlock());
  test::PutU16(short_optional, test::kPeHeader + 20, 100);
  std::string many_sections = test::BuildPe(SampleBlock());
  test::PutU16(many_sections, test::kPeHeader + 6, 0xFFFF);
  const std::string files[] = {"", "hello, world", std::string("MZ") + std::string(100, '\0'), bad_magic,
                               bad_signature, far_header, short_optional, many_sections};
  for (const std::string& file : files) {
    uint32_t error = 0;
    EXPECT_EQ(Found(file, &error), "") << test::ToHex(file.substr(0, 16));
    EXPECT_EQ(error, kErrorBadExeFormat) << test::ToHex(file.substr(0, 16));
  }
}

TEST(PeVersion, MissingOrMisplacedResourcesAreNotFound) {
  const bool plus = true;
  const size_t directories = test::kPeHeader + 24 + 112;
  std::string no_directory = test::BuildPe(SampleBlock());
  test::PutU32(no_directory, directories + 16, 0);
  std::string two_directories = test::BuildPe(SampleBlock());
  test::PutU32(two_directories, directories - 4, 2);
  std::string no_version_type = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(no_version_type, test::kPeResourceRaw + 16, 14);
  // The data entry (at 24 + 24 + 24 into the section) points past the section, or is too long for it.
  const size_t entry = test::kPeResourceRaw + 72;
  std::string data_outside = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(data_outside, entry, 0x9000);
  std::string data_too_long = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(data_too_long, entry + 4, 0x10000);
  std::string empty_data = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(empty_data, entry + 4, 0);
  std::string language_is_a_directory = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(language_is_a_directory, test::kPeResourceRaw + 48 + 20, 0x80000000u | 24);
  std::string section_moved = test::BuildPe(SampleBlock(), {plus, 1, false});
  test::PutU32(section_moved, test::PeSectionTable(plus) + 12, 0x5000);
  const std::string files[] = {no_directory,  two_directories, no_version_type,         data_outside,
                               data_too_long, empty_data,      language_is_a_directory, section_moved};
  int i = 0;
  for (const std::string& file : files) {
    uint32_t error = 0;
    EXPECT_EQ(Found(file, &error), "") << i;
    EXPECT_EQ(error, kErrorResourceDataNotFound) << i;
    ++i;
  }
}

TEST(PeVersion, CountsBeyondTheFileAreNeverRead) {
  std::string file = test::BuildPe(SampleBlock(), {true, 1, false});
  test::PutU16(file, test::kPeResourceRaw + 12, 0xFFFF);
  test::PutU16(file, test::kPeResourceRaw + 14, 0xFFFF);
  MemorySource source(file);
  uint64_t offset = 0;
  uint32_t size = 0;
  EXPECT_FALSE(FindPeVersionResource(source, &offset, &size));
  EXPECT_LE(source.largest_read(), file.size());
}

TEST(PeVersion, EveryCutOfTheFileFailsUntilTheBlockIsWhole) {
  const std::string file = test::BuildPe(SampleBlock(), {false, 1, true});
  MemorySource whole(file);
  uint64_t offset = 0;
  uint32_t size = 0;
  ASSERT_TRUE(FindPeVersionResource(whole, &offset, &size));
  for (size_t n = 0; n < file.size(); ++n) {
    const bool found = !Found(file.substr(0, n)).empty();
    EXPECT_EQ(found, n >= offset + size) << n;
  }
}

TEST(PeVersion, OnlyTheFirst64KiBCanBeTheBlock) {
  std::string file = test::BuildPe(SampleBlock(), {true, 1, false});
  const size_t grow = 0x20000;
  file += std::string(grow, 'x');
  test::PutU32(file, test::kPeResourceRaw + 72 + 4, 0x18000);
  const size_t section = test::PeSectionTable(true);
  test::PutU32(file, section + 16, static_cast<uint32_t>(file.size() - test::kPeResourceRaw));
  const std::string found = Found(file);
  EXPECT_EQ(found.size(), kMaxVersionBlock);
  EXPECT_EQ(found.substr(0, SampleBlock().size()), SampleBlock());
}

TEST(PeVersion, ReadsTheFixtureFiles) {
  SKIP_WITHOUT_PE_FIXTURES();
  PeVersionResources resources;
  const uint32_t size = resources.BlockSize(test::PeFixture("full.exe"));
  ASSERT_GT(size, 92u);
  std::vector<uint8_t> block(size + 8, 0xCC);
  ASSERT_TRUE(resources.ReadBlock(test::PeFixture("full.exe"), block.data(), size + 8));
  VersionRecord root;
  ASSERT_TRUE(ReadVersionRecord(block.data(), 0, size, &root));
  EXPECT_EQ(VersionRecordKey(block.data(), root), u"VS_VERSION_INFO");
  EXPECT_EQ(block[size], 0) << "the rest of the buffer is cleared";

  SetLastError(0);
  EXPECT_EQ(resources.BlockSize(test::PeFixture("none.exe")), 0u);
  EXPECT_EQ(LastError(), kErrorResourceDataNotFound);
  test::TempFolder folder;
  test::WriteFileBytes(folder / u"readme.txt", "not an executable at all, but long enough to be read as one....");
  EXPECT_EQ(resources.BlockSize(folder / u"readme.txt"), 0u);
  EXPECT_EQ(LastError(), kErrorBadExeFormat);
  EXPECT_EQ(resources.BlockSize(folder / u"missing.exe"), 0u);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(resources.ReadBlock(folder / u"missing.exe", block.data(), size));
}

#ifdef _WIN32
// The version block the system reads, up to the length its root states.
std::string SystemBlock(const std::u16string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(win32::W(path), &ignored);
  if (size == 0) return std::string();
  std::string bytes(size, '\0');
  if (!GetFileVersionInfoW(win32::W(path), 0, size, &bytes[0])) return std::string();
  const size_t length = static_cast<uint8_t>(bytes[0]) | (static_cast<uint8_t>(bytes[1]) << 8);
  return bytes.substr(0, std::min(length, bytes.size()));
}

std::string ParsedBlock(const std::u16string& path) {
  PeVersionResources resources;
  const uint32_t size = resources.BlockSize(path);
  if (size == 0) return std::string();
  std::string bytes(size, '\0');
  if (!resources.ReadBlock(path, &bytes[0], size)) return std::string();
  const size_t length = static_cast<uint8_t>(bytes[0]) | (static_cast<uint8_t>(bytes[1]) << 8);
  return bytes.substr(0, std::min(length, bytes.size()));
}

TEST(PeVersion, GivesTheSystemsBytes) {
  SKIP_WITHOUT_PE_FIXTURES();
  std::vector<std::u16string> files;
  for (const char* name : {"full.exe", "no_translation.exe", "fixed_only.exe", "translation_only.exe", "none.exe"}) {
    files.push_back(test::PeFixture(name));
  }
  if (test::running_under_wine()) files.push_back(u"C:\\windows\\system32\\version.dll");
  for (const std::u16string& file : files) {
    const std::string system = SystemBlock(file);
    EXPECT_EQ(test::ToHex(ParsedBlock(file)), test::ToHex(system)) << test::N(file);
    if (file.find(u"none.exe") == std::u16string::npos) {
      EXPECT_FALSE(system.empty()) << test::N(file);
    }
  }
}
#endif

}  // namespace
}  // namespace orvalinth::platform
