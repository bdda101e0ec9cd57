#pragma once
// The crash handler of the service process, installed first thing by the
// service entry. On a fatal fault, on whichever thread it happens, it takes
// the report lock, raises the fatal flag (base/fatal_flag.h), writes the
// report (host/crash_report.h): the "exception at" line, the faulting
// thread's stack, ".", releases the lock and then
//  - with the show-message flag 0 and a recovery routine: runs the routine
//    and ends the process with exit code 0 (a routine that returns 0 could
//    not arrange the restart: the fault then takes its normal course, so
//    that a service manager sees the process die of it);
//  - with the show-message flag 0 and no routine: lets the system go on with
//    its normal handling of the fault;
//  - with the show-message flag 1: shows "A fatal error have occured..." with
//    the report path and ends the process with exit code 0.
// A second thread that faults meanwhile waits for the lock and then writes
// its own report; a fault inside the handler itself is left to the system.

#include <string>

#include "platform/crash_handler.h"

namespace orvalinth {

// Runs on the faulting thread after the report; 1 when it has arranged the restart.
using CrashRecoveryRoutine = int (*)();

// The text shown with the show-message flag 1.
std::string FatalErrorMessage(const std::u16string& report_path);

// Builds the report path (program folder + `report_name`) and the header text
// (title, executable, system, processor and memory; read now, never inside
// the handler), and installs the process's fault handler. Installing again
// replaces the earlier settings; the next report starts a new file. False
// when the platform refused the handler (the report state is set anyway).
bool InstallCrashHandler(const std::u16string& report_name, const std::string& title, int show_message,
                         CrashRecoveryRoutine recovery);

// Gives the faults back to the system and forgets the report settings.
void UninstallCrashHandler();

// Appends one piece of 8-bit text to the report; dropped when no handler was
// installed (see CXCrashReport::Write for the first write of a process).
void ReportWrite(const std::string& text);

// The handler's work for one fault (what the platform's filter calls).
platform::FaultAction HandleFault(const platform::FaultInfo& fault);

}  // namespace orvalinth
