#pragma once
// The JSON API of the web console under /api/v1/ over the fleet: machines,
// snapshots and their comparisons, reports, downloads, fleet searches,
// actions on agents, profiles and schedules, rollouts, health. Accounts,
// sign-in, tokens, the event stream and /metrics belong to the HTTP layer
// (server/http_server.h), which authorises every request before a handler
// of these routes runs.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/fleet_actions.h"
#include "server/fleet_events.h"
#include "server/snapshot_store.h"
#include "server/web_types.h"

namespace orvalinth::server {

struct SXApiContext {
  CXCatalog* catalog = nullptr;
  CXSnapshotStore* store = nullptr;
  CXFleetActions* actions = nullptr;  // null: the actions answer 503 "unavailable"
  CXFleetEvents* events = nullptr;
  std::string data_folder;            // where the catalog's relative paths start
  int64_t silent_seconds = 86400;     // offline longer than this: silent
  std::function<int64_t()> now;       // seconds since 1970 (tests set it)
};

// The routes of the fleet API; `context` must outlive them.
std::vector<SXWebRoute> FleetApiRoutes(const SXApiContext& context);

}  // namespace orvalinth::server
