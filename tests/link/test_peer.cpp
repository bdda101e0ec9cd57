#include "link/test_peer.h"

#include <algorithm>
#include <cstring>

namespace orvalinth::test {
namespace {

// The peer always uses the real sockets, whatever a test put in their place
// for the code under test.
platform::Sockets& Net() { return platform::Sockets::Real(); }

}  // namespace

std::string LengthPrefix(int32_t length) {
  uint8_t bytes[4];
  CXMessage::WriteLength(bytes, length);
  return std::string(reinterpret_cast<const char*>(bytes), 4);
}

std::string Frame(const std::string& body) { return LengthPrefix(static_cast<int32_t>(body.size())) + body; }

TestPeer::TestPeer() {
  Net().Startup();
  listener_ = Net().Listen(platform::LoopbackAddress(), /*port=*/0, /*backlog=*/4);
  if (listener_ != platform::kNoSocket && !Net().LocalPort(listener_, &port_)) StopListening();
}

TestPeer::~TestPeer() {
  Join();
  CloseConnection();
  StopListening();
}

void TestPeer::StopListening() {
  if (listener_ == platform::kNoSocket) return;
  Net().Close(listener_);
  listener_ = platform::kNoSocket;
}

void TestPeer::Serve(std::function<void(TestPeer&)> script) {
  Join();
  thread_ = std::thread([this, script = std::move(script)] {
    if (listener_ == platform::kNoSocket || Net().WaitReadable(listener_, kDefaultWaitMs) != 1) return;
    connection_ = Net().Accept(listener_);
    if (connection_ == platform::kNoSocket) return;
    SetReceiveTimeout(kDefaultWaitMs);
    Net().SetSendTimeout(connection_, kDefaultWaitMs);
    accepted_.store(true);
    script(*this);
  });
}

void TestPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

void TestPeer::SetReceiveTimeout(int32_t milliseconds) { Net().SetReceiveTimeout(connection_, milliseconds); }

bool TestPeer::SendBytes(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t chunk = std::min<size_t>(bytes.size() - done, 1 << 20);
    const int32_t sent = Net().Send(connection_, bytes.data() + done, static_cast<int32_t>(chunk));
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

bool TestPeer::SendFrame(const std::string& body) { return SendBytes(Frame(body)); }

bool TestPeer::SendMessage(CXMessage& message) {
  int32_t length = 0;
  const uint8_t* frame = message.Encode(&length);
  return SendBytes(std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length)));
}

bool TestPeer::RecvBytes(size_t n, std::string* out) {
  out->assign(n, '\0');
  size_t done = 0;
  while (done < n) {
    const size_t chunk = std::min<size_t>(n - done, 1 << 20);
    const int32_t got = Net().Recv(connection_, &(*out)[done], static_cast<int32_t>(chunk));
    if (got <= 0) {
      out->resize(done);
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool TestPeer::RecvFrame(std::string* body) {
  std::string prefix;
  if (!RecvBytes(4, &prefix)) return false;
  const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(prefix.data()));
  if (length < 0 || length > (64 << 20)) return false;
  return RecvBytes(static_cast<size_t>(length), body);
}

bool TestPeer::RecvMessage(CXMessage* message) {
  std::string body;
  if (!RecvFrame(&body)) return false;
  std::memcpy(message->ReserveBody(static_cast<int32_t>(body.size())), body.data(), body.size());
  return message->Decode();
}

bool TestPeer::DrainUntilClosed(std::string* out) {
  char buffer[65536];
  for (;;) {
    const int32_t got = Net().Recv(connection_, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) return false;
    if (out != nullptr) out->append(buffer, static_cast<size_t>(got));
  }
}

bool TestPeer::CloseAfterClient(std::string* out) {
  const bool clean = DrainUntilClosed(out);
  CloseConnection();
  return clean;
}

void TestPeer::ShutdownSend() { Net().ShutdownSend(connection_); }

void TestPeer::CloseConnection() {
  if (connection_ == platform::kNoSocket) return;
  Net().Close(connection_);
  connection_ = platform::kNoSocket;
}

}  // namespace orvalinth::test
