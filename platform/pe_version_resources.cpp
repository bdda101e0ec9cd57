// The version resource of a PE file, found by reading the file's headers and
// resource directory the way the loader would. The file may be anything: every
// count and offset it states is checked against the file before it is used,
// and nothing is allocated beyond what the file itself holds.

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/version_resources.h"

namespace orvalinth::platform {
namespace {

constexpr uint32_t kTypeVersion = 16;  // RT_VERSION
constexpr uint32_t kNameVersion = 1;   // VS_VERSION_INFO
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kDirectoryResources = 2;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return U16(p) | (static_cast<uint32_t>(U16(p + 2)) << 16); }

struct Section {
  uint32_t address;  // relative virtual address
  uint32_t raw_size;
  uint32_t raw_offset;
};

struct DirectoryEntry {
  uint32_t name;  // an id, or a string offset with the high bit
  uint32_t data;  // a directory offset with the high bit, else a data entry offset
};

class PeImage {
 public:
  explicit PeImage(ByteSource& source) : source_(source), file_size_(source.Size()) {}

  // Reads the headers and the section table; false with 193 for no PE file.
  bool Load() {
    uint8_t dos[64];
    if (file_size_ < sizeof dos || !source_.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
      return BadFormat();
    }
    const uint64_t pe = U32(dos + 0x3C);
    uint8_t coff[24];
    if (!Fits(pe, sizeof coff) || !source_.ReadAt(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) {
      return BadFormat();
    }
    const uint32_t section_count = U16(coff + 6);
    const uint32_t optional_size = U16(coff + 20);
    const uint64_t optional = pe + sizeof coff;
    // The data directories follow 96 bytes of PE32 fields or 112 of PE32+.
    uint8_t head[136];
    if (optional_size < 2 || !Fits(optional, 2) || !source_.ReadAt(optional, head, 2)) return BadFormat();
    const uint16_t magic = U16(head);
    if (magic != 0x10B && magic != 0x20B) return BadFormat();
    const uint32_t directories = magic == 0x10B ? 96 : 112;
    const uint32_t needed = directories + 8 * (kDirectoryResources + 1);
    if (optional_size < needed || !Fits(optional, needed) || !source_.ReadAt(optional, head, needed)) {
      return BadFormat();
    }
    if (U32(head + directories - 4) <= kDirectoryResources) return NoResource();
    resource_address_ = U32(head + directories + 8 * kDirectoryResources);

    const uint64_t table = optional + optional_size;
    if (!Fits(table, 40ull * section_count)) return BadFormat();
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[40ull * section_count + 1]);
    if (!source_.ReadAt(table, bytes.get(), 40 * section_count)) return false;
    sections_.reset(new Section[section_count + 1]);
    section_count_ = section_count;
    for (uint32_t i = 0; i < section_count; ++i) {
      const uint8_t* s = bytes.get() + 40 * i;
      sections_[i] = Section{U32(s + 12), U32(s + 16), U32(s + 20)};
    }
    return resource_address_ != 0 || NoResource();
  }

  // Reads n bytes at `offset` into the resource section; false with 1812 when
  // they do not lie in a section's data inside the file.
  bool ReadResource(uint32_t offset, void* buffer, uint32_t n) {
    uint64_t at = 0;
    return Map(static_cast<uint64_t>(resource_address_) + offset, n, &at) && source_.ReadAt(at, buffer, n);
  }

  // The file offset of the n bytes at relative virtual address `address`.
  bool Map(uint64_t address, uint32_t n, uint64_t* offset) {
    for (uint32_t i = 0; i < section_count_; ++i) {
      const Section& s = sections_[i];
      if (address >= s.address && address + n <= static_cast<uint64_t>(s.address) + s.raw_size) {
        *offset = static_cast<uint64_t>(s.raw_offset) + (address - s.address);
        if (Fits(*offset, n)) return true;
      }
    }
    return NoResource();
  }

  // The entries of the directory at `offset`; false when it lies outside the file.
  bool ReadDirectory(uint32_t offset, std::unique_ptr<DirectoryEntry[]>* entries, uint32_t* count) {
    uint8_t header[16];
    if (!ReadResource(offset, header, sizeof header)) return false;
    *count = static_cast<uint32_t>(U16(header + 12)) + U16(header + 14);
    if (*count == 0) return NoResource();
    uint64_t at = 0;
    if (!Map(static_cast<uint64_t>(resource_address_) + offset + sizeof header, 8 * *count, &at)) return false;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[8 * *count]);
    if (!source_.ReadAt(at, bytes.get(), 8 * *count)) return false;
    entries->reset(new DirectoryEntry[*count]);
    for (uint32_t i = 0; i < *count; ++i) (*entries)[i] = DirectoryEntry{U32(&bytes[8 * i]), U32(&bytes[8 * i + 4])};
    return true;
  }

  bool Fits(uint64_t offset, uint64_t n) const { return offset <= file_size_ && n <= file_size_ - offset; }

  static bool BadFormat() {
    SetLastError(kErrorBadExeFormat);
    return false;
  }
  static bool NoResource() {
    SetLastError(kErrorResourceDataNotFound);
    return false;
  }

 private:
  ByteSource& source_;
  const uint64_t file_size_;
  uint32_t resource_address_ = 0;
  std::unique_ptr<Section[]> sections_;
  uint32_t section_count_ = 0;
};

// The entry of a directory level that leads on: with the id `wanted` when
// there is one (0: none wanted), else the first; `subdirectory` says which
// kind the level must give.
bool PickEntry(PeImage& image, uint32_t offset, uint32_t wanted, bool first_otherwise, bool subdirectory,
               uint32_t* next) {
  std::unique_ptr<DirectoryEntry[]> entries;
  uint32_t count = 0;
  if (!image.ReadDirectory(offset, &entries, &count)) return false;
  const DirectoryEntry* pick = nullptr;
  for (uint32_t i = 0; i < count && pick == nullptr && wanted != 0; ++i) {
    if (entries[i].name == wanted) pick = &entries[i];
  }
  if (pick == nullptr && first_otherwise) pick = &entries[0];
  if (pick == nullptr || ((pick->data & kHighBit) != 0) != subdirectory) return PeImage::NoResource();
  *next = pick->data & ~kHighBit;
  return true;
}

class FileSource final : public ByteSource {
 public:
  explicit FileSource(File& file) : file_(file) {
    if (!file_.Size(&size_)) size_ = 0;
  }
  uint64_t Size() override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override {
    if (!file_.Seek(static_cast<int64_t>(offset))) return false;
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
      uint32_t got = 0;
      if (!file_.Read(p, n, &got)) return false;
      if (got == 0) {
        SetLastError(kErrorHandleEof);
        return false;
      }
      p += got;
      n -= got;
    }
    return true;
  }

 private:
  File& file_;
  uint64_t size_ = 0;
};

}  // namespace

bool FindPeVersionResource(ByteSource& source, uint64_t* offset, uint32_t* size) {
  PeImage image(source);
  if (!image.Load()) return false;
  uint32_t names = 0;
  uint32_t languages = 0;
  uint32_t data = 0;
  if (!PickEntry(image, 0, kTypeVersion, false, true, &names) ||
      !PickEntry(image, names, kNameVersion, true, true, &languages) ||
      !PickEntry(image, languages, 0, true, false, &data)) {
    return false;
  }
  uint8_t entry[16];
  if (!image.ReadResource(data, entry, sizeof entry)) return false;
  // Only the first 64 KiB can belong to the block: its length is 16 bits.
  const uint32_t length = std::min<uint32_t>(U32(entry + 4), kMaxVersionBlock);
  if (length == 0 || !image.Map(U32(entry), length, offset)) return PeImage::NoResource();
  *size = length;
  return true;
}

uint32_t PeVersionResources::BlockSize(const std::u16string& path) {
  const std::unique_ptr<File> file = FileSystem::Get().Open(path, kOpenRead);
  if (!file) return 0;
  FileSource source(*file);
  uint64_t offset = 0;
  uint32_t size = 0;
  return FindPeVersionResource(source, &offset, &size) ? size : 0;
}

bool PeVersionResources::ReadBlock(const std::u16string& path, void* buffer, uint32_t size) {
  const std::unique_ptr<File> file = FileSystem::Get().Open(path, kOpenRead);
  if (!file) return false;
  FileSource source(*file);
  uint64_t offset = 0;
  uint32_t length = 0;
  if (!FindPeVersionResource(source, &offset, &length)) return false;
  const uint32_t n = std::min(length, size);
  if (!source.ReadAt(offset, buffer, n)) return false;
  std::memset(static_cast<uint8_t*>(buffer) + n, 0, size - n);
  return true;
}

}  // namespace orvalinth::platform
