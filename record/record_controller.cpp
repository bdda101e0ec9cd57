#include "record/record_controller.h"

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/apps/system_info.h"
#include "record/version_hooks.h"
#include "settings/client_settings.h"

namespace orvalinth {

CXClientRecordController::CXClientRecordController(CXClientSettings& settings) : settings_(settings) {}

CXClientRecordController::CXClientRecordController() : CXClientRecordController(ProcessSettings()) {}

CXClientRecordController::~CXClientRecordController() {
  // The jobs read request_, which goes before the recorder's members do.
  if (file_open_) {
    AbortRecording();
  } else {
    StopJobs();
  }
}

int CXClientRecordController::StartRecording(int32_t number) {
  if (started_) return SetError("a recording controller records one snapshot only");
  started_ = true;

  const SXScanTargets targets = settings_.scan_targets();
  request_.Clear();
  request_.Build(targets.full_scan != 0, targets.show_removable_disks != 0, targets.add_version_info != 0,
                 targets.registry, targets.files, targets.applications);
  if (request_.full) {
    // A full scan takes everything of every kind, whatever the lists say.
    for (auto& include : request_.include) include.assign(1, u"*");
  }

  path_ = SnapshotPath(number);
  // A data folder removed since the last scan (by hand, or while a scan
  // wrote into it) is made again: otherwise no scan could succeed until
  // someone made it by hand on the machine.
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string folder = DataFolder().substr(0, DataFolder().size() - 1);
  if (files.Attributes(folder) == platform::kInvalidAttributes) files.CreateFolder(folder);
  const std::string title = settings_.SnapshotTitle();
  const SXVersionInfoHooks hooks = VersionInfoHooks();
  writer().version_table().set_reader(hooks.read_version_info);
  if (!writer().CreateSnapshot(path_, title, request_.InfoRequest())) {
    // A file that could not be created may belong to someone else: left
    // alone. One created whose header could not be written the writer has
    // deleted already.
    writer().ResetWriter();
    return 0;
  }
  file_open_ = true;
  StartJobs(request_, hooks.has_version_info_extension);
  return 1;
}

int32_t CXClientRecordController::IsRecording() { return RunningJobs(); }

int32_t CXClientRecordController::WaitWhileRecording(uint32_t timeout_ms) { return writer().WaitForJobs(timeout_ms); }

int CXClientRecordController::FinishRecording(int32_t number) {
  if (!file_open_) return SetError("no recording to finish");
  if (RunningJobs() != 0) return SetError("the recording's scans have not ended yet");
  DestroyEndedJobs();
  const uint32_t size = writer().FinishSnapshot(number, DescribeMachine());
  file_open_ = false;
  if (size == 0) {
    // A snapshot with a failed write cannot be read: it never reaches the
    // catalog, and its file goes.
    platform::FileSystem::Get().RemoveFile(path_);
    return 0;
  }
  // The file (or its whole folder) can be removed while it is written where
  // the system lets an open file go: a snapshot that is not there any more
  // never reaches the catalog.
  if (platform::FileSystem::Get().Attributes(path_) == platform::kInvalidAttributes) {
    const uint32_t error = platform::LastError();
    return SetError("", u"Cannot find file\n[" + path_ + u"] [error:" + Widen(Format("%u", error)) + u"]");
  }
  // A catalog that cannot be saved keeps the snapshot in memory; the next
  // save of the settings writes it.
  if (settings_.AddSnapshot() == 0) LogError("cannot save settings");
  return 1;
}

void CXClientRecordController::AbortRecording() {
  StopJobs();
  writer().ResetWriter();
  if (file_open_) platform::FileSystem::Get().RemoveFile(path_);
  file_open_ = false;
}

}  // namespace orvalinth
