#pragma once
// TLS on the console link, behind the socket facility (platform/sockets.h):
// once a connected socket has been made a TLS link (StartTlsClient on the
// agent's side, StartTlsServer on the console's), its Send, Recv,
// WaitReadable, ShutdownSend and Close go through the TLS session, and the
// bytes the link code sends and receives are the protocol's, as on a plain
// link.
//
// What both sides allow: TLS 1.2 and 1.3 only; in TLS 1.2 only ephemeral
// key exchanges (ECDHE) with AES-GCM or ChaCha20-Poly1305; no
// renegotiation, no compression, no session tickets kept. The client trusts
// nothing but its pins: the SHA-256 digest of the DER SubjectPublicKeyInfo
// of the certificate the server presents must be one of them, and that key
// must be RSA of 2048 bits or more or ECDSA on P-256. No certificate
// authority, expiry, name or key usage is looked at. The host name goes in
// the handshake (SNI) when the console's address is a name, none for an
// address.
//
// A peer that breaks the session after the handshake costs only its link:
// a record that is no valid one of the session, a request to renegotiate,
// or more than a few TLS messages without data between them (key updates,
// tickets) end the link, and Sockets::TlsBreak says why.
//
// win32: SChannel (secur32), which Wine builds on GnuTLS; POSIX: OpenSSL 3.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/facility.h"

namespace orvalinth::platform {

// Why a link did not become, or stopped being, a TLS link. `reason` is one
// word for the log: "handshake" (the peer speaks no acceptable TLS, or the
// handshake failed), "plain" (the peer sent plain protocol bytes instead of
// a handshake), "pin" (the peer's key is none of the pins), "key" (a kind
// or size of key that is not allowed), "timeout" (no handshake within the
// deadline), "closed" (the peer closed during the handshake), "unavailable"
// (the system has no TLS, or cannot load the key); `detail` says more for
// the console's user and the log (the system's own text, the pin found).
struct TlsFailure {
  std::string reason;
  std::string detail;
};

struct TlsClientConfig {
  std::string server_name;          // SNI; empty for none
  std::vector<Sha256Digest> pins;   // at least one
  int32_t deadline_ms = 30000;      // for the whole handshake
};

// A server's certificate and private key, read from PEM files once.
class TlsServerIdentity {
 public:
  virtual ~TlsServerIdentity() = default;
  // The pin of the certificate's key, as clients must have it.
  virtual Sha256Digest pin() const = 0;
};

// A TLS server session whose bytes its caller carries (an event loop that
// owns the socket): the bytes that came from the peer go in with Feed, and
// after every call the bytes for the peer are taken with TakeOutput. Once
// open(), Read gives the protocol's bytes and Write takes them. The policy
// is the one above; a peer whose first bytes are no TLS handshake record
// fails at once with the reason "plain".
class TlsMemoryServer {
 public:
  virtual ~TlsMemoryServer() = default;
  // Takes the peer's bytes; false once the session failed (failure() says
  // why). The handshake advances as its records come.
  virtual bool Feed(const uint8_t* bytes, size_t n) = 0;
  // The handshake is complete.
  virtual bool open() const = 0;
  // The peer ended the session (its close_notify came).
  virtual bool peer_closed() const = 0;
  // Appends the protocol's bytes received so far to *out; false once the
  // session failed.
  virtual bool Read(std::string* out) = 0;
  // Encrypts the protocol's bytes (after open()); false once failed.
  virtual bool Write(const uint8_t* bytes, size_t n) = 0;
  // Sends close_notify (its bytes come out of TakeOutput).
  virtual void Close() = 0;
  // Appends the bytes due to the peer to *out and forgets them.
  virtual void TakeOutput(std::string* out) = 0;
  virtual const TlsFailure& failure() const = 0;
  // "TLS 1.3, TLS_AES_256_GCM_SHA384" once open.
  virtual std::string Description() const = 0;
};

class TlsEngine : public Facility<TlsEngine> {
 public:
  virtual ~TlsEngine() = default;
  // Whether this system can make TLS links at all.
  virtual bool Available() = 0;
  // Reads a PEM certificate and its PEM private key (RSA of 2048 bits or
  // more, or ECDSA on P-256); null with *error when they cannot be read, do
  // not match, or are of another kind.
  virtual std::unique_ptr<TlsServerIdentity> LoadServerIdentity(const std::string& certificate_file,
                                                                const std::string& key_file, std::string* error) = 0;
  // The DER SubjectPublicKeyInfo of the key in a file's bytes (a PEM or DER
  // certificate, public key or private key), for its pin; false with *error
  // saying why (the file is none of these, or this system cannot read it).
  virtual bool PublicKeyInfo(const std::string& file, std::vector<uint8_t>* spki, std::string* error) = 0;
  // A session presenting `identity` for a caller that carries the bytes
  // itself; null where the system has none (Windows: the fleet server runs
  // on Linux only).
  virtual std::unique_ptr<TlsMemoryServer> NewMemoryServer(const TlsServerIdentity& identity) {
    (void)identity;
    return nullptr;
  }
};

template <>
TlsEngine& Facility<TlsEngine>::Real();

}  // namespace orvalinth::platform
