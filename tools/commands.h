#pragma once
// The subcommands of the orvalinth tool.

#include <string>
#include <vector>

namespace orvalinth::tools {

// "orvalinth console ...": listens for an agent and drives it.
int RunConsoleCommand(const std::vector<std::string>& arguments);
// "orvalinth dump FILE ...": shows a snapshot file.
int RunDumpCommand(const std::vector<std::string>& arguments);
// "orvalinth tls-pin FILE": prints the pin of a certificate or key file.
int RunTlsPinCommand(const std::vector<std::string>& arguments);

}  // namespace orvalinth::tools
