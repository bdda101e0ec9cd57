// The fleet API's actions: what waits on an agent (scan, stop-scan, browse,
// uninstall, rollouts) goes through CXFleetActions and answers from its
// callback; what only changes the catalog (a machine's group, profiles,
// schedules) answers at once.

#include <climits>
#include <memory>

#include "server/web_api_internal.h"

namespace orvalinth::server::web_api {
namespace {

constexpr size_t kNameMax = 64;
constexpr size_t kTargetMax = 1024;
constexpr size_t kTargetsMax = 256;
constexpr size_t kPathMax = 4096;
constexpr size_t kRolloutBodyMax = size_t{64} << 20;

SXWebRoute Route(const char* method, std::string pattern, std::string summary, WebHandler handler) {
  SXWebRoute route;
  route.method = method;
  route.pattern = std::move(pattern);
  route.summary = std::move(summary);
  route.action = std::string(method) != "GET";
  route.handler = Guarded(std::move(handler));
  return route;
}

// The agent's answer as the reply: `answer(data)` on success, the mapped error otherwise.
CXFleetActions::Done ReplyWith(WebReply reply, std::function<Json(const Json& data)> answer) {
  return [reply = std::move(reply), answer = std::move(answer)](const SXActionResult& result) {
    reply(result.ok ? JsonAnswer(answer(result.data)) : ActionError(result));
  };
}

Json Ok(const Json&) { return Json{{"ok", true}}; }

// The id an agent's call gave back under `key` (0 when it gave none).
Json IdOf(const Json& data, const char* key) {
  return data.is_object() && data.contains(key) && data[key].is_number_integer() ? data[key] : Json(0);
}

bool SameNameFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool ProfileNameOk(const std::string& name) {
  if (name.empty() || name.size() > kNameMax) return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-' || c == ' ';
    if (!ok) return false;
  }
  return true;
}

// A list of targets: an array of at most kTargetsMax texts of 1 to kTargetMax bytes.
std::vector<std::string> Targets(CXParams& p, const Json& body, const char* field) {
  std::vector<std::string> out;
  const auto found = body.find(field);
  if (found == body.end()) return out;
  if (!found->is_array() || found->size() > kTargetsMax) {
    p.Bad(field, "an array of at most " + std::to_string(kTargetsMax) + " targets");
    return out;
  }
  for (const Json& item : *found) {
    if (!item.is_string() || item.get<std::string>().empty() || item.get<std::string>().size() > kTargetMax) {
      p.Bad(field, "each target a text of 1 to " + std::to_string(kTargetMax) + " bytes");
      return out;
    }
    out.push_back(item.get<std::string>());
  }
  return out;
}

bool Flag(CXParams& p, const Json& body, const char* field) {
  const auto found = body.find(field);
  if (found == body.end()) return false;
  if (!found->is_boolean()) {
    p.Bad(field, "true or false");
    return false;
  }
  return found->get<bool>();
}

int64_t BodyNumber(CXParams& p, const Json& body, const char* field, int64_t fallback, int64_t low, int64_t high) {
  const auto found = body.find(field);
  if (found == body.end()) return fallback;
  if (!found->is_number_integer() || found->get<int64_t>() < low || found->get<int64_t>() > high) {
    p.Bad(field, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return fallback;
  }
  return found->get<int64_t>();
}

// ---- machines ------------------------------------------------------------------

void Scan(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  const Json body = p.Body();
  const std::string profile = BodyText(p, body, "profile", kNameMax);
  if (!p.ok()) return reply(p.Error());
  if (!profile.empty()) {
    SXTargetProfile known;
    const SXCatalogStatus s = c.catalog->GetProfile(profile, &known);
    if (s.not_found()) return reply(JsonError(400, "bad-request", "profile: no target profile is named " + profile));
    if (!s) return reply(CatalogError(s));
  }
  if (c.actions == nullptr) return reply(Unavailable());
  c.actions->ScanNow(uid, profile, r.user_name,
                     ReplyWith(std::move(reply), [](const Json& data) { return Json{{"scan", IdOf(data, "scan")}}; }));
}

void StopScan(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  if (!p.ok()) return reply(p.Error());
  if (c.actions == nullptr) return reply(Unavailable());
  c.actions->StopScan(uid, r.user_name, ReplyWith(std::move(reply), Ok));
}

void SetGroup(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  const Json body = p.Body();
  if (p.ok() && !body.contains("group")) p.Bad("group", "the group's name (\"\" for none)");
  const std::string group = BodyText(p, body, "group", kNameMax);
  if (p.ok() && (group == "*" || group == "-")) p.Bad("group", "\"*\" and \"-\" name no group");
  if (!p.ok()) return reply(p.Error());
  const SXCatalogStatus s = c.catalog->SetMachineGroup(uid, group);
  reply(s ? JsonAnswer(Ok(nullptr)) : CatalogError(s));
}

void Browse(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  const std::string kind_text = p.Choice("kind", {"drives", "folder", "registry"}, "drives");
  const std::string path = p.Text("path", kPathMax);
  if (p.ok() && kind_text == "folder" && path.empty()) p.Bad("path", "the folder to list (\"C:\\\\Windows\")");
  if (!p.ok()) return reply(p.Error());
  if (c.actions == nullptr) return reply(Unavailable());
  const BrowseKind kind = kind_text == "folder"     ? BrowseKind::kFolder
                          : kind_text == "registry" ? BrowseKind::kRegistry
                                                    : BrowseKind::kDrives;
  c.actions->Browse(uid, kind, path, ReplyWith(std::move(reply), [](const Json& data) { return data; }));
}

void Uninstall(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int32_t uid = static_cast<int32_t>(p.Id("uid", INT32_MAX));
  const Json body = p.Body();
  const std::string confirm = BodyText(p, body, "confirm", 256);
  if (!p.ok()) return reply(p.Error());
  SXMachineRow machine;
  const SXCatalogStatus s = c.catalog->GetMachine(uid, &machine);
  if (!s) return reply(CatalogError(s));
  if (machine.name.empty() || !SameNameFolded(confirm, machine.name)) {
    return reply(JsonError(400, "confirmation", "confirm: type the machine's name to uninstall its agent"));
  }
  if (c.actions == nullptr) return reply(Unavailable());
  c.actions->Uninstall(uid, r.user_name, ReplyWith(std::move(reply), Ok));
}

// ---- profiles and schedules --------------------------------------------------------

void PutProfile(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  SXTargetProfile profile;
  profile.name = r.Param("name");
  if (!ProfileNameOk(profile.name)) {
    p.Bad("name", "1 to 64 letters, digits, spaces, \".\", \"_\" or \"-\"");
  }
  const Json body = p.Body();
  if (p.ok() && body.contains("name") && body["name"] != profile.name) p.Bad("name", "the body's differs from the path's");
  profile.files = Targets(p, body, "files");
  profile.registry = Targets(p, body, "registry");
  profile.apps = Targets(p, body, "apps");
  profile.versions = Flag(p, body, "versions");
  profile.full = Flag(p, body, "full");
  profile.removable = Flag(p, body, "removable");
  profile.snapshot_name = BodyText(p, body, "snapshot_name", kNameMax);
  if (p.ok() && profile.files.empty() && profile.registry.empty() && profile.apps.empty()) {
    p.Bad("files", "a profile names at least one target of files, registry or apps");
  }
  if (!p.ok()) return reply(p.Error());
  const SXCatalogStatus s = c.catalog->PutProfile(profile);
  reply(s ? JsonAnswer(Ok(nullptr)) : CatalogError(s));
}

void DeleteProfile(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  const std::string name = r.Param("name");
  if (!ProfileNameOk(name)) return reply(JsonError(400, "bad-request", "name: no profile can be named so"));
  const SXCatalogStatus s = c.catalog->DeleteProfile(name);
  if (s.code == CatalogCode::kRefused) return reply(JsonError(409, "in-use", s.message));  // a schedule names it
  reply(s ? JsonAnswer(Ok(nullptr)) : CatalogError(s));
}

void PostSchedule(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const Json body = p.Body();
  SXScheduleRow schedule;
  schedule.uid = static_cast<int32_t>(BodyNumber(p, body, "uid", 0, 0, INT32_MAX));
  schedule.group = BodyText(p, body, "group", kNameMax);
  if (p.ok() && (schedule.uid == 0) == schedule.group.empty()) {
    p.Bad("uid", "a schedule is of one machine (uid) or of one group (\"*\": every machine), not both");
  }
  schedule.interval_seconds = BodyNumber(p, body, "interval", 0, 60, 366 * 86400);
  if (p.ok() && !body.contains("interval")) p.Bad("interval", "seconds between scans, 60 or more");
  schedule.jitter_seconds = BodyNumber(p, body, "jitter", 0, 0, 366 * 86400);
  if (p.ok() && schedule.jitter_seconds > schedule.interval_seconds) p.Bad("jitter", "at most the interval");
  schedule.profile = BodyText(p, body, "profile", kNameMax);
  if (p.ok() && schedule.profile.empty()) p.Bad("profile", "the target profile's name");
  const auto enabled = body.find("enabled");
  if (enabled != body.end() && !enabled->is_boolean()) p.Bad("enabled", "true or false");
  schedule.enabled = enabled == body.end() || (enabled->is_boolean() && enabled->get<bool>());
  if (!p.ok()) return reply(p.Error());
  schedule.created_time = c.now();
  int64_t id = 0;
  const SXCatalogStatus s = c.catalog->PutSchedule(schedule, &id);
  reply(s ? JsonAnswer(Json{{"id", id}}) : CatalogError(s));
}

void DeleteSchedule(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  if (!p.ok()) return reply(p.Error());
  const SXCatalogStatus s = c.catalog->DeleteSchedule(id);
  reply(s ? JsonAnswer(Ok(nullptr)) : CatalogError(s));
}

// ---- rollouts ------------------------------------------------------------------------

void PostRollout(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  SXRolloutRequest request;
  request.group = p.Text("group", kNameMax);
  request.canary_percent = static_cast<int32_t>(p.Number("canary", 10, 1, 100));
  request.wave_size = static_cast<int32_t>(p.Number("wave", 50, 1, 100000));
  request.wave_timeout_seconds = p.Number("timeout", 1800, 60, 7 * 86400);
  if (p.ok() && r.body.size() < 2) p.Bad("body", "the agent's executable (application/octet-stream)");
  if (p.ok() && r.body.size() > kRolloutBodyMax) p.Bad("body", "at most 64 MiB");
  if (p.ok() && r.body.compare(0, 2, "MZ") != 0) p.Bad("body", "not a Windows executable");
  if (!p.ok()) return reply(p.Error());
  if (c.actions == nullptr) return reply(Unavailable());
  request.package = r.body;
  request.by = r.user_name;
  c.actions->StartRollout(request, ReplyWith(std::move(reply), [](const Json& data) {
                            return Json{{"rollout", IdOf(data, "rollout")}};
                          }));
}

void StopRollout(const SXApiContext& c, const SXWebRequest& r, WebReply reply) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  if (!p.ok()) return reply(p.Error());
  if (c.actions == nullptr) return reply(Unavailable());
  c.actions->StopRollout(id, r.user_name, ReplyWith(std::move(reply), Ok));
}

}  // namespace

void AddActionRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes) {
  const SXApiContext* c = &context;
  const auto with = [c](void (*f)(const SXApiContext&, const SXWebRequest&, WebReply)) {
    return [c, f](const SXWebRequest& r, WebReply reply) { f(*c, r, std::move(reply)); };
  };
  routes->push_back(Route("POST", "/api/v1/machines/{uid}/scan", "a scan now, with a profile or the schedule's",
                          with(Scan)));
  routes->push_back(Route("POST", "/api/v1/machines/{uid}/stop-scan", "stops the machine's scan", with(StopScan)));
  routes->push_back(Route("PUT", "/api/v1/machines/{uid}/group", "puts the machine in a group (\"\" for none)",
                          with(SetGroup)));
  routes->push_back(Route("GET", "/api/v1/machines/{uid}/browse",
                          "the agent's live listing of its drives, a folder or a registry key", with(Browse)));
  routes->push_back(Route("POST", "/api/v1/machines/{uid}/uninstall",
                          "uninstalls the agent, confirmed by the machine's name typed", with(Uninstall)));
  routes->push_back(Route("PUT", "/api/v1/profiles/{name}", "adds or replaces a target profile", with(PutProfile)));
  routes->push_back(Route("DELETE", "/api/v1/profiles/{name}", "removes a target profile no schedule uses",
                          with(DeleteProfile)));
  routes->push_back(Route("POST", "/api/v1/schedules", "adds or replaces the schedule of a machine or a group",
                          with(PostSchedule)));
  routes->push_back(Route("DELETE", "/api/v1/schedules/{id}", "removes a schedule", with(DeleteSchedule)));
  SXWebRoute rollout = Route("POST", "/api/v1/rollouts", "rolls a new agent out in waves (the executable as the body)",
                             with(PostRollout));
  rollout.max_body = kRolloutBodyMax;
  routes->push_back(std::move(rollout));
  routes->push_back(Route("POST", "/api/v1/rollouts/{id}/stop", "stops a rollout", with(StopRollout)));
}

}  // namespace orvalinth::server::web_api
