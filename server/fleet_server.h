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

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/agent_session.h"
#include "server/catalog.h"
#include "server/comparison_pool.h"
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
};

class CXStoreSink;

class CXFleetServer final : public CXSessionOwner {
 public:
  CXFleetServer(const SXServerConfig& config, CXCatalog& catalog, CXSnapshotStore& store, CXServerLog& log,
                const SXFleetTuning& tuning = SXFleetTuning());
  ~CXFleetServer() override;
  CXFleetServer(const CXFleetServer&) = delete;
  CXFleetServer& operator=(const CXFleetServer&) = delete;

  // Loads the TLS identity, sweeps the store, puts the configuration's
  // profiles and schedules into the catalog, queues the comparisons left
  // undone, and listens. False with *error when any of it fails.
  bool Start(std::string* error);
  // Runs the loop until Stop.
  void Run();
  // Asks the loop to stop (any thread, a signal handler's thread too).
  void Stop();

  uint16_t port() const { return port_; }
  const SXFleetCounters& counters() const { return counters_; }
  // Links greeted and not closed (read on any thread).
  uint64_t agents_online() const { return online_.load(); }

  // CXSessionOwner, on the loop.
  void Greeted(const std::shared_ptr<CXAgentSession>& session) override;
  void ScanDone(const std::shared_ptr<CXAgentSession>& session, const tools::SXScanDone& done) override;
  void Closed(CXAgentSession& session, const std::string& why, bool violation) override;

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
  void StartScan(int32_t uid, int64_t scan_id, const SXTargetProfile& profile);
  void EndScan(int32_t uid, ScanState state, int32_t number, const std::string& result);
  void Compare(int64_t snapshot_id);
  void Prune(int32_t uid);
  Machine* MachineOf(const CXAgentSession& session);
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
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer accept_timer_;  // the next accept after one failed
  boost::asio::steady_timer sweep_timer_;
  boost::asio::thread_pool blocking_;
  // The writes of machines' rows (recorded at a greeting, offline at a close)
  // in the order the loop made them: a link replaced by its machine's next
  // one must not leave the machine offline.
  boost::asio::strand<boost::asio::thread_pool::executor_type> machine_writes_;
  CXComparisonPool compare_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> blocking_pending_{0};  // posted to the blocking pool, not yet run
  std::atomic<bool> torn_down_{false};        // the destructor runs: nothing more is posted to the loop
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
};

}  // namespace orvalinth::server
