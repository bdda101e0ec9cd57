#pragma once
// A sockets facility for tests of the link: it forwards to the real sockets,
// counts what the code under test does and fails chosen operations.
//
//   SocketsSpy spy;
//   platform::ScopedFacility<platform::Sockets> use(spy);

#include <atomic>
#include <cstdint>

#include "platform/sockets.h"

namespace orvalinth::test {

class SocketsSpy final : public platform::SocketsWrapper {
 public:
  SocketsSpy() : SocketsWrapper(platform::Sockets::Real()) {}

  std::atomic<int> creates{0};
  std::atomic<int> lookups{0};
  std::atomic<int> sends{0};
  std::atomic<int64_t> bytes_received{0};
  std::atomic<int> shutdowns{0};
  std::atomic<int> closes{0};

  // When not 0, every Send fails with this socket error.
  std::atomic<uint32_t> fail_send_with{0};
  // When set, every Send reports that it sent nothing.
  std::atomic<bool> send_nothing{false};

  platform::SocketHandle CreateTcp() override {
    ++creates;
    return target().CreateTcp();
  }
  bool LookupHost(const std::string& name, uint32_t* address) override {
    ++lookups;
    return target().LookupHost(name, address);
  }
  int32_t Send(platform::SocketHandle s, const void* bytes, int32_t n) override {
    ++sends;
    if (fail_send_with.load() != 0) {
      platform::SetLastSocketError(fail_send_with.load());
      return -1;
    }
    if (send_nothing.load()) return 0;
    return target().Send(s, bytes, n);
  }
  int32_t Recv(platform::SocketHandle s, void* buffer, int32_t n) override {
    const int32_t got = target().Recv(s, buffer, n);
    if (got > 0) bytes_received += got;
    return got;
  }
  bool ShutdownSend(platform::SocketHandle s) override {
    ++shutdowns;
    return target().ShutdownSend(s);
  }
  void Close(platform::SocketHandle s) override {
    ++closes;
    target().Close(s);
  }
};

}  // namespace orvalinth::test
