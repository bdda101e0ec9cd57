// The agent and the console over TLS, in one process and over loopback: the
// real connection thread with "ServerTLS:1" and "ServerPin:", the console
// library with a TLS identity. Host only: the Windows build has no TLS
// console to test against.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <memory>

#include "base/strings.h"
#include "fakes/tls_fixtures.h"
#include "platform/clock.h"
#include "link/agent_fixture.h"
#include "link/client.h"
#include "settings/settings_fixture.h"
#include "storage/reader/snapshot_reader.h"
#include "tools/console_link.h"
#include "tools/snapshot_download.h"

namespace orvalinth {
namespace {

using tools::CXConsoleLink;
using tools::CXSnapshotDownload;
using tools::LinkFailure;

constexpr int64_t kWaitMs = 30000;

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class AgentConsoleTls : public test::SettingsTest {
 protected:
  AgentConsoleTls() {
    EXPECT_TRUE(console_.Listen("127.0.0.1", 0)) << console_.failure_text();
    console_.set_reply_timeout_ms(kWaitMs);
  }
  ~AgentConsoleTls() override {
    console_.Close();
    if (client_ != nullptr) client_->StopClient();
  }

  // The console presents `console_key` (none: a plain console); the agent
  // pins `pinned`, with the settings lines `more`.
  void Start(const std::string& console_key, const std::string& pinned, const std::string& more = std::string()) {
    if (!console_key.empty()) console_.set_tls_identity(test::TlsFixtureIdentity(console_key));
    LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(console_.port()))}) +
             test::TlsSettings(pinned) + more);
    client_ = std::make_unique<CXClient>(settings_, test::FastTiming());
    ASSERT_EQ(client_->StartConnectionThread(), 1);
  }
  std::u16string Download(int32_t n) {
    CXSnapshotDownload download(console_, nullptr);
    EXPECT_TRUE(download.Run(n, downloads_.path())) << download.error();
    return download.result().path;
  }

  CXConsoleLink console_;
  test::TempFolder downloads_;
  std::unique_ptr<CXClient> client_;
};

TEST_F(AgentConsoleTls, AScanAndDownloadsGoThroughTls) {
  test::TempFolder tree;
  test::WriteFileBytes(tree / u"a.txt", "a");
  test::WriteFileBytes(tree / u"b.txt", "bb");
  // A snapshot of eight blocks and some, waiting for download.
  std::string waiting(1 << 20 | 12345, '\0');
  for (size_t i = 0; i < waiting.size(); ++i) waiting[i] = static_cast<char>(i * 31 + i / 977);
  test::WriteFileBytes(SnapshotPath(2), waiting);
  Start("p256", "p256", Text({"SnapshotCnt:2", "SavedSnapshots:2"}));
  ASSERT_TRUE(console_.AcceptAgent(kWaitMs)) << console_.failure_text();
  EXPECT_EQ(console_.link_description().rfind("TLS 1.3, TLS_", 0), 0u) << console_.link_description();
  EXPECT_EQ(console_.info().name, "PC-01");
  EXPECT_EQ(console_.info().saved_uids, "2");

  CXMessage m, reply;
  m.Init("set-scan").AddList("file", {tree.path()}).AddList("regs", {}).AddList("apps", {});
  m.AddInt("add-ver-inf", 0).AddInt("full", 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "tls");
  ASSERT_TRUE(console_.Request("set-scan", m, &reply)) << console_.failure_text();
  m.Init("scan").AddInt("default", 1).AddString("snap-name", "");
  ASSERT_TRUE(console_.Request("scan", m, &reply)) << console_.failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  tools::SXScanDone done;
  ASSERT_TRUE(console_.WaitScanDone(kWaitMs, &done)) << console_.failure_text();
  ASSERT_EQ(done.ok, 1) << done.msg;
  EXPECT_EQ(done.id_snapshot, 3);

  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  ASSERT_EQ(reader.ReadFile(Download(3), &snapshot), 1) << reader.fault().message;
  EXPECT_EQ(snapshot.info.title, "tls");
  EXPECT_EQ(snapshot.info.counters[kReadFiles][1], 2);
  EXPECT_TRUE(test::ReadFileBytes(Download(2)) == waiting);
}

TEST_F(AgentConsoleTls, AnUnpinnedConsoleKeyIsNeverGreetedAndLoggedOnceUntilItsKeyIsThePinnedOne) {
  Start("p256-other", "p256");
  EXPECT_FALSE(console_.AcceptAgent(1000));
  EXPECT_EQ(console_.failure(), LinkFailure::kNoAgent);
  // The agent tried again and again, and never sent a byte of the protocol.
  EXPECT_GE(console_.refused(), 2);
  EXPECT_NE(console_.last_refusal().find("the peer refused this side's certificate (sslv3 alert bad certificate)"),
            std::string::npos)
      << console_.last_refusal();
  EXPECT_TRUE(console_.hello_frame().empty());
  const std::string logged = Format("TLS link to 127.0.0.1:%d refused: pin (the server's key has the pin %s",
                                    static_cast<int>(console_.port()),
                                    PinText(test::TlsFixturePin("p256-other")).c_str());
  EXPECT_EQ(Count(LogText(), logged), 1) << LogText();

  console_.set_tls_identity(test::TlsFixtureIdentity("p256"));
  ASSERT_TRUE(console_.AcceptAgent(kWaitMs)) << console_.failure_text();
  EXPECT_EQ(console_.info().name, "PC-01");
  EXPECT_EQ(Count(LogText(), logged), 1) << LogText();
}

TEST_F(AgentConsoleTls, ATlsAgentMeetingAPlainConsoleSaysSo) {
  // The plain console knows a TLS handshake where a "hello" is due and
  // refuses the link at once (no waiting for a "frame" of 66,326 bytes),
  // going on waiting; the agent hears the close (or the reset of its unread
  // bytes) during its handshake, well before its handshake's time-out.
  Start("", "p256");
  const int64_t started = platform::MonotonicMs();
  EXPECT_FALSE(console_.AcceptAgent(1500));
  EXPECT_EQ(console_.failure(), LinkFailure::kNoAgent) << console_.failure_text();
  EXPECT_GE(console_.refused(), 1);
  EXPECT_NE(console_.last_refusal().find("speaks TLS"), std::string::npos) << console_.last_refusal();
  EXPECT_NE(console_.failure_text().find("refused"), std::string::npos) << console_.failure_text();
  EXPECT_TRUE(test::WaitUntil([this] { const std::string log = LogText();
                                return log.find("refused: closed") != std::string::npos ||
                                       log.find("refused: handshake") != std::string::npos; },
                              static_cast<int>(kWaitMs)))
      << LogText();
  EXPECT_LT(platform::MonotonicMs() - started, 10000);
}

}  // namespace
}  // namespace orvalinth

#endif  // _WIN32
