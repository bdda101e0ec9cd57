#pragma once
// CXConsoleSession: carries out the console's commands (console_command.h) on
// a link to an agent and shows their results (console_output.h).

#include <cstdint>
#include <string>

#include "link/message.h"
#include "tools/console_command.h"
#include "tools/console_link.h"
#include "tools/console_output.h"
#include "tools/progress_bar.h"

namespace orvalinth::tools {

// How a command ended, from best to worst for the exit code.
enum class Outcome {
  kOk,
  kQuit,       // "quit"
  kFailed,     // the agent said no, a file could not be written, a time-out, a dropped link
  kUsage,      // the command cannot be carried out as written
  kNoAgent,    // no agent came in time
  kViolation,  // the agent broke the protocol
};

// The exit code of "orvalinth console" for an outcome: 0, 1, 2, 3 or 4.
int ExitCodeOf(Outcome outcome);
// The worse of two outcomes for the exit code (violation, no agent, usage,
// failed, in that order).
Outcome Worse(Outcome a, Outcome b);

class CXConsoleSession {
 public:
  static constexpr int64_t kDefaultScanWaitMs = 3600 * 1000;
  static constexpr int64_t kDefaultReconnectMs = 120 * 1000;
  static constexpr int64_t kDefaultUpgradeWaitMs = 5 * 1000;

  // `progress` may be null (no progress bar).
  CXConsoleSession(CXConsoleLink& link, CXConsoleOutput& output, CXProgressBar* progress)
      : link_(link), output_(output), progress_(progress) {}

  Outcome Run(const SXConsoleCommand& command);

  // The snapshot number of the last successful "scan-done" (0: none yet).
  int32_t last_snapshot() const { return last_snapshot_; }

 private:
  Outcome Listing(const SXConsoleCommand& c, bool registry);
  Outcome Drives(const SXConsoleCommand& c);
  Outcome SetId(const SXConsoleCommand& c);
  Outcome ScanSettings(const SXConsoleCommand& c);
  Outcome SetScan(const SXConsoleCommand& c);
  Outcome Scan(const SXConsoleCommand& c);
  Outcome StopScan(const SXConsoleCommand& c);
  Outcome WaitScan(const SXConsoleCommand& c);
  Outcome Download(const SXConsoleCommand& c);
  Outcome Ack(const SXConsoleCommand& c);
  Outcome Upgrade(const SXConsoleCommand& c);
  Outcome Uninstall(const SXConsoleCommand& c);
  Outcome Reconnect(const SXConsoleCommand& c);
  Outcome Raw(const SXConsoleCommand& c);

  // Shows the link's failure for the command and maps it to an outcome.
  Outcome LinkFailure(const SXConsoleCommand& c, const std::string& prefix = std::string());
  // Records a violation found in a reply and shows it.
  Outcome BadReply(const SXConsoleCommand& c, const std::string& what, const CXMessage& reply);
  // The snapshot number of "N" or "last"; 0 with a usage failure shown.
  int32_t SnapshotNumber(const SXConsoleCommand& c);

  CXConsoleLink& link_;
  CXConsoleOutput& output_;
  CXProgressBar* progress_;
  int32_t last_snapshot_ = 0;
};

}  // namespace orvalinth::tools
