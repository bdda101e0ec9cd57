// OrvalinthSrv: the remote scan client, its own installer and control tool.

#include <string>
#include <vector>

#include "host/program.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  return orvalinth::ProgramMain(arguments, orvalinth::RealProgramActions());
}
