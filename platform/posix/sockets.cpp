#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/posix/tls_session.h"

namespace orvalinth::platform {
namespace {

// The Winsock code a Windows program would see for the same failure.
uint32_t ErrnoToWsa(int e) {
  switch (e) {
    case EINTR: return kWsaInterrupted;
    case EBADF:
    case ENOTSOCK: return kWsaNotSocket;
    case EACCES:
    case EPERM: return kWsaAccess;
    case EFAULT: return kWsaFault;
    case EINVAL: return kWsaInvalid;
    case EMFILE:
    case ENFILE: return kWsaTooManySockets;
    // Sockets are blocking: EAGAIN only comes from SO_RCVTIMEO / SO_SNDTIMEO.
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT: return kWsaTimedOut;
    case EINPROGRESS: return kWsaInProgress;
    case EALREADY: return kWsaAlready;
    case EMSGSIZE: return kWsaMessageSize;
    case ENOPROTOOPT: return kWsaNoProtocolOption;
    case EPROTONOSUPPORT: return kWsaProtocolNotSupported;
    case EOPNOTSUPP: return kWsaOperationNotSupported;
    case EAFNOSUPPORT: return kWsaFamilyNotSupported;
    case EADDRINUSE: return kWsaAddressInUse;
    case EADDRNOTAVAIL: return kWsaAddressNotAvailable;
    case ENETDOWN: return kWsaNetworkDown;
    case ENETUNREACH: return kWsaNetworkUnreachable;
    case ENETRESET: return kWsaNetworkReset;
    case ECONNABORTED:
    case EPIPE: return kWsaConnAborted;
    case ECONNRESET: return kWsaConnReset;
    case ENOBUFS:
    case ENOMEM: return kWsaNoBuffers;
    case EISCONN: return kWsaIsConnected;
    case ENOTCONN: return kWsaNotConnected;
    case ESHUTDOWN: return kWsaShutdown;
    case ECONNREFUSED: return kWsaConnRefused;
    case EHOSTDOWN: return kWsaHostDown;
    case EHOSTUNREACH: return kWsaHostUnreachable;
    default: return kWsaInvalid;
  }
}

void FailWith(int e) { SetLastSocketError(ErrnoToWsa(e)); }

int Fd(SocketHandle s) { return s == kNoSocket ? -1 : static_cast<int>(s); }

timeval ToTimeval(int32_t milliseconds) {
  timeval tv;
  if (milliseconds < 0) milliseconds = 0;
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return tv;
}

class PosixSockets final : public Sockets {
 public:
  bool Startup() override { return true; }

  SocketHandle CreateTcp() override {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      FailWith(errno);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(fd);
  }

  bool SetReceiveTimeout(SocketHandle s, int32_t ms) override { return SetTimeout(s, SO_RCVTIMEO, ms); }
  bool SetSendTimeout(SocketHandle s, int32_t ms) override { return SetTimeout(s, SO_SNDTIMEO, ms); }

  bool SetNoDelay(SocketHandle s) override {
    const int on = 1;
    if (setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      FailWith(errno);
      return false;
    }
    return true;
  }

  int WaitReadable(SocketHandle s, int32_t ms) override {
    // select fails on a handle that is no socket; poll would just skip it.
    if (Fd(s) < 0) {
      SetLastSocketError(kWsaNotSocket);
      return -1;
    }
    if (std::shared_ptr<posix::TlsSession> tls = SessionOf(s)) return tls->WaitReadable(ms);
    // poll rather than select: descriptors above FD_SETSIZE are fine.
    pollfd p{Fd(s), POLLIN, 0};
    const int64_t deadline = MonotonicMs() + (ms < 0 ? 0 : ms);
    for (;;) {
      const int64_t left = deadline - MonotonicMs();
      const int n = poll(&p, 1, static_cast<int>(left < 0 ? 0 : left));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        FailWith(errno);
        return -1;
      }
      if (n > 0 && (p.revents & POLLNVAL) != 0) {
        // select on a handle that is no socket fails with WSAENOTSOCK.
        SetLastSocketError(kWsaNotSocket);
        return -1;
      }
      return n > 0 ? 1 : 0;
    }
  }

  bool Connect(SocketHandle s, uint32_t address, uint16_t port) override {
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (connect(Fd(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
    // Linux ends a connect at the send time-out (EINPROGRESS) and a signal
    // interrupts it, but the attempt goes on in the background: wait for its
    // outcome, as a Windows connect lasts as long as the system's attempt.
    if (errno != EINTR && errno != EINPROGRESS) {
      FailWith(errno);
      return false;
    }
    pollfd p{Fd(s), POLLOUT, 0};
    int n;
    do {
      n = poll(&p, 1, -1);
    } while (n < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (n < 0 || getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      FailWith(errno);
      return false;
    }
    if (error != 0) {
      FailWith(error);
      return false;
    }
    return true;
  }

  int32_t Send(SocketHandle s, const void* bytes, int32_t n) override {
    if (n < 0) {
      SetLastSocketError(kWsaInvalid);
      return -1;
    }
    if (std::shared_ptr<posix::TlsSession> tls = SessionOf(s)) return tls->Send(bytes, n);
    ssize_t sent;
    do {
      sent = send(Fd(s), bytes, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
      const int e = errno;
      // Windows tells sending after our own shutdown (WSAESHUTDOWN) from a
      // connection the peer broke (WSAECONNABORTED); Linux says EPIPE to both.
      if (e == EPIPE && WasShutDown(s)) {
        SetLastSocketError(kWsaShutdown);
      } else {
        FailWith(e);
      }
      return -1;
    }
    return static_cast<int32_t>(sent);
  }

  int32_t Recv(SocketHandle s, void* buffer, int32_t n) override {
    if (n < 0) {
      SetLastSocketError(kWsaInvalid);
      return -1;
    }
    if (std::shared_ptr<posix::TlsSession> tls = SessionOf(s)) return tls->Recv(buffer, n);
    ssize_t got;
    do {
      got = recv(Fd(s), buffer, static_cast<size_t>(n), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      FailWith(errno);
      return -1;
    }
    return static_cast<int32_t>(got);
  }

  bool ShutdownSend(SocketHandle s) override {
    if (std::shared_ptr<posix::TlsSession> tls = SessionOf(s)) return tls->ShutdownSend();
    if (shutdown(Fd(s), SHUT_WR) != 0) {
      FailWith(errno);
      return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    shut_down_.insert(Fd(s));
    return true;
  }

  void Close(SocketHandle s) override {
    std::shared_ptr<posix::TlsSession> tls;
    {
      std::lock_guard<std::mutex> guard(lock_);
      shut_down_.erase(Fd(s));
      const auto found = sessions_.find(Fd(s));
      if (found != sessions_.end()) {
        tls = std::move(found->second);
        sessions_.erase(found);
        session_count_.fetch_sub(1, std::memory_order_release);
      }
    }
    if (tls != nullptr) tls->Close();
    if (close(Fd(s)) != 0) FailWith(errno);
  }

  SocketHandle Listen(uint32_t address, uint16_t port, int backlog) override {
    const SocketHandle s = CreateTcp();
    if (s == kNoSocket) return kNoSocket;
    sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = address;
    // A console restarted on its port must not wait for the old connections'
    // TIME_WAIT to pass (Windows allows that rebinding by default).
    const int on = 1;
    setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(Fd(s), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(Fd(s), backlog) != 0) {
      const int e = errno;
      close(Fd(s));
      FailWith(e);
      return kNoSocket;
    }
    return s;
  }

  bool LocalPort(SocketHandle s, uint16_t* port) override {
    sockaddr_in at;
    socklen_t length = sizeof at;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&at), &length) != 0) {
      FailWith(errno);
      return false;
    }
    *port = ntohs(at.sin_port);
    return true;
  }

  SocketHandle Accept(SocketHandle listener) override {
    int fd;
    do {
      fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      FailWith(errno);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(fd);
  }

  uint32_t ParseAddress(const std::string& text) override { return inet_addr(text.c_str()); }

  bool LookupHost(const std::string& name, uint32_t* address) override {
    // getaddrinfo, unlike gethostbyname, is safe on any thread.
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
      SetLastSocketError(LookupError(rc));
      return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
  }

  bool StartTlsClient(SocketHandle s, const TlsClientConfig& config, TlsFailure* failure) override {
    if (!CanStartTls(s, failure)) return false;
    return Adopt(s, posix::TlsSession::Connect(Fd(s), config, failure));
  }
  bool StartTlsServer(SocketHandle s, const TlsServerIdentity& identity, int32_t deadline_ms,
                      TlsFailure* failure) override {
    if (!CanStartTls(s, failure)) return false;
    return Adopt(s, posix::TlsSession::Accept(Fd(s), identity, deadline_ms, failure));
  }
  std::string TlsDescription(SocketHandle s) override {
    std::shared_ptr<posix::TlsSession> tls = SessionOf(s);
    return tls != nullptr ? tls->Description() : std::string();
  }
  TlsFailure TlsBreak(SocketHandle s) override {
    std::shared_ptr<posix::TlsSession> tls = SessionOf(s);
    return tls != nullptr ? tls->Break() : TlsFailure();
  }

 private:
  static uint32_t LookupError(int rc) {
    switch (rc) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
#endif
        return kWsaHostNotFound;
      case EAI_AGAIN: return kWsaTryAgain;
      case EAI_MEMORY: return kWsaNoBuffers;
      case EAI_SYSTEM: return ErrnoToWsa(errno);
      default: return kWsaNoRecovery;
    }
  }

  bool SetTimeout(SocketHandle s, int option, int32_t ms) {
    const timeval tv = ToTimeval(ms);
    if (setsockopt(Fd(s), SOL_SOCKET, option, &tv, sizeof tv) != 0) {
      FailWith(errno);
      return false;
    }
    return true;
  }

  // The TLS session of a socket, or none (a plain socket). Plain links do
  // not take the lock while no TLS session exists.
  std::shared_ptr<posix::TlsSession> SessionOf(SocketHandle s) {
    if (session_count_.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = sessions_.find(Fd(s));
    return found == sessions_.end() ? nullptr : found->second;
  }

  bool CanStartTls(SocketHandle s, TlsFailure* failure) {
    if (Fd(s) < 0) {
      *failure = {"handshake", "no socket"};
      return false;
    }
    if (SessionOf(s) != nullptr) {
      *failure = {"handshake", "the socket is a TLS link already"};
      return false;
    }
    return true;
  }

  bool Adopt(SocketHandle s, std::shared_ptr<posix::TlsSession> session) {
    if (session == nullptr) return false;
    std::lock_guard<std::mutex> guard(lock_);
    sessions_[Fd(s)] = std::move(session);
    session_count_.fetch_add(1, std::memory_order_release);
    return true;
  }

  bool WasShutDown(SocketHandle s) {
    std::lock_guard<std::mutex> guard(lock_);
    return shut_down_.count(Fd(s)) != 0;
  }

  std::mutex lock_;
  std::unordered_set<int> shut_down_;  // descriptors whose sending side we ended
  // The TLS sessions by descriptor. A caller holds a session while it uses
  // it, so a Close on another thread never frees it under that caller.
  std::unordered_map<int, std::shared_ptr<posix::TlsSession>> sessions_;
  std::atomic<int> session_count_{0};
};

}  // namespace

template <>
Sockets& Facility<Sockets>::Real() {
  static PosixSockets instance;
  return instance;
}

uint32_t LastSocketError() { return LastError(); }
void SetLastSocketError(uint32_t code) { SetLastError(code); }
uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

}  // namespace orvalinth::platform
