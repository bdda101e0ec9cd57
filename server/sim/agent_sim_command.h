#pragma once
// "orvalinth agent-sim": a fleet of simulated agents against a console or
// the fleet server, printing its counters as it goes.
//
//   orvalinth agent-sim --server HOST:PORT --agents N --snapshot FILE
//       [--ramp PER_SECOND] [--hostile MODE [--hostile-agents K]]
//       [--duration S] [--report-every S] [--json] ...
//
// Counter lines go to standard output ("t=10.0 connects=... ..." or one JSON
// object a line); what the fleet is, and with --verbose what happens to
// single agents, to standard error. Exit code 0, 1 when the fleet could not
// start, 2 for a usage error.

#include <string>
#include <vector>

#include "server/sim/agent_sim.h"

namespace orvalinth::sim {

struct SXAgentSimOptions {
  std::string host;
  uint16_t port = 0;
  std::vector<std::pair<std::string, uint16_t>> more_servers;  // --server A:P,B:Q: the ones after the first
  std::string snapshot_path;
  SXSimFleetPlan plan;
  double ramp_per_second = 0;
  int threads = 1;
  SXSimTiming timing;
  double duration_seconds = 0;  // 0: until interrupted
  double report_every_seconds = 10;  // 0: only the last line
  bool json = false;
  bool verbose = false;
  bool help = false;
};

std::string AgentSimUsage();

// Reads the arguments (after "agent-sim"); false with *error for a usage
// error. "--help" sets help and succeeds.
bool ParseAgentSimOptions(const std::vector<std::string>& arguments, SXAgentSimOptions* options,
                          std::string* error);

// The counter line at `seconds` since the start, as --json chooses.
std::string CounterLine(double seconds, const SXSimCounters& totals, bool json, bool final_line);

int RunAgentSimCommand(const std::vector<std::string>& arguments);

}  // namespace orvalinth::sim
