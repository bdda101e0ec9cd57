// The reparse data layouts, shared by both backends and the tests.

#include "platform/reparse_points.h"

#include <algorithm>

namespace orvalinth::platform {
namespace {

constexpr uint32_t kTagMountPoint = 0xA0000003;
constexpr uint32_t kTagSymlink = 0xA000000C;
constexpr uint32_t kSymlinkFlagRelative = 1;

uint32_t Read16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t Read32(const unsigned char* p) { return Read16(p) | (Read16(p + 2) << 16); }

// The name at `offset` bytes into the path buffer, `length` bytes long; false
// when it does not lie inside the data.
bool Name(const unsigned char* buffer, size_t buffer_size, uint32_t offset, uint32_t length, std::u16string* name) {
  if (offset % 2 != 0 || length % 2 != 0 || offset > buffer_size || length > buffer_size - offset) return false;
  name->clear();
  for (uint32_t i = 0; i < length; i += 2) name->push_back(static_cast<char16_t>(Read16(buffer + offset + i)));
  return true;
}

}  // namespace

bool ParseReparseData(const void* data, size_t size, FolderLink* link) {
  *link = FolderLink();
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (size < 8) return false;
  const uint32_t tag = Read32(bytes);
  // The data length counts the bytes after the 8-byte header; trust only what was returned.
  const size_t data_end = std::min<size_t>(size, 8 + static_cast<size_t>(Read16(bytes + 4)));
  size_t fields = 0;
  if (tag == kTagMountPoint) {
    fields = 8;
  } else if (tag == kTagSymlink) {
    fields = 12;
  } else {
    return false;
  }
  if (data_end < 8 + fields) return false;
  const unsigned char* header = bytes + 8;
  const unsigned char* buffer = header + fields;
  const size_t buffer_size = data_end - 8 - fields;
  std::u16string substitute;
  std::u16string print;
  if (!Name(buffer, buffer_size, Read16(header), Read16(header + 2), &substitute) ||
      !Name(buffer, buffer_size, Read16(header + 4), Read16(header + 6), &print)) {
    return false;
  }
  link->kind = tag == kTagMountPoint ? kLinkMountPoint : kLinkSymbolic;
  link->target = substitute.empty() ? print : substitute;
  link->relative = tag == kTagSymlink && (Read32(header + 8) & kSymlinkFlagRelative) != 0;
  // Some writers count a terminating zero in the length.
  while (!link->target.empty() && link->target.back() == u'\0') link->target.pop_back();
  return true;
}

}  // namespace orvalinth::platform
