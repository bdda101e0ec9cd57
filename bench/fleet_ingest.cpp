// One round of snapshots into the fleet server, for scripts/bench-server:
// N simulated agents (the agent-sim's fleet, in this process) connect, each
// holding snapshots 1 to SAVED, all served from FILE; the round ends when the
// server has acknowledged every one of them ("down-ack"), that is when each
// is stored, checked, flushed and catalogued (a snapshot the catalog holds
// already is acknowledged without a download).
//
// The agents' computer ids are read from IDS (one a line) when it exists,
// else the server gives them; either way they are written back to IDS, so
// that a second round of the same agents (SAVED 2, FILE the second
// snapshot) reaches the same machines and each new snapshot is compared with
// the first.
//
// usage: orvalinth_fleet_ingest HOST:PORT AGENTS NAME_PREFIX FILE SAVED IDS [TIMEOUT_S]
// prints one JSON line: agents, acknowledged, downloads, bytes, seconds
// (from the start to the last acknowledgement), greeted_seconds (until every
// agent had the server's greeting); exit 1 when the time-out came first.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/open_files.h"
#include "server/sim/agent_sim.h"

namespace orvalinth {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int Run(int argc, char** argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr, "usage: orvalinth_fleet_ingest HOST:PORT AGENTS NAME_PREFIX FILE SAVED IDS [TIMEOUT_S]\n");
    return 2;
  }
  const std::string server = argv[1];
  const size_t colon = server.rfind(':');
  const int agents = std::atoi(argv[2]);
  const std::string prefix = argv[3];
  const int saved = std::atoi(argv[5]);
  const std::string ids_path = argv[6];
  const double timeout_s = argc == 8 ? std::atof(argv[7]) : 600;
  if (colon == std::string::npos || agents < 1 || saved < 1) {
    std::fprintf(stderr, "orvalinth_fleet_ingest: HOST:PORT, AGENTS and SAVED from 1\n");
    return 2;
  }
  std::string error;
  sim::SnapshotBytes bytes = sim::LoadSnapshotFile(argv[4], &error);
  if (bytes == nullptr) {
    std::fprintf(stderr, "orvalinth_fleet_ingest: %s\n", error.c_str());
    return 1;
  }
  platform::RaiseOpenFileLimit(static_cast<uint64_t>(agents) + 64);

  sim::SXSimFleetPlan plan;
  plan.agents = agents;
  plan.name_prefix = prefix;
  plan.saved = saved;
  sim::SXSimFleetConfig config;
  config.host = server.substr(0, colon);
  config.port = static_cast<uint16_t>(std::atoi(server.c_str() + colon + 1));
  config.snapshot = bytes;
  config.agents = sim::PlanAgents(plan);
  std::ifstream ids_in(ids_path);
  for (size_t i = 0; ids_in && i < config.agents.size(); ++i) {
    int32_t id = 0;
    if (ids_in >> id) config.agents[i].id = id;
  }

  sim::CXSimulatedFleet fleet(std::move(config));
  const Clock::time_point start = Clock::now();
  if (!fleet.Start(&error)) {
    std::fprintf(stderr, "orvalinth_fleet_ingest: %s\n", error.c_str());
    return 1;
  }
  const uint64_t wanted = static_cast<uint64_t>(agents) * static_cast<uint64_t>(saved);
  double greeted_s = -1;
  double done_s = -1;
  sim::SXSimCounters totals;
  while (Since(start) < timeout_s) {
    totals = fleet.Totals();
    if (greeted_s < 0 && totals[sim::kGreeted] >= static_cast<uint64_t>(agents)) greeted_s = Since(start);
    if (totals[sim::kSnapshotsAcknowledged] >= wanted) {
      done_s = Since(start);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::ofstream ids_out(ids_path, std::ios::trunc);
  for (size_t i = 0; i < fleet.size(); ++i) ids_out << fleet.AgentState(i).id << "\n";
  ids_out.close();
  fleet.Stop();
  std::printf("{\"agents\":%d,\"acknowledged\":%llu,\"downloads\":%llu,\"bytes\":%llu,\"drops\":%llu,"
              "\"seconds\":%.3f,\"greeted_seconds\":%.3f}\n",
              agents, static_cast<unsigned long long>(totals[sim::kSnapshotsAcknowledged]),
              static_cast<unsigned long long>(totals[sim::kSnapshotsServed]),
              static_cast<unsigned long long>(totals[sim::kBytesServed]),
              static_cast<unsigned long long>(totals[sim::kDrops]), done_s, greeted_s);
  std::fflush(stdout);
  if (done_s < 0) {
    std::fprintf(stderr, "orvalinth_fleet_ingest: %llu of %llu snapshots acknowledged within %.0f s\n",
                 static_cast<unsigned long long>(totals[sim::kSnapshotsAcknowledged]),
                 static_cast<unsigned long long>(wanted), timeout_s);
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace orvalinth

int main(int argc, char** argv) { return orvalinth::Run(argc, argv); }
