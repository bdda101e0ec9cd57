// orvalinth: the console that talks to agents, and the snapshot reader.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tools/commands.h"
#include "tools/console_text.h"
#include "tools/report/report_command.h"
#ifdef ORVALINTH_FLEET_SERVER
#include "server/server_command.h"
#endif
#ifdef ORVALINTH_AGENT_SIM
#include "server/sim/agent_sim_command.h"
#endif

namespace {

void Usage() {
  std::fputs(
      "usage: orvalinth <command> [options]\n"
      "\n"
      "commands:\n"
      "  console   listen for an agent and drive it (orvalinth console --help)\n"
      "  dump      show a snapshot file (orvalinth dump --help)\n"
      "  diff      compare two snapshot files (orvalinth diff --help)\n"
      "  report    report on a snapshot file (orvalinth report --help)\n"
      "  tls-pin   the pin of a TLS certificate or key file (orvalinth tls-pin --help)\n"
#ifdef ORVALINTH_FLEET_SERVER
      "  server    the fleet server: every agent at once (orvalinth server --help)\n"
      "  fleet     machines, snapshots, changes and scans of the fleet server (orvalinth fleet --help)\n"
#endif
#ifdef ORVALINTH_AGENT_SIM
      "  agent-sim simulated agents by the thousand against a server (orvalinth agent-sim --help)\n"
#endif
      ,
      stderr);
}

// The arguments as UTF-8. On Windows argv is in the ANSI code page, which
// cannot hold every path: the UTF-16 command line is taken instead.
std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
#ifdef _WIN32
  std::vector<std::u16string> wide;
  if (orvalinth::platform::Process::Real().CommandLineArguments(&wide) && wide.size() == arguments.size()) {
    for (size_t i = 0; i < wide.size(); ++i) arguments[i] = orvalinth::tools::Utf16ToUtf8(wide[i]);
  }
#endif
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = Arguments(argc, argv);
  if (arguments.size() < 2) {
    Usage();
    return 2;
  }
  const std::string command = arguments[1];
  const std::vector<std::string> rest(arguments.begin() + 2, arguments.end());
  if (command == "console") return orvalinth::tools::RunConsoleCommand(rest);
  if (command == "dump") return orvalinth::tools::RunDumpCommand(rest);
  if (command == "diff") return orvalinth::report::RunDiffCommand(rest);
  if (command == "report") return orvalinth::report::RunReportCommand(rest);
  if (command == "tls-pin") return orvalinth::tools::RunTlsPinCommand(rest);
#ifdef ORVALINTH_FLEET_SERVER
  if (command == "server") return orvalinth::server::RunServerCommand(rest);
  if (command == "fleet") return orvalinth::server::RunFleetCommand(rest);
#endif
#ifdef ORVALINTH_AGENT_SIM
  if (command == "agent-sim") return orvalinth::sim::RunAgentSimCommand(rest);
#endif
  if (command == "--help" || command == "-h" || command == "help") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "orvalinth: unknown command '%s'\n", command.c_str());
  Usage();
  return 2;
}
