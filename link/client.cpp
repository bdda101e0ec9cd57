// CXClient: the threads and the connection thread's command loop.

#include "link/client.h"

#include <algorithm>
#include <system_error>

#include "base/log.h"
#include "base/strings.h"
#include "link/link_security.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "settings/saved_snapshots.h"

namespace orvalinth {
namespace {

// How often CloseLinkAfterCrash tries the link lock again.
constexpr int32_t kCrashLockPollMs = 5;

}  // namespace

CXClient::CXClient(CXClientSettings& settings, SXClientTiming timing)
    : settings_(settings),
      timing_(timing),
      // Scans record the targets of the settings the dispatcher changes, and
      // add their snapshots to the catalog this client offers.
      recording_factory_([this](std::string* error) { return CreateScanRecording(settings_, error); }) {}

CXClient::~CXClient() {
  // A client that is still running must not leave threads behind that use it.
  stop_.fetch_add(1);
  if (connection_thread_.joinable()) connection_thread_.join();
  EndScanThread();
}

CXClient& ProcessClient() {
  static CXClient client;
  return client;
}

int CXClient::StartConnectionThread() {
  if (!connection_thread_.joinable()) {
    // Counted before the thread exists, so that a stop right after the start
    // waits for it.
    running_threads_.fetch_add(1);
    try {
      connection_thread_ = std::thread([this] {
        CommandLoop();
        running_threads_.fetch_sub(1);
      });
      return 1;
    } catch (const std::system_error&) {
      running_threads_.fetch_sub(1);
    }
  }
  LogError("cannot start connection thread");
  return 0;
}

void CXClient::StopClient() {
  LogInfo("stopping service...");
  stop_.fetch_add(1);
  while (running_threads_.load() != 0) platform::SleepMs(static_cast<uint32_t>(timing_.sleep_ms));
  // Both threads have left their bodies; joining only collects them.
  if (connection_thread_.joinable()) connection_thread_.join();
  EndScanThread();
}

bool CXClient::CloseLinkAfterCrash(int32_t wait_ms) {
  stop_.fetch_add(1);
  std::unique_lock<std::mutex> lock(link_lock_, std::try_to_lock);
  for (int32_t waited = 0; !lock.owns_lock() && waited < wait_ms; waited += kCrashLockPollMs) {
    platform::SleepMs(kCrashLockPollMs);
    lock.try_lock();
  }
  if (!lock.owns_lock()) return false;
  is_connected_.store(0);
  Disconnect(/*graceful=*/true);
  return true;
}

int CXClient::WaitUnlessStopped(int seconds) {
  for (int i = 0; i < seconds * 2; ++i) {
    platform::SleepMs(static_cast<uint32_t>(timing_.sleep_ms));
    if (stop_.load() != 0) return 0;
  }
  return 1;
}

void CXClient::CommandLoop() {
  CXMessage incoming;
  int error_budget = kErrorLogBudget;
  int idle_polls = 0;
  is_connected_.store(0);
  LogInfo("Waiting for server %s:%d", settings_.server_address().c_str(), static_cast<int>(settings_.server_port()));

  while (stop_.load() == 0) {
    if (is_connected_.load() == 1) {
      int32_t poll_ms = timing_.poll_ms;
      if (is_uploading_.load() == 1) {
        poll_ms = 0;
        const int32_t downloading = current_snapshot_.load();
        if (SendNextBlock() == 0) {
          // The link is down: the socket is closed, and the next pass
          // connects again at once (the wait is for a failed connect).
          LogInfo("download of snapshot %d broke off: connection lost", static_cast<int>(downloading));
          CloseLink();
          continue;
        }
      }
      int error = 0;
      if (!PollForCommand(poll_ms, &error)) {
        if (error != 0 && error_budget > 0) {
          LogError("hasdata err %d", error);
          --error_budget;
        }
        if (is_uploading_.load() == 1) continue;
        if (++idle_polls >= timing_.idle_polls_per_ping) {
          idle_polls = 0;
          if (!SendPing()) {
            if (is_connected_.load() == 1) LogInfo("Connection lost");
            CloseLink();
          }
        }
        // After a failed ping the next pass reconnects without waiting.
        continue;
      }
      idle_polls = 0;
      if (ReceiveCommand(incoming) && DispatchCommand(incoming) != 0) continue;
      LogInfo("%s", ErrorTextLocked("disconnected from server").c_str());
      CloseLink();
    } else {
      if (is_uploading_.load() == 1) AbandonDownload(0);
      const std::string address = settings_.server_address();
      if (!PrepareLinkSecurity(address)) {
        WaitBeforeReconnect();
        continue;
      }
      if (ConnectServer(address, static_cast<uint16_t>(settings_.server_port()))) {
        LogInfo("connecting to server...");
        std::string error;
        if (SendClientInfo(&error) != 0) {
          LogInfo("connected to server");
          error_budget = kErrorLogBudget;
          idle_polls = 0;
          last_link_problem_.clear();
          if (CompleteGreeting()) continue;
          LogInfo("%s", ErrorTextLocked("disconnected from server").c_str());
          CloseLink();
        } else {
          if (!error.empty()) LogError("%s", error.c_str());
          Disconnect(/*graceful=*/true);
          LogTlsBreak();
        }
      } else if (!tls_failure().reason.empty()) {
        LogLinkProblem(Format("TLS link to %s:%d refused: %s (%s)", address.c_str(),
                              static_cast<int>(settings_.server_port()), tls_failure().reason.c_str(),
                              tls_failure().detail.c_str()));
      }
      if (stat_ == kStatHostNotFound) {
        LogError("Host not found [%s]", address.c_str());
        break;
      }
    }
    WaitBeforeReconnect();
  }
  if (is_connected_.load() == 1) CloseLink();
  // A file acknowledged while it streamed goes now.
  AbandonDownload(0);
}

bool CXClient::CompleteGreeting() {
  std::lock_guard<std::mutex> lock(link_lock_);
  is_connected_.store(1);
  const std::vector<std::string> listed = SplitSavedSnapshots(info_saved_uids_, true);
  while (!unsent_reports_.empty()) {
    const SXScanReport& report = unsent_reports_.front();
    // A finished snapshot that "info" has just offered needs no second word.
    const bool offered = report.ok != 0 && std::any_of(listed.begin(), listed.end(), [&](const std::string& entry) {
                           return DecimalValue(entry) == report.number;
                         });
    if (!offered && !SendScanDoneLocked(report)) return false;
    unsent_reports_.erase(unsent_reports_.begin());
  }
  return true;
}

bool CXClient::PollForCommand(int32_t milliseconds, int* error) {
  *error = 0;
  Handle s = kNone;
  {
    std::lock_guard<std::mutex> lock(link_lock_);
    s = socket_;
  }
  if (s == kNone) return false;
  const int ready = platform::Sockets::Get().WaitReadable(s, milliseconds);
  if (ready == 1) return true;
  // As in HasData: a plain time-out is no error, whatever an earlier call
  // left as the thread's last error.
  if (ready < 0) *error = static_cast<int>(platform::LastSocketError());
  return false;
}

bool CXClient::ReceiveCommand(CXMessage& message) {
  // Under the link lock: a failed receive closes the socket, which the scan
  // thread must not be sending on at that moment.
  std::lock_guard<std::mutex> lock(link_lock_);
  return RecvMessage(message);
}

bool CXClient::SendPing() {
  std::lock_guard<std::mutex> lock(link_lock_);
  outgoing_.Init("ping");
  return SendMessage(outgoing_);
}

bool CXClient::SendLocked(CXMessage& message) {
  std::lock_guard<std::mutex> lock(link_lock_);
  return SendMessage(message);
}

std::string CXClient::ErrorTextLocked(const std::string& message) {
  std::lock_guard<std::mutex> lock(link_lock_);
  return ErrorText(message);
}

void CXClient::CloseLink() {
  {
    std::lock_guard<std::mutex> lock(link_lock_);
    is_connected_.store(0);
    Disconnect(/*graceful=*/true);
  }
  LogTlsBreak();
}

void CXClient::LogTlsBreak() {
  platform::TlsFailure why;
  {
    std::lock_guard<std::mutex> lock(link_lock_);
    why = tls_break();
  }
  if (why.reason.empty()) return;
  LogLinkProblem(Format("TLS link to %s:%d broke: %s (%s)", settings_.server_address().c_str(),
                        static_cast<int>(settings_.server_port()), why.reason.c_str(), why.detail.c_str()));
}

bool CXClient::PrepareLinkSecurity(const std::string& address) {
  const SXLinkSecurity security = ReadLinkSecurity(settings_);
  if (!security.refusal.empty()) {
    LogLinkProblem(security.refusal);
    return false;
  }
  if (!security.tls) {
    set_tls(std::nullopt);
    return true;
  }
  platform::TlsClientConfig config;
  config.pins = security.pins;
  // The console's name goes in the handshake; an address does not.
  if (platform::Sockets::Get().ParseAddress(address) == platform::kAddressNone) config.server_name = address;
  set_tls(std::move(config));
  return true;
}

void CXClient::LogLinkProblem(const std::string& text) {
  const int64_t now = platform::MonotonicMs();
  if (text == last_link_problem_ && now - last_link_problem_ms_ < kLinkProblemRepeatMs) return;
  last_link_problem_ = text;
  last_link_problem_ms_ = now;
  LogError("%s", text.c_str());
}

void CXClient::WaitBeforeReconnect() {
  for (int i = 0; i < timing_.reconnect_sleeps && stop_.load() == 0; ++i) {
    platform::SleepMs(static_cast<uint32_t>(timing_.sleep_ms));
  }
}

}  // namespace orvalinth
