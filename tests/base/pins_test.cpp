// Pins and their base64: the standard alphabet with padding, every
// malformed entry refused with its text, and SHA-256 by the system's own
// implementation against the standard's test vectors.

#include "base/pins.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvalinth {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(Pins, Base64BothWays) {
  const struct {
    std::string bytes, text;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
               {std::string("\xFB\xFF\xBF", 3), "+/+/"}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBase64(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.text);
    std::vector<uint8_t> back;
    ASSERT_TRUE(DecodeBase64(c.text, &back)) << c.text;
    EXPECT_EQ(back, Bytes(c.bytes));
  }
  std::vector<uint8_t> out;
  EXPECT_TRUE(DecodeBase64(" Zm9v\r\nYg== ", &out));
  for (const char* bad : {"Zm9", "Zm=v", "Z===", "Zm9v=Zg=", "Zm-v", "Zm9v_g=="}) EXPECT_FALSE(DecodeBase64(bad, &out)) << bad;
}

TEST(Pins, AListOfPinsWithBlanksAndEveryBadEntryNamed) {
  const SXPin a = platform::Crypto::Get().Sha256("a", 1), b = platform::Crypto::Get().Sha256("b", 1);
  std::vector<SXPin> pins;
  std::string error;
  ASSERT_TRUE(ParsePins(" " + PinText(a) + " ,\t" + PinText(b) + ", ,", &pins, &error)) << error;
  EXPECT_EQ(pins, (std::vector<SXPin>{a, b}));
  EXPECT_TRUE(HasPin(pins, b));
  EXPECT_FALSE(HasPin(pins, platform::Crypto::Get().Sha256("c", 1)));
  ASSERT_TRUE(ParsePins("", &pins, &error));
  EXPECT_TRUE(pins.empty());
  for (const std::string& bad : {std::string("Zm9vYg=="), PinText(a) + ",not base64!", PinText(a).substr(0, 40)}) {
    EXPECT_FALSE(ParsePins(bad, &pins, &error)) << bad;
    EXPECT_NE(error.find("is no pin"), std::string::npos) << error;
  }
}

TEST(Pins, Sha256TestVectors) {
  const struct {
    std::string data, digest;
  } cases[] = {{"", "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="},
               {"abc", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="}};
  for (const auto& c : cases) EXPECT_EQ(PinText(PinOfKey(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size())), c.digest);
  // Given in pieces, the same.
  std::unique_ptr<platform::Sha256Stream> stream = platform::Crypto::Get().NewSha256();
  stream->Update("a", 1);
  stream->Update("bc", 2);
  EXPECT_EQ(PinText(stream->Final()), cases[1].digest);
}

}  // namespace
}  // namespace orvalinth
