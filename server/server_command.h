#pragma once
// "orvalinth server" and "orvalinth fleet": the fleet server and the
// commands over its catalog.

#include <string>
#include <vector>

namespace orvalinth::server {

struct SXServerConfig;
// Reads and parses the configuration file; false with *error ("FILE: line N: ...").
bool LoadServerConfig(const std::string& path, SXServerConfig* config, std::string* error);

// orvalinth server --config FILE [--log-to-stderr]
int RunServerCommand(const std::vector<std::string>& arguments);
// orvalinth fleet --config FILE <machines|snapshots|changes|gained|scan-now|stop-scan|scans> ... [--json]
int RunFleetCommand(const std::vector<std::string>& arguments);

}  // namespace orvalinth::server
