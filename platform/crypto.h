#pragma once
// The cryptography the link's security needs from the system: SHA-256, and
// the check of a signature made with the private key of a public key given
// as its DER SubjectPublicKeyInfo.
//
// win32: CNG (bcrypt.dll) for the digest and the checks, crypt32 for the
// import of the public key. POSIX: OpenSSL 3 (libcrypto).
//
// Only what a security reviewer would accept is accepted: RSA keys of 2048
// bits or more with PKCS #1 v1.5 signatures, and ECDSA keys on P-256 with
// DER-encoded (r, s) signatures, both over SHA-256. Any other key or
// algorithm fails the check (kKeyRefused).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

using Sha256Digest = std::array<uint8_t, 32>;

// Lowercase hex of bytes: the form digests, salts and secrets take in texts.
inline std::string HexText(const void* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// SHA-256 over data given in pieces.
class Sha256Stream {
 public:
  virtual ~Sha256Stream() = default;
  virtual void Update(const void* data, size_t n) = 0;
  // The digest of everything updated; the stream is spent.
  virtual Sha256Digest Final() = 0;
};

enum class SignatureCheck {
  kValid = 0,
  kInvalid,      // the signature does not verify
  kKeyRefused,   // the key is not of a kind accepted above, or does not decode
  kUnavailable,  // the system has no such check
};

class Crypto : public Facility<Crypto> {
 public:
  virtual ~Crypto() = default;

  virtual std::unique_ptr<Sha256Stream> NewSha256() = 0;
  Sha256Digest Sha256(const void* data, size_t n) {
    std::unique_ptr<Sha256Stream> stream = NewSha256();
    stream->Update(data, n);
    return stream->Final();
  }

  // Whether `signature` is a signature of `data` (hashed here with SHA-256)
  // by the private key of the public key `spki` (DER SubjectPublicKeyInfo).
  virtual SignatureCheck VerifySha256Signature(const uint8_t* spki, size_t spki_size, const uint8_t* data,
                                               size_t size, const uint8_t* signature, size_t signature_size) = 0;
};

template <>
Crypto& Facility<Crypto>::Real();

}  // namespace orvalinth::platform
