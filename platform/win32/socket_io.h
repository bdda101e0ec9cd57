#pragma once
// What the sockets of the win32 backend and the TLS sessions over them share:
// every socket is non-blocking underneath, and waits are made with select,
// bounded by the socket's own time-outs (see platform/win32/sockets.cpp).

#include "platform/win32/win.h"

namespace orvalinth::platform::win32 {

inline bool MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// SO_RCVTIMEO or SO_SNDTIMEO in milliseconds; 0 (no limit) when unreadable.
inline DWORD TimeoutOf(SOCKET s, int option) {
  DWORD value = 0;
  int length = sizeof value;
  if (getsockopt(s, SOL_SOCKET, option, reinterpret_cast<char*>(&value), &length) != 0) return 0;
  return value;
}

enum class Ready { kRead, kWrite, kConnect };

// Waits until `s` is ready; `ms` 0 waits without limit. 1 ready, 0 time-out
// (WSAETIMEDOUT set), negative on error. For kConnect a failed connection
// (signalled in the exception set) counts as ready.
inline int WaitReady(SOCKET s, Ready what, DWORD ms) {
  fd_set set, failed;
  FD_ZERO(&set);
  FD_ZERO(&failed);
  FD_SET(s, &set);
  FD_SET(s, &failed);
  timeval limit;
  limit.tv_sec = static_cast<long>(ms / 1000);
  limit.tv_usec = static_cast<long>((ms % 1000) * 1000);
  const int n = select(/*nfds=*/0, what == Ready::kRead ? &set : nullptr, what == Ready::kRead ? nullptr : &set,
                       what == Ready::kConnect ? &failed : nullptr, ms == 0 ? nullptr : &limit);
  if (n == 0) WSASetLastError(WSAETIMEDOUT);
  return n;
}

// One send or receive as the sockets facility makes it: waits for room or
// data at most the socket's time-out; the count, or -1 (WSAETIMEDOUT after a
// time-out).
inline int32_t SendSome(SOCKET s, const void* bytes, int32_t n) {
  for (;;) {
    const int sent = send(s, static_cast<const char*>(bytes), n, /*flags=*/0);
    if (sent != SOCKET_ERROR) return sent;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (WaitReady(s, Ready::kWrite, TimeoutOf(s, SO_SNDTIMEO)) <= 0) return -1;
  }
}
inline int32_t RecvSome(SOCKET s, void* buffer, int32_t n) {
  for (;;) {
    const int got = recv(s, static_cast<char*>(buffer), n, /*flags=*/0);
    if (got != SOCKET_ERROR) return got;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (WaitReady(s, Ready::kRead, TimeoutOf(s, SO_RCVTIMEO)) <= 0) return -1;
  }
}

}  // namespace orvalinth::platform::win32
