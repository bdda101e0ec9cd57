#pragma once
// The service as the service control manager sees it: the entry that the
// dispatcher runs, the control handler, the status it reports and the stop
// event that ends it. Between "running" and "stop pending" the service runs
// the application (host/application.h) and waits for the stop event.
//
// States reported, in order: start pending (right after the handler is
// registered), running (before the application starts), stop pending (on a
// stop or shutdown control, and again when the wait ends or the application
// did not start), stopped (after the application has stopped).

#include <cstdint>

namespace orvalinth {

// Hands the process to the service dispatcher with ServiceMain as the entry
// of "OrvalinthSrv". Returns when the service has stopped and its entry has
// finished, or at once when the process was not started as a service (false;
// nothing is logged then).
bool RunServiceDispatcher();

// The service entry: installs the crash handler (report "error-log.txt",
// title "Orvalinth service v<version text>", the crash recovery), registers
// the control handler, logs "Service started", reports start pending and
// running, starts the application and waits for the stop event (or logs
// "app start failed" when the application cannot start), reports stop
// pending, stops the application, reports stopped and logs "Service
// stopped". A failed registration logs "service start failed -
// cannot register handler" and returns without reporting any state.
void ServiceMain();

// The control handler: stop and shutdown report stop pending and signal the
// stop event; any other control reports the status unchanged. Before the
// entry has reported its first state, and after it has stopped, nothing is
// reported (a stop still signals the event, so it is not lost).
void ServiceCtrlHandler(uint32_t control);

// Signals the stop event, which ends the service entry's wait (used by the
// control handler and by the console's "uninstall" command).
void SignalStop();

// For the crash recovery, after it has arranged the restart: reports the
// service stopped (exit code 1067, the process ended unexpectedly), so that
// the restart finds it stopped rather than running in a process that is
// gone. The status lock is only tried for a moment (the faulting thread may
// hold it); nothing is reported before the entry has registered its handler.
void ReportStoppedAfterCrash();

}  // namespace orvalinth
