// The fleet API's routes (to be written: the web console lists none yet).
#include "server/web_api.h"

namespace orvalinth::server {

std::vector<SXWebRoute> FleetApiRoutes(const SXApiContext&) { return {}; }

}  // namespace orvalinth::server
