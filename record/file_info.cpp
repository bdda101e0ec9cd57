#include "record/file_info.h"

#include <memory>

#include "platform/files.h"
#include "storage/exe_version.h"
#include "storage/file_records.h"
#include "storage/snapshot_io.h"

namespace orvalinth {

int GetFileInfo(CXSnapshotIO& writer, const std::u16string& path, SXFileRecord* record, SXExeVersion* out) {
  platform::FindData found;
  // A folder search takes "*" and "?" as wildcards: such a path would report
  // some other file, and no file's name holds them.
  std::unique_ptr<platform::FindHandle> search;
  if (!path.empty() && path.find_first_of(u"*?") == std::u16string::npos) {
    search = platform::FileSystem::Get().FindFirst(path, &found);
  }
  if (!search) {
    record->attributes = 0;
    record->last_write = 0;
    record->size = 0;
    record->version_index = -1;
    record->missing = 1;
    if (out != nullptr) *out = SXExeVersion();
    return 0;
  }
  search.reset();
  record->attributes = static_cast<uint16_t>(found.attributes & 0xFFFF);
  record->last_write = found.last_write;
  record->size = found.size;
  record->missing = 0;
  GetFileVersion(writer, path, record, out);
  return 1;
}

void GetFileVersion(CXSnapshotIO& writer, const std::u16string& path, SXFileRecord* record, SXExeVersion* out) {
  if (out != nullptr) *out = SXExeVersion();
  writer.version_table().LookupVersion(path, record, out);
}

}  // namespace orvalinth
