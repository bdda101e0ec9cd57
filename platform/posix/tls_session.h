#pragma once
// The POSIX backend's TLS (OpenSSL 3), shared by the engine (tls.cpp: the
// policy's contexts, the keys allowed, identities) and the sockets
// (sockets.cpp: the session of each TLS socket). Backend-private.

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tls.h"

namespace orvalinth::platform::posix {

// ---- the engine's side (tls.cpp) ----

// The client context of the policy (platform/tls.h), made once: it checks
// the server's certificate with CheckServerKey through the handshake's
// PinCheck (below) instead of any chain.
SSL_CTX* ClientContext();
// The server context of an identity this engine loaded; null for any other.
SSL_CTX* ServerContextOf(const TlsServerIdentity& identity);

// What the client checks of the server's certificate; the reason and the
// detail of a refusal are kept for the handshake's failure.
struct PinCheck {
  const std::vector<Sha256Digest>* pins = nullptr;
  std::string reason;
  std::string detail;
  bool Check(X509* certificate);
};
// The handshake's PinCheck hangs on the SSL object under this index.
int PinCheckIndex();

// Empty when the policy allows the key (RSA of 2048 bits or more, ECDSA on
// P-256); else what it is ("RSA of 1024 bits", "ECDSA on secp384r1").
std::string KeyRefusal(EVP_PKEY* key);
// OpenSSL's reasons queued on this thread ("; " between them), and the
// queue emptied; `otherwise` when there is none.
std::string OpenSslErrors(const std::string& otherwise);

// ---- the sessions (tls_session.cpp) ----

// The bytes a session's socket received first, and whether it reached the
// end of the stream: how a handshake that fails tells a plain peer or a
// closed link from a TLS error. Once the handshake is done, also the TLS
// messages that carry no data (tls_session.cpp's WatchMessages): a peer
// that asks to renegotiate, or sends more than a few such messages without
// data between them (key updates, tickets), is refused, and the socket
// reads as broken from then on.
struct WireWatch {
  int fd = -1;
  uint8_t first[8] = {};
  size_t first_size = 0;
  bool end_of_stream = false;
  bool established = false;
  int messages_without_data = 0;
  TlsFailure refusal;  // why this side ended the link; empty while it did not
  // Records made and not yet on the socket, in their order: a Send gathers
  // the records of its bytes here (`gather`) to put them on the socket with
  // one call instead of one call for each 16 KiB; a record made while some
  // wait (an answer of a read) waits behind them.
  std::string out;
  bool gather = false;
};

// Why a handshake failed, from the first bytes the socket saw and OpenSSL's
// reasons (pins: the client's check, null on a server); and whether the
// first bytes can start a TLS stream at all.
TlsFailure ClassifyHandshake(const WireWatch& wire, const PinCheck* pins, int ssl_error);
bool PeerCanBeTls(const WireWatch& wire, bool client);

// Watches a session's messages for what ends its link on the peer's
// account (a renegotiation, a flood of messages without data): the reason
// goes into wire->refusal.
void WatchTlsMessages(SSL* ssl, WireWatch* wire);

// The sessions of the fleet server, whose event loop carries the bytes
// (tls_memory.cpp).
std::unique_ptr<TlsMemoryServer> NewMemoryServer(SSL_CTX* context);

// One TLS session over one socket, which is non-blocking underneath while
// the session lasts. Each operation calls OpenSSL under the session's lock
// and waits with poll outside it, so one thread may send while another
// waits to receive (OpenSSL allows one call at a time on a session). The
// waits last as long as the socket's own time-outs (SO_RCVTIMEO,
// SO_SNDTIMEO), which the caller sets as for a plain socket.
class TlsSession {
 public:
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // The handshakes of Sockets::StartTlsClient and StartTlsServer; null with
  // *failure when they fail, the socket then blocking again as it was.
  // A deadline of 0 or less sets no limit.
  static std::shared_ptr<TlsSession> Connect(int fd, const TlsClientConfig& config, TlsFailure* failure);
  static std::shared_ptr<TlsSession> Accept(int fd, const TlsServerIdentity& identity, int32_t deadline_ms,
                                            TlsFailure* failure);

  // Sockets' Send, Recv, WaitReadable and ShutdownSend (platform/sockets.h).
  // A Send passes its bytes on once they are records: when the socket takes
  // no more of them within its time-out, the rest of its records wait, and
  // every later operation goes on putting them on the socket first (a Send
  // that cannot put them on in time takes none of its bytes, as a plain
  // socket's).
  int32_t Send(const void* bytes, int32_t n);
  int32_t Recv(void* buffer, int32_t n);
  int WaitReadable(int32_t milliseconds);
  bool ShutdownSend();
  // Sends the records waiting and the close_notify as far as the socket
  // takes them at once; the caller then closes the socket.
  void Close();
  // "TLS 1.3, TLS_AES_256_GCM_SHA384".
  std::string Description();
  // Sockets::TlsBreak (platform/sockets.h).
  TlsFailure Break();

 private:
  explicit TlsSession(int fd) { wire_.fd = fd; }
  // A fatal error: broken_, and why for Break (under the lock, OpenSSL's
  // reasons still queued).
  void NoteBreak(int ssl_error);
  // Puts on the socket what it takes now of the records waiting (under the
  // lock); false when the socket failed, the session then broken.
  bool FlushSome();
  static std::shared_ptr<TlsSession> Handshake(int fd, SSL_CTX* context, PinCheck* pins, const std::string& server_name,
                                               int32_t deadline_ms, TlsFailure* failure);

  std::mutex lock_;
  SSL* ssl_ = nullptr;
  WireWatch wire_;
  bool sent_close_ = false;
  bool broken_ = false;  // a fatal error: OpenSSL forbids a shutdown after one
  TlsFailure break_;     // why, when it was the peer's doing
};

}  // namespace orvalinth::platform::posix
