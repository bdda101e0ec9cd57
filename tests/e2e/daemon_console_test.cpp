// The host build's two programs as people run them: the OrvalinthSrv daemon
// on a private program folder whose settings point at a port, and
// "orvalinth console" on that port with a command line that sets the
// targets, scans, waits, downloads and acknowledges. The downloaded file is
// read back with the strict reader.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_daemon.h"
#include "host_process.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 60000;  // the sanitizer build is slow on a busy machine

class DaemonAndConsole : public HostDaemonTest {
 protected:
  DaemonAndConsole() : HostDaemonTest("daemon-console", HostExecutable(), "program") {}
};

TEST_F(DaemonAndConsole, TheConsoleCommandRecordsFetchesAndAcknowledgesASnapshot) {
  // The tree to record.
  const std::string tree = folder_ + "/tree/";
  fs::create_directories(tree + "sub");
  ASSERT_TRUE(WriteWholeFile(tree + "readme.txt", "read me"));
  ASSERT_TRUE(WriteWholeFile(tree + "sub/deep.txt", "deep down"));

  // The console, then the daemon pointed at it.
  ASSERT_NO_FATAL_FAILURE(StartConsoleAndDaemon({"--file", AgentPath(tree), "--name", "daemon"}, kWaitMs / 1000));

  int code = -1;
  ASSERT_TRUE(WaitForExit(console_, kWaitMs, &code)) << ReadWholeFile(ConsoleOutput());
  console_ = -1;
  const std::string output = ReadWholeFile(ConsoleOutput());
  EXPECT_EQ(code, 0) << output;
  // The acknowledged snapshot leaves the agent's data folder and catalog.
  const std::string snapshot_file = folder_ + "/program/data/snapshot001.snp";
  const long long gone = NowMs() + kWaitMs;
  while (fs::exists(snapshot_file) && NowMs() < gone) SleepMs(20);
  EXPECT_FALSE(fs::exists(snapshot_file));
  const std::string settings = ReadWholeFile(folder_ + "/program/OrvalinthSrv.ini");
  EXPECT_NE(settings.find("SnapshotCnt:1\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("SavedSnapshots:\n"), std::string::npos) << settings;

  kill(daemon_, SIGTERM);
  ASSERT_TRUE(WaitForExit(daemon_, kWaitMs, &code));
  daemon_ = -1;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadWholeFile(DaemonOutput()), "");

  const std::string bytes = ReadWholeFile(folder_ + "/downloads/snapshot001.snp");
  ASSERT_FALSE(bytes.empty()) << output;
  CXSnapshotMemorySource source(bytes.data(), bytes.size());
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  ASSERT_EQ(reader.Read(source, &snapshot), 1) << reader.fault().message;
  EXPECT_EQ(reader.remark_count(), 0u);
  EXPECT_EQ(snapshot.info.number, 1);
  EXPECT_EQ(snapshot.info.title, "daemon");
  ASSERT_EQ(snapshot.sections[kReadFiles].size(), 1u);
  // z: -> the folders of the path -> tree, with its file and its subfolder.
  const SXReadNode* node = &snapshot.sections[kReadFiles][0].root;
  EXPECT_EQ(node->name, u"z:");
  for (const fs::path& part : fs::path(tree).parent_path().relative_path()) {
    ASSERT_EQ(node->children.size(), 1u) << part;
    node = &node->children[0];
    EXPECT_EQ(Narrow(node->name), part.string());
  }
  ASSERT_EQ(node->files.size(), 1u);
  EXPECT_EQ(node->files[0].name, u"readme.txt");
  EXPECT_EQ(node->files[0].size, 7u);
  ASSERT_EQ(node->children.size(), 1u);
  EXPECT_EQ(node->children[0].name, u"sub");
  ASSERT_EQ(node->children[0].files.size(), 1u);
  EXPECT_EQ(node->children[0].files[0].name, u"deep.txt");
  EXPECT_EQ(snapshot.info.counters[kReadFiles][0], 2);
  EXPECT_EQ(snapshot.info.counters[kReadFiles][1], 2);
}

}  // namespace
}  // namespace orvalinth::e2e
