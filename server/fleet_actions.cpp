// CXFleetServer's side of CXFleetActions: what the web console asks of the
// agents, its events and health, and what the rollouts need of the server.
// Every call posts to the loop; what blocks runs on the pool.

#include <cstring>

#include "base/strings.h"
#include "platform/clock.h"
#include "server/fleet_server.h"
#include "tools/console_text.h"
#include "tools/reply_rules.h"

namespace orvalinth::server {
namespace {

SXActionResult Failure(const char* error, std::string message) {
  SXActionResult r;
  r.error = error;
  r.message = std::move(message);
  return r;
}

SXActionResult Success(Json data = Json::object()) {
  SXActionResult r;
  r.ok = true;
  r.data = std::move(data);
  return r;
}

// Text typed by a person as the agent reads it (tools' console does the same).
std::string AgentUtf8(const std::string& utf8) { return EncodeUtf8(tools::Utf8ToUtf16(utf8)); }

int64_t UnixMsNow() { return platform::UnixMicros() / 1000; }

std::string MachineText(const std::string& name, int32_t uid) {
  return tools::DisplayText(name) + " (id " + std::to_string(uid) + ")";
}

// The profile a person's scan without one takes: the machine's schedule's
// (its own, its group's, "*"'s), else "default".
std::string ScheduledProfile(const std::vector<SXScheduleRow>& schedules, const SXMachineRow& machine) {
  const SXScheduleRow* group = nullptr;
  const SXScheduleRow* all = nullptr;
  for (const SXScheduleRow& s : schedules) {
    if (s.uid == machine.uid) return s.profile;
    if (s.uid == 0 && !machine.group.empty() && s.group == machine.group) group = &s;
    if (s.uid == 0 && s.group == "*") all = &s;
  }
  if (group != nullptr) return group->profile;
  if (all != nullptr) return all->profile;
  return "default";
}

}  // namespace

void CXFleetServer::Publish(const char* type, const Json& data) {
  if (events_ == nullptr) return;
  // Agents' texts may not be UTF-8: replaced, never thrown over.
  events_->Publish(type, data.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void CXFleetServer::CatalogError(const std::string& text) {
  ++counters_.catalog_errors;
  log_.WriteLimited("catalog", LogLevel::kError, text);
}

bool CXFleetServer::IsOnline(int32_t uid) const {
  {
    std::lock_guard<std::mutex> lock(online_mutex_);
    if (online_uids_.count(uid) != 0) return true;
  }
  // On another node that is alive, when there are others.
  SXMachineLink link;
  return OnAnotherNode(uid, &link) && link.node_alive;
}

bool CXFleetServer::OnAnotherNode(int32_t uid, SXMachineLink* link) const {
  return bus_ != nullptr && catalog_.GetMachineLink(uid, UnixMsNow(), link).ok() && link->online &&
         link->node_id != 0 && link->node_id != node_id_;
}

void CXFleetServer::WithMachine(int32_t uid, Done done, std::function<void(Machine&, Done&)> action,
                                const Json& remote) {
  if (stopping_ || torn_down_) return done(Failure("stopping", "the server stops"));
  OnLoop([this, uid, remote, done = std::move(done), action = std::move(action)]() mutable {
    if (stopping_) return done(Failure("stopping", "the server stops"));
    auto it = machines_.find(uid);
    if (it != machines_.end() && it->second.ready && !it->second.session->closed()) return action(it->second, done);
    Blocking([this, uid, done, remote] {
      SXMachineRow row;
      const SXCatalogStatus s = catalog_.GetMachine(uid, &row);
      if (s.not_found()) return done(Failure("unknown-machine", "no machine has id " + std::to_string(uid)));
      if (!s) {
        CatalogError("cannot look machine " + std::to_string(uid) + " up: " + s.message);
        return done(Failure("catalog", s.message));
      }
      SXMachineLink link;
      if (!remote.is_null() && OnAnotherNode(uid, &link)) {
        if (!link.node_alive) {
          return done(Failure("node-unreachable", MachineText(row.name, uid) + " was on node " + link.node_name +
                                                       ", which stopped answering; its agent reconnects"));
        }
        Json request = remote;
        request["uid"] = uid;
        return Remote(link.node_id, link.node_name, std::move(request), done);
      }
      done(Failure("offline", MachineText(row.name, uid) + " is not connected"));
    });
  });
}

void CXFleetServer::ScanNow(int32_t uid, const std::string& profile, const std::string& by, Done done) {
  if (stopping_ || torn_down_) return done(Failure("stopping", "the server stops"));
  OnLoop([this, uid, profile, by, done] {
    auto it = machines_.find(uid);
    if (it != machines_.end() && (it->second.scan_id != 0 || it->second.scan_starting)) {
      return done(Failure("busy", "a scan of " + MachineText(it->second.session->info().name, uid) + " is under way"));
    }
    Blocking([this, uid, profile, by, done] {
      SXMachineRow machine;
      SXCatalogStatus s = catalog_.GetMachine(uid, &machine);
      if (s.not_found()) return done(Failure("unknown-machine", "no machine has id " + std::to_string(uid)));
      std::vector<SXScanRow> asked;
      if (s) s = catalog_.RequestedScans(&asked);
      std::string name = profile;
      if (s && name.empty()) {
        std::vector<SXScheduleRow> schedules;
        s = catalog_.ListSchedules(&schedules);
        if (s) name = ScheduledProfile(schedules, machine);
      }
      SXTargetProfile targets;
      if (s) s = catalog_.GetProfile(name, &targets);
      if (s.not_found()) return done(Failure("refused", "no target profile \"" + name + "\""));
      if (!s) {
        CatalogError("cannot ask for a scan of machine " + std::to_string(uid) + ": " + s.message);
        return done(Failure("catalog", s.message));
      }
      for (const SXScanRow& r : asked) {
        if (r.uid == uid) {
          return done(Failure("busy", "scan " + std::to_string(r.id) + " of " + MachineText(machine.name, uid) +
                                          " is asked for already and waits for its machine"));
        }
      }
      int64_t scan_id = 0;
      s = catalog_.RequestScan(uid, ScanOrigin::kPerson, by, name, Now(), &scan_id);
      if (s.conflict()) {
        return done(Failure("busy", "a scan of " + MachineText(machine.name, uid) + " is under way"));
      }
      if (!s) {
        CatalogError("cannot ask for a scan of machine " + std::to_string(uid) + ": " + s.message);
        return done(Failure("catalog", s.message));
      }
      // Here: claimed at once, so that no other node holding a link to the
      // machine starts it too. Elsewhere: the node holding it is told to look.
      bool claimed = false;
      std::vector<SXScanRow> mine;
      if (IsHere(uid) && catalog_.ClaimRequestedScans(node_id_, {uid}, &mine).ok()) {
        for (const SXScanRow& r : mine) claimed = claimed || r.id == scan_id;
      }
      SXMachineLink link;
      if (!claimed && OnAnotherNode(uid, &link) && link.node_alive) {
        std::string ignored;
        (void)bus_->Send(link.node_id, Json{{"kind", "look"}}.dump(), &ignored);
      }
      OnLoop([this, uid, scan_id, targets, by, done, claimed] {
        // Online and idle: at once. Otherwise the catalog's next look starts
        // it when the machine is free (or back).
        auto it = machines_.find(uid);
        if (claimed && it != machines_.end() && !stopping_ && ScanCanStart(it->second)) {
          StartScan(uid, scan_id, targets, by);
        } else if (claimed) {
          Blocking([this, scan_id] { (void)catalog_.ReleaseScan(scan_id); });
        }
        done(Success(Json{{"scan", scan_id}}));
      });
    });
  });
}

void CXFleetServer::StopScan(int32_t uid, const std::string& by, Done done) { StopScanOn(uid, by, done, true); }

void CXFleetServer::StopScanOn(int32_t uid, const std::string& by, Done done, bool forward) {
  if (stopping_ || torn_down_) return done(Failure("stopping", "the server stops"));
  OnLoop([this, uid, by, done, forward] {
    auto it = machines_.find(uid);
    if (it != machines_.end() && it->second.scan_starting) {
      return done(Failure("busy", "the scan is being sent to the agent; ask again in a moment"));
    }
    if (it != machines_.end() && it->second.scan_id != 0) {
      Machine& m = it->second;
      const int64_t scan = m.scan_id;
      m.stop_asked = scan;
      std::shared_ptr<CXAgentSession> session = m.session;
      CXMessage stop;
      stop.Init("stop-scan");
      log_.WriteLimited("scan", LogLevel::kInfo,
                        session->Who() + ": scan " + std::to_string(scan) + " stopped by " + by);
      session->Request("stop-scan", stop, [this, uid, scan, by, session, done](const CXMessage* reply,
                                                                             const std::string& error) {
        if (reply == nullptr) return done(Failure("offline", "the link ended: " + error));
        // Without a text the reply is ok 1 alone (the console's rule).
        if (reply->GetInt("ok") != 1) {
          session->Close("\"stop-scan\" reply does not echo the request's text", /*violation=*/true);
          return done(Failure("agent-failed", "the agent's reply to \"stop-scan\" broke the rules"));
        }
        auto at = machines_.find(uid);
        if (at != machines_.end() && at->second.scan_id == scan) {
          EndScan(uid, ScanState::kStopped, 0, "stopped by " + by);
        }
        done(Success(Json{{"scan", scan}}));
      });
      return;
    }
    // No scan runs on a link: one asked for and not begun (the machine
    // offline or busy) ends in the catalog. Nothing is sent, since an idle
    // agent told to stop discards its last snapshot.
    Blocking([this, uid, by, done, forward] {
      SXMachineRow machine;
      SXCatalogStatus s = catalog_.GetMachine(uid, &machine);
      if (s.not_found()) return done(Failure("unknown-machine", "no machine has id " + std::to_string(uid)));
      // A scan under way on the node holding the machine: stopped there.
      SXMachineLink link;
      if (s && forward && OnAnotherNode(uid, &link) && link.node_alive) {
        std::vector<SXScanRow> recent;
        if (catalog_.ListScans(uid, 1, &recent).ok() && !recent.empty() && recent[0].state == ScanState::kStarted) {
          return Remote(link.node_id, link.node_name, Json{{"kind", "stop-scan"}, {"uid", uid}, {"by", by}}, done);
        }
      }
      std::vector<SXScanRow> asked;
      if (s) s = catalog_.RequestedScans(&asked);
      int64_t ended = 0;
      for (const SXScanRow& r : asked) {
        if (!s || r.uid != uid) continue;
        s = catalog_.EndScan(r.id, ScanState::kStopped, Now(), 0, "stopped by " + by + " before it began");
        if (s) {
          ++counters_.scans_stopped;
          ended = r.id;
          Publish("scan-done", Json{{"uid", uid}, {"scan", r.id}, {"state", "stopped"}, {"number", 0},
                                    {"result", "stopped by " + by + " before it began"}});
        }
      }
      if (!s) {
        CatalogError("cannot stop the scans of machine " + std::to_string(uid) + ": " + s.message);
        return done(Failure("catalog", s.message));
      }
      if (ended == 0) return done(Failure("refused", "no scan of " + MachineText(machine.name, uid) + " is under way"));
      done(Success(Json{{"scan", ended}}));
    });
  });
}

void CXFleetServer::Browse(int32_t uid, BrowseKind kind, const std::string& path, Done done) {
  BrowseOn(uid, kind, path, std::move(done), true);
}

void CXFleetServer::BrowseOn(int32_t uid, BrowseKind kind, const std::string& path, Done done, bool forward) {
  const char* what = kind == BrowseKind::kDrives ? "drives" : kind == BrowseKind::kFolder ? "folder" : "registry";
  const Json remote = forward ? Json{{"kind", "browse"}, {"browse", what}, {"path", path}} : Json();
  WithMachine(uid, std::move(done), [kind, path](Machine& m, Done& done) {
    std::shared_ptr<CXAgentSession> session = m.session;
    const char* command =
        kind == BrowseKind::kDrives ? "get-disk" : kind == BrowseKind::kFolder ? "get-dir" : "get-reg";
    CXMessage request;
    request.Init(command);
    if (kind != BrowseKind::kDrives) request.AddString("path", AgentUtf8(path));
    session->Request(command, request, [kind, path, session, done](const CXMessage* reply, const std::string& error) {
      if (reply == nullptr) return done(Failure("offline", "the link ended: " + error));
      // A reply of the right shape whose list does not parse breaks the
      // rules as the console sees them: the link goes.
      const auto bad = [&](const std::string& wrong) {
        session->Close(wrong, /*violation=*/true);
        done(Failure("agent-failed", "the agent's listing broke the rules: " + wrong));
      };
      if (kind == BrowseKind::kDrives) {
        std::vector<tools::SXDrive> drives;
        const std::string wrong = tools::ParseDrives(reply->GetString("disk"), &drives);
        if (!wrong.empty()) return bad(wrong);
        Json list = Json::array();
        for (const tools::SXDrive& d : drives) {
          list.push_back(Json{{"name", std::string(1, static_cast<char>(d.letter - 'a' + 'A')) + ":\\"},
                              {"letter", std::string(1, d.letter)},
                              {"type", d.fixed ? "fixed" : "other"},
                              {"fixed", d.fixed}});
        }
        return done(Success(Json{{"drives", list}}));
      }
      std::vector<tools::SXListEntry> entries;
      const std::string wrong = tools::ParseListing(*reply, &entries);
      if (!wrong.empty()) return bad(wrong);
      // The agent lists subfolders (subkeys) only, each with whether it can
      // be opened further or is a link; it sends no sizes, times or values.
      const bool registry = kind == BrowseKind::kRegistry;
      Json list = Json::array();
      for (const tools::SXListEntry& e : entries) {
        Json entry{{"name", tools::Utf16ToUtf8(e.name)},
                   {registry ? "key" : "folder", true},
                   {registry ? "subkeys" : "subfolders", e.kind == 1},
                   {"link", e.kind == 2}};
        if (e.kind == 2) entry["target"] = tools::Utf16ToUtf8(e.target);
        list.push_back(std::move(entry));
      }
      done(Success(Json{{"path", path}, {"entries", list}}));
    });
  }, remote);
}

void CXFleetServer::Uninstall(int32_t uid, const std::string& by, Done done) { UninstallOn(uid, by, done, true); }

void CXFleetServer::UninstallOn(int32_t uid, const std::string& by, Done done, bool forward) {
  const Json remote = forward ? Json{{"kind", "uninstall"}, {"by", by}} : Json();
  WithMachine(uid, std::move(done), [this, by](Machine& m, Done& done) {
    log_.Write(LogLevel::kWarning, m.session->Who() + ": uninstall sent, asked by " + by);
    CXMessage request;
    request.Init("uninstall");
    m.session->Send(request);
    done(Success());
  }, remote);
}

// ---- several nodes on one catalog ------------------------------------------------

void CXFleetServer::Beat() {
  beat_running_ = true;
  Blocking([this] {
    const int64_t now_ms = UnixMsNow();
    const SXCatalogStatus s = catalog_.BeatNode(node_id_, now_ms);
    if (!s) {
      beats_ok_ = 0;
      CatalogError("node " + node_name_ + " cannot beat: " + s.message);
    } else if (++beats_ok_ >= 2) {
      std::vector<std::function<SXCatalogStatus()>> writes;
      {
        std::lock_guard<std::mutex> lock(later_mutex_);
        writes.swap(later_);
      }
      for (auto& write : writes) {
        // Only the catalog's absence is worth another try: a write refused
        // for any other reason (its row gone, ended meanwhile) never succeeds.
        if (write().code == CatalogCode::kError) WriteLater(std::move(write));
      }
      // Judged only after two beats of its own in a row: after the catalog
      // was away, every live node has beaten again by then, and none is
      // taken for dead for the catalog's silence.
      int64_t ended = 0;
      const SXCatalogStatus e = catalog_.EndScansOfDeadNodes(now_ms, Now(), &ended);
      if (!e) CatalogError("cannot end the scans of dead nodes: " + e.message);
      if (ended > 0) {
        log_.Write(LogLevel::kWarning, std::to_string(ended) + " open scans of nodes that stopped answering ended");
      }
      int64_t released = 0;
      const SXCatalogStatus r = catalog_.ReleaseMachinesOfDeadNodes(now_ms - gone_ms_, Now(), &released);
      if (!r) CatalogError("cannot let go of the machines of dead nodes: " + r.message);
      if (released > 0) {
        log_.Write(LogLevel::kWarning, std::to_string(released) +
                                           " machines of nodes dead for a while never came back: offline");
      }
      std::vector<SXNodeRow> nodes;
      if (catalog_.ListNodes(now_ms, &nodes).ok()) {
        int64_t alive = 0;
        for (const SXNodeRow& n : nodes) alive += n.alive ? 1 : 0;
        nodes_alive_ = alive;
        nodes_dead_ = static_cast<int64_t>(nodes.size()) - alive;
      }
    }
    OnLoop([this] { beat_running_ = false; });
  });
}

SXCatalogStatus CXFleetServer::WriteNowOrLater(std::function<SXCatalogStatus()> write) {
  const SXCatalogStatus s = write();
  if (s.code == CatalogCode::kError) WriteLater(std::move(write));
  return s;
}

void CXFleetServer::WriteLater(std::function<SXCatalogStatus()> write) {
  std::lock_guard<std::mutex> lock(later_mutex_);
  // Bounded: a catalog away for hours keeps the newest writes only.
  if (later_.size() >= 100000) later_.erase(later_.begin());
  later_.push_back(std::move(write));
}

void CXFleetServer::Remote(int64_t node_id, const std::string& node_name, Json request, Done done) {
  int64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(remote_mutex_);
    id = ++next_remote_;
    remote_[id] = Pending{done, platform::MonotonicMs() + remote_ms_, node_name};
  }
  request["id"] = id;
  request["from"] = node_id_;
  std::string error;
  if (bus_->Send(node_id, request.dump(-1, ' ', false, Json::error_handler_t::replace), &error)) return;
  {
    std::lock_guard<std::mutex> lock(remote_mutex_);
    if (remote_.erase(id) == 0) return;  // answered or expired meanwhile
  }
  done(Failure("node-unreachable", "node " + node_name + " holds the machine but cannot be asked: " + error));
}

void CXFleetServer::ExpireRemote(int64_t now_ms) {
  std::vector<Pending> expired;
  {
    std::lock_guard<std::mutex> lock(remote_mutex_);
    for (auto it = remote_.begin(); it != remote_.end();) {
      if (it->second.deadline_ms <= now_ms) {
        expired.push_back(std::move(it->second));
        it = remote_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Pending& p : expired) {
    p.done(Failure("node-unreachable", "node " + p.node_name + " holds the machine and did not answer within " +
                                           Format("%.1f s", static_cast<double>(remote_ms_) / 1000)));
  }
}

void CXFleetServer::Received(const std::string& message) {
  const Json m = Json::parse(message, nullptr, /*allow_exceptions=*/false);
  if (!m.is_object()) {
    log_.WriteLimited("nodes", LogLevel::kWarning, "a message from another node is no JSON object: dropped");
    return;
  }
  if (m.contains("reply")) {
    Pending p;
    {
      std::lock_guard<std::mutex> lock(remote_mutex_);
      auto it = remote_.find(m.value("reply", int64_t{0}));
      if (it == remote_.end()) return;  // expired already
      p = std::move(it->second);
      remote_.erase(it);
    }
    SXActionResult r;
    r.ok = m.value("ok", false);
    r.error = m.value("error", std::string());
    r.message = m.value("message", std::string());
    if (m.contains("data") && m["data"].is_object()) r.data = m["data"];
    return p.done(r);
  }
  const std::string kind = m.value("kind", std::string());
  if (kind == "look") {
    // A person asked for a scan of a machine here: claimed at the next sweep.
    return OnLoop([this] { last_catalog_look_ms_ = 0; });
  }
  const int64_t from = m.value("from", int64_t{0});
  const int64_t id = m.value("id", int64_t{0});
  const int32_t uid = m.value("uid", 0);
  Done answer = [this, from, id](const SXActionResult& r) {
    const Json reply{{"reply", id}, {"ok", r.ok}, {"error", r.error}, {"message", r.message}, {"data", r.data}};
    std::string error;
    if (!bus_->Send(from, reply.dump(-1, ' ', false, Json::error_handler_t::replace), &error)) {
      log_.WriteLimited("nodes", LogLevel::kWarning, "cannot answer node " + std::to_string(from) + ": " + error);
    }
  };
  const std::string by = m.value("by", std::string());
  if (kind == "browse") {
    const std::string what = m.value("browse", std::string());
    const BrowseKind b = what == "drives" ? BrowseKind::kDrives : what == "folder" ? BrowseKind::kFolder
                                                                                   : BrowseKind::kRegistry;
    return BrowseOn(uid, b, m.value("path", std::string()), answer, false);
  }
  if (kind == "uninstall") return UninstallOn(uid, by, answer, false);
  if (kind == "stop-scan") return StopScanOn(uid, by, answer, false);
  answer(Failure("refused", "no such request between nodes: \"" + kind + "\""));
}

void CXFleetServer::StartRollout(const SXRolloutRequest& request, Done done) {
  if (stopping_ || torn_down_) return done(Failure("stopping", "the server stops"));
  OnLoop([this, request, done] {
    if (stopping_) return done(Failure("stopping", "the server stops"));
    rollouts_->Start(request, done);
  });
}

void CXFleetServer::StopRollout(int64_t id, const std::string& by, Done done) {
  if (stopping_ || torn_down_) return done(Failure("stopping", "the server stops"));
  OnLoop([this, id, by, done] {
    if (stopping_) return done(Failure("stopping", "the server stops"));
    rollouts_->Stop(id, by, done);
  });
}

Json CXFleetServer::Health() const {
  const SXFleetCounters& c = counters_;
  const int64_t started = started_ms_.load();
  const int64_t uptime = started == 0 ? 0 : (platform::MonotonicMs() - started) / 1000;
  return Json{
      {"uptime_seconds", uptime},
      {"agents_connected", online_.load()},
      {"sessions",
       {{"greeting", c.sessions_greeting.load()},
        {"idle", c.sessions_idle.load()},
        {"downloading", c.sessions_downloading.load()},
        {"scanning", c.sessions_scanning.load()}}},
      {"links_accepted", c.accepted.load()},
      {"links_refused", c.refused_links.load()},
      {"violations", c.violations.load()},
      {"scans",
       {{"started", c.scans_started.load()},
        {"done", c.scans_done.load()},
        {"failed", c.scans_failed.load()},
        {"stopped", c.scans_stopped.load()}}},
      {"snapshots_stored", c.snapshots_stored.load()},
      {"bytes_stored", c.bytes_stored.load()},
      {"downloads_failed", c.downloads_failed.load()},
      {"downloads_now", c.downloads_now.load()},
      {"comparison_queue", compare_.queued()},
      {"comparisons_done", c.comparisons_done.load()},
      {"comparisons_failed", c.comparisons_failed.load()},
      {"comparison_seconds_total", static_cast<double>(compare_.busy_micros()) / 1e6},
      {"node", {{"id", node_id_}, {"name", node_name_}}},
      {"nodes", {{"alive", nodes_alive_.load()}, {"dead", nodes_dead_.load()}}},
      {"errors",
       {{"violations", c.violations.load()},
        {"downloads_failed", c.downloads_failed.load()},
        {"catalog", c.catalog_errors.load()},
        {"store", c.store_errors.load()},
        {"comparisons_failed", c.comparisons_failed.load()},
        {"inventory", c.inventory_errors.load()}}},
  };
}

// ---- what the rollouts need ----------------------------------------------------

bool CXFleetServer::MachineReady(int32_t uid, int32_t* app_version) {
  auto it = machines_.find(uid);
  if (it == machines_.end() || it->second.session->closed() || !ScanCanStart(it->second)) return false;
  *app_version = it->second.session->info().app_ver;
  return true;
}

void CXFleetServer::SendPackage(int32_t uid, std::shared_ptr<const std::string> package,
                                std::function<void(const std::string& refusal)> refused) {
  auto it = machines_.find(uid);
  if (it == machines_.end()) return;
  std::shared_ptr<CXAgentSession> session = it->second.session;
  CXMessage m;
  m.Init("upgd-cli");
  uint8_t* at = m.ReservePayload(static_cast<int32_t>(package->size()));
  if (!package->empty()) std::memcpy(at, package->data(), package->size());
  m.SetPayloadSize(static_cast<int32_t>(package->size()));
  log_.WriteLimited("rollout", LogLevel::kInfo,
                    session->Who() + ": upgrade sent (" + std::to_string(package->size()) + " bytes)");
  session->Request("upgd-cli", m, [refused](const CXMessage* reply, const std::string&) {
    // The link ends when the agent upgrades: only a reply is a refusal.
    if (reply != nullptr) refused(tools::DisplayText(reply->GetString("msg")));
  });
}

void CXFleetServer::RolloutWrite(std::function<void()> work) { OnStrand(rollout_writes_, std::move(work)); }
void CXFleetServer::RolloutBlocking(std::function<void()> work) { Blocking(std::move(work)); }
void CXFleetServer::RolloutLoop(std::function<void()> work) { OnLoop(std::move(work)); }
void CXFleetServer::RolloutEvent(const Json& data) { Publish("rollout", data); }
void CXFleetServer::RolloutLog(LogLevel level, const std::string& text) { log_.WriteLimited("rollout", level, text); }

}  // namespace orvalinth::server
