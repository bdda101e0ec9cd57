#include "platform/win32/schannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/win32/socket_io.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// clang-format off
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>
// clang-format on

namespace orvalinth::platform::win32 {
namespace {

// A peer that announces a record longer than TLS allows (16 KiB of
// plaintext and its overhead) is refused rather than read.
constexpr size_t kMostBuffered = 64 * 1024;
constexpr size_t kReadPiece = 16 * 1024 + 512;
// TLS 1.3 messages without data (key updates, tickets) a console may send
// in a row: one now and then is normal, a flood of them is refused.
constexpr int kMostMessagesWithoutData = 32;

std::string Hex(SECURITY_STATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

TlsFailure Failed(const char* reason, const std::string& detail) { return TlsFailure{reason, detail}; }

using Clock = std::chrono::steady_clock;

int64_t MsLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Sends every byte within the socket's own time-outs.
bool SendAll(SOCKET s, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const int32_t sent = SendSome(s, bytes, static_cast<int32_t>(std::min<size_t>(n, 1 << 20)));
    if (sent <= 0) return false;
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

struct SchannelSession::Handles {
  CredHandle credentials{};
  CtxtHandle context{};
  bool have_credentials = false;
  bool have_context = false;
  SecPkgContext_StreamSizes sizes{};
  ~Handles() {
    if (have_context) DeleteSecurityContext(&context);
    if (have_credentials) FreeCredentialsHandle(&credentials);
  }
};

SchannelSession::SchannelSession(SOCKET s) : socket_(s), handles_(std::make_unique<Handles>()) {}

SchannelSession::~SchannelSession() = default;

std::unique_ptr<SchannelSession> SchannelSession::Connect(SOCKET s, const TlsClientConfig& config,
                                                          TlsFailure* failure) {
  std::unique_ptr<SchannelSession> session(new SchannelSession(s));
  Handles& h = *session->handles_;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(config.deadline_ms);

  // TLS 1.2 and 1.3; a system whose SChannel takes no 1.3 in these
  // credentials is asked for 1.2 alone.
  SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
  for (const DWORD protocols : {DWORD{SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT}, DWORD{SP_PROT_TLS1_2_CLIENT}}) {
    SCHANNEL_CRED credentials{};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = protocols;
    // No certificate store or chain is asked about: the pin alone decides.
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    status = AcquireCredentialsHandleW(/*pszPrincipal=*/nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                       SECPKG_CRED_OUTBOUND, /*pvLogonId=*/nullptr, &credentials,
                                       /*pGetKeyFn=*/nullptr, /*pvGetKeyArgument=*/nullptr, &h.credentials, &expiry);
    if (status == SEC_E_OK) break;
  }
  if (status != SEC_E_OK) {
    *failure = Failed("unavailable", "SChannel gives no TLS 1.2 client credentials (" + Hex(status) + ")");
    return nullptr;
  }
  h.have_credentials = true;

  const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                       ISC_REQ_MANUAL_CRED_VALIDATION;
  std::wstring target(config.server_name.begin(), config.server_name.end());
  std::vector<uint8_t>& incoming = session->incoming_;
  bool first = true;
  for (;;) {
    SecBuffer in[2] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
    DWORD got = 0;
    status = InitializeSecurityContextW(&h.credentials, first ? nullptr : &h.context,
                                        target.empty() ? nullptr : &target[0], wanted, /*Reserved1=*/0,
                                        /*TargetDataRep=*/0, first ? nullptr : &in_desc, /*Reserved2=*/0,
                                        &h.context, &out_desc, &got, /*ptsExpiry=*/nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) h.have_context = true;
    first = false;
    if (out[0].pvBuffer != nullptr) {
      const bool sent = out[0].cbBuffer == 0 || SendAll(s, static_cast<const uint8_t*>(out[0].pvBuffer), out[0].cbBuffer);
      FreeContextBuffer(out[0].pvBuffer);
      if (!sent) {
        *failure = Failed("closed", "the console closed the link during the handshake");
        return nullptr;
      }
    }
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      // What the call did not take belongs to the next step (or is data).
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= incoming.size()) {
        incoming.erase(incoming.begin(), incoming.end() - in[1].cbBuffer);
      } else if (!incoming.empty() && status != SEC_E_INCOMPLETE_MESSAGE) {
        incoming.clear();
      }
      if (status == SEC_E_OK) break;
      if (!incoming.empty()) continue;
    } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
      *failure = Failed("handshake", "the TLS handshake failed (" + Hex(status) + ")");
      return nullptr;
    }
    // More of the server's messages are needed.
    const int64_t left = MsLeft(deadline);
    if (left <= 0 || WaitReady(s, Ready::kRead, static_cast<DWORD>(left)) <= 0) {
      *failure = Failed("timeout", "no TLS handshake within the time allowed");
      return nullptr;
    }
    if (incoming.size() > kMostBuffered) {
      *failure = Failed("handshake", "the console sent more than a handshake holds");
      return nullptr;
    }
    uint8_t piece[kReadPiece];
    const int got_bytes = recv(s, reinterpret_cast<char*>(piece), sizeof piece, 0);
    if (got_bytes == 0) {
      *failure = Failed("closed", "the console closed the link during the TLS handshake (a console without TLS?)");
      return nullptr;
    }
    if (got_bytes < 0) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
      *failure = Failed("closed", "the link broke during the TLS handshake");
      return nullptr;
    }
    incoming.insert(incoming.end(), piece, piece + got_bytes);
  }

  SecPkgContext_ConnectionInfo info{};
  if (QueryContextAttributesW(&h.context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    if ((info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0) {
      *failure = Failed("handshake", "the console chose a protocol older than TLS 1.2");
      return nullptr;
    }
    session->tls13_ = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
  }
  session->description_ = session->tls13_ ? "TLS 1.3" : "TLS 1.2";
  SecPkgContext_CipherInfo cipher{};
  cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (QueryContextAttributesW(&h.context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK && cipher.szCipherSuite[0] != 0) {
    std::string suite;
    for (const WCHAR* c = cipher.szCipherSuite; *c != 0; ++c) suite += static_cast<char>(*c & 0x7F);
    // Wine's SChannel names the hash of an AEAD suite "<unknown>".
    const size_t unknown = suite.find("_<unknown>");
    if (unknown != std::string::npos) suite.erase(unknown);
    session->description_ += ", " + suite;
  }

  // The server's key: its pin, and its kind.
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&h.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr) {
    *failure = Failed("handshake", "the console presented no certificate");
    return nullptr;
  }
  CERT_PUBLIC_KEY_INFO* key = &certificate->pCertInfo->SubjectPublicKeyInfo;
  BYTE* encoded = nullptr;
  DWORD encoded_size = 0;
  const bool have_key = CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, CRYPT_ENCODE_ALLOC_FLAG,
                                            /*pEncodePara=*/nullptr, &encoded, &encoded_size) != FALSE;
  const DWORD bits = CertGetPublicKeyLength(X509_ASN_ENCODING, key);
  const std::string algorithm = key->Algorithm.pszObjId != nullptr ? key->Algorithm.pszObjId : "";
  std::string curve;
  if (key->Algorithm.Parameters.cbData >= 2) {
    // The curve's OID, DER: 06 len bytes.
    const BYTE* p = key->Algorithm.Parameters.pbData;
    curve.assign(reinterpret_cast<const char*>(p), key->Algorithm.Parameters.cbData);
  }
  Sha256Digest pin{};
  if (have_key) pin = Crypto::Get().Sha256(encoded, encoded_size);
  if (encoded != nullptr) LocalFree(encoded);
  CertFreeCertificateContext(certificate);
  if (!have_key) {
    *failure = Failed("handshake", "the console's key cannot be read");
    return nullptr;
  }
  static const char kP256[] = "\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07";  // 1.2.840.10045.3.1.7
  const bool rsa = algorithm == szOID_RSA_RSA && bits >= 2048;
  const bool p256 = algorithm == szOID_ECC_PUBLIC_KEY && curve == std::string(kP256, sizeof kP256 - 1);
  if (!rsa && !p256) {
    *failure = Failed("key", "the console's key is neither RSA of 2048 bits or more nor ECDSA on P-256 (" +
                                 algorithm + ", " + std::to_string(bits) + " bits)");
    return nullptr;
  }
  if (std::find(config.pins.begin(), config.pins.end(), pin) == config.pins.end()) {
    *failure = Failed("pin", "the console's key is none of the pins");
    return nullptr;
  }
  if (QueryContextAttributesW(&h.context, SECPKG_ATTR_STREAM_SIZES, &h.sizes) != SEC_E_OK ||
      h.sizes.cbMaximumMessage == 0) {
    *failure = Failed("handshake", "SChannel gives no record sizes");
    return nullptr;
  }
  return session;
}

int32_t SchannelSession::Send(const void* bytes, int32_t n) {
  if (n <= 0) return 0;
  const Handles& h = *handles_;
  const auto* from = static_cast<const uint8_t*>(bytes);
  std::vector<uint8_t> record(h.sizes.cbHeader + h.sizes.cbMaximumMessage + h.sizes.cbTrailer);
  for (int32_t done = 0; done < n;) {
    const uint32_t piece = std::min<uint32_t>(static_cast<uint32_t>(n - done), h.sizes.cbMaximumMessage);
    std::memcpy(record.data() + h.sizes.cbHeader, from + done, piece);
    SecBuffer buffers[4] = {{h.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                            {piece, SECBUFFER_DATA, record.data() + h.sizes.cbHeader},
                            {h.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + h.sizes.cbHeader + piece},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(const_cast<CtxtHandle*>(&h.context), 0, &desc, 0) != SEC_E_OK) {
      WSASetLastError(WSAECONNRESET);
      return -1;
    }
    if (!SendAll(socket_, record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer)) return -1;
    done += static_cast<int32_t>(piece);
  }
  return n;
}

bool SchannelSession::DecryptBuffered(bool* produced) {
  *produced = false;
  while (!incoming_.empty() && !peer_closed_) {
    SecBuffer buffers[4] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&handles_->context, &desc, 0, /*pfQOP=*/nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (incoming_.size() <= kMostBuffered) return true;
      fault_ = Failed("record", "the console announced a TLS record longer than TLS allows");
      return false;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {
      peer_closed_ = true;  // the close notice
      incoming_.clear();
      return true;
    }
    if (status == SEC_I_RENEGOTIATE && !tls13_) {
      fault_ = Failed("renegotiation", "the console asked to renegotiate the TLS session, which this link never does");
      return false;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      fault_ = Failed("record", "SChannel refused a TLS record of the console (" + Hex(status) + ")");
      return false;
    }
    if (status == SEC_I_RENEGOTIATE && ++messages_without_data_ > kMostMessagesWithoutData) {
      fault_ = Failed("flood", "the console sent more than " + std::to_string(kMostMessagesWithoutData) +
                                   " TLS messages (key updates, tickets) without data between them");
      return false;
    }
    std::vector<uint8_t> extra;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
        plain_.insert(plain_.end(), p, p + b.cbBuffer);
        *produced = true;
        messages_without_data_ = 0;
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
        extra.assign(p, p + b.cbBuffer);
      }
    }
    incoming_ = std::move(extra);
    if (status == SEC_I_RENEGOTIATE) {
      // TLS 1.3 sends messages after the handshake (new session tickets):
      // they go back to the handshake's function and change nothing. A
      // renegotiation of TLS 1.2 is refused above.
      SecBuffer in[2] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
      DWORD got = 0;
      const SECURITY_STATUS again = InitializeSecurityContextW(
          &handles_->credentials, &handles_->context, nullptr,
          ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
              ISC_REQ_STREAM,
          0, 0, &in_desc, 0, nullptr, &out_desc, &got, nullptr);
      if (out[0].pvBuffer != nullptr) FreeContextBuffer(out[0].pvBuffer);
      if (again != SEC_E_OK && again != SEC_I_CONTINUE_NEEDED) {
        fault_ = Failed("record",
                        "SChannel refused a TLS message of the console after the handshake (" + Hex(again) + ")");
        return false;
      }
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= incoming_.size()) {
        incoming_.erase(incoming_.begin(), incoming_.end() - in[1].cbBuffer);
      } else {
        incoming_.clear();
      }
    }
    if (*produced) return true;
  }
  return true;
}

int32_t SchannelSession::Recv(void* buffer, int32_t n) {
  for (;;) {
    if (plain_at_ < plain_.size()) {
      const size_t take = std::min(plain_.size() - plain_at_, static_cast<size_t>(n));
      std::memcpy(buffer, plain_.data() + plain_at_, take);
      plain_at_ += take;
      if (plain_at_ == plain_.size()) {
        plain_.clear();
        plain_at_ = 0;
      }
      return static_cast<int32_t>(take);
    }
    if (peer_closed_) return 0;
    bool produced = false;
    if (!DecryptBuffered(&produced)) {
      WSASetLastError(WSAECONNRESET);
      return -1;
    }
    if (produced || peer_closed_) continue;
    uint8_t piece[kReadPiece];
    const int32_t got = RecvSome(socket_, piece, sizeof piece);
    if (got <= 0) return got;  // the end of the stream, or the socket's failure
    incoming_.insert(incoming_.end(), piece, piece + got);
  }
}

bool SchannelSession::Readable() {
  if (plain_at_ < plain_.size() || peer_closed_) return true;
  bool produced = false;
  // A TLS error is readable too: the receive then reports it.
  return !DecryptBuffered(&produced) || produced || peer_closed_;
}

void SchannelSession::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  DWORD token = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {{sizeof token, SECBUFFER_TOKEN, &token}};
  SecBufferDesc control_desc{SECBUFFER_VERSION, 1, control};
  if (ApplyControlToken(&handles_->context, &control_desc) != SEC_E_OK) return;
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
  DWORD got = 0;
  InitializeSecurityContextW(&handles_->credentials, &handles_->context, nullptr,
                             ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM,
                             0, 0, nullptr, 0, nullptr, &out_desc, &got, nullptr);
  if (out[0].pvBuffer != nullptr) {
    SendAll(socket_, static_cast<const uint8_t*>(out[0].pvBuffer), out[0].cbBuffer);
    FreeContextBuffer(out[0].pvBuffer);
  }
}

}  // namespace orvalinth::platform::win32
