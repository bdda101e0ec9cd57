// orvalinth: the console that talks to agents, and the snapshot reader.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace {

void Usage() {
  std::fputs(
      "usage: orvalinth <command> [options]\n"
      "\n"
      "commands:\n"
      "  console   listen for an agent and drive it (orvalinth console --help)\n"
      "  dump      show a snapshot file (orvalinth dump --help)\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string command = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (command == "console") return orvalinth::tools::RunConsoleCommand(rest);
  if (command == "dump") return orvalinth::tools::RunDumpCommand(rest);
  if (command == "--help" || command == "-h" || command == "help") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "orvalinth: unknown command '%s'\n", command.c_str());
  Usage();
  return 2;
}
