#pragma once
// A scripted agent for tests of the console: it connects like the real agent
// (CXTCPIPclient), sends "hello", checks the console's "hello", sends "info"
// and then follows a script on its own thread: receive the console's commands
// (their raw bodies are kept for golden comparisons) and answer with messages
// or raw bytes.
//
//   FakeAgent agent;
//   agent.Run([&](FakeAgent& a) {
//     if (!a.Connect(port) || !a.Greet()) return;
//     std::string body;
//     a.RecvCommand(&body);
//     CXMessage reply;
//     a.Send(reply.Init("get-disk").AddString("disk", "c1"));
//   });
//   ... drive the console ...
//   agent.Join();

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "link/message.h"
#include "link/tcpip_client.h"

namespace orvalinth::test {

class FakeAgent {
 public:
  static constexpr int32_t kWaitSeconds = 10;

  FakeAgent() = default;
  ~FakeAgent() { Join(); }
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  // The "info" this agent sends unless a test gives another: name "VM", app
  // 6, 64-bit on 64-bit, not scanning, id 7, saved "1,3", targets "full".
  static void DefaultInfo(CXMessage* info);

  void Run(std::function<void(FakeAgent&)> script);
  void Join();

  // ---- for scripts ----

  // The links Connect makes from now on are TLS with this configuration.
  void set_tls(platform::TlsClientConfig config) {
    tls_ = true;
    client_.set_tls(std::move(config));
  }
  // Connects to 127.0.0.1:port, trying again for up to kWaitSeconds while
  // the console is not listening yet (or, with TLS, refuses the link).
  bool Connect(uint16_t port);
  // Connects to the port written in `port_file` (waits until it is there).
  bool ConnectVia(const std::u16string& port_file);
  // "hello" out, the console's "hello" in (its body kept in console_hello),
  // then "info" (DefaultInfo when null).
  bool Greet(CXMessage* info = nullptr);
  // Receives one command; its body goes to *body, its decoded form to
  // *message when given.
  bool RecvCommand(std::string* body, CXMessage* message = nullptr);
  bool Send(CXMessage& message) { return client_.SendMessage(message); }
  // Sends the frame of a raw body, or raw bytes as they stand.
  bool SendBody(const std::string& body);
  bool SendBytes(const std::string& bytes) { return client_.SendAll(bytes.data(), static_cast<int32_t>(bytes.size())); }
  // True when the console closed the link within kWaitSeconds.
  bool WaitClosed();
  // Closes the link at once.
  void Drop() { client_.Disconnect(/*graceful=*/false); }

  std::string console_hello;

 private:
  CXTCPIPclient client_;
  bool tls_ = false;
  std::thread thread_;
};

}  // namespace orvalinth::test
