#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "base/app_version.h"
#include "link/sockets_spy.h"
#include "link/tcpip_client.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Frame;
using test::Hex;
using test::LengthPrefix;
using test::SocketsSpy;
using test::TestPeer;
using test::ToHex;

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kDisconnected[] = "disconnected from server";

class Framing : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CXSocket::Startup()); }

  // Connects `client` to `peer`, which runs `script`.
  void Start(TestPeer& peer, CXTCPIPclient& client, std::function<void(TestPeer&)> script) {
    ASSERT_TRUE(peer.listening());
    peer.Serve(std::move(script));
    ASSERT_TRUE(client.ConnectServer(kLoopback, peer.port()));
  }
};

TEST_F(Framing, ClientGreetingIsExactlyTheseBytes) {
  TestPeer peer;
  std::string greeting;
  CXTCPIPclient client;
  Start(peer, client, [&](TestPeer& p) {
    p.RecvBytes(28, &greeting);
    p.CloseAfterClient();
  });
  ASSERT_TRUE(client.SendHello(APP_VERSION));
  client.Disconnect(true);
  peer.Join();
  EXPECT_EQ(ToHex(greeting), "18 00 00 00 68 65 6C 6C 6F FE 76 65 72 FE 51 45 4C 4D 76 31 2E 30 FE 61 70 70 FE 36");
}

TEST_F(Framing, ConsoleGreetingIsCheckedByNameAndMagic) {
  const struct {
    std::string body;
    bool accepted;
  } cases[] = {
      {"hello" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.0", true},
      {"hello" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.0x", true},
      {"hello" + Hex("FE") + "app" + Hex("FE") + "6" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.0" + Hex("FE") +
           "close" + Hex("FE") + "1",
       true},
      {"HELLO" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.0", false},
      {"hello" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.1", false},
      {"hello" + Hex("FE") + "ver" + Hex("FE") + "qelmv1.0", false},
      {"hello" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.", false},
      {"hello" + Hex("FE") + "Ver" + Hex("FE") + "QELMv1.0", false},
      {"hello", false},
      {"hello2" + Hex("FE") + "ver" + Hex("FE") + "QELMv1.0", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToHex(c.body));
    TestPeer peer;
    CXTCPIPclient client;
    Start(peer, client, [&](TestPeer& p) {
      p.SendFrame(c.body);
      p.CloseAfterClient();
    });
    EXPECT_EQ(client.RecvHello(), c.accepted);
    // A refused greeting leaves no socket error: the caller's text shows.
    if (!c.accepted) {
      EXPECT_EQ(client.ErrorText(CXTCPIPclient::kInvalidProtocol), "invalid protocol");
    }
    EXPECT_EQ(client.stat(), 0);
    client.Disconnect(true);
  }
}

TEST_F(Framing, GreetingCutOffReportsTheSocketStatus) {
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) { p.CloseConnection(); });
  EXPECT_FALSE(client.RecvHello());
  EXPECT_EQ(client.ErrorText(CXTCPIPclient::kInvalidProtocol), "connection closed");
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

TEST_F(Framing, LargestFrameIsAccepted) {
  const int32_t n = CXTCPIPclient::kMaxBody;
  std::string body = "x" + Hex("FE FE");
  body.resize(static_cast<size_t>(n), '\x5A');
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [&](TestPeer& p) {
    p.SendFrame(body);
    p.CloseAfterClient();
  });
  CXMessage m;
  ASSERT_TRUE(client.RecvMessage(m));
  EXPECT_TRUE(m.IsNamed("x"));
  EXPECT_EQ(m.PayloadSize(), n - 3);
  EXPECT_EQ(std::memcmp(m.Payload(), body.data() + 3, static_cast<size_t>(n - 3)), 0);
  EXPECT_EQ(client.stat(), 0);
  client.Disconnect(true);
}

TEST_F(Framing, BadLengthClosesAtOnceWithoutReadingTheBody) {
  for (int32_t length : {CXTCPIPclient::kMaxBody + 1, -1, INT32_MIN}) {
    SCOPED_TRACE(length);
    SocketsSpy spy;
    platform::ScopedFacility<platform::Sockets> use(spy);
    TestPeer peer;
    CXTCPIPclient client;
    Start(peer, client, [&](TestPeer& p) {
      p.SendBytes(LengthPrefix(length) + "ping" + std::string(60, 'z'));
      p.CloseAfterClient();
    });
    platform::SleepMs(50);  // let the bytes after the length arrive too
    CXMessage m;
    EXPECT_FALSE(client.RecvMessage(m));
    EXPECT_EQ(spy.bytes_received.load(), 4);
    EXPECT_EQ(spy.shutdowns.load(), 0);  // no graceful close
    EXPECT_EQ(spy.closes.load(), 1);
    EXPECT_EQ(client.socket(), CXSocket::kNone);
    EXPECT_EQ(client.stat(), 0);
    EXPECT_EQ(client.ErrorText(kDisconnected), kDisconnected);
  }
}

TEST_F(Framing, FrameCutOffByThePeerGivesConnectionClosed) {
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) {
    p.SendBytes(LengthPrefix(100) + std::string(10, 'a'));
    p.CloseConnection();
  });
  CXMessage m;
  EXPECT_FALSE(client.RecvMessage(m));
  EXPECT_EQ(client.stat(), 4);
  EXPECT_EQ(client.ErrorText(kDisconnected), "connection closed");
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

TEST_F(Framing, SilentPeerGivesConnectionError) {
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) {
    p.SendBytes(LengthPrefix(10) + "abc");
    p.CloseAfterClient();
  });
  CXSocket::SetTimeouts(client.socket(), 200);
  CXMessage m;
  EXPECT_FALSE(client.RecvMessage(m));
  EXPECT_EQ(client.stat(), 3);
  EXPECT_EQ(client.ErrorText(kDisconnected), "connection error");
  EXPECT_EQ(client.socket(), CXSocket::kNone);
}

TEST_F(Framing, BodyThatDoesNotDecodeClosesTheLink) {
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) {
    p.SendFrame(Hex("78 FE"));
    p.SendFrame("ping");  // never read: no resynchronisation
    p.CloseAfterClient();
  });
  CXMessage m;
  EXPECT_FALSE(client.RecvMessage(m));
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(client.ErrorText(kDisconnected), kDisconnected);
  EXPECT_FALSE(client.RecvMessage(m));  // nothing more without a new connection
}

TEST_F(Framing, FramesFollowEachOtherDirectly) {
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) {
    p.SendBytes(Frame("") + Frame("scan" + Hex("FE") + "ok" + Hex("FE") + "1") + Frame("get" + Hex("FE FE 01 02")));
    p.CloseAfterClient();
  });
  CXMessage m;
  ASSERT_TRUE(client.RecvMessage(m));
  EXPECT_EQ(m.Name(), "");
  EXPECT_TRUE(m.keys().empty());
  ASSERT_TRUE(client.RecvMessage(m));
  EXPECT_TRUE(m.IsNamed("scan"));
  EXPECT_EQ(m.GetInt("ok"), 1);
  ASSERT_TRUE(client.RecvMessage(m));
  EXPECT_TRUE(m.IsNamed("get"));
  EXPECT_EQ(m.PayloadSize(), 2);
  client.Disconnect(true);
}

TEST_F(Framing, SendMessageWritesOneFrame) {
  TestPeer peer;
  std::string body;
  CXTCPIPclient client;
  Start(peer, client, [&](TestPeer& p) {
    p.RecvFrame(&body);
    p.CloseAfterClient();
  });
  CXMessage m;
  m.Init("down-block");
  std::memcpy(m.ReservePayload(131072), "\xAA\xBB\xCC", 3);
  m.SetPayloadSize(3);
  ASSERT_TRUE(client.SendMessage(m));
  client.Disconnect(true);
  peer.Join();
  EXPECT_EQ(ToHex(body), "64 6F 77 6E 2D 62 6C 6F 63 6B FE FE AA BB CC");
}

TEST_F(Framing, SendMessageWithoutConnectionSendsNothing) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  CXTCPIPclient client;
  CXMessage m;
  EXPECT_FALSE(client.SendMessage(m.Init("ping")));
  EXPECT_EQ(spy.sends.load(), 0);
  EXPECT_EQ(client.stat(), 2);
}

TEST_F(Framing, FailedSendLeavesNotConnected) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  TestPeer peer;
  CXTCPIPclient client;
  Start(peer, client, [](TestPeer& p) { p.CloseAfterClient(); });
  spy.fail_send_with = platform::kWsaConnAborted;
  CXMessage m;
  EXPECT_FALSE(client.SendMessage(m.Init("ping")));
  EXPECT_EQ(client.stat(), 2);
  EXPECT_EQ(client.ErrorText(kDisconnected), "not connected");
  EXPECT_EQ(client.socket(), CXSocket::kNone);
  EXPECT_EQ(spy.closes.load(), 1);
}

}  // namespace
}  // namespace orvalinth
