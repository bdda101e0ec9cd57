// Several fleet server nodes on one PostgreSQL catalog and one snapshot
// folder (tests/server/node_fixture.h): each due scan runs once, a node lost
// hands its agents to the others without losing or doubling a snapshot, a
// request made on one node reaches the machine on another, and the catalog
// away for 30 s costs nothing but time.
//
// NodesOnPostgres.* run in one process with one PostgreSQL (ctest's
// NodesOnPostgres); PostgresOutage.* stop that PostgreSQL, so they run in a
// process of their own (ctest's PostgresOutage).

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/node_fixture.h"
#include "server/server_process.h"

namespace orvalinth::test {
namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs() { return platform::UnixMicros() / 1000; }
int64_t NowS() { return NowMs() / 1000; }

std::vector<sim::SXSimAgentConfig> NamedAgents(const std::string& prefix, int n) {
  std::vector<sim::SXSimAgentConfig> agents;
  for (int i = 0; i < n; ++i) agents.push_back(SimAgent(prefix + std::to_string(10000 + i)));
  return agents;
}

// Every schedule of the catalog disabled: the machines stop scanning.
void StopSchedules(server::CXCatalog& catalog) {
  std::vector<server::SXScheduleRow> schedules;
  ASSERT_TRUE(catalog.ListSchedules(&schedules).ok());
  for (server::SXScheduleRow s : schedules) {
    s.enabled = false;
    ASSERT_TRUE(catalog.PutSchedule(s, nullptr).ok());
  }
}

// No scan running, no download, no snapshot held by any agent.
bool Settled(const sim::CXSimulatedFleet& fleet, uint64_t online, int deadline_ms) {
  return WaitUntil(
      [&] {
        const sim::SXSimCounters t = fleet.Totals();
        return t[sim::kOnlineNow] == online && t[sim::kScanningNow] == 0 && t[sim::kStreamingNow] == 0 &&
               t[sim::kSnapshotsHeld] == 0;
      },
      deadline_ms);
}

uint64_t ScansDone(NodeFixture& nodes, std::initializer_list<int> which) {
  uint64_t n = 0;
  for (int i : which) n += nodes.node(i).counters().scans_done.load();
  return n;
}

// ---- the claims, in the catalog ---------------------------------------------------

TEST(NodesOnPostgres, AScanIsClaimedByOneNodeOnly) {
  NodeFixture nodes(0);
  server::CXCatalog& catalog = nodes.catalog();
  server::SXMachineInfo info;
  info.uid = 7;
  info.name = "PC-07";
  info.seen_time = NowS();
  ASSERT_TRUE(catalog.UpsertMachine(info, nullptr).ok());
  server::SXNodeRow a, b;
  a.name = "a", b.name = "b";
  a.heartbeat_ms = b.heartbeat_ms = NowMs();
  a.dead_after_ms = b.dead_after_ms = 60000;
  int64_t ida = 0, idb = 0;
  int others = 0;
  ASSERT_TRUE(catalog.StartNode(a, &ida, &others).ok());
  ASSERT_TRUE(catalog.StartNode(b, &idb, &others).ok());
  EXPECT_EQ(others, 1);

  // A schedule's scan: the second node's claim finds the machine's open scan.
  int64_t first = 0, second = 0;
  const int64_t claimed = NowS();
  ASSERT_TRUE(catalog.ClaimScheduledScan(7, ida, "daily", claimed, 0, &first).ok());
  EXPECT_TRUE(catalog.ClaimScheduledScan(7, idb, "daily", claimed + 1, claimed, &second).conflict());
  // A person's scan waits for that one to end, then goes to the first node that claims it.
  int64_t asked = 0;
  EXPECT_TRUE(catalog.RequestScan(7, server::ScanOrigin::kPerson, "ann", "daily", NowS(), &asked).conflict());
  ASSERT_TRUE(catalog.EndScan(first, server::ScanState::kDone, NowS(), 1, "snapshot 1").ok());
  // Nor, once that one has ended, from the list that found the machine due before it.
  EXPECT_TRUE(catalog.ClaimScheduledScan(7, idb, "daily", NowS(), 0, &second).conflict());
  ASSERT_TRUE(catalog.RequestScan(7, server::ScanOrigin::kPerson, "ann", "daily", NowS(), &asked).ok());
  std::vector<server::SXScanRow> by_b, by_a;
  ASSERT_TRUE(catalog.ClaimRequestedScans(idb, {7, 8}, &by_b).ok());
  ASSERT_TRUE(catalog.ClaimRequestedScans(ida, {7}, &by_a).ok());
  ASSERT_EQ(by_b.size(), 1u);
  EXPECT_EQ(by_b[0].id, asked);
  EXPECT_TRUE(by_a.empty());
  // Node b dies: its person's scan, not begun, is given back, and a takes it.
  ASSERT_TRUE(catalog.BeatNode(ida, NowMs() + 120000).ok());
  int64_t ended = -1;
  ASSERT_TRUE(catalog.EndScansOfDeadNodes(NowMs() + 120000, NowS(), &ended).ok());
  EXPECT_EQ(ended, 0);
  ASSERT_TRUE(catalog.ClaimRequestedScans(ida, {7}, &by_a).ok());
  ASSERT_EQ(by_a.size(), 1u);
  // Started on a, then a dies: the scan ends, so the schedule runs again.
  ASSERT_TRUE(catalog.StartScan(asked, NowS()).ok());
  ASSERT_TRUE(catalog.EndScansOfDeadNodes(NowMs() + 240000, NowS(), &ended).ok());
  EXPECT_EQ(ended, 1);
  server::SXScanRow row;
  ASSERT_TRUE(catalog.GetScan(asked, &row).ok());
  EXPECT_EQ(row.state, server::ScanState::kFailed);
  EXPECT_EQ(row.result, "node a stopped answering");
}

// ---- messages between nodes ----------------------------------------------------------

TEST(NodesOnPostgres, TheBusCarriesMessagesOfAnySizeToTheNodeNamed) {
  NodeFixture nodes(0);
  std::string error;
  std::unique_ptr<server::CXNodeBus> sender = nodes.catalog().OpenNodeBus(&error);
  std::unique_ptr<server::CXNodeBus> receiver = nodes.catalog().OpenNodeBus(&error);
  ASSERT_NE(sender, nullptr) << error;
  std::mutex mutex;
  std::vector<std::string> got;
  ASSERT_TRUE(sender->Start(1, [](const std::string&) {}, &error)) << error;
  ASSERT_TRUE(receiver->Start(2, [&](const std::string& m) {
    std::lock_guard<std::mutex> lock(mutex);
    got.push_back(m);
  }, &error)) << error;
  // Up to a notification's payload, and past it (through a row).
  const std::vector<size_t> sizes = {1, 7900, 7901, 200000};
  for (size_t size : sizes) ASSERT_TRUE(sender->Send(2, std::string(size, 'x'), &error)) << error;
  ASSERT_TRUE(sender->Send(3, "to nobody here", &error)) << error;
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return got.size() >= sizes.size();
  }));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(got.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(got[i], std::string(sizes[i], 'x'));
  EXPECT_EQ(nodes.Query("SELECT count(*) FROM node_messages"), "0\n");  // taken once, then gone
}

TEST(NodesOnPostgres, AnActionOnOneNodeReachesTheMachineOnAnother) {
  NodeFixture nodes(2);
  // Both agents on node 1 (a single address each).
  sim::SXSimFleetConfig config;
  config.host = "127.0.0.1";
  config.port = nodes.node(1).port();
  config.snapshot = FleetFixture::Snapshot();
  config.agents = NamedAgents("FAR-", 2);
  config.timing = FastSimTiming();
  config.timing.scan_ms = 5000;  // long enough to be stopped
  sim::CXSimulatedFleet fleet(std::move(config));
  std::string error;
  ASSERT_TRUE(fleet.Start(&error)) << error;
  ASSERT_TRUE(WaitForCounter(fleet, sim::kOnlineNow, 2));
  // Linked in the catalog, and each agent told its id (the catalog's row may come first).
  ASSERT_TRUE(WaitUntil([&] { return nodes.MachinesOn(1) == 2 && fleet.AgentState(0).id > 0 && fleet.AgentState(1).id > 0; }));
  const int32_t uid = fleet.AgentState(0).id;
  server::CXFleetServer& near = nodes.node(0);
  EXPECT_TRUE(near.IsOnline(uid));

  const server::SXActionResult drives =
      Call([&](server::CXFleetActions::Done d) { near.Browse(uid, server::BrowseKind::kDrives, "", d); });
  ASSERT_TRUE(drives.ok) << drives.error << ": " << drives.message;
  EXPECT_EQ(drives.data["drives"][0]["name"], "C:\\");
  const server::SXActionResult folder =
      Call([&](server::CXFleetActions::Done d) { near.Browse(uid, server::BrowseKind::kFolder, "C:\\", d); });
  ASSERT_TRUE(folder.ok) << folder.error << ": " << folder.message;
  EXPECT_EQ(folder.data["path"], "C:\\");
  EXPECT_FALSE(folder.data["entries"].empty());

  // A scan asked for on node 0 runs on node 1, once, and is stopped there through node 0.
  const server::SXActionResult scan =
      Call([&](server::CXFleetActions::Done d) { near.ScanNow(uid, "daily", "ann", d); });
  ASSERT_TRUE(scan.ok) << scan.error << ": " << scan.message;
  const int64_t scan_id = scan.data["scan"].get<int64_t>();
  server::SXScanRow row;
  ASSERT_TRUE(WaitUntil([&] {
    return nodes.node(1).counters().scans_started.load() == 1 && nodes.catalog().GetScan(scan_id, &row).ok() &&
           row.state == server::ScanState::kStarted;
  }));
  const server::SXActionResult stopped =
      Call([&](server::CXFleetActions::Done d) { near.StopScan(uid, "bob", d); });
  ASSERT_TRUE(stopped.ok) << stopped.error << ": " << stopped.message;
  EXPECT_EQ(stopped.data["scan"].get<int64_t>(), scan_id);
  // The holding node answers, then writes the scan's end.
  EXPECT_TRUE(WaitUntil([&] {
    return nodes.catalog().GetScan(scan_id, &row).ok() && row.state == server::ScanState::kStopped;
  }));
  EXPECT_EQ(row.result, "stopped by bob");
  EXPECT_EQ(near.counters().scans_started.load(), 0u);

  // Uninstall, through node 0: the agent ends for good.
  const server::SXActionResult gone =
      Call([&](server::CXFleetActions::Done d) { near.Uninstall(fleet.AgentState(1).id, "ann", d); });
  ASSERT_TRUE(gone.ok) << gone.error << ": " << gone.message;
  ASSERT_TRUE(WaitUntil([&] { return fleet.AgentState(1).ended; }));

  // Node 1 lost: asked of node 0, the machine is on a node that stopped answering.
  nodes.KillNode(1);
  // Its rows still say online on node 1 until node 1 counts as dead.
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<int32_t> reconnecting;
    return nodes.catalog().ReconnectingMachines(NowMs(), &reconnecting).ok() && !reconnecting.empty();
  }));
  const server::SXActionResult lost =
      Call([&](server::CXFleetActions::Done d) { near.Browse(uid, server::BrowseKind::kDrives, "", d); });
  EXPECT_EQ(lost.error, "node-unreachable") << lost.message;
  EXPECT_FALSE(near.IsOnline(uid));
}

// ---- two nodes under a fleet ---------------------------------------------------------

// 2,000 agents over two nodes, every machine scanned every 20 s at its own
// moment: each slot due in a window of 10 s has exactly one scan.
TEST(NodesOnPostgres, TwoNodesRunEachDueScanOnce) {
  constexpr int kAgents = 2000;
  constexpr int64_t kEvery = 20;
  NodeFixture nodes(2, ScheduledConfig(kEvery, kEvery));
  sim::SXSimTiming timing = FastSimTiming();
  timing.reconnect_ms = 300;
  sim::CXSimulatedFleet& fleet = nodes.Agents(NamedAgents("DUE-", kAgents), Shared(RealSnapshotBytes(4)), timing, 2);
  // Greeted and catalogued (first seen): from then on each slot is due.
  // On a loaded machine 2,000 greetings take a while: a deadline only.
  ASSERT_TRUE(WaitUntil([&] { return nodes.MachinesOn(0) + nodes.MachinesOn(1) == kAgents; }, 60000));
  EXPECT_GT(nodes.MachinesOn(0), 0);
  EXPECT_GT(nodes.MachinesOn(1), 0);
  const int64_t from = NowS() + 1;
  const int64_t until = from + 10;
  std::this_thread::sleep_for(std::chrono::seconds(until - NowS() + 1));  // the window, and the last claims

  // The scans of the schedule, by machine: the slot each was asked for in.
  std::map<int32_t, std::map<int64_t, int>> slots;
  const std::string rows = nodes.Query("SELECT uid, requested_time FROM scans WHERE origin = 0");
  std::istringstream in(rows);
  for (std::string line; std::getline(in, line);) {
    const int32_t uid = std::atoi(line.c_str());
    const int64_t time = std::atoll(line.c_str() + line.find('|') + 1);
    ++slots[uid][(time - server::ScheduleJitter(uid, kEvery)) / kEvery];
  }
  int due = 0, missed = 0, doubled = 0;
  for (size_t i = 0; i < fleet.size(); ++i) {
    const int32_t uid = fleet.AgentState(i).id;
    const int64_t jitter = server::ScheduleJitter(uid, kEvery);
    for (int64_t slot = (from - jitter) / kEvery; slot * kEvery + jitter <= until - 5; ++slot) {
      if (slot * kEvery + jitter < from) continue;
      ++due;
      const int n = slots[uid].count(slot) != 0 ? slots[uid][slot] : 0;
      missed += n == 0 ? 1 : 0;
      doubled += n > 1 ? 1 : 0;
    }
    for (const auto& [slot, n] : slots[uid]) doubled += n > 1 && slot * kEvery + jitter < from ? 1 : 0;
  }
  std::printf("%d scans due in the window, %llu and %llu scans done by the two nodes\n", due,
              static_cast<unsigned long long>(nodes.node(0).counters().scans_done.load()),
              static_cast<unsigned long long>(nodes.node(1).counters().scans_done.load()));
  EXPECT_GT(due, kAgents / 4);
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(nodes.Query("SELECT count(*) FROM (SELECT uid FROM scans WHERE state < 2 GROUP BY uid "
                        "HAVING count(*) > 1) AS twice"),
            "0\n");
}

// A node killed mid-run: its machines show reconnecting, then online on the
// other; the dead node shows dead; every snapshot is stored once.
TEST(NodesOnPostgres, AKilledNodesAgentsMoveAndEverySnapshotIsStoredOnce) {
  constexpr int kAgents = 200;
  NodeFixture nodes(2, ScheduledConfig(2, 2));
  sim::SXSimTiming timing = FastSimTiming();
  timing.reconnect_ms = 600;
  timing.scan_ms = 100;
  sim::CXSimulatedFleet& fleet = nodes.Agents(NamedAgents("KILL-", kAgents), Shared(RealSnapshotBytes(3000)), timing, 2);
  ASSERT_TRUE(WaitUntil([&] { return fleet.Totals()[sim::kOnlineNow] == kAgents; }));
  ASSERT_TRUE(WaitUntil([&] { return ScansDone(nodes, {0, 1}) >= kAgents; }, 60000));
  const int64_t on_first = nodes.MachinesOn(0);
  ASSERT_GT(on_first, 0);

  nodes.KillNode(0);
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<int32_t> reconnecting;
    return nodes.catalog().ReconnectingMachines(NowMs(), &reconnecting).ok() && !reconnecting.empty();
  })) << "the dead node's machines never showed as reconnecting";
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<int32_t> reconnecting;
    return nodes.MachinesOn(1) == kAgents && nodes.catalog().ReconnectingMachines(NowMs(), &reconnecting).ok() &&
           reconnecting.empty();
  })) << nodes.MachinesOn(1) << " machines on node 1";
  std::vector<server::SXNodeRow> rows;
  ASSERT_TRUE(nodes.catalog().ListNodes(NowMs(), &rows).ok());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].alive);
  EXPECT_FALSE(rows[0].stopped);
  EXPECT_TRUE(rows[1].alive);

  // Node 1 goes on scanning the machines it took over.
  const uint64_t before = ScansDone(nodes, {1});
  ASSERT_TRUE(WaitUntil([&] { return ScansDone(nodes, {1}) >= before + kAgents; }, 60000));
  StopSchedules(nodes.catalog());
  ASSERT_TRUE(Settled(fleet, kAgents, 60000));
  uint64_t stored = 0;
  nodes.ExpectEachSnapshotStoredOnce(fleet, &stored);
  std::printf("%lld machines moved from the killed node; %llu snapshots stored once each\n",
              static_cast<long long>(on_first), static_cast<unsigned long long>(stored));
  EXPECT_EQ(nodes.Query("SELECT count(*) FROM scans WHERE state < 2"), "0\n");
}

// The same with a real process: `orvalinth server` on the catalog, killed
// (SIGKILL) while its agents' snapshots stream; the nodes are told apart by
// their rows only.
TEST(NodesOnPostgres, AServerProcessKilledLeavesItsMachinesReconnectingThenOnTheOtherNode) {
  constexpr int kAgents = 60;
  NodeFixture nodes(1);
  ServerProcess process(nodes.data() + "-process", nodes.data());
  std::ostringstream config;
  config << "[server]\nlisten = 127.0.0.1:0\nweb-listen = off\ndata = " << nodes.data()
         << "\ncatalog = " << nodes.conninfo() << "\nnode-name = process\nnode-heartbeat = 1s\n"
         << "keep-snapshots = 0\n";
  process.Configure(config.str());
  const uint16_t port = process.Start();
  ASSERT_NE(port, 0) << process.Log();
  // Half the agents start at the process; they come back after 4 s, past the
  // 3 s that make the process dead, and move on to the other node.
  std::vector<sim::SXSimAgentConfig> agents = NamedAgents("PROC-", kAgents);
  for (sim::SXSimAgentConfig& a : agents) a.saved = 3;
  sim::SXSimTiming timing = FastSimTiming();
  timing.reconnect_ms = 4000;
  sim::SXSimFleetConfig c;
  c.host = "127.0.0.1";
  c.port = port;
  c.more_servers = {{"127.0.0.1", nodes.node(0).port()}};
  c.snapshot = Shared(RealSnapshotBytes(13000));
  c.agents = agents;
  c.timing = timing;
  sim::CXSimulatedFleet fleet(std::move(c));
  std::string error;
  ASSERT_TRUE(fleet.Start(&error)) << error;
  ASSERT_TRUE(WaitUntil([&] { return fleet.Totals()[sim::kStreamingNow] > 0; }));
  process.Kill();
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<int32_t> reconnecting;
    return nodes.catalog().ReconnectingMachines(NowMs(), &reconnecting).ok() && !reconnecting.empty();
  })) << "the killed node's machines never showed as reconnecting";
  ASSERT_TRUE(Settled(fleet, kAgents, 30000));
  ASSERT_TRUE(WaitUntil([&] { return nodes.MachinesOn(0) == kAgents; }));
  // A machine the process gave an id just before it died, its agent never
  // told: offline once the process is dead a while, not reconnecting for ever.
  EXPECT_TRUE(WaitUntil([&] {
    std::vector<int32_t> reconnecting;
    return nodes.catalog().ReconnectingMachines(NowMs(), &reconnecting).ok() && reconnecting.empty();
  }));
  // What the process left in the folder (downloads cut short) goes at the
  // next start of a node alone, as it would after one server's crash.
  nodes.StopNode(0);
  nodes.StartNode(0);
  ASSERT_TRUE(WaitUntil([&] { return fleet.Totals()[sim::kOnlineNow] == kAgents; }));
  uint64_t stored = 0;
  nodes.ExpectEachSnapshotStoredOnce(fleet, &stored);
  EXPECT_EQ(stored, 3u * kAgents);
}

// ---- the catalog away ----------------------------------------------------------------

TEST(PostgresOutage, ThirtySecondsWithoutPostgresLoseNothing) {
  constexpr int kAgents = 100;
  NodeFixture nodes(2, ScheduledConfig(3, 3));
  sim::SXSimTiming timing = FastSimTiming();
  timing.reconnect_ms = 500;
  sim::CXSimulatedFleet& fleet = nodes.Agents(NamedAgents("OUT-", kAgents), Shared(RealSnapshotBytes(200)), timing);
  // One more agent, that goes away while PostgreSQL is away.
  sim::CXSimulatedFleet& leaving = nodes.Agents(NamedAgents("GONE-", 1), Shared(RealSnapshotBytes(200)), timing);
  ASSERT_TRUE(WaitUntil([&] { return fleet.Totals()[sim::kOnlineNow] == kAgents; }));
  ASSERT_TRUE(WaitForCounter(leaving, sim::kOnlineNow, 1));
  ASSERT_TRUE(WaitUntil([&] { return ScansDone(nodes, {0, 1}) >= kAgents; }, 60000));
  const uint64_t links = fleet.Totals()[sim::kLinks];
  const std::string gone = "SELECT online FROM machines WHERE uid = " + std::to_string(leaving.AgentState(0).id);

  std::string error;
  ASSERT_TRUE(CXPgTestServer::Get().StopServer(&error)) << error;
  const Clock::time_point stopped = Clock::now();
  // The outage itself: 30 s, on the clock.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  leaving.Stop();
  std::this_thread::sleep_for(std::chrono::seconds(25));
  EXPECT_EQ(fleet.Totals()[sim::kOnlineNow], static_cast<uint64_t>(kAgents));
  ASSERT_TRUE(CXPgTestServer::Get().StartServer(&error)) << error;
  // The link that ended meanwhile is written offline once PostgreSQL is back.
  EXPECT_TRUE(WaitUntil([&] { return nodes.Query(gone) == "0\n"; })) << nodes.Query(gone);
  std::printf("PostgreSQL away for %.1f s\n", std::chrono::duration<double>(Clock::now() - stopped).count());

  // Scans go on on both nodes, and both listen again.
  const uint64_t before = ScansDone(nodes, {0, 1});
  ASSERT_TRUE(WaitUntil([&] { return ScansDone(nodes, {0, 1}) >= before + kAgents; }, 60000));
  ASSERT_TRUE(WaitUntil([&] { return nodes.node(0).bus_listening() && nodes.node(1).bus_listening(); }));
  StopSchedules(nodes.catalog());
  ASSERT_TRUE(Settled(fleet, kAgents, 60000));
  EXPECT_EQ(fleet.Totals()[sim::kLinks], links) << "links were made again";
  uint64_t stored = 0;
  nodes.ExpectEachSnapshotStoredOnce(fleet, &stored);
  EXPECT_EQ(nodes.Query("SELECT count(*) FROM scans WHERE state < 2"), "0\n");
  // The comparisons held back by the outage run after it, behind the scans:
  // on a loaded machine a few a second.
  EXPECT_TRUE(WaitUntil([&] { return nodes.Query("SELECT count(*) FROM snapshots WHERE compared = 0") == "0\n"; },
                        60000))
      << "snapshots left uncompared";
  std::printf("%llu snapshots stored once each\n", static_cast<unsigned long long>(stored));
}

}  // namespace
}  // namespace orvalinth::test
