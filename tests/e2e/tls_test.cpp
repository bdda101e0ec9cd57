// The real service under Wine on a TLS link: with the console's pin it scans
// and downloads through TLS (SChannel on the agent's side); with a wrong pin
// or against a plain console it never greets, logs why and links once the
// console is right; a plain agent is refused by a TLS console; a console that
// breaks the TLS stream after the handshake costs only that link.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "e2e_support.h"
#include "host_process.h"
#include "fakes/tls_fixtures.h"
#include "link/message.h"
#include "service_link_test.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using test::TlsFixtureIdentity;

// "ServerTLS:1" and the pin of the test key NAME, as the service's settings
// file has them.
std::string TlsSettings(const std::string& name) {
  return "ServerTLS:1\r\nServerPin:" + PinText(test::TlsFixturePin(name)) + "\r\n";
}

constexpr int64_t kScanWaitMs = 120000;
// One accept of the console; the time for the service to be refused and log it.
constexpr int64_t kAttemptMs = 1000;
constexpr int64_t kRefusedWaitMs = 20000;

class WineTls : public ServiceLinkTest {
 public:
  static void SetUpTestSuite() { OpenService("tls"); }

 protected:
  // The link is made by each test, with the settings it needs.
  void SetUp() override { ASSERT_TRUE(service_->ok()) << service_->error(); }
  void TearDown() override {
    Console().Close();
    Console().set_tls_identity(nullptr);
  }

  // The service (re)started with `more` in its settings, the console
  // presenting `identity` (null: plain); true when it greeted in time.
  static bool StartWith(const std::string& more, const char* identity, int64_t timeout_ms) {
    Console().Close();
    Console().set_tls_identity(identity ? TlsFixtureIdentity(identity) : nullptr);
    service_->WriteSettings("127.0.0.1", Console().port(), more);
    EXPECT_TRUE(service_->Start()) << Joined(LogLines(service_->LogPath()));
    return Console().AcceptAgent(timeout_ms);
  }
  // The log lines from line `from` on, starting at the service's last start
  // among them (a line of the service before may come late).
  static std::vector<std::string> LogFrom(size_t from) {
    std::vector<std::string> lines = LogLines(service_->LogPath());
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(from, lines.size())));
    const auto started = std::find(lines.rbegin(), lines.rend(), "Orvalinth started");
    if (started != lines.rend()) lines.erase(lines.begin(), started.base() - 1);
    return lines;
  }
  static size_t LogSize() { return LogLines(service_->LogPath()).size(); }
  static size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
};

TEST_F(WineTls, WithThePinnedKeyTheServiceScansAndDownloadsThroughTls) {
  ASSERT_TRUE(StartWith(TlsSettings("p256"), "p256", 60000))
      << Console().failure_text() << "\n" << Joined(LogLines(service_->LogPath()));
  EXPECT_NE(Console().link_description().find("TLS 1.2"), std::string::npos) << Console().link_description();

  const std::string tree = Prefix().HostPath("C:\\e2e\\tls\\");
  fs::remove_all(tree);
  fs::create_directories(tree);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(WriteWholeFile(tree + Format("f%02d.txt", i), std::string(1000u * i, 't')));
  const int number = NextSnapshotNumber(*service_);
  CXMessage m, reply;
  m.Init("set-scan").AddList("file", {u"C:\\e2e\\tls"}).AddList("regs", {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Wine"});
  m.AddList("apps", {}).AddInt("add-ver-inf", 0).AddInt("full", 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "tls");
  ASSERT_TRUE(Console().Request("set-scan", m, &reply)) << Console().failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1);
  m.Init("scan").AddInt("default", 1);
  ASSERT_TRUE(Console().Request("scan", m, &reply)) << Console().failure_text();
  tools::SXScanDone done;
  ASSERT_TRUE(Console().WaitScanDone(kScanWaitMs, &done)) << Console().failure_text();
  ASSERT_EQ(done.ok, 1) << done.msg;
  std::string bytes;
  ASSERT_NO_FATAL_FAILURE(Download(number, &bytes));
  EXPECT_FALSE(bytes.empty());
  EXPECT_TRUE(bytes == ReadWholeFile(service_->SnapshotPath(number))) << "the download differs from the agent's file";
  CXMessage ack;
  ack.Init("down-ack").AddInt("id-snapshot", number);
  ASSERT_TRUE(Console().Send(ack));
  ASSERT_TRUE(service_->Reconnect()) << service_->error();
  EXPECT_FALSE(Console().link_description().empty());
  EXPECT_EQ(Console().info().saved_uids, "");
}

// A wrong pin and a plain console: the service sends no byte of the protocol,
// logs the reason once, and links as soon as the console is the pinned one.
TEST_F(WineTls, AWrongPinOrAPlainConsoleIsNeverGreetedAndTheServiceLinksOnceTheConsoleIsRight) {
  const struct {
    const char* console_key;  // null: a plain console
    const char* reason;
  } cases[] = {{"p256", "refused: pin"}, {nullptr, "refused: closed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.console_key ? c.console_key : "plain");
    const size_t before = LogSize();
    EXPECT_FALSE(StartWith(TlsSettings("p256-other"), c.console_key, kAttemptMs));
    // The console goes on accepting (and refusing, or seeing the drop)
    // until the service has logged why.
    std::vector<std::string> log = LogFrom(before);
    for (const long long end = NowMs() + kRefusedWaitMs; CountContaining(log, c.reason) == 0 && NowMs() < end;) {
      EXPECT_FALSE(Console().AcceptAgent(kAttemptMs)) << "the service greeted a console it does not trust";
      log = LogFrom(before);
    }
    EXPECT_EQ(CountContaining(log, c.reason), 1u) << Joined(log);
    EXPECT_EQ(CountContaining(log, "connected to server"), 0u) << Joined(log);

    // The console now presents the pinned key: the next attempt links.
    Console().set_tls_identity(TlsFixtureIdentity("p256-other"));
    ASSERT_TRUE(Console().AcceptAgent(30000)) << Console().failure_text() << "\n" << Joined(LogFrom(before));
    EXPECT_FALSE(Console().link_description().empty());
    Console().Close();
  }
}

TEST_F(WineTls, APlainServiceIsRefusedByATlsConsoleWithAClearMessage) {
  EXPECT_FALSE(StartWith(std::string(), "p256", kAttemptMs));
  for (const long long end = NowMs() + kRefusedWaitMs; Console().refused() == 0 && NowMs() < end;) {
    EXPECT_FALSE(Console().AcceptAgent(kAttemptMs));
  }
  EXPECT_GE(Console().refused(), 1);
  EXPECT_NE(Console().last_refusal().find("does not speak TLS"), std::string::npos) << Console().last_refusal();
  EXPECT_NE(Console().failure_text().find("refused"), std::string::npos) << Console().failure_text();
}

// Consoles that break the TLS stream after the handshake
// (hostile_tls_console.py): the service drops that link, and its next
// attempt, relayed to the real console, links and greets.
TEST_F(WineTls, AConsoleBreakingTheTlsStreamCostsOnlyThatLink) {
  // (A record beyond the limits and 16 MiB of data are the host build's
  // tests: here the two ways a stream ends that SChannel itself must take.)
  for (const char* mode : {"garbage", "half-close"}) {
    SCOPED_TRACE(mode);
    const std::string output = std::string(ORVALINTH_E2E_WORK) + "/hostile-tls-" + mode + ".txt";
    std::filesystem::remove(output);
    const pid_t hostile = StartCommand({{"/usr/bin/python3", ORVALINTH_HOSTILE_TLS_CONSOLE, test::TlsFixture("p256.crt"),
                                         test::TlsFixture("p256.key"), mode, std::to_string(Console().port())},
                                        {}, {}, "", output});
    ASSERT_GT(hostile, 0);
    std::string port;
    for (const long long end = NowMs() + 10000; port.empty() && NowMs() < end; SleepMs(20)) {
      const std::string text = ReadWholeFile(output);
      if (text.find('\n') != std::string::npos) port = text.substr(0, text.find('\n'));
    }
    ASSERT_FALSE(port.empty()) << ReadWholeFile(output);
    Console().Close();
    Console().set_tls_identity(TlsFixtureIdentity("p256"));
    service_->WriteSettings("127.0.0.1", static_cast<uint16_t>(std::stoi(port)), TlsSettings("p256"));
    ASSERT_TRUE(service_->Start());
    const bool linked = Console().AcceptAgent(40000);
    CXMessage m, reply;
    m.Init("get-disk");
    EXPECT_TRUE(linked && Console().Request("get-disk", m, &reply)) << Console().failure_text();
    const std::string said = ReadWholeFile(output);
    kill(hostile, SIGKILL);
    int code = 0;
    WaitForExit(hostile, 5000, &code);
    ASSERT_TRUE(linked) << Console().failure_text() << "\n" << said << Joined(LogLines(service_->LogPath()));
    EXPECT_NE(said.find("hostile link closed by the agent"), std::string::npos) << said;
    EXPECT_EQ(service_->State(), "RUNNING");
  }
}

}  // namespace
}  // namespace orvalinth::e2e
