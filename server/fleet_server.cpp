#include "server/fleet_server.h"

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <cctype>

#include "base/strings.h"
#include "platform/clock.h"
#include "platform/open_files.h"
#include "platform/tls.h"
#include "base/pins.h"
#include "server/inventory.h"
#include "tools/console_text.h"

namespace orvalinth::server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr int64_t kSweepMs = 1000;
// How often the catalog is asked for scans due and scans asked for.
constexpr int64_t kCatalogLookMs = 2000;
constexpr int kDueBatch = 500;
// Threads of the blocking pool: commits and checks of files.
constexpr int kBlockingThreads = 2;
// Downloads at once (the others wait their turn): each holds up to two
// blocks (the frame being received and the block being written), so that
// 10,000 agents that all come back with snapshots to send cost tens of
// megabytes, not gigabytes; more would not make a disk write faster.
constexpr int kMaxDownloads = 64;
// Files the server holds besides its links: the catalog's, the log, two per
// download.
constexpr uint64_t kSpareFiles = 64 + 2 * kMaxDownloads;
// After a failed accept, the next one after this long.
constexpr int64_t kAcceptRetryMs = 100;
// A snapshot that does not read, refused this many times with the same
// bytes (size and fault), is not asked for again until the server starts
// again; the agent keeps it (it is never acknowledged unread). Remembered
// for this many snapshots of a machine and this many machines at most.
constexpr int kMaxRefusals = 3;
constexpr size_t kMaxUnreadPerMachine = 8;
constexpr size_t kMaxUnreadMachines = 10000;
// Several nodes on one catalog: the beat, how many beats make a node dead,
// an answer from another node awaited, a snapshot not catalogued asked again.
constexpr int kDeadBeats = 3;
constexpr int64_t kRemoteMs = 10000;
constexpr int64_t kRetryMs = 2000;
constexpr int64_t kGoneMs = 60000;

int64_t UnixMs() { return platform::UnixMicros() / 1000; }

std::vector<int32_t> SavedNumbers(const std::string& text) {
  std::vector<int32_t> numbers;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const int32_t n = CXMessage::ParseInt(std::string_view(text).substr(at, end - at));
    if (n > 0 && std::find(numbers.begin(), numbers.end(), n) == numbers.end()) numbers.push_back(n);
    at = end + 1;
  }
  return numbers;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::vector<std::u16string> Wide(const std::vector<std::string>& texts) {
  std::vector<std::u16string> wide;
  for (const std::string& t : texts) wide.push_back(tools::Utf8ToUtf16(t));
  return wide;
}

ChangeKind CatalogKind(SXChangeKind kind) {
  switch (kind) {
    case SXChangeKind::kRegistry: return ChangeKind::kRegistry;
    case SXChangeKind::kFiles: return ChangeKind::kFiles;
    case SXChangeKind::kApplications: return ChangeKind::kApps;
  }
  return ChangeKind::kFiles;
}

ChangeCategory CatalogCategory(SXChangeWhat what) {
  switch (what) {
    case SXChangeWhat::kAdded: return ChangeCategory::kAdded;
    case SXChangeWhat::kRemoved: return ChangeCategory::kRemoved;
    case SXChangeWhat::kChanged: return ChangeCategory::kChanged;
  }
  return ChangeCategory::kChanged;
}

// The catalog's row of a comparison: the counts by kind and change, the
// change file relative to the data folder.
SXComparisonRow ComparisonRowOf(const SXSnapshotRow& row, const SXSnapshotRow& previous, const SXComparison& result,
                                const CXSnapshotStore& store) {
  SXComparisonRow c;
  c.uid = row.uid;
  c.old_snapshot_id = previous.id;
  c.new_snapshot_id = row.id;
  c.old_number = previous.number;
  c.new_number = row.number;
  c.time = row.received_time;
  c.compared_time = platform::UnixMicros() / 1000000;
  for (const SXComparisonCount& n : result.counts) {
    const int k = static_cast<int>(CatalogKind(n.kind));
    c.counts[k][0] += static_cast<int64_t>(n.added);
    c.counts[k][1] += static_cast<int64_t>(n.removed);
    c.counts[k][2] += static_cast<int64_t>(n.changed);
    c.categories.push_back({CatalogKind(n.kind), n.category, static_cast<int64_t>(n.added),
                            static_cast<int64_t>(n.removed), static_cast<int64_t>(n.changed)});
  }
  c.stored_rows = static_cast<int64_t>(result.rows.size());
  if (!result.change_file.empty()) {
    const std::string data = tools::Utf16ToUtf8(store.data_folder());
    c.change_file = result.change_file.rfind(data + "/", 0) == 0 ? result.change_file.substr(data.size() + 1)
                                                                  : result.change_file;
  }
  return c;
}

std::vector<SXChangeRow> ChangeRowsOf(const SXComparison& result) {
  std::vector<SXChangeRow> rows;
  rows.reserve(result.rows.size());
  for (const SXChange& change : result.rows) {
    SXChangeRow r;
    r.kind = CatalogKind(change.kind);
    r.category = CatalogCategory(change.change);
    r.entry = change.entry;
    r.path = change.path;
    r.old_text = change.old_text;
    r.new_text = change.new_text;
    rows.push_back(std::move(r));
  }
  return rows;
}

}  // namespace

// One download's way into the store. Its blocks are written in order on
// the blocking pool (a strand of its own), one at a time: while a block is
// being written the session reads no more from the link (Full), so a slow
// disk slows that download and never the loop, and a download holds at most
// a block in memory besides the session's frame. It holds one of the
// server's slots for downloads at once from before the catalog is asked
// whether the snapshot is stored until its last step.
class CXStoreSink final : public CXSnapshotSink, public std::enable_shared_from_this<CXStoreSink> {
 public:
  using Strand = asio::strand<asio::thread_pool::executor_type>;

  CXStoreSink(CXFleetServer& server, std::weak_ptr<CXAgentSession> session)
      : server_(server), session_(std::move(session)), strand_(asio::make_strand(server.blocking_)) {
    server_.counters_.downloads_now = static_cast<uint64_t>(++server_.active_downloads_);
    if (server_.counters_.downloads_now > server_.counters_.downloads_most) {
      server_.counters_.downloads_most = server_.counters_.downloads_now.load();
    }
  }
  ~CXStoreSink() override {
    CXFleetServer& server = server_;
    if (server.torn_down_.load()) return;
    asio::post(server.io_, [&server] {
      server.counters_.downloads_now = static_cast<uint64_t>(--server.active_downloads_);
      server.StartWaitingDownloads();
    });
  }

  // On the loop.
  bool Write(const uint8_t* bytes, size_t n, std::string* error) override {
    if (!error_.empty()) {
      *error = error_;
      return false;
    }
    auto chunk = std::make_shared<std::vector<uint8_t>>(bytes, bytes + n);
    ++in_flight_;
    std::shared_ptr<CXStoreSink> self = shared_from_this();
    Then([self, chunk] {
      std::string why;
      if (!self->download_->Write(chunk->data(), chunk->size())) why = self->download_->error();
      self->server_.OnLoop([self, why] { self->Written(why); });
    });
    return true;
  }
  bool Full() const override { return in_flight_ > 0; }

  // Runs `work` on the pool after every block given so far.
  template <class F>
  void Then(F&& work) {
    server_.OnStrand(strand_, std::forward<F>(work));
  }

  std::shared_ptr<CXStoreDownload> download_;  // set on the pool before the first block

 private:
  void Written(const std::string& why) {
    --in_flight_;
    if (!why.empty() && error_.empty()) error_ = why;
    if (in_flight_ == 0) {
      std::shared_ptr<CXAgentSession> session = session_.lock();
      if (session != nullptr) session->ResumeReading();
    }
  }

  CXFleetServer& server_;
  std::weak_ptr<CXAgentSession> session_;
  Strand strand_;
  int in_flight_ = 0;
  std::string error_;
};

CXFleetServer::CXFleetServer(const SXServerConfig& config, CXCatalog& catalog, CXSnapshotStore& store,
                             CXServerLog& log, const SXFleetTuning& tuning, CXFleetEvents* events)
    : config_(config),
      catalog_(catalog),
      store_(store),
      log_(log),
      blocking_(kBlockingThreads),
      acceptor_(io_),
      accept_timer_(io_),
      sweep_timer_(io_),
      machine_writes_(asio::make_strand(blocking_)),
      compare_(config.compare_workers),
      events_(events),
      rollout_writes_(asio::make_strand(blocking_)) {
  rollouts_ = std::make_unique<CXRolloutManager>(catalog_, static_cast<CXRolloutHost&>(*this),
                                                 tools::Utf16ToUtf8(store_.data_folder()));
  limits_.greeting_ms = tuning.greeting_ms > 0 ? tuning.greeting_ms : config.greeting_timeout_s * 1000;
  limits_.reply_ms = tuning.reply_ms > 0 ? tuning.reply_ms : config.download_timeout_s * 1000;
  limits_.idle_ms = tuning.idle_ms > 0 ? tuning.idle_ms : config.idle_timeout_s * 1000;
  sweep_ms_ = tuning.sweep_ms > 0 ? tuning.sweep_ms : kSweepMs;
  catalog_look_ms_ = tuning.catalog_look_ms > 0 ? tuning.catalog_look_ms : kCatalogLookMs;
  scan_limit_ms_ = tuning.scan_ms > 0 ? tuning.scan_ms : config.scan_timeout_s * 1000;
  max_downloads_ = tuning.max_downloads > 0 ? tuning.max_downloads : kMaxDownloads;
  heartbeat_ms_ = tuning.heartbeat_ms > 0 ? tuning.heartbeat_ms : config.node_heartbeat_s * 1000;
  dead_after_ms_ = heartbeat_ms_ * (tuning.dead_beats > 0 ? tuning.dead_beats : kDeadBeats);
  remote_ms_ = tuning.remote_ms > 0 ? tuning.remote_ms : kRemoteMs;
  retry_ms_ = tuning.retry_ms > 0 ? tuning.retry_ms : kRetryMs;
  gone_ms_ = tuning.gone_ms > 0 ? tuning.gone_ms : kGoneMs;
}

CXFleetServer::~CXFleetServer() {
  torn_down_.store(true);
  if (bus_ != nullptr) bus_->Stop();
  compare_.Stop();
  blocking_.join();
  if (abandoned_) {
    // The links' callbacks hold their sessions (a download's its sink): closed
    // here, with the pool gone, so that nothing more is written and nothing is left.
    std::vector<std::shared_ptr<CXAgentSession>> all;
    for (auto& [key, session] : links_) all.push_back(session);
    for (auto& session : all) session->Close("the server was abandoned");
  }
}

int64_t CXFleetServer::Now() { return platform::UnixMicros() / 1000000; }

bool CXFleetServer::Start(std::string* error) {
  if (!config_.tls_cert.empty()) {
    std::string why;
    std::shared_ptr<const platform::TlsServerIdentity> identity =
        platform::TlsEngine::Get().LoadServerIdentity(config_.tls_cert, config_.tls_key, &why);
    if (identity == nullptr) {
      *error = "cannot use the TLS certificate and key: " + why;
      return false;
    }
    identity_ = identity;
    log_.Write(LogLevel::kInfo, "TLS links only; agents need ServerTLS:1 and ServerPin:" + PinText(identity_->pin()));
  }
  // Every link is a socket; the catalog, the log and the downloads' files
  // take a few more. Without room for them, accepting would fail with no
  // file left for anything else: max-links is lowered to what fits.
  max_links_ = config_.max_links;
  const uint64_t wanted = static_cast<uint64_t>(config_.max_links) + kSpareFiles;
  uint64_t limit = 0;
  if (!platform::RaiseOpenFileLimit(wanted, &limit) && limit > 0) {
    max_links_ = static_cast<int>(limit > 2 * kSpareFiles ? limit - kSpareFiles : limit / 2);
    log_.Write(LogLevel::kWarning, "at most " + std::to_string(limit) + " files may be open (ulimit -n), so at most " +
                                       std::to_string(max_links_) + " links instead of max-links " +
                                       std::to_string(config_.max_links));
  }
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(config_.listen_address, ec);
  if (ec) {
    *error = "listen: \"" + config_.listen_address + "\" is no IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, config_.listen_port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + config_.listen_address + ":" + std::to_string(config_.listen_port) + ": " +
             ec.message();
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  // This node in the catalog. Alone, it may take every link and open scan
  // of the catalog for gone (the whole fleet restarts); beside live nodes,
  // only its own earlier run's.
  SXNodeRow node;
  node_name_ = !config_.node_name.empty() ? config_.node_name : asio::ip::host_name(ec) + ":" + std::to_string(port_);
  node.name = node_name_;
  node.agent_address = config_.listen_address + ":" + std::to_string(port_);
  if (config_.web_enabled) node.web_address = config_.web_address + ":" + std::to_string(config_.web_port);
  node.started_time = Now();
  node.heartbeat_ms = UnixMs();
  node.dead_after_ms = dead_after_ms_;
  int others = 0;
  SXCatalogStatus status = catalog_.StartNode(node, &node_id_, &others);
  int64_t stopped = 0;
  if (status && others == 0) status = catalog_.SetAllOffline();
  if (status && others == 0) status = catalog_.StopOpenScans(Now(), "the server stopped before the scan ended", &stopped);
  if (status && others > 0) status = catalog_.EndScansOfDeadNodes(UnixMs(), Now(), &stopped);
  if (!status) {
    *error = "the catalog: " + status.message;
    return false;
  }
  nodes_alive_ = others + 1;
  std::string why;
  bus_ = catalog_.OpenNodeBus(&why);
  if (bus_ != nullptr && !bus_->Start(node_id_, [this](const std::string& m) { Received(m); }, error)) return false;
  // Beside live nodes the folder's temporary files and uncatalogued files
  // may be theirs, in flight: only a node alone sweeps.
  SXSweepReport sweep;
  if (others == 0 && !store_.Sweep(catalog_, &sweep, error)) return false;
  for (const std::string& part : sweep.removed_parts) log_.Write(LogLevel::kInfo, "removed a download cut short: " + part);
  for (const std::string& orphan : sweep.removed_orphans) {
    log_.Write(LogLevel::kInfo, "removed " + orphan + ", stored but never catalogued (its agent sends it again)");
  }
  for (const SXSnapshotRow& row : sweep.missing) {
    log_.Write(LogLevel::kError, "the catalog names " + row.path + " (machine " + std::to_string(row.uid) +
                                     ", snapshot " + std::to_string(row.number) + "), which is not there");
  }
  for (const std::string& f : sweep.failures) log_.Write(LogLevel::kError, f);
  for (const SXConfigProfile& p : config_.profiles) {
    SXTargetProfile profile;
    profile.name = p.name;
    profile.files = p.files;
    profile.registry = p.regs;
    profile.apps = p.apps;
    profile.versions = p.versions;
    profile.full = p.full;
    profile.removable = p.removable;
    profile.snapshot_name = p.snapshot_name;
    status = catalog_.PutProfile(profile);
    if (!status) {
      *error = "profile " + p.name + ": " + status.message;
      return false;
    }
  }
  for (const SXConfigSchedule& s : config_.schedules) {
    SXScheduleRow row;
    row.interval_seconds = s.every_s;
    row.jitter_seconds = std::min(s.jitter_s, s.every_s);
    row.profile = s.profile;
    row.created_time = Now();
    std::vector<SXScheduleRow> rows;
    for (int32_t uid : s.machines) rows.push_back(row), rows.back().uid = uid;
    for (const std::string& g : s.groups) rows.push_back(row), rows.back().group = g;
    if (rows.empty()) rows.push_back(row), rows.back().group = "*";
    for (const SXScheduleRow& r : rows) {
      status = catalog_.PutSchedule(r, nullptr);
      if (!status) {
        *error = "schedule " + s.name + ": " + status.message;
        return false;
      }
    }
  }
  std::vector<SXSnapshotRow> uncompared;
  status = catalog_.UncomparedSnapshots(&uncompared);
  if (!status) {
    *error = "the catalog: " + status.message;
    return false;
  }
  for (const SXSnapshotRow& row : uncompared) Compare(row.id);
  if (!rollouts_->Load(error)) return false;
  started_ms_ = platform::MonotonicMs();
  last_beat_ms_ = platform::MonotonicMs();
  log_.Write(LogLevel::kInfo, "node " + node_name_ + " (id " + std::to_string(node_id_) + ", " +
                                  std::to_string(others) + " other nodes alive" +
                                  (bus_ != nullptr ? ", listening to them" : "") + ")");
  log_.Write(LogLevel::kInfo, "listening on " + config_.listen_address + ":" + std::to_string(port_) + " (" +
                                  std::to_string(uncompared.size()) + " comparisons to catch up, " +
                                  std::to_string(stopped) + " scans left open by the last run marked stopped)");
  Accept();
  sweep_timer_.expires_after(std::chrono::milliseconds(sweep_ms_));
  sweep_timer_.async_wait([this](const boost::system::error_code& e) {
    if (!e) Sweep();
  });
  return true;
}

void CXFleetServer::Run() { io_.run(); }

void CXFleetServer::Abandon() {
  stopping_ = true;
  abandoned_ = true;
  io_.stop();
}

void CXFleetServer::Stop() {
  if (stopping_.exchange(true)) return;
  OnLoop([this] {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_timer_.cancel();
    sweep_timer_.cancel();
    std::vector<std::shared_ptr<CXAgentSession>> all;
    for (auto& [key, session] : links_) all.push_back(session);
    for (auto& session : all) session->Close("the server stops");
    log_.Write(LogLevel::kInfo, "stopping: " + std::to_string(all.size()) + " links closed");
    Blocking([this] { (void)catalog_.StopNode(node_id_, Now()); });
    DrainThenStop();
  });
}

void CXFleetServer::DrainThenStop() {
  // What the pool still does (a machine marked offline, a scan ended, a
  // part file removed, a commit) ends before the loop does, and so does
  // what it handed back to the loop: a handler posted now runs after those.
  if (blocking_pending_.load() == 0) {
    OnLoop([this] {
      if (blocking_pending_.load() == 0) {
        io_.stop();
      } else {
        DrainThenStop();
      }
    });
    return;
  }
  sweep_timer_.expires_after(std::chrono::milliseconds(5));
  sweep_timer_.async_wait([this](const boost::system::error_code&) { DrainThenStop(); });
}

void CXFleetServer::Accept() {
  acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error) {
      if (error == asio::error::operation_aborted || stopping_) return;
      // Out of files or memory, most likely: waiting a little lets links
      // end and free them, where accepting again at once would spin.
      log_.WriteLimited("accept", LogLevel::kError, "accepting a link failed: " + error.message());
      accept_timer_.expires_after(std::chrono::milliseconds(kAcceptRetryMs));
      accept_timer_.async_wait([this](const boost::system::error_code& e) {
        if (!e && !stopping_) Accept();
      });
      return;
    }
    ++counters_.accepted;
    if (static_cast<int>(links_.size()) >= max_links_) {
      ++counters_.refused_links;
      boost::system::error_code ignored;
      const tcp::endpoint peer = socket.remote_endpoint(ignored);
      log_.WriteLimited("max-links", LogLevel::kWarning,
                        "refused a link from " + peer.address().to_string(ignored) + ": " +
                            std::to_string(max_links_) + " links are open (max-links)");
      socket.close(ignored);
    } else {
      auto session = std::make_shared<CXAgentSession>(std::move(socket), *this, limits_, identity_);
      links_[session.get()] = session;
      counters_.links_open = links_.size();
      session->Start(platform::MonotonicMs());
    }
    Accept();
  });
}

void CXFleetServer::Sweep() {
  if (stopping_) return;  // its timer waits for the pool to drain now
  const int64_t now = platform::MonotonicMs();
  std::vector<std::shared_ptr<CXAgentSession>> all;
  all.reserve(links_.size());
  uint64_t held = 0;
  for (auto& [key, session] : links_) {
    all.push_back(session);
    held += session->HeldBytes();
  }
  counters_.link_bytes = held;
  uint64_t downloading = 0, scanning = 0, idle = 0;
  for (const auto& [uid, m] : machines_) {
    if (m.downloading) {
      ++downloading;
    } else if (m.scan_id != 0) {
      ++scanning;
    } else {
      ++idle;
    }
  }
  counters_.sessions_downloading = downloading;
  counters_.sessions_scanning = scanning;
  counters_.sessions_idle = idle;
  counters_.sessions_greeting = links_.size() > machines_.size() ? links_.size() - machines_.size() : 0;
  for (auto& session : all) session->Tick(now);
  // A scan that never ends would hold its machine for ever: past the limit
  // it is stopped, and the machine scans again at its next slot.
  std::vector<int32_t> overdue;
  for (const auto& [uid, m] : machines_) {
    if (m.scan_id != 0 && m.scan_started_ms != 0 && now - m.scan_started_ms >= scan_limit_ms_) overdue.push_back(uid);
  }
  for (int32_t uid : overdue) {
    Machine& m = machines_[uid];
    CXMessage stop;
    stop.Init("stop-scan");
    m.session->Request("stop-scan", stop, [](const CXMessage*, const std::string&) {});
    const std::string limit = scan_limit_ms_ % 1000 == 0 ? std::to_string(scan_limit_ms_ / 1000) + " s"
                                                         : Format("%.1f s", static_cast<double>(scan_limit_ms_) / 1000);
    log_.WriteLimited("scan", LogLevel::kWarning,
                      m.session->Who() + ": no \"scan-done\" within " + limit + "; the scan is stopped");
    EndScan(uid, ScanState::kStopped, 0, "no \"scan-done\" within " + limit + " (scan-timeout): stopped");
  }
  rollouts_->Tick(Now());
  if (now - last_beat_ms_ >= heartbeat_ms_ && !beat_running_) {
    last_beat_ms_ = now;
    Beat();
  }
  ExpireRemote(now);
  if (now - last_catalog_look_ms_ >= catalog_look_ms_ && !catalog_look_running_) {
    last_catalog_look_ms_ = now;
    AskCatalogForScans();
  }
  sweep_timer_.expires_after(std::chrono::milliseconds(sweep_ms_));
  sweep_timer_.async_wait([this](const boost::system::error_code& e) {
    if (!e) Sweep();
  });
}

void CXFleetServer::AskCatalogForScans() {
  catalog_look_running_ = true;
  // The machines that could scan now, and the scans that are open here.
  std::vector<std::pair<int32_t, int64_t>> open;
  std::vector<int32_t> idle;  // the scans a person asked for are claimed for these only
  for (const auto& [uid, m] : machines_) {
    if (m.scan_id != 0) open.emplace_back(uid, m.scan_id);
    if (ScanCanStart(m)) idle.push_back(uid);
  }
  Blocking([this, open, idle] {
    std::vector<SXDueScan> due;
    SXCatalogStatus status = catalog_.DueScans(node_id_, Now(), kDueBatch, &due);
    if (!status) CatalogError("the catalog cannot list the scans due: " + status.message);
    std::vector<SXScanRow> asked;
    status = catalog_.ClaimRequestedScans(node_id_, idle, &asked);
    if (!status) CatalogError("the catalog cannot list the scans asked for: " + status.message);
    std::vector<std::pair<int32_t, int64_t>> stop;
    for (const auto& [uid, scan] : open) {
      SXScanRow row;
      if (catalog_.GetScan(scan, &row).ok() && row.state == ScanState::kStopped) stop.emplace_back(uid, scan);
    }
    OnLoop([this, due, asked, stop] {
      catalog_look_running_ = false;
      if (stopping_) return;
      for (const auto& [uid, scan] : stop) {
        auto it = machines_.find(uid);
        if (it == machines_.end() || it->second.scan_id != scan || it->second.stop_asked == scan) continue;
        it->second.stop_asked = scan;
        CXMessage m;
        m.Init("stop-scan");
        // The catalog has it stopped already; the machine may scan again.
        it->second.session->Request("stop-scan", m, [this, uid = uid, scan = scan](const CXMessage*, const std::string&) {
          auto at = machines_.find(uid);
          if (at != machines_.end() && at->second.scan_id == scan) at->second.scan_id = 0;
        });
      }
      // Scans asked for by a person first, then those of the schedules.
      struct Start {
        int32_t uid;
        int64_t scan;  // 0: a schedule's, to be asked for
        std::string profile, by;
        int64_t last_scan_time;  // a schedule's: as the list found it
      };
      std::vector<Start> start;
      for (const SXScanRow& r : asked) start.push_back({r.uid, r.id, r.profile, r.requested_by, 0});
      for (const SXDueScan& d : due) start.push_back({d.uid, 0, d.profile, "schedule", d.last_scan_time});
      for (const Start& what : start) {
        const int32_t uid = what.uid;
        auto it = machines_.find(uid);
        if (it == machines_.end() || !ScanCanStart(it->second)) {
          // Claimed here, but the machine is busy or gone meanwhile: any node may take it.
          if (what.scan != 0) Blocking([this, scan = what.scan] { (void)catalog_.ReleaseScan(scan); });
          continue;
        }
        Machine& m = it->second;
        m.scan_starting = true;
        const int64_t asked_id = what.scan;
        const std::string profile_name = what.profile;
        const std::string by = what.by;
        const int64_t seen_last_scan = what.last_scan_time;
        Blocking([this, uid, asked_id, profile_name, by, seen_last_scan] {
          SXTargetProfile profile;
          SXCatalogStatus s = catalog_.GetProfile(profile_name, &profile);
          int64_t scan_id = asked_id;
          if (s.not_found() && asked_id != 0) {
            // Asked for with a profile that is not there (or no longer):
            // ended, or it would stay open and keep the machine's schedule
            // from ever scanning it.
            const std::string why = "no target profile \"" + profile_name + "\"";
            (void)catalog_.EndScan(asked_id, ScanState::kFailed, Now(), 0, why);
            log_.WriteLimited("scan", LogLevel::kWarning,
                              "scan " + std::to_string(asked_id) + " of machine " + std::to_string(uid) + ": " + why);
            s = SXCatalogStatus::Failed(CatalogCode::kNotFound, why);
            scan_id = 0;
          } else if (s && scan_id == 0) {
            // Another node holding a link to the machine too may claim it
            // first, or the machine may have been scanned since the list was
            // made (its scan claimed, run and ended while this one looked):
            // then this one leaves it (conflict), and the slot has one scan.
            s = catalog_.ClaimScheduledScan(uid, node_id_, profile_name, Now(), seen_last_scan, &scan_id);
          }
          OnLoop([this, uid, scan_id, asked_id, profile, s, by] {
            auto it = machines_.find(uid);
            if (it == machines_.end() || !s) {
              if (it != machines_.end()) it->second.scan_starting = false;
              if (!s && !s.not_found() && !s.conflict()) {
                CatalogError("cannot start a scan of machine " + std::to_string(uid) + ": " + s.message);
              }
              // A person's scan claimed here for a machine gone meanwhile: given back.
              if (s && it == machines_.end() && asked_id != 0) {
                Blocking([this, asked_id] { (void)catalog_.ReleaseScan(asked_id); });
              }
              // A schedule's scan of a machine gone meanwhile: ended, so
              // that its next slot is not held up (a person's waits for the
              // machine to come back).
              if (s && it == machines_.end() && asked_id == 0) {
                Blocking([this, scan_id] {
                  (void)catalog_.EndScan(scan_id, ScanState::kFailed, Now(), 0, "the link ended before the scan began");
                });
              }
              return;
            }
            it->second.scan_starting = false;
            StartScan(uid, scan_id, profile, by);
          });
        });
      }
    });
  });
}

bool CXFleetServer::ScanCanStart(const Machine& m) const {
  return m.ready && m.scan_id == 0 && !m.scan_starting && !m.downloading && !m.session->busy();
}

void CXFleetServer::StartScan(int32_t uid, int64_t scan_id, const SXTargetProfile& profile, const std::string& by) {
  auto it = machines_.find(uid);
  if (it == machines_.end()) return;
  Machine& m = it->second;
  m.scan_id = scan_id;
  m.scan_profile = profile.name;
  m.scan_by = by;
  std::shared_ptr<CXAgentSession> session = m.session;
  CXMessage set;
  set.Init("set-scan").AddList("file", Wide(profile.files)).AddList("regs", Wide(profile.registry));
  set.AddList("apps", Wide(profile.apps)).AddInt("add-ver-inf", profile.versions ? 1 : 0);
  set.AddInt("full", profile.full ? 1 : 0).AddInt("show-rem-dsk", profile.removable ? 1 : 0);
  set.AddString("snap-name", profile.snapshot_name);
  session->Request("set-scan", set, [this, uid, scan_id, session](const CXMessage* reply, const std::string& error) {
    if (reply == nullptr) return EndScan(uid, ScanState::kFailed, 0, "the link ended: " + error);
    if (reply->GetInt("ok") != 1) return EndScan(uid, ScanState::kFailed, 0, "the agent could not save the scan settings");
    CXMessage scan;
    scan.Init("scan").AddInt("default", 1);
    session->Request("scan", scan, [this, uid, scan_id, session](const CXMessage* r, const std::string& e) {
      if (r == nullptr) return EndScan(uid, ScanState::kFailed, 0, "the link ended: " + e);
      if (r->GetInt("ok") != 1) {
        return EndScan(uid, ScanState::kFailed, 0, "the agent refused the scan: " + tools::DisplayText(r->GetString("msg")));
      }
      ++counters_.scans_started;
      auto it = machines_.find(uid);
      if (it != machines_.end() && it->second.scan_id == scan_id) {
        it->second.scan_started_ms = platform::MonotonicMs();
        Publish("scan-started", Json{{"uid", uid},
                                     {"scan", scan_id},
                                     {"profile", it->second.scan_profile},
                                     {"by", it->second.scan_by}});
      }
      Blocking([this, scan_id] { (void)catalog_.StartScan(scan_id, Now()); });
    });
  });
}

void CXFleetServer::EndScan(int32_t uid, ScanState state, int32_t number, const std::string& result) {
  auto it = machines_.find(uid);
  int64_t scan_id = 0;
  if (it != machines_.end()) {
    scan_id = it->second.scan_id;
    it->second.scan_id = 0;
    it->second.scan_started_ms = 0;
  }
  if (scan_id == 0) return;
  if (state != ScanState::kDone) {
    log_.WriteLimited("scan", LogLevel::kWarning, "machine " + std::to_string(uid) + ": scan failed: " + result);
  }
  const char* state_name = "failed";
  switch (state) {
    case ScanState::kDone: ++counters_.scans_done, state_name = "done"; break;
    case ScanState::kStopped: ++counters_.scans_stopped, state_name = "stopped"; break;
    default: ++counters_.scans_failed; break;
  }
  // Published from the loop, so that it comes before the events of the
  // snapshot's download that it begins.
  Publish("scan-done",
          Json{{"uid", uid}, {"scan", scan_id}, {"state", state_name}, {"number", number}, {"result", result}});
  Blocking([this, scan_id, state, number, result] {
    const int64_t now = Now();
    const SXCatalogStatus s = WriteNowOrLater(
        [this, scan_id, state, now, number, result] { return catalog_.EndScan(scan_id, state, now, number, result); });
    if (!s) CatalogError("cannot end scan " + std::to_string(scan_id) + ": " + s.message);
  });
}

void CXFleetServer::Greeted(const std::shared_ptr<CXAgentSession>& session) {
  ++counters_.greeted;
  const tools::SXAgentInfo& info = session->info();
  const int32_t claimed = info.id;
  // Another live link that claims the same id: the same machine coming back
  // (its old link is dead or dying) replaces it; a machine of another name
  // is a copy of its disk image and gets an id of its own.
  std::string note;
  bool copy = false;
  if (claimed > 0) {
    auto it = machines_.find(claimed);
    if (it != machines_.end() && it->second.session.get() != session.get()) {
      if (SameName(it->second.session->info().name, info.name)) {
        note = "replaces its earlier link " + it->second.session->address();
        std::shared_ptr<CXAgentSession> old = it->second.session;
        old->Close("replaced by a new link from the same machine (" + session->address() + ")");
      } else {
        copy = true;
        note = "claims id " + std::to_string(claimed) + ", which " + tools::DisplayText(it->second.session->info().name) +
               " holds: a copied machine";
      }
    }
  }
  Identify(session, copy, note);
}

void CXFleetServer::Identify(const std::shared_ptr<CXAgentSession>& session, bool copy, const std::string& note) {
  const tools::SXAgentInfo info = session->info();
  const int32_t claimed = info.id;
  OnStrand(machine_writes_, [this, session, info, claimed, copy, note] {
    int32_t uid = claimed;
    bool fresh = false;
    bool other = copy;
    std::string why = note;
    SXCatalogStatus status;
    if (uid > 0 && !other) {
      // The catalog knows the id under another name: a copy of that
      // machine's image whose original is offline, or the machine renamed.
      // Either way it starts a history of its own, so that two machines'
      // snapshots are never compared with each other.
      SXMachineRow row;
      status = catalog_.GetMachine(uid, &row);
      if (status.ok() && !SameName(row.name, info.name)) {
        other = true;
        why = "claims id " + std::to_string(uid) + ", which the catalog knows as " + tools::DisplayText(row.name) +
              ": a copied or renamed machine";
      }
      if (status.not_found()) status = SXCatalogStatus::Ok();
    }
    if (status && (uid <= 0 || other)) {
      status = catalog_.NewComputerId(&uid);
      fresh = status.ok();
    }
    if (status) {
      SXMachineInfo m;
      m.uid = uid;
      m.name = info.name;
      m.address = session->address();
      m.app_version = info.app_ver;
      m.app_bits = info.app_bit;
      m.os_bits = info.os_bit;
      m.scan_targets = info.scan_targets;
      m.seen_time = Now();
      status = catalog_.UpsertMachine(m, nullptr);
      if (status) status = catalog_.SetMachineLink(uid, node_id_, true, m.seen_time);
    }
    if (status && info.has_crash) status = catalog_.AddCrashReport(uid, Now(), info.crash);
    if (status && info.upgraded) {
      SXUpgradeResultRow r;
      r.uid = uid;
      r.time = Now();
      r.ok = info.upgrade_ok == 1;
      r.app_version = info.app_ver;
      r.text = r.ok ? "upgraded" : "the upgrade failed";
      status = catalog_.AddUpgradeResult(r);
    }
    OnLoop([this, session, uid, fresh, why, status] {
      if (session->closed()) {
        // Gone while it was being recorded: offline, unless the machine is
        // back on another link meanwhile.
        if (status && machines_.find(uid) == machines_.end()) {
          MarkOffline(uid, Now());
        }
        return;
      }
      if (!status) {
        CatalogError("cannot record " + session->Who() + ": " + status.message);
        session->Close("the catalog failed");
        return;
      }
      Register(session, uid, fresh, why);
    });
  });
}

void CXFleetServer::Register(const std::shared_ptr<CXAgentSession>& session, int32_t uid, bool fresh,
                             const std::string& note) {
  auto it = machines_.find(uid);
  if (it != machines_.end() && it->second.session.get() != session.get()) {
    if (!SameName(it->second.session->info().name, session->info().name)) {
      // Two machines claimed the id at once and the other one was taken
      // first: this one is the copy.
      Identify(session, /*copy=*/true,
               "claims id " + std::to_string(uid) + ", which " + tools::DisplayText(it->second.session->info().name) +
                   " holds: a copied machine");
      return;
    }
    // The same machine on a link that came meanwhile: the later one stays,
    // and online (the close of the earlier one wrote it offline).
    it->second.session->Close("replaced by a new link from the same machine (" + session->address() + ")");
    const int64_t now = Now();
    OnStrand(machine_writes_, [this, uid, now] { (void)catalog_.SetMachineLink(uid, node_id_, true, now); });
  }
  session->set_uid(uid);
  if (fresh) {
    CXMessage m;
    m.Init("set-uid").AddInt("id", uid);
    session->Send(m);
  }
  Machine& m = machines_[uid];
  m = Machine();
  m.session = session;
  m.ready = true;
  m.to_download = SavedNumbers(session->info().saved_uids);
  const tools::SXAgentInfo& info = session->info();
  const bool crashed = info.has_crash;
  session->ForgetInfoTexts();
  {
    std::lock_guard<std::mutex> lock(online_mutex_);
    online_uids_.insert(uid);
  }
  auto unread = unread_.find(uid);
  if (unread != unread_.end()) {
    // What the agent no longer holds needs no memory.
    std::vector<Unreadable>& list = unread->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&m](const Unreadable& u) {
                                return std::find(m.to_download.begin(), m.to_download.end(), u.number) ==
                                       m.to_download.end();
                              }),
               list.end());
    if (list.empty()) unread_.erase(unread);
  }
  ++online_;
  log_.WriteLimited("greeted", LogLevel::kInfo,
                    session->Who() + " greeted" + (fresh ? ", given id " + std::to_string(uid) : std::string()) +
                        (note.empty() ? std::string() : "; " + note) + (session->link_description().empty()
                                                                            ? std::string()
                                                                            : " over " + session->link_description()));
  Publish("agent-online", Json{{"uid", uid},
                               {"name", info.name},
                               {"address", session->address()},
                               {"version", info.app_ver}});
  rollouts_->Greeted(uid, info.name, info.app_ver, info.upgraded, info.upgrade_ok == 1, crashed);
  NextDownload(uid);
}

bool CXFleetServer::GivenUp(int32_t uid, int32_t number) const {
  auto it = unread_.find(uid);
  if (it == unread_.end()) return false;
  for (const Unreadable& u : it->second) {
    if (u.number == number) return u.refusals >= kMaxRefusals;
  }
  return false;
}

void CXFleetServer::Unread(int32_t uid, const CXAgentSession& session, int32_t number, int64_t size,
                           const std::string& fault) {
  if (unread_.find(uid) == unread_.end() && unread_.size() >= kMaxUnreadMachines) {
    unread_.erase(unread_.begin());  // forgotten: asked for kMaxRefusals times more
  }
  std::vector<Unreadable>& list = unread_[uid];
  auto u = std::find_if(list.begin(), list.end(), [number](const Unreadable& x) { return x.number == number; });
  if (u == list.end()) {
    if (list.size() >= kMaxUnreadPerMachine) list.erase(list.begin());
    list.push_back(Unreadable{number, size, fault, 0});
    u = list.end() - 1;
  }
  // Other bytes than last time: counted afresh.
  if (u->size != size || u->fault != fault) *u = Unreadable{number, size, fault, 0};
  if (++u->refusals == kMaxRefusals) {
    log_.Write(LogLevel::kWarning, "snapshot " + std::to_string(number) + " of " + session.Who() + " refused " +
                                       std::to_string(kMaxRefusals) +
                                       " times with the same bytes: not asked for again until the server starts "
                                       "again (the agent keeps it)");
  }
}

void CXFleetServer::NextDownload(int32_t uid) {
  auto it = machines_.find(uid);
  if (it == machines_.end() || stopping_) return;
  Machine& m = it->second;
  while (!m.to_download.empty() && GivenUp(uid, m.to_download.front())) m.to_download.erase(m.to_download.begin());
  if (m.downloading || m.to_download.empty()) return;
  if (active_downloads_ >= max_downloads_) {
    // Its turn comes when a slot is free (StartWaitingDownloads).
    if (!m.waiting_slot) {
      m.waiting_slot = true;
      waiting_downloads_.push_back(uid);
    }
    return;
  }
  m.waiting_slot = false;
  const int32_t number = m.to_download.front();
  m.to_download.erase(m.to_download.begin());
  m.downloading = true;
  std::shared_ptr<CXAgentSession> session = m.session;
  auto sink = std::make_shared<CXStoreSink>(*this, session);
  Blocking([this, uid, number, session, sink] {
    // Stored before (the server stopped between the catalog row and the
    // acknowledgement, or the acknowledgement was lost): acknowledged, and
    // compared if it has not been (its row's commit can have landed with
    // its answer lost, and no one compared it then).
    SXSnapshotRow row;
    const SXCatalogStatus found = catalog_.FindSnapshot(uid, number, &row);
    std::string error;
    if (found.not_found()) sink->download_ = store_.Begin(uid, number, &error);
    OnLoop([this, uid, number, session, found, sink, error, stored_id = row.id, compared = row.compared] {
      auto it = machines_.find(uid);
      if (it == machines_.end() || it->second.session != session || session->closed()) {
        if (sink->download_ != nullptr) sink->Then([sink] { sink->download_->Abort(); });
        return;
      }
      if (found.ok()) {
        ++counters_.snapshots_again;
        if (!compared) Compare(stored_id);
        Acknowledge(*session, number);
        it->second.downloading = false;
        return NextDownload(uid);
      }
      if (sink->download_ == nullptr) {
        ++counters_.store_errors;
        log_.WriteLimited("store", LogLevel::kError,
                          "cannot take snapshot " + std::to_string(number) + " of " + session->Who() + ": " +
                              (found.not_found() ? error : found.message));
        it->second.downloading = false;
        // The catalog away: asked for again later, the agent keeping it meanwhile.
        if (!found.not_found()) RetryDownload(uid, session, number);
        return NextDownload(uid);
      }
      session->Download(number, sink.get(), [this, uid, session, number, sink](const SXDownloadOutcome& o) {
        Downloaded(uid, session, number, sink, o);
      });
    });
  });
}

void CXFleetServer::Acknowledge(CXAgentSession& session, int32_t number) {
  if (session.closed()) return;
  CXMessage ack;
  ack.Init("down-ack").AddInt("id-snapshot", number);
  session.Send(ack);
}

void CXFleetServer::RetryDownload(int32_t uid, const std::shared_ptr<CXAgentSession>& session, int32_t number) {
  auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(retry_ms_));
  timer->async_wait([this, timer, uid, session, number](const boost::system::error_code& e) {
    if (e || stopping_) return;
    auto it = machines_.find(uid);
    if (it == machines_.end() || it->second.session != session || session->closed()) return;
    std::vector<int32_t>& list = it->second.to_download;
    if (std::find(list.begin(), list.end(), number) == list.end()) list.push_back(number);
    NextDownload(uid);
  });
}

void CXFleetServer::StartWaitingDownloads() {
  while (active_downloads_ < max_downloads_ && !waiting_downloads_.empty() && !stopping_) {
    const int32_t uid = waiting_downloads_.front();
    waiting_downloads_.pop_front();
    auto it = machines_.find(uid);
    if (it == machines_.end() || !it->second.waiting_slot) continue;  // gone meanwhile
    it->second.waiting_slot = false;
    NextDownload(uid);
  }
}

void CXFleetServer::Downloaded(int32_t uid, const std::shared_ptr<CXAgentSession>& session, int32_t number,
                               const std::shared_ptr<CXStoreSink>& sink, const SXDownloadOutcome& outcome) {
  if (!outcome.complete) {
    ++counters_.downloads_failed;
    sink->Then([sink] { sink->download_->Abort(); });
    log_.WriteLimited("download", LogLevel::kWarning,
                      "snapshot " + std::to_string(number) + " of " + session->Who() + " not stored: " + outcome.error);
    auto it = machines_.find(uid);
    if (it != machines_.end() && it->second.session == session) {
      it->second.downloading = false;
      if (outcome.link_ok) NextDownload(uid);  // the agent could not send this one: the others still come
    }
    return;
  }
  const int64_t size = outcome.size;
  sink->Then([this, uid, session, number, sink, size] {
    CXStoreDownload& download = *sink->download_;
    SXStoredSnapshot stored;
    std::string error;
    int64_t id = 0;
    bool ok = download.Finish(size, &stored);
    const bool unread = !ok && download.fault_offset() >= 0;
    bool added = false;  // its row is new (not stored by an earlier link or another node)
    bool catalogued = true;
    if (!ok) {
      error = download.error();
      if (unread) error += " (at offset " + std::to_string(download.fault_offset()) + ")";
    } else {
      ok = catalogued = store_.Catalogue(catalog_, stored, Now(), &id, &error, &added);
    }
    OnLoop([this, uid, session, number, ok, unread, size, error, id, stored, added, catalogued] {
      auto it = machines_.find(uid);
      const bool current = it != machines_.end() && it->second.session == session;
      if (current) it->second.downloading = false;
      if (!ok) {
        ++counters_.downloads_failed;
        ++counters_.store_errors;
        log_.WriteLimited("store", LogLevel::kError,
                          "snapshot " + std::to_string(number) + " of " + session->Who() + " refused: " + error);
        if (unread) Unread(uid, *session, number, size, error);
        // In place but without its row (the catalog away): not acknowledged,
        // asked for again later; the next download finds the same bytes in
        // place and only commits the row.
        if (!catalogued && current) RetryDownload(uid, session, number);
        if (current) NextDownload(uid);
        return;
      }
      if (!added) {
        // Its row was there already (stored by an earlier link, or by another
        // node): acknowledged, and compared if no one has (as above).
        ++counters_.snapshots_again;
        Compare(id);
        Acknowledge(*session, number);
        if (current) NextDownload(uid);
        return;
      }
      ++counters_.snapshots_stored;
      counters_.bytes_stored += static_cast<uint64_t>(stored.size);
      log_.WriteLimited("stored", LogLevel::kInfo,
                        session->Who() + ": snapshot " + std::to_string(number) + " stored as " + stored.path + " (" +
                            std::to_string(stored.size) + " bytes" + (stored.already_stored ? ", the same bytes were there" : "") +
                            ")");
      Acknowledge(*session, number);
      Publish("snapshot-stored", Json{{"uid", uid}, {"snapshot", id}, {"number", number}, {"size", stored.size}});
      Compare(id);
      Prune(uid);
      if (current) NextDownload(uid);
    });
  });
}

void CXFleetServer::ScanDone(const std::shared_ptr<CXAgentSession>& session, const tools::SXScanDone& done) {
  const int32_t uid = session->uid();
  if (uid == 0) return;  // before its id is settled: its "saved-uids" of the next link will say
  EndScan(uid, done.ok == 1 ? ScanState::kDone : ScanState::kFailed, done.id_snapshot,
          done.ok == 1 ? "snapshot " + std::to_string(done.id_snapshot) : tools::DisplayText(done.msg));
  if (done.ok != 1) return;
  auto it = machines_.find(uid);
  if (it == machines_.end() || it->second.session != session) return;
  std::vector<int32_t>& list = it->second.to_download;
  if (std::find(list.begin(), list.end(), done.id_snapshot) == list.end()) list.push_back(done.id_snapshot);
  NextDownload(uid);
}

void CXFleetServer::Closed(CXAgentSession& session, const std::string& why, bool violation) {
  auto link = links_.find(&session);
  if (link == links_.end()) return;
  std::shared_ptr<CXAgentSession> keep = link->second;
  links_.erase(link);
  counters_.links_open = links_.size();
  counters_.pings += session.pings();
  if (violation) {
    ++counters_.violations;
    log_.WriteLimited("violation", LogLevel::kWarning, session.Who() + ": " + why);
  } else if (!session.greeted()) {
    ++counters_.refused_links;
    log_.WriteLimited("unexpected link", LogLevel::kWarning, session.Who() + " never greeted: " + why);
  } else if (!stopping_) {
    log_.WriteLimited("closed", LogLevel::kInfo, session.Who() + " closed: " + why);
  }
  const int32_t uid = session.uid();
  auto it = machines_.find(uid);
  if (uid != 0 && it != machines_.end() && it->second.session.get() == &session) {
    if (it->second.scan_id != 0) EndScan(uid, ScanState::kFailed, 0, "the link ended: " + why);
    machines_.erase(it);
    --online_;
    {
      std::lock_guard<std::mutex> lock(online_mutex_);
      online_uids_.erase(uid);
    }
    Publish("agent-offline", Json{{"uid", uid}, {"why", why}});
    MarkOffline(uid, Now());
  }
}

void CXFleetServer::MarkOffline(int32_t uid, int64_t now) {
  OnStrand(machine_writes_, [this, uid, now] {
    // The catalog away: written once it is back, unless the machine is back here by then.
    (void)WriteNowOrLater([this, uid, now] {
      return IsHere(uid) ? SXCatalogStatus::Ok() : catalog_.SetMachineLink(uid, node_id_, false, now);
    });
  });
}

void CXFleetServer::Compare(int64_t snapshot_id) {
  Blocking([this, snapshot_id] {
    SXSnapshotRow row, previous;
    // The catalog away: compared again once it is back, not at the next start only.
    const auto later = [this, snapshot_id] {
      WriteLater([this, snapshot_id] {
        Compare(snapshot_id);
        return SXCatalogStatus::Ok();
      });
    };
    const SXCatalogStatus got = catalog_.GetSnapshot(snapshot_id, &row);
    if (got.code == CatalogCode::kError) later();
    if (!got || row.compared) return;
    const std::string new_path = tools::Utf16ToUtf8(store_.FullPath(row.path));
    const SXCatalogStatus p = catalog_.PreviousSnapshot(snapshot_id, &previous);
    if (p.not_found()) {
      (void)WriteNowOrLater([this, snapshot_id] { return catalog_.SetCompared(snapshot_id); });
      // Nothing to compare with, but its inventory is the machine's now.
      compare_.Submit(
          [this, row, new_path](const std::atomic<bool>&) {
            KeepInventory(row, new_path);
            return SXComparison();
          },
          nullptr);
      return;
    }
    if (p.code == CatalogCode::kError) later();
    if (!p) return;
    SXComparisonJob job;
    job.old_path = tools::Utf16ToUtf8(store_.FullPath(previous.path));
    job.new_path = new_path;
    auto shared = std::make_shared<SXComparisonJob>(std::move(job));
    // The comparison, then the new snapshot's inventory, on one worker: the
    // file is read twice while the pages of the first reading are still warm.
    compare_.Submit(
        [this, shared, row](const std::atomic<bool>& cancel) {
          shared->options.cancel = &cancel;
          SXComparison result = CompareArrived(shared->old_path, shared->new_path, shared->options);
          if (result.status != SXComparisonStatus::kCancelled && !cancel.load()) KeepInventory(row, shared->new_path);
          return result;
        },
        [this, row, previous, later](SXComparison result) {
          if (result.status == SXComparisonStatus::kAbandoned || result.status == SXComparisonStatus::kCancelled) {
            return;
          }
          if (!result.ok()) {
            ++counters_.comparisons_failed;
            log_.WriteLimited("compare", LogLevel::kWarning,
                              "snapshot " + std::to_string(row.number) + " of machine " + std::to_string(row.uid) +
                                  " not compared: " + result.error);
            (void)WriteNowOrLater([this, id = row.id] { return catalog_.SetCompared(id); });
            return;
          }
          const SXComparisonRow c = ComparisonRowOf(row, previous, result, store_);
          int64_t comparison_id = 0;
          const SXCatalogStatus s = catalog_.AddComparison(c, ChangeRowsOf(result), &comparison_id);
          if (s || s.conflict()) {
            ++counters_.comparisons_done;
            log_.WriteLimited("compared", LogLevel::kInfo,
                              "machine " + std::to_string(row.uid) + ": snapshot " + std::to_string(row.number) +
                                  " against " + std::to_string(previous.number) + ": " + std::to_string(result.added) +
                                  " added, " + std::to_string(result.removed) + " removed, " +
                                  std::to_string(result.changed) + " changed" +
                                  (result.change_file.empty() ? std::string()
                                                              : " (all of them in " + result.change_file + ")"));
            if (s) {
              const auto sum = [&c](ChangeKind kind) {
                const int k = static_cast<int>(kind);
                return c.counts[k][0] + c.counts[k][1] + c.counts[k][2];
              };
              Publish("comparison-done", Json{{"uid", row.uid},
                                              {"snapshot", row.id},
                                              {"comparison", comparison_id},
                                              {"files", sum(ChangeKind::kFiles)},
                                              {"registry", sum(ChangeKind::kRegistry)},
                                              {"apps", sum(ChangeKind::kApps)}});
            }
          } else {
            CatalogError("cannot keep the comparison of snapshot " + std::to_string(row.number) + " of machine " +
                         std::to_string(row.uid) + ": " + s.message);
            if (s.code == CatalogCode::kError) later();
          }
        });
  });
}

void CXFleetServer::KeepInventory(const SXSnapshotRow& row, const std::string& path) {
  std::vector<SXInventoryRow> rows;
  std::string error;
  const int found = CollectInventory(path, &rows, &error);
  if (found < 0) {
    ++counters_.inventory_errors;
    log_.WriteLimited("inventory", LogLevel::kWarning,
                      "snapshot " + std::to_string(row.number) + " of machine " + std::to_string(row.uid) +
                          ": no inventory: " + error);
    return;
  }
  if (found == 0) return;  // no applications in it: the machine's inventory stays as it was
  {
    // An older snapshot compared late never replaces a newer one's.
    std::lock_guard<std::mutex> lock(inventory_mutex_);
    int64_t& newest = inventory_of_[row.uid];
    if (row.id < newest) return;
    newest = row.id;
  }
  for (SXInventoryRow& r : rows) r.uid = row.uid;
  const SXCatalogStatus s = catalog_.ReplaceInventory(row.uid, row.id, rows);
  if (!s) {
    ++counters_.inventory_errors;
    CatalogError("cannot keep the inventory of snapshot " + std::to_string(row.number) + " of machine " +
                 std::to_string(row.uid) + ": " + s.message);
  }
}

void CXFleetServer::Prune(int32_t uid) {
  SXRetention retention;
  retention.keep_last = config_.keep_snapshots;
  retention.keep_days = config_.keep_days;
  if (!retention.Active()) return;
  Blocking([this, uid, retention] {
    SXPruneReport report;
    std::string error;
    if (!store_.Prune(catalog_, uid, retention, Now(), &report, &error)) {
      log_.WriteLimited("retention", LogLevel::kError, "retention of machine " + std::to_string(uid) + ": " + error);
    }
    for (const std::string& f : report.failures) log_.WriteLimited("retention", LogLevel::kWarning, f);
  });
}

}  // namespace orvalinth::server
