#include "server/rollout.h"

#include <algorithm>

#include "link/tcpip_client.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/package_version.h"
#include "server/snapshot_store.h"
#include "tools/console_text.h"

namespace orvalinth::server {
namespace {

// What one "upgd-cli" frame carries at most besides its name and marker.
constexpr size_t kMaxPackage = static_cast<size_t>(CXTCPIPclient::kMaxBody) - 64;
constexpr uint32_t kWriteChunk = 1 << 20;

SXActionResult Failure(const char* error, std::string message) {
  SXActionResult r;
  r.error = error;
  r.message = std::move(message);
  return r;
}

int64_t Now() { return platform::UnixMicros() / 1000000; }

std::string SystemError(const std::string& what, const std::u16string& path) {
  return what + " " + tools::Utf16ToUtf8(path) + " (error " + std::to_string(platform::LastError()) + ")";
}

// The package written under its temporary name, flushed, renamed into place
// and its folder synced: a package named in the catalog is whole.
bool StorePackage(const std::string& folder, const std::string& name, const std::string& bytes, std::string* error) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string dir = tools::Utf8ToUtf16(folder);
  if (files.Attributes(dir) == platform::kInvalidAttributes && !files.CreateFolder(dir) &&
      platform::LastError() != platform::kErrorAlreadyExists && platform::LastError() != platform::kErrorFileExists) {
    *error = SystemError("cannot make the folder", dir);
    return false;
  }
  const std::u16string final_path = tools::Utf8ToUtf16(folder + "/" + name);
  const std::u16string part = final_path + u".part";
  {
    std::unique_ptr<platform::File> file = files.Open(part, platform::kOpenCreate);
    if (!file) {
      *error = SystemError("cannot create", part);
      return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, kWriteChunk));
      uint32_t written = 0;
      if (!file->Write(bytes.data() + done, n, &written) || written == 0) {
        *error = SystemError("cannot write", part);
        file.reset();
        files.RemoveFile(part);
        return false;
      }
      done += written;
    }
    if (!file->Flush()) {
      *error = SystemError("cannot flush", part);
      file.reset();
      files.RemoveFile(part);
      return false;
    }
  }
  if (!files.RenameFile(part, final_path)) {
    *error = SystemError("cannot rename", part);
    files.RemoveFile(part);
    return false;
  }
  if (!files.SyncFolder(dir)) {
    *error = SystemError("cannot sync the folder", dir);
    return false;
  }
  return true;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  std::unique_ptr<platform::File> file =
      platform::FileSystem::Get().Open(tools::Utf8ToUtf16(path), platform::kOpenRead);
  uint64_t size = 0;
  if (!file || !file->Size(&size) || size > kMaxPackage) return false;
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < bytes->size()) {
    uint32_t got = 0;
    if (!file->Read(&(*bytes)[done], static_cast<uint32_t>(bytes->size() - done), &got) || got == 0) return false;
    done += got;
  }
  return true;
}

std::string Sha256Hex(const std::string& bytes) {
  std::unique_ptr<platform::Sha256Stream> sha = platform::Crypto::Get().NewSha256();
  sha->Update(bytes.data(), bytes.size());
  return HexDigest(sha->Final());
}

}  // namespace

std::vector<int32_t> RolloutWaves(size_t machines, int32_t canary_percent, int32_t wave_size) {
  std::vector<int32_t> waves(machines);
  const size_t canary =
      std::max<size_t>(1, (machines * static_cast<size_t>(canary_percent) + 99) / 100);
  const size_t size = static_cast<size_t>(std::max(wave_size, 1));
  for (size_t i = 0; i < machines; ++i) {
    waves[i] = i < canary ? 1 : 2 + static_cast<int32_t>((i - canary) / size);
  }
  return waves;
}

CXRolloutManager::CXRolloutManager(CXCatalog& catalog, CXRolloutHost& host, std::string data_folder)
    : catalog_(catalog), host_(host), data_(std::move(data_folder)) {}

bool CXRolloutManager::Load(std::string* error) {
  std::vector<SXRolloutRow> rows;
  SXCatalogStatus s = catalog_.ListRollouts(&rows);
  if (!s) {
    *error = "the catalog's rollouts: " + s.message;
    return false;
  }
  for (const SXRolloutRow& row : rows) {  // newest first: the newest running one goes on
    if (row.state != RolloutState::kRunning) continue;
    if (run_ != nullptr) {
      // Only one runs at a time; an older one left running by an earlier
      // program is not picked up again.
      SXRolloutRow old = row;
      old.state = RolloutState::kStopped;
      old.reason = "another rollout was running when the server started";
      old.updated_time = Now();
      (void)catalog_.UpdateRollout(old);
      continue;
    }
    auto run = std::make_unique<Run>();
    run->row = row;
    std::vector<SXMachineRow> machines;
    s = catalog_.ListRolloutMachines(row.id, &run->machines);
    if (s) s = catalog_.ListMachines(&machines);
    if (!s) {
      *error = "the catalog's rollout " + std::to_string(row.id) + ": " + s.message;
      return false;
    }
    for (const SXMachineRow& m : machines) run->names[m.uid] = m.name;
    auto bytes = std::make_shared<std::string>();
    const bool readable = ReadWhole(data_ + "/" + row.package_path, bytes.get());
    run->package = std::move(bytes);
    run_ = std::move(run);
    if (!readable) {
      Finish(RolloutState::kFailed, "its package " + row.package_path + " cannot be read", Now());
      continue;
    }
    host_.RolloutLog(LogLevel::kInfo, "rollout " + std::to_string(row.id) + " of version " +
                                          std::to_string(row.app_version) + " goes on at wave " +
                                          std::to_string(row.wave));
  }
  return true;
}

void CXRolloutManager::Start(const SXRolloutRequest& request, CXFleetActions::Done done) {
  if (run_ != nullptr) {
    return done(Failure("busy", "rollout " + std::to_string(run_->row.id) + " is running; stop it first"));
  }
  if (starting_) return done(Failure("busy", "another rollout is being started"));
  if (request.package.empty()) return done(Failure("refused", "the package is empty"));
  if (request.package.size() > kMaxPackage) {
    return done(Failure("refused", "the package has " + std::to_string(request.package.size()) +
                                       " bytes, more than one frame to an agent can carry (" +
                                       std::to_string(kMaxPackage) + ")"));
  }
  if (request.canary_percent < 1 || request.canary_percent > 100) {
    return done(Failure("refused", "the canary share must be 1 to 100 percent"));
  }
  if (request.wave_size < 1) return done(Failure("refused", "the wave size must be at least 1"));
  if (request.wave_timeout_seconds < 1) return done(Failure("refused", "the wave time-out must be at least 1 s"));
  int32_t version = 0;
  std::string why;
  if (!ReadPackageVersion(request.package, &version, &why)) {
    return done(Failure("refused", "the package's agent version cannot be read: " + why));
  }
  starting_ = true;
  auto package = std::make_shared<const std::string>(request.package);
  SXRolloutRequest settings = request;
  settings.package.clear();
  host_.RolloutBlocking([this, settings, package, version, done] {
    auto run = std::make_unique<Run>();
    SXActionResult failure;
    std::vector<SXMachineRow> machines;
    SXCatalogStatus s = settings.group.empty() ? catalog_.ListMachines(&machines)
                                               : catalog_.ListGroupMachines(settings.group, &machines);
    std::sort(machines.begin(), machines.end(),
              [](const SXMachineRow& a, const SXMachineRow& b) { return a.uid < b.uid; });
    if (!s) {
      failure = Failure("catalog", s.message);
    } else if (machines.empty()) {
      failure = Failure("refused", settings.group.empty() ? std::string("the fleet has no machines")
                                                          : "group \"" + settings.group + "\" has no machines");
    }
    for (const SXMachineRow& m : machines) {
      if (!failure.error.empty()) break;
      if (m.app_version >= version) {
        failure = Failure("refused", "version " + std::to_string(version) + " is not newer than every target: " +
                                         tools::DisplayText(m.name) + " (id " + std::to_string(m.uid) +
                                         ") runs version " + std::to_string(m.app_version));
      }
    }
    const std::string sha = failure.error.empty() ? Sha256Hex(*package) : std::string();
    std::string error;
    if (failure.error.empty() && !StorePackage(data_ + "/packages", sha + ".exe", *package, &error)) {
      failure = Failure("refused", "the package cannot be stored: " + error);
    }
    if (failure.error.empty()) {
      const int64_t now = Now();
      SXRolloutRow& row = run->row;
      row.group = settings.group;
      row.package_path = "packages/" + sha + ".exe";
      row.package_sha256 = sha;
      row.package_size = static_cast<int64_t>(package->size());
      row.app_version = version;
      row.canary_percent = settings.canary_percent;
      row.wave_size = settings.wave_size;
      row.wave = 1;
      row.state = RolloutState::kRunning;
      row.created_by = settings.by;
      row.created_time = now;
      row.updated_time = now;
      row.wave_timeout_seconds = settings.wave_timeout_seconds;
      const std::vector<int32_t> waves = RolloutWaves(machines.size(), settings.canary_percent, settings.wave_size);
      for (size_t i = 0; i < machines.size(); ++i) {
        SXRolloutMachineRow m;
        m.uid = machines[i].uid;
        m.wave = waves[i];
        run->machines.push_back(m);
        run->names[m.uid] = machines[i].name;
      }
      s = catalog_.AddRollout(row, run->machines, &row.id);
      if (!s) failure = Failure("catalog", s.message);
      for (SXRolloutMachineRow& m : run->machines) m.rollout_id = row.id;
      run->package = package;
    }
    std::shared_ptr<Run> shared(std::move(run));
    host_.RolloutLoop([this, shared, failure, done] {
      starting_ = false;
      if (!failure.error.empty()) {
        if (failure.error == "catalog") {
          host_.RolloutLog(LogLevel::kError, "cannot start a rollout: " + failure.message);
        }
        return done(failure);
      }
      run_ = std::make_unique<Run>(std::move(*shared));
      const SXRolloutRow& row = run_->row;
      host_.RolloutLog(LogLevel::kInfo, "rollout " + std::to_string(row.id) + " of version " +
                                            std::to_string(row.app_version) + " to " +
                                            std::to_string(run_->machines.size()) + " machines started by " +
                                            row.created_by);
      const int64_t id = row.id;
      Event();
      Pump(Now());
      SXActionResult ok;
      ok.ok = true;
      ok.data = Json{{"rollout", id}};
      done(ok);
    });
  });
}

void CXRolloutManager::Stop(int64_t id, const std::string& by, CXFleetActions::Done done) {
  if (run_ != nullptr && run_->row.id == id) {
    Finish(RolloutState::kStopped, "stopped by " + by, Now());
    SXActionResult ok;
    ok.ok = true;
    return done(ok);
  }
  host_.RolloutBlocking([this, id, done] {
    SXRolloutRow row;
    const SXCatalogStatus s = catalog_.GetRollout(id, &row);
    if (s.not_found()) return done(Failure("refused", "no rollout " + std::to_string(id)));
    if (!s) return done(Failure("catalog", s.message));
    done(Failure("refused", "rollout " + std::to_string(id) + " is " + RolloutStateName(row.state) + " already"));
  });
}

void CXRolloutManager::Greeted(int32_t uid, const std::string& name, int32_t app_version, bool upgraded,
                               bool upgrade_ok, bool crashed) {
  if (run_ == nullptr) return;
  SXRolloutMachineRow* m = Find(uid);
  if (m == nullptr) return;
  run_->names[uid] = name;
  const int64_t now = Now();
  if (m->state == RolloutMachineState::kSent) {
    const int32_t wanted = run_->row.app_version;
    if (crashed) return Fail(*m, Who(uid) + " came back with a crash report", now);
    if (app_version != wanted) {
      return Fail(*m, Who(uid) + " came back with version " + std::to_string(app_version), now);
    }
    if (upgraded && !upgrade_ok) return Fail(*m, Who(uid) + " reports a failed upgrade", now);
    m->state = RolloutMachineState::kUpgraded;
    m->done_time = now;
    m->text = "upgraded to version " + std::to_string(wanted);
    SaveMachine(*m);
    host_.RolloutLog(LogLevel::kInfo, Who(uid) + " upgraded to version " + std::to_string(wanted));
  }
  Pump(now);
}

void CXRolloutManager::Tick(int64_t now) {
  if (run_ == nullptr) return;
  const SXRolloutRow& row = run_->row;
  const int64_t limit = row.wave_timeout_seconds;
  for (SXRolloutMachineRow& m : run_->machines) {
    if (m.wave != row.wave) continue;
    if (m.state == RolloutMachineState::kSent && now - m.sent_time >= limit) {
      return Fail(m, Who(m.uid) + " is not back within " + std::to_string(limit) + " s of its upgrade", now);
    }
    if (m.state == RolloutMachineState::kWaiting && now - row.updated_time >= limit) {
      return Fail(m, Who(m.uid) + " was not ready for its upgrade within " + std::to_string(limit) +
                         " s of its wave's start", now);
    }
  }
  Pump(now);
}

void CXRolloutManager::Pump(int64_t now) {
  while (run_ != nullptr) {
    const int64_t id = run_->row.id;
    for (SXRolloutMachineRow& m : run_->machines) {
      if (m.wave != run_->row.wave || m.state != RolloutMachineState::kWaiting) continue;
      int32_t version = 0;
      if (!host_.MachineReady(m.uid, &version)) continue;
      if (version == run_->row.app_version) {
        m.state = RolloutMachineState::kUpgraded;
        m.done_time = now;
        m.text = "runs version " + std::to_string(version) + " already";
        SaveMachine(m);
        continue;
      }
      m.state = RolloutMachineState::kSent;
      m.sent_time = now;
      SaveMachine(m);
      const int32_t uid = m.uid;
      host_.SendPackage(uid, run_->package, [this, id, uid](const std::string& refusal) {
        if (run_ == nullptr || run_->row.id != id) return;
        SXRolloutMachineRow* sent = Find(uid);
        if (sent != nullptr && sent->state == RolloutMachineState::kSent) {
          Fail(*sent, Who(uid) + " refused the upgrade: " + refusal, Now());
        }
      });
    }
    const int32_t wave = run_->row.wave;
    bool all = true, more = false;
    for (const SXRolloutMachineRow& m : run_->machines) {
      if (m.wave == wave && m.state != RolloutMachineState::kUpgraded && m.state != RolloutMachineState::kSkipped) {
        all = false;
      }
      if (m.wave > wave) more = true;
    }
    if (!all) return;
    if (!more) return Finish(RolloutState::kDone, std::string(), now);
    run_->row.wave = wave + 1;
    run_->row.updated_time = now;
    SaveRollout();
    Event();
    host_.RolloutLog(LogLevel::kInfo, "rollout " + std::to_string(id) + ": wave " + std::to_string(wave) +
                                          " upgraded, wave " + std::to_string(wave + 1) + " begins");
  }
}

void CXRolloutManager::Fail(SXRolloutMachineRow& machine, const std::string& reason, int64_t now) {
  machine.state = RolloutMachineState::kFailed;
  machine.done_time = now;
  machine.text = reason;
  SaveMachine(machine);
  Finish(RolloutState::kFailed, reason, now);
}

void CXRolloutManager::Finish(RolloutState state, const std::string& reason, int64_t now) {
  run_->row.state = state;
  run_->row.reason = reason;
  run_->row.updated_time = now;
  SaveRollout();
  Event();
  host_.RolloutLog(state == RolloutState::kFailed ? LogLevel::kWarning : LogLevel::kInfo,
                   "rollout " + std::to_string(run_->row.id) + " " + RolloutStateName(state) +
                       (reason.empty() ? std::string() : ": " + reason));
  run_.reset();
}

void CXRolloutManager::SaveRollout() {
  const SXRolloutRow row = run_->row;
  host_.RolloutWrite([this, row] {
    const SXCatalogStatus s = catalog_.UpdateRollout(row);
    if (!s) host_.RolloutLog(LogLevel::kError, "cannot keep rollout " + std::to_string(row.id) + ": " + s.message);
  });
}

void CXRolloutManager::SaveMachine(const SXRolloutMachineRow& machine) {
  const SXRolloutMachineRow row = machine;
  host_.RolloutWrite([this, row] {
    const SXCatalogStatus s = catalog_.UpdateRolloutMachine(row);
    if (!s) {
      host_.RolloutLog(LogLevel::kError, "cannot keep machine " + std::to_string(row.uid) + " of rollout " +
                                             std::to_string(row.rollout_id) + ": " + s.message);
    }
  });
}

void CXRolloutManager::Event() {
  const SXRolloutRow& row = run_->row;
  host_.RolloutEvent(Json{{"id", row.id}, {"state", RolloutStateName(row.state)}, {"wave", row.wave},
                          {"reason", row.reason}});
}

std::string CXRolloutManager::Who(int32_t uid) const {
  auto it = run_->names.find(uid);
  const std::string name = it == run_->names.end() ? std::string("machine") : tools::DisplayText(it->second);
  return name + " (id " + std::to_string(uid) + ")";
}

SXRolloutMachineRow* CXRolloutManager::Find(int32_t uid) {
  for (SXRolloutMachineRow& m : run_->machines) {
    if (m.uid == uid) return &m;
  }
  return nullptr;
}

}  // namespace orvalinth::server
