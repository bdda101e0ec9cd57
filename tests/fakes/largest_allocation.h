#pragma once
// The largest single allocation the process makes while a test watches, seen
// through AddressSanitizer's allocation hooks: a test shows that a peer's
// announced size was never allocated. Without the hooks (a build without
// AddressSanitizer, Windows) nothing is watched and Watch() says so.

#include <cstddef>

namespace orvalinth::test {

class LargestAllocation {
 public:
  // Starts watching from 0; false when this build cannot watch.
  bool Watch();
  // Stops watching; the largest allocation seen meanwhile (0 unwatched).
  size_t Stop();
};

}  // namespace orvalinth::test
