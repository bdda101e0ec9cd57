// What the web console asks of the agents through the fleet server
// (CXFleetActions) against simulated agents: browsing, a scan now with its
// events in order, stopping a scan, uninstalling, the health counters; and
// the inventory collected from a snapshot of applications.

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <set>

#include "record/package_version.h"
#include "server/fleet_fixture.h"
#include "server/inventory.h"
#include "server/package_fixture.h"
#include "storage/app_items.h"
#include "storage/snapshot_bytes.h"

namespace orvalinth::server {
namespace {

using test::Call;
using test::FleetFixture;
using test::SimAgent;
using test::WaitUntil;


// Every event published while it lives.
class EventLog {
 public:
  explicit EventLog(CXFleetEvents& events) : events_(events) {
    id_ = events_.Subscribe([this](const SXFleetEvent& e) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(e);
    });
  }
  ~EventLog() { events_.Unsubscribe(id_); }
  // The types seen so far, of those in `types`, in order.
  std::vector<std::string> Types(const std::set<std::string>& types) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const SXFleetEvent& e : seen_) {
      if (types.count(e.type) != 0) out.push_back(e.type);
    }
    return out;
  }
  // The data of the last event of `type` ("null" when none came).
  Json Last(const std::string& type) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto e = seen_.rbegin(); e != seen_.rend(); ++e) {
      if (e->type == type) return Json::parse(e->data);
    }
    return Json();
  }
  bool WaitFor(const std::string& type) const {
    return WaitUntil([&] { return !Last(type).is_null(); });
  }

 private:
  CXFleetEvents& events_;
  uint64_t id_ = 0;
  mutable std::mutex mutex_;
  std::vector<SXFleetEvent> seen_;
};

int32_t WaitOnline(FleetFixture& f, sim::CXSimulatedFleet& fleet, size_t index) {
  int32_t id = 0;
  EXPECT_TRUE(WaitUntil([&] {
    id = fleet.AgentState(index).id;
    return id != 0 && f.server().IsOnline(id);
  }));
  return id;
}

TEST(FleetActions, BrowseAnswersTheAgentsListingOfEachKind) {
  FleetFixture f;
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")});
  const int32_t uid = WaitOnline(f, fleet, 0);
  const struct {
    BrowseKind kind;
    const char* path;
    const char* json;
  } cases[] = {
      {BrowseKind::kDrives, "",
       R"({"drives":[{"name":"C:\\","letter":"c","type":"fixed","fixed":true}]})"},
      {BrowseKind::kFolder, "C:\\",
       R"({"path":"C:\\","entries":[{"name":"Windows","folder":true,"subfolders":true,"link":false},)"
       R"({"name":"Temp","folder":true,"subfolders":false,"link":false},)"
       R"({"name":"Docs","folder":true,"subfolders":false,"link":true,"target":"D:\\Docs"}]})"},
      {BrowseKind::kFolder, "C:\\Win", R"({"path":"C:\\Win","entries":[]})"},
      {BrowseKind::kRegistry, "HKEY_LOCAL_MACHINE\\",
       R"({"path":"HKEY_LOCAL_MACHINE\\","entries":[{"name":"SOFTWARE","key":true,"subkeys":true,"link":false},)"
       R"({"name":"SAM","key":true,"subkeys":false,"link":false}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().Browse(uid, c.kind, c.path, d); });
    ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
    EXPECT_EQ(r.data.dump(), c.json);
  }
  const SXActionResult unknown =
      Call([&](CXFleetActions::Done d) { f.server().Browse(uid + 100, BrowseKind::kDrives, "", d); });
  EXPECT_EQ(unknown.error, "unknown-machine");
}

TEST(FleetActions, ScanNowStoresTheSnapshotAndPublishesItsEventsInOrder) {
  FleetFixture f;
  EventLog events(f.events());
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")});
  const int32_t uid = WaitOnline(f, fleet, 0);
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().ScanNow(uid, "daily", "alice", d); });
    ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
    const int64_t scan = r.data["scan"].get<int64_t>();
    ASSERT_TRUE(WaitUntil([&] { return f.Snapshots(uid).size() == static_cast<size_t>(round); }));
    SXScanRow row;
    ASSERT_TRUE(f.catalog().GetScan(scan, &row).ok());
    EXPECT_EQ(row.state, ScanState::kDone);
    EXPECT_EQ(row.origin, ScanOrigin::kPerson);
    EXPECT_EQ(row.requested_by, "alice");
  }
  ASSERT_TRUE(events.WaitFor("comparison-done"));
  EXPECT_EQ(events.Types({"agent-online", "scan-started", "scan-done", "snapshot-stored", "comparison-done"}),
            (std::vector<std::string>{"agent-online", "scan-started", "scan-done", "snapshot-stored", "scan-started",
                                      "scan-done", "snapshot-stored", "comparison-done"}));
  EXPECT_EQ(events.Last("scan-started")["by"], "alice");
  EXPECT_EQ(events.Last("scan-done")["state"], "done");
  const std::vector<SXSnapshotRow> snapshots = f.Snapshots(uid);
  EXPECT_EQ(events.Last("snapshot-stored").dump(),
            Json({{"uid", uid}, {"snapshot", snapshots[1].id}, {"number", snapshots[1].number},
                  {"size", snapshots[1].size}})
                .dump());
  EXPECT_EQ(events.Last("comparison-done")["snapshot"], snapshots[1].id);

  const Json health = f.server().Health();
  EXPECT_EQ(health["agents_connected"], 1);
  EXPECT_EQ(health["scans"].dump(), R"({"started":2,"done":2,"failed":0,"stopped":0})");
  EXPECT_EQ(health["snapshots_stored"], 2);
  EXPECT_EQ(health["comparisons_done"], 1);
  EXPECT_EQ(health["links_accepted"], 1);
  for (const char* key : {"uptime_seconds", "sessions", "bytes_stored", "downloads_now", "comparison_queue",
                          "comparison_seconds_total", "errors"}) {
    EXPECT_TRUE(health.contains(key)) << key;
  }
}

TEST(FleetActions, AScanUnderWayIsBusyAndStopsWhenAsked) {
  sim::SXSimTiming slow = test::FastSimTiming();
  slow.scan_ms = 600000;
  FleetFixture f;
  EventLog events(f.events());
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")}, FleetFixture::Snapshot(), slow);
  const int32_t uid = WaitOnline(f, fleet, 0);
  EXPECT_EQ(Call([&](CXFleetActions::Done d) { f.server().StopScan(uid, "bob", d); }).error, "refused");

  // No schedule names a profile, and the configuration has no "default".
  const SXActionResult none = Call([&](CXFleetActions::Done d) { f.server().ScanNow(uid, "", "bob", d); });
  EXPECT_EQ(none.error, "refused");
  EXPECT_EQ(none.message, "no target profile \"default\"");

  const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().ScanNow(uid, "daily", "bob", d); });
  ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
  ASSERT_TRUE(WaitUntil([&] { return fleet.AgentState(0).scanning; }));
  ASSERT_TRUE(events.WaitFor("scan-started"));
  EXPECT_EQ(events.Last("scan-started")["profile"], "daily");
  EXPECT_EQ(Call([&](CXFleetActions::Done d) { f.server().ScanNow(uid, "daily", "bob", d); }).error, "busy");

  const SXActionResult stop = Call([&](CXFleetActions::Done d) { f.server().StopScan(uid, "bob", d); });
  ASSERT_TRUE(stop.ok) << stop.error << ": " << stop.message;
  EXPECT_FALSE(fleet.AgentState(0).scanning);
  EXPECT_EQ(fleet.AgentCounters(0)[sim::kScansStopped], 1u);
  ASSERT_TRUE(events.WaitFor("scan-done"));
  EXPECT_EQ(events.Last("scan-done")["state"], "stopped");
  SXScanRow row;
  ASSERT_TRUE(WaitUntil(
      [&] { return f.catalog().GetScan(r.data["scan"], &row).ok() && row.state == ScanState::kStopped; }));
  EXPECT_EQ(row.result, "stopped by bob");
}

TEST(FleetActions, UninstallEndsTheAgentAndLeavesItOffline) {
  FleetFixture f;
  EventLog events(f.events());
  sim::CXSimulatedFleet& fleet = f.Agents({SimAgent("PC-1")});
  const int32_t uid = WaitOnline(f, fleet, 0);
  ASSERT_TRUE(Call([&](CXFleetActions::Done d) { f.server().Uninstall(uid, "carol", d); }).ok);
  ASSERT_TRUE(WaitUntil([&] { return fleet.AgentState(0).ended && !f.server().IsOnline(uid); }));
  EXPECT_EQ(fleet.AgentCounters(0)[sim::kUninstalls], 1u);
  ASSERT_TRUE(events.WaitFor("agent-offline"));
  EXPECT_EQ(events.Last("agent-offline")["uid"], uid);
  for (BrowseKind kind : {BrowseKind::kDrives, BrowseKind::kFolder}) {
    EXPECT_EQ(Call([&](CXFleetActions::Done d) { f.server().Browse(uid, kind, "C:\\", d); }).error, "offline");
  }
  EXPECT_EQ(Call([&](CXFleetActions::Done d) { f.server().Uninstall(uid, "carol", d); }).error, "offline");
}

// ---- inventory ------------------------------------------------------------------

SXReadItem Item(uint8_t kind, std::u16string name, std::u16string path, uint8_t source = 0, uint8_t state = 0) {
  SXReadItem i;
  i.kind = kind;
  i.name = std::move(name);
  i.path = std::move(path);
  i.source = source;
  i.state = state;
  i.file_missing = true;
  return i;
}

test::NodeSpec ItemNode(std::u16string name, const std::vector<SXReadItem>& items) {
  test::NodeSpec n = test::Node(std::move(name));
  for (size_t i = 0; i < items.size(); ++i) n.raw_content += test::ItemRecordBytes(items[i], i + 1 == items.size());
  return n;
}

// A snapshot of a machine's applications: every category, a few items in four of them.
std::string AppsSnapshot(const test::TempFolder& folder) {
  SXReadItem installed = Item(kAppItemInstalled, u"Editor", u"C:\\Program Files\\Editor");
  installed.version = u"4.2";
  SXReadItem service = Item(kAppItemService, u"Spooler", u"C:\\Windows\\spoolsv.exe", 2, 4);
  service.arguments = u"-k print";
  const SXReadItem updater = Item(kAppItemExecutable, u"Updater", u"C:\\upd.exe", kAppSourceStartup);
  test::NodeSpec startup = test::Node(u"Startup", {ItemNode(u"HKLM\\Run", {updater})});
  test::SnapshotPlan plan;
  plan.title = "PC-1 - applications";
  const std::vector<std::pair<const char16_t*, test::NodeSpec>> sections = {
      {u"Startup", startup},
      {u"Services", ItemNode(u"Services", {service})},
      {u"Drivers", ItemNode(u"Drivers", {Item(kAppItemDriver, u"disk", u"C:\\Windows\\disk.sys", 0, 1)})},
      {u"Running Processes", ItemNode(u"Running Processes", {Item(kAppItemExecutable, u"x.exe", u"C:\\x.exe", 10)})},
      {u"Programs", ItemNode(u"Programs", {installed})},
  };
  for (const auto& [name, root] : sections) plan.sections.push_back({kSectionApps, name, root});
  const std::u16string path = folder / u"apps.snp";
  std::string error;
  EXPECT_GT(test::WriteSnapshot(path, plan, &error), 0u) << error;
  return platform::posix::ToHostPath(path);
}

TEST(FleetInventory, ASnapshotOfApplicationsGivesItsProgramsServicesDriversAndStartupEntries) {
  test::TempFolder folder;
  std::vector<SXInventoryRow> rows;
  std::string error;
  ASSERT_EQ(CollectInventory(AppsSnapshot(folder), &rows, &error), 1) << error;
  const struct {
    const char* category;
    const char* name;
    const char* path;
    const char* detail;
  } expected[] = {
      {"Startup", "Updater", "C:\\upd.exe", "HKLM\\Run"},
      {"Services", "Spooler", "C:\\Windows\\spoolsv.exe -k print", "automatic, running"},
      {"Drivers", "disk", "C:\\Windows\\disk.sys", "boot, stopped"},
      {"Programs", "Editor", "C:\\Program Files\\Editor", "4.2"},
  };
  ASSERT_EQ(rows.size(), std::size(expected));
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].category, expected[i].category);
    EXPECT_EQ(rows[i].name, expected[i].name);
    EXPECT_EQ(rows[i].path, expected[i].path);
    EXPECT_EQ(rows[i].detail, expected[i].detail);
  }

  // A files-only snapshot says nothing of applications; a file that does not read fails.
  test::WriteFileBytes(folder / u"files.snp", test::RealSnapshotBytes());
  EXPECT_EQ(CollectInventory(platform::posix::ToHostPath(folder / u"files.snp"), &rows, &error), 0);
  EXPECT_TRUE(rows.empty());
  test::WriteFileBytes(folder / u"cut.snp", test::RealSnapshotBytes().substr(0, 100));
  EXPECT_EQ(CollectInventory(platform::posix::ToHostPath(folder / u"cut.snp"), &rows, &error), -1);
  EXPECT_FALSE(error.empty());
}

TEST(PackageVersion, IsTheFileVersionsRevisionOfAWindowsExecutable) {
  const struct {
    std::string bytes;
    int32_t version;  // 0: refused
  } cases[] = {
      {test::MakePackage(7), 7},
      {test::MakePackage(12), 12},
      {test::MakePackage(0), 0},
      {std::string("MZ") + std::string(600, '\0'), 0},
      {"not an executable", 0},
  };
  for (const auto& c : cases) {
    int32_t version = -1;
    std::string error;
    EXPECT_EQ(ReadPackageVersion(c.bytes, &version, &error), c.version != 0) << error;
    EXPECT_EQ(version, c.version);
  }
}

}  // namespace
}  // namespace orvalinth::server
