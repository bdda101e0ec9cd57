#pragma once
// The application that the service runs between "running" and "stopping".

#include <atomic>

#include "link/client.h"

namespace orvalinth {

// Set by the console's "uninstall" command; read by StopApplication.
extern std::atomic<int> g_uninstall_requested;

// The program's upgrade and uninstall, as the console's commands start them:
// BeginUpgrade with `settings`, and the stop that ends in the self-uninstall
// (g_uninstall_requested, then RequestServiceStop).
SXMaintenanceActions ServiceMaintenanceActions(CXClientSettings& settings);

// Starts the socket library (and the message trace when asked for), loads the
// settings, hands the client its maintenance actions and starts the
// connection thread; logs "Orvalinth started".
// Failure when the settings cannot be loaded or the thread cannot start.
bool StartApplication();

// Stops the client and waits for its threads; logs "Orvalinth finished"; after
// an "uninstall" command hands the process over to the self-uninstall.
void StopApplication();

// What asks the service to stop (the service runtime sets its stop-event
// signal here); none at first. Thread-safe.
using StopRequestHandler = void (*)();
void SetStopRequestHandler(StopRequestHandler handler);
// Calls the handler that is set; false when none is.
bool RequestServiceStop();

}  // namespace orvalinth
