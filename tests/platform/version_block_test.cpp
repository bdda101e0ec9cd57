// The walk of version blocks: golden bytes from windres, keys, bounds.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/version_resources.h"
#include "test_support.h"
#include "tests/platform/pe_builder.h"

namespace orvalinth::platform {
namespace {

using test::Hex;

// The block windres writes for FILEVERSION 1,2,3,4, PRODUCTVERSION 5,6,7,8,
// a table "040904b0" with CompanyName "Orvalinth Test Makers" and Comments
// L"caf\x00e9 \x20ac", and the translation 0x409, 1200.
const std::string kWindresBlock = Hex(
    "50 01 34 00 00 00 56 00 53 00 5f 00 56 00 45 00 52 00 53 00 49 00 4f 00 4e 00 5f 00 49 00 4e 00 "
    "46 00 4f 00 00 00 00 00 bd 04 ef fe 00 00 01 00 02 00 01 00 04 00 03 00 06 00 05 00 08 00 07 00 "
    "3f 00 00 00 00 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ae 00 00 00 "
    "01 00 53 00 74 00 72 00 69 00 6e 00 67 00 46 00 69 00 6c 00 65 00 49 00 6e 00 66 00 6f 00 00 00 "
    "8a 00 00 00 01 00 30 00 34 00 30 00 39 00 30 00 34 00 62 00 30 00 00 00 4c 00 16 00 01 00 43 00 "
    "6f 00 6d 00 70 00 61 00 6e 00 79 00 4e 00 61 00 6d 00 65 00 00 00 00 00 4f 00 72 00 76 00 61 00 "
    "6c 00 69 00 6e 00 74 00 68 00 20 00 54 00 65 00 73 00 74 00 20 00 4d 00 61 00 6b 00 65 00 72 00 "
    "73 00 00 00 26 00 07 00 01 00 43 00 6f 00 6d 00 6d 00 65 00 6e 00 74 00 73 00 00 00 63 00 61 00 "
    "66 00 e9 00 20 00 ac 20 00 00 00 00 44 00 00 00 01 00 56 00 61 00 72 00 46 00 69 00 6c 00 65 00 "
    "49 00 6e 00 66 00 6f 00 00 00 00 00 24 00 04 00 00 00 54 00 72 00 61 00 6e 00 73 00 6c 00 61 00 "
    "74 00 69 00 6f 00 6e 00 00 00 00 00 09 04 b0 04 ");

std::u16string Units(const VersionValue& value) {
  std::u16string text;
  for (uint32_t i = 0; i < value.length; ++i) text += static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
  return text;
}

bool Query(const std::string& block, const std::u16string& sub_block, VersionValue* value) {
  return QueryVersionValue(block.data(), block.size(), sub_block, value);
}

TEST(VersionBlock, FindsTheValuesOfTheWindresBlock) {
  ASSERT_EQ(kWindresBlock.size(), 336u);
  VersionValue value;
  ASSERT_TRUE(Query(kWindresBlock, u"\\", &value));
  EXPECT_FALSE(value.text);
  EXPECT_EQ(value.length, 52u);
  EXPECT_EQ(value.data, reinterpret_cast<const uint8_t*>(kWindresBlock.data()) + 40);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data), 16), Hex("bd 04 ef fe 00 00 01 00 02 00 01 00 04 00 03 00"));

  ASSERT_TRUE(Query(kWindresBlock, u"\\VarFileInfo\\Translation", &value));
  EXPECT_FALSE(value.text);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data), value.length), Hex("09 04 b0 04"));

  ASSERT_TRUE(Query(kWindresBlock, u"\\StringFileInfo\\040904b0\\CompanyName", &value));
  EXPECT_TRUE(value.text);
  EXPECT_EQ(value.length, 22u);  // units, the terminating zero included
  EXPECT_EQ(Units(value), std::u16string(u"Orvalinth Test Makers") + u'\0');

  ASSERT_TRUE(Query(kWindresBlock, u"\\StringFileInfo\\040904b0\\Comments", &value));
  EXPECT_EQ(Units(value), std::u16string(u"caf\u00e9 \u20ac") + u'\0');
}

TEST(VersionBlock, KeysIgnoreCaseAndEmptyComponentsAreSkipped) {
  VersionValue value;
  EXPECT_TRUE(Query(kWindresBlock, u"\\stringfileinfo\\040904B0\\COMPANYNAME", &value));
  EXPECT_TRUE(Query(kWindresBlock, u"\\\\StringFileInfo\\\\040904b0\\CompanyName\\", &value));
  EXPECT_TRUE(Query(kWindresBlock, u"", &value));
  EXPECT_EQ(value.length, 52u);
}

TEST(VersionBlock, MissingKeysAreNotFound) {
  VersionValue value;
  const std::u16string missing[] = {
      u"\\StringFileInfo\\040904b0\\ProductName", u"\\StringFileInfo\\040904b0\\Company",
      u"\\StringFileInfo\\040904b\\CompanyName", u"\\StringFileInfo\\040704b0\\CompanyName",
      u"\\VarFileInfo\\Translations", u"\\VS_VERSION_INFO",
  };
  for (const std::u16string& sub_block : missing) {
    EXPECT_FALSE(Query(kWindresBlock, sub_block, &value)) << test::N(sub_block);
    EXPECT_EQ(value.data, nullptr);
  }
}

TEST(VersionBlock, BuilderWritesWhatWindresWrites) {
  std::string fixed = test::FixedInfo(0x00010002, 0x00030004);
  test::PutU32(fixed, 16, 0x00050006);
  test::PutU32(fixed, 20, 0x00070008);
  test::PutU32(fixed, 24, 0x3F);
  test::PutU32(fixed, 32, 0x40004);
  test::PutU32(fixed, 36, 1);
  const std::string built = test::VersionBlock(
      fixed, {test::StringFileInfo({test::StringTable(
                  u"040904b0", {test::StringEntry(u"CompanyName", u"Orvalinth Test Makers"),
                                test::StringEntry(u"Comments", u"caf\u00e9 \u20ac")})}),
              test::VarFileInfo({{0x409, 1200}})});
  EXPECT_EQ(test::ToHex(built), test::ToHex(kWindresBlock));
}

TEST(VersionBlock, AValueNeverReachesBeyondItsRecord) {
  // CompanyName claims 0x7FFF units; its record ends 44 bytes after its value's start.
  std::string block = kWindresBlock;
  test::PutU16(block, 0x98 + 2, 0x7FFF);
  VersionValue value;
  ASSERT_TRUE(Query(block, u"\\StringFileInfo\\040904b0\\CompanyName", &value));
  EXPECT_EQ(value.length, 22u);
  // A child that claims more than its parent holds is cut to the parent.
  test::PutU16(block, 0x80, 0xFFF0);
  ASSERT_TRUE(Query(block, u"\\StringFileInfo\\040904b0\\CompanyName", &value));
  EXPECT_LE(value.data + 2 * value.length, reinterpret_cast<const uint8_t*>(block.data()) + 0x5C + 0xAE);
}

TEST(VersionBlock, AZeroLengthRecordEndsItsList) {
  std::string block = kWindresBlock;
  test::PutU16(block, 0x5C, 0);  // StringFileInfo's length
  VersionValue value;
  EXPECT_FALSE(Query(block, u"\\StringFileInfo\\040904b0\\CompanyName", &value));
  EXPECT_FALSE(Query(block, u"\\VarFileInfo\\Translation", &value));
  EXPECT_TRUE(Query(block, u"\\", &value));
}

TEST(VersionBlock, EveryCutOfTheBlockStaysInside) {
  const std::u16string queries[] = {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\Comments"};
  for (size_t n = 0; n <= kWindresBlock.size(); ++n) {
    // An exact-size copy, so that the address sanitizer sees any read past it.
    std::unique_ptr<uint8_t[]> cut(new uint8_t[n + 1]);
    std::memcpy(cut.get(), kWindresBlock.data(), n);
    for (const std::u16string& query : queries) {
      VersionValue value;
      if (QueryVersionValue(cut.get(), n, query, &value)) {
        const size_t bytes = value.text ? 2 * value.length : value.length;
        EXPECT_LE(value.data + bytes, cut.get() + n) << n;
      }
    }
  }
  VersionValue value;
  EXPECT_FALSE(QueryVersionValue(nullptr, 100, u"\\", &value));
}

TEST(VersionBlock, ReadsRecordsForTheHandParse) {
  const auto* block = reinterpret_cast<const uint8_t*>(kWindresBlock.data());
  VersionRecord root;
  ASSERT_TRUE(ReadVersionRecord(block, 0, kWindresBlock.size(), &root));
  EXPECT_EQ(VersionRecordKey(block, root), u"VS_VERSION_INFO");
  EXPECT_EQ(root.end, 336u);
  EXPECT_EQ(root.type, 0);
  EXPECT_EQ(root.value, 40u);
  EXPECT_EQ(root.children, 92u);
  VersionRecord child;
  ASSERT_TRUE(ReadVersionRecord(block, root.children, root.end, &child));
  EXPECT_EQ(VersionRecordKey(block, child), u"StringFileInfo");
  EXPECT_EQ(child.stated_length, 0);
  EXPECT_EQ(child.next, 92u + 0xAE + 2);
  // A key without its terminating zero inside the limit is no record.
  EXPECT_FALSE(ReadVersionRecord(block, 0, 30, &root));
  EXPECT_FALSE(ReadVersionRecord(block, 0, 5, &root));
}

}  // namespace
}  // namespace orvalinth::platform
