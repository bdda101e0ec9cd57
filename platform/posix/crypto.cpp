// Cryptography on POSIX: OpenSSL 3's libcrypto.

#include "platform/crypto.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

namespace orvalinth::platform {
namespace {

class OpenSslSha256 final : public Sha256Stream {
 public:
  OpenSslSha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  ~OpenSslSha256() override { EVP_MD_CTX_free(context_); }
  void Update(const void* data, size_t n) override { EVP_DigestUpdate(context_, data, n); }
  Sha256Digest Final() override {
    Sha256Digest digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &size);
    return digest;
  }

 private:
  EVP_MD_CTX* context_;
};

// The key of a DER SubjectPublicKeyInfo when it is one the contract accepts
// (RSA of 2048 bits or more, ECDSA on P-256), else null. Bytes after the
// structure make it no key: the pin is taken over all of them.
EVP_PKEY* AcceptedKey(const uint8_t* spki, size_t size) {
  if (spki == nullptr || size == 0 || size > 0x7FFFFFFF) return nullptr;
  const unsigned char* p = spki;
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(size));
  if (key == nullptr) return nullptr;
  bool accepted = false;
  if (static_cast<size_t>(p - spki) == size) {
    // EVP_PKEY_RSA only: an RSA-PSS key (EVP_PKEY_RSA_PSS) is another kind.
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
      accepted = EVP_PKEY_get_bits(key) >= 2048;
    } else if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC) {
      char group[64] = {0};
      size_t length = 0;
      accepted = EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 &&
                 std::strcmp(group, SN_X9_62_prime256v1) == 0;
    }
  }
  if (!accepted) {
    EVP_PKEY_free(key);
    ERR_clear_error();
    return nullptr;
  }
  return key;
}

class PosixCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256Stream> NewSha256() override { return std::make_unique<OpenSslSha256>(); }
  SignatureCheck VerifySha256Signature(const uint8_t* spki, size_t spki_size, const uint8_t* data, size_t size,
                                       const uint8_t* signature, size_t signature_size) override {
    EVP_PKEY* key = AcceptedKey(spki, spki_size);
    if (key == nullptr) return SignatureCheck::kKeyRefused;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* key_context = nullptr;  // owned by the context
    bool valid = false;
    if (context != nullptr && signature != nullptr &&
        EVP_DigestVerifyInit(context, &key_context, EVP_sha256(), /*e=*/nullptr, key) == 1) {
      // PKCS #1 v1.5 is OpenSSL's default for RSA; said here so that no
      // default elsewhere changes it. ECDSA takes the DER (r, s) as it is.
      const bool padded = EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
                          EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PADDING) == 1;
      // 1 is a valid signature; 0 a wrong one, below 0 one that does not
      // even decode: both are invalid.
      valid = padded && EVP_DigestVerify(context, signature, signature_size, data, size) == 1;
    }
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    // A failed check leaves its reasons in the thread's queue, where the TLS
    // engine on the same thread would read them as its own.
    ERR_clear_error();
    return valid ? SignatureCheck::kValid : SignatureCheck::kInvalid;
  }
};

}  // namespace

template <>
Crypto& Facility<Crypto>::Real() {
  static PosixCrypto instance;
  return instance;
}

}  // namespace orvalinth::platform
