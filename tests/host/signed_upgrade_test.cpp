// The signature check of upgrades on executables that osslsigncode signed at
// build time with the test keys (cmake/pe_fixtures.cmake), and on those
// executables changed, cut and grown after signing. Both builds: OpenSSL
// checks the signatures on the host, CNG under Wine.

#include "host/signed_upgrade.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/der.h"
#include "base/strings.h"
#include "tests/platform/pe_fixtures.h"

namespace orvalinth {
namespace {

using test::PeFixture;
using test::ReadFileBytes;

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
                               static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}
void PutLe32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void Flip(std::string& b, size_t at) { b[at] = static_cast<char>(b[at] ^ 0x5A); }

// Where the parts of a PE32+ or PE32 file lie, read by hand.
struct SXParts {
  size_t pe, optional, checksum, directory, first_section, table;
};
SXParts PartsOf(const std::string& b) {
  SXParts p{};
  p.pe = Le32(b, 0x3C);
  p.optional = p.pe + 24;
  const bool plus = b[p.optional] == 0x0B && b[p.optional + 1] == 0x02;
  p.checksum = p.optional + 64;
  p.directory = p.optional + (plus ? 112 : 96) + 4 * 8;
  const size_t optional_size = static_cast<uint8_t>(b[p.pe + 20]) | static_cast<uint8_t>(b[p.pe + 21]) << 8;
  p.first_section = Le32(b, p.optional + optional_size + 20);  // the first section's PointerToRawData
  p.table = Le32(b, p.directory);
  return p;
}
// The offset of the last byte of the PKCS #7 structure: the end of the
// signature value, as no unsigned attribute follows it.
size_t LastSignatureByte(const std::string& b) {
  const size_t content = PartsOf(b).table + 8;
  CXDerReader reader(reinterpret_cast<const uint8_t*>(b.data()) + content, b.size() - content);
  SXDerElement element;
  EXPECT_TRUE(reader.Next(&element));
  return content + element.encoding_size - 1;
}

std::vector<SXPin> Pins(std::initializer_list<const char*> texts) {
  std::vector<SXPin> pins;
  for (const char* text : texts) {
    std::vector<SXPin> one;
    std::string error;
    EXPECT_TRUE(ParsePins(text, &one, &error)) << error;
    pins.insert(pins.end(), one.begin(), one.end());
  }
  return pins;
}

std::string Fixture(const std::string& name) { return ReadFileBytes(PeFixture(name)); }

class SignedUpgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(ORVALINTH_SIGNED_FIXTURES).empty()) GTEST_SKIP() << "signed fixtures not built (scripts/setup)";
    rsa_ = Fixture("signed\\rsa.exe");
    ASSERT_GT(rsa_.size(), 4000u);
  }
  std::string rsa_;
  const std::vector<SXPin> pins_ = Pins({ORVALINTH_TEST_PIN_RSA, ORVALINTH_TEST_PIN_EC});
};

using Change = std::function<void(std::string&)>;

TEST_F(SignedUpgrade, WhatPassesAndWhatIsRefusedWithItsReason) {
  const std::string changed = "the executable was changed after it was signed";
  const std::string damaged = "the signature block is damaged (";
  const struct {
    const char* what;
    const char* fixture;
    Change change;
    std::string why;  // empty: accepted; else the reason, or its beginning
  } cases[] = {
      {"RSA 2048", "signed\\rsa.exe", nullptr, ""},
      {"ECDSA P-256", "signed\\ec.exe", nullptr, ""},
      {"PE32", "signed\\pe32.exe", nullptr, ""},
      // The checksum is left out of the image digest: a tool may set it later.
      {"the checksum changed", "signed\\rsa.exe", [](std::string& b) { Flip(b, PartsOf(b).checksum); }, ""},
      {"unsigned", "full.exe", nullptr, "the executable is not signed"},
      {"unsigned PE32", "pe32.exe", nullptr, "the executable is not signed"},
      {"the directory entry cleared", "signed\\rsa.exe",
       [](std::string& b) { b.replace(PartsOf(b).directory, 8, std::string(8, '\0')); }, "the executable is not signed"},
      {"no program", "signed\\rsa.exe", [](std::string& b) { b[0] = 'X'; }, "the file is not a Windows program"},
      {"a signer not pinned", "signed\\other.exe", nullptr,
       std::string("the signature is not by an allowed signer (its key's pin is ") + ORVALINTH_TEST_PIN_OTHER + ")"},
      {"SHA-1", "signed\\sha1.exe", nullptr, "the signature uses SHA-1, not SHA-256"},
      {"a byte of a section", "signed\\rsa.exe", [](std::string& b) { Flip(b, PartsOf(b).first_section + 3); }, changed},
      {"a byte of the headers", "signed\\rsa.exe", [](std::string& b) { Flip(b, PartsOf(b).pe + 8); }, changed},
      {"a byte of a PE32 section", "signed\\pe32.exe", [](std::string& b) { Flip(b, PartsOf(b).first_section); },
       changed},
      {"a byte of the RSA signature", "signed\\rsa.exe", [](std::string& b) { Flip(b, LastSignatureByte(b)); },
       "the signature does not verify"},
      {"a byte of the ECDSA signature", "signed\\ec.exe", [](std::string& b) { Flip(b, LastSignatureByte(b)); },
       "the signature does not verify"},
      {"cut short", "signed\\rsa.exe", [](std::string& b) { b.resize(b.size() - 100); }, damaged + "it is cut short"},
      {"cut short, the directory told", "signed\\rsa.exe",
       [](std::string& b) {
         b.resize(b.size() - 104);
         PutLe32(b, PartsOf(b).directory + 4, static_cast<uint32_t>(b.size() - PartsOf(b).table));
       },
       damaged + "the certificate entry's length)"},
      {"cut short, the entry told too", "signed\\rsa.exe",
       [](std::string& b) {
         b.resize(b.size() - 104);
         const SXParts p = PartsOf(b);
         PutLe32(b, p.directory + 4, static_cast<uint32_t>(b.size() - p.table));
         PutLe32(b, p.table, static_cast<uint32_t>(b.size() - p.table));
       },
       damaged + "ContentInfo)"},
      {"a table of gigabytes", "signed\\rsa.exe", [](std::string& b) { PutLe32(b, PartsOf(b).directory + 4, 0xFFFFFF00); },
       damaged + "it is cut short"},
      {"an entry of gigabytes", "signed\\rsa.exe", [](std::string& b) { PutLe32(b, PartsOf(b).table, 0xFFFFFFF0); },
       damaged + "the certificate entry's length)"},
      {"a DER length of gigabytes", "signed\\rsa.exe",
       [](std::string& b) { b.replace(PartsOf(b).table + 8, 6, std::string("\x30\x84\x7F\xFF\xFF\xFF", 6)); },
       damaged + "ContentInfo)"},
      {"an indefinite DER length", "signed\\rsa.exe", [](std::string& b) { b[PartsOf(b).table + 9] = '\x80'; },
       damaged + "ContentInfo)"},
      {"the SignedData's tag", "signed\\rsa.exe", [](std::string& b) { b[PartsOf(b).table + 8 + 19] = '\x31'; },
       damaged + "SignedData)"},
      {"bytes after the table", "signed\\rsa.exe", [](std::string& b) { b += std::string(8, '\0'); },
       "the signature block is not at the end of the file"},
      {"the entry's revision", "signed\\rsa.exe", [](std::string& b) { b[PartsOf(b).table + 5] = 1; },
       damaged + "the certificate entry's revision)"},
      {"the entry's type", "signed\\rsa.exe", [](std::string& b) { b[PartsOf(b).table + 6] = 1; },
       "the signature block holds no PKCS #7 signature"},
  };
  for (const auto& c : cases) {
    std::string bytes = Fixture(c.fixture);
    ASSERT_FALSE(bytes.empty()) << c.fixture;
    if (c.change) c.change(bytes);
    std::string why;
    const bool accepted = VerifyUpgradeSignature(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), pins_, &why);
    if (c.why.empty()) {
      EXPECT_TRUE(accepted) << c.what << ": " << why;
    } else {
      EXPECT_FALSE(accepted) << c.what;
      EXPECT_EQ(why.substr(0, c.why.size()), c.why) << c.what << ": " << why;
    }
  }
}

TEST_F(SignedUpgrade, OnlyThePinsGivenAreAllowed) {
  std::string why;
  const auto* bytes = reinterpret_cast<const uint8_t*>(rsa_.data());
  EXPECT_TRUE(VerifyUpgradeSignature(bytes, rsa_.size(), Pins({ORVALINTH_TEST_PIN_RSA}), &why)) << why;
  EXPECT_FALSE(VerifyUpgradeSignature(bytes, rsa_.size(), Pins({ORVALINTH_TEST_PIN_EC}), &why));
  EXPECT_EQ(why, std::string("the signature is not by an allowed signer (its key's pin is ") + ORVALINTH_TEST_PIN_RSA + ")");
  EXPECT_FALSE(VerifyUpgradeSignature(bytes, rsa_.size(), {}, &why));
}

// Every cut of a signed file is refused, each in time linear in its size.
TEST_F(SignedUpgrade, EveryCutOfTheSignatureIsRefused) {
  const size_t table = PartsOf(rsa_).table;
  // Beyond the last byte of the signature only padding is cut.
  for (size_t size = table; size <= LastSignatureByte(rsa_); ++size) {
    std::string cut = rsa_.substr(0, size);
    // The table told to end where the file does, so that the parse is reached.
    PutLe32(cut, PartsOf(cut).directory + 4, static_cast<uint32_t>(size - table));
    if (size - table >= 4) PutLe32(cut, table, static_cast<uint32_t>(size - table));
    std::string why;
    EXPECT_FALSE(VerifyUpgradeSignature(reinterpret_cast<const uint8_t*>(cut.data()), cut.size(), pins_, &why)) << size;
    EXPECT_FALSE(why.empty()) << size;
  }
}

}  // namespace
}  // namespace orvalinth
