#pragma once
// What the simulated agents count. Each agent keeps its own counters as
// atomics, written on its event-loop thread and read from any thread; a fleet
// sums them. The "now" counters are gauges: 0 or 1 per agent (the number of
// snapshots held for kSnapshotsHeld), so that their sum over a fleet says
// how many agents are in that state at the moment.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvalinth::sim {

enum SimCounter : size_t {
  kConnects,               // connection attempts
  kConnectFailures,        // attempts that did not connect
  kLinks,                  // connections made
  kReconnects,             // connections made by an agent that had one before
  kGreeted,                // greetings completed: the console's "hello" taken and "info" sent
  kGreetingFailures,       // console greetings refused, or none within the time-out
  kDrops,                  // links that ended (by either side), the fleet's own stop not counted
  kProtocolErrors,         // console frames that broke the framing (bad length, body that does not decode)
  kCommands,               // commands received
  kUnknownCommands,        // commands answered with "null" (the link is then dropped)
  kIdsAssigned,            // "set-uid" received
  kPingsSent,              // "ping" frames written
  kScansStarted,           // "scan" accepted
  kScansDone,              // scans completed (each adds a snapshot)
  kScansStopped,           // scans ended by "stop-scan"
  kDownloadsStarted,       // "down-snap" answered with a snapshot
  kDownloadsRefused,       // "down-snap" for a snapshot the agent does not hold
  kSnapshotsServed,        // downloads completed: end marker written
  kSnapshotsAcknowledged,  // "down-ack" for a snapshot held
  kBlocksServed,           // "down-block" frames of data written (end markers not counted)
  kBytesServed,            // snapshot bytes written in "down-block" frames
  kHostileActs,            // misbehaviours carried out on purpose
  kUninstalls,             // "uninstall" received (the agent then ends)
  kUpgrades,               // "upgd-cli" taken: the link dropped to come back upgraded (or not)
  kConnectedNow,           // gauge: a connection is open
  kOnlineNow,              // gauge: greeted and taking commands
  kScanningNow,            // gauge: a scan runs
  kStreamingNow,           // gauge: a download streams
  kSnapshotsHeld,          // gauge: snapshots waiting for download
  kCounterCount
};

// The counter's name in reports ("connects", "greeted", "bytes_served", ...).
const char* CounterName(SimCounter counter);
// True for the gauges.
bool IsGauge(SimCounter counter);

// A copy of counters at one moment.
struct SXSimCounters {
  std::array<uint64_t, kCounterCount> value{};

  uint64_t operator[](SimCounter c) const { return value[c]; }
  uint64_t& operator[](SimCounter c) { return value[c]; }
  SXSimCounters& operator+=(const SXSimCounters& other);
};

// One agent's live counters.
class CXSimCounterBlock {
 public:
  void Add(SimCounter c, uint64_t n = 1) { value_[c].fetch_add(n, std::memory_order_relaxed); }
  void Set(SimCounter c, uint64_t v) { value_[c].store(v, std::memory_order_relaxed); }
  uint64_t Get(SimCounter c) const { return value_[c].load(std::memory_order_relaxed); }
  SXSimCounters Copy() const;

 private:
  std::array<std::atomic<uint64_t>, kCounterCount> value_{};
};

// "name=value" pairs joined by blanks, in the order of SimCounter.
std::string CountersText(const SXSimCounters& counters);
// A JSON object's members "name":value joined by commas, without braces.
std::string CountersJsonMembers(const SXSimCounters& counters);

}  // namespace orvalinth::sim
