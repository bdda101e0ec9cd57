#include "record/apps/shell_link_file.h"

#include <cstdint>
#include <cstring>

namespace orvalinth {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint8_t kLinkClassId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// {20D04FE0-3AEA-1069-A2D8-08002B30309D} as stored: the computer.
constexpr uint8_t kComputerClassId[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                          0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

enum : uint32_t {
  kHasTargetIdList = 0x01,
  kHasLinkInfo = 0x02,
  kForceNoLinkInfo = 0x100,
  kVolumeIdAndLocalBasePath = 0x01,
  kNetworkLinkAndPathSuffix = 0x02,
};

constexpr uint32_t kExtensionSignature = 0xBEEF0004;

// A range of the file's bytes; every read is checked against it.
class Span {
 public:
  Span(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  bool Has(size_t offset, size_t n) const { return offset <= size_ && n <= size_ - offset; }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8)); }
  uint32_t U32(size_t offset) const { return U16(offset) | (static_cast<uint32_t>(U16(offset + 2)) << 16); }
  const uint8_t* at(size_t offset) const { return data_ + offset; }
  Span Sub(size_t offset, size_t n) const { return Span(data_ + offset, n); }

  // The zero-terminated 8-bit text at `offset`, byte for unit.
  bool Narrow(size_t offset, std::u16string* text) const {
    text->clear();
    for (size_t i = offset; i < size_; ++i) {
      if (data_[i] == 0) return true;
      text->push_back(data_[i]);
    }
    return false;
  }
  // The zero-terminated UTF-16 text at `offset`.
  bool Wide(size_t offset, std::u16string* text) const {
    text->clear();
    for (size_t i = offset; Has(i, 2); i += 2) {
      const char16_t c = U16(i);
      if (c == 0) return true;
      text->push_back(c);
    }
    return false;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// The text at the Unicode offset when there is one, else at the 8-bit offset;
// empty when there is neither.
bool Text(const Span& span, uint32_t wide_offset, uint32_t narrow_offset, std::u16string* text) {
  if (wide_offset != 0) return span.Wide(wide_offset, text);
  if (narrow_offset != 0) return span.Narrow(narrow_offset, text);
  text->clear();
  return true;
}

enum class Found { kPath, kNoFile, kUnreadable };

// The link information's path.
Found FromLinkInfo(const Span& info, std::u16string* path) {
  if (!info.Has(0, 0x1C)) return Found::kUnreadable;
  const uint32_t header_size = info.U32(4);
  const uint32_t flags = info.U32(8);
  if (header_size < 0x1C || header_size > info.size()) return Found::kUnreadable;
  const bool unicode = header_size >= 0x24;
  std::u16string suffix;
  if (!Text(info, unicode ? info.U32(32) : 0, info.U32(24), &suffix)) return Found::kUnreadable;
  if (flags & kNetworkLinkAndPathSuffix) {
    const uint32_t at = info.U32(20);
    if (!info.Has(at, 0x14) || info.U32(at) < 0x14 || !info.Has(at, info.U32(at))) return Found::kUnreadable;
    const Span network = info.Sub(at, info.U32(at));
    const uint32_t name_offset = network.U32(8);
    const bool wide = name_offset > 0x14 && network.Has(0, 0x1C);
    std::u16string share;
    if (!Text(network, wide ? network.U32(0x14) : 0, name_offset, &share)) return Found::kUnreadable;
    if (!share.empty()) {
      *path = suffix.empty() || share.back() == u'\\' ? share + suffix : share + u'\\' + suffix;
      return Found::kPath;
    }
  }
  if (flags & kVolumeIdAndLocalBasePath) {
    std::u16string base;
    if (!Text(info, unicode ? info.U32(28) : 0, info.U32(16), &base)) return Found::kUnreadable;
    if (!base.empty()) {
      *path = base + suffix;
      return Found::kPath;
    }
  }
  return Found::kNoFile;
}

// The long name of a file entry item: from its extension block when it has
// one, else its primary name.
bool EntryName(const Span& item, uint8_t type, std::u16string* name) {
  const size_t extension = item.size() >= 16 ? item.U16(item.size() - 2) : 0;
  if (extension >= 14 && item.Has(extension, 18) && item.U32(extension + 4) == kExtensionSignature) {
    const uint16_t version = item.U16(extension + 2);
    const size_t block_size = item.U16(extension);
    size_t offset = 18;
    if (version >= 7) offset += 18;
    if (version >= 3) offset += 2;
    if (version >= 9) offset += 4;
    if (version >= 8) offset += 4;
    if (item.Has(extension, block_size) && offset < block_size &&
        item.Sub(extension, block_size).Wide(offset, name) && !name->empty()) {
      return true;
    }
  }
  if (!item.Has(14, 1)) return false;
  // Type bit 0x04: the primary name is in UTF-16.
  return ((type & 0x04) ? item.Wide(14, name) : item.Narrow(14, name)) && !name->empty();
}

// The file-system path an ID list names.
Found FromIdList(const Span& list, std::u16string* path) {
  path->clear();
  size_t at = 0;
  int index = 0;
  bool computer = false;
  for (;; ++index) {
    if (!list.Has(at, 2)) return Found::kUnreadable;
    const size_t size = list.U16(at);
    if (size == 0) break;
    if (size < 3 || !list.Has(at, size)) return Found::kUnreadable;
    const Span item = list.Sub(at, size);
    const uint8_t type = item.at(2)[0];
    at += size;
    if (index == 0 && type == 0x1F) {
      if (!item.Has(4, 16) || std::memcmp(item.at(4), kComputerClassId, 16) != 0) return Found::kUnreadable;
      computer = true;
      continue;
    }
    if (path->empty() && (type & 0x70) == 0x20) {
      std::u16string drive;
      if (!item.Narrow(3, &drive) || drive.size() < 2 || drive[1] != u':') return Found::kUnreadable;
      *path = drive;
      if (path->back() != u'\\') *path += u'\\';
      continue;
    }
    std::u16string name;
    if (path->empty() || (type & 0x70) != 0x30 || !EntryName(item, type, &name)) return Found::kUnreadable;
    if (path->back() != u'\\') *path += u'\\';
    *path += name;
  }
  if (!path->empty()) return Found::kPath;
  return index == 0 || (index == 1 && computer) ? Found::kNoFile : Found::kUnreadable;
}

}  // namespace

bool ReadShellLinkTarget(const void* data, size_t size, std::u16string* target) {
  target->clear();
  const Span file(static_cast<const uint8_t*>(data), data == nullptr ? 0 : size);
  if (!file.Has(0, kHeaderSize) || file.U32(0) != kHeaderSize || std::memcmp(file.at(4), kLinkClassId, 16) != 0) {
    return false;
  }
  const uint32_t flags = file.U32(20);
  size_t at = kHeaderSize;
  Found from_list = Found::kNoFile;
  std::u16string list_path;
  if (flags & kHasTargetIdList) {
    if (!file.Has(at, 2) || !file.Has(at + 2, file.U16(at))) return false;
    from_list = FromIdList(file.Sub(at + 2, file.U16(at)), &list_path);
    at += 2 + file.U16(at);
  }
  if (flags & kHasLinkInfo) {
    if (!file.Has(at, 4) || !file.Has(at, file.U32(at))) return false;
    if (!(flags & kForceNoLinkInfo)) {
      const Found from_info = FromLinkInfo(file.Sub(at, file.U32(at)), target);
      if (from_info == Found::kPath) return true;
      if (from_info == Found::kUnreadable) return false;
    }
  }
  if (from_list == Found::kPath) *target = list_path;
  return from_list != Found::kUnreadable;
}

}  // namespace orvalinth
