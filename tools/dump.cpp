#include <cstdio>

#include "tools/commands.h"

namespace orvalinth::tools {

int RunDumpCommand(const std::vector<std::string>&) {
  std::fputs("orvalinth dump: not built yet\n", stderr);
  return 2;
}

}  // namespace orvalinth::tools
