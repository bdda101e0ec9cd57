// The fleet server killed (SIGKILL) at random moments while 200 simulated
// agents are scanned on a schedule and their snapshots downloaded, and started
// again each time on the same data: afterwards every snapshot the agents made
// is in the store exactly once, byte for byte what the agent served, every
// catalog row names a whole file, no download's temporary file is left, and
// every agent is connected again.
//
// The server is the real program (orvalinth server) in a process of its own;
// the agents are the simulated fleet in this process. The moments are drawn
// from a seeded generator: the seed is printed, and ORVALINTH_KILL_SEED
// repeats a run.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/server_process.h"
#include "server/sim/agent_sim.h"
#include "server/sqlite_catalog.h"
#include "sim_test_support.h"

namespace orvalinth::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kAgents = 200;
constexpr int kKills = 20;
constexpr int kMaxKills = 60;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The configuration: scans every 10 s, the shortest a schedule takes, each
// machine's at its own moment of the 10 (`scanning`); or once a year.
std::string KillConfig(const ServerProcess& server, uint16_t port, bool scanning) {
  std::ostringstream out;
  out << "[server]\nlisten = 127.0.0.1:" << port << "\nweb-listen = off\ndata = " << server.data() << "\n"
      << "keep-snapshots = 0\ncompare-workers = 1\n"
      << "[profile quick]\nfile = C:\\Windows\\\n"
      << "[schedule all]\nprofile = quick\nevery = " << (scanning ? "10s" : "365d")
      << "\njitter = " << (scanning ? "10s" : "0") << "\n";
  return out.str();
}

TEST(ServerKill, KilledAtTwentyMomentsOfScansAndDownloadsLosesNothingAndStoresNothingTwice) {
  uint32_t seed = static_cast<uint32_t>(std::random_device()());
  if (const char* given = std::getenv("ORVALINTH_KILL_SEED")) seed = static_cast<uint32_t>(std::strtoul(given, nullptr, 10));
  std::printf("kill moments seeded with %u (ORVALINTH_KILL_SEED=%u repeats them)\n", seed, seed);
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);

  ServerProcess server((fs::temp_directory_path() / ("orvalinth-kill-" + std::to_string(getpid()))).string());
  server.Configure(KillConfig(server, 0, true));
  uint16_t port = server.Start();
  ASSERT_NE(port, 0) << server.Log();
  server.Configure(KillConfig(server, port, true));  // the same port at every start: the agents come back to it

  // A download of a few blocks, so that kills land inside them.
  const std::string bytes = RealSnapshotBytes(13000);
  std::printf("snapshot of %zu bytes\n", bytes.size());
  ASSERT_GT(bytes.size(), 131072u);
  sim::SXSimTiming timing = FastSimTiming();
  timing.reconnect_ms = 300;
  timing.scan_ms = 200;
  std::vector<sim::SXSimAgentConfig> agents;
  for (int i = 0; i < kAgents; ++i) agents.push_back(SimAgent("KILL-" + std::to_string(10000 + i)));
  std::unique_ptr<sim::CXSimulatedFleet> fleet = StartFleet(port, agents, Shared(bytes), timing, 2);

  int during_downloads = 0;
  const Clock::time_point kills_began = Clock::now();
  // Twenty kills at least, and more while the fleet has made fewer snapshots
  // than it has agents (a slow machine scans less between kills).
  int kills = 0;
  for (bool last = false; !last; ++kills) {
    SleepMs(std::uniform_int_distribution<int>(100, 700)(random));
    // A moment while some download streams, when there is one soon.
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(2000);
    while (Clock::now() < end && fleet->Totals()[sim::kStreamingNow] == 0) SleepMs(1);
    if (fleet->Totals()[sim::kStreamingNow] > 0) ++during_downloads;
    server.Kill();
    SleepMs(std::uniform_int_distribution<int>(0, 300)(random));
    last = kills + 1 >= kMaxKills || (kills + 1 >= kKills && fleet->Totals()[sim::kScansDone] >= kAgents);
    if (last) server.Configure(KillConfig(server, port, false));  // the last start: no more scans
    ASSERT_EQ(server.Start(), port) << "start " << kills + 2 << "\n" << server.Log();
  }
  const sim::SXSimCounters during = fleet->Totals();
  const double kill_seconds = std::chrono::duration<double>(Clock::now() - kills_began).count();
  std::printf("%d kills in %.1f s, %d of them while a download streamed; %llu scans, %llu downloads begun\n", kills,
              kill_seconds, during_downloads, static_cast<unsigned long long>(during[sim::kScansDone]),
              static_cast<unsigned long long>(during[sim::kDownloadsStarted]));
  // Downloads of 145 KB on loopback stream for moments only: the kills must
  // have hit some of them, not a share.
  EXPECT_GE(during_downloads, 3);
  EXPECT_GE(during[sim::kScansDone], static_cast<uint64_t>(kAgents));

  // Every agent back, its scans ended and every snapshot it made taken.
  const bool settled = WaitUntil(
      [&] {
        const sim::SXSimCounters t = fleet->Totals();
        return t[sim::kOnlineNow] == kAgents && t[sim::kScanningNow] == 0 && t[sim::kStreamingNow] == 0 &&
               t[sim::kSnapshotsHeld] == 0;
      },
      30000);
  const sim::SXSimCounters after = fleet->Totals();
  std::printf("every agent back and every snapshot taken %.1f s after the last start\n",
              std::chrono::duration<double>(Clock::now() - kills_began).count() - kill_seconds);
  EXPECT_TRUE(settled) << "online " << after[sim::kOnlineNow] << ", scanning " << after[sim::kScanningNow]
                       << ", held " << after[sim::kSnapshotsHeld] << "\n" << server.Log();
  std::vector<sim::SXSimAgentState> states;
  for (size_t i = 0; i < fleet->size(); ++i) states.push_back(fleet->AgentState(i));
  std::map<int32_t, std::string> served;  // number -> the bytes every agent serves as it
  for (const sim::SXSimAgentState& s : states) {
    for (int32_t n = 1; n <= s.snapshot_count; ++n) {
      if (served.count(n) == 0) served[n] = *fleet->Served(sim::SnapshotVariant::kNormal, n);
    }
  }
  const Clock::time_point stopping = Clock::now();
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  fleet->Stop();
  std::printf("stopped in %.1f s\n", std::chrono::duration<double>(Clock::now() - stopping).count());

  // The store and the catalog, the server stopped.
  std::string error;
  std::unique_ptr<server::CXCatalog> catalog = server::OpenSqliteCatalog(server.data() + "/catalog.db", &error);
  ASSERT_NE(catalog, nullptr) << error;
  std::set<int32_t> agent_ids;
  uint64_t snapshots = 0;
  for (const sim::SXSimAgentState& s : states) {
    SCOPED_TRACE(s.name + ", id " + std::to_string(s.id));
    ASSERT_GT(s.id, 0);
    EXPECT_TRUE(agent_ids.insert(s.id).second) << "two agents with one id";
    EXPECT_TRUE(s.saved.empty());
    std::vector<server::SXSnapshotRow> rows;
    ASSERT_TRUE(catalog->ListSnapshots(s.id, &rows).ok());
    std::set<int32_t> numbers;
    for (const server::SXSnapshotRow& row : rows) {
      EXPECT_TRUE(numbers.insert(row.number).second) << "snapshot " << row.number << " catalogued twice";
      const std::string file = server.data() + "/" + row.path;
      ASSERT_TRUE(fs::exists(file)) << row.path;
      const std::string stored = ReadAll(file);
      EXPECT_EQ(static_cast<int64_t>(stored.size()), row.size) << row.path;
      EXPECT_TRUE(stored == served[row.number]) << row.path << " is not what the agent served";
    }
    // Snapshots 1 to the last it made, each once; nothing else in its folder.
    EXPECT_EQ(static_cast<int32_t>(numbers.size()), s.snapshot_count);
    if (!numbers.empty()) {
      EXPECT_EQ(*numbers.begin(), 1);
      EXPECT_EQ(*numbers.rbegin(), s.snapshot_count);
    }
    snapshots += numbers.size();
    const std::string folder = server.data() + "/machines/" + std::to_string(s.id);
    size_t files = 0;
    if (fs::exists(folder)) {
      for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".snp") == 0) ++files;
      }
    }
    EXPECT_EQ(files, numbers.size()) << folder;
  }
  // Machines no agent holds (an id given just before a kill, never heard
  // of by its agent) have no snapshot; no temporary file is left anywhere.
  std::vector<server::SXMachineRow> machines;
  ASSERT_TRUE(catalog->ListMachines(&machines).ok());
  for (const server::SXMachineRow& m : machines) {
    if (agent_ids.count(m.uid) != 0) continue;
    std::vector<server::SXSnapshotRow> rows;
    ASSERT_TRUE(catalog->ListSnapshots(m.uid, &rows).ok());
    EXPECT_TRUE(rows.empty()) << "machine " << m.uid << " of no agent has snapshots";
  }
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(server.data())) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << e.path().string();
  }
  std::printf("%llu snapshots of %d agents stored once each, byte for byte\n",
              static_cast<unsigned long long>(snapshots), kAgents);
  EXPECT_GE(snapshots, static_cast<uint64_t>(kAgents));
}

}  // namespace
}  // namespace orvalinth::test
