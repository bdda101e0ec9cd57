// The snapshot catalog: three fields of CXClientSettings (snapshot count,
// saved snapshots, snapshot name) and the snapshot files in the data folder.
//
// Snapshot n lives in data\snapshot%03d.snp. The next scan records number
// count + 1; only the completion step of a successful scan raises the count,
// so a failed or stopped scan leaves its number to the next one, and a number
// that was completed once is never handed out again.

#include <algorithm>
#include <limits>

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "settings/client_settings.h"
#include "settings/saved_snapshots.h"

namespace orvalinth {

int32_t CXClientSettings::NextSnapshotNumber() {
  Guard guard = Hold();
  // At the top of the range the number stays put rather than wrapping to a
  // negative one.
  const int32_t count = fields_.snapshot_count;
  return count < std::numeric_limits<int32_t>::max() ? count + 1 : count;
}

std::string CXClientSettings::SnapshotTitle() {
  Guard guard = Hold();
  if (fields_.snapshot_name.empty()) {
    fields_.snapshot_name = Format("%s - snapshot #%d", fields_.computer_name.c_str(), NextSnapshotNumber());
  }
  return fields_.snapshot_name;
}

int CXClientSettings::AddSnapshot() {
  Guard guard = Hold();
  std::vector<std::string> entries = SplitSavedSnapshots(fields_.saved_snapshots, true);
  const int32_t number = NextSnapshotNumber();
  // When an earlier finish step saved the number but the completion step never
  // ran (the process ended between the two), the scan that recorded the same
  // number again must not list it twice.
  const bool listed = std::any_of(entries.begin(), entries.end(),
                                  [number](const std::string& entry) { return DecimalValue(entry) == number; });
  if (!listed) entries.push_back(Format("%d", number));
  fields_.saved_snapshots = JoinSavedSnapshots(entries);
  return Save();
}

int CXClientSettings::CompleteSnapshot() {
  Guard guard = Hold();
  fields_.snapshot_count = NextSnapshotNumber();
  fields_.snapshot_name.clear();
  return Save();
}

int CXClientSettings::RemoveSnapshot(int32_t number) {
  Guard guard = Hold();
  std::vector<std::string> entries = SplitSavedSnapshots(fields_.saved_snapshots, false);
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [number](const std::string& entry) { return DecimalValue(entry) == number; });
  if (found != entries.end()) entries.erase(found);
  fields_.saved_snapshots = JoinSavedSnapshots(entries);
  // The file goes all the same: the list in memory no longer has it, and the
  // next save that succeeds writes the list without it.
  if (Save() == 0) LogError("cannot save settings");
  // Deleted under the lock as well, so that the other thread sees the list
  // and the file change together.
  return platform::FileSystem::Get().RemoveFile(SnapshotPath(number)) ? 1 : 0;
}

void CXClientSettings::CheckSavedSnapshots() {
  Guard guard = Hold();
  if (fields_.saved_snapshots.empty()) return;
  fields_.saved_snapshots = KeepReadableSnapshots(fields_.saved_snapshots);
}

void CXClientSettings::DropMissingSnapshots() {
  Guard guard = Hold();
  std::vector<std::string> entries = SplitSavedSnapshots(fields_.saved_snapshots, true);
  platform::FileSystem& files = platform::FileSystem::Get();
  const size_t before = entries.size();
  for (size_t i = entries.size(); i-- > 0;) {
    const int32_t number = DecimalValue(entries[i]);
    if (files.Attributes(SnapshotPath(number)) != platform::kInvalidAttributes) continue;
    const uint32_t error = platform::LastError();
    if (error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound) continue;
    LogError("snapshot %d is missing", static_cast<int>(number));
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (entries.size() == before) return;
  fields_.saved_snapshots = JoinSavedSnapshots(entries);
  if (Save() == 0) LogError("cannot save settings");
}

}  // namespace orvalinth
