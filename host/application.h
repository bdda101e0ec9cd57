#pragma once
// The application that the service runs between "running" and "stopping".

#include <atomic>

namespace orvalinth {

// Set by the console's "uninstall" command; read by StopApplication.
extern std::atomic<int> g_uninstall_requested;

// Prepares the system folder paths, starts the socket library, loads the
// settings and starts the connection thread; logs "Orvalinth started".
// Failure when the settings cannot be loaded or the thread cannot start.
bool StartApplication();

// Stops the client and waits for its threads; logs "Orvalinth finished"; after
// an "uninstall" command hands the process over to the self-uninstall.
void StopApplication();

}  // namespace orvalinth
