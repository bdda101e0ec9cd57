#include "link/socket.h"

#include "platform/clock.h"

namespace orvalinth {

bool CXSocket::Startup() { return platform::Sockets::Get().Startup(); }

void CXSocket::SetTimeouts(Handle socket, int32_t milliseconds) {
  platform::Sockets& net = platform::Sockets::Get();
  net.SetReceiveTimeout(socket, milliseconds);
  net.SetSendTimeout(socket, milliseconds);
}

int CXSocket::WaitReadable(Handle socket, int32_t seconds) {
  const int64_t ms = static_cast<int64_t>(seconds < 0 ? 0 : seconds) * 1000;
  return platform::Sockets::Get().WaitReadable(socket, ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms));
}

void CXSocket::GracefulClose(Handle socket, int32_t receive_timeout_ms, int64_t drain_deadline_us) {
  platform::Sockets& net = platform::Sockets::Get();
  if (!net.ShutdownSend(socket)) {
    net.Close(socket);
    return;
  }
  SetTimeouts(socket, receive_timeout_ms);
  // Reading until the peer closes lets our last bytes reach it instead of
  // being cut off by a reset; a peer that never stops sending is cut off.
  char scratch[512];
  bool draining = false;
  int64_t deadline = 0;
  while (net.Recv(socket, scratch, sizeof scratch) > 0) {
    const int64_t now = platform::UnixMicros();
    if (!draining) {
      draining = true;
      deadline = now + drain_deadline_us;
    }
    if (now >= deadline) break;
  }
  net.Close(socket);
}

}  // namespace orvalinth
