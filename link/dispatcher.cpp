// The command dispatcher: every command the console sends, and its reply.
// A reply is built in the received message itself; "stop-scan" and the
// download blocks use the outgoing message.

#include <vector>

#include "base/log.h"
#include "base/strings.h"
#include "link/browse.h"
#include "link/client.h"
#include "link/wire_text.h"
#include "platform/extended_path.h"

namespace orvalinth {
namespace {


// Takes the scan settings of a request into the settings and saves them, as
// one step under the settings guard. 1 when saved, 0 when the file could not
// be written; -1 with *error when the request was refused (nothing changed).
int TakeScanSettings(CXClientSettings& settings, const CXMessage& request, bool with_removable,
                     std::string* error) {
  // Every "info" and "get-scan" carries the targets: lists that would not
  // fit a frame would make the agent's own greeting fail at every connect.
  // Measured as they came, before any of them is decoded.
  SXScanTargets targets;
  if (!ReadScanTargetLists(request, &targets, error)) {
    LogError("%s", error->c_str());
    return -1;
  }
  CXClientSettings::Guard guard = settings.Hold();
  targets.add_version_info = request.GetInt("add-ver-inf");
  targets.full_scan = request.GetInt("full");
  targets.show_removable_disks =
      with_removable ? request.GetInt("show-rem-dsk") : settings.show_removable_disks();
  settings.set_scan_targets(std::move(targets));
  settings.set_snapshot_name(request.GetString("snap-name"));
  const int saved = settings.Save();
  if (saved == 0) LogError("cannot save settings");
  return saved;
}

}  // namespace

int CXClient::DispatchCommand(CXMessage& message) {
  if (message.IsNamed("get-disk")) {
    message.Init("get-disk").AddString("disk", ListDrives());
    return SendLocked(message) ? 1 : 0;
  }
  if (message.IsNamed("get-dir") || message.IsNamed("get-reg")) {
    const std::string& raw = message.GetString("path");
    std::vector<std::u16string> listing;
    // More bytes than the UTF-8 of the longest Windows path: nothing can be
    // listed, and nothing is decoded.
    if (raw.size() <= 3 * platform::kMaxPathUnits) {
      const std::u16string path = DecodeUtf8(raw);
      if (message.IsNamed("get-dir")) {
        ListSubfolders(path, &listing);
      } else {
        ListRegistryKeys(path, &listing);
      }
    }
    // Both listings answer as "get-dir"; the console knows what it asked.
    message.Init("get-dir").AddList("path", listing);
    return SendLocked(message) ? 1 : 0;
  }
  if (message.IsNamed("set-uid")) {
    CXClientSettings::Guard guard = settings_.Hold();
    settings_.set_computer_id(message.GetInt("id"));
    if (settings_.Save() == 0) LogError("cannot save settings");
    return 1;
  }
  if (message.IsNamed("get-scan")) return GetScanCommand(message);
  if (message.IsNamed("set-scan")) return SetScanCommand(message);
  if (message.IsNamed("scan")) return ScanCommand(message);
  if (message.IsNamed("stop-scan")) return StopScanCommand(message);
  if (message.IsNamed("down-snap")) return DownSnapCommand(message);
  if (message.IsNamed("down-ack")) {
    DownAckCommand(message);
    return 1;
  }
  if (message.IsNamed("upgd-cli")) return UpgradeCommand(message);
  if (message.IsNamed("uninstall")) {
    if (maintenance_.uninstall) {
      maintenance_.uninstall();
    } else {
      LogError("uninstall is not available");
    }
    return 1;
  }
  LogError("unknown cmd [%s]", LogSafe(message.Name()).c_str());
  message.Init("null");
  SendLocked(message);
  return 0;
}

int CXClient::GetScanCommand(CXMessage& message) {
  {
    CXClientSettings::Guard guard = settings_.Hold();
    const SXScanTargets targets = settings_.scan_targets();
    message.Init("get-scan")
        .AddInt("full", targets.full_scan)
        .AddInt("add-ver-inf", targets.add_version_info)
        .AddInt("show-rem-dsk", targets.show_removable_disks)
        .AddString("snap-name", WireValue(settings_.SnapshotTitle()))
        .AddList("regs", targets.registry)
        .AddList("file", targets.files)
        .AddList("apps", targets.applications);
  }
  return SendLocked(message) ? 1 : 0;
}

int CXClient::SetScanCommand(CXMessage& message) {
  std::string error;
  const int saved = TakeScanSettings(settings_, message, /*with_removable=*/true, &error);
  message.Init("set-scan").AddInt("ok", saved == 1 ? 1 : 0).AddString("scan-targets", settings_.ScanTargetsText());
  return SendLocked(message) ? 1 : 0;
}

int CXClient::ScanCommand(CXMessage& message) {
  std::string error;
  bool refused = false;
  if (message.GetInt("default") != 0) {
    const std::string& name = message.GetString("snap-name");
    if (!name.empty()) settings_.set_snapshot_name(name);
  } else {
    refused = TakeScanSettings(settings_, message, /*with_removable=*/false, &error) < 0;
  }
  // The link lock is held from the start of the scan thread until the reply
  // is out, so that the console never sees "scan-done" before "scan".
  std::lock_guard<std::mutex> lock(link_lock_);
  const int started = !refused && StartScanThread(&error) != 0 ? 1 : 0;
  message.Init("scan").AddInt("ok", started);
  if (started == 0) message.AddString("msg", WireValue(error));
  return SendMessage(message) ? 1 : 0;
}

int CXClient::StopScanCommand(CXMessage& message) {
  const std::string text = message.GetString("msg");
  // The current snapshot: while a scan runs, the one it records, even when
  // another has been opened for download meanwhile (that one is finished and
  // waits for its acknowledgement: it stays); else the one last recorded or
  // opened for download.
  const int32_t discard = SnapshotToDiscard();
  const bool recording = IsBeingRecorded(discard);
  // The download first, then the scan. A recording's snapshot is discarded
  // once its scan has ended: its partial file goes with the recording, and a
  // scan that completed before it heard of the stop has put it in the catalog.
  AbandonDownload(recording ? 0 : discard);
  EndScanThread();
  if (recording) settings_.RemoveSnapshot(discard);
  return StopScan(text);
}

int CXClient::DownSnapCommand(CXMessage& message) {
  std::string error;
  const uint32_t size = OpenDownload(message.GetInt("id-snapshot"), &error);
  message.Init("down-snap").AddInt("size", static_cast<int32_t>(size));
  if (size == 0) message.AddString("msg", error);
  return SendLocked(message) ? 1 : 0;
}

void CXClient::DownAckCommand(const CXMessage& message) {
  const int32_t n = message.GetInt("id-snapshot");
  // The snapshot a scan is writing is not in the catalog yet: deleting its
  // file under the recorder would leave a catalog entry without a file.
  if (IsBeingRecorded(n)) {
    LogError("cannot delete snapshot %d: it is being recorded", static_cast<int>(n));
    return;
  }
  AcknowledgeDownload(n);
}

int CXClient::UpgradeCommand(CXMessage& message) {
  std::string error;
  if (!maintenance_.upgrade) {
    error = "upgrade is not available";
  } else if (maintenance_.upgrade(message.Payload(), message.PayloadSize(), &error) != 0) {
    return 1;
  }
  message.Init("upgd-cli").AddInt("ok", 0).AddString("msg", WireValue(error));
  return SendLocked(message) ? 1 : 0;
}

}  // namespace orvalinth
