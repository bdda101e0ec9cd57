#pragma once
// The fatal flag: 0 until the crash handler starts a report, then 1. The scan
// thread reads it while a recording runs and, once it is raised, abandons the
// recording and reports "fatal exception". One process-wide atomic, so the
// crash handler can raise it from whichever thread faulted, without a lock.

namespace orvalinth {

// Raises (1) or lowers (0) the flag.
void SetFatalFlag(int value);
// The flag now: 0 or 1.
int FatalFlag();

}  // namespace orvalinth
