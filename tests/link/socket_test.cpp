#include "link/socket.h"

#include <gtest/gtest.h>

#include <atomic>

#include "fakes/wait_until.h"
#include "link/sockets_spy.h"
#include "link/tcpip_client.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

using test::SocketsSpy;
using test::TestPeer;

// A client that hands its socket over to the test.
class Taker : public CXTCPIPclient {
 public:
  Handle Release() {
    const Handle s = socket_;
    socket_ = kNone;
    return s;
  }
};

// Connects to the peer; the test owns the socket.
CXSocket::Handle ConnectTo(TestPeer& peer) {
  Taker client;
  if (!client.Connect("127.0.0.1", peer.port(), 5)) return CXSocket::kNone;
  return client.Release();
}

class Socket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CXSocket::Startup()); }
};

TEST_F(Socket, WaitReadableReportsDataTimeOutAndError) {
  TestPeer peer;
  std::atomic<bool> send_now{false};
  peer.Serve([&](TestPeer& p) {
    test::WaitFor(send_now);
    p.SendBytes("x");
    p.DrainUntilClosed();
  });
  const CXSocket::Handle s = ConnectTo(peer);
  ASSERT_NE(s, CXSocket::kNone);
  EXPECT_EQ(CXSocket::WaitReadable(s, 0), 0);
  send_now = true;
  EXPECT_EQ(CXSocket::WaitReadable(s, 5), 1);
  platform::Sockets::Get().Close(s);
  EXPECT_LT(CXSocket::WaitReadable(CXSocket::kNone, 0), 0);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaNotSocket);
}

// The one real-time test of the graceful close: the 2-second read time-out.
TEST_F(Socket, GracefulCloseAgainstASilentPeerEndsAfterTwoSeconds) {
  TestPeer peer;
  std::atomic<bool> release{false};
  bool saw_end = false;
  peer.Serve([&](TestPeer& p) {
    saw_end = p.DrainUntilClosed();  // our shutdown arrives as the end of the stream
    test::WaitFor(release);                // but the peer itself stays silent and open
  });
  const CXSocket::Handle s = ConnectTo(peer);
  ASSERT_NE(s, CXSocket::kNone);
  const int64_t start = platform::MonotonicMs();
  CXSocket::GracefulClose(s);
  const int64_t elapsed = platform::MonotonicMs() - start;
  release = true;
  peer.Join();
  EXPECT_TRUE(saw_end);
  EXPECT_GE(elapsed, 1800);
  EXPECT_LT(elapsed, 4000);
}

TEST_F(Socket, GracefulCloseAgainstAChattyPeerEndsByTheDeadline) {
  TestPeer peer;
  peer.Serve([](TestPeer& p) {
    const std::string chunk(4096, 'c');
    while (p.SendBytes(chunk)) {
    }
  });
  const CXSocket::Handle s = ConnectTo(peer);
  ASSERT_NE(s, CXSocket::kNone);
  const int64_t start = platform::MonotonicMs();
  CXSocket::GracefulClose(s, CXSocket::kCloseReceiveTimeoutMs, /*drain_deadline_us=*/300 * 1000);
  const int64_t elapsed = platform::MonotonicMs() - start;
  peer.Join();  // the peer's sends fail once the socket is closed
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 1800);  // well before a read could time out
}

TEST_F(Socket, GracefulCloseOfAnUnconnectedSocketJustClosesIt) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  const CXSocket::Handle s = platform::Sockets::Get().CreateTcp();
  ASSERT_NE(s, CXSocket::kNone);
  const int64_t start = platform::MonotonicMs();
  CXSocket::GracefulClose(s);
  EXPECT_LT(platform::MonotonicMs() - start, 1000);
  EXPECT_EQ(spy.shutdowns.load(), 1);
  EXPECT_EQ(spy.closes.load(), 1);
  EXPECT_EQ(spy.bytes_received.load(), 0);
}

}  // namespace
}  // namespace orvalinth
