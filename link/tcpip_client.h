#pragma once
// CXTCPIPclient: one outgoing IPv4 TCP connection to the console, with the
// message framing and the greeting on top of it.
//
// Without a connection the socket is none and the status tells why (1 host
// not found, 2 not connected, 3 connection error, 4 connection closed);
// connected, the status is 0. A new object has no socket and status 2.
//
// Frames on the stream: a signed 32-bit little-endian body length L, then the
// body (CXMessage). A received body must have 0 <= L <= 10,485,760; anything
// else, a short body or a body that does not decode closes the connection at
// once. No frame is ever skipped: the only recovery is a new connection.

#include <cstdint>
#include <optional>
#include <string>

#include "link/message.h"
#include "link/socket.h"

namespace orvalinth {

class CXTCPIPclient : public CXSocket {
 public:
  // Status codes.
  enum : int32_t {
    kStatConnected = 0,
    kStatHostNotFound = 1,
    kStatNotConnected = 2,
    kStatConnectionError = 3,
    kStatConnectionClosed = 4,
  };
  static constexpr int32_t kMaxBody = 10485760;
  static constexpr int32_t kServerTimeoutSeconds = 30;
  // The protocol magic of the greeting ("ver").
  static constexpr char kProtocolMagic[] = "QELMv1.0";
  // What a failed greeting reports when no socket error is recorded
  // (ErrorText(kInvalidProtocol)).
  static constexpr char kInvalidProtocol[] = "invalid protocol";

  CXTCPIPclient() = default;
  // Closes a connection still open, at once.
  ~CXTCPIPclient() override;
  CXTCPIPclient(const CXTCPIPclient&) = delete;
  CXTCPIPclient& operator=(const CXTCPIPclient&) = delete;

  Handle socket() const { return socket_; }
  int32_t stat() const { return stat_; }

  // ---- connection ----

  // Connects to `host` (dotted IPv4 address, taken without lookup, or a host
  // name) and `port`; the socket's send and receive time-outs become
  // `timeout_seconds` for the life of the connection (they do not bound the
  // connect itself). A connection still open is closed first. A name that
  // does not resolve gives status 1 and socket error 10022; other failures
  // status 2.
  bool Connect(const std::string& host, uint16_t port, int32_t timeout_seconds);
  // Connect with 30-second time-outs, then TCP no-delay, then, when a TLS
  // configuration is set, the TLS handshake and the pin check (within the
  // same 30 seconds, before any byte of the protocol). A TLS failure closes
  // the socket: status 3, and tls_failure() says why.
  bool ConnectServer(const std::string& host, uint16_t port);
  // The TLS the next ConnectServer makes (no value: a plain link).
  void set_tls(std::optional<platform::TlsClientConfig> config) { tls_ = std::move(config); }
  // Why the last ConnectServer's TLS failed; an empty reason when it did not.
  const platform::TlsFailure& tls_failure() const { return tls_failure_; }
  // Why the last link broke on the peer's account at the TLS layer
  // (Sockets::TlsBreak), as it was when its socket was closed; an empty
  // reason when it did not, and from a Connect on.
  const platform::TlsFailure& tls_break() const { return tls_break_; }
  // Sends every byte. A send time-out is retried after WaitUnlessStopped(5)
  // without limit; any other failure, or a stop during that wait, closes the
  // socket with status 3. 0 bytes: true without touching the socket; no
  // socket: false, nothing changes.
  bool SendAll(const void* bytes, int32_t length);
  // Receives exactly `length` bytes. End of stream gives status 4, an error or
  // the receive time-out status 3; the socket stays open.
  bool RecvExact(void* buffer, int32_t length);
  // True when data (or the end of the stream) can be read within `seconds`.
  // *error is the socket error when the poll failed, else 0 (no socket, data,
  // or a plain time-out).
  bool HasData(int32_t seconds, int* error);
  // Closes the connection (gracefully or at once); status 2. Without a socket
  // nothing changes.
  void Disconnect(bool graceful);
  // The text of the status; for status 0 the caller's `message`.
  std::string ErrorText(const std::string& message) const;

  // Waits seconds x 2 times 500 ms before a send is retried; 0 when a stop was
  // requested meanwhile. The client with a stop flag overrides it.
  virtual int WaitUnlessStopped(int seconds);
  // Called before each receive of RecvExact: false ends the receive with
  // status 3. This one returns true at once (the blocking receive and its
  // time-out do the waiting); the client with a stop flag overrides it.
  virtual bool AwaitBytes() { return true; }

  // ---- framing and greeting ----

  // Encodes the message and sends the frame. Without a socket: false, nothing
  // sent. A failed send leaves no socket and status 2.
  bool SendMessage(CXMessage& message);
  // Receives one frame into the message's body buffer and decodes it. On any
  // failure the socket is closed at once; the status then holds 3 or 4 after a
  // short read and is left unchanged after a bad length or body.
  bool RecvMessage(CXMessage& message);
  // Sends "hello" with "ver" = "QELMv1.0" and "app" = `app_version`.
  bool SendHello(int32_t app_version);
  // Receives the console's greeting: true when it is named "hello" and its
  // "ver" begins with "QELMv1.0".
  bool RecvHello();

 protected:
  Handle socket_ = kNone;
  int32_t stat_ = kStatNotConnected;
  std::optional<platform::TlsClientConfig> tls_;
  platform::TlsFailure tls_failure_;
  platform::TlsFailure tls_break_;

 private:
  // Closes the socket at once and forgets it; the status stays.
  void CloseNow();
  // Keeps the TLS layer's word on why the link broke, before its socket goes.
  void KeepTlsBreak();
};

}  // namespace orvalinth
