// The exchange that opens every link: the greeting both ways, then "info",
// which tells the console who this agent is, what waits for download, and
// what happened since the last link (an upgrade, a crash).

#include <memory>

#include "base/app_version.h"
#include "base/log.h"
#include "base/paths.h"
#include "link/client.h"
#include "link/wire_text.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "platform/system_info.h"

namespace orvalinth {
namespace {

// A crash report is a few kilobytes; a larger file is cut here rather than
// sent as a frame the console would refuse.
constexpr uint64_t kCrashReportLimit = 1 << 20;

bool CanOpenForReading(const std::u16string& path) {
  return platform::FileSystem::Get().Open(path, platform::kOpenRead) != nullptr;
}

// The crash copy's bytes, and whether there was one; the file is deleted
// once read.
bool TakeCrashReport(std::string* bytes) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string path = CrashCopyPath();
  std::unique_ptr<platform::File> file = files.Open(path, platform::kOpenRead);
  if (file == nullptr) return false;
  uint64_t size = 0;
  if (!file->Size(&size)) size = 0;
  bytes->assign(static_cast<size_t>(size < kCrashReportLimit ? size : kCrashReportLimit), '\0');
  uint32_t done = 0;
  while (done < bytes->size()) {
    uint32_t got = 0;
    if (!file->Read(&(*bytes)[done], static_cast<uint32_t>(bytes->size() - done), &got) || got == 0) break;
    done += got;
  }
  bytes->resize(done);
  file.reset();
  files.RemoveFile(path);
  return true;
}

}  // namespace

bool CXClient::IsOs64Bit() {
  const uint32_t architecture = platform::SystemInfo::Get().NativeArchitecture();
  return architecture == 9 || architecture == 6;
}

bool CXClient::AwaitBytes() {
  const int64_t end = platform::MonotonicMs() + int64_t{kServerTimeoutSeconds} * 1000;
  while (stop_.load() == 0) {
    // Readable, or a poll error that the receive then reports.
    if (platform::Sockets::Get().WaitReadable(socket_, timing_.sleep_ms) != 0) return true;
    if (platform::MonotonicMs() >= end) return false;
  }
  return false;
}

int CXClient::AwaitConsoleGreeting() {
  const int64_t end = platform::MonotonicMs() + int64_t{kServerTimeoutSeconds} * 1000;
  while (stop_.load() == 0) {
    // Readable, or a poll error that the receive then reports.
    if (platform::Sockets::Get().WaitReadable(socket_, timing_.sleep_ms) != 0) return 1;
    if (platform::MonotonicMs() >= end) {
      // As the receive itself would have timed out.
      stat_ = kStatConnectionError;
      return -1;
    }
  }
  return 0;
}

int CXClient::SendClientInfo(std::string* error) {
  if (!SendHello(APP_VERSION)) {
    *error = ErrorText(kInvalidProtocol);
    return 0;
  }
  const int greeting = AwaitConsoleGreeting();
  if (greeting == 0) {
    error->clear();  // the service is stopping: nothing went wrong
    return 0;
  }
  if (greeting < 0 || !RecvHello()) {
    *error = ErrorText(kInvalidProtocol);
    return 0;
  }

  const bool upgraded = CanOpenForReading(UpgradeCopyPath());
  std::string crash;
  const bool crashed = TakeCrashReport(&crash);

  // Read once: a scan that ends while "info" goes out is reported after the
  // greeting unless this list already names its snapshot.
  settings_.DropMissingSnapshots();  // never offer what cannot be downloaded
  info_saved_uids_ = settings_.saved_snapshots();
  CXMessage info;
  info.Init("info")
      .AddString("name", WireValue(settings_.computer_name()))
      .AddInt("app-ver", APP_VERSION)
      .AddInt("app-bit", 64)
      .AddInt("os-bit", IsOs64Bit() ? 64 : 32)
      .AddInt("scanning", scanning_.load())
      .AddInt("id", settings_.computer_id())
      .AddString("saved-uids", info_saved_uids_)
      .AddString("scan-targets", settings_.ScanTargetsText());
  if (upgraded) {
    const bool same_version = settings_.old_version() == APP_VERSION;
    info.AddInt("upgraded", 1).AddInt("app-ver", APP_VERSION).AddInt("upgrade-ok", same_version ? 0 : 1);
    if (same_version) LogError("upgrade failed - file version is the same");
  }
  if (crashed) info.AddString("crash", CrashReportValue(crash));

  if (!SendMessage(info)) {
    *error = ErrorText("");
    return 0;
  }

  if (upgraded) {
    // The old process may still hold the copy open for a moment.
    for (int attempt = 0; attempt < kUpgradeCopyDeleteAttempts; ++attempt) {
      platform::SleepMs(static_cast<uint32_t>(timing_.sleep_ms));
      if (platform::FileSystem::Get().RemoveFile(UpgradeCopyPath())) break;
    }
  }
  return 1;
}

}  // namespace orvalinth
