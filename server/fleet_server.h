#pragma once
// CXFleetServer: every agent on one event loop. It accepts links, greets
// them (CXAgentSession), gives agents without an id a fresh one ("set-uid"),
// tells apart two agents that claim one id, downloads the snapshots an
// agent still holds, scans machines as their schedules say (or as a person
// asked through the catalog), stores each snapshot (temporary file, check,
// flush, rename, catalog row) and only then acknowledges it ("down-ack"),
// hands it to the comparison pool, and prunes by the retention rules.
//
// Threads: the loop (Run) owns the sessions and the machines' state; a
// small pool does what blocks (the catalog's commits, the store's checks
// and flushes); the comparison pool compares. A busy comparison pool delays
// comparisons, never downloads.
//
// Stop (from a signal, any thread): no new links; every link closed;
// downloads in flight abandoned (their temporary files removed, the agents
// keep their snapshots); comparisons not done stay marked so and are queued
// again at the next start.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <boost/asio/post.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/agent_session.h"
#include "server/catalog.h"
#include "server/comparison_pool.h"
#include "server/fleet_actions.h"
#include "server/fleet_events.h"
#include "server/rollout.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/snapshot_store.h"

namespace orvalinth::server {

// What the server counts, for the benchmark and /metrics.
struct SXFleetCounters {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused_links{0};   // over max-links, or TLS refusals
  std::atomic<uint64_t> greeted{0};
  std::atomic<uint64_t> violations{0};
  std::atomic<uint64_t> links_open{0};
  std::atomic<uint64_t> snapshots_stored{0};
  std::atomic<uint64_t> snapshots_again{0};  // held by the agent but stored before: acknowledged only
  std::atomic<uint64_t> downloads_failed{0};
  std::atomic<uint64_t> bytes_stored{0};
  std::atomic<uint64_t> comparisons_done{0};
  std::atomic<uint64_t> comparisons_failed{0};
  std::atomic<uint64_t> scans_started{0};
  std::atomic<uint64_t> scans_done{0};
  std::atomic<uint64_t> scans_failed{0};
  std::atomic<uint64_t> scans_stopped{0};
  std::atomic<uint64_t> catalog_errors{0};    // a catalog call that failed (logged)
  std::atomic<uint64_t> store_errors{0};      // a snapshot that could not be taken or kept
  std::atomic<uint64_t> inventory_errors{0};  // a snapshot whose inventory could not be read or kept
  // The links by what they do, counted at each sweep.
  std::atomic<uint64_t> sessions_greeting{0};  // not yet greeted or not yet registered
  std::atomic<uint64_t> sessions_idle{0};
  std::atomic<uint64_t> sessions_downloading{0};
  std::atomic<uint64_t> sessions_scanning{0};
  std::atomic<uint64_t> pings{0};
  // What the open links hold in buffers and texts (CXAgentSession::HeldBytes),
  // summed at each sweep: near 0 while they idle.
  std::atomic<uint64_t> link_bytes{0};
  std::atomic<uint64_t> downloads_now{0};   // holding a slot (SXFleetTuning::max_downloads)
  std::atomic<uint64_t> downloads_most{0};  // the most at once since the start
};

// The server's rhythms, in milliseconds; 0 takes the default (the
// configuration's seconds for the three limits of a link). Tests shorten them.
struct SXFleetTuning {
  int64_t sweep_ms = 0;         // deadlines of the links checked (1000)
  int64_t catalog_look_ms = 0;  // the catalog asked for scans due and asked for (2000)
  int64_t greeting_ms = 0;      // greeting-timeout
  int64_t reply_ms = 0;         // download-timeout: a reply or the next block
  int64_t idle_ms = 0;          // idle-timeout
  int max_downloads = 0;        // downloads at once (64)
  int64_t scan_ms = 0;          // scan-timeout: from "scan" to "scan-done"
  // Several nodes on one catalog.
  int64_t heartbeat_ms = 0;     // the node's beat in the catalog (node-heartbeat)
  int dead_beats = 0;           // a node whose beat is older than this many of its beats is dead (3)
  int64_t remote_ms = 0;        // an answer from the node holding a machine awaited (10000)
  // A snapshot that could not be catalogued (the catalog away) asked for again after (2000).
  int64_t retry_ms = 0;
  // The machines of a node dead this long whose agents came back nowhere go offline (60000).
  int64_t gone_ms = 0;
};

class CXStoreSink;

class CXFleetServer final : public CXSessionOwner, public CXFleetActions, private CXRolloutHost {
 public:
  // `events` (may be null): where the fleet's events are published.
  CXFleetServer(const SXServerConfig& config, CXCatalog& catalog, CXSnapshotStore& store, CXServerLog& log,
                const SXFleetTuning& tuning = SXFleetTuning(), CXFleetEvents* events = nullptr);
  ~CXFleetServer() override;
  CXFleetServer(const CXFleetServer&) = delete;
  CXFleetServer& operator=(const CXFleetServer&) = delete;

  // Loads the TLS identity, sweeps the store, puts the configuration's
  // profiles and schedules into the catalog, queues the comparisons left
  // undone, and listens. False with *error when any of it fails.
  bool Start(std::string* error);
  // Before Start.
  void set_events(CXFleetEvents* events) { events_ = events; }
  // Runs the loop until Stop.
  void Run();
  // Asks the loop to stop (any thread, a signal handler's thread too).
  void Stop();
  // Ends the loop at once, as a crash would: nothing closed or written to
  // the catalog (its links end with the object). For the tests of a node lost.
  void Abandon();

  uint16_t port() const { return port_; }
  // This node among those sharing the catalog (after Start).
  int64_t node_id() const { return node_id_; }
  const std::string& node_name() const { return node_name_; }
  // Whether the channel to the other nodes listens (false without one: a SQLite catalog).
  bool bus_listening() const { return bus_ != nullptr && bus_->listening(); }
  const SXFleetCounters& counters() const { return counters_; }
  // Links greeted and not closed (read on any thread).
  uint64_t agents_online() const { return online_.load(); }

  // CXSessionOwner, on the loop.
  void Greeted(const std::shared_ptr<CXAgentSession>& session) override;
  void ScanDone(const std::shared_ptr<CXAgentSession>& session, const tools::SXScanDone& done) override;
  void Closed(CXAgentSession& session, const std::string& why, bool violation) override;

  // CXFleetActions (server/fleet_actions.cpp), any thread.
  bool IsOnline(int32_t uid) const override;
  void ScanNow(int32_t uid, const std::string& profile, const std::string& by, Done done) override;
  void StopScan(int32_t uid, const std::string& by, Done done) override;
  void Browse(int32_t uid, BrowseKind kind, const std::string& path, Done done) override;
  void Uninstall(int32_t uid, const std::string& by, Done done) override;
  void StartRollout(const SXRolloutRequest& request, Done done) override;
  void StopRollout(int64_t id, const std::string& by, Done done) override;
  Json Health() const override;

 private:
  // The loop's state of one machine with a link.
  struct Machine {
    std::shared_ptr<CXAgentSession> session;
    std::vector<int32_t> to_download;  // the agent's snapshots still to fetch, in order
    bool downloading = false;
    bool waiting_slot = false;  // in waiting_downloads_
    bool ready = false;    // the catalog knows it (upserted); scans may start
    int64_t scan_id = 0;   // the scan asked of it and not done
    int64_t scan_started_ms = 0;  // when the agent took "scan" (0: not yet)
    bool scan_starting = false;
    int64_t stop_asked = 0;
    std::string scan_profile, scan_by;  // of scan_id, for its events
  };

  void Accept();
  void Sweep();
  // Stops the loop once the blocking pool has nothing left to do.
  void DrainThenStop();
  void AskCatalogForScans();
  // Decides the id of a greeted agent (on the pool: the catalog's name of
  // the id it claims; a fresh one for a copy), records it, then registers it.
  void Identify(const std::shared_ptr<CXAgentSession>& session, bool copy, const std::string& note);
  void Register(const std::shared_ptr<CXAgentSession>& session, int32_t uid, bool fresh, const std::string& note);
  void NextDownload(int32_t uid);
  // A downloaded snapshot that did not read: counted, and given up after
  // a few refusals of the same bytes.
  void Unread(int32_t uid, const CXAgentSession& session, int32_t number, int64_t size, const std::string& fault);
  bool GivenUp(int32_t uid, int32_t number) const;
  void Downloaded(int32_t uid, const std::shared_ptr<CXAgentSession>& session, int32_t number,
                  const std::shared_ptr<CXStoreSink>& sink, const SXDownloadOutcome& outcome);
  // Gives free download slots to the machines waiting for one, in turn.
  void StartWaitingDownloads();
  void Stored(int32_t uid, int64_t snapshot_id, const std::string& path);
  void StartScan(int32_t uid, int64_t scan_id, const SXTargetProfile& profile, const std::string& by);
  // Whether a scan may start on the machine now: registered, no scan, no download, no command awaited.
  bool ScanCanStart(const Machine& m) const;
  void EndScan(int32_t uid, ScanState state, int32_t number, const std::string& result);
  // Compares the snapshot with the machine's one before it and keeps its
  // inventory; nothing when its row says compared already.
  void Compare(int64_t snapshot_id);
  // The machine's link here ended: offline in the catalog (once it is back, when away).
  void MarkOffline(int32_t uid, int64_t now);
  void Prune(int32_t uid);
  Machine* MachineOf(const CXAgentSession& session);
  // Publishes an event when the server has somewhere to publish it.
  void Publish(const char* type, const Json& data);
  // A catalog call failed: logged (limited) and counted.
  void CatalogError(const std::string& text);
  // Runs `action` on the loop with the machine's link, or answers `done`
  // with "offline" / "unknown-machine" (the catalog asked) / "stopping".
  // When the machine's link is on another live node and `remote` is not
  // null, the request `remote` goes there and its answer is `done`'s.
  void WithMachine(int32_t uid, Done done, std::function<void(Machine&, Done&)> action, const Json& remote);
  // The actions, asked here (forward: on to the node holding the machine when it is not here).
  void BrowseOn(int32_t uid, BrowseKind kind, const std::string& path, Done done, bool forward);
  void UninstallOn(int32_t uid, const std::string& by, Done done, bool forward);
  void StopScanOn(int32_t uid, const std::string& by, Done done, bool forward);
  // Several nodes: the beat (ending the open scans of dead nodes), a request
  // sent to another node, a message from one, the requests unanswered past their time.
  void Beat();
  // Whether the machine's link is on this node (any thread).
  // The machine's link is on another node (alive or not), as the catalog
  // has it; false without other nodes. *link says which node.
  bool OnAnotherNode(int32_t uid, SXMachineLink* link) const;
  bool IsHere(int32_t uid) const {
    std::lock_guard<std::mutex> lock(online_mutex_);
    return online_uids_.count(uid) != 0;
  }
  void Remote(int64_t node_id, const std::string& node_name, Json request, Done done);
  void Received(const std::string& message);
  void ExpireRemote(int64_t now_ms);
  // Snapshot `number` of the machine asked for again later (the catalog failed).
  void RetryDownload(int32_t uid, const std::shared_ptr<CXAgentSession>& session, int32_t number);
  // The agent told that snapshot `number` is stored and catalogued (it may delete it).
  void Acknowledge(CXAgentSession& session, int32_t number);
  // A catalog write that failed for the catalog's absence, tried again after
  // each beat that reached it (any thread): a scan left open there would
  // keep its machine from scanning ever again.
  void WriteLater(std::function<SXCatalogStatus()> write);
  // The write now, and once the catalog is back when it failed for its absence; its first status.
  SXCatalogStatus WriteNowOrLater(std::function<SXCatalogStatus()> write);
  // The inventory of snapshot `row` (its file at `path`) collected and kept, on a comparison worker.
  void KeepInventory(const SXSnapshotRow& row, const std::string& path);

  // CXRolloutHost, on the loop.
  bool MachineReady(int32_t uid, int32_t* app_version) override;
  void SendPackage(int32_t uid, std::shared_ptr<const std::string> package,
                   std::function<void(const std::string& refusal)> refused) override;
  void RolloutWrite(std::function<void()> work) override;
  void RolloutBlocking(std::function<void()> work) override;
  void RolloutLoop(std::function<void()> work) override;
  void RolloutEvent(const Json& data) override;
  void RolloutLog(LogLevel level, const std::string& text) override;
  // Runs `work` on the blocking pool.
  template <class F>
  void Blocking(F&& work);
  // Runs `work` on the blocking pool after what was posted to `strand` before.
  template <class F>
  void OnStrand(boost::asio::strand<boost::asio::thread_pool::executor_type>& strand, F&& work);
  // Runs `work` on the loop.
  template <class F>
  void OnLoop(F&& work);
  friend class CXStoreSink;
  static int64_t Now();

  SXServerConfig config_;
  CXCatalog& catalog_;
  CXSnapshotStore& store_;
  CXServerLog& log_;
  std::shared_ptr<const platform::TlsServerIdentity> identity_;
  SXSessionLimits limits_;
  // Before the loop, so that what the loop still holds (a download's sink
  // with its strand) goes before the pool does.
  boost::asio::thread_pool blocking_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer accept_timer_;  // the next accept after one failed
  boost::asio::steady_timer sweep_timer_;
  // The writes of machines' rows (recorded at a greeting, offline at a close)
  // in the order the loop made them: a link replaced by its machine's next
  // one must not leave the machine offline.
  boost::asio::strand<boost::asio::thread_pool::executor_type> machine_writes_;
  CXComparisonPool compare_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> blocking_pending_{0};  // posted to the blocking pool, not yet run
  std::atomic<bool> torn_down_{false};
  std::atomic<bool> abandoned_{false};  // Abandon: the destructor closes the links        // the destructor runs: nothing more is posted to the loop
  int max_links_ = 0;  // max-links, or what the open-file limit leaves room for
  int max_downloads_ = 0;
  int active_downloads_ = 0;  // on the loop; CXStoreSink holds one each
  std::deque<int32_t> waiting_downloads_;  // machines waiting for a slot, in turn
  std::unordered_map<const CXAgentSession*, std::shared_ptr<CXAgentSession>> links_;
  std::unordered_map<int32_t, Machine> machines_;
  // Snapshots held by agents that did not read, by machine (on the loop).
  struct Unreadable {
    int32_t number = 0;
    int64_t size = 0;
    std::string fault;  // the reader's words, with the offset
    int refusals = 0;
  };
  std::unordered_map<int32_t, std::vector<Unreadable>> unread_;
  int64_t sweep_ms_ = 0;
  int64_t catalog_look_ms_ = 0;
  int64_t scan_limit_ms_ = 0;
  int64_t last_catalog_look_ms_ = 0;
  bool catalog_look_running_ = false;
  SXFleetCounters counters_;
  std::atomic<uint64_t> online_{0};
  CXFleetEvents* events_ = nullptr;
  std::atomic<int64_t> started_ms_{0};
  // The machines with a link (IsOnline, any thread).
  mutable std::mutex online_mutex_;
  std::unordered_set<int32_t> online_uids_;
  // The newest snapshot whose inventory each machine has (comparison workers).
  std::mutex inventory_mutex_;
  std::unordered_map<int32_t, int64_t> inventory_of_;
  boost::asio::strand<boost::asio::thread_pool::executor_type> rollout_writes_;
  std::unique_ptr<CXRolloutManager> rollouts_;
  // Several nodes on one catalog.
  int64_t node_id_ = 0;
  std::string node_name_;
  int64_t heartbeat_ms_ = 0;
  int64_t dead_after_ms_ = 0;
  int64_t remote_ms_ = 0;
  int64_t retry_ms_ = 0;
  int64_t gone_ms_ = 0;
  int64_t last_beat_ms_ = 0;
  bool beat_running_ = false;
  int beats_ok_ = 0;  // beats that succeeded in a row (on the pool)
  std::atomic<int64_t> nodes_alive_{0}, nodes_dead_{0};
  std::unique_ptr<CXNodeBus> bus_;
  std::mutex later_mutex_;
  std::vector<std::function<SXCatalogStatus()>> later_;
  struct Pending {
    Done done;
    int64_t deadline_ms = 0;
    std::string node_name;
  };
  std::mutex remote_mutex_;
  std::unordered_map<int64_t, Pending> remote_;
  int64_t next_remote_ = 0;
};

template <class F>
void CXFleetServer::Blocking(F&& work) {
  // Counted until it has run, so that Stop waits for it (and for what it
  // posts to the loop).
  ++blocking_pending_;
  boost::asio::post(blocking_, [this, work = std::forward<F>(work)]() mutable {
    work();
    --blocking_pending_;
  });
}

template <class F>
void CXFleetServer::OnStrand(boost::asio::strand<boost::asio::thread_pool::executor_type>& strand, F&& work) {
  ++blocking_pending_;
  boost::asio::post(strand, [this, work = std::forward<F>(work)]() mutable {
    work();
    --blocking_pending_;
  });
}

template <class F>
void CXFleetServer::OnLoop(F&& work) {
  boost::asio::post(io_, std::forward<F>(work));
}

}  // namespace orvalinth::server
