// The real service under Wine and the real fleet server (orvalinth server,
// a process of the host build): the agent gets an id, is scanned by its
// schedule, its snapshot is stored byte for byte as the agent held it, the
// next scan is compared with it (a file and a registry value the test
// changed appear as change rows), and the agent's data folder is empty.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <map>
#include <regex>
#include <string>

#include "e2e_support.h"
#include "host_process.h"
#include "service_link.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 120000;

// The fleet server as a process, with a configuration of the test's.
class FleetServerProcess {
 public:
  explicit FleetServerProcess(const std::string& folder) : folder_(folder) {
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/data");
    WriteWholeFile(config(), std::string("[server]\nlisten = 127.0.0.1:0\ndata = ") + folder_ +
                                 "/data\ngreeting-timeout = 60\nweb-listen = off\n\n"
                                 "[profile e2e]\nfile = C:\\e2e\\fleet\nreg = HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvalinthFleet\n"
                                 "name = fleet\n\n"
                                 "[schedule all]\nprofile = e2e\nevery = 10s\n");
    pid_ = StartCommand({{ORVALINTH_TOOL_EXE, "server", "--config", config()}, {}, {}, "", folder_ + "/stdout.txt"});
  }
  ~FleetServerProcess() {
    Stop();
    if (!::testing::Test::HasFailure()) fs::remove_all(folder_);
  }
  // SIGTERM, as systemd stops it; its exit code (-1 when it had to be killed).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int code = -1;
    if (!WaitForExit(pid_, 20000, &code)) {
      kill(pid_, SIGKILL);
      WaitForExit(pid_, 5000, &code);
      code = -1;
    }
    pid_ = -1;
    return code;
  }
  std::string config() const { return folder_ + "/server.conf"; }
  std::string log() const { return ReadWholeFile(folder_ + "/data/server.log"); }
  std::string data() const { return folder_ + "/data"; }
  // The port from the log's "listening on ...:PORT"; 0 until then.
  uint16_t WaitForPort() {
    for (const long long end = NowMs() + 20000; NowMs() < end; SleepMs(50)) {
      std::smatch m;
      const std::string text = log();
      if (std::regex_search(text, m, std::regex("listening on [0-9.]+:([0-9]+)"))) {
        return static_cast<uint16_t>(std::stoi(m[1]));
      }
    }
    return 0;
  }
  // `orvalinth fleet --config ... --json <words>`: its output.
  std::string Fleet(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {ORVALINTH_TOOL_EXE, "fleet", "--config", config(), "--json"};
    argv.insert(argv.end(), words.begin(), words.end());
    const std::string out = folder_ + "/fleet.txt";
    RunCommand({argv, {}, {}, "", out});
    return ReadWholeFile(out);
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
};

// Keeps every snapshot file that appears in the agent's data folder by a
// hard link of its own, so its bytes outlive the agent's delete after the
// acknowledgement.
void KeepSnapshots(const std::string& data, const std::string& kept) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(data, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 15 || name.rfind("snapshot", 0) != 0 || name.substr(11) != ".snp") continue;
    const std::string link = kept + "/" + name;
    if (!fs::exists(link)) fs::create_hard_link(entry.path(), link, ignored);
  }
}

TEST(WineFleetServer, TheServiceIsScannedByItsScheduleStoredByteForByteAndCompared) {
  ServiceLink service("fleet");
  ASSERT_TRUE(service.ok()) << service.error();
  FleetServerProcess server(std::string(ORVALINTH_E2E_WORK) + "/fleet-" + std::to_string(getpid()));
  const uint16_t port = server.WaitForPort();
  ASSERT_NE(port, 0) << server.log();

  WinePrefix& prefix = service.prefix();
  const std::string tree = prefix.HostPath("C:\\e2e\\fleet\\");
  fs::create_directories(tree);
  ASSERT_TRUE(WriteWholeFile(tree + "kept.txt", "the same in both"));
  ASSERT_TRUE(WriteWholeFile(tree + "changed.txt", "before"));
  ASSERT_EQ(prefix.Wine({"reg", "add", "HKLM\\SOFTWARE\\OrvalinthFleet", "/v", "Setting", "/t", "REG_SZ", "/d", "before", "/f"})
                .exit_code,
            0);
  const std::string kept = std::string(ORVALINTH_E2E_WORK) + "/fleet-kept-" + std::to_string(getpid());
  fs::remove_all(kept);
  fs::create_directories(kept);
  const std::string data = prefix.HostPath(std::string(ServiceLink::kFolder) + "data");

  // A watch of the agent's data folder beside the test, quick enough to see
  // each snapshot between its recording and its acknowledgement.
  std::atomic<bool> watching{true};
  std::thread watch([&] {
    while (watching) {
      KeepSnapshots(data, kept);
      SleepMs(2);
    }
  });
  struct Joiner {
    std::atomic<bool>& flag;
    std::thread& thread;
    ~Joiner() {
      flag = false;
      thread.join();
    }
  } joiner{watching, watch};

  service.WriteSettings("127.0.0.1", port);
  ASSERT_TRUE(service.Start()) << Joined(LogLines(service.LogPath()));

  // The first snapshot, by the schedule (every 10 s).
  auto wait_for_snapshot = [&](int number) {
    const std::string needle = "\"number\":" + std::to_string(number) + ",";
    for (const long long end = NowMs() + kWaitMs; NowMs() < end; SleepMs(100)) {
      if (server.Fleet({"snapshots", "1"}).find(needle) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(wait_for_snapshot(1)) << server.log() << Joined(LogLines(service.LogPath()));
  EXPECT_EQ(service.Setting("ComputerID:"), "1");
  EXPECT_NE(server.Fleet({"machines"}).find("\"online\":true"), std::string::npos);
  EXPECT_NE(server.Fleet({"scans", "1"}).find("\"by\":\"schedule\""), std::string::npos);

  // Changed between the two scans: a file and a registry value.
  ASSERT_TRUE(WriteWholeFile(tree + "changed.txt", "after, and longer"));
  ASSERT_EQ(prefix.Wine({"reg", "add", "HKLM\\SOFTWARE\\OrvalinthFleet", "/v", "Setting", "/t", "REG_SZ", "/d", "after", "/f"})
                .exit_code,
            0);
  ASSERT_TRUE(wait_for_snapshot(2)) << server.log();
  // Compared as it arrived (a moment after its acknowledgement).
  std::string changes;
  for (const long long end = NowMs() + 30000; NowMs() < end; SleepMs(100)) {
    changes = server.Fleet({"changes", "1"});
    if (changes.find("changed.txt") != std::string::npos) break;
  }
  // Stopped before the schedule's next scan: its catalog stays readable.
  EXPECT_EQ(server.Stop(), 0) << server.log();
  EXPECT_NE(server.log().find("stopped"), std::string::npos);

  for (int number : {1, 2}) {
    SCOPED_TRACE(number);
    char name[32];
    std::snprintf(name, sizeof name, "snapshot%03d.snp", number);
    const std::string stored = ReadWholeFile(server.data() + "/machines/1/" + name);
    const std::string held = ReadWholeFile(kept + "/" + name);
    ASSERT_FALSE(held.empty()) << "the agent's file was not seen";
    EXPECT_TRUE(stored == held) << "stored " << stored.size() << " bytes, the agent held " << held.size();
  }

  // The rows as the report shows the changes (JSON escapes the backslashes).
  EXPECT_NE(changes.find(R"("kind":"files","change":"changed","entry":"file","path":"c:\\e2e\\fleet\\changed.txt")"),
            std::string::npos)
      << changes;
  EXPECT_NE(changes.find(R"("path":"HKEY_LOCAL_MACHINE\\Software\\OrvalinthFleet\\Setting","old":"REG_SZ \"before\"",)"
                         R"("new":"REG_SZ \"after\"")"),
            std::string::npos)
      << changes;
  EXPECT_EQ(changes.find("kept.txt"), std::string::npos) << changes;

  // Both acknowledged: the agent holds nothing.
  for (const long long end = NowMs() + 20000; NowMs() < end && service.Setting("SavedSnapshots:") != ""; SleepMs(100)) {
  }
  EXPECT_EQ(service.Setting("SavedSnapshots:"), "");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(data)) left.push_back(entry.path().filename().string());
  EXPECT_TRUE(left.empty()) << Joined(left);
  fs::remove_all(kept);
}

}  // namespace
}  // namespace orvalinth::e2e
