#include "link/tcpip_client.h"

#include "platform/process.h"

namespace orvalinth {
namespace {

constexpr int kSendRetryWaitSeconds = 5;

// Keeps the thread's last socket error across a clean-up call.
class KeepSocketError {
 public:
  KeepSocketError() : code_(platform::LastSocketError()) {}
  ~KeepSocketError() { platform::SetLastSocketError(code_); }

 private:
  uint32_t code_;
};

}  // namespace

CXTCPIPclient::~CXTCPIPclient() {
  if (socket_ != kNone) platform::Sockets::Get().Close(socket_);
}

void CXTCPIPclient::CloseNow() {
  if (socket_ == kNone) return;
  KeepSocketError keep;
  KeepTlsBreak();
  platform::Sockets::Get().Close(socket_);
  socket_ = kNone;
}

void CXTCPIPclient::KeepTlsBreak() {
  platform::TlsFailure why = platform::Sockets::Get().TlsBreak(socket_);
  if (!why.reason.empty()) tls_break_ = std::move(why);
}

bool CXTCPIPclient::Connect(const std::string& host, uint16_t port, int32_t timeout_seconds) {
  platform::Sockets& net = platform::Sockets::Get();
  // A connection still open would otherwise be lost without being closed.
  CloseNow();
  stat_ = kStatNotConnected;
  tls_break_ = platform::TlsFailure();

  uint32_t address = net.ParseAddress(host);
  if (address == platform::kAddressNone && !net.LookupHost(host, &address)) {
    platform::SetLastSocketError(platform::kWsaInvalid);
    stat_ = kStatHostNotFound;
    return false;
  }

  const Handle s = net.CreateTcp();
  if (s == kNone) return false;
  const int64_t ms = static_cast<int64_t>(timeout_seconds < 0 ? 0 : timeout_seconds) * 1000;
  SetTimeouts(s, ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms));
  if (!net.Connect(s, address, port)) {
    KeepSocketError keep;
    net.Close(s);
    return false;
  }
  socket_ = s;
  stat_ = kStatConnected;
  return true;
}

bool CXTCPIPclient::ConnectServer(const std::string& host, uint16_t port) {
  tls_failure_ = platform::TlsFailure();
  if (!Connect(host, port, kServerTimeoutSeconds)) return false;
  platform::Sockets::Get().SetNoDelay(socket_);
  if (!tls_) return true;
  platform::TlsClientConfig config = *tls_;
  config.deadline_ms = kServerTimeoutSeconds * 1000;
  if (platform::Sockets::Get().StartTlsClient(socket_, config, &tls_failure_)) return true;
  if (tls_failure_.reason.empty()) tls_failure_.reason = "handshake";
  CloseNow();
  stat_ = kStatConnectionError;
  return false;
}

bool CXTCPIPclient::SendAll(const void* bytes, int32_t length) {
  if (length == 0) return true;
  if (length < 0 || socket_ == kNone) return false;
  platform::Sockets& net = platform::Sockets::Get();
  const char* next = static_cast<const char*>(bytes);
  int32_t left = length;
  while (left > 0) {
    const int32_t sent = net.Send(socket_, next, left);
    if (sent < 0 && platform::LastSocketError() == platform::kWsaTimedOut) {
      // The console is not reading: wait and offer the same bytes again.
      if (WaitUnlessStopped(kSendRetryWaitSeconds) != 0) continue;
    }
    if (sent <= 0) {
      CloseNow();
      stat_ = kStatConnectionError;
      return false;
    }
    next += sent;
    left -= sent;
  }
  return true;
}

bool CXTCPIPclient::RecvExact(void* buffer, int32_t length) {
  if (length == 0) return true;
  if (length < 0 || socket_ == kNone) return false;
  platform::Sockets& net = platform::Sockets::Get();
  char* next = static_cast<char*>(buffer);
  int32_t left = length;
  while (left > 0) {
    if (!AwaitBytes()) {
      stat_ = kStatConnectionError;
      return false;
    }
    const int32_t got = net.Recv(socket_, next, left);
    if (got == 0) {
      stat_ = kStatConnectionClosed;
      return false;
    }
    if (got < 0) {
      stat_ = kStatConnectionError;
      return false;
    }
    next += got;
    left -= got;
  }
  return true;
}

bool CXTCPIPclient::HasData(int32_t seconds, int* error) {
  *error = 0;
  if (socket_ == kNone) return false;
  const int ready = WaitReadable(socket_, seconds);
  if (ready == 1) return true;
  // A plain time-out is no error. The thread's last error would still hold
  // whatever an earlier call left there (on Windows any call: opening the log
  // leaves 183), and would be reported as a failed poll.
  if (ready < 0) *error = static_cast<int>(platform::LastSocketError());
  return false;
}

void CXTCPIPclient::Disconnect(bool graceful) {
  if (socket_ == kNone) return;
  KeepTlsBreak();
  if (graceful) {
    GracefulClose(socket_);
  } else {
    platform::Sockets::Get().Close(socket_);
  }
  socket_ = kNone;
  stat_ = kStatNotConnected;
}

std::string CXTCPIPclient::ErrorText(const std::string& message) const {
  switch (stat_) {
    case kStatConnected: return message;
    case kStatHostNotFound: return "host not found";
    case kStatNotConnected: return "not connected";
    case kStatConnectionError: return "connection error";
    case kStatConnectionClosed: return "connection closed";
    default: return "unknown err";
  }
}

int CXTCPIPclient::WaitUnlessStopped(int seconds) {
  for (int i = 0; i < seconds * 2; ++i) platform::SleepMs(500);
  return 1;
}

}  // namespace orvalinth
