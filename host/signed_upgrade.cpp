#include "host/signed_upgrade.h"

#include <cstring>
#include <memory>

#include "base/der.h"
#include "platform/crypto.h"

namespace orvalinth {
namespace {

// The object identifiers met, as their encoded arcs.
constexpr uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};  // 1.2.840.113549.1.7.2
constexpr uint8_t kIndirectDataOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};  // 1.3.6.1.4.1.311.2.1.4
constexpr uint8_t kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};   // 2.16.840.1.101.3.4.2.1
constexpr uint8_t kSha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};                             // 1.3.14.3.2.26
constexpr uint8_t kContentTypeOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};    // 1.2.840.113549.1.9.3
constexpr uint8_t kMessageDigestOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};  // 1.2.840.113549.1.9.4
constexpr uint8_t kRsaOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};        // rsaEncryption
constexpr uint8_t kRsaSha256Oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};  // sha256WithRSAEncryption
constexpr uint8_t kRsaSha1Oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};    // sha1WithRSAEncryption
constexpr uint8_t kEcKeyOid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};                  // id-ecPublicKey
constexpr uint8_t kEcdsaSha256Oid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};      // ecdsa-with-SHA256
constexpr uint8_t kEcdsaSha1Oid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x01};              // ecdsa-with-SHA1

constexpr uint16_t kCertificateRevision = 0x0200;
constexpr uint16_t kCertificateTypePkcs = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
constexpr size_t kSecurityDirectory = 4;           // IMAGE_DIRECTORY_ENTRY_SECURITY

const char kNotSigned[] = "the executable is not signed";
const char kUsesSha1[] = "the signature uses SHA-1, not SHA-256";

uint32_t U16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | U16(p + 2) << 16; }

// Where the parts of the file lie that the image digest leaves out.
struct SXPeLayout {
  size_t checksum_at = 0;   // 4 bytes
  size_t directory_at = 0;  // the certificate table's directory entry, 8 bytes
  size_t table_at = 0;      // the certificate table, to the end of the file
};

struct SXSigner {
  SXDerElement issuer, serial;
  SXDerElement signed_attributes;  // [0] IMPLICIT SET OF Attribute
  SXDerElement signature_algorithm, signature;
};

enum class KeyKind { kOther, kRsa, kEc };

class CXSignatureCheck {
 public:
  CXSignatureCheck(const uint8_t* bytes, size_t size, std::string* why) : bytes_(bytes), size_(size), why_(why) {}

  bool Run(const std::vector<SXPin>& pins);

 private:
  bool Refuse(const std::string& reason) {
    *why_ = reason;
    return false;
  }
  bool Damaged(const char* where) { return Refuse(std::string("the signature block is damaged (") + where + ")"); }

  bool ReadLayout(SXPeLayout* layout);
  bool ReadSignedData(const uint8_t* p, size_t n);
  bool ReadIndirectData(const SXDerElement& content);
  bool ReadSigner(const SXDerElement& signer_infos);
  bool CheckSignedAttributes();
  bool FindSignerKey(SXDerElement* spki);
  // SHA-256 or a refusal naming the digest used instead.
  bool IsSha256(const SXDerElement& algorithm_identifier, const char* where);
  platform::Sha256Digest ImageDigest(const SXPeLayout& layout);

  const uint8_t* bytes_;
  size_t size_;
  std::string* why_;
  SXDerElement indirect_data_{};  // SpcIndirectDataContent, the signed content
  SXDerElement image_digest_{};   // its DigestInfo's digest
  SXDerElement certificates_{};   // [0] IMPLICIT, tag 0 when there are none
  SXSigner signer_{};
  SXDerElement message_digest_{};
};

bool CXSignatureCheck::ReadLayout(SXPeLayout* layout) {
  if (size_ < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z') return Refuse("the file is not a Windows program");
  const size_t pe = U32(bytes_ + 0x3C);
  if (pe > size_ || size_ - pe < 24 || std::memcmp(bytes_ + pe, "PE\0\0", 4) != 0) {
    return Refuse("the file is not a Windows program");
  }
  const size_t optional = pe + 24;
  const size_t optional_size = U16(bytes_ + pe + 20);
  if (optional_size < 2 || optional_size > size_ - optional) return Refuse("the file's PE headers are cut short");
  // PE32 and PE32+ differ in where the data directories start.
  const uint32_t magic = U16(bytes_ + optional);
  if (magic != 0x10B && magic != 0x20B) return Refuse("the file's PE headers are of an unknown kind");
  const size_t count_at = magic == 0x20B ? 108 : 92;
  const size_t directories = count_at + 4;
  const size_t entry = directories + 8 * kSecurityDirectory;
  if (optional_size < count_at + 4) return Refuse("the file's PE headers are cut short");
  if (U32(bytes_ + optional + count_at) <= kSecurityDirectory || optional_size < entry + 8) return Refuse(kNotSigned);
  layout->checksum_at = optional + 64;
  layout->directory_at = optional + entry;
  const uint64_t table_at = U32(bytes_ + layout->directory_at);
  const uint64_t table_size = U32(bytes_ + layout->directory_at + 4);
  if (table_at == 0 && table_size == 0) return Refuse(kNotSigned);
  if (table_at + table_size > size_) return Damaged("it is cut short: the certificate table ends beyond the file");
  if (table_at + table_size != size_) return Refuse("the signature block is not at the end of the file");
  if (table_at < layout->directory_at + 8 || table_size < 8) return Damaged("the certificate table");
  layout->table_at = static_cast<size_t>(table_at);
  return true;
}

bool CXSignatureCheck::IsSha256(const SXDerElement& algorithm_identifier, const char* where) {
  CXDerReader reader;
  SXDerElement oid;
  if (!CXDerReader::Enter(algorithm_identifier, &reader) ||
      !reader.Expect(der::kOid, &oid)) {
    return Damaged(where);
  }
  if (IsOid(oid, kSha1Oid)) return Refuse(kUsesSha1);
  if (!IsOid(oid, kSha256Oid)) return Refuse("the signature uses a digest other than SHA-256");
  return true;
}

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms,
// encapContentInfo, [0] certificates, [1] crls, signerInfos } }.
bool CXSignatureCheck::ReadSignedData(const uint8_t* p, size_t n) {
  CXDerReader top(p, n);
  SXDerElement content_info, type, explicit_content, signed_data;
  CXDerReader info, wrapper, data;
  if (!top.Expect(der::kSequence, &content_info) || !top.Enter(content_info, &info) ||
      !info.Expect(der::kOid, &type)) {
    return Damaged("ContentInfo");
  }
  // What follows the structure in the entry can only be padding.
  for (const uint8_t* rest = content_info.encoding + content_info.encoding_size; rest < p + n; ++rest) {
    if (*rest != 0) return Damaged("bytes after the signature");
  }
  if (!IsOid(type, kSignedDataOid)) return Refuse("the signature block holds no PKCS #7 signed data");
  if (!info.Expect(der::ContextTag(0), &explicit_content) || !info.Enter(explicit_content, &wrapper) ||
      !wrapper.Expect(der::kSequence, &signed_data) || !wrapper.Enter(signed_data, &data)) {
    return Damaged("SignedData");
  }
  SXDerElement version, digest_algorithms, encapsulated, signer_infos;
  if (!data.Expect(der::kInteger, &version) || !data.Expect(der::kSet, &digest_algorithms) ||
      !data.Expect(der::kSequence, &encapsulated)) {
    return Damaged("SignedData");
  }
  if (!ReadIndirectData(encapsulated)) return false;
  if (data.PeekTag() == der::ContextTag(0) && !data.Next(&certificates_)) return Damaged("certificates");
  SXDerElement revocations;
  if (data.PeekTag() == der::ContextTag(1) && !data.Next(&revocations)) return Damaged("revocation lists");
  if (!data.Expect(der::kSet, &signer_infos) || !data.AtEnd()) return Damaged("SignedData");
  return ReadSigner(signer_infos);
}

// encapContentInfo { SPC_INDIRECT_DATA, [0] SpcIndirectDataContent { data,
// DigestInfo { AlgorithmIdentifier, OCTET STRING } } }.
bool CXSignatureCheck::ReadIndirectData(const SXDerElement& encapsulated) {
  CXDerReader reader, wrapper, content, digest_info;
  SXDerElement type, explicit_content, data, digest, algorithm;
  if (!CXDerReader::Enter(encapsulated, &reader) || !reader.Expect(der::kOid, &type)) return Damaged("signed content");
  if (!IsOid(type, kIndirectDataOid)) return Refuse("the signature is not an Authenticode signature of a program");
  if (!reader.Expect(der::ContextTag(0), &explicit_content) || !reader.Enter(explicit_content, &wrapper) ||
      !wrapper.Expect(der::kSequence, &indirect_data_) || !wrapper.Enter(indirect_data_, &content) ||
      !content.Expect(der::kSequence, &data) || !content.Expect(der::kSequence, &digest) ||
      !content.Enter(digest, &digest_info) || !digest_info.Expect(der::kSequence, &algorithm) ||
      !digest_info.Expect(der::kOctetString, &image_digest_)) {
    return Damaged("SpcIndirectDataContent");
  }
  if (!IsSha256(algorithm, "the image digest's algorithm")) return false;
  if (image_digest_.value_size != 32) return Damaged("the image digest's size");
  return true;
}

// signerInfos: SET OF SignerInfo { version, IssuerAndSerialNumber,
// digestAlgorithm, [0] signedAttrs, signatureAlgorithm, signature,
// [1] unsignedAttrs }; Authenticode has exactly one.
bool CXSignatureCheck::ReadSigner(const SXDerElement& signer_infos) {
  CXDerReader set, info, issuer_serial;
  SXDerElement signer, version, identifier, digest_algorithm;
  if (!CXDerReader::Enter(signer_infos, &set) || !set.Expect(der::kSequence, &signer)) return Damaged("no signer");
  if (!set.AtEnd()) return Damaged("more than one signer");
  if (!set.Enter(signer, &info) || !info.Expect(der::kInteger, &version) ||
      !info.Expect(der::kSequence, &identifier) || !info.Enter(identifier, &issuer_serial) ||
      !issuer_serial.Expect(der::kSequence, &signer_.issuer) || !issuer_serial.Expect(der::kInteger, &signer_.serial) ||
      !issuer_serial.AtEnd() || !info.Expect(der::kSequence, &digest_algorithm)) {
    return Damaged("SignerInfo");
  }
  if (!IsSha256(digest_algorithm, "the signer's digest algorithm")) return false;
  if (info.PeekTag() != der::ContextTag(0)) return Damaged("the signer has no signed attributes");
  SXDerElement unsigned_attributes;
  if (!info.Next(&signer_.signed_attributes) || !info.Expect(der::kSequence, &signer_.signature_algorithm) ||
      !info.Expect(der::kOctetString, &signer_.signature) ||
      (info.PeekTag() == der::ContextTag(1) && !info.Next(&unsigned_attributes)) || !info.AtEnd()) {
    return Damaged("SignerInfo");
  }
  return CheckSignedAttributes();
}

// The content type must be Authenticode's and the message digest there once
// each, with one value each.
bool CXSignatureCheck::CheckSignedAttributes() {
  CXDerReader attributes;
  if (!CXDerReader::Enter(signer_.signed_attributes, &attributes)) return Damaged("signed attributes");
  bool content_type = false, message_digest = false;
  SXDerElement attribute;
  while (attributes.Next(&attribute)) {
    CXDerReader fields, values;
    SXDerElement type, set, value;
    if (attribute.tag != der::kSequence || !attributes.Enter(attribute, &fields) || !fields.Expect(der::kOid, &type) ||
        !fields.Expect(der::kSet, &set) || !fields.AtEnd() || !fields.Enter(set, &values)) {
      return Damaged("signed attributes");
    }
    const bool is_type = IsOid(type, kContentTypeOid), is_digest = IsOid(type, kMessageDigestOid);
    if (!is_type && !is_digest) continue;
    bool& seen = is_type ? content_type : message_digest;
    if (seen || !values.Next(&value) || !values.AtEnd()) return Damaged("signed attributes");
    seen = true;
    if (is_type && !IsOid(value, kIndirectDataOid)) return Damaged("the signed content type");
    if (is_digest) {
      if (value.tag != der::kOctetString || value.value_size != 32) return Damaged("the signed message digest");
      message_digest_ = value;
    }
  }
  if (attributes.failed()) return Damaged("signed attributes");
  if (!content_type || !message_digest) return Damaged("the signed attributes lack the content type or digest");
  return true;
}

// The SubjectPublicKeyInfo of the certificate whose issuer and serial number
// are the signer's: Certificate { TBSCertificate { [0] version, serial,
// signature, issuer, validity, subject, subjectPublicKeyInfo, ... }, ... }.
bool CXSignatureCheck::FindSignerKey(SXDerElement* spki) {
  if (certificates_.tag != 0) {
      CXDerReader list;
    if (!CXDerReader::Enter(certificates_, &list)) return Damaged("certificates");
    SXDerElement certificate;
    while (list.Next(&certificate)) {
      // Other kinds of certificate ([0] to [3]) cannot be the signer's.
      if (certificate.tag != der::kSequence) continue;
      CXDerReader fields, tbs;
      SXDerElement to_be_signed, version, serial, algorithm, issuer, validity, subject;
      if (!list.Enter(certificate, &fields) || !fields.Expect(der::kSequence, &to_be_signed) ||
          !fields.Enter(to_be_signed, &tbs) || (tbs.PeekTag() == der::ContextTag(0) && !tbs.Next(&version)) ||
          !tbs.Expect(der::kInteger, &serial) || !tbs.Expect(der::kSequence, &algorithm) ||
          !tbs.Expect(der::kSequence, &issuer) || !tbs.Expect(der::kSequence, &validity) ||
          !tbs.Expect(der::kSequence, &subject) || !tbs.Expect(der::kSequence, spki)) {
        return Damaged("a certificate");
      }
      if (SameEncoding(issuer, signer_.issuer) && SameEncoding(serial, signer_.serial)) return true;
    }
    if (list.failed()) return Damaged("certificates");
  }
  return Damaged("the signer's certificate is not in it");
}

KeyKind KindOfKey(const SXDerElement& spki) {
  CXDerReader fields, algorithm;
  SXDerElement identifier, oid;
  if (!CXDerReader::Enter(spki, &fields) || !fields.Expect(der::kSequence, &identifier) ||
      !fields.Enter(identifier, &algorithm) || !algorithm.Expect(der::kOid, &oid)) {
    return KeyKind::kOther;
  }
  if (IsOid(oid, kRsaOid)) return KeyKind::kRsa;
  if (IsOid(oid, kEcKeyOid)) return KeyKind::kEc;
  return KeyKind::kOther;
}

platform::Sha256Digest CXSignatureCheck::ImageDigest(const SXPeLayout& layout) {
  std::unique_ptr<platform::Sha256Stream> digest = platform::Crypto::Get().NewSha256();
  digest->Update(bytes_, layout.checksum_at);
  digest->Update(bytes_ + layout.checksum_at + 4, layout.directory_at - (layout.checksum_at + 4));
  digest->Update(bytes_ + layout.directory_at + 8, layout.table_at - (layout.directory_at + 8));
  return digest->Final();
}

bool CXSignatureCheck::Run(const std::vector<SXPin>& pins) {
  SXPeLayout layout;
  if (!ReadLayout(&layout)) return false;
  // WIN_CERTIFICATE { dwLength, wRevision, wCertificateType, bCertificate }:
  // the first entry is the primary signature.
  const uint8_t* entry = bytes_ + layout.table_at;
  const size_t table_size = size_ - layout.table_at;
  const size_t length = U32(entry);
  if (length < 8 || length > table_size) return Damaged("the certificate entry's length");
  if (U16(entry + 4) != kCertificateRevision) return Damaged("the certificate entry's revision");
  if (U16(entry + 6) != kCertificateTypePkcs) return Refuse("the signature block holds no PKCS #7 signature");
  if (!ReadSignedData(entry + 8, length - 8)) return false;

  SXDerElement spki;
  if (!FindSignerKey(&spki)) return false;
  CXDerReader algorithm;
  SXDerElement oid;
  if (!CXDerReader::Enter(signer_.signature_algorithm, &algorithm) || !algorithm.Expect(der::kOid, &oid)) {
    return Damaged("the signature algorithm");
  }
  if (IsOid(oid, kRsaSha1Oid) || IsOid(oid, kEcdsaSha1Oid)) return Refuse(kUsesSha1);
  const KeyKind kind = KindOfKey(spki);
  const bool rsa = IsOid(oid, kRsaOid) || IsOid(oid, kRsaSha256Oid);
  if (!(rsa && kind == KeyKind::kRsa) && !(IsOid(oid, kEcdsaSha256Oid) && kind == KeyKind::kEc)) {
    return Refuse("the signature's algorithm is not RSA or ECDSA with SHA-256 for the signer's key");
  }
  // Before any cryptography: a key that is not pinned is never handed on.
  const SXPin pin = PinOfKey(spki.encoding, spki.encoding_size);
  if (!HasPin(pins, pin)) return Refuse("the signature is not by an allowed signer (its key's pin is " + PinText(pin) + ")");

  const platform::Sha256Digest image = ImageDigest(layout);
  if (std::memcmp(image.data(), image_digest_.value, image.size()) != 0) {
    return Refuse("the executable was changed after it was signed");
  }
  // Authenticode's message digest is over the content of the
  // SpcIndirectDataContent, without its tag and length.
  const platform::Sha256Digest content = platform::Crypto::Get().Sha256(indirect_data_.value, indirect_data_.value_size);
  if (std::memcmp(content.data(), message_digest_.value, content.size()) != 0) {
    return Refuse("the signature does not verify (the signed digest is not that of the signed content)");
  }
  // The signature is over the signed attributes encoded as the SET OF they
  // are, not as the [0] that carries them.
  std::vector<uint8_t> attributes(signer_.signed_attributes.encoding,
                                  signer_.signed_attributes.encoding + signer_.signed_attributes.encoding_size);
  attributes[0] = der::kSet;
  switch (platform::Crypto::Get().VerifySha256Signature(spki.encoding, spki.encoding_size, attributes.data(),
                                                         attributes.size(), signer_.signature.value,
                                                         signer_.signature.value_size)) {
    case platform::SignatureCheck::kValid: return true;
    case platform::SignatureCheck::kInvalid: return Refuse("the signature does not verify");
    case platform::SignatureCheck::kKeyRefused:
      return Refuse("the signer's key is not an RSA key of 2048 bits or more or an ECDSA P-256 key");
    case platform::SignatureCheck::kUnavailable: break;
  }
  return Refuse("this system cannot check signatures");
}

}  // namespace

bool VerifyUpgradeSignature(const uint8_t* bytes, size_t size, const std::vector<SXPin>& pins, std::string* why) {
  if (bytes == nullptr) size = 0;
  return CXSignatureCheck(bytes, size, why).Run(pins);
}

}  // namespace orvalinth
