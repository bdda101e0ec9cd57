#pragma once
// Self-upgrade: the console sends a new executable ("upgd-cli") and the
// service replaces itself with it, in three processes:
//
//  1. the running service (Begin) writes the bytes as "upgrade_tmp.exe" in
//     the program folder, records its own version number in the settings as
//     the old version, discards the saved snapshots, marks the service for
//     deletion and hands its process over to the copy ("-upgrade");
//  2. the copy (Finish) replaces "OrvalinthSrv.exe" with itself, has it
//     register the service again and starts it;
//  3. the new service tells the console at its next greeting ("info":
//     upgraded, upgrade-ok) and deletes the copy (link/client_info.cpp).
//
// Nothing is lost when the copy cannot be written or cannot be started: the
// copy is started held back, and only then are the snapshots discarded and
// the service marked for deletion, before the copy runs. A service marked
// for deletion cannot be registered again while its process runs, so that
// order is what keeps a failed upgrade's agent installed and running.

#include <cstdint>
#include <string>

#include "host/service_control.h"
#include "settings/client_settings.h"

namespace orvalinth {

// The waits of the second stage; tests shorten them.
struct SXUpgradeTiming {
  // The old service process may still be ending when the copy starts: the
  // target executable is tried this many times, this far apart (10 s).
  int replace_attempts = 40;
  uint32_t replace_retry_ms = 250;
};

class CXUpgrade {
 public:
  CXUpgrade(CXClientSettings& settings, CXServiceControl& control, SXUpgradeTiming timing = SXUpgradeTiming())
      : settings_(settings), control_(control), timing_(timing) {}
  CXUpgrade(const CXUpgrade&) = delete;
  CXUpgrade& operator=(const CXUpgrade&) = delete;

  // Stage 1, in the running service, with the bytes of the new executable.
  // Does not return once the copy has started (the process ends there). 0
  // with *error_text (also logged) when the upgrade cannot go on: an empty
  // payload, "upgrade refused - <why>" when "UpgradeSigner:" is set and the
  // executable's signature does not pass (host/signed_upgrade.h) or the key
  // names no valid pin (checked before anything is written), "cannot create
  // file <path>" when the copy cannot be written,
  // "cannot start <path>" when it cannot be started (the copy is deleted
  // again); in each case the settings, the snapshots and the service's
  // registration are as they were. 1 only when a substituted process
  // facility reported the start without ending the process.
  int Begin(const uint8_t* bytes, int32_t length, std::string* error_text);

  // Stage 2, in the copy started with "-upgrade": reloads the settings
  // (LoadPrevious), replaces the target executable, runs it with "-register",
  // starts the service and logs "Upgrade to v<version text> is complete.".
  // Logs "upgrade failed - cannot replace exe" when there is no upgrade copy
  // (then nothing changes) or the target cannot be replaced; in the second
  // case the previous executable, still in place, is registered and started
  // again, so that the service keeps running at its old version.
  void Finish();

 private:
  // Whether the settings let these bytes in: true without "UpgradeSigner:",
  // else only for an executable signed by one of its pins; false with *why.
  bool SignatureAllows(const uint8_t* bytes, int32_t length, std::string* why);
  // Writes the whole payload to the upgrade copy; a partial copy is deleted.
  bool WriteUpgradeCopy(const uint8_t* bytes, int32_t length);
  // Copies the upgrade copy over the target executable, retrying while the
  // target is still in use.
  bool ReplaceTarget();

  CXClientSettings& settings_;
  CXServiceControl& control_;
  const SXUpgradeTiming timing_;
};

// Stage 1 for the dispatcher, with the service control of the real program.
int BeginUpgrade(CXClientSettings& settings, const uint8_t* bytes, int32_t length, std::string* error_text);
// The same with the process-wide settings.
int BeginUpgrade(const uint8_t* bytes, int32_t length, std::string* error_text);

// Stage 2 with the process-wide settings: the "-upgrade" option.
void FinishUpgrade();

}  // namespace orvalinth
