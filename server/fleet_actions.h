#pragma once
// CXFleetActions: what the web console asks of the agents through the fleet
// server (CXFleetServer implements it). Every call may come from any thread
// and returns at once; `done` is called exactly once, on any thread, when
// the agent answered, refused, or could not be asked.

#include <cstdint>
#include <functional>
#include <string>

#include "server/web_types.h"

namespace orvalinth::server {

struct SXActionResult {
  bool ok = false;
  // When not ok: "unknown-machine", "offline", "busy" (a scan or a download
  // under way where that matters), "agent-failed" (the agent refused or
  // failed: `message` has its words), "refused" (a bad request: `message`
  // says what), "stopping" (the server stops), "catalog" (the catalog
  // failed: `message` has its words), "node-unreachable" (the machine's link
  // is on another node, which did not answer or stopped answering).
  std::string error;
  std::string message;
  Json data = Json::object();  // what the call gives back (a listing, an id, ...)
};

enum class BrowseKind {
  kDrives,    // data: {"drives": [{"name", "type", ...}, ...]}
  kFolder,    // data: {"path", "entries": [{"name", "folder": bool, "size", "time", ...}, ...]}
  kRegistry,  // data: {"path", "entries": [{"name", "key": bool, "type", "data", ...}, ...]}
};

// A rollout as the console asks for it.
struct SXRolloutRequest {
  std::string group;          // "" every machine
  std::string package;        // the executable's bytes (signed when the agents require a signature)
  int32_t canary_percent = 10;
  int32_t wave_size = 50;
  int64_t wave_timeout_seconds = 1800;
  std::string by;             // who asked
};

class CXFleetActions {
 public:
  using Done = std::function<void(const SXActionResult&)>;
  virtual ~CXFleetActions() = default;

  // Whether the machine has a link now (read on any thread).
  virtual bool IsOnline(int32_t uid) const = 0;
  // A scan now with the profile named (""' : the one of the machine's
  // schedule, else "default"); data: {"scan": id}.
  virtual void ScanNow(int32_t uid, const std::string& profile, const std::string& by, Done done) = 0;
  virtual void StopScan(int32_t uid, const std::string& by, Done done) = 0;
  virtual void Browse(int32_t uid, BrowseKind kind, const std::string& path, Done done) = 0;
  // "uninstall" sent to the agent (the console asked for the typed confirmation before).
  virtual void Uninstall(int32_t uid, const std::string& by, Done done) = 0;
  // data: {"rollout": id}.
  virtual void StartRollout(const SXRolloutRequest& request, Done done) = 0;
  virtual void StopRollout(int64_t id, const std::string& by, Done done) = 0;
  // The server's own health: links, downloads, queues, counters, uptime (for the health page and /metrics).
  virtual Json Health() const = 0;
};

}  // namespace orvalinth::server
