// The TLS console: "orvalinth console --tls-cert FILE --tls-key FILE" run in
// process against scripted agents (plain and TLS), what it says when it
// cannot be one, and "orvalinth tls-pin". The Windows build has no TLS
// console and says so; the rest is the Linux console's.

#include <gtest/gtest.h>

#include "base/pins.h"
#include "fakes/tls_fixtures.h"
#include "platform/files.h"
#include "test_support.h"
#include "tools/console_runner.h"
#include "tools/fake_agent.h"

namespace orvalinth::tools {
namespace {

using test::ConsoleRun;
using test::FakeAgent;
using test::TlsFixture;

std::vector<std::string> TlsOptions(const std::string& cert, const std::string& key) {
  return {"--tls-cert", TlsFixture(cert + ".crt"), "--tls-key", TlsFixture(key + ".key")};
}

TEST(ConsoleTls, AConsoleThatCannotBeATlsConsoleSaysWhyBeforeItListens) {
  struct Case {
    std::vector<std::string> arguments;
    int code;
    const char* error;
  };
#ifdef _WIN32
  const Case cases[] = {{TlsOptions("p256", "p256"), 1, "no TLS console: a TLS console is not part of the Windows build"}};
#else
  const Case cases[] = {
      {{"--tls-cert", TlsFixture("p256.crt")}, 2, "--tls-cert and --tls-key go together"},
      {{"--tls-key", TlsFixture("p256.key")}, 2, "--tls-cert and --tls-key go together"},
      {TlsOptions("rsa1024", "rsa1024"), 1, "no TLS console: the key of "},
      {TlsOptions("p256", "p256-other"), 1, "is not the key of the certificate"},
      {TlsOptions("missing", "p256"), 1, "cannot open the certificate file"},
  };
#endif
  test::TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
    const ConsoleRun run = test::RunConsoleInProcess(c.arguments, folder / u"port");
    EXPECT_EQ(run.code, c.code);
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("listening on"), std::string::npos) << run.err;
  }
}

#ifndef _WIN32

TEST(ConsoleTls, APlainAgentIsRefusedAndATlsAgentIsServed) {
  const std::string pin = PinText(test::TlsFixturePin("p256"));
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    test::TempFolder folder;
    const std::u16string port_file = folder / u"port";
    bool plain_greeted = true;
    std::string command;
    FakeAgent agent;
    platform::TlsClientConfig config;
    config.pins = {test::TlsFixturePin("p256")};
    agent.set_tls(config);
    agent.Run([&](FakeAgent& a) {
      FakeAgent plain;  // first, on this thread
      plain_greeted = plain.ConnectVia(port_file) && plain.Greet();
      if (!a.ConnectVia(port_file) || !a.Greet() || !a.RecvCommand(&command)) return;
      CXMessage reply;
      a.Send(reply.Init("get-disk").AddString("disk", "c1"));
      a.WaitClosed();
    });
    std::vector<std::string> arguments = TlsOptions("p256", "p256");
    if (json) arguments.push_back("--json");
    arguments.push_back("drives");
    const ConsoleRun run = test::RunConsoleInProcess(arguments, port_file);
    agent.Join();
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_FALSE(plain_greeted);
    EXPECT_EQ(command, "get-disk");
    EXPECT_NE(run.err.find("accept: refused an agent that does not speak TLS"), std::string::npos) << run.err;
    if (json) {
      EXPECT_NE(run.out.find("\"tls\":true,\"pin\":\"" + pin + "\"}"), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("{\"command\":\"accept\",\"ok\":false,\"failure\":\"refused\","), std::string::npos)
          << run.out;
      EXPECT_NE(run.out.find("{\"command\":\"drives\",\"ok\":true"), std::string::npos) << run.out;
    } else {
      EXPECT_NE(run.err.find("with TLS, waiting for an agent\nagents need ServerTLS:1 and ServerPin:" + pin + "\n"),
                std::string::npos)
          << run.err;
      EXPECT_NE(run.err.find("link: TLS 1.3, TLS_"), std::string::npos) << run.err;
    }
  }
}

TEST(ConsoleTls, TlsPinPrintsThePinOfACertificateOrKeyFile) {
  struct Case {
    std::string arguments;
    int code;
    std::string out;
    const char* err;
  };
  const std::string p256 = PinText(test::TlsFixturePin("p256")) + "\n";
  const Case cases[] = {
      {TlsFixture("p256.crt"), 0, p256, ""},
      {TlsFixture("p256.der"), 0, p256, ""},
      {TlsFixture("p256.pub"), 0, p256, ""},
      {TlsFixture("p256.key"), 0, p256, ""},
      {TlsFixture("rsa2048.crt"), 0, PinText(test::TlsFixturePin("rsa2048")) + "\n", ""},
      {TlsFixture("README.md"), 1, "", "holds no certificate, public key or private key"},
      {TlsFixture("missing.crt"), 1, "", "cannot open the file"},
      {"", 2, "", "orvalinth tls-pin: no file given"},
      {"a.crt b.crt", 2, "", "one file at a time"},
      {"--pem x", 2, "", "unknown option '--pem'"},
  };
  test::TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const ConsoleRun run = test::RunShell("'" + std::string(ORVALINTH_TOOL_EXE) + "' tls-pin " + c.arguments, folder);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace orvalinth::tools
