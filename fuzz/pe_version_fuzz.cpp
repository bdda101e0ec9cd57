// A PE file comes from the disk as bytes: whatever they hold, the parser must
// stay inside them, read nothing the file does not hold, and give a block that
// lies inside the file; the walk of that block and its reading by hand must
// stay inside the block.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/version_resources.h"
#include "record/version_info.h"

namespace {

class Bytes final : public orvalinth::platform::ByteSource {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override {
    if (n > size_) abort();  // a read larger than the whole file
    if (offset > size_ || n > size_ - offset) return false;
    std::memcpy(buffer, data_ + offset, n);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes source(data, size);
  uint64_t offset = 0;
  uint32_t length = 0;
  const uint8_t* block = data;
  size_t block_size = size;
  if (orvalinth::platform::FindPeVersionResource(source, &offset, &length)) {
    if (offset > size || length > size - offset || length > orvalinth::platform::kMaxVersionBlock) abort();
    block = data + offset;
    block_size = length;
  }
  // Walk whatever block there is: the resource, or the input taken as one.
  for (const char16_t* query : {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\ProductName"}) {
    orvalinth::platform::VersionValue value;
    if (orvalinth::platform::QueryVersionValue(block, block_size, query, &value)) {
      const size_t bytes = value.text ? 2 * static_cast<size_t>(value.length) : value.length;
      if (value.data < block || value.data + bytes > block + block_size) abort();
    }
  }
  if (orvalinth::HandParseTranslationKey(block, block_size).size() > 8) abort();
  return 0;
}
