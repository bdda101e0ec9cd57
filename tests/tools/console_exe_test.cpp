// The built "orvalinth" executable run as a program against the scripted
// agent: the command line, the exit codes and the output as scripts see them.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/process.h"
#include "test_support.h"
#include "tools/console_runner.h"
#include "tools/fake_agent.h"
#ifndef _WIN32
#include "platform/posix/drive_table.h"
#endif

namespace orvalinth {
namespace {

using test::FakeAgent;
using test::N;

// The tool built beside the tests, as this system names files.
std::string ToolExecutable() {
  std::string path = ORVALINTH_TOOL_EXE;
#ifdef _WIN32
  // A host path: drive Z: is the root of the host under Wine.
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
#endif
  return path;
}

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs the tool with the arguments through the system's shell, its output
// caught in files of `folder`.
ToolRun RunTool(const std::vector<std::string>& arguments, const test::TempFolder& folder) {
  const std::u16string out = folder / u"out.txt";
  const std::u16string err = folder / u"err.txt";
  ToolRun run;
#ifdef _WIN32
  // cmd /c takes away the outer quotes and runs the rest as it stands.
  std::string command = "\"\"" + ToolExecutable() + "\" console";
  for (const std::string& a : arguments) command += " " + N(platform::QuoteArgument(test::W(a)));
  command += " >\"" + N(out) + "\" 2>\"" + N(err) + "\"\"";
  run.code = std::system(command.c_str());
#else
  auto quoted = [](const std::string& text) {
    std::string q = "'";
    for (const char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  const std::u16string rc = folder / u"rc.txt";
  std::string command = quoted(ToolExecutable()) + " console";
  for (const std::string& a : arguments) command += " " + quoted(a);
  command += " >" + quoted(platform::posix::ToHostPath(out)) + " 2>" + quoted(platform::posix::ToHostPath(err)) +
             " </dev/null; echo $? >" + quoted(platform::posix::ToHostPath(rc));
  std::system(command.c_str());
  run.code = std::atoi(test::ReadFileBytes(rc).c_str());
#endif
  run.out = test::ReadFileBytes(out);
  run.err = test::ReadFileBytes(err);
  return run;
}

class ConsoleExeTest : public ::testing::Test {
 protected:
  ToolRun Run(std::vector<std::string> arguments, std::function<void(FakeAgent&)> script) {
    const std::u16string port_file = folder_ / u"port";
    agent_.Run([=](FakeAgent& a) {
      if (a.ConnectVia(port_file) && a.Greet()) script(a);
    });
    arguments.insert(arguments.begin(), {"--listen", "127.0.0.1", "--port", "0", "--port-file", N(port_file),
                                         "--accept-timeout", "20", "--reply-timeout", "10"});
    ToolRun run = RunTool(arguments, folder_);
    agent_.Join();
    return run;
  }

  test::TempFolder folder_;
  FakeAgent agent_;
};

TEST_F(ConsoleExeTest, BrowseAndDownloadAsAScriptWould) {
  const std::string target = N(folder_.path());
  const ToolRun run = Run({"--json", "drives", ";", "dir", "C:\\", ";", "download", "2", target}, [](FakeAgent& a) {
    std::string body;
    if (!a.RecvCommand(&body)) return;
    a.SendBody("get-disk\xFE" "disk\xFE" "c1z1");
    if (!a.RecvCommand(&body)) return;
    a.SendBody("get-dir\xFEpath\xFE\xFF" "1Windows\xFF" "2Junction \xE2\x96\xBA D:\\");
    if (!a.RecvCommand(&body)) return;
    a.SendBody("down-snap\xFEsize\xFE" "4");
    a.SendBody("down-block\xFE\xFE" "SNAP");
    a.SendBody("down-block\xFE" "done\xFE" "1");
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 0) << run.err;
  const std::vector<std::string> lines = test::Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  for (const std::string& line : lines) {
    std::string error;
    EXPECT_TRUE(test::IsValidJson(line, &error)) << error << ": " << line;
  }
  EXPECT_EQ(lines[2], R"({"command":"drives","ok":true,"disk":"c1z1","drives":[{"letter":"c","fixed":true},{"letter":"z","fixed":true}]})");
  EXPECT_EQ(lines[3], R"({"command":"dir","ok":true,"path":"C:\\","entries":[{"kind":1,"name":"Windows"},{"kind":2,"name":"Junction","target":"D:\\"}]})");
  EXPECT_EQ(test::ReadFileBytes(folder_ / u"snapshot002.snp"), "SNAP");
  EXPECT_FALSE(test::FileExists(folder_ / u"snapshot002.snp.part"));
}

TEST_F(ConsoleExeTest, ProtocolViolationExitsWith3) {
  const ToolRun run = Run({"drives"}, [](FakeAgent& a) {
    std::string body;
    if (a.RecvCommand(&body)) a.SendBytes(test::Hex("FF FF FF 7F"));
    a.WaitClosed();
  });
  EXPECT_EQ(run.code, 3) << run.err;
  EXPECT_NE(run.err.find("orvalinth console: drives: protocol violation: frame length 2147483647 outside 0..10485760\n"
                         "  frame: FF FF FF 7F\n"),
            std::string::npos)
      << run.err;
}

TEST_F(ConsoleExeTest, NoAgentExitsWith4) {
  const ToolRun run = RunTool({"--listen", "127.0.0.1", "--port", "0", "--accept-timeout", "0.2", "drives"}, folder_);
  EXPECT_EQ(run.code, 4) << run.err;
  EXPECT_NE(run.err.find("orvalinth console: connect: no agent connected within 0.2 s\n"), std::string::npos) << run.err;
}

TEST_F(ConsoleExeTest, UsageErrorExitsWith2) {
  const ToolRun run = RunTool({"--port", "0", "frobnicate"}, folder_);
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "orvalinth console: unknown command \"frobnicate\" (try \"help\")\n");
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace orvalinth
