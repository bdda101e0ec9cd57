#pragma once
// A console stand-in for tests of the link: it listens on 127.0.0.1 on a free
// port, accepts one connection and runs a script against it on its own thread,
// so that the code under test can connect, send and receive on the test's
// thread. The script talks raw bytes or frames; results go back through
// variables the test reads after Join().
//
//   TestPeer peer;
//   std::string hello;
//   peer.Serve([&](TestPeer& p) { p.RecvFrame(&hello); p.SendFrame(Hex("...")); });
//   client.Connect("127.0.0.1", peer.port(), 5);
//   ...
//   peer.Join();

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "link/message.h"
#include "platform/sockets.h"

namespace orvalinth::test {

class TestPeer {
 public:
  // How long the peer waits for the connection and for each receive, so
  // that a failing test ends instead of hanging.
  static constexpr int32_t kDefaultWaitMs = 10000;

  // Starts the socket library and listens; listening() tells whether it could.
  TestPeer();
  // Waits for the script, then closes the connection and the listener.
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  bool listening() const { return listener_ != platform::kNoSocket; }
  uint16_t port() const { return port_; }
  // Stops listening (a later connect to port() is refused).
  void StopListening();

  // Accepts one connection (waiting at most kDefaultWaitMs), then runs
  // `script` with it, both on the peer's thread. Without a connection the
  // script does not run and accepted() stays false.
  void Serve(std::function<void(TestPeer&)> script);
  // Waits until the script has ended.
  void Join();
  bool accepted() const { return accepted_.load(); }

  // ---- the accepted connection, for scripts ----

  platform::SocketHandle connection() const { return connection_; }
  // Receive time-out of the connection (kDefaultWaitMs at first).
  void SetReceiveTimeout(int32_t milliseconds);
  // Sends every byte; false when the connection fails.
  bool SendBytes(const std::string& bytes);
  // Sends the 4-byte little-endian length of `body`, then `body`.
  bool SendFrame(const std::string& body);
  // Sends the frame of a message (encoded by CXMessage).
  bool SendMessage(CXMessage& message);
  // Receives exactly n bytes; false at the end of the stream, on error or
  // time-out (*out then holds what did arrive).
  bool RecvBytes(size_t n, std::string* out);
  // Receives one frame's body (any length up to 64 MiB).
  bool RecvFrame(std::string* body);
  // Receives one frame and decodes it into `message`.
  bool RecvMessage(CXMessage* message);
  // Reads and counts bytes until the end of the stream, an error or the
  // time-out; true only for a clean end of stream.
  bool DrainUntilClosed(std::string* out = nullptr);
  // DrainUntilClosed, then CloseConnection: a console that answers the
  // client's graceful close with its own, so that it ends at once.
  bool CloseAfterClient(std::string* out = nullptr);
  // Ends the sending direction: the client sees the end of the stream.
  void ShutdownSend();
  // Closes the connection at once.
  void CloseConnection();

 private:
  platform::SocketHandle listener_ = platform::kNoSocket;
  platform::SocketHandle connection_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::atomic<bool> accepted_{false};
  std::thread thread_;
};

// A frame's bytes: the 4-byte little-endian length of `body`, then `body`.
std::string Frame(const std::string& body);
// The 4-byte little-endian form of a length.
std::string LengthPrefix(int32_t length);

}  // namespace orvalinth::test
