#pragma once
// CXSimulatedFleet: many simulated agents in one process, each a small state
// machine on an event loop (Boost.Asio; one io_context per thread, a few
// threads, never a thread per agent), for loading a console or the fleet
// server over TCP.
//
// Each agent speaks the agent's side of the link byte for byte as the
// service does: it connects, sends "hello" ("ver" "QELMv1.0", "app" 6),
// takes the console's "hello", sends "info" (its computer name, id 0 until
// the console gives it one with "set-uid", versions 6/64/64, the scanning
// flag, "saved-uids" with the snapshots it holds, the scan targets' text),
// then answers the console's commands as the service's dispatcher does:
//
//   "set-uid"        keeps the id for every later "info"; no reply
//   "get-scan", "set-scan"
//                    the scan targets, checked and kept as the service
//                    keeps them
//   "scan"           ok 1 (or ok 0 "scan already in progress"); after the
//                    scan time "scan-done" with the next snapshot number,
//                    which joins "saved-uids"
//   "stop-scan"      ends the scan (no "scan-done") or discards the snapshot
//                    last recorded or downloaded; "stop-scan" ok 1, or ok 0
//                    echoing the text
//   "down-snap"      the size, then the snapshot file in "down-block" frames
//                    of 131,072 bytes (the last shorter, possibly empty) and
//                    the end marker ("down-block" "done" 1), back to back,
//                    still answering commands between blocks; size 0 and
//                    "cannot open <path>" for a snapshot it does not hold
//   "down-ack"       removes the snapshot from "saved-uids"; no reply
//   "get-disk"       drive c, fixed; "get-dir" of a folder ("C:\") and
//                    "get-reg" a small fixed listing (an element that opens
//                    further, one that does not, for folders a link too);
//                    "get-dir" of a name ("C:\Windows") an empty one
//   "upgd-cli"       as its SimUpgrade says: ok 0 "upgrade is not available",
//                    or the upgrade done or failed
//   "uninstall"      closes the link and ends the agent for good
//   anything else    "null", then the link is dropped
//
// After 10 s without a command it sends "ping" (never while a download
// streams); after a dropped link it connects again 5 s later (at once after a
// failed send, as the service does); a console that sends no "hello" within
// 30 s, or stops in the middle of a frame for 30 s, loses the link. Every
// snapshot is the one snapshot file of the fleet, shared by all agents, with
// the number inside it made the one asked for (server/sim/sim_snapshot.h).
//
// Agents chosen by the fleet's plan misbehave on purpose (HostileMode), each
// a given number of times or always, so that a server's handling of them
// can be tested; what each does on the wire is listed with the modes.
//
// Counters (server/sim/sim_counters.h) can be read from any thread at any
// time; the state of one agent through AgentState, from any thread but the
// fleet's own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/sim/sim_counters.h"
#include "server/sim/sim_snapshot.h"

namespace orvalinth::sim {

enum class HostileMode {
  kNone,
  // Sends 4,096 bytes that are no frame at all in place of its "hello", then
  // waits for the console to drop it.
  kGarbage,
  // After "info", a frame header announcing 10,485,761 bytes (one more than
  // a frame may hold) and nothing after it.
  kBadLength,
  // After "info", a whole frame whose body does not decode: "ping" FE.
  kBadBody,
  // Serves a snapshot whose stored blocks are damaged (same size, same
  // header): the download completes, the file does not read.
  kCorruptSnapshot,
  // Answers "down-snap" with the size, then sends full blocks one per pace
  // (SXSimTiming::trickle_ms) for ever, past the size, never the end marker.
  kEndlessDownload,
  // Answers "down-snap" with the size, then the first block's frame one byte
  // per pace: a frame that never completes.
  kTrickleDownload,
  // Sends the download up to half the file, cut in the middle of a block's
  // frame, then hangs: no byte more, no reply, no ping, until the console
  // drops the link.
  kStallDownload,
  // Sends the download up to half the file, cut in the middle of a block's
  // frame, then closes the connection there (a machine gone down); it comes
  // back after the reconnect wait, the snapshot still held.
  kVanishDownload,
  // After "info", "ping" frames back to back for as long as the link lasts
  // (it still answers commands).
  kPingFlood,
  // Connects and never greets: no byte at all, until the console drops it.
  kSilent,
  // Its clock is a year ahead: the snapshots it serves carry a finish time
  // one year after the fleet's start.
  kClockOff,
  // Claims the computer id of the plan's `claimed_id` from its first
  // connect, as a cloned machine image does (a distinct computer name).
  kSameId,
};

// The command-line name of a mode ("bad-length", ...), and back.
const char* HostileModeName(HostileMode mode);
bool ParseHostileMode(std::string_view name, HostileMode* mode);
// One line per mode: its name and what it does, for the usage text.
std::string HostileModesHelp();

// The rhythm of the agents, in milliseconds. The defaults are the service's;
// tests shorten them.
struct SXSimTiming {
  int64_t ping_idle_ms = 10000;         // a "ping" after this long without a command
  int64_t reconnect_ms = 5000;          // the wait before connecting again
  int64_t greeting_timeout_ms = 30000;  // for the console's "hello"
  int64_t frame_timeout_ms = 30000;     // for the rest of a console's frame, once begun
  int64_t close_drain_ms = 2000;        // a graceful close waits this long for the console's close
  int64_t scan_ms = 5000;               // how long a scan takes
  int64_t trickle_ms = 1000;            // the pace of the trickling misbehaviours
};

// What an agent does with "upgd-cli".
enum class SimUpgrade {
  // ok 0 "upgrade is not available".
  kRefuse,
  // Reads the package's agent version as the server does
  // (record/package_version.h): without one ok 0 with why; with one it drops
  // the link as the service does to upgrade, and comes back after the
  // reconnect wait running that version, its "info" telling the upgrade
  // ("upgraded" 1, upgrade-ok 1).
  kApply,
  // Drops the link and comes back still at its old version, its "info"
  // telling the upgrade failed ("upgraded" 1, upgrade-ok 0), as an agent
  // given a file of its own version does.
  kKeepOld,
};

// One agent.
struct SXSimAgentConfig {
  std::string name;           // computer name ("SIM-00001")
  int32_t id = 0;             // computer id at the start (0: none yet)
  int32_t saved = 0;          // snapshots held at the start: numbers 1 to saved
  HostileMode hostile = HostileMode::kNone;
  int32_t hostile_times = 0;  // how many times it misbehaves; 0: every time
  // What happened before its first link, which its first "info" tells (as
  // the service tells it once): an upgrade that has just finished (with
  // "upgrade-ok" 1, or 0 for a file of the same version), and a crash
  // report (the crash copy's bytes; empty: none).
  bool upgraded = false;
  bool upgrade_ok = true;
  std::string crash_report;
  int32_t app_version = 0;  // the agent version it runs ("hello", "info"); 0: this program's
  SimUpgrade upgrade = SimUpgrade::kRefuse;
};

// A fleet as the command line describes it.
struct SXSimFleetPlan {
  int32_t agents = 1;
  std::string name_prefix = "SIM-";  // names are the prefix and a 5-digit number
  int32_t first_number = 1;          // the number of the first agent's name
  int32_t saved = 0;                 // snapshots each agent holds at the start
  HostileMode hostile = HostileMode::kNone;
  int32_t hostile_agents = 0;        // the first this many agents misbehave
  int32_t hostile_times = 0;
  int32_t claimed_id = 1;            // the id kSameId agents claim
};

// The agents of a plan, in order.
std::vector<SXSimAgentConfig> PlanAgents(const SXSimFleetPlan& plan);

struct SXSimFleetConfig {
  std::string host = "127.0.0.1";  // the console's address or host name
  uint16_t port = 51000;
  // Further servers (several nodes behind one name): agent i starts at
  // address i modulo their count (host:port first) and moves to the next
  // whenever it cannot connect.
  std::vector<std::pair<std::string, uint16_t>> more_servers;
  SnapshotBytes snapshot;          // the file every agent serves
  std::vector<SXSimAgentConfig> agents;
  double ramp_per_second = 0;      // first connects per second; 0: all at once
  int threads = 1;                 // event-loop threads
  SXSimTiming timing;
  // Told what happens to single agents (a link dropped, a greeting refused,
  // ...), one line each, on the fleet's threads; null: nothing is told.
  std::function<void(const std::string& line)> on_event;
};

// One agent at one moment.
struct SXSimAgentState {
  std::string name;
  int32_t id = 0;
  std::vector<int32_t> saved;   // snapshots held, in "saved-uids" order
  int32_t snapshot_count = 0;   // the number of the last snapshot recorded
  std::string scan_targets;     // the targets' text, as "info" carries it
  bool connected = false;
  bool online = false;          // greeted
  bool scanning = false;
  bool streaming = false;
  bool ended = false;           // uninstalled, or the fleet stopped
};

class CXSimulatedFleet {
 public:
  explicit CXSimulatedFleet(SXSimFleetConfig config);
  // Stops the fleet.
  ~CXSimulatedFleet();
  CXSimulatedFleet(const CXSimulatedFleet&) = delete;
  CXSimulatedFleet& operator=(const CXSimulatedFleet&) = delete;

  // Looks the console's address up, makes the snapshot variants the
  // misbehaving agents need and starts the threads; the agents connect as
  // the ramp lets them. False with *error when it cannot start.
  bool Start(std::string* error);
  // Ends every agent's link and the threads. Counters stay readable.
  void Stop();
  bool running() const;

  size_t size() const;
  const SXSimAgentConfig& agent_config(size_t index) const;
  // The sum over the agents, and one agent's; from any thread.
  SXSimCounters Totals() const;
  SXSimCounters AgentCounters(size_t index) const;
  // One agent's state; from any thread but the fleet's (it waits for the
  // agent's thread).
  SXSimAgentState AgentState(size_t index) const;
  // The bytes the agents serve as snapshot `number` in `variant` (null
  // before Start); from any thread.
  SnapshotBytes Served(SnapshotVariant variant, int32_t number) const;
  // Closes agent `index`'s link at once, as a broken network would; it
  // connects again after the reconnect wait.
  void DropLink(size_t index);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvalinth::sim
