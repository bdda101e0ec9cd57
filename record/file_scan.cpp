// The file system job's walk over folders.

#include "record/file_scan.h"

#include "base/log.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/reparse_points.h"
#include "record/folder_links.h"
#include "record/scan_request.h"
#include "storage/data_dir.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

// The next entry of a listing; at its end false, with *error the system
// error when the listing broke off rather than ran out of entries.
bool NextEntry(platform::FindHandle& search, platform::FindData* entry, uint32_t* error) {
  if (search.Next(entry)) return true;
  const uint32_t code = platform::LastError();
  if (code != platform::kErrorNoMoreFiles && code != platform::kErrorSuccess) *error = code;
  return false;
}

bool IsDots(const std::u16string& name) {
  return (name.size() == 1 && name[0] == u'.') || (name.size() == 2 && name[0] == u'.' && name[1] == u'.');
}

int32_t NameLength(const std::u16string& name) { return static_cast<int32_t>(name.size()); }

}  // namespace

CXFileScan::CXFileScan(CXSnapshotWriter& writer, const CXScanRequest& request, std::vector<std::u16string> roots,
                       bool (*has_version_info_extension)(const std::u16string& name))
    : CXSectionWalk(writer),
      request_(request),
      roots_(std::move(roots)),
      has_version_info_extension_(has_version_info_extension),
      folder_counter_(writer.progress(kScanFiles, 0)),
      file_counter_(writer.progress(kScanFiles, 1)),
      file_arrays_(kMaxDepth) {}

CXFileScan::~CXFileScan() { StopJob(true); }

CXSnapshotDataFileRecArray& CXFileScan::files(int32_t depth) {
  std::unique_ptr<CXSnapshotDataFileRecArray>& slot = file_arrays_[static_cast<size_t>(depth)];
  if (slot == nullptr) slot = std::make_unique<CXSnapshotDataFileRecArray>();
  return *slot;
}

void CXFileScan::Run() {
  // Folders closed to the service's account can still be listed with it.
  EnableBackupPrivilege();
  std::vector<std::u16string> roots;
  roots.reserve(roots_.size());
  for (const std::u16string& root : roots_) {
    if (StopRequested()) return;
    roots.push_back(StoredNamePath(root, this));
  }
  OrderRoots(&roots);
  RecordSections(roots, kSectionFiles);
}

void CXFileScan::ScanRoot(SXNodeRecord* root) {
  if (path_.find(u'\\') == std::u16string::npos) return;  // names no folder
  folder_counter_.Add(1);
  const bool drive_root = path_.size() == 3 && path_[1] == u':' && path_[2] == u'\\';
  if (drive_root) {
    ScanFolder(root, 0);
  } else {
    LookUpAndScan(root, 0);
  }
}

void CXFileScan::ScanTarget(SXNodeRecord* node, int32_t depth) {
  folder_counter_.Add(1);
  LookUpAndScan(node, depth);
}

void CXFileScan::TargetTooDeep(SXNodeRecord* node) {
  node->error = static_cast<int32_t>(platform::kErrorFilenameTooLong);
}

void CXFileScan::LookUpAndScan(SXNodeRecord* node, int32_t depth) {
  path_.pop_back();
  platform::FindData entry;
  const bool found = platform::FileSystem::Get().FindFirst(path_, &entry) != nullptr;
  const uint32_t error = platform::LastError();
  if (found && (entry.attributes & platform::kAttrReparsePoint) != 0) MakeLink(node, depth, path_);
  path_ += u'\\';
  if (!found) {
    node->error = static_cast<int32_t>(error);
  } else if ((entry.attributes & platform::kAttrReparsePoint) == 0) {
    ScanFolder(node, depth);
  }
}

void CXFileScan::MakeLink(SXNodeRecord* node, int32_t depth, const std::u16string& folder) {
  link_target_.clear();
  const int kind = ResolveFolderLink(folder, &link_target_);
  if (kind == static_cast<int>(platform::kLinkMountPoint)) {
    table(depth).SetLink(node, link_target_, kLinkJunction);
  } else if (kind == static_cast<int>(platform::kLinkSymbolic)) {
    table(depth).SetLink(node, link_target_, kLinkSymbolic);
  }
}

void CXFileScan::ScanFolder(SXNodeRecord* node, int32_t depth) {
  const size_t length = path_.size();
  path_ += u"*.*";
  std::unique_ptr<platform::FindHandle> search = platform::FileSystem::Get().FindFirst(path_, &entry_);
  path_.resize(length);
  if (search == nullptr) {
    node->error = static_cast<int32_t>(platform::LastError());
    return;
  }
  const int32_t below = depth + 1;
  if (below >= kMaxDepth) return;  // too deep: recorded without contents

  CXNodeTable& subfolders = table(below);
  CXSnapshotDataFileRecArray& run = files(below);
  const CXExclusionSet& excluded = request_.exclusion[kScanFiles];
  const bool versions = request_.version_info && has_version_info_extension_ != nullptr;
  CXCountBatch file_count(file_counter_, kFileBatch);
  int32_t folder_count = 0;
  // A listing that breaks off (the folder removed while it is listed, a
  // network drive gone) keeps what was listed, and the folder its error.
  uint32_t broke_off = 0;
  for (bool more = !StopRequested(); more; more = !StopRequested() && NextEntry(*search, &entry_, &broke_off)) {
    const uint16_t attributes = static_cast<uint16_t>(entry_.attributes & 0xFFFF);
    if ((entry_.attributes & platform::kAttrDirectory) == 0) {
      SXFileRecord* file = run.Append(entry_.name.data(), NameLength(entry_.name));
      file->attributes = attributes;
      file->last_write = entry_.last_write;
      file->size = entry_.size;
      if (versions && has_version_info_extension_(entry_.name)) {
        path_ += entry_.name;
        writer_.version_table().LookupVersion(path_, file, nullptr);
        path_.resize(length);
      }
      file_count.Count();
      continue;
    }
    if (IsDots(entry_.name)) continue;
    path_ += entry_.name;
    if (!excluded.empty()) {
      path_ += u'\\';
      const bool skip = excluded.Contains(path_);
      path_.pop_back();
      if (skip) {
        path_.resize(length);
        continue;
      }
    }
    SXNodeRecord* subfolder = subfolders.Append(entry_.name.data(), NameLength(entry_.name), attributes);
    if ((entry_.attributes & platform::kAttrReparsePoint) != 0) {
      MakeLink(subfolder, below, path_);  // never entered, never counted
    } else {
      ++folder_count;
    }
    path_.resize(length);
  }
  if (broke_off != 0) {
    node->error = static_cast<int32_t>(broke_off);
    LogError("cannot read folder [%s] [error:%u]", EncodeUtf8(path_).c_str(), broke_off);
  }
  // Closed before going down, so open searches do not pile up with the depth
  // (and the entry buffer is free for the subfolders).
  search.reset();

  for (int32_t i = 0; i < subfolders.size() && !StopRequested(); ++i) {
    SXNodeRecord* subfolder = subfolders.at(i);
    if ((subfolder->attributes & platform::kAttrReparsePoint) != 0) continue;
    path_.append(subfolder->name(), subfolder->name_length);
    path_ += u'\\';
    ScanFolder(subfolder, below);
    path_.resize(length);
  }

  if (folder_count != 0) folder_counter_.Add(folder_count);
  file_count.Flush();
  node->content_offset = run.Flush(payload_, true);
  node->child_offset = subfolders.Flush(payload_, true);
}

}  // namespace orvalinth
