#include "link/tcpip_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fakes/wait_until.h"
#include "link/sockets_spy.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

using test::SocketsSpy;
using test::TestPeer;

constexpr char kLoopback[] = "127.0.0.1";

// A client whose status a test can set and whose retry wait a test controls.
class TestClient : public CXTCPIPclient {
 public:
  void set_stat(int32_t stat) { stat_ = stat; }
  void set_socket(Handle socket) { socket_ = socket; }

  // A stop request ends the wait at once; otherwise it lasts `wait_ms`.
  int WaitUnlessStopped(int seconds) override {
    last_seconds = seconds;
    ++waits;
    for (int64_t end = platform::MonotonicMs() + wait_ms; platform::MonotonicMs() < end;) {
      if (stop.load()) return 0;
      platform::SleepMs(5);
    }
    return stop.load() ? 0 : 1;
  }

  std::atomic<int> waits{0};
  std::atomic<int> last_seconds{0};
  std::atomic<bool> stop{false};
  int64_t wait_ms = 10;
};

class TcpipClient : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CXSocket::Startup()); }
};

TEST_F(TcpipClient, NewClientHasNoSocketAndIsNotConnected) {
  CXTCPIPclient client;
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(client.stat(), 2);
  EXPECT_EQ(client.ErrorText("x"), "not connected");
}

TEST_F(TcpipClient, ErrorTextTable) {
  const struct {
    int32_t stat;
    const char* message;
    const char* text;
  } cases[] = {
      {0, "invalid protocol", "invalid protocol"},
      {0, "", ""},
      {1, "x", "host not found"},
      {2, "x", "not connected"},
      {3, "x", "connection error"},
      {4, "x", "connection closed"},
      {7, "x", "unknown err"},
      {-1, "x", "unknown err"},
  };
  for (const auto& c : cases) {
    TestClient client;
    client.set_stat(c.stat);
    EXPECT_EQ(client.ErrorText(c.message), c.text) << c.stat;
  }
}

TEST_F(TcpipClient, DottedAddressIsNotLookedUp) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestPeer peer;
  ASSERT_TRUE(peer.listening());
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  EXPECT_EQ(client.stat(), 0);
  EXPECT_NE(client.socket(), CXSocket::kNone);
  EXPECT_EQ(spy.lookups.load(), 0);
  client.Disconnect(false);
}

TEST_F(TcpipClient, HostNameIsLookedUp) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestPeer peer;
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.ConnectServer("localhost", peer.port()));
  EXPECT_EQ(spy.lookups.load(), 1);
  client.Disconnect(false);
}

TEST_F(TcpipClient, UnresolvableHostGivesStatusOneAndInvalidArgument) {
  CXTCPIPclient client;
  platform::SetLastSocketError(0);
  EXPECT_FALSE(client.Connect("no-such-host.invalid", 51000, 5));
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaInvalid);
  EXPECT_EQ(client.stat(), 1);
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(client.ErrorText("x"), "host not found");
}

TEST_F(TcpipClient, RefusedConnectionLeavesStatusTwo) {
  uint16_t port;
  {
    TestPeer closed;
    port = closed.port();
  }
  CXTCPIPclient client;
  EXPECT_FALSE(client.Connect(kLoopback, port, 5));
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaConnRefused);
  EXPECT_EQ(client.stat(), 2);
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

TEST_F(TcpipClient, ConnectingAgainClosesTheOldConnection) {
  TestPeer first, second;
  bool first_closed = false;
  first.Serve([&](TestPeer& p) { first_closed = p.DrainUntilClosed(); });
  second.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, first.port(), 5));
  ASSERT_TRUE(client.Connect(kLoopback, second.port(), 5));
  first.Join();
  EXPECT_TRUE(first_closed);
  client.Disconnect(false);
}

TEST_F(TcpipClient, RecvExactReportsTheEndOfTheStream) {
  TestPeer peer;
  peer.Serve([](TestPeer& p) {
    p.SendBytes("abc");
    p.ShutdownSend();
    p.DrainUntilClosed();
  });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  char got[4] = {};
  EXPECT_TRUE(client.RecvExact(got, 0));
  ASSERT_TRUE(client.RecvExact(got, 3));
  EXPECT_STREQ(got, "abc");
  EXPECT_FALSE(client.RecvExact(got, 1));
  EXPECT_EQ(client.stat(), 4);
  EXPECT_EQ(client.ErrorText("x"), "connection closed");
  EXPECT_NE(client.socket(), CXSocket::kNone);  // closing is the framing's business
  client.Disconnect(false);
  EXPECT_EQ(client.stat(), 2);
}

TEST_F(TcpipClient, RecvExactTimesOutOnASilentPeer) {
  TestPeer peer;
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  CXSocket::SetTimeouts(client.socket(), 200);
  char byte;
  const int64_t start = platform::MonotonicMs();
  EXPECT_FALSE(client.RecvExact(&byte, 1));
  EXPECT_GE(platform::MonotonicMs() - start, 150);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaTimedOut);
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(client.ErrorText("x"), "connection error");
  client.Disconnect(false);
}

TEST_F(TcpipClient, HasDataWithoutSocket) {
  CXTCPIPclient client;
  platform::SetLastSocketError(platform::kWsaConnReset);
  int error = -1;
  EXPECT_FALSE(client.HasData(1, &error));
  EXPECT_EQ(error, 0);
}

TEST_F(TcpipClient, HasDataWaitsTheGivenSeconds) {
  TestPeer peer;
  std::atomic<bool> send_now{false};
  peer.Serve([&](TestPeer& p) {
    test::WaitFor(send_now);
    p.SendBytes("x");
    p.DrainUntilClosed();
  });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  int error = -1;
  platform::SetLastSocketError(0);
  const int64_t start = platform::MonotonicMs();
  EXPECT_FALSE(client.HasData(1, &error));
  EXPECT_GE(platform::MonotonicMs() - start, 900);
  EXPECT_EQ(error, 0);
  // A plain time-out is no error, whatever an earlier call left behind.
  platform::SetLastSocketError(platform::kWsaConnReset);
  EXPECT_FALSE(client.HasData(0, &error));
  EXPECT_EQ(error, 0);
  send_now = true;
  EXPECT_TRUE(client.HasData(5, &error));
  EXPECT_EQ(error, 0);
  client.Disconnect(false);
}

TEST_F(TcpipClient, HasDataReportsAFailedPoll) {
  TestClient client;
  client.set_socket(0x7FFFFFF0);  // no socket of this process
  int error = 0;
  EXPECT_FALSE(client.HasData(0, &error));
  EXPECT_EQ(error, static_cast<int>(platform::kWsaNotSocket));
  client.set_socket(CXSocket::kNone);
}

TEST_F(TcpipClient, DisconnectWithoutSocketChangesNothing) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestClient client;
  client.set_stat(3);
  client.Disconnect(true);
  client.Disconnect(false);
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(spy.closes.load(), 0);
}

TEST_F(TcpipClient, GracefulDisconnectDeliversTheLastBytes) {
  TestPeer peer;
  std::string received;
  bool clean_end = false;
  peer.Serve([&](TestPeer& p) {
    clean_end = p.DrainUntilClosed(&received);
    p.CloseConnection();
  });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  ASSERT_TRUE(client.SendAll("bye", 3));
  const int64_t start = platform::MonotonicMs();
  client.Disconnect(true);
  EXPECT_LT(platform::MonotonicMs() - start, 1500);  // the peer closed: no time-out
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(client.stat(), 2);
  peer.Join();
  EXPECT_TRUE(clean_end);
  EXPECT_EQ(received, "bye");
}

TEST_F(TcpipClient, SendAllOfNothingTouchesNoSocket) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  CXTCPIPclient unconnected;
  EXPECT_TRUE(unconnected.SendAll(nullptr, 0));
  TestPeer peer;
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  EXPECT_TRUE(client.SendAll("", 0));
  EXPECT_EQ(spy.sends.load(), 0);
  client.Disconnect(false);
}

TEST_F(TcpipClient, SendErrorsCloseTheConnection) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestPeer peer;
  peer.Serve([](TestPeer& p) {
    p.DrainUntilClosed();
    p.CloseConnection();
  });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  spy.fail_send_with = platform::kWsaConnReset;
  EXPECT_FALSE(client.SendAll("x", 1));
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaConnReset);
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(spy.closes.load(), 1);
}

TEST_F(TcpipClient, SendingNothingAtAllClosesTheConnection) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestPeer peer;
  peer.Serve([](TestPeer& p) { p.DrainUntilClosed(); });
  CXTCPIPclient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  spy.send_nothing = true;
  EXPECT_FALSE(client.SendAll("x", 1));
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

// More than the loopback buffers of both ends hold, so a peer that does not
// read makes the send time out.
std::string LargeBlock() {
  std::string block(32u << 20, '\0');
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<char>(i >> 12);
  return block;
}

TEST_F(TcpipClient, SendTimeOutIsRetriedUntilThePeerReads) {
  const std::string block = LargeBlock();
  TestPeer peer;
  TestClient client;
  client.wait_ms = 10;
  std::string received;
  peer.Serve([&](TestPeer& p) {
    test::WaitUntil([&] { return client.waits.load() != 0; });
    p.RecvBytes(block.size(), &received);
  });
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  CXSocket::SetTimeouts(client.socket(), 100);
  EXPECT_TRUE(client.SendAll(block.data(), static_cast<int32_t>(block.size())));
  peer.Join();
  EXPECT_GE(client.waits.load(), 1);
  EXPECT_EQ(client.last_seconds.load(), 5);
  EXPECT_EQ(client.stat(), 0);
  EXPECT_TRUE(received == block);
  client.Disconnect(false);
}

TEST_F(TcpipClient, StopRequestInterruptsTheSendRetryWait) {
  const std::string block = LargeBlock();
  TestPeer peer;
  std::atomic<bool> release{false};
  peer.Serve([&](TestPeer&) { test::WaitFor(release); });  // never reads
  TestClient client;
  client.wait_ms = 5000;  // a full wait would take the real 5 seconds
  ASSERT_TRUE(client.Connect(kLoopback, peer.port(), 5));
  CXSocket::SetTimeouts(client.socket(), 100);
  std::thread stopper([&] {
    test::WaitUntil([&] { return client.waits.load() != 0; });
    client.stop = true;
  });
  const int64_t start = platform::MonotonicMs();
  EXPECT_FALSE(client.SendAll(block.data(), static_cast<int32_t>(block.size())));
  const int64_t elapsed = platform::MonotonicMs() - start;
  stopper.join();
  release = true;
  EXPECT_EQ(client.waits.load(), 1);
  EXPECT_LT(elapsed, 4000);
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

}  // namespace
}  // namespace orvalinth
