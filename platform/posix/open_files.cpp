#include "platform/open_files.h"

#include <sys/resource.h>

namespace orvalinth::platform {

uint64_t OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

bool RaiseOpenFileLimit(uint64_t wanted, uint64_t* now) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (now != nullptr) *now = 0;
    return false;
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? static_cast<rlim_t>(wanted)
                                                                                 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const uint64_t current = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
  if (now != nullptr) *now = current;
  return current >= wanted;
}

}  // namespace orvalinth::platform
