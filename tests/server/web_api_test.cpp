// The fleet API's handlers, called directly with built requests (no
// sockets): each call's answer against its golden JSON file in
// tests/fixtures/server/api/ (ORVALINTH_UPDATE_GOLDEN=1 rewrites them), every
// bad parameter's 400, and the actions through a fake CXFleetActions. The
// catalog is a real SQLite one in a temporary folder, the snapshot files
// real ones, so that reports and comparisons run the report engine.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/posix/drive_table.h"
#include "server/sim_test_support.h"
#include "server/snapshot_store.h"
#include "server/sqlite_catalog.h"
#include "server/web_api.h"
#include "test_support.h"

namespace orvalinth::server {
namespace {

constexpr int64_t kNow = 1767225600;  // 2026-01-01 00:00 UTC
constexpr int64_t kDay = 86400;

// Records what it was asked and answers from its table: machine 2 is offline,
// machine 4 busy; every other machine does what it is asked.
class CXFakeActions final : public CXFleetActions {
 public:
  bool IsOnline(int32_t uid) const override { return uid != 2; }
  void ScanNow(int32_t uid, const std::string& profile, const std::string& by, Done done) override {
    Answer("scan " + std::to_string(uid) + " " + profile + " by " + by, uid, Json{{"scan", 77}}, done);
  }
  void StopScan(int32_t uid, const std::string& by, Done done) override {
    Answer("stop-scan " + std::to_string(uid) + " by " + by, uid, Json::object(), done);
  }
  void Browse(int32_t uid, BrowseKind kind, const std::string& path, Done done) override {
    Json data{{"path", path}, {"entries", Json::array({Json{{"name", "Windows"}, {"folder", true}}})}};
    Answer("browse " + std::to_string(uid) + " " + std::to_string(static_cast<int>(kind)) + " " + path, uid, data,
           done);
  }
  void Uninstall(int32_t uid, const std::string& by, Done done) override {
    Answer("uninstall " + std::to_string(uid) + " by " + by, uid, Json::object(), done);
  }
  void StartRollout(const SXRolloutRequest& r, Done done) override {
    Answer("rollout " + r.group + " " + std::to_string(r.canary_percent) + " " + std::to_string(r.wave_size) + " " +
               std::to_string(r.package.size()) + " bytes by " + r.by,
           1, Json{{"rollout", 5}}, done);
  }
  void StopRollout(int64_t id, const std::string& by, Done done) override {
    SXActionResult result;
    result.error = "refused";
    result.message = "rollout " + std::to_string(id) + " is done already";
    calls.push_back("stop-rollout " + std::to_string(id) + " by " + by);
    done(result);
  }
  Json Health() const override { return Json{{"links", 3}, {"uptime", 60}}; }

  std::vector<std::string> calls;

 private:
  void Answer(std::string call, int32_t uid, Json data, const Done& done) {
    calls.push_back(std::move(call));
    SXActionResult result;
    result.ok = uid != 2 && uid != 4;
    result.error = uid == 2 ? "offline" : uid == 4 ? "busy" : "";
    result.message = uid == 2 ? "machine 2 is not connected" : uid == 4 ? "machine 4 is downloading a snapshot" : "";
    result.data = std::move(data);
    done(result);
  }
};

// The snapshot files: the second one has two more files than the first.
const std::string& SnapshotBytes(int which) {
  static const std::string first = test::RealSnapshotBytes(40), second = test::RealSnapshotBytes(42);
  return which == 1 ? first : second;
}

class WebApi : public ::testing::Test {
 protected:
  WebApi() : data_(platform::posix::ToHostPath(folder_.path())) {
    while (data_.size() > 1 && data_.back() == '/') data_.pop_back();
    std::string error;
    catalog_ = OpenSqliteCatalog(data_ + "/catalog.db", &error);
    EXPECT_NE(catalog_, nullptr) << error;
    context_.catalog = catalog_.get();
    context_.actions = &actions_;
    context_.data_folder = data_;
    context_.now = [] { return kNow; };
    routes_ = FleetApiRoutes(context_);
    Fill();
  }

  // Three machines, four snapshots (two of machine 1 compared), scans, a
  // profile and a schedule, a crash report, an upgrade, inventory.
  void Fill() {
    Machine(1, "PC-01", "lab", kNow - 60, true);
    Machine(2, "PC-02", "", kNow - 3 * kDay, false);
    Machine(3, "PC-\xE9t\xE9", "", kNow - 10 * kDay, false);  // a name in the agent's code page, not UTF-8
    s1_ = Snapshot(1, 1, kNow - 2 * kDay, SnapshotBytes(1));
    s2_ = Snapshot(1, 2, kNow - kDay, SnapshotBytes(2));
    s3_ = Snapshot(2, 1, kNow - 3 * kDay, SnapshotBytes(1));
    SXComparisonRow c;
    c.old_snapshot_id = s1_;
    c.new_snapshot_id = s2_;
    c.compared_time = kNow - kDay + 5;
    c.counts[0][0] = 2;
    c.categories.push_back(SXCategoryCount{ChangeKind::kFiles, "files", 2, 0, 0});
    std::vector<SXChangeRow> changes;
    for (const char* name : {"file41.dll", "file40.dll"}) {
      SXChangeRow r;
      r.kind = ChangeKind::kFiles;
      r.category = ChangeCategory::kAdded;
      r.path = std::string("c:\\Windows\\") + name;
      r.entry = "file";
      r.new_text = "1280 bytes";
      changes.push_back(r);
    }
    ASSERT_TRUE(catalog_->AddComparison(c, changes, nullptr).ok());
    ASSERT_TRUE(catalog_->SetCompared(s1_).ok());
    SXTargetProfile profile;
    profile.name = "daily";
    profile.files = {"C:\\Windows"};
    profile.apps = {"*"};
    profile.versions = true;
    ASSERT_TRUE(catalog_->PutProfile(profile).ok());
    SXScheduleRow schedule;
    schedule.group = "lab";
    schedule.interval_seconds = kDay;
    schedule.jitter_seconds = 600;
    schedule.profile = "daily";
    schedule.created_time = kNow - 30 * kDay;
    ASSERT_TRUE(catalog_->PutSchedule(schedule, nullptr).ok());
    int64_t scan = 0;
    ASSERT_TRUE(catalog_->RequestScan(1, ScanOrigin::kPerson, "ada", "daily", kNow - kDay - 100, &scan).ok());
    ASSERT_TRUE(catalog_->StartScan(scan, kNow - kDay - 90).ok());
    ASSERT_TRUE(catalog_->EndScan(scan, ScanState::kDone, kNow - kDay - 10, 2, "snapshot 2").ok());
    ASSERT_TRUE(catalog_->AddCrashReport(1, kNow - 5 * kDay, "access violation at 0x401000").ok());
    SXUpgradeResultRow upgrade;
    upgrade.uid = 1;
    upgrade.time = kNow - 4 * kDay;
    upgrade.ok = true;
    upgrade.app_version = 7;
    upgrade.text = "upgraded";
    ASSERT_TRUE(catalog_->AddUpgradeResult(upgrade).ok());
    ASSERT_TRUE(catalog_->ReplaceInventory(1, s2_, {{1, "Programs", "7-Zip", "C:\\Program Files\\7-Zip\\7z.exe", "23.01"},
                                                    {1, "Services", "Spooler", "C:\\Windows\\spoolsv.exe", "auto"}})
                    .ok());
    ASSERT_TRUE(catalog_->ReplaceInventory(2, s3_, {{2, "Programs", "7-Zip", "C:\\7z\\7z.exe", "19.00"}}).ok());
    // Two nodes: one beating (its heartbeat in 2100), one that stopped
    // answering, which held machine 1's link: reconnecting.
    SXNodeRow node;
    node.name = "fleet-1";
    node.agent_address = "192.0.2.100:51000";
    node.started_time = kNow - kDay;
    node.heartbeat_ms = 4102444800000;
    node.dead_after_ms = 15000;
    int64_t id = 0;
    int others = 0;
    ASSERT_TRUE(catalog_->StartNode(node, &id, &others).ok());
    node.name = "fleet-2";
    node.agent_address = "192.0.2.101:51000";
    node.web_address = "192.0.2.101:8080";
    node.heartbeat_ms = (kNow - 60) * 1000;
    ASSERT_TRUE(catalog_->StartNode(node, &id, &others).ok());
    ASSERT_TRUE(catalog_->SetMachineLink(1, id, true, kNow - 60).ok());
  }

  void Machine(int32_t uid, const std::string& name, const std::string& group, int64_t seen, bool online) {
    SXMachineInfo info;
    info.uid = uid;
    info.name = name;
    info.address = "192.0.2." + std::to_string(uid) + ":49731";
    info.app_version = 7;
    info.app_bits = 64;
    info.os_bits = 64;
    info.seen_time = seen - kDay;
    ASSERT_TRUE(catalog_->UpsertMachine(info, nullptr).ok());
    ASSERT_TRUE(catalog_->SetMachineOnline(uid, online, seen).ok());
    if (!group.empty()) {
      ASSERT_TRUE(catalog_->SetMachineGroup(uid, group).ok());
    }
  }

  int64_t Snapshot(int32_t uid, int32_t number, int64_t received, const std::string& bytes) {
    SXSnapshotRow row;
    row.uid = uid;
    row.number = number;
    row.agent_time = "2025-12-30 10:00";
    row.received_time = received;
    row.size = static_cast<int64_t>(bytes.size());
    row.sha256 = std::string(64, 'c');
    row.path = CXSnapshotStore::RelativePath(uid, number);
    row.compared = false;
    row.title = "PC-01 - snapshot #" + std::to_string(number);
    row.files = 40;
    const std::string full = data_ + "/" + row.path;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << bytes;
    int64_t id = 0;
    EXPECT_TRUE(catalog_->AddSnapshot(row, &id).ok());
    return id;
  }

  // Calls the route that `target` ("/api/v1/...?k=v&...") matches, as the HTTP layer would.
  SXWebResponse Call(const std::string& method, const std::string& target, const std::string& body = "") {
    SXWebRequest request;
    request.method = method;
    request.target = target;
    request.body = body;
    request.user_name = "ada";
    request.user_id = 1;
    const size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos) {
      std::istringstream pairs(target.substr(question + 1));
      for (std::string pair; std::getline(pairs, pair, '&');) {
        const size_t equals = pair.find('=');
        request.query.emplace_back(pair.substr(0, equals), equals == std::string::npos ? "" : pair.substr(equals + 1));
      }
    }
    for (const SXWebRoute& route : routes_) {
      if (route.method == method && Match(route.pattern, request.path, &request.params)) {
        SXWebResponse answer;
        int replies = 0;
        route.handler(request, [&](SXWebResponse r) {
          answer = std::move(r);
          ++replies;
        });
        EXPECT_EQ(replies, 1) << target;
        return answer;
      }
      request.params.clear();
    }
    ADD_FAILURE() << "no route for " << method << " " << target;
    return SXWebResponse();
  }

  static bool Match(const std::string& pattern, const std::string& path,
                    std::vector<std::pair<std::string, std::string>>* params) {
    std::istringstream p(pattern), q(path);
    std::string a, b;
    while (true) {
      const bool more_a = static_cast<bool>(std::getline(p, a, '/')), more_b = static_cast<bool>(std::getline(q, b, '/'));
      if (!more_a || !more_b) return more_a == more_b;
      if (a.size() > 2 && a.front() == '{' && a.back() == '}') {
        params->emplace_back(a.substr(1, a.size() - 2), b);
      } else if (a != b) {
        return false;
      }
    }
  }

  test::TempFolder folder_;
  std::string data_;
  std::unique_ptr<CXCatalog> catalog_;
  CXFakeActions actions_;
  SXApiContext context_;
  std::vector<SXWebRoute> routes_;
  int64_t s1_ = 0, s2_ = 0, s3_ = 0;
};

// An answer as its golden file holds it: status, type, headers, and the
// body parsed (JSON), as lines (JSON lines) or left out (a page, a file).
Json Recorded(const SXWebResponse& r) {
  Json out{{"status", r.status}, {"content_type", r.content_type}};
  if (!r.headers.empty()) out["headers"] = r.headers;
  if (!r.download_name.empty()) out["download_name"] = r.download_name;
  if (r.content_type == "application/json") {
    out["body"] = Json::parse(r.body);
  } else if (r.content_type == "application/x-ndjson") {
    Json& lines = out["body"] = Json::array();
    std::istringstream in(r.body);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  }
  return out;
}

void CompareWithGolden(const std::string& name, const Json& answer) {
  const std::string path = std::string(ORVALINTH_SERVER_FIXTURES) + "/api/" + name + ".json";
  const std::string text = answer.dump(2) + "\n";
  const char* update = std::getenv("ORVALINTH_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path << " is missing: run with ORVALINTH_UPDATE_GOLDEN=1";
  std::stringstream golden;
  golden << in.rdbuf();
  EXPECT_EQ(text, golden.str()) << name;
}

TEST_F(WebApi, EveryCallAnswersItsGoldenFile) {
  struct Case {
    const char* golden;
    const char* method;
    std::string target;
    std::string body;
  };
  const Case cases[] = {
      {"overview", "GET", "/api/v1/overview", ""},
      {"machines", "GET", "/api/v1/machines", ""},
      {"machines-filtered", "GET", "/api/v1/machines?online=0&sort=last_seen&order=desc&limit=1", ""},
      {"machines-pattern", "GET", "/api/v1/machines?name=pc-0*&group=lab", ""},
      {"machine", "GET", "/api/v1/machines/1", ""},
      {"machine-unknown", "GET", "/api/v1/machines/99", ""},
      {"machine-snapshots", "GET", "/api/v1/machines/1/snapshots", ""},
      {"snapshot", "GET", "/api/v1/snapshots/" + std::to_string(s2_), ""},
      {"snapshot-changes", "GET", "/api/v1/snapshots/" + std::to_string(s2_) + "/changes?offset=1&limit=5", ""},
      {"snapshot-no-comparison", "GET", "/api/v1/snapshots/" + std::to_string(s1_) + "/changes", ""},
      {"snapshot-report", "GET", "/api/v1/snapshots/" + std::to_string(s1_) + "/report", ""},
      {"snapshot-report-html", "GET", "/api/v1/snapshots/" + std::to_string(s1_) + "/report?format=html", ""},
      {"snapshot-file", "GET", "/api/v1/snapshots/" + std::to_string(s2_) + "/file", ""},
      {"compare", "GET", "/api/v1/compare?old=" + std::to_string(s1_) + "&new=" + std::to_string(s2_), ""},
      {"compare-machines", "GET",
       "/api/v1/compare?old=" + std::to_string(s3_) + "&new=" + std::to_string(s2_) + "&format=html", ""},
      {"search-inventory", "GET", "/api/v1/search/inventory?q=7-zip", ""},
      {"search-inventory-truncated", "GET", "/api/v1/search/inventory?q=*.exe&limit=1", ""},
      {"search-changes", "GET", "/api/v1/search/changes?kind=files&category=added&q=c:\\windows\\*", ""},
      {"profiles", "GET", "/api/v1/profiles", ""},
      {"schedules", "GET", "/api/v1/schedules", ""},
      {"health", "GET", "/api/v1/health", ""},
      {"nodes", "GET", "/api/v1/nodes", ""},
      {"scan", "POST", "/api/v1/machines/1/scan", R"({"profile":"daily"})"},
      {"scan-offline", "POST", "/api/v1/machines/2/scan", ""},
      {"stop-scan-busy", "POST", "/api/v1/machines/4/stop-scan", ""},
      {"browse", "GET", "/api/v1/machines/1/browse?kind=folder&path=C:\\", ""},
      {"uninstall-unconfirmed", "POST", "/api/v1/machines/1/uninstall", R"({"confirm":"PC-02"})"},
      {"uninstall", "POST", "/api/v1/machines/1/uninstall", R"({"confirm":"pc-01"})"},
      {"group", "PUT", "/api/v1/machines/2/group", R"({"group":"lab"})"},
      {"profile-put", "PUT", "/api/v1/profiles/weekly", R"({"registry":["HKEY_LOCAL_MACHINE\\SOFTWARE"],"full":true})"},
      {"profile-in-use", "DELETE", "/api/v1/profiles/daily", ""},
      {"schedule-post", "POST", "/api/v1/schedules", R"({"uid":3,"interval":3600,"jitter":60,"profile":"daily"})"},
      {"schedule-delete-unknown", "DELETE", "/api/v1/schedules/99", ""},
      {"rollout", "POST", "/api/v1/rollouts?group=lab&canary=20", "MZ\x90 agent"},
      {"rollout-stop-refused", "POST", "/api/v1/rollouts/3/stop", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.golden);
    const SXWebResponse answer = Call(c.method, c.target, c.body);
    CompareWithGolden(c.golden, Recorded(answer));
  }
  EXPECT_EQ(actions_.calls, (std::vector<std::string>{
                                "scan 1 daily by ada", "scan 2  by ada", "stop-scan 4 by ada", "browse 1 1 C:\\",
                                "uninstall 1 by ada", "rollout lab 20 50 9 bytes by ada", "stop-rollout 3 by ada"}));
}

TEST_F(WebApi, ReportsAndComparisonsRunTheEngineOnTheStoredFiles) {
  const SXWebResponse html = Call("GET", "/api/v1/compare?old=" + std::to_string(s1_) + "&new=" + std::to_string(s2_) +
                                             "&format=html");
  ASSERT_EQ(html.status, 200);
  EXPECT_EQ(html.body.substr(0, 15), "<!DOCTYPE html>");
  EXPECT_NE(html.body.find("file41.dll"), std::string::npos);
  EXPECT_NE(html.body.find("PC-01-snapshot002.snp"), std::string::npos);
  const SXWebResponse file = Call("GET", "/api/v1/snapshots/" + std::to_string(s2_) + "/file");
  EXPECT_EQ(file.file_path, data_ + "/" + CXSnapshotStore::RelativePath(1, 2));
  // A stored file gone or spoilt: that request's error, nothing more.
  std::ofstream(data_ + "/" + CXSnapshotStore::RelativePath(1, 1), std::ios::binary) << "not a snapshot";
  std::filesystem::remove(data_ + "/" + CXSnapshotStore::RelativePath(2, 1));
  EXPECT_EQ(Call("GET", "/api/v1/snapshots/" + std::to_string(s1_) + "/report").status, 422);
  EXPECT_EQ(Call("GET", "/api/v1/snapshots/" + std::to_string(s3_) + "/report").status, 404);
  EXPECT_EQ(Call("GET", "/api/v1/snapshots/" + std::to_string(s3_) + "/file").status, 404);
}

TEST_F(WebApi, EveryBadParameterIsA400NamingIt) {
  const std::string long_pattern(257, 'a');
  struct Case {
    const char* method;
    std::string target;
    std::string body;
    std::string parameter;
  };
  const Case cases[] = {
      {"GET", "/api/v1/machines?online=2", "", "online"},
      {"GET", "/api/v1/machines?limit=0", "", "limit"},
      {"GET", "/api/v1/machines?limit=1001", "", "limit"},
      {"GET", "/api/v1/machines?offset=-1", "", "offset"},
      {"GET", "/api/v1/machines?offset=1e3", "", "offset"},
      {"GET", "/api/v1/machines?sort=name;drop", "", "sort"},
      {"GET", "/api/v1/machines?order=up", "", "order"},
      {"GET", "/api/v1/machines?name=" + long_pattern, "", "name"},
      {"GET", "/api/v1/machines?seen_after=x", "", "seen_after"},
      {"GET", "/api/v1/machines/0", "", "uid"},
      {"GET", "/api/v1/machines/2147483648", "", "uid"},
      {"GET", "/api/v1/snapshots/abc", "", "id"},
      {"GET", "/api/v1/snapshots/1/changes?limit=5000", "", "limit"},
      {"GET", "/api/v1/snapshots/1/report?format=pdf", "", "format"},
      {"GET", "/api/v1/compare?old=1", "", "new"},
      {"GET", "/api/v1/compare?new=1", "", "old"},
      {"GET", "/api/v1/search/inventory", "", "q"},
      {"GET", "/api/v1/search/inventory?q=" + long_pattern, "", "q"},
      {"GET", "/api/v1/search/inventory?q=x&category=Fonts", "", "category"},
      {"GET", "/api/v1/search/changes?kind=mail", "", "kind"},
      {"GET", "/api/v1/search/changes?category=moved", "", "category"},
      {"GET", "/api/v1/search/changes?since=100&until=50", "", "until"},
      {"GET", "/api/v1/machines/1/browse?kind=disk", "", "kind"},
      {"GET", "/api/v1/machines/1/browse?kind=folder", "", "path"},
      {"POST", "/api/v1/machines/1/scan", "[1]", "body"},
      {"POST", "/api/v1/machines/1/scan", R"({"profile":7})", "profile"},
      {"POST", "/api/v1/machines/1/scan", R"({"profile":"nightly"})", "profile"},
      {"PUT", "/api/v1/machines/1/group", "{}", "group"},
      {"PUT", "/api/v1/machines/1/group", R"({"group":"*"})", "group"},
      {"PUT", "/api/v1/machines/1/group", R"({"group":"a\nb"})", "group"},
      {"PUT", "/api/v1/profiles/a%2Fb", R"({"files":["C:\\"]})", "name"},
      {"PUT", "/api/v1/profiles/p", "{}", "files"},
      {"PUT", "/api/v1/profiles/p", R"({"files":"C:\\"})", "files"},
      {"PUT", "/api/v1/profiles/p", R"({"apps":[""]})", "apps"},
      {"PUT", "/api/v1/profiles/p", R"({"files":["C:\\"],"full":"yes"})", "full"},
      {"PUT", "/api/v1/profiles/p", R"({"name":"q","files":["C:\\"]})", "name"},
      {"POST", "/api/v1/schedules", R"({"interval":3600,"profile":"daily"})", "uid"},
      {"POST", "/api/v1/schedules", R"({"uid":1,"group":"lab","interval":3600,"profile":"daily"})", "uid"},
      {"POST", "/api/v1/schedules", R"({"uid":1,"interval":10,"profile":"daily"})", "interval"},
      {"POST", "/api/v1/schedules", R"({"uid":1,"interval":3600,"jitter":7200,"profile":"daily"})", "jitter"},
      {"POST", "/api/v1/schedules", R"({"uid":1,"interval":3600})", "profile"},
      {"POST", "/api/v1/schedules", R"({"uid":1,"interval":3600,"profile":"daily","enabled":1})", "enabled"},
      {"POST", "/api/v1/rollouts?canary=0", "MZ", "canary"},
      {"POST", "/api/v1/rollouts?wave=x", "MZ", "wave"},
      {"POST", "/api/v1/rollouts?timeout=5", "MZ", "timeout"},
      {"POST", "/api/v1/rollouts", "", "body"},
      {"POST", "/api/v1/rollouts", "#!/bin/sh", "body"},
      {"POST", "/api/v1/rollouts/x/stop", "", "id"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + std::string(" ") + c.target + " " + c.body);
    const SXWebResponse answer = Call(c.method, c.target, c.body);
    EXPECT_EQ(answer.status, 400);
    const Json body = Json::parse(answer.body);
    EXPECT_EQ(body["error"]["code"], "bad-request");
    EXPECT_EQ(body["error"]["message"].get<std::string>().rfind(c.parameter + ":", 0), 0u) << answer.body;
  }
  EXPECT_TRUE(actions_.calls.empty());  // no agent was asked anything
}

TEST_F(WebApi, WithoutTheAgentsActionsAre503AndReadsStillAnswer) {
  context_.actions = nullptr;
  for (const auto& [method, target] : std::vector<std::pair<std::string, std::string>>{
           {"POST", "/api/v1/machines/1/scan"}, {"POST", "/api/v1/machines/1/stop-scan"},
           {"GET", "/api/v1/machines/1/browse"}, {"POST", "/api/v1/rollouts/1/stop"}}) {
    const SXWebResponse answer = Call(method, target);
    EXPECT_EQ(answer.status, 503) << target;
    EXPECT_EQ(Json::parse(answer.body)["error"]["code"], "unavailable") << target;
  }
  EXPECT_EQ(Call("GET", "/api/v1/health").body, "{\"catalog\":{\"schema\":" + std::to_string(catalog_->SchemaVersion()) +
                                                    "}}\n");
}

TEST_F(WebApi, RoutesAreUniqueWithSummariesAndActionsAreTheWrites) {
  std::set<std::string> seen;
  for (const SXWebRoute& r : routes_) {
    EXPECT_TRUE(seen.insert(r.method + " " + r.pattern).second) << r.pattern;
    EXPECT_FALSE(r.summary.empty()) << r.pattern;
    EXPECT_EQ(r.action, r.method != "GET") << r.pattern;
    EXPECT_EQ(r.max_body, r.method + " " + r.pattern == "POST /api/v1/rollouts" ? size_t{64} << 20 : 0u) << r.pattern;
  }
}

}  // namespace
}  // namespace orvalinth::server
