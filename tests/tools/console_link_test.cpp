#include "tools/console_link.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "test_support.h"
#include "link/test_peer.h"
#include "tools/fake_agent.h"

namespace orvalinth::tools {
namespace {

using test::FakeAgent;
using test::Hex;
using test::ToHex;

class ConsoleLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link_.Listen("127.0.0.1", 0)) << link_.failure_text();
    link_.set_reply_timeout_ms(5000);
  }
  // The agent's script may use the test's locals: it ends before they go.
  void TearDown() override { Finish(); }
  void Finish() {
    link_.Close();
    agent_.Join();
  }
  // Starts an agent that greets and then runs `then`.
  void Agent(std::function<void(FakeAgent&)> then, CXMessage* info = nullptr) {
    const uint16_t port = link_.port();
    agent_.Run([=](FakeAgent& a) {
      if (a.Connect(port) && a.Greet(info)) then(a);
    });
  }

  CXConsoleLink link_;
  FakeAgent agent_;
};

TEST_F(ConsoleLinkTest, GreetsWithHelloAndReadsInfo) {
  Agent([](FakeAgent&) {});
  ASSERT_TRUE(link_.AcceptAgent(5000)) << link_.failure_text();
  agent_.Join();
  // "hello", ver "QELMv1.0", app 6: the same 24 bytes the agent sends.
  EXPECT_EQ(ToHex(agent_.console_hello),
            ToHex(Hex("68 65 6C 6C 6F FE 76 65 72 FE 51 45 4C 4D 76 31 2E 30 FE 61 70 70 FE 36")));
  const SXAgentInfo& info = link_.info();
  EXPECT_EQ(info.name, "VM");
  EXPECT_EQ(info.app_ver, 6);
  EXPECT_EQ(info.app_bit, 64);
  EXPECT_EQ(info.os_bit, 64);
  EXPECT_EQ(info.scanning, 0);
  EXPECT_EQ(info.id, 7);
  EXPECT_EQ(info.saved_uids, "1,3");
  EXPECT_EQ(info.scan_targets, "full");
  EXPECT_FALSE(info.upgraded);
  EXPECT_FALSE(info.has_crash);
}

TEST_F(ConsoleLinkTest, InfoAfterUpgradeAndCrash) {
  CXMessage info;
  FakeAgent::DefaultInfo(&info);
  info.AddInt("upgraded", 1).AddInt("app-ver", 6).AddInt("upgrade-ok", 0).AddString("crash", "line 1\r\nline 2");
  Agent([](FakeAgent&) {}, &info);
  ASSERT_TRUE(link_.AcceptAgent(5000)) << link_.failure_text();
  EXPECT_TRUE(link_.info().upgraded);
  EXPECT_EQ(link_.info().upgrade_ok, 0);
  EXPECT_TRUE(link_.info().has_crash);
  EXPECT_EQ(link_.info().crash, "line 1\r\nline 2");
  Finish();
}

TEST_F(ConsoleLinkTest, AcceptTimesOut) {
  const int64_t start = platform::MonotonicMs();
  EXPECT_FALSE(link_.AcceptAgent(200));
  EXPECT_EQ(link_.failure(), LinkFailure::kNoAgent);
  EXPECT_EQ(link_.failure_text(), "no agent connected within 0.2 s");
  EXPECT_GE(platform::MonotonicMs() - start, 200);
}

struct BadGreeting {
  const char* what;
  std::string hello;  // body
  std::string info;   // body (after a good hello)
  const char* failure;
};

TEST_F(ConsoleLinkTest, BadGreetingIsAViolation) {
  const std::string good_hello = std::string("hello\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6");
  const BadGreeting cases[] = {
      {"upper-case name", "HELLO\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6", "", "greeting is named \"HELLO\", expected \"hello\""},
      {"other magic", "hello\xFEver\xFEQELMv1.1\xFE" "app\xFE" "6", "", "\"hello\": ver is \"QELMv1.1\", expected \"QELMv1.0\""},
      {"no app", "hello\xFEver\xFEQELMv1.0", "", "\"hello\": key \"app\" missing after \"ver\""},
      {"info keys swapped", good_hello,
       "info\xFEname\xFEVM\xFE" "app-bit\xFE" "64\xFE" "app-ver\xFE" "6", "\"info\": key 2 is \"app-bit\", expected \"app-ver\""},
      {"ping first", good_hello, "ping", "expected \"info\" after the greeting, got \"ping\""},
  };
  for (const BadGreeting& c : cases) {
    CXConsoleLink link;
    ASSERT_TRUE(link.Listen("127.0.0.1", 0));
    link.set_reply_timeout_ms(5000);
    FakeAgent agent;
    const uint16_t port = link.port();
    agent.Run([&](FakeAgent& a) {
      if (!a.Connect(port) || !a.SendBody(c.hello)) return;
      if (c.info.empty()) return (void)a.WaitClosed();
      std::string hello;
      a.RecvCommand(&hello);
      a.SendBody(c.info);
      a.WaitClosed();
    });
    EXPECT_FALSE(link.AcceptAgent(5000)) << c.what;
    agent.Join();
    EXPECT_EQ(link.failure(), LinkFailure::kViolation) << c.what;
    EXPECT_EQ(link.failure_text(), c.failure) << c.what;
    const std::string& body = c.info.empty() ? c.hello : c.info;
    EXPECT_EQ(link.frame_hex(), ToHex(test::LengthPrefix(static_cast<int32_t>(body.size())) + body)) << c.what;
    EXPECT_FALSE(link.connected());
  }
}

struct BadFrame {
  const char* what;
  std::string bytes;  // sent in answer to "get-disk"
  const char* failure;
  std::string hex;  // of the frame reported; empty: the bytes themselves
};

TEST_F(ConsoleLinkTest, EveryKindOfBadFrameIsAViolationWithItsBytes) {
  const BadFrame cases[] = {
      {"negative length", Hex("FF FF FF FF 00"), "frame length -1 outside 0..10485760", "FF FF FF FF"},
      {"length above 10 MiB", Hex("01 00 A0 00"), "frame length 10485761 outside 0..10485760", ""},
      {"body that does not decode", test::Frame("get-disk\xFE" "disk"), "frame body does not decode", ""},
      {"wrong reply name", test::Frame("get-dir\xFEpath\xFE"), "reply to \"get-disk\" is named \"get-dir\", expected \"get-disk\"", ""},
      {"missing key", test::Frame("get-disk"), "\"get-disk\": key \"disk\" missing", ""},
      {"extra key", test::Frame("get-disk\xFE" "disk\xFE" "c1\xFEx\xFE" "1"), "\"get-disk\": unexpected key \"x\"", ""},
      {"empty payload", test::Frame("get-disk\xFE" "disk\xFE" "c1\xFE\xFE"), "\"get-disk\": unexpected payload of 0 bytes", ""},
      {"ping with keys", test::Frame("ping\xFEk\xFEv"), "\"ping\" with keys (\"k\")", ""},
      {"scan-done without id", test::Frame("scan-done\xFEok\xFE" "1"), "\"scan-done\": key \"id-snapshot\" missing after \"ok\"", ""},
      {"scan-done with a non-decimal ok", test::Frame("scan-done\xFEok\xFE" "01"), "\"scan-done\": \"ok\" is \"01\", not a decimal integer", ""},
      {"control bytes shown escaped", test::Frame("get\x1b[2J"), "reply to \"get-disk\" is named \"get\\x1b[2J\", expected \"get-disk\"", ""},
  };
  for (const BadFrame& c : cases) {
    CXConsoleLink link;
    ASSERT_TRUE(link.Listen("127.0.0.1", 0));
    link.set_reply_timeout_ms(5000);
    FakeAgent agent;
    const uint16_t port = link.port();
    bool closed = false;
    agent.Run([&](FakeAgent& a) {
      std::string body;
      if (a.Connect(port) && a.Greet() && a.RecvCommand(&body) && a.SendBytes(c.bytes)) closed = a.WaitClosed();
    });
    ASSERT_TRUE(link.AcceptAgent(5000)) << c.what;
    CXMessage m;
    m.Init("get-disk");
    EXPECT_FALSE(link.Request("get-disk", m, &m)) << c.what;
    agent.Join();
    EXPECT_EQ(link.failure(), LinkFailure::kViolation) << c.what;
    EXPECT_EQ(link.failure_text(), c.failure) << c.what;
    EXPECT_EQ(link.frame_hex(), c.hex.empty() ? ToHex(c.bytes) : c.hex) << c.what;
    EXPECT_TRUE(closed) << c.what << ": the console closes the link after a bad frame";
  }
}

TEST_F(ConsoleLinkTest, HexOfALargeFrameIsCutAfter256Bytes) {
  const std::string body = "get-dir" + std::string(993, 'x');  // 1000 bytes, 1004 with the prefix
  Agent([&](FakeAgent& a) {
    std::string command;
    if (a.RecvCommand(&command)) a.SendBody(body);
    a.WaitClosed();
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  CXMessage m;
  m.Init("get-disk");
  EXPECT_FALSE(link_.Request("get-disk", m, &m));
  EXPECT_EQ(link_.frame_hex(), ToHex((test::LengthPrefix(1000) + body).substr(0, 256)) + " ... (748 more bytes)");
  Finish();
}

TEST_F(ConsoleLinkTest, PingsAreSetAsideAndScanDoneIsKept) {
  Agent([](FakeAgent& a) {
    std::string command;
    if (!a.RecvCommand(&command)) return;
    CXMessage m;
    a.Send(m.Init("ping"));
    a.Send(m.Init("scan-done").AddInt("ok", 1).AddInt("id-snapshot", 4));
    a.Send(m.Init("ping"));
    a.Send(m.Init("get-disk").AddString("disk", "c1"));
    a.Send(m.Init("scan-done").AddInt("ok", 0).AddString("msg", "fatal exception"));
    a.WaitClosed();
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  CXMessage m;
  m.Init("get-disk");
  ASSERT_TRUE(link_.Request("get-disk", m, &m)) << link_.failure_text();
  EXPECT_EQ(m.GetString("disk"), "c1");
  EXPECT_EQ(link_.pings(), 2);
  ASSERT_EQ(link_.kept_scan_done().size(), 1u);

  SXScanDone done;
  ASSERT_TRUE(link_.WaitScanDone(5000, &done));
  EXPECT_EQ(done.ok, 1);
  EXPECT_EQ(done.id_snapshot, 4);
  ASSERT_TRUE(link_.WaitScanDone(5000, &done)) << link_.failure_text();
  EXPECT_EQ(done.ok, 0);
  EXPECT_EQ(done.msg, "fatal exception");
  link_.Close();
}

TEST_F(ConsoleLinkTest, WaitScanDoneTimesOutAndKeepsTheLink) {
  Agent([](FakeAgent& a) { a.WaitClosed(); });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  SXScanDone done;
  EXPECT_FALSE(link_.WaitScanDone(100, &done));
  EXPECT_EQ(link_.failure(), LinkFailure::kTimeout);
  EXPECT_TRUE(link_.connected());
  link_.Close();
}

TEST_F(ConsoleLinkTest, DroppedLinkIsReportedAsSuch) {
  Agent([](FakeAgent& a) {
    std::string command;
    a.RecvCommand(&command);
    a.Drop();
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  CXMessage m;
  m.Init("get-scan");
  EXPECT_FALSE(link_.Request("get-scan", m, &m));
  EXPECT_EQ(link_.failure(), LinkFailure::kDropped);
  EXPECT_EQ(link_.failure_text(), "the agent closed the link");
  EXPECT_FALSE(link_.connected());
  // Later commands find no agent.
  EXPECT_FALSE(link_.Send(m.Init("get-disk")));
  EXPECT_EQ(link_.failure(), LinkFailure::kNotConnected);
}

TEST_F(ConsoleLinkTest, LinkDroppedInTheMiddleOfAFrame) {
  Agent([](FakeAgent& a) {
    std::string command;
    a.RecvCommand(&command);
    a.SendBytes(test::LengthPrefix(20) + "get-disk");
    a.Drop();
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  CXMessage m;
  m.Init("get-disk");
  EXPECT_FALSE(link_.Request("get-disk", m, &m));
  EXPECT_EQ(link_.failure(), LinkFailure::kDropped);
  EXPECT_EQ(link_.failure_text(), "the agent closed the link in the middle of a frame of 20 bytes");
}

TEST_F(ConsoleLinkTest, ReplyTimeOutClosesTheLink) {
  link_.set_reply_timeout_ms(150);
  Agent([](FakeAgent& a) {
    std::string command;
    a.RecvCommand(&command);
    a.WaitClosed();
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  CXMessage m;
  m.Init("get-disk");
  EXPECT_FALSE(link_.Request("get-disk", m, &m));
  EXPECT_EQ(link_.failure(), LinkFailure::kTimeout);
  EXPECT_EQ(link_.failure_text(), "no reply to \"get-disk\" within 0.15 s; the link is closed");
  EXPECT_FALSE(link_.connected());
}

TEST_F(ConsoleLinkTest, ReconnectWaitsForTheDropAndGreetsTheNextAgent) {
  const uint16_t port = link_.port();
  agent_.Run([port](FakeAgent& a) {
    if (!a.Connect(port) || !a.Greet()) return;
    CXMessage m;
    a.Send(m.Init("ping"));
    a.Drop();
    // The same agent again, now with another id.
    CXMessage info;
    info.Init("info").AddString("name", "VM").AddInt("app-ver", 6).AddInt("app-bit", 64).AddInt("os-bit", 64);
    info.AddInt("scanning", 0).AddInt("id", 8).AddString("saved-uids", "").AddString("scan-targets", "");
    if (a.Connect(port)) a.Greet(&info);
  });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  EXPECT_EQ(link_.info().id, 7);
  ASSERT_TRUE(link_.Reconnect(5000)) << link_.failure_text();
  EXPECT_EQ(link_.info().id, 8);
  EXPECT_EQ(link_.pings(), 1);
}

TEST_F(ConsoleLinkTest, ReconnectWithoutAnAgentIsNoAgent) {
  Agent([](FakeAgent& a) { a.Drop(); });
  ASSERT_TRUE(link_.AcceptAgent(5000));
  EXPECT_FALSE(link_.Reconnect(300));
  EXPECT_EQ(link_.failure(), LinkFailure::kNoAgent);
  EXPECT_EQ(link_.failure_text(), "no agent connected again within 0.3 s");
}

}  // namespace
}  // namespace orvalinth::tools
