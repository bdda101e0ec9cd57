#pragma once
// Where the snapshot reader takes its bytes from: a file of the platform's file
// system, or bytes already in memory (tests and the fuzzer).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace orvalinth {

class CXSnapshotSource {
 public:
  virtual ~CXSnapshotSource() = default;
  // The number of bytes.
  virtual uint64_t Size() const = 0;
  // Reads exactly n bytes at `offset`; false when they cannot all be read (the
  // system's error code is then the thread's last error).
  virtual bool ReadAt(uint64_t offset, void* buffer, uint32_t n) = 0;
};

// Bytes owned by the caller, who keeps them alive as long as the source.
class CXSnapshotMemorySource final : public CXSnapshotSource {
 public:
  CXSnapshotMemorySource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// A file opened for reading through platform::Files.
class CXSnapshotFileSource final : public CXSnapshotSource {
 public:
  // Opens `path`; false with the system's error code in *error when it cannot
  // be opened or its size cannot be had.
  bool Open(const std::u16string& path, uint32_t* error);
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override;

 private:
  std::unique_ptr<platform::File> file_;
  uint64_t size_ = 0;
};

}  // namespace orvalinth
