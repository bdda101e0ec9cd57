#include "platform/sockets.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/schannel.h"
#include "platform/win32/socket_io.h"
#include "platform/win32/win.h"

// Every socket of this backend is non-blocking underneath, and the blocking
// behaviour with time-outs that callers see is made here with select. A
// blocking Winsock call whose SO_SNDTIMEO or SO_RCVTIMEO expires leaves the
// socket "in an indeterminate state": a send that timed out may have passed
// part of its bytes on, so sending the same bytes again would repeat them in
// the stream. Here a send either reports exactly how many bytes it passed on
// or fails, and a time-out (WSAETIMEDOUT) means that none of them left. The
// time-outs are kept as the socket's own options and read back when needed.

namespace orvalinth::platform {
namespace {

using win32::MakeNonBlocking;
using win32::Ready;
using win32::SchannelSession;
using win32::TimeoutOf;
using win32::WaitReady;

SOCKET S(SocketHandle s) { return static_cast<SOCKET>(s); }

class Win32Sockets final : public Sockets {
 public:
  bool Startup() override {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
      WSACleanup();
      return false;
    }
    return true;
  }

  SocketHandle CreateTcp() override {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kNoSocket;
    if (!MakeNonBlocking(s)) {
      const int error = WSAGetLastError();
      closesocket(s);
      WSASetLastError(error);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(s);
  }

  bool SetReceiveTimeout(SocketHandle s, int32_t ms) override { return SetTimeout(s, SO_RCVTIMEO, ms); }
  bool SetSendTimeout(SocketHandle s, int32_t ms) override { return SetTimeout(s, SO_SNDTIMEO, ms); }

  bool SetNoDelay(SocketHandle s) override {
    const BOOL on = TRUE;
    return setsockopt(S(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
  }

  int WaitReadable(SocketHandle s, int32_t ms) override {
    // Bytes a TLS session has decrypted (or can) are there without the socket.
    if (std::shared_ptr<SchannelSession> tls = Session(s)) {
      if (tls->Readable()) return 1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(S(s), &readable);
    if (ms < 0) ms = 0;
    timeval limit;
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    return select(/*nfds=*/0, &readable, /*writefds=*/nullptr, /*exceptfds=*/nullptr, &limit);
  }

  bool Connect(SocketHandle s, uint32_t address, uint16_t port) override {
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (connect(S(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    // As long as the system's own attempt lasts: the time-outs do not bound it.
    if (WaitReady(S(s), Ready::kConnect, /*ms=*/0) < 0) return false;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return false;
    if (error != 0) {
      WSASetLastError(error);
      return false;
    }
    return true;
  }

  int32_t Send(SocketHandle s, const void* bytes, int32_t n) override {
    if (std::shared_ptr<SchannelSession> tls = Session(s)) return tls->Send(bytes, n);
    return win32::SendSome(S(s), bytes, n);
  }

  int32_t Recv(SocketHandle s, void* buffer, int32_t n) override {
    if (std::shared_ptr<SchannelSession> tls = Session(s)) return tls->Recv(buffer, n);
    return win32::RecvSome(S(s), buffer, n);
  }

  bool ShutdownSend(SocketHandle s) override {
    if (std::shared_ptr<SchannelSession> tls = Session(s)) tls->Shutdown();
    return shutdown(S(s), SD_SEND) == 0;
  }

  void Close(SocketHandle s) override {
    {
      std::lock_guard<std::mutex> guard(tls_lock_);
      tls_.erase(s);
    }
    closesocket(S(s));
  }

  SocketHandle Listen(uint32_t address, uint16_t port, int backlog) override {
    const SocketHandle s = CreateTcp();
    if (s == kNoSocket) return kNoSocket;
    sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = address;
    if (bind(S(s), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(S(s), backlog) != 0) {
      const int error = WSAGetLastError();
      closesocket(S(s));
      WSASetLastError(error);
      return kNoSocket;
    }
    return s;
  }

  bool LocalPort(SocketHandle s, uint16_t* port) override {
    sockaddr_in at;
    int length = sizeof at;
    if (getsockname(S(s), reinterpret_cast<sockaddr*>(&at), &length) != 0) return false;
    *port = ntohs(at.sin_port);
    return true;
  }

  SocketHandle Accept(SocketHandle listener) override {
    for (;;) {
      // The accepted socket inherits the listener's non-blocking mode.
      const SOCKET s = accept(S(listener), /*addr=*/nullptr, /*addrlen=*/nullptr);
      if (s != INVALID_SOCKET) return static_cast<SocketHandle>(s);
      if (WSAGetLastError() != WSAEWOULDBLOCK) return kNoSocket;
      if (WaitReady(S(listener), Ready::kRead, /*ms=*/0) < 0) return kNoSocket;
    }
  }

  uint32_t ParseAddress(const std::string& text) override { return inet_addr(text.c_str()); }

  bool LookupHost(const std::string& name, uint32_t* address) override {
    // gethostbyname keeps its answer per thread on Windows.
    const hostent* host = gethostbyname(name.c_str());
    if (host == nullptr) return false;
    if (host->h_addrtype != AF_INET || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
      WSASetLastError(WSANO_DATA);
      return false;
    }
    std::memcpy(address, host->h_addr_list[0], sizeof *address);
    return true;
  }

  bool StartTlsClient(SocketHandle s, const TlsClientConfig& config, TlsFailure* failure) override {
    std::unique_ptr<SchannelSession> session = SchannelSession::Connect(S(s), config, failure);
    if (session == nullptr) return false;
    std::lock_guard<std::mutex> guard(tls_lock_);
    tls_[s] = std::move(session);
    return true;
  }
  bool StartTlsServer(SocketHandle, const TlsServerIdentity&, int32_t, TlsFailure* failure) override {
    *failure = {"unavailable", "a TLS console is not part of the Windows build"};
    return false;
  }
  std::string TlsDescription(SocketHandle s) override {
    std::shared_ptr<SchannelSession> tls = Session(s);
    return tls != nullptr ? tls->description() : std::string();
  }
  TlsFailure TlsBreak(SocketHandle s) override {
    std::shared_ptr<SchannelSession> tls = Session(s);
    return tls != nullptr ? tls->fault() : TlsFailure();
  }

 private:
  std::shared_ptr<SchannelSession> Session(SocketHandle s) {
    std::lock_guard<std::mutex> guard(tls_lock_);
    const auto found = tls_.find(s);
    return found != tls_.end() ? found->second : nullptr;
  }

  std::mutex tls_lock_;
  std::map<SocketHandle, std::shared_ptr<SchannelSession>> tls_;  // the sockets that are TLS links

  static bool SetTimeout(SocketHandle s, int option, int32_t ms) {
    const DWORD value = ms < 0 ? 0 : static_cast<DWORD>(ms);
    return setsockopt(S(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
  }
};

}  // namespace

template <>
Sockets& Facility<Sockets>::Real() {
  static Win32Sockets instance;
  return instance;
}

uint32_t LastSocketError() { return static_cast<uint32_t>(WSAGetLastError()); }
void SetLastSocketError(uint32_t code) { WSASetLastError(static_cast<int>(code)); }
uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

}  // namespace orvalinth::platform
