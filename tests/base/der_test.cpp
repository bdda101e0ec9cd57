// The untrusting DER reader: what it takes, what it refuses, and that it
// never reads beyond the bytes or deeper than its limit.

#include "base/der.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;

const uint8_t* U(const std::string& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

TEST(Der, OneElement) {
  const std::string long_value(200, 'x');
  const struct {
    const char* what;
    std::string bytes;
    bool read;
    uint8_t tag;
    size_t value_size;
  } cases[] = {
      {"short length", Hex("04 03 61 62 63"), true, der::kOctetString, 3},
      {"empty value", Hex("05 00"), true, der::kNull, 0},
      {"long form, one byte", Hex("04 81 C8") + long_value, true, der::kOctetString, 200},
      {"context tag", Hex("A0 02 05 00"), true, der::ContextTag(0), 2},
      {"the value cut short", Hex("04 03 61 62"), false, 0, 0},
      {"the length cut short", Hex("04 82 01"), false, 0, 0},
      {"indefinite length", Hex("30 80 05 00 00 00"), false, 0, 0},
      {"five length bytes", Hex("04 85 00 00 00 00 01 61"), false, 0, 0},
      {"a length of gigabytes", Hex("30 84 FF FF FF F0 00"), false, 0, 0},
      {"long form with a leading zero", Hex("04 82 00 03 61 62 63"), false, 0, 0},
      {"long form of a short length", Hex("04 81 03 61 62 63"), false, 0, 0},
      {"a multi-byte tag", Hex("1F 81 01 00"), false, 0, 0},
      {"a lone tag", Hex("30"), false, 0, 0},
  };
  for (const auto& c : cases) {
    CXDerReader reader(U(c.bytes), c.bytes.size());
    SXDerElement element;
    ASSERT_EQ(reader.Next(&element), c.read) << c.what;
    if (!c.read) {
      EXPECT_TRUE(reader.failed()) << c.what;
      EXPECT_FALSE(reader.Next(&element)) << c.what << ": a failed reader stays failed";
      continue;
    }
    EXPECT_EQ(element.tag, c.tag) << c.what;
    EXPECT_EQ(element.value_size, c.value_size) << c.what;
    EXPECT_EQ(element.encoding, U(c.bytes)) << c.what;
    EXPECT_EQ(element.encoding_size, c.bytes.size()) << c.what;
    EXPECT_TRUE(reader.AtEnd()) << c.what;
  }
}

TEST(Der, WalksASequenceAndExpectsTags) {
  const std::string bytes = Hex("30 08 02 01 05 06 03 2B 0E 03 31 00");
  CXDerReader top(U(bytes), bytes.size());
  SXDerElement sequence, integer, oid, set;
  ASSERT_EQ(top.PeekTag(), der::kSequence);
  ASSERT_TRUE(top.Expect(der::kSequence, &sequence));
  CXDerReader inner;
  ASSERT_TRUE(CXDerReader::Enter(sequence, &inner));
  ASSERT_TRUE(inner.Expect(der::kInteger, &integer));
  EXPECT_EQ(integer.value[0], 5);
  ASSERT_TRUE(inner.Next(&oid));
  const uint8_t sha1[] = {0x2B, 0x0E, 0x03};
  EXPECT_TRUE(IsOid(oid, sha1));
  EXPECT_FALSE(IsOid(integer, sha1));
  EXPECT_TRUE(inner.AtEnd());
  // The element after the sequence is a SET, not the SEQUENCE expected.
  EXPECT_FALSE(top.Expect(der::kSequence, &set));
  EXPECT_TRUE(top.failed());
}

TEST(Der, AnInnerLengthBeyondItsOuterElementFails) {
  // The outer sequence holds 3 bytes; its element claims 5.
  const std::string bytes = Hex("30 03 04 05 61 62 63 64 65");
  CXDerReader top(U(bytes), bytes.size());
  SXDerElement outer, inner_element;
  ASSERT_TRUE(top.Next(&outer));
  EXPECT_EQ(outer.value_size, 3u);
  CXDerReader inner;
  ASSERT_TRUE(CXDerReader::Enter(outer, &inner));
  EXPECT_FALSE(inner.Next(&inner_element));
}

TEST(Der, NestingStopsAtTheDepthLimit) {
  // Sequences nested deeper than the limit, each holding the next.
  std::string bytes = Hex("05 00");
  for (int i = 0; i < CXDerReader::kMaxDepth + 2; ++i) bytes = Hex("30") + static_cast<char>(bytes.size()) + bytes;
  ASSERT_LT(bytes.size(), 128u);
  CXDerReader reader(U(bytes), bytes.size());
  SXDerElement element;
  int depth = 0;
  while (reader.Next(&element) && element.tag == der::kSequence && CXDerReader::Enter(element, &reader)) ++depth;
  EXPECT_EQ(depth, CXDerReader::kMaxDepth);
}

}  // namespace
}  // namespace orvalinth
