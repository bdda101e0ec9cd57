#pragma once
// SchannelSession: the client side of a TLS link over one socket of the
// win32 sockets facility, with SChannel (secur32). The policy is the one of
// platform/tls.h: TLS 1.2 or 1.3 (1.3 where the system offers it), the
// server's key one of the pins and of an allowed kind, no renegotiation.
// The certificate itself is not validated (no chain, expiry or name): the
// pin is the whole trust.
//
// A session is used by one thread at a time (the link's callers hold their
// own lock around every send and receive).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/tls.h"
#include "platform/win32/win.h"

namespace orvalinth::platform::win32 {

class SchannelSession {
 public:
  ~SchannelSession();
  SchannelSession(const SchannelSession&) = delete;
  SchannelSession& operator=(const SchannelSession&) = delete;

  // Runs the handshake on the connected socket `s` and checks the server's
  // key; null with *failure when any of it fails (nothing of the protocol
  // has been sent then).
  static std::unique_ptr<SchannelSession> Connect(SOCKET s, const TlsClientConfig& config, TlsFailure* failure);

  // As the sockets facility's Send and Recv: Send passes all n bytes on or
  // fails (-1); Recv gives what is there (at least 1 byte), 0 at the peer's
  // close, -1 on a failure (WSAECONNRESET for a TLS error, WSAETIMEDOUT).
  int32_t Send(const void* bytes, int32_t n);
  int32_t Recv(void* buffer, int32_t n);
  // Whether Recv can answer without waiting for the socket.
  bool Readable();
  // Sends the close notice (once).
  void Shutdown();
  const std::string& description() const { return description_; }
  // Why the session broke on the console's account (Sockets::TlsBreak).
  const TlsFailure& fault() const { return fault_; }

 private:
  struct Handles;
  explicit SchannelSession(SOCKET s);
  // Decrypts what has come, if a whole record has; false on a TLS error.
  bool DecryptBuffered(bool* produced);

  SOCKET socket_;
  std::unique_ptr<Handles> handles_;
  std::vector<uint8_t> incoming_;  // received, not yet decrypted
  std::vector<uint8_t> plain_;     // decrypted, not yet read
  size_t plain_at_ = 0;
  bool peer_closed_ = false;
  bool shut_down_ = false;
  bool tls13_ = false;
  int messages_without_data_ = 0;
  TlsFailure fault_;
  std::string description_;
};

}  // namespace orvalinth::platform::win32
