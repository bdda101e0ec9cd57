// The fleet API's routes, and what their handlers share: parameters, the
// JSON of the catalog's rows, the answers of failures.

#include "server/web_api.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "server/web_api_internal.h"

namespace orvalinth::server {
namespace web_api {
namespace {

bool Clean(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A whole decimal number, nothing else ("+", spaces and "0x" are not).
bool ParseInteger(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] >= '0' && text[i] <= '9') && !(i == 0 && text[i] == '-' && text.size() > 1)) return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

Json Counts(int64_t added, int64_t removed, int64_t changed) {
  return Json{{"added", added}, {"removed", removed}, {"changed", changed}};
}

const char* const kScanStates[] = {"requested", "started", "done", "failed", "stopped"};

}  // namespace

int64_t CXParams::Number(const char* key, int64_t fallback, int64_t low, int64_t high) {
  if (!request_.HasQuery(key)) return fallback;
  int64_t value = 0;
  if (!ParseInteger(request_.Query(key), &value) || value < low || value > high) {
    Bad(key, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return fallback;
  }
  return value;
}

int64_t CXParams::Id(const char* name, int64_t high) {
  int64_t value = 0;
  if (!ParseInteger(request_.Param(name), &value) || value < 1 || value > high) {
    Bad(name, "an id from 1 to " + std::to_string(high));
    return 0;
  }
  return value;
}

std::string CXParams::Text(const char* key, size_t max) {
  std::string value = request_.Query(key);
  if (value.size() > max || !Clean(value)) {
    Bad(key, "at most " + std::to_string(max) + " bytes without control characters");
    return std::string();
  }
  return value;
}

std::string CXParams::Choice(const char* key, const std::vector<std::string>& choices, const std::string& fallback) {
  if (!request_.HasQuery(key)) return fallback;
  const std::string value = request_.Query(key);
  for (const std::string& c : choices) {
    if (value == c) return value;
  }
  std::string list;
  for (size_t i = 0; i < choices.size(); ++i) list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
  Bad(key, list);
  return fallback;
}

Json CXParams::Body() {
  if (request_.body.empty()) return Json::object();
  Json body = Json::parse(request_.body, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded() || !body.is_object()) {
    Bad("body", "a JSON object");
    return Json::object();
  }
  return body;
}

void CXParams::Bad(const std::string& name, const std::string& message) {
  if (error_.empty()) error_ = name + ": " + message;
}

SXWebResponse CXParams::Error() const { return JsonError(400, "bad-request", error_); }

std::string BodyText(CXParams& params, const Json& body, const char* field, size_t max, const std::string& fallback) {
  const auto found = body.find(field);
  if (found == body.end()) return fallback;
  if (!found->is_string()) {
    params.Bad(field, "a string");
    return fallback;
  }
  std::string value = found->get<std::string>();
  if (value.size() > max || !Clean(value)) {
    params.Bad(field, "at most " + std::to_string(max) + " bytes without control characters");
    return fallback;
  }
  return value;
}

SXWebResponse CatalogError(const SXCatalogStatus& status) {
  switch (status.code) {
    case CatalogCode::kNotFound: return JsonError(404, "not-found", status.message);
    case CatalogCode::kConflict: return JsonError(409, "conflict", status.message);
    case CatalogCode::kRefused: return JsonError(400, "bad-request", status.message);
    default: return JsonError(500, "catalog", status.message);
  }
}

SXWebResponse ActionError(const SXActionResult& result) {
  struct SXMapping {
    const char* error;
    int status;
  };
  static const SXMapping kMappings[] = {
      {"unknown-machine", 404}, {"offline", 409}, {"busy", 409},
      {"refused", 400},         {"agent-failed", 502}, {"stopping", 503},
      {"node-unreachable", 504},  // the node holding the machine did not answer
  };
  for (const SXMapping& m : kMappings) {
    if (result.error == m.error) return JsonError(m.status, m.error, result.message);
  }
  return JsonError(500, result.error.empty() ? "failed" : result.error, result.message);
}

SXWebResponse Unavailable() {
  return JsonError(503, "unavailable", "the fleet server's agents cannot be reached from here");
}

SXWebResponse NotFound(const std::string& message) { return JsonError(404, "not-found", message); }

Json MachineJson(const SXMachineRow& row) {
  return Json{{"uid", row.uid},           {"name", row.name},           {"address", row.address},
              {"version", row.app_version}, {"app_bits", row.app_bits},   {"os_bits", row.os_bits},
              {"group", row.group},       {"first_seen", row.first_seen}, {"last_seen", row.last_seen},
              {"online", row.online},     {"last_scan", row.last_scan_time},
              {"link", row.online ? "online" : "offline"}};
}

Json ScanJson(const SXScanRow& row) {
  return Json{{"id", row.id},
              {"origin", row.origin == ScanOrigin::kPerson ? "person" : "schedule"},
              {"by", row.requested_by},
              {"profile", row.profile},
              {"state", kScanStates[static_cast<int>(row.state)]},
              {"requested", row.requested_time},
              {"started", row.started_time},
              {"done", row.done_time},
              {"number", row.snapshot_number},
              {"result", row.result}};
}

Json ComparisonJson(const SXComparisonRow& row) {
  Json categories = Json::array();
  for (const SXCategoryCount& c : row.categories) {
    categories.push_back(Json{{"kind", ChangeKindName(c.kind)},
                              {"category", c.category},
                              {"added", c.added},
                              {"removed", c.removed},
                              {"changed", c.changed}});
  }
  const auto& n = row.counts;
  return Json{{"id", row.id},
              {"uid", row.uid},
              {"old_snapshot", row.old_snapshot_id},
              {"new_snapshot", row.new_snapshot_id},
              {"old_number", row.old_number},
              {"new_number", row.new_number},
              {"time", row.time},
              {"compared_time", row.compared_time},
              {"files", Counts(n[0][0], n[0][1], n[0][2])},
              {"registry", Counts(n[1][0], n[1][1], n[1][2])},
              {"apps", Counts(n[2][0], n[2][1], n[2][2])},
              {"stored_rows", row.stored_rows},
              {"categories", categories}};
}

Json SnapshotJson(const SXSnapshotRow& row, const Json& comparison) {
  return Json{{"id", row.id},
              {"uid", row.uid},
              {"number", row.number},
              {"agent_time", row.agent_time},
              {"received", row.received_time},
              {"size", row.size},
              {"sha256", row.sha256},
              {"title", row.title},
              {"compared", row.compared},
              {"counts", Json{{"keys", row.keys},
                              {"values", row.values},
                              {"folders", row.folders},
                              {"files", row.files},
                              {"items", row.items},
                              {"errors", row.errors}}},
              {"comparison", comparison}};
}

Json ChangeJson(const SXChangeRow& row) {
  return Json{{"id", row.id},
              {"uid", row.uid},
              {"time", row.time},
              {"kind", ChangeKindName(row.kind)},
              {"category", ChangeCategoryName(row.category)},
              {"path", row.path},
              {"entry", row.entry},
              {"old", row.old_text},
              {"new", row.new_text}};
}

Json ProfileJson(const SXTargetProfile& p) {
  return Json{{"name", p.name},         {"files", p.files}, {"registry", p.registry},
              {"apps", p.apps},         {"versions", p.versions}, {"full", p.full},
              {"removable", p.removable}, {"snapshot_name", p.snapshot_name}};
}

Json ScheduleJson(const SXScheduleRow& row) {
  return Json{{"id", row.id},
              {"uid", row.uid},
              {"group", row.group},
              {"interval", row.interval_seconds},
              {"jitter", row.jitter_seconds},
              {"profile", row.profile},
              {"enabled", row.enabled},
              {"created", row.created_time}};
}

Json RolloutJson(const SXRolloutRow& row) {
  return Json{{"id", row.id},
              {"group", row.group},
              {"version", row.app_version},
              {"size", row.package_size},
              {"sha256", row.package_sha256},
              {"canary_percent", row.canary_percent},
              {"wave_size", row.wave_size},
              {"wave", row.wave},
              {"state", RolloutStateName(row.state)},
              {"reason", row.reason},
              {"by", row.created_by},
              {"created", row.created_time},
              {"updated", row.updated_time}};
}

bool ComparisonOf(CXCatalog& catalog, int64_t snapshot_id, Json* comparison, SXWebResponse* error) {
  SXComparisonRow row;
  SXCatalogStatus s = catalog.GetComparison(snapshot_id, &row);
  if (s.not_found()) {
    *comparison = nullptr;
    return true;
  }
  if (s.ok()) s = catalog.CategoryCounts(row.id, &row.categories);
  if (!s) {
    *error = CatalogError(s);
    return false;
  }
  *comparison = ComparisonJson(row);
  return true;
}

const std::string& CXMachineNames::Name(int32_t uid) {
  for (const auto& known : names_) {
    if (known.first == uid) return known.second;
  }
  SXMachineRow row;
  if (!catalog_.GetMachine(uid, &row).ok()) row.name.clear();
  names_.emplace_back(uid, row.name);
  return names_.back().second;
}

std::optional<SXScheduleRow> ScheduleOf(const std::vector<SXScheduleRow>& schedules, const SXMachineRow& machine) {
  const SXScheduleRow* group = nullptr;
  const SXScheduleRow* every = nullptr;
  for (const SXScheduleRow& s : schedules) {
    if (s.uid == machine.uid) return s;
    if (s.uid == 0 && !machine.group.empty() && s.group == machine.group) group = &s;
    if (s.uid == 0 && s.group == "*") every = &s;
  }
  if (group != nullptr) return *group;
  if (every != nullptr) return *every;
  return std::nullopt;
}

bool ParseKind(const std::string& text, ChangeKind* kind) {
  for (ChangeKind k : {ChangeKind::kFiles, ChangeKind::kRegistry, ChangeKind::kApps}) {
    if (text == ChangeKindName(k)) return *kind = k, true;
  }
  return false;
}

bool ParseCategory(const std::string& text, ChangeCategory* category) {
  for (ChangeCategory c : {ChangeCategory::kAdded, ChangeCategory::kRemoved, ChangeCategory::kChanged}) {
    if (text == ChangeCategoryName(c)) return *category = c, true;
  }
  return false;
}

WebHandler Guarded(WebHandler handler) {
  return [handler = std::move(handler)](const SXWebRequest& request, WebReply reply) {
    auto replied = std::make_shared<std::atomic<bool>>(false);
    WebReply once = [reply, replied](SXWebResponse response) {
      if (!replied->exchange(true)) reply(std::move(response));
    };
    try {
      handler(request, once);
    } catch (const std::exception& e) {
      once(JsonError(500, "internal", std::string("the request failed: ") + e.what()));
    }
  };
}

std::string SnapshotFileName(const std::string& machine_name, int32_t number) {
  std::string name = machine_name.empty() ? "machine" : machine_name;
  for (char& c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) c = '_';
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d", number);
  return name + "-snapshot" + digits + ".snp";
}

}  // namespace web_api

std::vector<SXWebRoute> FleetApiRoutes(const SXApiContext& context) {
  std::vector<SXWebRoute> routes;
  web_api::AddReadRoutes(context, &routes);
  web_api::AddReportRoutes(context, &routes);
  web_api::AddActionRoutes(context, &routes);
  return routes;
}

}  // namespace orvalinth::server
