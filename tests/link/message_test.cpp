#include "link/message.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

std::string Encoded(CXMessage& message) {
  int32_t length = 0;
  const uint8_t* frame = message.Encode(&length);
  return std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length));
}

// Puts `body` into the message as a received body and decodes it.
bool DecodeBody(CXMessage& message, const std::string& body) {
  uint8_t* at = message.ReserveBody(static_cast<int32_t>(body.size()));
  if (!body.empty()) std::memcpy(at, body.data(), body.size());
  return message.Decode();
}

std::string PayloadOf(const CXMessage& message) {
  return std::string(reinterpret_cast<const char*>(message.Payload()), static_cast<size_t>(message.PayloadSize()));
}

TEST(Message, WorkedFrames) {
  CXMessage m;
  EXPECT_EQ(ToHex(Encoded(m.Init("ping"))), "04 00 00 00 70 69 6E 67");
  EXPECT_EQ(ToHex(Encoded(m.Init("scan").AddInt("ok", 1))), "09 00 00 00 73 63 61 6E FE 6F 6B FE 31");

  m.Init("down-block");
  uint8_t* payload = m.ReservePayload(3);
  payload[0] = 0xAA;
  payload[1] = 0xBB;
  payload[2] = 0xCC;
  m.SetPayloadSize(3);
  EXPECT_EQ(ToHex(Encoded(m)), "0F 00 00 00 64 6F 77 6E 2D 62 6C 6F 63 6B FE FE AA BB CC");
}

TEST(Message, EncodeCanBeRepeatedAndInitDropsThePayload) {
  CXMessage m;
  m.Init("down-block");
  m.ReservePayload(1)[0] = 0x55;
  m.SetPayloadSize(1);
  const std::string first = Encoded(m);
  EXPECT_EQ(Encoded(m), first);
  // The same object then carries a message without payload.
  EXPECT_EQ(ToHex(Encoded(m.Init("ping"))), "04 00 00 00 70 69 6E 67");
}

TEST(Message, ReservedBlockWithSizeZeroEncodesTheMarkerOnly) {
  CXMessage m;
  m.Init("down-block");
  m.ReservePayload(131072);
  m.SetPayloadSize(0);
  EXPECT_EQ(ToHex(Encoded(m)), "0C 00 00 00 64 6F 77 6E 2D 62 6C 6F 63 6B FE FE");
}

TEST(Message, BlockPayloadIsEncodedWhereItWasWritten) {
  CXMessage m;
  m.Init("down-block").AddInt("pos", 262144);
  const int32_t n = 131072;
  uint8_t* payload = m.ReservePayload(n);
  for (int32_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7);
  m.SetPayloadSize(n);

  int32_t length = 0;
  const uint8_t* frame = m.Encode(&length);
  const int32_t at = static_cast<int32_t>(m.text().size()) + 2;
  EXPECT_EQ(length, at + n);
  // Not moved: the payload is part of the frame at the place it was written.
  EXPECT_EQ(frame + at, payload);
  for (int32_t i = 0; i < n; ++i) ASSERT_EQ(frame[at + i], static_cast<uint8_t>(i * 7)) << i;
  EXPECT_EQ(ToHex(std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(at))),
            ToHex(Hex("17 00 02 00") + "down-block" + Hex("FE") + "pos" + Hex("FE") + "262144" + Hex("FE FE")));
}

TEST(Message, ReceivedPayloadPointsIntoTheBody) {
  CXMessage m;
  const std::string body = "x" + Hex("FE FE") + std::string(1000, '\xFE');
  ASSERT_TRUE(DecodeBody(m, body));
  EXPECT_EQ(m.Payload(), m.buffer().data() + 3);
  EXPECT_EQ(m.PayloadSize(), 1000);
  EXPECT_EQ(PayloadOf(m), std::string(1000, '\xFE'));  // FE inside the payload is data
}

TEST(Message, ListsTravelAsUtf8UnitByUnit) {
  CXMessage m;
  // U+00E9, U+20AC and a surrogate pair, whose halves are encoded one by one.
  const std::vector<std::u16string> list = {u"a", u"\u00E9", u"\u20AC", std::u16string(u"\xD83D\xDE00", 2), u""};
  m.Init("x").AddList("k", list);
  EXPECT_EQ(ToHex(Encoded(m).substr(4)), "78 FE 6B FE FF 61 FF C3 A9 FF E2 82 AC FF ED A0 BD ED B8 80 FF");
  CXMessage back;
  ASSERT_TRUE(DecodeBody(back, Encoded(m).substr(4)));
  std::vector<std::u16string> read;
  ASSERT_TRUE(back.GetList("k", &read));
  EXPECT_EQ(read, list);
}

TEST(Message, EmptyListIsTheKeyAndSeparatorOnly) {
  CXMessage m;
  EXPECT_EQ(ToHex(Encoded(m.Init("x").AddList("k", {}))), "04 00 00 00 78 FE 6B FE");
}

TEST(Message, NegativeIntegersAreDecimal) {
  CXMessage m;
  EXPECT_EQ(ToHex(Encoded(m.Init("x").AddInt("k", -1)).substr(4)), "78 FE 6B FE 2D 31");
}

struct DecodeCase {
  const char* body;  // hex
  bool ok;
  const char* name;
  std::vector<std::pair<std::string, std::string>> pairs;  // hex key, hex value
  const char* payload;                                     // hex
};

TEST(Message, DecodeEdgeCases) {
  const DecodeCase cases[] = {
      {"", true, "", {}, ""},
      {"78 79", true, "78 79", {}, ""},
      {"78 FE", false, "78", {}, ""},
      {"78 FE 6B", false, "78", {}, ""},
      {"78 FE 6B FE", true, "78", {{"6B", ""}}, ""},
      {"78 FE 6B FE 76", true, "78", {{"6B", "76"}}, ""},
      {"78 FE 6B FE 76 FE", false, "78", {{"6B", "76"}}, ""},
      {"78 FE FE", true, "78", {}, ""},
      {"78 FE 6B FE FE FE AA", true, "78", {{"6B", ""}}, "AA"},
      {"78 FE 6B FE 76 FE FE FE FE 00", true, "78", {{"6B", "76"}}, "FE FE 00"},
      {"78 FE 6B FE FF 76 FF", true, "78", {{"6B", "FF 76 FF"}}, ""},
      {"FE 6B FE 76", true, "", {{"6B", "76"}}, ""},
      {"78 FE 6B FE 76 FE 6C FE", true, "78", {{"6B", "76"}, {"6C", ""}}, ""},
      {"78 FE 6B FE 76 FE 6C", false, "78", {{"6B", "76"}}, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.body);
    CXMessage m;
    EXPECT_EQ(DecodeBody(m, Hex(c.body)), c.ok);
    EXPECT_EQ(ToHex(m.Name()), c.name);
    ASSERT_EQ(m.keys().size(), c.pairs.size());
    ASSERT_EQ(m.values().size(), c.pairs.size());
    for (size_t i = 0; i < c.pairs.size(); ++i) {
      EXPECT_EQ(ToHex(m.keys()[i]), c.pairs[i].first);
      EXPECT_EQ(ToHex(m.values()[i]), c.pairs[i].second);
    }
    EXPECT_EQ(ToHex(PayloadOf(m)), c.payload);
  }
}

TEST(Message, DecodeForgetsThePreviousMessage) {
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "a" + Hex("FE") + "k" + Hex("FE") + "v" + Hex("FE FE 01 02")));
  ASSERT_TRUE(DecodeBody(m, "b"));
  EXPECT_TRUE(m.IsNamed("b"));
  EXPECT_TRUE(m.keys().empty());
  EXPECT_EQ(m.PayloadSize(), 0);
}

TEST(Message, LookupsTakeTheFirstExactKey) {
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "get-dir" + Hex("FE") + "path" + Hex("FE") + "one" + Hex("FE") + "Path" + Hex("FE") +
                                "two" + Hex("FE") + "path" + Hex("FE") + "three"));
  EXPECT_TRUE(m.IsNamed("get-dir"));
  EXPECT_FALSE(m.IsNamed("GET-DIR"));
  EXPECT_FALSE(m.IsNamed("get-di"));
  EXPECT_EQ(m.GetString("path"), "one");
  EXPECT_EQ(m.GetString("Path"), "two");
  EXPECT_EQ(m.GetString("pat"), "");
  EXPECT_EQ(m.GetString("missing"), "");
}

TEST(Message, GetIntReadsLikeStrtolClampedTo32Bits) {
  const std::pair<const char*, int32_t> cases[] = {
      {"12a", 12},
      {"-5", -5},
      {"", 0},
      {" \t\n+7", 7},
      {"0x10", 0},
      {"- 5", 0},
      {"abc", 0},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"99999999999999999999999", INT32_MAX},
      {"-99999999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) {
    CXMessage m;
    ASSERT_TRUE(DecodeBody(m, "x" + Hex("FE") + "k" + Hex("FE") + c.first));
    EXPECT_EQ(m.GetInt("k"), c.second) << '"' << c.first << '"';
  }
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "x"));
  EXPECT_EQ(m.GetInt("k"), 0);
}

TEST(Message, GetListSplitsAtEveryMark) {
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "x" + Hex("FE 6C FE FF 61 FF FF 62 FE 65 FE FE 6E FE 7A FF 61")));
  std::vector<std::u16string> list = {u"stale"};
  ASSERT_TRUE(m.GetList("l", &list));
  EXPECT_EQ(list, (std::vector<std::u16string>{u"a", u"", u"b"}));
  ASSERT_TRUE(m.GetList("e", &list));  // empty value: an empty list
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(m.GetList("n", &list));  // the part before the first mark is dropped
  EXPECT_EQ(list, (std::vector<std::u16string>{u"a"}));
  list = {u"stale"};
  EXPECT_FALSE(m.GetList("missing", &list));
  EXPECT_TRUE(list.empty());
}

TEST(Message, DumpShowsNamePairsAndPayloadSize) {
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "down" + Hex("FE") + "a" + Hex("FE") + "1" + Hex("FE") + "b" + Hex("FE FE FE 01 02")));
  std::string dump = "old";
  m.Dump(&dump);
  EXPECT_EQ(dump, "down\n\ta\t1\n\tb\t\n\tdata 2");
  ASSERT_TRUE(DecodeBody(m, "x" + Hex("FE FE")));
  m.Dump(&dump);
  EXPECT_EQ(dump, "x");  // a payload of size 0 counts as none
}

TEST(Message, RequestValuesOutliveTheReplyStart) {
  CXMessage m;
  ASSERT_TRUE(DecodeBody(m, "get-dir" + Hex("FE") + "path" + Hex("FE") + "C:\\"));
  m.Init("get-dir").AddString("ok", "1");
  m.ReservePayload(64);
  EXPECT_EQ(m.GetString("path"), "C:\\");
}

TEST(Message, BufferGrowsOnlyForLargerBodies) {
  CXMessage m;
  m.ReserveBody(1000);
  const int32_t capacity = m.buffer().capacity();
  EXPECT_EQ(capacity, 1000);  // grow step 0: exactly what is needed
  m.ReserveBody(10);
  EXPECT_EQ(m.buffer().capacity(), capacity);
  EXPECT_EQ(m.buffer().size(), 10);
}

TEST(Message, AddWithoutInitStillLeavesRoomForTheLength) {
  CXMessage m;
  m.AddString("k", "v");
  EXPECT_EQ(ToHex(Encoded(m)), "04 00 00 00 FE 6B FE 76");
}

}  // namespace
}  // namespace orvalinth
