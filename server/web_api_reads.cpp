// The fleet API's reads: the overview, machines, snapshots and their
// changes, fleet searches, profiles, schedules, rollouts, health. Each
// answers at once from the catalog.

#include <algorithm>
#include <climits>

#include "platform/clock.h"
#include "server/web_api_internal.h"

namespace orvalinth::server::web_api {
namespace {

constexpr size_t kPatternMax = 256;
constexpr int64_t kTimeMax = 253402300799;  // 9999-12-31 23:59:59 UTC

using Handler = std::function<SXWebResponse(const SXWebRequest&)>;

// A route whose handler answers at once.
SXWebRoute Get(std::string pattern, std::string summary, Handler handler) {
  SXWebRoute route;
  route.method = "GET";
  route.pattern = std::move(pattern);
  route.summary = std::move(summary);
  route.handler = Guarded([handler = std::move(handler)](const SXWebRequest& request, WebReply reply) {
    reply(handler(request));
  });
  return route;
}

// Machines online on a node that stopped answering: "reconnecting" (their
// agents find another node), not "online".
int64_t NowMs() { return platform::UnixMicros() / 1000; }

SXCatalogStatus Reconnecting(const SXApiContext& c, std::vector<int32_t>* uids) {
  return c.catalog->ReconnectingMachines(NowMs(), uids);
}

Json LinkedMachineJson(const SXMachineRow& row, const std::vector<int32_t>& reconnecting) {
  Json j = MachineJson(row);
  if (row.online && std::binary_search(reconnecting.begin(), reconnecting.end(), row.uid)) j["link"] = "reconnecting";
  return j;
}

SXWebResponse Nodes(const SXApiContext& c) {
  std::vector<SXNodeRow> nodes;
  const SXCatalogStatus s = c.catalog->ListNodes(NowMs(), &nodes);
  if (!s) return CatalogError(s);
  Json list = Json::array();
  for (const SXNodeRow& n : nodes) {
    list.push_back(Json{{"id", n.id},
                        {"name", n.name},
                        {"web_address", n.web_address},
                        {"agent_address", n.agent_address},
                        {"started", n.started_time},
                        {"heartbeat_ms", n.heartbeat_ms},
                        {"dead_after_ms", n.dead_after_ms},
                        {"state", n.alive ? "alive" : n.stopped ? "stopped" : "dead"},
                        {"alive", n.alive},
                        {"machines", n.machines}});
  }
  return JsonAnswer(Json{{"nodes", list}});
}

SXWebResponse Overview(const SXApiContext& c) {
  CXCatalog& catalog = *c.catalog;
  const int64_t silent_before = c.now() - c.silent_seconds;
  SXFleetSummary summary;
  SXCatalogStatus s = catalog.Summary(silent_before, &summary);
  if (!s) return CatalogError(s);
  std::vector<int32_t> reconnecting;
  if (!(s = Reconnecting(c, &reconnecting))) return CatalogError(s);
  Json out{{"machines", summary.machines},       {"online", summary.online - static_cast<int64_t>(reconnecting.size())},
           {"reconnecting", reconnecting.size()},
           {"silent", summary.silent},           {"snapshots", summary.snapshots},
           {"snapshot_bytes", summary.snapshot_bytes}, {"comparisons", summary.comparisons},
           {"uncompared", summary.uncompared}};
  Json versions = Json::array(), groups = Json::array(), latest = Json::array(), silent = Json::array();
  for (const auto& v : summary.versions) versions.push_back(Json{{"version", v.first}, {"machines", v.second}});
  for (const auto& g : summary.groups) groups.push_back(Json{{"group", g.first}, {"machines", g.second}});
  std::vector<SXComparisonRow> recent;
  if (!(s = catalog.RecentComparisons(10, &recent))) return CatalogError(s);
  CXMachineNames names(catalog);
  for (SXComparisonRow& row : recent) {
    if (!(s = catalog.CategoryCounts(row.id, &row.categories))) return CatalogError(s);
    Json j = ComparisonJson(row);
    j["machine_name"] = names.Name(row.uid);
    latest.push_back(std::move(j));
  }
  SXMachineQuery query;
  query.online = 0;
  query.seen_before = silent_before;
  query.sort = "last_seen";
  query.limit = 10;
  std::vector<SXMachineRow> machines;
  if (silent_before > 0) {
    if (!(s = catalog.QueryMachines(query, &machines, nullptr))) return CatalogError(s);
  }
  for (const SXMachineRow& m : machines) silent.push_back(LinkedMachineJson(m, reconnecting));
  out["versions"] = std::move(versions);
  out["groups"] = std::move(groups);
  out["latest"] = std::move(latest);
  out["silent_machines"] = std::move(silent);
  return JsonAnswer(out);
}

SXWebResponse Machines(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  SXMachineQuery q;
  q.online = static_cast<int>(p.Number("online", -1, 0, 1));
  q.name_pattern = p.Text("name", kPatternMax);
  q.group = p.Text("group", kPatternMax);
  q.app_version = static_cast<int32_t>(p.Number("version", 0, 0, INT32_MAX));
  q.seen_after = p.Number("seen_after", 0, 0, kTimeMax);
  q.seen_before = p.Number("seen_before", 0, 0, kTimeMax);
  q.sort = p.Choice("sort", {"name", "uid", "last_seen", "first_seen", "version", "group", "address"}, "name");
  q.descending = p.Choice("order", {"asc", "desc"}, "asc") == "desc";
  q.offset = static_cast<int>(p.Number("offset", 0, 0, INT32_MAX));
  q.limit = static_cast<int>(p.Number("limit", 100, 1, 1000));
  if (!p.ok()) return p.Error();
  std::vector<SXMachineRow> rows;
  int64_t total = 0;
  SXCatalogStatus s = c.catalog->QueryMachines(q, &rows, &total);
  if (!s) return CatalogError(s);
  std::vector<int32_t> reconnecting;
  if (!(s = Reconnecting(c, &reconnecting))) return CatalogError(s);
  Json machines = Json::array();
  for (const SXMachineRow& m : rows) machines.push_back(LinkedMachineJson(m, reconnecting));
  return JsonAnswer(Json{{"total", total}, {"offset", q.offset}, {"limit", q.limit}, {"machines", machines}});
}

SXWebResponse Machine(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  if (!p.ok()) return p.Error();
  CXCatalog& catalog = *c.catalog;
  SXMachineRow machine;
  SXCatalogStatus s = catalog.GetMachine(uid, &machine);
  if (!s) return CatalogError(s);
  std::vector<SXScanRow> scans;
  std::vector<SXCrashReportRow> crashes;
  std::vector<SXUpgradeResultRow> upgrades;
  std::vector<SXScheduleRow> schedules;
  if (!(s = catalog.ListScans(uid, 20, &scans)) || !(s = catalog.ListCrashReports(uid, &crashes)) ||
      !(s = catalog.ListUpgradeResults(uid, &upgrades)) || !(s = catalog.ListSchedules(&schedules))) {
    return CatalogError(s);
  }
  std::vector<int32_t> reconnecting;
  if (!(s = Reconnecting(c, &reconnecting))) return CatalogError(s);
  Json out{{"machine", LinkedMachineJson(machine, reconnecting)}};
  Json& scan_list = out["scans"] = Json::array();
  for (const SXScanRow& scan : scans) scan_list.push_back(ScanJson(scan));
  Json& crash_list = out["crash_reports"] = Json::array();
  for (const SXCrashReportRow& crash : crashes) {
    crash_list.push_back(Json{{"id", crash.id}, {"time", crash.time}, {"text", crash.text}});
  }
  Json& upgrade_list = out["upgrade_results"] = Json::array();
  for (const SXUpgradeResultRow& u : upgrades) {
    upgrade_list.push_back(
        Json{{"id", u.id}, {"time", u.time}, {"ok", u.ok}, {"version", u.app_version}, {"text", u.text}});
  }
  const std::optional<SXScheduleRow> schedule = ScheduleOf(schedules, machine);
  out["schedule"] = schedule ? ScheduleJson(*schedule) : Json(nullptr);
  return JsonAnswer(out);
}

SXWebResponse MachineSnapshots(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  if (!p.ok()) return p.Error();
  SXMachineRow machine;
  SXCatalogStatus s = c.catalog->GetMachine(uid, &machine);
  if (!s) return CatalogError(s);
  std::vector<SXSnapshotRow> rows;
  if (!(s = c.catalog->ListSnapshots(uid, &rows))) return CatalogError(s);
  Json snapshots = Json::array();
  for (const SXSnapshotRow& row : rows) {
    Json comparison;
    SXWebResponse error;
    if (!ComparisonOf(*c.catalog, row.id, &comparison, &error)) return error;
    snapshots.push_back(SnapshotJson(row, comparison));
  }
  return JsonAnswer(Json{{"snapshots", snapshots}});
}

SXWebResponse Snapshot(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  if (!p.ok()) return p.Error();
  SXSnapshotRow row;
  const SXCatalogStatus s = c.catalog->GetSnapshot(id, &row);
  if (!s) return CatalogError(s);
  Json comparison;
  SXWebResponse error;
  if (!ComparisonOf(*c.catalog, id, &comparison, &error)) return error;
  return JsonAnswer(SnapshotJson(row, comparison));
}

SXWebResponse SnapshotChanges(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  const int offset = static_cast<int>(p.Number("offset", 0, 0, INT32_MAX));
  const int limit = static_cast<int>(p.Number("limit", 100, 1, 1000));
  if (!p.ok()) return p.Error();
  SXComparisonRow comparison;
  SXCatalogStatus s = c.catalog->GetComparison(id, &comparison);
  if (!s) return CatalogError(s);
  std::vector<SXChangeRow> rows;
  if (!(s = c.catalog->CategoryCounts(comparison.id, &comparison.categories)) ||
      !(s = c.catalog->ComparisonChanges(comparison.id, offset, limit, &rows))) {
    return CatalogError(s);
  }
  Json changes = Json::array();
  for (const SXChangeRow& row : rows) changes.push_back(ChangeJson(row));
  return JsonAnswer(
      Json{{"comparison", ComparisonJson(comparison)}, {"changes", changes}, {"total", comparison.stored_rows}});
}

SXWebResponse SearchInventory(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const std::string q = p.Text("q", kPatternMax);
  if (p.ok() && q.empty()) p.Bad("q", "a pattern to look for (* any run, ? any one character)");
  const std::string category = p.Choice("category", {"Programs", "Services", "Drivers", "Startup"}, "");
  const int limit = static_cast<int>(p.Number("limit", 100, 1, 1000));
  if (!p.ok()) return p.Error();
  std::vector<SXInventoryRow> rows;
  const SXCatalogStatus s = c.catalog->SearchInventory(category, q, limit + 1, &rows);
  if (!s) return CatalogError(s);
  const bool truncated = rows.size() > static_cast<size_t>(limit);
  if (truncated) rows.resize(limit);
  CXMachineNames names(*c.catalog);
  Json results = Json::array();
  for (const SXInventoryRow& row : rows) {
    results.push_back(Json{{"uid", row.uid},
                           {"machine_name", names.Name(row.uid)},
                           {"category", row.category},
                           {"name", row.name},
                           {"path", row.path},
                           {"detail", row.detail}});
  }
  return JsonAnswer(Json{{"results", results}, {"truncated", truncated}});
}

SXWebResponse SearchChanges(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const std::string kind_text = p.Choice("kind", {"files", "registry", "apps"}, "");
  const std::string category_text = p.Choice("category", {"added", "removed", "changed"}, "");
  const std::string q = p.Text("q", kPatternMax);
  const int64_t since = p.Number("since", 0, 0, kTimeMax);
  const int64_t until = p.Number("until", 0, 0, kTimeMax);
  const int limit = static_cast<int>(p.Number("limit", 100, 1, 1000));
  if (p.ok() && until != 0 && until <= since) p.Bad("until", "after since");
  if (!p.ok()) return p.Error();
  ChangeKind kind;
  ChangeCategory category;
  const bool has_kind = ParseKind(kind_text, &kind), has_category = ParseCategory(category_text, &category);
  std::vector<SXChangeRow> rows;
  const SXCatalogStatus s = c.catalog->FleetChanges(has_kind ? &kind : nullptr, has_category ? &category : nullptr, q,
                                                    since, until, limit + 1, &rows);
  if (!s) return CatalogError(s);
  const bool truncated = rows.size() > static_cast<size_t>(limit);
  if (truncated) rows.resize(limit);
  CXMachineNames names(*c.catalog);
  Json changes = Json::array();
  for (const SXChangeRow& row : rows) {
    Json j = ChangeJson(row);
    j["machine_name"] = names.Name(row.uid);
    changes.push_back(std::move(j));
  }
  return JsonAnswer(Json{{"changes", changes}, {"truncated", truncated}});
}

SXWebResponse Profiles(const SXApiContext& c) {
  std::vector<SXTargetProfile> rows;
  const SXCatalogStatus s = c.catalog->ListProfiles(&rows);
  if (!s) return CatalogError(s);
  Json profiles = Json::array();
  for (const SXTargetProfile& profile : rows) profiles.push_back(ProfileJson(profile));
  return JsonAnswer(Json{{"profiles", profiles}});
}

SXWebResponse Schedules(const SXApiContext& c) {
  std::vector<SXScheduleRow> rows;
  const SXCatalogStatus s = c.catalog->ListSchedules(&rows);
  if (!s) return CatalogError(s);
  Json schedules = Json::array();
  for (const SXScheduleRow& row : rows) schedules.push_back(ScheduleJson(row));
  return JsonAnswer(Json{{"schedules", schedules}});
}

SXWebResponse Rollouts(const SXApiContext& c) {
  std::vector<SXRolloutRow> rows;
  const SXCatalogStatus s = c.catalog->ListRollouts(&rows);
  if (!s) return CatalogError(s);
  Json rollouts = Json::array();
  for (const SXRolloutRow& row : rows) rollouts.push_back(RolloutJson(row));
  return JsonAnswer(Json{{"rollouts", rollouts}});
}

SXWebResponse Rollout(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  if (!p.ok()) return p.Error();
  SXRolloutRow row;
  std::vector<SXRolloutMachineRow> machines;
  SXCatalogStatus s = c.catalog->GetRollout(id, &row);
  if (s) s = c.catalog->ListRolloutMachines(id, &machines);
  if (!s) return CatalogError(s);
  Json out = RolloutJson(row);
  Json& list = out["machines"] = Json::array();
  CXMachineNames names(*c.catalog);
  for (const SXRolloutMachineRow& m : machines) {
    list.push_back(Json{{"uid", m.uid},
                        {"machine_name", names.Name(m.uid)},
                        {"wave", m.wave},
                        {"state", RolloutMachineStateName(m.state)},
                        {"sent", m.sent_time},
                        {"done", m.done_time},
                        {"text", m.text}});
  }
  return JsonAnswer(out);
}

SXWebResponse Health(const SXApiContext& c) {
  Json out = c.actions != nullptr ? c.actions->Health() : Json::object();
  if (!out.is_object()) out = Json{{"server", out}};
  out["catalog"] = Json{{"schema", c.catalog->SchemaVersion()}};
  return JsonAnswer(out);
}

}  // namespace

void AddReadRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes) {
  const SXApiContext* c = &context;
  const auto with = [c](SXWebResponse (*f)(const SXApiContext&, const SXWebRequest&)) {
    return [c, f](const SXWebRequest& r) { return f(*c, r); };
  };
  const auto plain = [c](SXWebResponse (*f)(const SXApiContext&)) {
    return [c, f](const SXWebRequest&) { return f(*c); };
  };
  routes->push_back(Get("/api/v1/overview", "the fleet in numbers, the latest comparisons, the silent machines",
                        plain(Overview)));
  routes->push_back(Get("/api/v1/machines", "a page of machines by filter and sort", with(Machines)));
  routes->push_back(Get("/api/v1/machines/{uid}",
                        "one machine with its last scans, crash reports, upgrade results and schedule", with(Machine)));
  routes->push_back(Get("/api/v1/machines/{uid}/snapshots", "the machine's snapshots in received order, compared",
                        with(MachineSnapshots)));
  routes->push_back(Get("/api/v1/snapshots/{id}", "one snapshot and its comparison", with(Snapshot)));
  routes->push_back(Get("/api/v1/snapshots/{id}/changes", "a page of the changes its comparison stored",
                        with(SnapshotChanges)));
  routes->push_back(Get("/api/v1/search/inventory", "programs, services, drivers, startup entries over the fleet",
                        with(SearchInventory)));
  routes->push_back(Get("/api/v1/search/changes", "changes over the fleet, newest first", with(SearchChanges)));
  routes->push_back(Get("/api/v1/profiles", "the target profiles", plain(Profiles)));
  routes->push_back(Get("/api/v1/schedules", "the schedules", plain(Schedules)));
  routes->push_back(Get("/api/v1/rollouts", "the upgrade rollouts, newest first", plain(Rollouts)));
  routes->push_back(Get("/api/v1/rollouts/{id}", "one rollout with its machines", with(Rollout)));
  routes->push_back(Get("/api/v1/nodes", "the fleet server nodes sharing the catalog, alive or dead", plain(Nodes)));
  routes->push_back(Get("/api/v1/health", "the server's links, queues, counters and the catalog's schema",
                        plain(Health)));
}

}  // namespace orvalinth::server::web_api
