// OrvalinthSrvSoak: the service for the soak (scripts/soak, Soak.*), which
// drops and makes links by the thousand: the product's libraries as they
// are, with every wait's sleep 10 ms instead of 500 ms: a reconnect wait of
// 50 ms instead of 5 s. The polls and the pings keep the service's timing.

#include <string>
#include <vector>

#include "host/program.h"
#include "link/client.h"

int main(int argc, char** argv) {
  using namespace orvalinth;
  SXClientTiming timing = ProcessClient().timing();
  timing.sleep_ms = 10;
  timing.reconnect_sleeps = 5;
  ProcessClient().set_timing(timing);
  const std::vector<std::string> arguments(argv, argv + argc);
  return ProgramMain(arguments, RealProgramActions());
}
