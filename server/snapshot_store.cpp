#include "server/snapshot_store.h"

#include <set>

#include "base/strings.h"
#include "platform/errors.h"
#include "tools/snapshot_check.h"

namespace orvalinth::server {
namespace {

const char16_t kMachines[] = u"machines";

std::string Shown(const std::u16string& path) { return EncodeUtf8(path); }

std::string SystemError(const char* what, const std::u16string& path) {
  return Format("%s %s (error %u)", what, Shown(path).c_str(), static_cast<unsigned>(platform::LastError()));
}

bool AllDigits(const std::u16string& name) {
  if (name.empty() || name.size() > 10) return false;
  for (char16_t c : name) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

bool EndsWith(const std::u16string& text, const std::u16string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "snapshot<digits>.snp", the name of a stored snapshot.
bool IsSnapshotName(const std::u16string& name) {
  const std::u16string head = u"snapshot", tail = u".snp";
  if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 || !EndsWith(name, tail)) {
    return false;
  }
  return AllDigits(name.substr(head.size(), name.size() - head.size() - tail.size()));
}

// The entries of a folder (no "." or ".."); false when it cannot be listed.
bool ListFolder(const std::u16string& folder_with_separator, std::vector<platform::FindData>* entries) {
  entries->clear();
  platform::FindData entry;
  std::unique_ptr<platform::FindHandle> search =
      platform::FileSystem::Get().FindFirst(folder_with_separator + u"*", &entry);
  if (!search) {
    const uint32_t e = platform::LastError();
    return e == platform::kErrorFileNotFound || e == platform::kErrorNoMoreFiles;
  }
  do {
    if (entry.name != u"." && entry.name != u"..") entries->push_back(entry);
  } while (search->Next(&entry));
  return true;
}

}  // namespace

std::string HexDigest(const platform::Sha256Digest& digest) { return platform::HexText(digest.data(), digest.size()); }

bool Sha256OfFile(const std::u16string& path, std::string* hex, int64_t* size) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(path, platform::kOpenRead | platform::kOpenSequential);
  if (!file) return false;
  std::unique_ptr<platform::Sha256Stream> sha = platform::Crypto::Get().NewSha256();
  std::vector<uint8_t> buffer(1 << 17);
  int64_t total = 0;
  for (;;) {
    uint32_t got = 0;
    if (!file->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got)) return false;
    if (got == 0) break;
    sha->Update(buffer.data(), got);
    total += got;
  }
  *hex = HexDigest(sha->Final());
  if (size != nullptr) *size = total;
  return true;
}

SXSnapshotRow SXStoredSnapshot::Row(int64_t received_time) const {
  SXSnapshotRow row;
  row.uid = uid;
  row.number = number;
  row.agent_time = agent_time;
  row.received_time = received_time;
  row.size = size;
  row.sha256 = sha256;
  row.path = path;
  row.title = title;
  row.keys = keys;
  row.values = values;
  row.folders = folders;
  row.files = files;
  row.items = items;
  row.errors = errors;
  return row;
}

// ---- the store ----------------------------------------------------------------

CXSnapshotStore::CXSnapshotStore(std::u16string data_folder) : data_(std::move(data_folder)) {
  if (data_.empty()) data_ = u".";
  // A folder written the Windows way gets backslashes, any other slashes.
  const bool windows_form = data_.find(u'\\') != std::u16string::npos || data_.find(u':') != std::u16string::npos;
  separator_ = windows_form ? u'\\' : u'/';
  while (data_.size() > 1 && (data_.back() == u'\\' || data_.back() == u'/')) data_.pop_back();
}

std::string CXSnapshotStore::RelativePath(int32_t uid, int32_t number) {
  return Format("machines/%d/snapshot%03d.snp", static_cast<int>(uid), static_cast<int>(number));
}

std::u16string CXSnapshotStore::FullPath(const std::string& relative) const {
  std::u16string path = data_ + separator_ + DecodeUtf8(relative);
  for (size_t i = data_.size(); i < path.size(); ++i) {
    if (path[i] == u'/' || path[i] == u'\\') path[i] = separator_;
  }
  return path;
}

std::u16string CXSnapshotStore::MachineFolder(int32_t uid) const {
  return data_ + separator_ + kMachines + separator_ + Widen(std::to_string(uid));
}

bool CXSnapshotStore::EnsureFolder(const std::u16string& folder, const std::u16string& parent, std::string* error) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const uint32_t attributes = files.Attributes(folder);
  if (attributes != platform::kInvalidAttributes && (attributes & platform::kAttrDirectory) != 0) return true;
  if (!files.CreateFolder(folder) && platform::LastError() != platform::kErrorAlreadyExists &&
      platform::LastError() != platform::kErrorFileExists) {
    *error = SystemError("cannot make the folder", folder);
    return false;
  }
  // The new folder's own name must outlast a power loss as much as the files in it.
  if (!files.SyncFolder(parent)) {
    *error = SystemError("cannot sync the folder", parent);
    return false;
  }
  return true;
}

std::unique_ptr<CXStoreDownload> CXSnapshotStore::Begin(int32_t uid, int32_t number, std::string* error) {
  if (uid <= 0 || number <= 0) {
    *error = Format("no snapshot file for machine %d, snapshot %d", static_cast<int>(uid), static_cast<int>(number));
    return nullptr;
  }
  const std::u16string machines = data_ + separator_ + kMachines;
  const std::u16string folder = MachineFolder(uid);
  if (!EnsureFolder(machines, data_, error) || !EnsureFolder(folder, machines, error)) return nullptr;
  const std::u16string final_path = FullPath(RelativePath(uid, number));
  const std::u16string part = final_path + u"." + Widen(std::to_string(next_part_.fetch_add(1))) + u".part";
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(part, platform::kOpenCreate);
  if (!file) {
    *error = SystemError("cannot create", part);
    return nullptr;
  }
  return std::unique_ptr<CXStoreDownload>(new CXStoreDownload(*this, uid, number, part, final_path, std::move(file)));
}

bool CXSnapshotStore::Place(CXStoreDownload& d, const std::string& sha256, bool* already_stored, std::string* error) {
  std::lock_guard<std::mutex> lock(place_mutex_);
  platform::FileSystem& files = platform::FileSystem::Get();
  *already_stored = false;
  if (files.Attributes(d.final_) != platform::kInvalidAttributes) {
    std::string existing;
    if (!Sha256OfFile(d.final_, &existing, nullptr)) {
      *error = SystemError("cannot read the stored", d.final_);
      return false;
    }
    if (existing != sha256) {
      *error = Format("machine %d: another snapshot %d is stored already as ", static_cast<int>(d.uid_),
                      static_cast<int>(d.number_)) +
               Shown(d.final_) + " (SHA-256 " + existing + ", this one " + sha256 + "); this one is not kept";
      return false;
    }
    *already_stored = true;
    return true;
  }
  if (!files.RenameFile(d.part_, d.final_)) {
    *error = SystemError("cannot rename", d.part_) + " to " + Shown(d.final_);
    return false;
  }
  d.open_ = false;
  if (!files.SyncFolder(MachineFolder(d.uid_))) {
    // In place, but not known to be durable: not stored. The next sweep
    // removes it unless a row names it by then.
    *error = SystemError("cannot sync the folder", MachineFolder(d.uid_));
    files.RemoveFile(d.final_);
    return false;
  }
  return true;
}

bool CXSnapshotStore::Catalogue(CXCatalog& catalog, const SXStoredSnapshot& stored, int64_t received_time,
                                int64_t* id, std::string* error, bool* added) {
  int64_t row_id = 0;
  if (added != nullptr) *added = false;
  const SXCatalogStatus added_status = catalog.AddSnapshot(stored.Row(received_time), &row_id);
  const bool added_conflict = added_status.conflict();
  if (added_conflict) {
    SXSnapshotRow row;
    const SXCatalogStatus found = catalog.FindSnapshot(stored.uid, stored.number, &row);
    if (!found) {
      *error = found.message;
      return false;
    }
    if (row.sha256 != stored.sha256 || row.path != stored.path) {
      *error = Format("machine %d: the catalog holds another snapshot %d (", static_cast<int>(stored.uid),
                      static_cast<int>(stored.number)) +
               row.path + ", SHA-256 " + row.sha256 + ")";
      return false;
    }
    row_id = row.id;
  } else if (!added_status) {
    *error = added_status.message;
    return false;
  }
  if (added != nullptr) *added = !added_conflict;
  if (id != nullptr) *id = row_id;
  return true;
}

bool CXSnapshotStore::RemoveFile(const std::string& relative, std::string* error) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string path = FullPath(relative);
  if (!files.RemoveFile(path)) {
    const uint32_t e = platform::LastError();
    if (e == platform::kErrorFileNotFound || e == platform::kErrorPathNotFound) return true;
    *error = SystemError("cannot remove", path);
    return false;
  }
  const size_t cut = path.find_last_of(separator_);
  if (cut != std::u16string::npos && !files.SyncFolder(path.substr(0, cut))) {
    *error = SystemError("cannot sync the folder", path.substr(0, cut));
    return false;
  }
  return true;
}

bool CXSnapshotStore::Sweep(CXCatalog& catalog, SXSweepReport* report, std::string* error) {
  *report = SXSweepReport();
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string machines = data_ + separator_ + kMachines + separator_;
  std::vector<platform::FindData> folders;
  const uint32_t attributes = files.Attributes(data_ + separator_ + kMachines);
  if (attributes == platform::kInvalidAttributes) {
    // Nothing stored yet.
  } else if (!ListFolder(machines, &folders)) {
    *error = SystemError("cannot list", machines);
    return false;
  }
  std::set<int32_t> seen;
  for (const platform::FindData& f : folders) {
    if ((f.attributes & platform::kAttrDirectory) == 0 || !AllDigits(f.name)) continue;
    const long long value = std::stoll(EncodeUtf8(f.name));
    if (value <= 0 || value > 2147483647) continue;
    const int32_t uid = static_cast<int32_t>(value);
    seen.insert(uid);
    std::vector<SXSnapshotRow> rows;
    const SXCatalogStatus status = catalog.ListSnapshots(uid, &rows);
    if (!status) {
      *error = status.message;
      return false;
    }
    std::set<std::string> named;
    for (const SXSnapshotRow& row : rows) named.insert(row.path);
    const std::u16string folder = machines + f.name + separator_;
    std::vector<platform::FindData> entries;
    if (!ListFolder(folder, &entries)) {
      report->failures.push_back(SystemError("cannot list", folder));
      continue;
    }
    std::set<std::string> present;
    bool removed_any = false;
    for (const platform::FindData& e : entries) {
      if ((e.attributes & platform::kAttrDirectory) != 0) continue;
      const std::string relative = "machines/" + EncodeUtf8(f.name) + "/" + EncodeUtf8(e.name);
      const bool part = EndsWith(e.name, u".part");
      const bool orphan = !part && IsSnapshotName(e.name) && named.count(relative) == 0;
      if (!part && !orphan) {
        present.insert(relative);
        continue;
      }
      if (!files.RemoveFile(folder + e.name)) {
        report->failures.push_back(SystemError("cannot remove", folder + e.name));
        continue;
      }
      removed_any = true;
      (part ? report->removed_parts : report->removed_orphans).push_back(relative);
    }
    if (removed_any && !files.SyncFolder(folder)) report->failures.push_back(SystemError("cannot sync", folder));
    for (const SXSnapshotRow& row : rows) {
      if (present.count(row.path) == 0) report->missing.push_back(row);
    }
  }
  // Machines with rows but no folder at all.
  std::vector<SXMachineRow> known;
  SXCatalogStatus status = catalog.ListMachines(&known);
  if (!status) {
    *error = status.message;
    return false;
  }
  for (const SXMachineRow& m : known) {
    if (seen.count(m.uid) != 0) continue;
    std::vector<SXSnapshotRow> rows;
    status = catalog.ListSnapshots(m.uid, &rows);
    if (!status) {
      *error = status.message;
      return false;
    }
    for (const SXSnapshotRow& row : rows) {
      if (files.Attributes(FullPath(row.path)) == platform::kInvalidAttributes) report->missing.push_back(row);
    }
  }
  return true;
}

bool CXSnapshotStore::RemoveSnapshot(CXCatalog& catalog, int64_t id, SXRemovedSnapshot* removed, std::string* error) {
  SXRemovedSnapshot gone;
  const SXCatalogStatus status = catalog.DeleteSnapshot(id, &gone);
  if (!status) {
    *error = status.message;
    return false;
  }
  bool ok = RemoveFile(gone.snapshot.path, error);
  for (const std::string& file : gone.change_files) {
    std::string failure;
    if (!RemoveFile(file, &failure)) {
      if (ok) *error = failure;
      ok = false;
    }
  }
  if (removed != nullptr) *removed = std::move(gone);
  return ok;
}

bool CXSnapshotStore::Prune(CXCatalog& catalog, int32_t uid, const SXRetention& retention, int64_t now,
                            SXPruneReport* report, std::string* error) {
  *report = SXPruneReport();
  std::vector<SXSnapshotRow> candidates;
  const SXCatalogStatus status = catalog.RetentionCandidates(uid, retention, now, &candidates);
  if (!status) {
    *error = status.message;
    return false;
  }
  for (const SXSnapshotRow& row : candidates) {
    SXRemovedSnapshot removed;
    const SXCatalogStatus deleted = catalog.DeleteSnapshot(row.id, &removed);
    if (deleted.not_found()) continue;  // gone meanwhile
    if (!deleted) {
      *error = deleted.message;
      return false;
    }
    ++report->snapshots;
    report->bytes += removed.snapshot.size;
    std::string failure;
    if (!RemoveFile(removed.snapshot.path, &failure)) report->failures.push_back(failure);
    for (const std::string& file : removed.change_files) {
      if (!RemoveFile(file, &failure)) report->failures.push_back(failure);
    }
  }
  return true;
}

// ---- one download ----------------------------------------------------------------

CXStoreDownload::CXStoreDownload(CXSnapshotStore& store, int32_t uid, int32_t number, std::u16string part,
                                 std::u16string final_path, std::unique_ptr<platform::File> file)
    : store_(store),
      uid_(uid),
      number_(number),
      part_(std::move(part)),
      final_(std::move(final_path)),
      file_(std::move(file)),
      sha_(platform::Crypto::Get().NewSha256()) {}

CXStoreDownload::~CXStoreDownload() { Abort(); }

void CXStoreDownload::Abort() {
  file_.reset();
  if (open_) platform::FileSystem::Get().RemoveFile(part_);
  open_ = false;
}

bool CXStoreDownload::Fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  Abort();
  return false;
}

bool CXStoreDownload::Write(const void* data, size_t n) {
  if (!error_.empty() || !file_) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const uint32_t piece = n > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(n);
    uint32_t done = 0;
    if (!file_->Write(p, piece, &done) || done != piece) {
      error_ = SystemError("cannot write", part_);
      file_.reset();
      return false;
    }
    sha_->Update(p, piece);
    written_ += piece;
    p += piece;
    n -= piece;
  }
  return true;
}

bool CXStoreDownload::Finish(int64_t expected_size, SXStoredSnapshot* stored) {
  if (!error_.empty()) return Fail(error_);
  if (!open_ || !file_) return Fail("the download is over already");
  if (written_ != expected_size) {
    return Fail(Format("machine %d, snapshot %d: received ", static_cast<int>(uid_), static_cast<int>(number_)) +
                std::to_string(written_) + " bytes, the agent announced " + std::to_string(expected_size) +
                "; nothing kept");
  }
  const tools::SXSnapshotCheck check = tools::CheckSnapshotFile(part_);
  if (!check.ok) {
    fault_offset_ = check.file_offset;
    return Fail(Format("machine %d, snapshot %d does not read: ", static_cast<int>(uid_), static_cast<int>(number_)) +
                check.error + "; nothing kept");
  }
  if (check.number != number_) {
    return Fail(Format("machine %d, snapshot %d: the file calls itself snapshot %d; nothing kept",
                       static_cast<int>(uid_), static_cast<int>(number_), static_cast<int>(check.number)));
  }
  if (!file_->Flush()) return Fail(SystemError("cannot flush", part_));
  file_.reset();
  const std::string sha256 = HexDigest(sha_->Final());
  bool already = false;
  std::string error;
  if (!store_.Place(*this, sha256, &already, &error)) return Fail(error);
  Abort();  // the temporary file, when the bytes were in place already
  *stored = SXStoredSnapshot();
  stored->uid = uid_;
  stored->number = number_;
  stored->path = CXSnapshotStore::RelativePath(uid_, number_);
  stored->sha256 = sha256;
  stored->size = written_;
  stored->already_stored = already;
  stored->agent_time = check.time;
  stored->title = check.title;
  stored->keys = static_cast<int64_t>(check.keys);
  stored->values = static_cast<int64_t>(check.values);
  stored->folders = static_cast<int64_t>(check.folders);
  stored->files = static_cast<int64_t>(check.files);
  stored->items = static_cast<int64_t>(check.items);
  stored->errors = static_cast<int64_t>(check.errors);
  return true;
}

}  // namespace orvalinth::server
