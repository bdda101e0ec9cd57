// Cryptography on Windows: CNG (bcrypt.dll) and crypt32.

#include "platform/crypto.h"

#include "platform/win32/win.h"

// clang-format off
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on

#include <cstring>

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

// One DER element at `p` of `n` bytes (single-byte tag, definite length of
// at most 4 bytes): its tag, value and whole size; false when it does not fit.
bool DerElement(const uint8_t* p, size_t n, uint8_t* tag, const uint8_t** value, size_t* value_size, size_t* whole) {
  if (n < 2) return false;
  size_t header = 2;
  size_t length = p[1];
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || n < 2 + count) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | p[2 + i];
    header += count;
  }
  if (length > n - header) return false;
  *tag = p[0];
  *value = p + header;
  *value_size = length;
  *whole = header + length;
  return true;
}

// An ECDSA signature's DER SEQUENCE { INTEGER r, INTEGER s } as the 64 bytes
// of r and s, each big-endian in 32 bytes, that CNG takes for P-256.
bool P256SignatureFromDer(const uint8_t* der, size_t n, uint8_t out[64]) {
  uint8_t tag = 0;
  const uint8_t* value = nullptr;
  size_t size = 0, whole = 0;
  if (!DerElement(der, n, &tag, &value, &size, &whole) || tag != 0x30 || whole != n) return false;
  std::memset(out, 0, 64);
  for (int half = 0; half < 2; ++half) {
    const uint8_t* integer = nullptr;
    size_t integer_size = 0, used = 0;
    if (!DerElement(value, size, &tag, &integer, &integer_size, &used) || tag != 0x02 || integer_size == 0) return false;
    if (integer[0] & 0x80) return false;  // negative: no signature value is
    while (integer_size > 1 && integer[0] == 0) {
      ++integer;
      --integer_size;
    }
    if (integer_size > 32) return false;
    std::memcpy(out + 32 * half + (32 - integer_size), integer, integer_size);
    value += used;
    size -= used;
  }
  return size == 0;
}

// The curve P-256 as the parameters of an EC key name it: its OID, encoded.
constexpr uint8_t kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

enum class KeyKind { kNone, kRsa, kP256 };

// The kind of key a decoded SubjectPublicKeyInfo holds, as its algorithm says.
KeyKind KindOf(const CERT_PUBLIC_KEY_INFO& info) {
  const char* oid = info.Algorithm.pszObjId;
  if (oid == nullptr) return KeyKind::kNone;
  if (std::strcmp(oid, szOID_RSA_RSA) == 0) return KeyKind::kRsa;
  if (std::strcmp(oid, szOID_ECC_PUBLIC_KEY) == 0 && info.Algorithm.Parameters.cbData == sizeof kP256Parameters &&
      std::memcmp(info.Algorithm.Parameters.pbData, kP256Parameters, sizeof kP256Parameters) == 0) {
    return KeyKind::kP256;
  }
  return KeyKind::kNone;
}

// Whether the imported key is what its kind must be: an RSA modulus of 2048
// bits or more, an ECDSA key on P-256. Read from the key's public blob, which
// CNG fills from the key it really holds.
bool KeyAccepted(BCRYPT_KEY_HANDLE key, KeyKind kind) {
  const wchar_t* blob_type = kind == KeyKind::kRsa ? BCRYPT_RSAPUBLIC_BLOB : BCRYPT_ECCPUBLIC_BLOB;
  ULONG size = 0;
  if (BCryptExportKey(key, /*hExportKey=*/nullptr, blob_type, /*pbOutput=*/nullptr, 0, &size, 0) != 0) return false;
  std::unique_ptr<uint8_t[]> blob(new uint8_t[size]);
  if (BCryptExportKey(key, nullptr, blob_type, blob.get(), size, &size, 0) != 0) return false;
  if (kind == KeyKind::kRsa) {
    BCRYPT_RSAKEY_BLOB header;
    if (size < sizeof header) return false;
    std::memcpy(&header, blob.get(), sizeof header);
    return header.Magic == BCRYPT_RSAPUBLIC_MAGIC && header.BitLength >= 2048;
  }
  BCRYPT_ECCKEY_BLOB header;
  if (size < sizeof header) return false;
  std::memcpy(&header, blob.get(), sizeof header);
  return header.dwMagic == BCRYPT_ECDSA_PUBLIC_P256_MAGIC && header.cbKey == 32;
}

class WinCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256Stream> NewSha256() override { return std::make_unique<CngSha256>(); }
  SignatureCheck VerifySha256Signature(const uint8_t* spki, size_t spki_size, const uint8_t* data, size_t size,
                                       const uint8_t* signature, size_t signature_size) override {
    // The structure must be the whole of the bytes: the pin is taken over
    // all of them.
    uint8_t tag = 0;
    const uint8_t* value = nullptr;
    size_t value_size = 0, whole = 0;
    if (spki == nullptr || spki_size > 0xFFFFFFFF ||
        !DerElement(spki, spki_size, &tag, &value, &value_size, &whole) || tag != 0x30 || whole != spki_size) {
      return SignatureCheck::kKeyRefused;
    }
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD info_size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, spki, static_cast<DWORD>(spki_size),
                             CRYPT_DECODE_ALLOC_FLAG, /*pDecodePara=*/nullptr, &info, &info_size)) {
      return SignatureCheck::kKeyRefused;
    }
    const KeyKind kind = KindOf(*info);
    BCRYPT_KEY_HANDLE key = nullptr;
    const bool imported = kind != KeyKind::kNone &&
                          CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, /*pvAuxInfo=*/nullptr, &key);
    LocalFree(info);
    if (!imported) return SignatureCheck::kKeyRefused;
    SignatureCheck result = SignatureCheck::kKeyRefused;
    if (KeyAccepted(key, kind)) {
      Sha256Digest digest = Sha256(data, size);
      NTSTATUS status = -1;
      if (kind == KeyKind::kRsa) {
        BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
        if (signature != nullptr && signature_size <= 0xFFFFFFFF) {
          status = BCryptVerifySignature(key, &padding, digest.data(), static_cast<ULONG>(digest.size()),
                                         const_cast<PUCHAR>(signature), static_cast<ULONG>(signature_size),
                                         BCRYPT_PAD_PKCS1);
        }
      } else {
        uint8_t rs[64];
        if (signature != nullptr && P256SignatureFromDer(signature, signature_size, rs)) {
          status = BCryptVerifySignature(key, /*pPaddingInfo=*/nullptr, digest.data(),
                                         static_cast<ULONG>(digest.size()), rs, sizeof rs, 0);
        }
      }
      result = status == 0 ? SignatureCheck::kValid : SignatureCheck::kInvalid;
    }
    BCryptDestroyKey(key);
    return result;
  }
};

}  // namespace

template <>
Crypto& Facility<Crypto>::Real() {
  static WinCrypto instance;
  return instance;
}

}  // namespace orvalinth::platform
