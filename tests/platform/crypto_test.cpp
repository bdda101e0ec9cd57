// The platform's signature check, on both builds (OpenSSL on POSIX, CNG
// under Wine) with the same vectors: signatures made by `openssl dgst
// -sha256 -sign` over kMessage, and keys of kinds that must be refused.

#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace orvalinth {
namespace {

using platform::SignatureCheck;
using test::Hex;

const std::string kMessage = "signed by the test keys";

// The test keys' SubjectPublicKeyInfos (tests/fixtures/sign) and their
// signatures of kMessage; then an RSA key of 1024 bits, a P-384 key and an
// Ed25519 key, with signatures of kMessage where the key can make them.
const char kRsaKey[] =
    "30820122300d06092a864886f70d01010105000382010f003082010a0282010100e3134afbb6bdd1b34d3d85bd4b7ae2"
    "d250bfd8ee6829655be3c0ebbe9c31198158ed797c4ad5dee518775ee01995bb3609f75f524777d1b7dec19c00f2f4a5"
    "1f2b9a5a0b03d96a33197e30fc31e14fe8da4f87d7fdc696ec14e0ea88808480d05ca5145c47fdbeddae5fce0f17fa03"
    "2dd01b52c4d592c170b9932f778ee76d1ce559d4128852f065085856bfa88cd8bf59714f0ba363e8d809b216016844c6"
    "53754e8cadbd3a825845e3e7e1b1b34bb64604d9175dc7452c5936d396856ef3c9a2cb1e623a5fec1f3b89013fb9dcd0"
    "d906fa4693abe3980a6731545cd391097602e979b71547a51e74601f8b1fd68342b8d34634e75377f70fd4ad0f9224fa"
    "df0203010001";
const char kRsaSignature[] =
    "80f0a2aecdf82e26808b7268736cf21a65f91202b564056346e06b31297beaf2f103d45d72aad807c175b08f63ab6a3f"
    "6a71538c20d4f3ecfd110050b47cf7d03b65ec6cb7ee5bc78ecb22efa53f6c63bcfa01055655cd1f276ff3c3e5fd56aa"
    "b2a9b82985ba8098bebe8258697dbd849394714e80f7fb51576c14103f3c6fc2d4513e8f2b92a5b2604156de18265d6d"
    "ddb8d7b18e5b596a71e8562989fbd86938aa83a552728dddeaf81e748dfd3a82b464a6e089b8cb454a4426454ca5642d"
    "4f68de4f8cea60f4b1b89a73a46e36878115706ccafb5b5c00e588dc341bcf19649aaecff11579dcd3eb5706a1b81563"
    "8fc5c1fcf570f63adedfbcce8943750e";
const char kEcKey[] =
    "3059301306072a8648ce3d020106082a8648ce3d030107034200043e538f7a63cf32ba39c5666629569080dcced44c15"
    "00b664308405822e836658ca45cc6b1ba0dcc17f06b0d305e9178f77b8ba654342a9fd00b6352579fe6870";
const char kEcSignature[] =
    "3045022075b423e807e50908fbfbf677b543aac7a7a10a42ba17cfa9c6fa61c4d541c935022100d8955a80bb049f3823"
    "08b52e7c00364467cb31733896249049cc79f00d6bd460";
const char kRsa1024Key[] =
    "30819f300d06092a864886f70d010101050003818d0030818902818100b744ece19494d34827a3044fbdb2db37714397"
    "d2b5a2beacaeb88b6ba2371d41a4cb8655db1973187e104d1c134d31ba3d8a8baae92a3e8dbd940f89a85039c0d951ea"
    "f10aea207e8e81a02c69c31b79596eab24482c24eb861e7d741d6f655a9d27fba0d07bd41a91e35c06b2d79ba568ab51"
    "b7b4bbbb90d0a4e4ba625b635f0203010001";
const char kRsa1024Signature[] =
    "70d135f984247440166f899f3edabdde231f17dd57eafadbd64cc95066452294f61fdac510d660748cd65e68b66490cf"
    "8ca3d5bea7a0d9aa80e4f3c175feb78ff0eb55a0c31683d3628e4b14dd0a2af6d3b237276ba7542af1912223dc40ca35"
    "1d6de72a434b06a5d24f80090c02b55971feef11c52d9c3aee81698d71e79170";
const char kP384Key[] =
    "3076301006072a8648ce3d020106052b8104002203620004b2896a56b858fb0f683a3b05164b284818e78fd5b230059a"
    "daad233a04a4c0792ba6b72872a9a0aaa683766d05a0147880aeba26fc623ea6f34faf0d5fbb07fd82d3cd324dc25fcf"
    "87373094615ef22842ce921947f58374234a860476f5f4ad";
const char kP384Signature[] =
    "306502301f4bb628b929966babda023052859868f9edd6ded487fe9c33da4db1f7fd6c721b2eb38bc4f0b85ca08f6ce2"
    "716ed445023100e962e046d020b1d9ade985ff744075291a2ba4370c5660ce15705d8198af3884ff9709433006e3c0cf"
    "6671f406e1ffc9";
const char kEd25519Key[] =
    "302a300506032b6570032100506742aef6bc6b15afea4d751e23b758209fbcbe3655010cfb95879dfb6e54b3";

SignatureCheck Verify(const std::string& key, const std::string& data, const std::string& signature) {
  return platform::Crypto::Get().VerifySha256Signature(
      reinterpret_cast<const uint8_t*>(key.data()), key.size(), reinterpret_cast<const uint8_t*>(data.data()),
      data.size(), reinterpret_cast<const uint8_t*>(signature.data()), signature.size());
}

std::string Flipped(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

// The digest in the hex that texts carry it in (platform::HexText: lowercase, two digits a byte).
TEST(Crypto, Sha256OfAbcIsTheStandardVector) {
  const platform::Sha256Digest digest = platform::Crypto::Get().Sha256("abc", 3);
  EXPECT_EQ(platform::HexText(digest.data(), digest.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(platform::HexText("\x00\x0f\xf0", 3), "000ff0");
}

TEST(Crypto, SignatureChecks) {
  const std::string rsa = Hex(kRsaKey), rsa_signature = Hex(kRsaSignature);
  const std::string ec = Hex(kEcKey), ec_signature = Hex(kEcSignature);
  // The 64-byte r and s that CNG takes, which is no DER.
  const std::string raw_ec(64, '\x11');
  const struct {
    const char* what;
    std::string key, data, signature;
    SignatureCheck expected;
  } cases[] = {
      {"RSA 2048, PKCS #1 v1.5", rsa, kMessage, rsa_signature, SignatureCheck::kValid},
      {"ECDSA P-256, DER (r, s)", ec, kMessage, ec_signature, SignatureCheck::kValid},
      {"RSA, other data", rsa, kMessage + ".", rsa_signature, SignatureCheck::kInvalid},
      {"RSA, a bit of the signature changed", rsa, kMessage, Flipped(rsa_signature, 100), SignatureCheck::kInvalid},
      {"RSA, the signature cut short", rsa, kMessage, rsa_signature.substr(0, 255), SignatureCheck::kInvalid},
      {"RSA, no signature", rsa, kMessage, "", SignatureCheck::kInvalid},
      {"ECDSA, other data", ec, kMessage + ".", ec_signature, SignatureCheck::kInvalid},
      {"ECDSA, a bit of s changed", ec, kMessage, Flipped(ec_signature, ec_signature.size() - 1),
       SignatureCheck::kInvalid},
      {"ECDSA, r and s raw", ec, kMessage, raw_ec, SignatureCheck::kInvalid},
      {"ECDSA, the DER cut short", ec, kMessage, ec_signature.substr(0, 40), SignatureCheck::kInvalid},
      {"ECDSA, bytes after the DER", ec, kMessage, ec_signature + '\0', SignatureCheck::kInvalid},
      {"the RSA signature with the EC key", ec, kMessage, rsa_signature, SignatureCheck::kInvalid},
      {"RSA of 1024 bits", Hex(kRsa1024Key), kMessage, Hex(kRsa1024Signature), SignatureCheck::kKeyRefused},
      {"ECDSA P-384", Hex(kP384Key), kMessage, Hex(kP384Signature), SignatureCheck::kKeyRefused},
      {"Ed25519", Hex(kEd25519Key), kMessage, std::string(64, '\0'), SignatureCheck::kKeyRefused},
      {"a key cut short", rsa.substr(0, 200), kMessage, rsa_signature, SignatureCheck::kKeyRefused},
      {"bytes after the key", rsa + '\0', kMessage, rsa_signature, SignatureCheck::kKeyRefused},
      {"no key", "", kMessage, rsa_signature, SignatureCheck::kKeyRefused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Verify(c.key, c.data, c.signature), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace orvalinth
