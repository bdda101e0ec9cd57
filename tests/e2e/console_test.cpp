// The real service under Wine and the console library over loopback: the
// greeting and "info", browsing the prefix's drives, folders and registry,
// "set-uid", and a service that starts before its console listens.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_process.h"
#include "link/message.h"
#include "service_link_test.h"
#include "tools/reply_rules.h"

namespace orvalinth::e2e {
namespace {

using Lines = std::vector<std::string>;

class WineConsole : public ServiceLinkTest {
 public:
  static void SetUpTestSuite() { OpenService("console"); }

 protected:
  // Each test links (or not) itself.
  void SetUp() override { ASSERT_TRUE(service_->ok()) << service_->error(); }

  // Sends a listing request and parses the "get-dir" reply.
  static std::vector<tools::SXListEntry> List(const std::string& command, const std::string& path) {
    CXMessage m, reply;
    m.Init(command).AddString("path", path);
    EXPECT_TRUE(Console().Request(command, m, &reply)) << Console().failure_text();
    std::vector<tools::SXListEntry> entries;
    EXPECT_EQ(tools::ParseListing(reply, &entries), "");
    return entries;
  }
  // Names compared as the system does, A-Z folded (Wine keeps the key
  // SOFTWARE as "Software").
  static bool Lists(const std::vector<tools::SXListEntry>& entries, const std::u16string& name) {
    return std::any_of(entries.begin(), entries.end(),
                       [&name](const tools::SXListEntry& e) { return EqualsFolded(e.name, name); });
  }
};

TEST_F(WineConsole, TheServiceGreetsAndTellsAboutItself) {
  ASSERT_TRUE(service_->Connect()) << service_->error();
  // The 4-byte length 24, then "hello" FE "ver" FE "QELMv1.0" FE "app" FE "6".
  EXPECT_EQ(Console().hello_frame(), std::string("\x18\0\0\0hello\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6", 28));

  // The computer name as the prefix's programs see it.
  const SXRun echo = service_->prefix().Wine({"cmd", "/c", "echo", "%COMPUTERNAME%"});
  std::string name = echo.output;
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' ')) name.pop_back();
  ASSERT_FALSE(name.empty());
  const tools::SXAgentInfo& info = Console().info();
  EXPECT_EQ(info.name, name);
  EXPECT_EQ(info.app_ver, 6);
  EXPECT_EQ(info.app_bit, 64);
  EXPECT_EQ(info.os_bit, 64);
  EXPECT_EQ(info.scanning, 0);
  EXPECT_EQ(info.id, 0);
  EXPECT_EQ(info.saved_uids, "");
  EXPECT_FALSE(info.upgraded);
  EXPECT_FALSE(info.has_crash);
  EXPECT_TRUE(InOrder(LogLines(service_->LogPath()),
                      {"Waiting for server 127.0.0.1:" + std::to_string(Console().port()), "connecting to server...",
                       "connected to server"}))
      << Joined(LogLines(service_->LogPath()));
}

TEST_F(WineConsole, BrowsingShowsThePrefixsDrivesFoldersAndKeys) {
  ASSERT_TRUE(service_->Connect()) << service_->error();
  CXMessage m, reply;
  m.Init("get-disk");
  ASSERT_TRUE(Console().Request("get-disk", m, &reply)) << Console().failure_text();
  // The harness's prefixes have drive C: alone (Z:, the Linux root, is removed).
  EXPECT_EQ(reply.GetString("disk"), "c1");

  const std::vector<tools::SXListEntry> root = List("get-dir", "C:\\");
  EXPECT_TRUE(Lists(root, u"windows")) << root.size();
  EXPECT_TRUE(Lists(root, u"Program Files"));
  const std::vector<tools::SXListEntry> machine = List("get-reg", "HKEY_LOCAL_MACHINE\\");
  std::string names;
  for (const tools::SXListEntry& e : machine) names += " " + std::to_string(e.kind) + ":" + EncodeUtf8(e.name);
  EXPECT_TRUE(Lists(machine, u"SOFTWARE")) << names;
  EXPECT_TRUE(Lists(machine, u"SYSTEM"));
}

TEST_F(WineConsole, SetUidIsSavedAndAnnouncedAtTheNextConnect) {
  ASSERT_TRUE(service_->Connect()) << service_->error();
  CXMessage uid;
  uid.Init("set-uid").AddInt("id", 4711);
  ASSERT_TRUE(Console().Send(uid));
  // No reply to "set-uid": the next request's reply shows it was handled.
  CXMessage m, reply;
  m.Init("get-disk");
  ASSERT_TRUE(Console().Request("get-disk", m, &reply)) << Console().failure_text();
  EXPECT_EQ(service_->Setting("ComputerID:"), "4711");
  ASSERT_TRUE(service_->Reconnect()) << service_->error();
  EXPECT_EQ(Console().info().id, 4711);
}

TEST_F(WineConsole, AServiceStartedBeforeItsConsoleConnectsWhenTheConsoleListens) {
  // A port on which nothing listens yet.
  uint16_t port = 0;
  {
    tools::CXConsoleLink probe;
    ASSERT_TRUE(probe.Listen("127.0.0.1", 0));
    port = probe.port();
  }
  service_->console().Close();
  service_->WriteSettings("localhost", port);
  std::remove(service_->LogPath().c_str());
  ASSERT_TRUE(service_->Start());
  const std::string waiting = "Waiting for server localhost:" + std::to_string(port);
  ASSERT_TRUE(WaitForLogLine(service_->LogPath(), waiting, 15000)) << Joined(LogLines(service_->LogPath()));
  // Refused attempts meanwhile; then the console comes.
  SleepMs(1500);
  tools::CXConsoleLink late;
  ASSERT_TRUE(late.Listen("127.0.0.1", port)) << late.failure_text();
  const long long listening = NowMs();
  ASSERT_TRUE(late.AcceptAgent(10000)) << late.failure_text() << "\n" << Joined(LogLines(service_->LogPath()));
  EXPECT_LE(NowMs() - listening, 5500);  // one reconnect wait of 5 s at most
  // The agent logs its connection after its "info" has gone out.
  EXPECT_TRUE(WaitForLogLine(service_->LogPath(), "connected to server", 15000));
  const Lines lines = LogLines(service_->LogPath());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), waiting), 1) << Joined(lines);
  EXPECT_TRUE(InOrder(lines, {waiting, "connecting to server...", "connected to server"})) << Joined(lines);
  late.Close();
  // The next test links the suite's console again.
  service_->Stop();
}

}  // namespace
}  // namespace orvalinth::e2e
