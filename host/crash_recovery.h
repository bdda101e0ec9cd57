#pragma once
// The recovery from a fatal fault: what the crash handler runs on the
// faulting thread once the report is written, so that the machine does not
// stay without its client.
//
//  1. The console link is closed gracefully, and the client's stop flag
//     raised so that the dying process makes no new link. The link lock may
//     be held by the very thread that faulted: it is only tried, for a short
//     while, and without it the link is left to the end of the process.
//  2. Log "A fatal exception have occured in Orvalinth service while
//     recording snapshots." and "try to restart service..." (information).
//  3. "error-log.tmp" is deleted and made again as a byte-for-byte copy of
//     "error-log.txt" (one read of its size, one write): the copy that the
//     next "info" carries to the console.
//  4. The restart (platform::CrashRestartStyle):
//     - service restart (Windows): the executable is run detached with
//       "-restart" (it waits 5 s, stops the service, starts it again); then
//       the service manager is told the service has stopped, so that the
//       restart finds it stopped even where the manager does not notice a
//       dead service process by itself (Wine);
//     - process replacement (Linux daemon): a fresh daemon of the same
//       executable replaces this process (same process id, so systemd, or
//       the terminal that started it, keeps following it).
// Failures on the way are ignored. The result: 1 when the restart is under
// way (the handler then ends the process with exit code 0), 0 when a
// replacement could not start (the fault then ends the process, and a
// service manager that restarts failed daemons starts it again).

#include <cstdint>

#include "platform/crash_handler.h"

namespace orvalinth {

class CXClient;

struct SXCrashRecoveryTiming {
  int32_t link_lock_wait_ms = 1000;  // how long the link lock and the log lock are tried
};

// The routine the service entry installs: RecoverFromCrash with the process's
// client and the platform's way of restarting.
int CrashRecovery();

// The steps above with `client` and `restart`; then, for a service restart,
// `report_stopped` (may be null) tells the service manager the service has
// stopped.
int RecoverFromCrash(CXClient& client, platform::CrashRestart restart, void (*report_stopped)(),
                     const SXCrashRecoveryTiming& timing = SXCrashRecoveryTiming());

// Deletes "error-log.tmp" and makes it a copy of "error-log.txt" when that
// can be read; true when the copy was written whole.
bool CopyCrashReport();

}  // namespace orvalinth
