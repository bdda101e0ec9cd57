#include "host/fatal_flag.h"

namespace orvalinth {

std::atomic<int> g_fatal_flag{0};

}  // namespace orvalinth
