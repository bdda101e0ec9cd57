// The agent's connection thread against a console on loopback: greeting and
// "info", pings, dropped links and reconnects, a console that cannot be
// reached or named, stopping, and the sockets a long run leaves behind.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "base/strings.h"
#include "link/agent_fixture.h"
#include "link/sockets_spy.h"
#include "platform/clock.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::FastTiming;
using test::Greet;
using test::Hex;
using test::SendCommand;
using test::SocketsSpy;
using test::TestPeer;
using test::ToHex;

// The next frame as it came: its length prefix and its body.
bool RecvRawFrame(TestPeer& p, std::string* frame) {
  std::string prefix, body;
  if (!p.RecvBytes(4, &prefix)) return false;
  const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(prefix.data()));
  if (length < 0 || !p.RecvBytes(static_cast<size_t>(length), &body)) return false;
  *frame = prefix + body;
  return true;
}

using ClientLoop = AgentTest;

TEST_F(ClientLoop, GreetingAndInfoFramesByteForByte) {
  std::string hello, info;
  RunConsole([&](TestPeer& p) {
    if (!RecvRawFrame(p, &hello)) return;
    p.SendFrame(std::string("hello\xFEver\xFEQELMv1.0", 18));
    RecvRawFrame(p, &info);
  });
  EXPECT_EQ(ToHex(hello), ToHex(Hex("18 00 00 00") + "hello\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6"));
  const std::string body =
      "info\xFEname\xFEPC-01\xFE" "app-ver\xFE" "6\xFE" "app-bit\xFE" "64\xFEos-bit\xFE" "64\xFE"
      "scanning\xFE" "0\xFEid\xFE" "0\xFEsaved-uids\xFE\xFEscan-targets\xFE" "full";
  EXPECT_EQ(ToHex(info), ToHex(Hex("5C 00 00 00") + body));
}

TEST_F(ClientLoop, InfoCarriesIdSavedSnapshotsTargetsAndA32BitSystem) {
  system_.architecture = 0;  // x86
  MakeSnapshot(3);
  MakeSnapshot(5);
  WriteSettings(Text({"ComputerID:41", "SnapshotCnt:5", "SavedSnapshots:3,5", "ScanAll:0", "Files:", "C:\\Data", ""}));
  CXMessage info;
  RunConsole([&](TestPeer& p) { Greet(p, &info); });
  EXPECT_EQ(info.GetInt("os-bit"), 32);
  EXPECT_EQ(info.GetInt("app-bit"), 64);
  EXPECT_EQ(info.GetInt("id"), 41);
  EXPECT_EQ(info.GetString("saved-uids"), "3,5");
  EXPECT_EQ(info.GetString("scan-targets"), "files part.");
  EXPECT_EQ(info.keys().size(), 8u) << "no upgrade and no crash keys";
}

TEST_F(ClientLoop, PingAfterTenIdlePollsAndNoneWhileCommandsArrive) {
  SXClientTiming timing = FastTiming();
  timing.idle_polls_per_ping = 10;
  int pings = 0, replies = 0;
  std::string other;
  RunConsole(
      [&](TestPeer& p) {
        if (!Greet(p)) return;
        // A command every 5 polls keeps the link from being idle.
        for (int i = 0; i < 20; ++i) {
          platform::SleepMs(100);
          SendCommand(p, "get-disk");
          CXMessage m;
          if (!p.RecvMessage(&m)) return;
          (m.IsNamed("get-disk") ? replies : pings)++;
        }
        // Silent: 10 polls of 20 ms, then a ping, each time.
        const int64_t start = platform::MonotonicMs();
        for (int i = 0; i < 3; ++i) {
          std::string frame;
          if (!RecvRawFrame(p, &frame)) return;
          if (frame == Hex("04 00 00 00 70 69 6E 67")) {
            ++pings;
          } else {
            other = frame;
          }
        }
        EXPECT_GE(platform::MonotonicMs() - start, 2 * 10 * 20);
      },
      timing);
  EXPECT_EQ(replies, 20);
  EXPECT_EQ(pings, 3) << "unexpected frame " << ToHex(other);
}

// Real time: the service's own rhythm of one poll a second.
TEST_F(ClientLoop, ExactlyOnePingAfterTenSecondsOfSilence) {
  int64_t waited = 0;
  std::string first;
  bool second = true;
  RunConsole(
      [&](TestPeer& p) {
        if (!Greet(p)) return;
        const int64_t start = platform::MonotonicMs();
        p.SetReceiveTimeout(13000);
        if (!RecvRawFrame(p, &first)) return;
        waited = platform::MonotonicMs() - start;
        p.SetReceiveTimeout(1500);
        std::string more;
        second = RecvRawFrame(p, &more);
      },
      SXClientTiming());
  EXPECT_EQ(ToHex(first), ToHex(Hex("04 00 00 00 70 69 6E 67")));
  EXPECT_GE(waited, 9500);
  EXPECT_LE(waited, 11500);
  EXPECT_FALSE(second) << "a second ping came too soon";
}

// The console's "ping" is no command: "null", and the link is dropped; the
// agent is back after its reconnect wait.
class ClientReconnect : public AgentTest {
 protected:
  void DropAndReconnect(SXClientTiming timing) {
    std::atomic<bool> dropped{false};
    int64_t dropped_at = 0;
    peer_.Serve([&](TestPeer& p) {
      if (!Greet(p)) return;
      SendCommand(p, "ping");
      RecvRawFrame(p, &null_frame_);
      closed_ = p.DrainUntilClosed();
      dropped_at = platform::MonotonicMs();
      p.CloseConnection();
      dropped.store(true);
    });
    StartAgent(timing);
    ASSERT_TRUE(test::WaitFor(dropped));
    peer_.Join();
    FinishWith([&](TestPeer& p) {
      if (Greet(p)) gap_ = platform::MonotonicMs() - dropped_at;
    });
  }

  int64_t gap_ = -1;
  std::string null_frame_;
  bool closed_ = false;
};

TEST_F(ClientReconnect, UnknownCommandGetsNullAndTheLinkDrops) {
  MarkLog();
  SXClientTiming timing = FastTiming();
  timing.sleep_ms = 20;  // a reconnect wait of 200 ms
  DropAndReconnect(timing);
  EXPECT_EQ(ToHex(null_frame_), ToHex(Hex("04 00 00 00 6E 75 6C 6C")));
  EXPECT_TRUE(closed_) << "the agent closes the link gracefully";
  EXPECT_GE(gap_, 150);
  EXPECT_LT(gap_, 5000);
  const std::string log = LogSinceMark();
  EXPECT_EQ(Count(log, "Error: unknown cmd [ping]"), 1) << log;
  EXPECT_EQ(Count(log, "disconnected from server"), 1) << log;
  EXPECT_EQ(Count(log, "connected to server"), 2) << log;
}

// Real time: the service's reconnect wait of 5 s.
TEST_F(ClientReconnect, BackFiveSecondsAfterADroppedLink) {
  SXClientTiming timing;
  timing.poll_ms = 50;
  DropAndReconnect(timing);
  EXPECT_GE(gap_, 4900);
  EXPECT_LE(gap_, 6500);
}

TEST_F(ClientLoop, ConsoleClosingTheLinkIsLoggedAndTheAgentComesBack) {
  MarkLog();
  std::atomic<bool> first{false};
  peer_.Serve([&](TestPeer& p) {
    if (Greet(p)) p.CloseConnection();
    first.store(true);
  });
  StartAgent();
  ASSERT_TRUE(test::WaitFor(first));
  peer_.Join();
  bool greeted = false;
  FinishWith([&](TestPeer& p) { greeted = Greet(p); });
  EXPECT_TRUE(greeted);
  const std::string log = LogSinceMark();
  EXPECT_EQ(Count(log, "connection closed"), 1) << log;
  EXPECT_EQ(Count(log, "connected to server"), 2) << log;
}

// Refuses the connections while set, without anything listening.
class NoConsole : public AgentTest {
 protected:
  NoConsole() { peer_.StopListening(); }
};

// Real time: the wait is ten sleeps of 500 ms, and a stop ends it after one.
TEST_F(NoConsole, StopDuringTheReconnectWaitEndsWithinOneSleep) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  StartAgent(SXClientTiming());
  ASSERT_TRUE(test::WaitUntil([&] { return spy.closes.load() >= 1; }));
  platform::SleepMs(700);
  const int64_t start = platform::MonotonicMs();
  client_->StopClient();
  EXPECT_LE(platform::MonotonicMs() - start, 600);
  EXPECT_EQ(client_->running_threads(), 0);
  EXPECT_EQ(spy.creates.load(), 1) << "one attempt before the 5-second wait";
}

TEST_F(NoConsole, UnreachableConsoleIsTriedEveryWaitWithoutALogLineEach) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  MarkLog();
  SXClientTiming timing = FastTiming();
  timing.sleep_ms = 10;  // a try every 100 ms
  StartAgent(timing);
  platform::SleepMs(1000);
  StopAgent();
  EXPECT_GE(spy.creates.load(), 5);
  EXPECT_LE(spy.creates.load(), 11);
  EXPECT_EQ(spy.creates.load(), spy.closes.load());
  const std::string log = LogSinceMark();
  EXPECT_EQ(Count(log, Format("Waiting for server 127.0.0.1:%d", peer_.port())), 1) << log;
  EXPECT_EQ(Count(log, "connect"), 0) << log;
  EXPECT_EQ(Count(log, "Error"), 0) << log;
}

class NoNames final : public platform::SocketsWrapper {
 public:
  NoNames() : SocketsWrapper(platform::Sockets::Real()) {}
  bool LookupHost(const std::string&, uint32_t*) override {
    platform::SetLastSocketError(platform::kWsaHostNotFound);
    return false;
  }
};

TEST_F(NoConsole, AConsoleNameThatDoesNotResolveEndsTheThread) {
  NoNames names;
  platform::ScopedFacility<platform::Sockets> use(names);
  WriteSettings(Text({"ServerAddr:console.invalid"}));
  MarkLog();
  StartAgent();
  EXPECT_TRUE(test::WaitUntil([&] { return client_->running_threads() == 0; }));
  const std::string log = LogSinceMark();
  EXPECT_EQ(Count(log, Format("Waiting for server console.invalid:%d", peer_.port())), 1) << log;
  EXPECT_EQ(Count(log, "Error: Host not found [console.invalid]"), 1) << log;
}

// Fails the next send when armed; with `only` set, the next send of a frame
// whose body starts with it.
class FailOneSend final : public platform::SocketsWrapper {
 public:
  FailOneSend() : SocketsWrapper(platform::Sockets::Real()) {}
  int32_t Send(platform::SocketHandle s, const void* bytes, int32_t n) override {
    const bool chosen = only.empty() || (static_cast<size_t>(n) >= 4 + only.size() &&
                                         std::memcmp(static_cast<const char*>(bytes) + 4, only.data(), only.size()) == 0);
    if (chosen && armed.exchange(false)) {
      platform::SetLastSocketError(platform::kWsaConnReset);
      return -1;
    }
    return target().Send(s, bytes, n);
  }
  std::atomic<bool> armed{false};
  std::string only;
};

TEST_F(ClientLoop, AFailedPingIsFollowedByAnImmediateReconnect) {
  FailOneSend sockets;
  platform::ScopedFacility<platform::Sockets> use(sockets);
  SXClientTiming timing = FastTiming();
  timing.idle_polls_per_ping = 5;
  timing.sleep_ms = 100;  // a reconnect wait would take a second
  MarkLog();
  std::atomic<bool> first{false};
  peer_.Serve([&](TestPeer& p) {
    if (Greet(p)) sockets.armed.store(true);
    p.DrainUntilClosed();
    first.store(true);
  });
  StartAgent(timing);
  ASSERT_TRUE(test::WaitFor(first));
  const int64_t lost = platform::MonotonicMs();
  peer_.Join();
  int64_t gap = -1;
  FinishWith([&](TestPeer& p) {
    if (Greet(p)) gap = platform::MonotonicMs() - lost;
  });
  EXPECT_GE(gap, 0);
  EXPECT_LT(gap, 700);
  EXPECT_EQ(Count(LogSinceMark(), "Connection lost"), 1);
}

// A download block that cannot be sent means a link that is down: the agent
// connects again at once, without a wait, and logs the one line that says
// the download broke off.
TEST_F(ClientLoop, AFailedDownloadBlockIsFollowedByAnImmediateReconnect) {
  test::WriteFileBytes(SnapshotPath(1), std::string(8 * 131072, 'b'));
  FailOneSend sockets;
  sockets.only = "down-block";
  sockets.armed.store(true);
  platform::ScopedFacility<platform::Sockets> use(sockets);
  SXClientTiming timing = FastTiming();
  timing.sleep_ms = 100;  // a reconnect wait would take a second
  MarkLog();
  std::atomic<bool> first{false};
  int64_t lost = 0;
  peer_.Serve([&](TestPeer& p) {
    CXMessage ask;
    ask.Init("down-snap").AddInt("id-snapshot", 1);
    if (Greet(p) && p.SendMessage(ask)) p.DrainUntilClosed();
    lost = platform::MonotonicMs();
    p.CloseConnection();
    first.store(true);
  });
  StartAgent(timing);
  ASSERT_TRUE(test::WaitFor(first));
  peer_.Join();
  int64_t gap = -1;
  FinishWith([&](TestPeer& p) {
    if (Greet(p)) gap = platform::MonotonicMs() - lost;
  });
  EXPECT_FALSE(sockets.armed.load()) << "no block was sent";
  EXPECT_GE(gap, 0);
  EXPECT_LT(gap, 700);
  const std::string log = LogSinceMark();
  EXPECT_EQ(Count(log, "connected to server"), 2) << log;
  EXPECT_EQ(Count(log, "disconnected from server"), 0) << log;
  EXPECT_EQ(Count(log, "Connection lost"), 0) << log;
  EXPECT_EQ(Count(log, "download of snapshot 1 broke off: connection lost"), 1) << log;
}

// 200 links made, greeted and dropped by the console: every socket the agent
// made is closed again (threads and memory: the sanitizers of the host build).
TEST_F(ClientLoop, TwoHundredDroppedLinksLeaveNoSocketOpen) {
  SocketsSpy spy;
  platform::ScopedFacility<platform::Sockets> use(spy);
  SXClientTiming timing = FastTiming();
  timing.sleep_ms = 1;
  int greeted = 0;
  for (int i = 0; i < 200; ++i) {
    peer_.Serve([&](TestPeer& p) {
      if (Greet(p)) ++greeted;
      p.CloseConnection();
    });
    if (i == 0) StartAgent(timing);
    peer_.Join();
  }
  StopAgent();
  EXPECT_EQ(greeted, 200);
  EXPECT_GE(spy.creates.load(), 200);
  EXPECT_EQ(spy.creates.load(), spy.closes.load());
}

}  // namespace
}  // namespace orvalinth
