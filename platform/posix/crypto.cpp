// Cryptography on POSIX: OpenSSL 3's libcrypto.

#include "platform/crypto.h"

#include <openssl/evp.h>

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

class PosixCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256Stream> NewSha256() override { return std::make_unique<OpenSslSha256>(); }
  SignatureCheck VerifySha256Signature(const uint8_t*, size_t, const uint8_t*, size_t, const uint8_t*,
                                       size_t) override {
    return SignatureCheck::kUnavailable;
  }
};

}  // namespace

template <>
Crypto& Facility<Crypto>::Real() {
  static PosixCrypto instance;
  return instance;
}

}  // namespace orvalinth::platform
