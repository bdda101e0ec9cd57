#pragma once
// The commands of "orvalinth console": their words, their arguments and how
// a line of input or the command line is cut into commands.
//
// Words: a command is a list of words. On the command line each argument is a
// word and a word ";" (or a final ";" on a word) ends a command. A line of
// input is cut at blanks; '...' and "..." quote (without escapes, so Windows
// paths stay as they are), ";" outside quotes ends a command and "#" at the
// start of a word begins a comment.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvalinth::tools {

enum class CommandKind {
  kInfo,
  kDrives,
  kDir,
  kReg,
  kSetId,
  kScanSettings,
  kSetScan,
  kScan,
  kStopScan,
  kWaitScan,
  kDownload,
  kAck,
  kUpgrade,
  kUninstall,
  kReconnect,
  kRaw,
  kSleep,
  kHelp,
  kQuit,
};

// The scan targets and flags of "set-scan" and of "scan" with targets.
struct SXScanTargets {
  std::vector<std::string> files;  // UTF-8
  std::vector<std::string> regs;
  std::vector<std::string> apps;
  bool full = false;
  bool versions = false;
  bool removable = false;  // "set-scan" only
  std::string name;        // snapshot name, UTF-8
};

struct SXConsoleCommand {
  CommandKind kind = CommandKind::kHelp;
  std::string word;  // the command's own word as the user wrote it
  std::string text;  // dir and reg: the path; stop-scan: the text; scan: the name; upgrade: the file; raw: the name
  std::string folder;  // download: where to
  int32_t number = 0;  // set-id: the id; download and ack: the snapshot number
  bool last = false;   // download and ack: the number of the last "scan-done"
  bool ack = false;    // download --ack
  bool explicit_targets = false;  // scan with targets ("default" 0)
  SXScanTargets targets;
  int64_t wait_ms = -1;  // wait-scan, reconnect, upgrade, raw, sleep; -1 for the default
  bool no_reply = false;  // raw --no-reply
  std::vector<std::pair<std::string, std::string>> pairs;  // raw KEY=VALUE
  std::string payload_file;  // raw --payload
};

// Parses one command; false with a usage error.
bool ParseCommand(const std::vector<std::string>& words, SXConsoleCommand* command, std::string* error);

// Cuts command-line words into commands at ";".
std::vector<std::vector<std::string>> GroupCommands(const std::vector<std::string>& words);
// Cuts a line of input into commands; false with an error for an open quote.
bool SplitInputLine(std::string_view line, std::vector<std::vector<std::string>>* commands, std::string* error);

// Seconds ("1", "0.25") to milliseconds; false for anything else or a
// negative value.
bool ParseSeconds(std::string_view text, int64_t* ms);

// The text that "help" and "orvalinth console --help" show for the commands.
const char* CommandHelp();

}  // namespace orvalinth::tools
