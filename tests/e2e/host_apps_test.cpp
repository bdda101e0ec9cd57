// The host daemon's applications scan of the real machine: while a child of
// the test holds a file, a folder and a listening TCP port open, the console
// records the applications, downloads the snapshot and reads it back; the
// child's process node, "Opened Handles" and "Opened Ports" show exactly
// those, and its modules include the C library.
//
// The child is this harness itself, started as
//   orvalinth_e2e --hold-open=FILE,FOLDER,PORT_FILE
// (see HoldOpen below, called from main).

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_daemon.h"
#include "host_process.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::e2e {

// Holds FILE and FOLDER open and listens on a free loopback port, written to
// PORT_FILE, until killed. Returns only on failure (exit code 1).
int HoldOpen(const char* what) {
  std::string s = what;
  const size_t a = s.find(','), b = s.find(',', a + 1);
  if (a == std::string::npos || b == std::string::npos) return 1;
  for (int fd = 3; fd < 1024; ++fd) close(fd);  // nothing inherited: the test expects exactly what is opened here
  const int file = open(s.substr(0, a).c_str(), O_RDONLY);
  const int folder = open(s.substr(a + 1, b - a - 1).c_str(), O_RDONLY | O_DIRECTORY);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (file < 0 || folder < 0 || listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 1;
  }
  if (!WriteWholeFile(s.substr(b + 1), std::to_string(ntohs(address.sin_port)))) return 1;
  for (;;) pause();
}

namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 120000;  // a whole machine's processes, in the sanitizer build

const SXReadSection* Section(const SXReadSnapshot& snapshot, const char16_t* name) {
  for (const SXReadSection& s : snapshot.sections[kReadApplications]) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

class HostApps : public HostDaemonTest {
 protected:
  HostApps() : HostDaemonTest("host-apps", HostExecutable(), "program") {
    fs::create_directories(folder_ + "/held folder");
  }
};

TEST_F(HostApps, TheChildsFilesFolderPortAndModulesAreRecorded) {
  const std::string held_file = folder_ + "/held.txt";
  const std::string held_folder = folder_ + "/held folder";
  ASSERT_TRUE(WriteWholeFile(held_file, "held"));
  SXCommand child;
  child.argv = {fs::read_symlink("/proc/self/exe").string(),
                "--hold-open=" + held_file + "," + held_folder + "," + folder_ + "/child-port"};
  child_ = StartCommand(child);
  ASSERT_GT(child_, 0);
  const int child_port = std::atoi(Await(folder_ + "/child-port", kWaitMs).c_str());
  ASSERT_GT(child_port, 0);

  ASSERT_NO_FATAL_FAILURE(StartConsoleAndDaemon({"--app", "*", "--name", "apps"}, kWaitMs / 1000));
  int code = -1;
  ASSERT_TRUE(WaitForExit(console_, kWaitMs, &code)) << ReadWholeFile(ConsoleOutput());
  console_ = -1;
  ASSERT_EQ(code, 0) << ReadWholeFile(ConsoleOutput());

  const std::string bytes = ReadWholeFile(folder_ + "/downloads/snapshot001.snp");
  CXSnapshotMemorySource source(bytes.data(), bytes.size());
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  ASSERT_EQ(reader.Read(source, &snapshot), 1) << reader.fault().message;
  EXPECT_EQ(reader.remark_count(), 0u);

  const std::u16string file = WindowsForm(held_file);
  const std::u16string folder = WindowsForm(held_folder);
  const SXReadSection* processes = Section(snapshot, u"Running Processes");
  ASSERT_NE(processes, nullptr);
  const SXReadNode* node = nullptr;  // the child's, found by its argument
  for (const SXReadNode& n : processes->root.children) {
    if (Narrow(n.name).find("--hold-open=") != std::string::npos && Narrow(n.name).find(folder_) != std::string::npos) {
      node = &n;
    }
  }
  ASSERT_NE(node, nullptr) << "no node for the child among " << processes->root.children.size();
  std::u16string process_path;
  for (const SXReadItem& item : processes->root.items) {
    if (item.arguments.find(u"--hold-open=") != std::u16string::npos) process_path = item.path;
  }
  EXPECT_EQ(process_path, WindowsForm(child.argv[0]));

  std::vector<std::string> handles, ports;
  for (const SXReadNode& child_node : node->children) {
    for (const SXReadItem& item : child_node.items) {
      if (item.kind == 6) handles.push_back(Format("%u ", item.handle_type) + Narrow(item.object_name));
      if (item.kind == 7) {
        ports.push_back(Format("%u %u %u:%u", item.protocol, item.port_state, item.local.length_code, item.local.port));
      }
    }
  }
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(handles, (std::vector<std::string>{"1 " + Narrow(file), "2 " + Narrow(folder)}));
  EXPECT_EQ(ports, (std::vector<std::string>{Format("1 2 4:%d", child_port)}));
  bool libc = false;
  for (const SXReadItem& module : node->items) libc = libc || Narrow(module.path).find("libc.so") != std::string::npos;
  EXPECT_TRUE(libc) << node->items.size() << " modules";

  const SXReadSection* opened = Section(snapshot, u"Opened Handles");
  ASSERT_NE(opened, nullptr);
  std::vector<std::string> owned;
  for (const SXReadItem& item : opened->root.items) {
    if (item.path == process_path) owned.push_back(Format("%u ", item.handle_type) + Narrow(item.object_name));
  }
  // The harness is the same program and may hold files of its own (ctest's
  // log, when ctest runs it): the child's handles are all among its program's.
  for (const std::string& handle : handles) {
    EXPECT_NE(std::find(owned.begin(), owned.end(), handle), owned.end()) << handle;
  }
  const SXReadSection* listening = Section(snapshot, u"Opened Ports");
  ASSERT_NE(listening, nullptr);
  // Other harnesses of the same program (the other lane of scripts/test)
  // listen too: the child's port is among its program's.
  int found = 0;
  for (const SXReadItem& item : listening->root.items) {
    if (item.path == process_path && item.local.port == child_port) {
      ++found;
      EXPECT_EQ(item.local.bytes, std::string("\x7f\x00\x00\x01", 4));
    }
  }
  EXPECT_EQ(found, 1);

  kill(daemon_, SIGTERM);
  ASSERT_TRUE(WaitForExit(daemon_, kWaitMs, &code));
  daemon_ = -1;
}

}  // namespace
}  // namespace orvalinth::e2e
