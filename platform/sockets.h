#pragma once
// IPv4 TCP sockets: Winsock 2 on win32, BSD sockets on POSIX.
//
// Sockets behave as blocking sockets whose sends and receives wait at most
// their time-outs. A send reports exactly how many bytes it passed on: when it
// fails with kWsaTimedOut none of its bytes left, so the same bytes may be
// offered again. (A blocking Winsock send that times out leaves the socket in
// an indeterminate state; the win32 backend therefore waits with select on
// sockets that are non-blocking underneath.)
//
// Every operation that fails leaves a Winsock error code (the kWsa* values
// below) as the thread's last socket error, the number a Windows program reads
// with WSAGetLastError: the POSIX backend maps errno once, here (EAGAIN after
// a receive or send time-out is kWsaTimedOut, a refused connection
// kWsaConnRefused, ...). As on Windows the last socket error is the thread's
// last error code (platform/errors.h); it means something only right after a
// failed operation (Winsock under Wine clears it on success, POSIX leaves it).

#include <cstdint>
#include <string>

#include "platform/facility.h"
#include "platform/tls.h"

namespace orvalinth::platform {

// A socket as Windows has it (SOCKET); a POSIX descriptor widened.
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kNoSocket = ~static_cast<SocketHandle>(0);

// inet_addr's answer for text that is no dotted address.
inline constexpr uint32_t kAddressNone = 0xFFFFFFFFu;
// 127.0.0.1 in network byte order, as inet_addr gives it.
uint32_t LoopbackAddress();

// Winsock error codes.
enum : uint32_t {
  kWsaInterrupted = 10004,
  kWsaBadHandle = 10009,
  kWsaAccess = 10013,
  kWsaFault = 10014,
  kWsaInvalid = 10022,
  kWsaTooManySockets = 10024,
  kWsaWouldBlock = 10035,
  kWsaInProgress = 10036,
  kWsaAlready = 10037,
  kWsaNotSocket = 10038,
  kWsaMessageSize = 10040,
  kWsaNoProtocolOption = 10042,
  kWsaProtocolNotSupported = 10043,
  kWsaOperationNotSupported = 10045,
  kWsaFamilyNotSupported = 10047,
  kWsaAddressInUse = 10048,
  kWsaAddressNotAvailable = 10049,
  kWsaNetworkDown = 10050,
  kWsaNetworkUnreachable = 10051,
  kWsaNetworkReset = 10052,
  kWsaConnAborted = 10053,
  kWsaConnReset = 10054,
  kWsaNoBuffers = 10055,
  kWsaIsConnected = 10056,
  kWsaNotConnected = 10057,
  kWsaShutdown = 10058,
  kWsaTimedOut = 10060,
  kWsaConnRefused = 10061,
  kWsaHostDown = 10064,
  kWsaHostUnreachable = 10065,
  kWsaNotInitialised = 10093,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

class Sockets : public Facility<Sockets> {
 public:
  virtual ~Sockets() = default;

  // Starts the socket library (Winsock 2.2); false when it cannot start.
  // Always true on POSIX.
  virtual bool Startup() = 0;

  // A new TCP stream socket (AF_INET, SOCK_STREAM); kNoSocket on failure.
  virtual SocketHandle CreateTcp() = 0;
  // SO_RCVTIMEO / SO_SNDTIMEO in milliseconds; 0 waits without limit.
  virtual bool SetReceiveTimeout(SocketHandle s, int32_t milliseconds) = 0;
  virtual bool SetSendTimeout(SocketHandle s, int32_t milliseconds) = 0;
  // TCP_NODELAY on: every send leaves at once.
  virtual bool SetNoDelay(SocketHandle s) = 0;

  // Waits until `s` can be read without blocking (data, end of stream or a
  // pending error). 1 readable, 0 time-out, negative on error (as select).
  virtual int WaitReadable(SocketHandle s, int32_t milliseconds) = 0;

  // Connects to the IPv4 `address` (network byte order) and `port` (host byte
  // order). Lasts as long as the system's connection attempt.
  virtual bool Connect(SocketHandle s, uint32_t address, uint16_t port) = 0;
  // Sends up to n bytes, waiting at most the send time-out for room; the
  // number passed on (at least 1 when n > 0), or -1 on error, kWsaTimedOut
  // when nothing could be passed on in time. Never raises SIGPIPE.
  virtual int32_t Send(SocketHandle s, const void* bytes, int32_t n) = 0;
  // Receives up to n bytes; the number received, 0 at the end of the stream,
  // -1 on error (kWsaTimedOut when the receive time-out expired).
  virtual int32_t Recv(SocketHandle s, void* buffer, int32_t n) = 0;
  // Ends the sending direction (SD_SEND); receiving goes on.
  virtual bool ShutdownSend(SocketHandle s) = 0;
  // Closes at once (closesocket).
  virtual void Close(SocketHandle s) = 0;

  // The listening side (the console, and test peers): a TCP socket bound to
  // `address`:`port` (port 0: any free port) and listening; kNoSocket on failure.
  virtual SocketHandle Listen(uint32_t address, uint16_t port, int backlog) = 0;
  // The port a socket is bound to (host byte order); false on failure.
  virtual bool LocalPort(SocketHandle s, uint16_t* port) = 0;
  // Accepts one connection (blocks); kNoSocket on failure.
  virtual SocketHandle Accept(SocketHandle listener) = 0;

  // Dotted IPv4 text to an address in network byte order without any lookup
  // (inet_addr); kAddressNone when the text is no address.
  virtual uint32_t ParseAddress(const std::string& text) = 0;
  // Looks a host name up and gives its first IPv4 address (network byte
  // order); false with kWsaHostNotFound (or another kWsa* code) when it fails.
  virtual bool LookupHost(const std::string& name, uint32_t* address) = 0;

  // ---- TLS (platform/tls.h) ----
  // Makes the connected socket `s` a TLS link, this side the client: the
  // handshake and the check of the server's key against the pins, within
  // the socket's time-outs and config.deadline_ms. From then on Send, Recv,
  // WaitReadable, ShutdownSend and Close of `s` go through the session
  // (a Recv of 0 is the peer's close, an error kWsaConnReset). False with
  // *failure when any of it fails; the socket then stays open for the
  // caller to close, and no protocol byte has been sent.
  virtual bool StartTlsClient(SocketHandle s, const TlsClientConfig& config, TlsFailure* failure) = 0;
  // The same, this side the server, presenting `identity`.
  virtual bool StartTlsServer(SocketHandle s, const TlsServerIdentity& identity, int32_t deadline_ms,
                              TlsFailure* failure) = 0;
  // What the link is: "TLS 1.3, TLS_AES_256_GCM_SHA384" for a TLS link (the
  // engine's names), empty for a plain one.
  virtual std::string TlsDescription(SocketHandle s) = 0;
  // Why the TLS link `s` broke, once one of its operations failed on the
  // peer's account: "record" (the peer sent what is no valid TLS record of
  // this session), "alert" (it ended the session with a TLS alert),
  // "renegotiation" (it asked to renegotiate, which a link never does),
  // "flood" (more TLS messages without data between them than a peer
  // needs). An empty reason while the link works, after the peer's close,
  // after a failure of the socket itself (a reset), and for a plain link.
  virtual TlsFailure TlsBreak(SocketHandle s) = 0;
};

template <>
Sockets& Facility<Sockets>::Real();

// The thread's last socket error (WSAGetLastError / WSASetLastError).
uint32_t LastSocketError();
void SetLastSocketError(uint32_t code);

// Forwards every call to another sockets facility; tests derive from it to
// watch or fail chosen operations.
class SocketsWrapper : public Sockets {
 public:
  explicit SocketsWrapper(Sockets& target) : target_(target) {}
  bool Startup() override { return target_.Startup(); }
  SocketHandle CreateTcp() override { return target_.CreateTcp(); }
  bool SetReceiveTimeout(SocketHandle s, int32_t ms) override { return target_.SetReceiveTimeout(s, ms); }
  bool SetSendTimeout(SocketHandle s, int32_t ms) override { return target_.SetSendTimeout(s, ms); }
  bool SetNoDelay(SocketHandle s) override { return target_.SetNoDelay(s); }
  int WaitReadable(SocketHandle s, int32_t ms) override { return target_.WaitReadable(s, ms); }
  bool Connect(SocketHandle s, uint32_t address, uint16_t port) override { return target_.Connect(s, address, port); }
  int32_t Send(SocketHandle s, const void* bytes, int32_t n) override { return target_.Send(s, bytes, n); }
  int32_t Recv(SocketHandle s, void* buffer, int32_t n) override { return target_.Recv(s, buffer, n); }
  bool ShutdownSend(SocketHandle s) override { return target_.ShutdownSend(s); }
  void Close(SocketHandle s) override { target_.Close(s); }
  SocketHandle Listen(uint32_t address, uint16_t port, int backlog) override {
    return target_.Listen(address, port, backlog);
  }
  bool LocalPort(SocketHandle s, uint16_t* port) override { return target_.LocalPort(s, port); }
  SocketHandle Accept(SocketHandle listener) override { return target_.Accept(listener); }
  uint32_t ParseAddress(const std::string& text) override { return target_.ParseAddress(text); }
  bool LookupHost(const std::string& name, uint32_t* address) override { return target_.LookupHost(name, address); }
  bool StartTlsClient(SocketHandle s, const TlsClientConfig& config, TlsFailure* failure) override {
    return target_.StartTlsClient(s, config, failure);
  }
  bool StartTlsServer(SocketHandle s, const TlsServerIdentity& identity, int32_t deadline_ms,
                      TlsFailure* failure) override {
    return target_.StartTlsServer(s, identity, deadline_ms, failure);
  }
  std::string TlsDescription(SocketHandle s) override { return target_.TlsDescription(s); }
  TlsFailure TlsBreak(SocketHandle s) override { return target_.TlsBreak(s); }

 protected:
  Sockets& target() { return target_; }

 private:
  Sockets& target_;
};

}  // namespace orvalinth::platform
