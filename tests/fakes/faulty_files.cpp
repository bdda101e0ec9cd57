#include "fakes/faulty_files.h"

#include "base/strings.h"

namespace orvalinth::test {

class FaultyFiles::FaultyFile final : public platform::File {
 public:
  FaultyFile(std::unique_ptr<platform::File> inner, FaultyFiles& owner, std::u16string path)
      : inner_(std::move(inner)), owner_(owner), path_(std::move(path)) {
    std::lock_guard<std::mutex> lock(owner_.open_mutex_);
    owner_.open_.insert(path_);
  }
  ~FaultyFile() override {
    std::lock_guard<std::mutex> lock(owner_.open_mutex_);
    owner_.open_.erase(owner_.open_.find(path_));
  }

  bool Read(void* buffer, uint32_t n, uint32_t* got) override {
    const int64_t limit = owner_.fail_reads_after.load();
    if (limit >= 0 && served_ >= limit) {
      *got = 0;
      return Fail(owner_.read_error);
    }
    if (!inner_->Read(buffer, n, got)) return false;
    served_ += *got;
    return true;
  }

  bool Write(const void* buffer, uint32_t n, uint32_t* written) override {
    *written = 0;
    const int number = ++owner_.writes;
    const int from = owner_.fail_from_write.load();
    const int failing = owner_.failing_writes.load();
    const bool full = from != 0 && number >= from && (failing == 0 || number < from + failing);
    if (full || (owner_.fail_writes_after_seek && sought_)) {
      return Fail(platform::kErrorDiskFull);
    }
    if (owner_.disk_room >= 0 && stored_ + n > owner_.disk_room) {
      const uint32_t room = static_cast<uint32_t>(owner_.disk_room > stored_ ? owner_.disk_room - stored_ : 0);
      if (room > 0 && inner_->Write(buffer, room, written)) stored_ += *written;
      return Fail(platform::kErrorDiskFull);
    }
    if (!inner_->Write(buffer, n, written)) return false;
    stored_ += *written;
    return true;
  }

  bool Seek(int64_t offset) override {
    sought_ = true;
    if (owner_.fail_seeks) return Fail(platform::kErrorInvalidParameter);
    return inner_->Seek(offset);
  }
  bool SeekToEnd(int64_t* position) override { return inner_->SeekToEnd(position); }
  bool Size(uint64_t* size) override { return inner_->Size(size); }
  bool Flush() override { return inner_->Flush(); }

 private:
  static bool Fail(uint32_t error) {
    platform::SetLastError(error);
    return false;
  }

  std::unique_ptr<platform::File> inner_;
  FaultyFiles& owner_;
  const std::u16string path_;
  int64_t served_ = 0;
  int64_t stored_ = 0;
  bool sought_ = false;
};

FaultyFiles::FaultyFiles() : FileSystemWrapper(platform::FileSystem::Real()), use_(*this) {}

FaultyFiles::FaultyFiles(std::u16string suffix, unsigned modes)
    : FileSystemWrapper(platform::FileSystem::Real()), only_suffix(std::move(suffix)), only_modes(modes),
      use_(*this) {}

FaultyFiles::~FaultyFiles() = default;

bool FaultyFiles::Locked(const std::u16string& path) const {
  return !locked_folder.empty() && StartsWithFolded(path, locked_folder + u"\\");
}

std::unique_ptr<platform::File> FaultyFiles::Open(const std::u16string& path, unsigned mode) {
  if (Locked(path)) {
    platform::SetLastError(platform::kErrorAccessDenied);
    return nullptr;
  }
  std::unique_ptr<platform::File> file = target().Open(path, mode);
  if (file == nullptr) return file;
  if (!only_suffix.empty() && !EndsWithFolded(path, only_suffix)) return file;
  if (only_modes != 0 && (mode & only_modes) == 0) return file;
  return std::make_unique<FaultyFile>(std::move(file), *this, path);
}

std::unique_ptr<platform::FindHandle> FaultyFiles::FindFirst(const std::u16string& pattern, platform::FindData* first) {
  if (Locked(pattern)) {
    platform::SetLastError(platform::kErrorAccessDenied);
    return nullptr;
  }
  return target().FindFirst(pattern, first);
}

bool FaultyFiles::RenameFile(const std::u16string& from, const std::u16string& to) {
  if (fail_renames) {
    platform::SetLastError(platform::kErrorSharingViolation);
    return false;
  }
  return target().RenameFile(from, to);
}

bool FaultyFiles::CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) {
  const int number = ++copies;
  const int failing = failing_copies.load();
  if (failing < 0 || number <= failing) {
    platform::SetLastError(platform::kErrorSharingViolation);
    return false;
  }
  return target().CopyFileTo(from, to, fail_if_exists);
}

bool FaultyFiles::RemoveFile(const std::u16string& path) {
  if (no_removal_while_open) {
    std::lock_guard<std::mutex> lock(open_mutex_);
    if (open_.count(path) != 0) {
      ++refused_removes;
      platform::SetLastError(platform::kErrorSharingViolation);
      return false;
    }
  }
  return target().RemoveFile(path);
}

}  // namespace orvalinth::test
