#pragma once
// The fatal flag: 0 until the crash handler starts a report, then 1 for the
// rest of the process. A scan thread that finds it raised ends its recording
// with "fatal exception".

#include <atomic>

namespace orvalinth {

extern std::atomic<int> g_fatal_flag;

}  // namespace orvalinth
