// The file system job's walk over folders.

#include "record/file_scan.h"

#include <algorithm>

#include "base/log.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/reparse_points.h"
#include "record/folder_links.h"
#include "record/folder_lister.h"
#include "record/scan_request.h"
#include "storage/data_dir.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
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
  // The target's subtree is listed on a thread of its own, ahead of the
  // recording below, which takes the listings in the order it visits them.
  CXFolderLister lister(*this, request_.exclusion[kScanFiles], kMaxDepth, path_, depth, listing_thread_,
                        listing_piece_entries_);
  lister_ = &lister;
  RecordFolder(node, depth);
  lister_ = nullptr;
  lister.Finish();
}

void CXFileScan::RecordFolder(SXNodeRecord* node, int32_t depth) {
  const SXListingPiece* piece = lister_->Next();
  if (piece == nullptr) return;  // stopped
  if (!piece->searched) {
    node->error = static_cast<int32_t>(piece->error);
    return;
  }
  const int32_t below = depth + 1;
  if (below >= kMaxDepth) return;  // too deep: recorded without contents

  const size_t length = path_.size();
  CXNodeTable& subfolders = table(below);
  CXSnapshotDataFileRecArray& run = files(below);
  const bool versions = request_.version_info && has_version_info_extension_ != nullptr;
  CXCountBatch file_count(file_counter_, kFileBatch);
  int32_t folder_count = 0;
  // A listing that breaks off (the folder removed while it is listed, a
  // network drive gone) keeps what was listed, and the folder its error.
  uint32_t broke_off = 0;
  while (piece != nullptr && !StopRequested()) {
    for (const SXListedEntry& entry : piece->entries) {
      const char16_t* name = piece->name(entry);
      const uint16_t attributes = static_cast<uint16_t>(entry.attributes & 0xFFFF);
      if ((entry.attributes & platform::kAttrDirectory) == 0) {
        SXFileRecord* file = run.Append(name, entry.name_length);
        file->attributes = attributes;
        file->last_write = entry.last_write;
        file->size = entry.size;
        if (versions && has_version_info_extension_(name_.assign(name, static_cast<size_t>(entry.name_length)))) {
          path_ += name_;
          writer_.version_table().LookupVersion(path_, file, nullptr);
          path_.resize(length);
        }
        file_count.Count();
        continue;
      }
      SXNodeRecord* subfolder = subfolders.Append(name, entry.name_length, attributes);
      if ((entry.attributes & platform::kAttrReparsePoint) != 0) {
        path_.append(name, static_cast<size_t>(entry.name_length));
        MakeLink(subfolder, below, path_);  // never entered, never counted
        path_.resize(length);
      } else {
        ++folder_count;
      }
    }
    if (piece->last) {
      broke_off = piece->error;
      break;
    }
    piece = lister_->Next();
  }
  if (broke_off != 0) {
    node->error = static_cast<int32_t>(broke_off);
    LogError("cannot read folder [%s] [error:%u]", EncodeUtf8(path_).c_str(), broke_off);
  }

  for (int32_t i = 0; i < subfolders.size() && !StopRequested(); ++i) {
    SXNodeRecord* subfolder = subfolders.at(i);
    if ((subfolder->attributes & platform::kAttrReparsePoint) != 0) continue;
    path_.append(subfolder->name(), subfolder->name_length);
    path_ += u'\\';
    RecordFolder(subfolder, below);
    path_.resize(length);
  }

  if (folder_count != 0) folder_counter_.Add(folder_count);
  file_count.Flush();
  largest_run_bytes_ = std::max(largest_run_bytes_, run.held_bytes());
  node->content_offset = run.Flush(payload_, true);
  node->child_offset = subfolders.Flush(payload_, true);
}

}  // namespace orvalinth
