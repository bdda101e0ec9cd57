#pragma once
// CXSimAgent: one simulated agent, a state machine on one io_context whose
// single thread runs every one of its handlers (so it has no lock). See
// agent_sim.h for what it does on the wire.
//
//   waiting ──timer──► connecting ──connected──► greeting ──console's hello──► online
//      ▲                    │ refused               │ refused, time-out         │ drop, bad frame,
//      └────────────────────┴───────────────────────┴──── closing ◄─────────────┘ unknown command
//
// Memory per agent: the socket, three timers, the counters, the saved list
// and scan targets, and buffers that grow only while a frame is in flight.
// Received bytes are read into the thread's own buffer; only a frame that
// arrives in parts is gathered in the agent's. Download blocks point into the
// fleet's shared snapshot bytes and are written with the frame header in
// front of them, never copied.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/message.h"
#include "server/sim/agent_sim.h"
#include "server/sim/sim_counters.h"
#include "settings/scan_targets.h"

namespace orvalinth::sim {

// What the agents of one fleet share; it does not change while they run.
struct SXSimShared {
  boost::asio::ip::tcp::endpoint endpoint;
  // Every server's address, the first being `endpoint` (several nodes): an
  // agent starts at one by its index and moves to the next when it cannot connect.
  std::vector<boost::asio::ip::tcp::endpoint> endpoints;
  SXSimTiming timing;
  // What agents serve, per snapshot number: the file, kCorruptSnapshot's and
  // kClockOff's variants (the object is shared and locks itself).
  std::shared_ptr<CXSnapshotVariants> snapshots;
  SnapshotBytes endless;    // one block's worth of the snapshot, repeated, for kEndlessDownload
  std::function<void(const std::string&)> on_event;
};

class CXSimAgent {
 public:
  static constexpr int32_t kBlockSize = 131072;
  static constexpr int32_t kMaxBody = 10485760;

  CXSimAgent(boost::asio::io_context& io, const SXSimShared& shared, SXSimAgentConfig config, size_t index = 0);
  CXSimAgent(const CXSimAgent&) = delete;
  CXSimAgent& operator=(const CXSimAgent&) = delete;

  // These run on the agent's thread.
  // The first connect after `delay_ms`.
  void Start(int64_t delay_ms);
  // Ends the link and the agent: no reconnect.
  void Shutdown();
  // Closes the link at once; a reconnect follows after the wait.
  void DropLink();
  SXSimAgentState State() const;

  const SXSimAgentConfig& config() const { return config_; }
  // From any thread.
  const CXSimCounterBlock& counters() const { return counters_; }

 private:
  enum class Phase : uint8_t { kWaiting, kConnecting, kGreeting, kOnline, kClosing, kEnded };
  enum class Close : uint8_t { kAtOnce, kGraceful };
  enum class OutKind : uint8_t { kOther, kPing, kBlock, kEndMarker, kCut, kTrickle };
  using Step = void (CXSimAgent::*)();

  // One frame (or bytes) to write: `head` is written, then `size` bytes at
  // `data` (shared snapshot bytes, not owned).
  struct Out {
    std::string head;
    const char* data = nullptr;
    size_t size = 0;
    OutKind kind = OutKind::kOther;
    uint32_t pings = 0;
  };

  // ---- the link ----
  void Connect();
  void OnConnected();
  void SendHello();
  void GreetingTimedOut();
  void FrameTimedOut();
  // Ends the link `how`, then connects again after `reconnect_ms`.
  void EndLink(Close how, int64_t reconnect_ms, const std::string& why);
  void BeginDrain();
  void FinishClose();
  void AfterClose(int64_t reconnect_ms);
  void Tell(const std::string& what) const;

  // ---- reading ----
  void WaitReadable();
  void OnReadable();
  // Takes received bytes; false when the link ended meanwhile.
  bool Consume(const char* bytes, size_t n);
  bool OnFrame(const char* body, int32_t length);
  // A frame length outside 0..10 MiB: the link ends at once; false.
  bool BadLength(int32_t length);
  void OnGreeting(CXMessage& hello);

  // ---- writing ----
  void Send(Out out);
  void SendMessage(CXMessage& message, OutKind kind = OutKind::kOther);
  void StartWrite();
  void OnWritten(uint32_t generation, const boost::system::error_code& error);
  // What follows on its own once the queue is empty: the next download
  // block, or more pings of a flood.
  void Refill();
  void NextBlock();
  // The download ends: the "file" closes, IsUploading clears.
  void StopStream();
  void Pace();

  // ---- timers ----
  void ArmLink(int64_t ms, Step step);
  void CancelLink();
  void ArmPing();
  void PingDue();
  void ArmPace();

  // ---- the dispatcher ----
  void SendInfo();
  void AfterInfo();
  void Dispatch(CXMessage& m);
  void ScanCommand(CXMessage& m);
  void ScanDone();
  void StopScanCommand(CXMessage& m);
  void DownSnapCommand(CXMessage& m);
  void DownAckCommand(const CXMessage& m);
  void GetScanCommand(CXMessage& m);
  void UpgradeCommand(CXMessage& m);
  // Takes the scan settings of a request: 1 taken, -1 with *error refused.
  int TakeScanSettings(const CXMessage& m, bool with_removable, std::string* error);
  bool Holds(int32_t number) const;
  void RemoveSaved(int32_t number);
  int32_t NextSnapshotNumber() const;
  std::string SavedText() const;
  // Whether to misbehave now (counted); false once the times are used up.
  bool HostileAct();
  bool Is(HostileMode mode) const { return config_.hostile == mode; }
  void SetGauge(SimCounter c, bool on) { counters_.Set(c, on ? 1 : 0); }

  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer link_timer_;  // reconnect wait, greeting and frame time-outs, close drain
  boost::asio::steady_timer ping_timer_;
  boost::asio::steady_timer scan_timer_;
  std::unique_ptr<boost::asio::steady_timer> pace_timer_;  // misbehaving agents only
  const SXSimShared& shared_;
  size_t server_ = 0;  // the index in shared_.endpoints tried now
  SXSimAgentConfig config_;
  CXSimCounterBlock counters_;

  Phase phase_ = Phase::kWaiting;
  // Tokens: a handler of an older link or an older arming of a timer sees
  // that it is stale and does nothing.
  uint32_t generation_ = 0;
  uint32_t link_seq_ = 0;
  uint32_t ping_seq_ = 0;
  uint32_t scan_seq_ = 0;
  uint32_t pace_seq_ = 0;
  bool had_link_ = false;
  bool writing_ = false;
  bool close_after_write_ = false;
  bool hung_ = false;
  bool flooding_ = false;
  bool pacing_ = false;
  bool frame_timer_ = false;  // the link timer waits for the rest of a frame
  bool uninstalled_ = false;
  bool crash_told_ = false;
  // The agent version it runs, and the upgrade its next "info" tells.
  int32_t app_version_ = 0;
  bool tell_upgrade_ = false;
  bool upgrade_ok_ = false;
  int64_t reconnect_after_ms_ = 0;
  int32_t hostile_left_ = -1;  // -1: without end
  std::vector<Out> queue_;
  std::vector<Out> sending_;
  std::vector<boost::asio::const_buffer> gather_;
  std::string inbox_;  // a frame that arrived in parts, prefix included

  // The agent's own state, as the service keeps it in its settings.
  int32_t id_ = 0;
  int32_t snapshot_count_ = 0;
  std::vector<int32_t> saved_;
  std::string snapshot_name_;
  SXScanTargets targets_;
  int32_t current_snapshot_ = 0;
  bool scanning_ = false;
  int32_t scan_number_ = 0;

  // The download: its bytes (null once the "file" is closed), how far it
  // has gone and how it misbehaves.
  bool uploading_ = false;
  SnapshotBytes stream_;
  size_t stream_offset_ = 0;
  HostileMode stream_hostile_ = HostileMode::kNone;
  size_t trickled_ = 0;
};

}  // namespace orvalinth::sim
