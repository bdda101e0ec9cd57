#include "platform/open_files.h"

namespace orvalinth::platform {

// Sockets are not counted against a per-process file limit on Windows.
uint64_t OpenFileLimit() { return UINT64_MAX; }

bool RaiseOpenFileLimit(uint64_t, uint64_t* now) {
  if (now != nullptr) *now = UINT64_MAX;
  return true;
}

}  // namespace orvalinth::platform
