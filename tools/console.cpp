#include <cstdio>

#include "tools/commands.h"

namespace orvalinth::tools {

int RunConsoleCommand(const std::vector<std::string>&) {
  std::fputs("orvalinth console: not built yet\n", stderr);
  return 2;
}

}  // namespace orvalinth::tools
