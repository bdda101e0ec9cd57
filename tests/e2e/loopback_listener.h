#pragma once
// A TCP listener on 127.0.0.1 at a port the system chooses: the console end
// that a test's settings file points the service at.

#include <cstdint>

namespace orvalinth::e2e {

class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // False when no socket could be bound.
  bool ok() const { return socket_ >= 0; }
  uint16_t port() const { return port_; }

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
};

}  // namespace orvalinth::e2e
