#pragma once
// CXSocket: the stateless socket operations of the console link. Each acts on
// the socket it is given; CXTCPIPclient derives from it and holds a connection.

#include <cstdint>

#include "platform/sockets.h"

namespace orvalinth {

class CXSocket {
 public:
  using Handle = platform::SocketHandle;
  static constexpr Handle kNone = platform::kNoSocket;

  // How long a graceful close waits for each read, and how long it drains a
  // peer that keeps sending, counted from the first drained bytes.
  static constexpr int32_t kCloseReceiveTimeoutMs = 2000;
  static constexpr int64_t kCloseDrainDeadlineUs = 30LL * 1000 * 1000;

  virtual ~CXSocket() = default;

  // Starts the socket library (version 2.2); true when it started. The
  // library then stays started until the process ends.
  static bool Startup();
  // Receive time-out, then send time-out, both `milliseconds`; errors ignored.
  static void SetTimeouts(Handle socket, int32_t milliseconds);
  // Waits at most `seconds` until the socket can be read: 1 readable (data or
  // end of stream), 0 time-out, negative on error.
  static int WaitReadable(Handle socket, int32_t seconds);
  // Ends sending, drains and discards what the peer still sends until it
  // closes, a read waits `receive_timeout_ms` in vain, or `drain_deadline_us`
  // has passed since the first drained bytes; then closes the socket.
  static void GracefulClose(Handle socket, int32_t receive_timeout_ms = kCloseReceiveTimeoutMs,
                            int64_t drain_deadline_us = kCloseDrainDeadlineUs);
};

}  // namespace orvalinth
