#pragma once
// CXFleetEvents: what happens in the fleet, for the web console's live
// updates (Server-Sent Events at /api/v1/events). The fleet server, the
// comparison pool and the rollouts publish; each open event stream listens.
//
// Types and their data (a JSON object):
//   "agent-online"    {"uid", "name", "address", "version"}
//   "agent-offline"   {"uid", "why"}
//   "scan-started"    {"uid", "scan", "profile", "by"}
//   "scan-progress"   {"uid", "scan", "text"}          the agent's own words
//   "scan-done"       {"uid", "scan", "state", "number", "result"}
//   "snapshot-stored" {"uid", "snapshot", "number", "size"}
//   "comparison-done" {"uid", "snapshot", "comparison", "files", "registry", "apps"}  (added+removed+changed of each kind)
//   "rollout"         {"id", "state", "wave", "reason"}
//
// Publish never blocks on a listener: listeners must only hand the event to
// their own thread. The last kKept events stay, so that a stream that
// reconnects ("Last-Event-ID") misses nothing.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace orvalinth::server {

struct SXFleetEvent {
  uint64_t id = 0;    // 1, 2, 3, ... in order of publishing
  std::string type;
  std::string data;   // a JSON object's text
};

class CXFleetEvents {
 public:
  static constexpr size_t kKept = 512;
  using Listener = std::function<void(const SXFleetEvent&)>;

  // Any thread.
  void Publish(const std::string& type, const std::string& data);
  // Returns the listener's id, for Unsubscribe; `since` > 0: the kept
  // events after it are handed to the listener first (at most kKept).
  uint64_t Subscribe(Listener listener, uint64_t since = 0);
  void Unsubscribe(uint64_t id);
  uint64_t last_id() const;
  size_t listeners() const;

 private:
  mutable std::mutex mutex_;
  uint64_t next_event_ = 1;
  uint64_t next_listener_ = 1;
  std::deque<SXFleetEvent> kept_;
  std::map<uint64_t, Listener> listeners_;
};

}  // namespace orvalinth::server
