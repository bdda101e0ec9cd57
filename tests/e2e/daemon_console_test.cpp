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
#include "host_process.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 60000;  // the sanitizer build is slow on a busy machine

// A host path in the Windows form the programs use (drive Z: is the root).
std::u16string WindowsForm(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return Widen(path);
}

class DaemonAndConsole : public ::testing::Test {
 protected:
  DaemonAndConsole() {
    folder_ = std::string(ORVALINTH_E2E_WORK) + "/daemon-console-" + std::to_string(getpid());
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/program/data");
    fs::create_directories(folder_ + "/downloads");
    fs::copy_file(HostExecutable(), folder_ + "/program/OrvalinthSrv");
  }
  ~DaemonAndConsole() override {
    for (pid_t pid : {daemon_, console_}) {
      if (pid <= 0) continue;
      kill(pid, SIGKILL);
      int code = 0;
      WaitForExit(pid, kWaitMs, &code);
    }
    fs::remove_all(folder_);
  }

  std::string folder_;
  pid_t daemon_ = -1;
  pid_t console_ = -1;
};

TEST_F(DaemonAndConsole, TheConsoleCommandRecordsFetchesAndAcknowledgesASnapshot) {
  // The tree to record.
  const std::string tree = folder_ + "/tree/";
  fs::create_directories(tree + "sub");
  ASSERT_TRUE(WriteWholeFile(tree + "readme.txt", "read me"));
  ASSERT_TRUE(WriteWholeFile(tree + "sub/deep.txt", "deep down"));

  // The console first, on a free port that it writes down.
  const std::string port_file = folder_ + "/port";
  SXCommand console;
  console.argv = {ORVALINTH_TOOL_EXE, "console", "--listen", "127.0.0.1", "--port", "0", "--port-file", port_file,
                  "--accept-timeout", "60", "--reply-timeout", "60",
                  "set-scan", "--file", Narrow(WindowsForm(tree)), "--name", "daemon", ";",
                  "scan", ";", "wait-scan", "60", ";", "download", "last", folder_ + "/downloads", "--ack"};
  console.output_path = folder_ + "/console.txt";
  console_ = StartCommand(console);
  ASSERT_GT(console_, 0);
  const long long end = NowMs() + kWaitMs;
  while (ReadWholeFile(port_file).empty() && NowMs() < end) SleepMs(20);
  const std::string port = ReadWholeFile(port_file);
  ASSERT_FALSE(port.empty()) << ReadWholeFile(console.output_path);

  // Then the daemon, pointed at it.
  ASSERT_TRUE(WriteWholeFile(folder_ + "/program/OrvalinthSrv.ini",
                             "ServerAddr:127.0.0.1\nServerPort:" + std::to_string(std::atoi(port.c_str())) + "\n"));
  SXCommand daemon;
  daemon.argv = {folder_ + "/program/OrvalinthSrv"};
  daemon.directory = folder_ + "/program";
  daemon.output_path = folder_ + "/daemon.txt";
  daemon_ = StartCommand(daemon);
  ASSERT_GT(daemon_, 0);

  int code = -1;
  ASSERT_TRUE(WaitForExit(console_, kWaitMs, &code)) << ReadWholeFile(console.output_path);
  console_ = -1;
  const std::string output = ReadWholeFile(console.output_path);
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
  EXPECT_EQ(ReadWholeFile(folder_ + "/daemon.txt"), "");

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
