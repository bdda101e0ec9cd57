#include "tools/console_command.h"

#include <gtest/gtest.h>

#include "tools/console_options.h"

namespace orvalinth::tools {
namespace {

using Words = std::vector<std::string>;
using Commands = std::vector<Words>;

SXConsoleCommand Parsed(const Words& words) {
  SXConsoleCommand c;
  std::string error;
  EXPECT_TRUE(ParseCommand(words, &c, &error)) << error;
  return c;
}

std::string Refused(const Words& words) {
  SXConsoleCommand c;
  std::string error;
  EXPECT_FALSE(ParseCommand(words, &c, &error));
  return error;
}

TEST(ConsoleCommand, CommandLineWordsAreCutAtSemicolons) {
  EXPECT_EQ(GroupCommands({"drives", ";", "dir", "C:\\", ";", "info"}), (Commands{{"drives"}, {"dir", "C:\\"}, {"info"}}));
  EXPECT_EQ(GroupCommands({"drives;", "dir", "C:\\;", "info"}), (Commands{{"drives"}, {"dir", "C:\\"}, {"info"}}));
  EXPECT_EQ(GroupCommands({";", "drives", ";", ";"}), (Commands{{"drives"}}));
  EXPECT_EQ(GroupCommands({}), Commands{});
}

TEST(ConsoleCommand, InputLinesAreCutAtBlanksWithQuotes) {
  Commands commands;
  std::string error;
  ASSERT_TRUE(SplitInputLine("dir 'C:\\Program Files\\'; reg \"HKEY_LOCAL_MACHINE\\SOFTWARE\"  # comment", &commands, &error));
  EXPECT_EQ(commands, (Commands{{"dir", "C:\\Program Files\\"}, {"reg", "HKEY_LOCAL_MACHINE\\SOFTWARE"}}));
  ASSERT_TRUE(SplitInputLine("stop-scan ''", &commands, &error));
  EXPECT_EQ(commands, (Commands{{"stop-scan", ""}}));
  ASSERT_TRUE(SplitInputLine("raw x a=\"b c\";;", &commands, &error));
  EXPECT_EQ(commands, (Commands{{"raw", "x", "a=b c"}}));
  ASSERT_TRUE(SplitInputLine("   # only a comment", &commands, &error));
  EXPECT_TRUE(commands.empty());
  EXPECT_FALSE(SplitInputLine("dir 'C:\\", &commands, &error));
  EXPECT_EQ(error, "no closing '");
}

TEST(ConsoleCommand, WordsAndProtocolWords) {
  const std::pair<Words, CommandKind> table[] = {
      {{"info"}, CommandKind::kInfo},           {{"drives"}, CommandKind::kDrives},
      {{"get-disk"}, CommandKind::kDrives},     {{"dir", "C:\\"}, CommandKind::kDir},
      {{"get-reg", "HKEY_USERS\\"}, CommandKind::kReg}, {{"set-uid", "5"}, CommandKind::kSetId},
      {{"get-scan"}, CommandKind::kScanSettings}, {{"down-snap", "1"}, CommandKind::kDownload},
      {{"down-ack", "1"}, CommandKind::kAck},   {{"upgd-cli", "x.exe"}, CommandKind::kUpgrade},
      {{"wait-agent"}, CommandKind::kReconnect}, {{"exit"}, CommandKind::kQuit},
  };
  for (const auto& row : table) EXPECT_EQ(Parsed(row.first).kind, row.second) << row.first[0];
}

TEST(ConsoleCommand, Arguments) {
  SXConsoleCommand c = Parsed({"set-scan", "--file", "C:\\", "--file", "D:\\x", "--reg", "*", "--versions", "--removable", "--name", "Weekly"});
  EXPECT_EQ(c.targets.files, (Words{"C:\\", "D:\\x"}));
  EXPECT_EQ(c.targets.regs, Words{"*"});
  EXPECT_TRUE(c.targets.apps.empty());
  EXPECT_FALSE(c.targets.full);
  EXPECT_TRUE(c.targets.versions);
  EXPECT_TRUE(c.targets.removable);
  EXPECT_EQ(c.targets.name, "Weekly");

  c = Parsed({"scan"});
  EXPECT_FALSE(c.explicit_targets);
  c = Parsed({"scan", "Nightly"});
  EXPECT_FALSE(c.explicit_targets);
  EXPECT_EQ(c.targets.name, "Nightly");
  c = Parsed({"scan", "--full", "--name", "N"});
  EXPECT_TRUE(c.explicit_targets);
  EXPECT_TRUE(c.targets.full);
  c = Parsed({"scan", "--targets"});
  EXPECT_TRUE(c.explicit_targets);

  c = Parsed({"download", "last", "out", "--ack"});
  EXPECT_TRUE(c.last);
  EXPECT_TRUE(c.ack);
  EXPECT_EQ(c.folder, "out");
  c = Parsed({"download", "12"});
  EXPECT_EQ(c.number, 12);
  EXPECT_EQ(c.folder, ".");

  EXPECT_EQ(Parsed({"wait-scan", "2.5"}).wait_ms, 2500);
  EXPECT_EQ(Parsed({"wait-scan"}).wait_ms, -1);
  EXPECT_EQ(Parsed({"upgrade", "new.exe", "--wait", "1"}).wait_ms, 1000);

  c = Parsed({"raw", "bogus", "a=1", "b==", "--payload", "p.bin", "--no-reply"});
  EXPECT_EQ(c.text, "bogus");
  ASSERT_EQ(c.pairs.size(), 2u);
  EXPECT_EQ(c.pairs[1], std::make_pair(std::string("b"), std::string("=")));
  EXPECT_EQ(c.payload_file, "p.bin");
  EXPECT_TRUE(c.no_reply);
}

TEST(ConsoleCommand, UsageErrors) {
  EXPECT_EQ(Refused({"bogus"}), "unknown command \"bogus\" (try \"help\")");
  EXPECT_EQ(Refused({"dir"}), "dir: the path is missing");
  EXPECT_EQ(Refused({"dir", "a", "b"}), "dir: unexpected \"b\"");
  EXPECT_EQ(Refused({"set-id", "x"}), "set-id: needs the computer id, a decimal number");
  EXPECT_EQ(Refused({"download", "0"}), "download: needs a snapshot number (1 or more) or \"last\"");
  EXPECT_EQ(Refused({"ack"}), "ack: needs a snapshot number (1 or more) or \"last\"");
  EXPECT_EQ(Refused({"set-scan", "--file"}), "set-scan: option --file needs a value");
  EXPECT_EQ(Refused({"set-scan", "--bogus"}), "set-scan: unknown option \"--bogus\"");
  EXPECT_EQ(Refused({"scan", "--removable"}), "scan: unknown option \"--removable\"");
  EXPECT_EQ(Refused({"wait-scan", "-1"}), "wait-scan: \"-1\" is no number of seconds");
  EXPECT_EQ(Refused({"sleep"}), "sleep: needs a number of seconds");
  EXPECT_EQ(Refused({"raw"}), "raw: the message name is missing");
  EXPECT_EQ(Refused({"raw", "x", "=1"}), "raw: \"=1\" is no KEY=VALUE pair");
  EXPECT_EQ(Refused({"raw", "x", "k=\xFE"}), "raw: keys and values cannot hold the byte FE");
}

TEST(ConsoleCommand, Seconds) {
  int64_t ms = 0;
  EXPECT_TRUE(ParseSeconds("0", &ms));
  EXPECT_EQ(ms, 0);
  EXPECT_TRUE(ParseSeconds("0.25", &ms));
  EXPECT_EQ(ms, 250);
  for (const char* bad : {"", "-1", "1s", "nan", "inf", "1e12"}) EXPECT_FALSE(ParseSeconds(bad, &ms)) << bad;
}

TEST(ConsoleOptions, OptionsThenCommands) {
  SXConsoleOptions o;
  std::string error;
  ASSERT_TRUE(ParseConsoleOptions({"--listen", "127.0.0.1", "--port", "0", "--accept-timeout", "1.5", "--json",
                                   "--no-progress", "drives", ";", "dir", "--json"},
                                  &o, &error))
      << error;
  EXPECT_EQ(o.listen, "127.0.0.1");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.accept_timeout_ms, 1500);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.progress, 0);
  // After the first command word, "--json" is the path of "dir".
  EXPECT_EQ(o.commands, (Commands{{"drives"}, {"dir", "--json"}}));

  ASSERT_TRUE(ParseConsoleOptions({}, &o, &error));
  EXPECT_EQ(o.listen, "0.0.0.0");
  EXPECT_EQ(o.port, 51000);
  EXPECT_EQ(o.accept_timeout_ms, -1);
  EXPECT_EQ(o.progress, -1);
  EXPECT_TRUE(o.commands.empty());

  ASSERT_TRUE(ParseConsoleOptions({"--reply-timeout", "0"}, &o, &error));
  EXPECT_EQ(o.reply_timeout_ms, -1);

  ASSERT_TRUE(ParseConsoleOptions({"--", "--odd"}, &o, &error));
  EXPECT_EQ(o.commands, (Commands{{"--odd"}}));

  EXPECT_FALSE(ParseConsoleOptions({"--port", "65536"}, &o, &error));
  EXPECT_EQ(error, "--port needs a port number 0 to 65535, not \"65536\"");
  EXPECT_FALSE(ParseConsoleOptions({"--port"}, &o, &error));
  EXPECT_EQ(error, "option --port needs a value");
  EXPECT_FALSE(ParseConsoleOptions({"--bogus"}, &o, &error));
  EXPECT_EQ(error, "unknown option --bogus");
}

TEST(ConsoleOptions, UsageErrorsEndBeforeListening) {
  SXConsoleIo io;
  std::string out, err;
  io.out = [&](std::string_view t) { out.append(t); };
  io.err = [&](std::string_view t) { err.append(t); };
  io.read_line = [](std::string*) { return false; };
  EXPECT_EQ(RunConsole({"--port", "x"}, io), 2);
  EXPECT_EQ(RunConsole({"--port", "0", "drives", ";", "dir"}, io), 2);
  EXPECT_NE(err.find("orvalinth console: dir: the path is missing\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("listening"), std::string::npos) << err;
  EXPECT_EQ(RunConsole({"--help"}, io), 0);
  EXPECT_NE(out.find("usage: orvalinth console"), std::string::npos);
  EXPECT_NE(out.find("download N|last [FOLDER] [--ack]"), std::string::npos);
}

}  // namespace
}  // namespace orvalinth::tools
