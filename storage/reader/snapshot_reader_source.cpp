#include "storage/reader/snapshot_reader_source.h"

#include <cstring>

#include "platform/errors.h"

namespace orvalinth {

bool CXSnapshotMemorySource::ReadAt(uint64_t offset, void* buffer, uint32_t n) {
  if (offset > size_ || n > size_ - offset) {
    platform::SetLastError(platform::kErrorHandleEof);
    return false;
  }
  if (n != 0) std::memcpy(buffer, data_ + offset, n);
  return true;
}

bool CXSnapshotFileSource::Open(const std::u16string& path, uint32_t* error) {
  file_ = platform::FileSystem::Get().Open(path, platform::kOpenRead);
  if (file_ == nullptr || !file_->Size(&size_)) {
    *error = platform::LastError();
    file_.reset();
    size_ = 0;
    return false;
  }
  return true;
}

bool CXSnapshotFileSource::ReadAt(uint64_t offset, void* buffer, uint32_t n) {
  if (file_ == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  if (offset > size_ || n > size_ - offset) {
    platform::SetLastError(platform::kErrorHandleEof);
    return false;
  }
  if (n == 0) return true;
  if (!file_->Seek(static_cast<int64_t>(offset))) return false;
  // A read may return fewer bytes than asked for; go on until all are there.
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < n) {
    uint32_t got = 0;
    if (!file_->Read(out + done, n - done, &got)) return false;
    if (got == 0) {
      platform::SetLastError(platform::kErrorHandleEof);  // the file shrank under us
      return false;
    }
    done += got;
  }
  return true;
}

}  // namespace orvalinth
