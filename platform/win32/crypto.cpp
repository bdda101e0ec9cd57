// Cryptography on Windows: CNG (bcrypt.dll) and crypt32.

#include "platform/crypto.h"

#include "platform/win32/win.h"

// clang-format off
#include <bcrypt.h>
// clang-format on

namespace orvalinth::platform {
namespace {

class CngSha256 final : public Sha256Stream {
 public:
  CngSha256() {
    if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, /*pszImplementation=*/nullptr, 0) == 0) {
      BCryptCreateHash(algorithm_, &hash_, /*pbHashObject=*/nullptr, 0, /*pbSecret=*/nullptr, 0, 0);
    }
  }
  ~CngSha256() override {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  void Update(const void* data, size_t n) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (hash_ != nullptr && n > 0) {
      const ULONG piece = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
      BCryptHashData(hash_, const_cast<PUCHAR>(bytes), piece, 0);
      bytes += piece;
      n -= piece;
    }
  }
  Sha256Digest Final() override {
    Sha256Digest digest{};
    if (hash_ != nullptr) BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

class WinCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256Stream> NewSha256() override { return std::make_unique<CngSha256>(); }
  SignatureCheck VerifySha256Signature(const uint8_t*, size_t, const uint8_t*, size_t, const uint8_t*,
                                       size_t) override {
    return SignatureCheck::kUnavailable;
  }
};

}  // namespace

template <>
Crypto& Facility<Crypto>::Real() {
  static WinCrypto instance;
  return instance;
}

}  // namespace orvalinth::platform
