// The fleet server whole, in this process: simulated agents on loopback
// against CXFleetServer with its SQLite catalog and its store in a temporary
// folder. Ids, downloads stored before their acknowledgement, scans asked
// for, scheduled and stopped, copied machines, clocks that are off, links
// that vanish or misbehave, snapshots that do not read, the server's own
// disk failing or stalling, the limit of downloads at once, what an idle
// link holds, and the stop.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>

#include "fakes/faulty_files.h"
#include "platform/clock.h"
#include "platform/facility.h"
#include "platform/files.h"
#include "server/fleet_fixture.h"

namespace orvalinth::server {
namespace {

using sim::HostileMode;
using sim::SnapshotVariant;
using test::FleetFixture;
using test::SimAgent;
using test::WaitUntil;

int64_t NowSeconds() { return platform::UnixMicros() / 1000000; }

// The agent's id once the server has taken it: the agent is online with it
// and the catalog has the machine of that id under the agent's name, online.
int32_t WaitForId(FleetFixture& f, sim::CXSimulatedFleet& fleet, size_t index) {
  int32_t id = 0;
  EXPECT_TRUE(WaitUntil([&] {
    const sim::SXSimAgentState state = fleet.AgentState(index);
    SXMachineRow row;
    id = state.id;
    return id != 0 && state.online && f.catalog().GetMachine(id, &row).ok() && row.online && row.name == state.name;
  })) << "agent " << index << " got no id";
  return id;
}

bool WaitForCounter(sim::CXSimulatedFleet& fleet, size_t index, sim::SimCounter counter, uint64_t at_least) {
  return WaitUntil([&] { return fleet.AgentCounters(index)[counter] >= at_least; });
}

// Waits until the machine's snapshots `numbers` are in the catalog and the
// agent holds none of them any more.
bool WaitForStored(FleetFixture& f, sim::CXSimulatedFleet& fleet, size_t index, int32_t uid,
                   const std::set<int32_t>& numbers) {
  return WaitUntil([&] {
    std::set<int32_t> catalogued;
    for (const SXSnapshotRow& row : f.Snapshots(uid)) catalogued.insert(row.number);
    for (int32_t n : numbers) {
      if (catalogued.count(n) == 0) return false;
    }
    for (int32_t n : fleet.AgentState(index).saved) {
      if (numbers.count(n) != 0) return false;
    }
    return true;
  });
}

// Every snapshot row of the machine names a file in place holding exactly
// the bytes the agents serve as that number.
void ExpectStoredAsServed(FleetFixture& f, sim::CXSimulatedFleet& fleet, int32_t uid,
                          SnapshotVariant variant = SnapshotVariant::kNormal) {
  for (const SXSnapshotRow& row : f.Snapshots(uid)) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(row.path, CXSnapshotStore::RelativePath(uid, row.number));
    const std::string stored = f.StoredBytes(row.path);
    EXPECT_EQ(static_cast<int64_t>(stored.size()), row.size);
    EXPECT_TRUE(stored == *fleet.Served(variant, row.number)) << "the stored file differs from what the agent sent";
  }
}

bool NoPartFile(const FleetFixture& f) {
  for (const std::string& file : f.StoredFiles()) {
    if (file.size() > 5 && file.compare(file.size() - 5, 5, ".part") == 0) return false;
  }
  return true;
}

// ---- ids ----------------------------------------------------------------------

TEST(FleetServer, AgentsWithoutAnIdGetDistinctFreshOnesKeptAcrossReconnects) {
  const struct {
    const char* name;
    std::vector<int32_t> ids;  // the agents' ids at the start
  } cases[] = {
      {"three new machines", {0, 0, 0}},
      {"new machines beside one that has its id", {0, 42, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    std::vector<sim::SXSimAgentConfig> agents;
    for (size_t i = 0; i < c.ids.size(); ++i) {
      agents.push_back(SimAgent("PC-" + std::to_string(i + 1)));
      agents.back().id = c.ids[i];
    }
    sim::CXSimulatedFleet& fleet = f.Agents(agents);
    std::vector<int32_t> ids;
    for (size_t i = 0; i < agents.size(); ++i) ids.push_back(WaitForId(f, fleet, i));
    EXPECT_EQ(std::set<int32_t>(ids.begin(), ids.end()).size(), ids.size()) << "two agents got one id";
    for (size_t i = 0; i < agents.size(); ++i) {
      EXPECT_GT(ids[i], 0);
      if (c.ids[i] != 0) {
        EXPECT_EQ(ids[i], c.ids[i]);
      }
      EXPECT_EQ(fleet.AgentCounters(i)[sim::kIdsAssigned], c.ids[i] == 0 ? 1u : 0u) << "agent " << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return f.Machines().size() == agents.size(); }));

    // Each link dropped: the agent comes back with its id and gets no other.
    for (size_t i = 0; i < agents.size(); ++i) fleet.DropLink(i);
    ASSERT_TRUE(WaitUntil([&] { return f.counters().greeted.load() >= 2 * agents.size(); }));
    for (size_t i = 0; i < agents.size(); ++i) {
      EXPECT_EQ(WaitForId(f, fleet, i), ids[i]);
      EXPECT_EQ(fleet.AgentCounters(i)[sim::kIdsAssigned], c.ids[i] == 0 ? 1u : 0u) << "agent " << i;
    }
    const std::vector<SXMachineRow> machines = f.Machines();
    ASSERT_EQ(machines.size(), agents.size());
    for (const SXMachineRow& m : machines) {
      EXPECT_NE(std::find(ids.begin(), ids.end(), m.uid), ids.end()) << m.uid;
    }
  }
}

// ---- downloads ----------------------------------------------------------------

TEST(FleetServer, HeldSnapshotsAreStoredAsSentCataloguedOnceThenAcknowledged) {
  const struct {
    const char* name;
    std::vector<int32_t> held;  // snapshots each agent holds at the start (1..n)
    int32_t catalogued;         // of the first agent (id 7), stored by an earlier run: 1..n
  } cases[] = {
      {"held at the start", {2, 3}, 0},
      {"one of them stored before its acknowledgement was lost", {3}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    std::vector<sim::SXSimAgentConfig> agents;
    for (size_t i = 0; i < c.held.size(); ++i) agents.push_back(SimAgent("PC-" + std::to_string(i + 1), c.held[i]));
    if (c.catalogued > 0) {
      agents[0].id = 7;
      SXMachineInfo info;
      info.uid = 7;
      info.name = agents[0].name;
      info.seen_time = NowSeconds();
      ASSERT_TRUE(f.catalog().UpsertMachine(info, nullptr).ok());
      ASSERT_TRUE(f.catalog().SetMachineOnline(7, false, NowSeconds()).ok());
      sim::CXSnapshotVariants variants(FleetFixture::Snapshot(), "");
      for (int32_t n = 1; n <= c.catalogued; ++n) {
        const sim::SnapshotBytes bytes = variants.Get(SnapshotVariant::kNormal, n);
        std::string error;
        std::unique_ptr<CXStoreDownload> d = f.store().Begin(7, n, &error);
        ASSERT_NE(d, nullptr) << error;
        ASSERT_TRUE(d->Write(bytes->data(), bytes->size()));
        SXStoredSnapshot stored;
        ASSERT_TRUE(d->Finish(static_cast<int64_t>(bytes->size()), &stored)) << d->error();
        ASSERT_TRUE(f.store().Catalogue(f.catalog(), stored, NowSeconds(), nullptr, &error)) << error;
      }
    }
    sim::CXSimulatedFleet& fleet = f.Agents(agents);
    size_t total = 0;
    for (size_t i = 0; i < agents.size(); ++i) {
      const int32_t uid = WaitForId(f, fleet, i);
      std::set<int32_t> numbers;
      for (int32_t n = 1; n <= c.held[i]; ++n) numbers.insert(n);
      ASSERT_TRUE(WaitForStored(f, fleet, i, uid, numbers)) << "agent " << i;
      EXPECT_TRUE(WaitForCounter(fleet, i, sim::kSnapshotsAcknowledged, static_cast<uint64_t>(c.held[i])));
      EXPECT_TRUE(fleet.AgentState(i).saved.empty());
      const std::vector<SXSnapshotRow> rows = f.Snapshots(uid);
      EXPECT_EQ(rows.size(), numbers.size()) << "a snapshot catalogued twice";
      ExpectStoredAsServed(f, fleet, uid);
      // Those stored before are compared too: no one did when they landed.
      EXPECT_TRUE(WaitUntil([&] {
        const std::vector<SXSnapshotRow> now = f.Snapshots(uid);
        return std::all_of(now.begin(), now.end(), [](const SXSnapshotRow& r) { return r.compared; });
      })) << "agent " << i << ": a snapshot left uncompared";
      const uint64_t downloads = static_cast<uint64_t>(c.held[i] - (i == 0 ? c.catalogued : 0));
      EXPECT_EQ(fleet.AgentCounters(i)[sim::kDownloadsStarted], downloads) << "agent " << i;
      total += downloads;
    }
    EXPECT_EQ(f.counters().snapshots_stored.load(), total);
    EXPECT_EQ(f.counters().snapshots_again.load(), static_cast<uint64_t>(c.catalogued));
    EXPECT_TRUE(NoPartFile(f));
  }
}

// ---- scans --------------------------------------------------------------------

TEST(FleetServer, ScansAskedForOrScheduledAreRunStoredAndCompared) {
  const struct {
    const char* name;
    bool scheduled;  // else asked for by a person, as "orvalinth fleet scan-now" does
  } cases[] = {
      {"asked for by a person", false},
      {"by a schedule", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    if (c.scheduled) {
      SXScheduleRow schedule;
      schedule.group = "*";
      schedule.interval_seconds = 1;
      schedule.profile = "daily";
      schedule.created_time = NowSeconds() - 10;
      ASSERT_TRUE(f.catalog().PutSchedule(schedule, nullptr).ok());
    }
    // Snapshot 1 held at the start: the scan's snapshot 2 is compared with it.
    sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1", 1)});
    const int32_t uid = WaitForId(f, fleet, 0);
    ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1}));
    int64_t scan_id = 0;
    if (!c.scheduled) {
      ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan_id).ok());
    }
    ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1, 2})) << f.Log();
    EXPECT_EQ(fleet.AgentState(0).scan_targets, "files part.+ver, regs part., all apps");
    std::vector<SXScanRow> scans;
    ASSERT_TRUE(f.catalog().ListScans(uid, 10, &scans).ok());
    ASSERT_FALSE(scans.empty());
    const SXScanRow& scan = scans.back();  // the first
    if (!c.scheduled) {
      EXPECT_EQ(scan.id, scan_id);
    }
    EXPECT_EQ(scan.origin, c.scheduled ? ScanOrigin::kSchedule : ScanOrigin::kPerson);
    EXPECT_EQ(scan.profile, "daily");
    EXPECT_EQ(scan.state, ScanState::kDone);
    EXPECT_EQ(scan.snapshot_number, 2);
    EXPECT_GT(scan.started_time, 0);
    ExpectStoredAsServed(f, fleet, uid);

    std::vector<SXSnapshotRow> rows;
    ASSERT_TRUE(WaitUntil([&] {
      rows = f.Snapshots(uid);
      return rows.size() >= 2 && rows[0].compared && rows[1].compared;
    })) << f.Log();
    SXComparisonRow comparison;
    EXPECT_TRUE(f.catalog().GetComparison(rows[0].id, &comparison).not_found()) << "the first has nothing to compare with";
    ASSERT_TRUE(f.catalog().GetComparison(rows[1].id, &comparison).ok());
    EXPECT_EQ(comparison.old_snapshot_id, rows[0].id);
    EXPECT_EQ(comparison.old_number, 1);
    EXPECT_EQ(comparison.new_number, 2);
  }
}

TEST(FleetServer, AScanThatCannotFinishEndsAndTheMachineScansAgain) {
  const struct {
    const char* name;
    const char* profile;   // of the first scan asked for
    bool stop;             // stopped by a person while it runs
    ScanState state;       // how the first scan ends
    const char* result;    // in its result
  } cases[] = {
      {"stopped by a person", "daily", true, ScanState::kStopped, "stopped by a person"},
      {"a profile that is not there", "nightly", false, ScanState::kFailed, "no target profile \"nightly\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    sim::SXSimTiming timing = test::FastSimTiming();
    timing.scan_ms = 800;  // long enough to be stopped
    sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")}, FleetFixture::Snapshot(), timing);
    const int32_t uid = WaitForId(f, fleet, 0);
    int64_t first = 0;
    ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", c.profile, NowSeconds(), &first).ok());
    if (c.stop) {
      ASSERT_TRUE(WaitForCounter(fleet, 0, sim::kScansStarted, 1));
      // As "orvalinth fleet stop-scan" does.
      ASSERT_TRUE(f.catalog().EndScan(first, ScanState::kStopped, NowSeconds(), 0, "stopped by a person").ok());
      EXPECT_TRUE(WaitForCounter(fleet, 0, sim::kScansStopped, 1)) << "the agent was not told";
    }
    SXScanRow row;
    ASSERT_TRUE(WaitUntil([&] { return f.catalog().GetScan(first, &row).ok() && row.state == c.state; })) << f.Log();
    EXPECT_NE(row.result.find(c.result), std::string::npos) << row.result;
    int64_t second = 0;
    ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &second).ok());
    ASSERT_TRUE(WaitUntil([&] { return f.catalog().GetScan(second, &row).ok() && row.state == ScanState::kDone; }))
        << "the machine does not scan again";
    ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1}));
    ASSERT_TRUE(f.catalog().GetScan(first, &row).ok());
    EXPECT_EQ(row.state, c.state) << "the first scan's end was overwritten";
  }
}

// A scan without "scan-done" past the scan time limit is stopped (the agent
// is told) and ends as such in the catalog.
TEST(FleetServer, AScanBeyondTheTimeLimitIsStoppedAndSaysSo) {
  server::SXFleetTuning tuning = test::QuickTuning();
  tuning.scan_ms = 300;
  FleetFixture f(test::QuickServerConfig(), tuning);
  sim::SXSimTiming timing = test::FastSimTiming();
  timing.scan_ms = 60000;
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")}, FleetFixture::Snapshot(), timing);
  const int32_t uid = WaitForId(f, fleet, 0);
  int64_t scan = 0;
  ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan).ok());
  SXScanRow row;
  ASSERT_TRUE(WaitUntil([&] { return f.catalog().GetScan(scan, &row).ok() && row.state == ScanState::kStopped; }))
      << f.Log();
  EXPECT_NE(row.result.find("no \"scan-done\" within 0.3 s (scan-timeout)"), std::string::npos) << row.result;
  EXPECT_TRUE(WaitForCounter(fleet, 0, sim::kScansStopped, 1)) << "the agent was not told";
}

// ---- two links, one id ----------------------------------------------------------

TEST(FleetServer, TwoLinksClaimingOneIdAreToldApart) {
  // A machine's history is never mixed with another's: an agent claiming an
  // id under another name than the catalog's, or than the live link's, is a
  // copy of a machine image (or a renamed machine) and gets an id of its own.
  const struct {
    const char* name;
    bool catalogued;                      // id 5 is PC-1's in the catalog, offline
    const char* online;                   // a first agent, online with its fresh id (else the id is 5)
    std::vector<const char*> claimants;   // then these claim that id, all at once
    const char* keeps;                    // which claimant keeps it (null: none)
    bool replaced;                        // the first agent's link is replaced
  } cases[] = {
      {"a copy while the original is online", false, "PC-1", {"PC-COPY"}, nullptr, false},
      {"the same machine on a new link", false, "PC-1", {"PC-1"}, "PC-1", true},
      {"a copy while the original is offline", true, nullptr, {"PC-COPY"}, nullptr, false},
      {"the original and its copy at once", true, nullptr, {"PC-COPY", "PC-1"}, "PC-1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    int32_t claimed = 5;
    if (c.catalogued) {
      SXMachineInfo info;
      info.uid = 5;
      info.name = "PC-1";
      ASSERT_TRUE(f.catalog().UpsertMachine(info, nullptr).ok());
      ASSERT_TRUE(f.catalog().SetMachineOnline(5, false, NowSeconds()).ok());
    }
    sim::CXSimulatedFleet* first = nullptr;
    if (c.online != nullptr) {
      sim::SXSimTiming slow = test::FastSimTiming();
      slow.reconnect_ms = 60000;  // a replaced link does not come back during the test
      first = &f.Agents({SimAgent(c.online)}, FleetFixture::Snapshot(), slow);
      claimed = WaitForId(f, *first, 0);
    }
    std::vector<sim::SXSimAgentConfig> claimants;
    for (const char* name : c.claimants) {
      claimants.push_back(SimAgent(name, 1));
      claimants.back().id = claimed;
    }
    sim::CXSimulatedFleet& fleet = f.Agents(claimants);
    std::set<int32_t> ids;
    for (size_t i = 0; i < claimants.size(); ++i) {
      SCOPED_TRACE(c.claimants[i]);
      const int32_t id = WaitForId(f, fleet, i);
      const bool keeps = c.keeps != nullptr && std::string(c.keeps) == c.claimants[i];
      EXPECT_EQ(id == claimed, keeps);
      EXPECT_EQ(fleet.AgentCounters(i)[sim::kIdsAssigned], keeps ? 0u : 1u);
      ASSERT_TRUE(WaitForStored(f, fleet, i, id, {1}));
      EXPECT_EQ(fleet.AgentCounters(i)[sim::kDrops], 0u);
      ids.insert(id);
    }
    EXPECT_EQ(ids.size(), claimants.size());
    if (first != nullptr) {
      if (c.replaced) {
        EXPECT_TRUE(WaitForCounter(*first, 0, sim::kDrops, 1)) << "the old link was not replaced";
        EXPECT_TRUE(f.WaitForLog("replaced by a new link from the same machine"));
      } else {
        EXPECT_EQ(first->AgentCounters(0)[sim::kDrops], 0u);
        EXPECT_EQ(first->AgentState(0).id, claimed);
      }
    }
    SXMachineRow row;
    ASSERT_TRUE(f.catalog().GetMachine(claimed, &row).ok());
    EXPECT_EQ(row.name, "PC-1") << "the id's machine was renamed after a copy";
    if (c.keeps == nullptr) {
      EXPECT_TRUE(f.Snapshots(claimed).empty());
    }
    EXPECT_EQ(f.server().agents_online(), claimants.size() + (first != nullptr && !c.replaced ? 1 : 0));
  }
}

// ---- clocks -----------------------------------------------------------------------

TEST(FleetServer, SnapshotsAreOrderedByTheServersClockNotTheAgents) {
  FleetFixture f;
  // Its first snapshot carries a finish time a year ahead; the one it records
  // next, the right time.
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1", 1, HostileMode::kClockOff, 1)});
  const int64_t before = NowSeconds();
  const int32_t uid = WaitForId(f, fleet, 0);
  ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1}));
  int64_t scan_id = 0;
  ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan_id).ok());
  ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1, 2}));
  const std::vector<SXSnapshotRow> rows = f.Snapshots(uid);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].number, 1);
  EXPECT_EQ(rows[1].number, 2);
  EXPECT_EQ(f.StoredBytes(rows[0].path), *fleet.Served(SnapshotVariant::kClockOff, 1));
  EXPECT_EQ(f.StoredBytes(rows[1].path), *fleet.Served(SnapshotVariant::kNormal, 2));
  EXPECT_GT(rows[0].agent_time, rows[1].agent_time) << "the agent's times are kept as it gave them";
  for (const SXSnapshotRow& row : rows) {
    EXPECT_GE(row.received_time, before);
    EXPECT_LE(row.received_time, NowSeconds());
  }
  EXPECT_LE(rows[0].received_time, rows[1].received_time);
  SXSnapshotRow previous;
  ASSERT_TRUE(f.catalog().PreviousSnapshot(rows[1].id, &previous).ok());
  EXPECT_EQ(previous.number, 1) << "compared with what came before, not with what the agent's clock says";
}

// ---- a link that vanishes ---------------------------------------------------------

TEST(FleetServer, AnAgentVanishingDuringADownloadLeavesNothingAndSendsItWholeLater) {
  FleetFixture f;
  sim::SXSimTiming timing = test::FastSimTiming();
  timing.reconnect_ms = 300;  // long enough to look at the store meanwhile
  // A snapshot of several blocks, cut half way.
  const sim::SnapshotBytes big = test::Shared(test::RealSnapshotBytes(20000));
  ASSERT_GT(big->size(), 131072u);
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1", 1, HostileMode::kVanishDownload, 1)}, big, timing);
  ASSERT_TRUE(WaitUntil([&] { return f.counters().downloads_failed.load() >= 1; }));
  EXPECT_TRUE(WaitUntil([&] { return NoPartFile(f); })) << "a part of the download was left";
  EXPECT_EQ(fleet.AgentCounters(0)[sim::kSnapshotsAcknowledged], 0u);
  const int32_t uid = fleet.AgentState(0).id;
  EXPECT_TRUE(f.Snapshots(uid).empty());
  EXPECT_EQ(fleet.AgentState(0).saved, std::vector<int32_t>{1});
  EXPECT_TRUE(f.WaitForLog("snapshot 1 of id " + std::to_string(uid) + " (PC-1, 127.0.0.1:"));
  // Back after the reconnect: the whole snapshot.
  ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1}));
  ExpectStoredAsServed(f, fleet, uid);
  EXPECT_EQ(f.StoredFiles(), std::vector<std::string>{CXSnapshotStore::RelativePath(uid, 1).substr(9)});
  EXPECT_EQ(fleet.AgentCounters(0)[sim::kSnapshotsAcknowledged], 1u);
}

// ---- snapshots that do not read ------------------------------------------------

TEST(FleetServer, ASnapshotThatDoesNotReadIsAskedForAtMostThreeTimes) {
  // The agent keeps a snapshot until it is acknowledged, and it is never
  // acknowledged unread: the server asks for it again on each new link until
  // it has been refused three times with the same bytes, then no more (it
  // says so once) until the server starts again.
  const struct {
    const char* name;
    int32_t held;            // snapshots held: the first does not read
    int32_t corrupt_times;   // downloads served corrupt, then whole
    bool first_stored;       // snapshot 1 stored in the end
    uint64_t downloads;      // downloads of it
  } cases[] = {
      {"whole on the second link", 1, 1, true, 2},
      {"the others held meanwhile", 3, 1, true, 2},
      {"refused three times", 1, 3, false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    sim::CXSimulatedFleet& fleet =
        f.Agents({SimAgent("PC-1", c.held, HostileMode::kCorruptSnapshot, c.corrupt_times)});
    const int32_t uid = WaitForId(f, fleet, 0);
    const uint64_t refusals = std::min<uint64_t>(static_cast<uint64_t>(c.corrupt_times), 3);
    for (uint64_t k = 1; k <= refusals; ++k) {
      ASSERT_TRUE(WaitUntil([&] { return f.counters().downloads_failed.load() >= k; }));
      EXPECT_EQ(fleet.AgentCounters(0)[sim::kDrops], k - 1) << "a refusal closed the link";
      if (k == 1 && c.held > 1) {
        std::set<int32_t> others;
        for (int32_t n = 2; n <= c.held; ++n) others.insert(n);
        EXPECT_TRUE(WaitForStored(f, fleet, 0, uid, others)) << "a refusal held up the other snapshots";
      }
      fleet.DropLink(0);
      ASSERT_TRUE(WaitUntil([&] { return f.counters().greeted.load() >= k + 1; }));
    }
    // On the last link, a scan: its snapshot is stored, whatever became of the first.
    ASSERT_TRUE(WaitForId(f, fleet, 0) == uid);
    int64_t scan_id = 0;
    ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan_id).ok());
    const int32_t scanned = c.held + 1;
    ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {scanned})) << f.Log();
    const std::vector<SXSnapshotRow> rows = f.Snapshots(uid);
    EXPECT_EQ(rows.size(), static_cast<size_t>(c.first_stored ? scanned : scanned - 1));
    EXPECT_EQ(fleet.AgentState(0).saved, c.first_stored ? std::vector<int32_t>{} : std::vector<int32_t>{1});
    EXPECT_EQ(fleet.AgentCounters(0)[sim::kDownloadsStarted], c.downloads + static_cast<uint64_t>(c.held));
    EXPECT_EQ(f.LogLines("not asked for again"), c.first_stored ? 0u : 1u) << f.Log();
    EXPECT_EQ(f.LogLines("does not read"), refusals);
    EXPECT_TRUE(NoPartFile(f));
  }
}

// ---- hostile agents ------------------------------------------------------------

// The log's lines holding every one of `texts`.
size_t LinesWith(const FleetFixture& f, const std::vector<std::string>& texts) {
  std::istringstream in(f.Log());
  size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    bool all = true;
    for (const std::string& t : texts) all = all && line.find(t) != std::string::npos;
    n += all ? 1 : 0;
  }
  return n;
}

TEST(FleetServer, AHostileAgentCostsOnlyItsOwnLink) {
  const struct {
    const char* name;
    HostileMode mode;
    int32_t agents;                  // hostile agents
    std::vector<std::string> logged;  // a line of the log holds all of these
    bool link_stays;                 // its link survives
    bool bad_snapshots;              // every snapshot it serves is bad: none is stored
  } cases[] = {
      {"garbage for a greeting", HostileMode::kGarbage, 1,
       {"agent (127.0.0.1:", "protocol violation: frame length"}, false, false},
      {"a frame too long", HostileMode::kBadLength, 1,
       {"EVIL-00001", "protocol violation: frame length 10485761 outside 0..1048576"}, false, false},
      {"a body that does not decode", HostileMode::kBadBody, 1,
       {"EVIL-00001", "protocol violation: frame body does not decode"}, false, false},
      {"a snapshot that does not read", HostileMode::kCorruptSnapshot, 1,
       {"EVIL-00001", "refused: ", "does not read: ", "offset "}, true, true},
      {"a download past its size for ever", HostileMode::kEndlessDownload, 1,
       {"EVIL-00001", "protocol violation: more than the "}, false, true},
      {"a block a byte at a time", HostileMode::kTrickleDownload, 1,
       {"EVIL-00001", "no \"down-block\" within"}, false, true},
      {"a download that stops half way", HostileMode::kStallDownload, 1,
       {"EVIL-00001", "no \"down-block\" within"}, false, true},
      {"a download cut by the agent", HostileMode::kVanishDownload, 1,
       {"EVIL-00001", "the agent closed the link during a download"}, false, true},
      {"pings without end", HostileMode::kPingFlood, 1, {"EVIL-00001", "protocol violation: \"ping\" flood"}, false, false},
      // Bounded: a link that has not greeted holds its socket and a session of
      // a few hundred bytes without any buffer, max-links of them at most, each
      // for the greeting time-out at most.
      {"links that never greet", HostileMode::kSilent, 2000, {"agent (127.0.0.1:", "never greeted: no \"hello\" within"},
       false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    SXScheduleRow schedule;
    schedule.group = "*";
    schedule.interval_seconds = 1;
    schedule.profile = "daily";
    schedule.created_time = NowSeconds() - 10;
    ASSERT_TRUE(f.catalog().PutSchedule(schedule, nullptr).ok());
    sim::SXSimFleetPlan plan;
    plan.agents = c.agents;
    plan.name_prefix = "EVIL-";
    plan.saved = 1;
    plan.hostile = c.mode;
    plan.hostile_agents = c.agents;
    sim::CXSimulatedFleet& hostile = f.Agents(sim::PlanAgents(plan));
    ASSERT_TRUE(WaitUntil([&] { return hostile.Totals()[sim::kHostileActs] >= 1; }));
    sim::CXSimulatedFleet& good = f.Agents({SimAgent("PC-1", 1), SimAgent("PC-2", 1), SimAgent("PC-3", 1)});
    // Meanwhile every well-behaved agent's snapshot held and one scanned are
    // stored, and their links stay.
    for (size_t i = 0; i < good.size(); ++i) {
      const int32_t uid = WaitForId(f, good, i);
      EXPECT_TRUE(WaitForStored(f, good, i, uid, {1, 2})) << good.agent_config(i).name;
      ExpectStoredAsServed(f, good, uid);
      EXPECT_EQ(good.AgentCounters(i)[sim::kDrops], 0u);
    }
    EXPECT_TRUE(WaitUntil([&] { return LinesWith(f, c.logged) >= 1; })) << f.Log();
    if (c.link_stays) {
      EXPECT_EQ(hostile.Totals()[sim::kDrops], 0u);
    } else {
      EXPECT_TRUE(WaitUntil([&] { return hostile.Totals()[sim::kDrops] >= static_cast<uint64_t>(c.agents); }));
    }
    hostile.Stop();
    // Nothing of it stays behind: no link, no part of a download.
    EXPECT_TRUE(WaitUntil([&] { return f.counters().links_open.load() == good.size(); }))
        << f.counters().links_open.load() << " links";
    EXPECT_TRUE(WaitUntil([&] { return NoPartFile(f); }));
    for (const SXMachineRow& m : f.Machines()) {
      if (c.bad_snapshots && m.name.rfind("EVIL-", 0) == 0) {
        EXPECT_TRUE(f.Snapshots(m.uid).empty()) << m.name;
      }
    }
  }
}

// ---- the server's own disk ------------------------------------------------------

// The real file system whose writes to download files wait while the gate
// is closed: a disk that has stopped answering.
class GatedFiles final : public platform::FileSystemWrapper {
 public:
  GatedFiles() : FileSystemWrapper(platform::FileSystem::Real()), use_(*this) {}
  void Open(bool open) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      open_ = open;
    }
    changed_.notify_all();
  }
  std::atomic<int> waiting{0};  // writes held at the gate now

  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override {
    std::unique_ptr<platform::File> file = target().Open(path, mode);
    const std::u16string part = u".part";
    if (file == nullptr || path.size() < part.size() || path.compare(path.size() - part.size(), part.size(), part) != 0) {
      return file;
    }
    return std::make_unique<GatedFile>(*this, std::move(file));
  }

 private:
  class GatedFile final : public platform::File {
   public:
    GatedFile(GatedFiles& gate, std::unique_ptr<platform::File> file) : gate_(gate), file_(std::move(file)) {}
    bool Read(void* b, uint32_t n, uint32_t* got) override { return file_->Read(b, n, got); }
    bool Write(const void* b, uint32_t n, uint32_t* written) override {
      std::unique_lock<std::mutex> lock(gate_.lock_);
      ++gate_.waiting;
      gate_.changed_.wait(lock, [this] { return gate_.open_; });
      --gate_.waiting;
      lock.unlock();
      return file_->Write(b, n, written);
    }
    bool Seek(int64_t offset) override { return file_->Seek(offset); }
    bool SeekToEnd(int64_t* position) override { return file_->SeekToEnd(position); }
    bool Size(uint64_t* size) override { return file_->Size(size); }
    bool Flush() override { return file_->Flush(); }

   private:
    GatedFiles& gate_;
    std::unique_ptr<platform::File> file_;
  };

  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = true;
  platform::ScopedFacility<platform::FileSystem> use_;
};

TEST(FleetServer, ADiskThatStopsAnsweringHoldsUpOnlyItsDownloads) {
  SXFleetTuning tuning = test::QuickTuning();
  tuning.reply_ms = 200;
  FleetFixture f(test::QuickServerConfig(), tuning);
  GatedFiles disk;
  disk.Open(false);
  const sim::SnapshotBytes big = test::Shared(test::RealSnapshotBytes(20000));
  sim::CXSimulatedFleet& first = f.Agents({SimAgent("PC-1", 1)}, big);
  ASSERT_TRUE(WaitUntil([&] { return disk.waiting.load() == 1; }));
  // Meanwhile other agents greet and get their ids, and the waiting
  // download outlasts its time for a block: the wait is the server's.
  sim::CXSimulatedFleet& others = f.Agents({SimAgent("PC-2"), SimAgent("PC-3")});
  WaitForId(f, others, 0);
  WaitForId(f, others, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * tuning.reply_ms));
  EXPECT_EQ(first.AgentCounters(0)[sim::kDrops], 0u);
  disk.Open(true);
  const int32_t uid = WaitForId(f, first, 0);
  ASSERT_TRUE(WaitForStored(f, first, 0, uid, {1}));
  ExpectStoredAsServed(f, first, uid);
  EXPECT_EQ(first.AgentCounters(0)[sim::kDrops], 0u);
}

TEST(FleetServer, TheServersOwnFileFaultsLoseNoSnapshot) {
  // The agent keeps what was not stored and sends it again on its next link;
  // a fault of the server's is no fault of the snapshot's (it is asked for
  // however often it happens).
  const struct {
    const char* name;
    std::function<void(test::FaultyFiles&, bool on)> fault;
  } cases[] = {
      {"a full disk",
       [](test::FaultyFiles& files, bool on) { files.fail_from_write = on ? files.writes + 1 : 0; }},
      {"a rename refused", [](test::FaultyFiles& files, bool on) { files.fail_renames = on; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    test::FaultyFiles files(u".part", 0);
    c.fault(files, true);
    sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1", 1)});
    const int32_t uid = WaitForId(f, fleet, 0);
    for (uint64_t k = 1; k <= 4; ++k) {
      ASSERT_TRUE(WaitUntil([&] { return f.counters().downloads_failed.load() >= k; })) << f.Log();
      EXPECT_EQ(fleet.AgentState(0).saved, std::vector<int32_t>{1});
      EXPECT_TRUE(WaitUntil([&] { return NoPartFile(f); }));
      fleet.DropLink(0);
      ASSERT_TRUE(WaitUntil([&] { return f.counters().greeted.load() >= k + 1; }));
    }
    c.fault(files, false);
    fleet.DropLink(0);
    ASSERT_TRUE(WaitForStored(f, fleet, 0, uid, {1})) << f.Log();
    ExpectStoredAsServed(f, fleet, uid);
    EXPECT_EQ(f.LogLines("not asked for again"), 0u);
    EXPECT_EQ(f.StoredFiles(), std::vector<std::string>{CXSnapshotStore::RelativePath(uid, 1).substr(9)});
  }
}

TEST(FleetServer, DownloadsBeyondTheLimitWaitTheirTurn) {
  SXFleetTuning tuning = test::QuickTuning();
  tuning.max_downloads = 2;
  FleetFixture f(test::QuickServerConfig(), tuning);
  sim::SXSimFleetPlan plan;
  plan.agents = 8;
  plan.saved = 2;
  sim::CXSimulatedFleet& fleet = f.Agents(sim::PlanAgents(plan), test::Shared(test::RealSnapshotBytes(20000)));
  uint64_t most = 0;
  ASSERT_TRUE(WaitUntil([&] {
    most = std::max<uint64_t>(most, fleet.Totals()[sim::kStreamingNow]);
    return fleet.Totals()[sim::kSnapshotsAcknowledged] == 16;
  })) << f.Log();
  EXPECT_LE(most, 2u) << "more agents streamed at once than the server has slots";
  EXPECT_EQ(f.counters().downloads_most.load(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return f.counters().downloads_now.load() == 0; }));
  for (size_t i = 0; i < fleet.size(); ++i) {
    ExpectStoredAsServed(f, fleet, fleet.AgentState(i).id);
  }
}

// ---- memory ------------------------------------------------------------------

TEST(FleetServer, AnIdleLinkHoldsNoBuffer) {
  // Whatever a link did, once it idles it holds no frame buffer, no queue
  // and none of its info's long texts: its session and socket are all.
  const struct {
    const char* name;
    int32_t held;  // snapshots downloaded first
    bool scanned;
  } cases[] = {
      {"greeted", 0, false},
      {"after downloads", 3, false},
      {"after a scan", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetFixture f;
    sim::SXSimFleetPlan plan;
    plan.agents = 20;
    plan.saved = c.held;
    std::vector<sim::SXSimAgentConfig> agents = sim::PlanAgents(plan);
    // Each with a crash report to tell: the catalog keeps it, the link does not.
    for (sim::SXSimAgentConfig& a : agents) a.crash_report = "crashed at 0x1234\r\n" + std::string(2000, '.');
    sim::CXSimulatedFleet& fleet = f.Agents(agents);
    for (size_t i = 0; i < fleet.size(); ++i) {
      const int32_t uid = WaitForId(f, fleet, i);
      std::vector<SXCrashReportRow> crashes;
      ASSERT_TRUE(f.catalog().ListCrashReports(uid, &crashes).ok());
      EXPECT_EQ(crashes.size(), 1u);
      std::set<int32_t> numbers;
      for (int32_t n = 1; n <= c.held; ++n) numbers.insert(n);
      if (c.scanned) {
        int64_t scan_id = 0;
        ASSERT_TRUE(f.catalog().RequestScan(uid, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan_id).ok());
        numbers.insert(1);
      }
      ASSERT_TRUE(WaitForStored(f, fleet, i, uid, numbers));
    }
    EXPECT_TRUE(WaitUntil([&] { return f.counters().link_bytes.load() <= 32 * fleet.size(); }))
        << f.counters().link_bytes.load() << " bytes held by " << fleet.size() << " idle links";
  }
}

// ---- the stop ---------------------------------------------------------------

TEST(FleetServer, StopClosesEveryLinkAndLeavesNothingHalfDone) {
  // The stalled download awaited longer than the test takes to get to the
  // stop, however loaded the machine: the stop, not a time-out, ends it.
  server::SXFleetTuning tuning = test::QuickTuning();
  tuning.reply_ms = 60000;
  FleetFixture f(test::QuickServerConfig(), tuning);
  sim::SXSimTiming timing = test::FastSimTiming();
  timing.scan_ms = 60000;       // a scan still running at the stop
  timing.reconnect_ms = 60000;  // and no link back meanwhile
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1"), SimAgent("PC-2", 1, HostileMode::kStallDownload),
                                           SimAgent("PC-3", 1)},
                                          test::Shared(test::RealSnapshotBytes(20000)), timing);
  const int32_t scanning = WaitForId(f, fleet, 0);
  const int32_t downloading = WaitForId(f, fleet, 1);
  const int32_t idle = WaitForId(f, fleet, 2);
  ASSERT_TRUE(WaitForStored(f, fleet, 2, idle, {1}));
  int64_t scan_id = 0;
  ASSERT_TRUE(f.catalog().RequestScan(scanning, ScanOrigin::kPerson, "alice", "daily", NowSeconds(), &scan_id).ok());
  ASSERT_TRUE(WaitForCounter(fleet, 0, sim::kScansStarted, 1));
  // The stalled download has its part file.
  ASSERT_TRUE(WaitUntil([&] { return !NoPartFile(f); }));
  ASSERT_TRUE(WaitForCounter(fleet, 1, sim::kStreamingNow, 1));

  f.StopServer();
  // At once, with nothing to wait for:
  EXPECT_EQ(f.counters().links_open.load(), 0u);
  EXPECT_EQ(f.server().agents_online(), 0u);
  EXPECT_TRUE(NoPartFile(f)) << "a part file was left";
  for (const SXMachineRow& m : f.Machines()) {
    EXPECT_FALSE(m.online) << m.name;
  }
  SXScanRow scan;
  ASSERT_TRUE(f.catalog().GetScan(scan_id, &scan).ok());
  EXPECT_NE(scan.state, ScanState::kStarted);
  EXPECT_NE(scan.state, ScanState::kRequested);
  EXPECT_GT(scan.done_time, 0);
  EXPECT_EQ(f.Snapshots(downloading).size(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return fleet.Totals()[sim::kConnectedNow] == 0; })) << "a link stayed open";
  EXPECT_EQ(f.StoredFiles(), std::vector<std::string>{CXSnapshotStore::RelativePath(idle, 1).substr(9)});
  EXPECT_TRUE(f.WaitForLog("stopping: 3 links closed"));
}

}  // namespace
}  // namespace orvalinth::server
