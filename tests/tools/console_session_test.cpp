// "orvalinth console" run in process against the scripted agent: the request
// bytes of every command, the handling of their replies, the output and the
// exit codes.

#include "tools/console_session.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "test_support.h"
#include "tools/console_runner.h"
#include "tools/console_text.h"
#include "tools/fake_agent.h"

namespace orvalinth::tools {
namespace {

using test::ConsoleRun;
using test::FakeAgent;
using test::Lines;
using test::ToHex;

struct Exchange {
  std::vector<std::string> words;
  std::string request;  // body the agent must receive; empty: the command sends nothing
  std::string reply;    // body the agent sends after it; empty: none
  std::string json;     // the command's output line
};

class ConsoleSessionTest : public ::testing::Test {
 protected:
  // Runs the console with `arguments` while the agent greets and then runs `script`.
  ConsoleRun Run(const std::vector<std::string>& arguments, std::function<void(FakeAgent&)> script,
                 const std::vector<std::string>& input = {}, bool terminal = false) {
    const std::u16string port_file = folder_ / u"port";
    // The port of an earlier run would send the agent to a closed port.
    platform::FileSystem::Get().RemoveFile(port_file);
    agent_.Run([=](FakeAgent& a) {
      if (a.ConnectVia(port_file) && a.Greet()) script(a);
    });
    ConsoleRun run = test::RunConsoleInProcess(arguments, port_file, input, terminal);
    agent_.Join();
    return run;
  }

  test::TempFolder folder_;
  FakeAgent agent_;
};

const char kConnect[] =
    "{\"command\":\"connect\",\"ok\":true,\"agent\":{\"name\":\"VM\",\"app-ver\":6,\"app-bit\":64,\"os-bit\":64,"
    "\"scanning\":0,\"id\":7,\"saved-uids\":\"1,3\",\"saved\":[1,3],\"scan-targets\":\"full\"}}";

TEST_F(ConsoleSessionTest, EveryCommandsRequestAndReply) {
  const std::vector<Exchange> table = {
      {{"drives"}, "get-disk", "get-disk\xFE" "disk\xFE" "a0c1z0",
       R"({"command":"drives","ok":true,"disk":"a0c1z0","drives":[{"letter":"a","fixed":false},{"letter":"c","fixed":true},{"letter":"z","fixed":false}]})"},
      {{"dir", "C:\\"}, "get-dir\xFEpath\xFE" "C:\\",
       "get-dir\xFEpath\xFE\xFF" "1Windows\xFF" "0Temp2\xFF" "2Documents and Settings \xE2\x96\xBA C:\\Users",
       R"({"command":"dir","ok":true,"path":"C:\\","entries":[{"kind":1,"name":"Windows"},{"kind":0,"name":"Temp2"},{"kind":2,"name":"Documents and Settings","target":"C:\\Users"}]})"},
      {{"get-dir", "C:\\\xC3\xA9t\xC3\xA9\\\xF0\x9D\x84\x9E\\"},
       "get-dir\xFEpath\xFE" "C:\\\xC3\xA9t\xC3\xA9\\\xED\xA0\xB4\xED\xB4\x9E\\", "get-dir\xFEpath\xFE",
       "{\"command\":\"get-dir\",\"ok\":true,\"path\":\"C:\\\\\xC3\xA9t\xC3\xA9\\\\\xF0\x9D\x84\x9E\\\\\",\"entries\":[]}"},
      {{"reg", "HKEY_LOCAL_MACHINE\\SYSTEM\\"}, "get-reg\xFEpath\xFEHKEY_LOCAL_MACHINE\\SYSTEM\\",
       "get-dir\xFEpath\xFE\xFF" "2CurrentControlSet \xE2\x96\xBA HKEY_LOCAL_MACHINE\\System\\ControlSet001\xFF" "1Setup",
       R"({"command":"reg","ok":true,"path":"HKEY_LOCAL_MACHINE\\SYSTEM\\","entries":[{"kind":2,"name":"CurrentControlSet","target":"HKEY_LOCAL_MACHINE\\System\\ControlSet001"},{"kind":1,"name":"Setup"}]})"},
      {{"set-id", "42"}, "set-uid\xFEid\xFE" "42", "", R"({"command":"set-id","ok":true,"id":42})"},
      {{"scan-settings"}, "get-scan",
       "get-scan\xFE" "full\xFE" "0\xFE" "add-ver-inf\xFE" "1\xFEshow-rem-dsk\xFE" "0\xFEsnap-name\xFEVM - snapshot #2\xFEregs\xFE\xFF*\xFE"
       "file\xFE\xFF" "C:\\Windows\\\xFF" "D:\\\xFE" "apps\xFE",
       R"({"command":"scan-settings","ok":true,"full":0,"add-ver-inf":1,"show-rem-dsk":0,"snap-name":"VM - snapshot #2","regs":["*"],"file":["C:\\Windows\\","D:\\"],"apps":[]})"},
      {{"set-scan", "--file", "C:\\", "--file", "D:\\x", "--reg", "*", "--versions", "--removable", "--name", "Weekly"},
       "set-scan\xFE" "file\xFE\xFF" "C:\\\xFF" "D:\\x\xFEregs\xFE\xFF*\xFE" "apps\xFE\xFE" "add-ver-inf\xFE" "1\xFE" "full\xFE" "0\xFE"
       "show-rem-dsk\xFE" "1\xFEsnap-name\xFEWeekly",
       "set-scan\xFEok\xFE" "1\xFEscan-targets\xFE" "files part.+ver, all regs",
       R"({"command":"set-scan","ok":true,"scan-targets":"files part.+ver, all regs"})"},
      {{"scan"}, "scan\xFE" "default\xFE" "1\xFEsnap-name\xFE", "scan\xFEok\xFE" "1", R"({"command":"scan","ok":true})"},
      {{"scan", "Nightly"}, "scan\xFE" "default\xFE" "1\xFEsnap-name\xFENightly", "scan\xFEok\xFE" "1",
       R"({"command":"scan","ok":true})"},
      {{"scan", "--full", "--app", "*", "--name", "N"},
       "scan\xFE" "default\xFE" "0\xFE" "file\xFE\xFEregs\xFE\xFE" "apps\xFE\xFF*\xFE" "add-ver-inf\xFE" "0\xFE" "full\xFE" "1\xFEsnap-name\xFEN",
       "scan\xFEok\xFE" "1", R"({"command":"scan","ok":true})"},
      {{"stop-scan"}, "stop-scan", "stop-scan\xFEok\xFE" "1", R"({"command":"stop-scan","ok":true,"msg":""})"},
      {{"stop-scan", "user \"asked\""}, "stop-scan\xFEmsg\xFEuser \"asked\"", "stop-scan\xFEok\xFE" "0\xFEmsg\xFEuser \"asked\"",
       R"({"command":"stop-scan","ok":true,"msg":"user \"asked\""})"},
      {{"wait-scan", "5"}, "", "scan-done\xFEok\xFE" "1\xFEid-snapshot\xFE" "4", R"({"command":"wait-scan","ok":true,"id-snapshot":4})"},
      {{"ack", "last"}, "down-ack\xFEid-snapshot\xFE" "4", "", R"({"command":"ack","ok":true,"id-snapshot":4})"},
      {{"down-ack", "9"}, "down-ack\xFEid-snapshot\xFE" "9", "", R"({"command":"down-ack","ok":true,"id-snapshot":9})"},
      {{"info"}, "", "", std::string(kConnect).replace(12, 7, "info")},
      {{"raw", "bogus", "a=1", "b="}, "bogus\xFE" "a\xFE" "1\xFE" "b\xFE", "null",
       R"({"command":"raw","ok":true,"sent":"bogus","reply":{"name":"null","keys":[],"payload":-1}})"},
      {{"raw", "hi", "--no-reply"}, "hi", "", R"({"command":"raw","ok":true,"sent":"hi","reply":null})"},
      {{"uninstall"}, "uninstall", "", R"({"command":"uninstall","ok":true})"},
  };
  std::vector<std::string> arguments = {"--json"};
  for (const Exchange& e : table) {
    arguments.insert(arguments.end(), e.words.begin(), e.words.end());
    arguments.push_back(";");
  }
  std::vector<std::string> received;
  const ConsoleRun run = Run(arguments, [&](FakeAgent& a) {
    for (const Exchange& e : table) {
      std::string body;
      if (!e.request.empty()) {
        if (!a.RecvCommand(&body)) return;
        received.push_back(body);
      }
      if (!e.reply.empty()) a.SendBody(e.reply);
    }
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  size_t at = 0;
  for (const Exchange& e : table) {
    if (e.request.empty()) continue;
    ASSERT_LT(at, received.size()) << e.words[0];
    EXPECT_EQ(ToHex(received[at]), ToHex(e.request)) << e.words[0];
    ++at;
  }
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), table.size() + 2) << run.out;
  EXPECT_EQ(lines[0].rfind("{\"command\":\"listen\",\"ok\":true,\"address\":\"127.0.0.1\",\"port\":", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], kConnect);
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(lines[i + 2], table[i].json) << table[i].words[0];
  for (const std::string& line : lines) {
    std::string error;
    EXPECT_TRUE(test::IsValidJson(line, &error)) << error << ": " << line;
  }
}

TEST_F(ConsoleSessionTest, JsonStaysValidForAnyBytesFromTheAgent) {
  CXMessage info;
  const ConsoleRun run = Run({"--json", "info", ";", "raw", "x"}, [](FakeAgent& a) {
    std::string body;
    if (a.RecvCommand(&body)) {
      a.SendBody(std::string("r\xFEk\x01\xFE\x80\xC3\x28\xED\xA0\x80\"\\\x7F\xFF\xF0\x9F\x98\x80"));
    }
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  for (const std::string& line : Lines(run.out)) {
    std::string error;
    EXPECT_TRUE(test::IsValidJson(line, &error)) << error << ": " << ToHex(line);
  }
  // Bytes outside well-formed UTF-8 are shown as the characters of their values.
  const std::string keys = std::string("\"keys\":[[\"k\\u0001\",\"") + "\xC2\x80" "\xC3\x83" "(" "\xC3\xAD" "\xC2\xA0"
                           "\xC2\x80" "\\\"\\\\\\u007f" "\xC3\xBF" "\xF0\x9F\x98\x80" "\"]]";
  EXPECT_NE(run.out.find(keys), std::string::npos) << run.out;
}

TEST_F(ConsoleSessionTest, HumanOutput) {
  CXMessage info;
  const ConsoleRun run = Run({"drives", ";", "dir", "C:\\", ";", "reg", "HKEY_USERS\\"}, [](FakeAgent& a) {
    std::string body;
    a.RecvCommand(&body);
    a.SendBody("get-disk\xFE" "disk\xFE" "a0c1");
    a.RecvCommand(&body);
    a.SendBody("get-dir\xFEpath\xFE\xFF" "1Windows\xFF" "0Temp2\xFF" "2Documents and Settings \xE2\x96\xBA C:\\Users\xFF" "2Odd \xE2\x96\xBA ");
    a.RecvCommand(&body);
    a.SendBody("get-dir\xFEpath\xFE\xFF" "0.DEFAULT\x1B[31m");
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "agent \"VM\"\n"
            "  version        6 (2.10 x64)\n"
            "  bitness        64-bit program on a 64-bit system\n"
            "  scanning       no\n"
            "  computer id    7\n"
            "  saved          1, 3\n"
            "  scan targets   full\n"
            "a:  other\n"
            "c:  fixed\n"
            "C:\\: 4 subfolders\n"
            "  has subfolders  Windows\n"
            "  no subfolders   Temp2\n"
            "  link            Documents and Settings  ->  C:\\Users\n"
            "  link            Odd  ->  (target unknown)\n"
            "HKEY_USERS\\: 1 subkey\n"
            "  no subkeys      .DEFAULT\\x1b[31m\n");
  EXPECT_NE(run.err.find("listening on 127.0.0.1:"), std::string::npos);
}

TEST_F(ConsoleSessionTest, InfoWithUpgradeAndCrashForPeople) {
  const std::u16string port_file = folder_ / u"port";
  agent_.Run([=](FakeAgent& a) {
    CXMessage info;
    FakeAgent::DefaultInfo(&info);
    info.AddInt("upgraded", 1).AddInt("app-ver", 6).AddInt("upgrade-ok", 1);
    info.AddString("crash", "Orvalinth 2.10 x64 crashed\r\nexception c0000005\r\n");
    if (a.ConnectVia(port_file) && a.Greet(&info)) a.WaitClosed();
  });
  const ConsoleRun run = test::RunConsoleInProcess({}, port_file);
  agent_.Join();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("  upgraded       yes, to a new version\n"
                         "  crash report   48 bytes:\n"
                         "    Orvalinth 2.10 x64 crashed\n"
                         "    exception c0000005\n"),
            std::string::npos)
      << run.out;
}

TEST_F(ConsoleSessionTest, FailedCommandStopsTheRunWithExitCode1) {
  int commands = 0;
  const ConsoleRun run = Run({"scan", ";", "drives"}, [&](FakeAgent& a) {
    std::string body;
    while (a.RecvCommand(&body)) {
      ++commands;
      a.SendBody("scan\xFEok\xFE" "0\xFEmsg\xFEscan already in progress");
    }
  });
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(commands, 1);
  EXPECT_NE(run.err.find("orvalinth console: scan: the scan did not start: scan already in progress\n"), std::string::npos)
      << run.err;
}

TEST_F(ConsoleSessionTest, KeepGoingRunsTheRestAndStillFails) {
  int commands = 0;
  const ConsoleRun run = Run({"--keep-going", "scan", ";", "drives"}, [&](FakeAgent& a) {
    std::string body;
    while (a.RecvCommand(&body)) {
      if (++commands == 1) a.SendBody("scan\xFEok\xFE" "0\xFEmsg\xFEno");
      if (commands == 2) a.SendBody("get-disk\xFE" "disk\xFE" "c1");
    }
  });
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(commands, 2);
  EXPECT_NE(run.out.find("c:  fixed\n"), std::string::npos) << run.out;
}

TEST_F(ConsoleSessionTest, ViolationGivesExitCode3AndTheFrameInHex) {
  const ConsoleRun run = Run({"--json", "set-scan"}, [](FakeAgent& a) {
    std::string body;
    if (a.RecvCommand(&body)) a.SendBody("set-scan\xFEok\xFE" "1");
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 3);
  const std::string hex = "0D 00 00 00 73 65 74 2D 73 63 61 6E FE 6F 6B FE 31";
  EXPECT_NE(run.err.find("orvalinth console: set-scan: protocol violation: \"set-scan\": key \"scan-targets\" missing after \"ok\"\n"
                         "  frame: " + hex + "\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find(R"({"command":"set-scan","ok":false,"failure":"violation","error":"\"set-scan\": key \"scan-targets\" missing after \"ok\"","frame":")" + hex + "\"}"),
            std::string::npos)
      << run.out;
}

TEST_F(ConsoleSessionTest, ScanFailureAndTimeOutOfWaitScan) {
  const ConsoleRun run = Run({"--keep-going", "wait-scan", "5", ";", "wait-scan", "0.1"}, [](FakeAgent& a) {
    a.SendBody("scan-done\xFEok\xFE" "0\xFEmsg\xFE" "fatal exception");
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("wait-scan: the scan failed: fatal exception\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("wait-scan: no \"scan-done\" within 0.1 s\n"), std::string::npos) << run.err;
}

TEST_F(ConsoleSessionTest, DownloadLastWithAck) {
  const std::string folder = test::N(folder_.path());
  std::vector<std::string> received;
  const ConsoleRun run = Run({"--json", "wait-scan", ";", "download", "last", folder, "--ack"}, [&](FakeAgent& a) {
    a.SendBody("scan-done\xFEok\xFE" "1\xFEid-snapshot\xFE" "12");
    std::string body;
    if (!a.RecvCommand(&body)) return;
    received.push_back(body);
    a.SendBody("down-snap\xFEsize\xFE" "3");
    a.SendBody("down-block\xFE\xFE" "abc");
    a.SendBody("down-block\xFE" "done\xFE" "1");
    if (a.RecvCommand(&body)) received.push_back(body);
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(received, (std::vector<std::string>{"down-snap\xFEid-snapshot\xFE" "12", "down-ack\xFEid-snapshot\xFE" "12"}));
  EXPECT_EQ(test::ReadFileBytes(folder_ / u"snapshot012.snp"), "abc");
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[3], R"({"command":"download","ok":true,"id-snapshot":12,"size":3,"blocks":1,"path":)" +
                          JsonQuote(folder + "snapshot012.snp") + "}");
  EXPECT_EQ(lines[4], R"({"command":"ack","ok":true,"id-snapshot":12})");
}

TEST_F(ConsoleSessionTest, DownloadLastWithoutScanDoneIsAUsageError) {
  const ConsoleRun run = Run({"download", "last"}, [](FakeAgent& a) { a.WaitClosed(); });
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("download: no \"scan-done\" has named a snapshot yet"), std::string::npos) << run.err;
}

TEST_F(ConsoleSessionTest, UpgradeSendsTheFileAndReadsAFailure) {
  test::WriteFileBytes(folder_ / u"new.exe", std::string("MZ\x90\x00\xFE\xFF", 6));
  std::string received;
  const ConsoleRun run = Run({"upgrade", test::N(folder_ / u"new.exe")}, [&](FakeAgent& a) {
    if (a.RecvCommand(&received)) a.SendBody("upgd-cli\xFEok\xFE" "0\xFEmsg\xFE" "cannot write upgrade_tmp.exe");
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(ToHex(received), ToHex(std::string("upgd-cli\xFE\xFEMZ\x90\x00\xFE\xFF", 16)));
  EXPECT_NE(run.err.find("upgrade: the agent could not upgrade: cannot write upgrade_tmp.exe\n"), std::string::npos) << run.err;
}

TEST_F(ConsoleSessionTest, UpgradeSucceedsWhenTheAgentGoesAway) {
  test::WriteFileBytes(folder_ / u"new.exe", "MZ");
  const ConsoleRun run = Run({"--json", "upgrade", test::N(folder_ / u"new.exe"), ";", "reconnect", "5"}, [&](FakeAgent& a) {
    std::string body;
    a.RecvCommand(&body);
    a.Drop();
    // The upgraded agent comes back.
    const std::u16string port_file = folder_ / u"port";
    if (a.ConnectVia(port_file)) a.Greet();
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find(R"({"command":"upgrade","ok":true,"bytes":2,"result":"dropped"})"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(R"({"command":"reconnect","ok":true,"agent":{"name":"VM")"), std::string::npos) << run.out;
}

TEST_F(ConsoleSessionTest, UpgradeWithoutAnswerWithinTheWait) {
  test::WriteFileBytes(folder_ / u"new.exe", "MZ");
  const ConsoleRun run = Run({"--json", "upgrade", test::N(folder_ / u"new.exe"), "--wait", "0.1"}, [](FakeAgent& a) {
    std::string body;
    a.RecvCommand(&body);
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find(R"({"command":"upgrade","ok":true,"bytes":2,"result":"no-failure-reported"})"), std::string::npos)
      << run.out;
}

TEST_F(ConsoleSessionTest, UnknownCommandGetsNullAndTheLinkDrops) {
  const ConsoleRun run = Run({"raw", "ping", ";", "reconnect", "0.3"}, [](FakeAgent& a) {
    std::string body;
    if (a.RecvCommand(&body)) a.SendBody("null");
    a.Drop();
  });
  // The agent did not come back: no agent, exit code 4.
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.out.find("reply \"null\"\n"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("reconnect: no agent connected again within 0.3 s"), std::string::npos) << run.err;
}

TEST_F(ConsoleSessionTest, CommandsFromInputUntilQuit) {
  int commands = 0;
  const ConsoleRun run = Run({}, [&](FakeAgent& a) {
    std::string body;
    while (a.RecvCommand(&body)) {
      ++commands;
      a.SendBody("get-disk\xFE" "disk\xFE" "c1");
    }
  }, {"drives; drives", "# nothing", "", "quit", "drives"}, /*terminal=*/true);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(commands, 2);
  EXPECT_NE(run.err.find("orvalinth> orvalinth> orvalinth> orvalinth> "), std::string::npos) << run.err;
}

TEST_F(ConsoleSessionTest, TerminalGoesOnAfterMistakesAPipeStops) {
  int commands = 0;
  auto script = [&](FakeAgent& a) {
    std::string body;
    while (a.RecvCommand(&body)) {
      ++commands;
      a.SendBody("get-disk\xFE" "disk\xFE" "c1");
    }
  };
  ConsoleRun run = Run({}, script, {"bogus", "drives"}, /*terminal=*/true);
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(commands, 1);
  commands = 0;
  run = Run({}, script, {"bogus", "drives"}, /*terminal=*/false);
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(commands, 0);
  EXPECT_EQ(run.err.find("orvalinth>"), std::string::npos);
}

TEST_F(ConsoleSessionTest, ScriptFile) {
  test::WriteFileBytes(folder_ / u"commands.txt", "# browse\ndrives\r\nset-id 5 ; drives\n");
  std::vector<std::string> received;
  const ConsoleRun run = Run({"--script", test::N(folder_ / u"commands.txt")}, [&](FakeAgent& a) {
    std::string body;
    while (a.RecvCommand(&body)) {
      received.push_back(body);
      if (body == "get-disk") a.SendBody("get-disk\xFE" "disk\xFE" "c1");
    }
  });
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(received, (std::vector<std::string>{"get-disk", "set-uid\xFEid\xFE" "5", "get-disk"}));
}

TEST(ConsoleExitCodes, WorstOutcomeWins) {
  EXPECT_EQ(ExitCodeOf(Outcome::kOk), 0);
  EXPECT_EQ(ExitCodeOf(Outcome::kFailed), 1);
  EXPECT_EQ(ExitCodeOf(Outcome::kUsage), 2);
  EXPECT_EQ(ExitCodeOf(Outcome::kViolation), 3);
  EXPECT_EQ(ExitCodeOf(Outcome::kNoAgent), 4);
  EXPECT_EQ(Worse(Outcome::kFailed, Outcome::kViolation), Outcome::kViolation);
  EXPECT_EQ(Worse(Outcome::kViolation, Outcome::kFailed), Outcome::kViolation);
  EXPECT_EQ(Worse(Outcome::kOk, Outcome::kFailed), Outcome::kFailed);
  EXPECT_EQ(Worse(Outcome::kNoAgent, Outcome::kUsage), Outcome::kNoAgent);
}

}  // namespace
}  // namespace orvalinth::tools
