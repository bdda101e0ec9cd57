#pragma once
// Version resources: the raw version block (VS_VERSIONINFO) of an executable
// file, and the walk of that block that finds one value by its sub-block path.
//
// A version block is a tree of records, each aligned to 4 bytes from the
// block's start: total length (16 bits), value length (16 bits: units for a
// text value, bytes for a binary one), type (16 bits: 1 text, 0 binary), a
// zero-terminated UTF-16 key, padding, the value, padding, the children.
//
// The win32 backend asks the system (GetFileVersionInfoSizeW and
// GetFileVersionInfoW). The POSIX backend is PeVersionResources: it reads the
// resource section of the PE file itself and gives the same block bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

class VersionResources : public Facility<VersionResources> {
 public:
  virtual ~VersionResources() = default;
  // The size of buffer the file's version block needs; 0 with the error code
  // when the file has no version block (1812), is no executable (193) or
  // cannot be read.
  virtual uint32_t BlockSize(const std::u16string& path) = 0;
  // Reads the version block into `buffer` (`size` bytes; a block longer than
  // that is cut); false with the error code when it cannot be read.
  virtual bool ReadBlock(const std::u16string& path, void* buffer, uint32_t size) = 0;
};

template <>
VersionResources& Facility<VersionResources>::Real();

// The longest version block: its length is a 16-bit field.
constexpr uint32_t kMaxVersionBlock = 0xFFFF;

// One value found in a version block: where it starts, its length as the
// record states it (units for text, bytes for binary, the way VerQueryValueW
// reports it), cut to what lies inside the record, and its type.
struct VersionValue {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  bool text = false;
};

// One record of a version block, as ReadVersionRecord finds it: byte offsets
// from the block's start.
struct VersionRecord {
  size_t start = 0;
  size_t end = 0;             // start + stated total length, cut to the parent's end
  size_t next = 0;            // where the next sibling starts
  size_t key = 0;             // the key's first unit
  size_t key_units = 0;       // the key's length without its terminating zero
  uint16_t type = 0;          // 1 text, 0 binary
  uint16_t stated_length = 0; // the value length the record states
  size_t value = 0;           // the value's first byte
  uint32_t length = 0;        // the stated value length, cut to what lies inside the record
  size_t children = 0;        // the first child
};

// The record at byte `start` of `block`, which must end by `limit` (the
// parent's end, or the block's size). False when its header or its key's
// terminating zero do not fit, or its stated total length cannot hold a
// header (a zero length ends a list of children).
bool ReadVersionRecord(const uint8_t* block, size_t start, size_t limit, VersionRecord* record);
// The record's key.
std::u16string VersionRecordKey(const uint8_t* block, const VersionRecord& record);

// Finds `sub_block` in the version block of `size` bytes: "\" is the root's
// value (the fixed information), "\VarFileInfo\Translation" and
// "\StringFileInfo\040904b0\ProductName" name children by their keys (A-Z
// compared without regard to case; empty components are skipped). The walk
// never leaves the block nor a record's stated length. False when there is no
// such record.
bool QueryVersionValue(const void* block, size_t size, const std::u16string& sub_block, VersionValue* value);

// Random access to the bytes of a file being parsed.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() = 0;
  // Reads n bytes at `offset`; false unless all of them could be read.
  virtual bool ReadAt(uint64_t offset, void* buffer, uint32_t n) = 0;
};

// Where the version resource of a PE file (PE32 or PE32+) lies: the resource
// directory's entry of type 16 (RT_VERSION), its name 1 (or the first name
// when there is no 1), its first language; the data address mapped through
// the section table onto the file. Every offset is checked against the file,
// and nothing is read that the file does not hold. False with 193 when the
// bytes are no PE file, 1812 when it has no version resource (or one that
// lies outside the file).
bool FindPeVersionResource(ByteSource& source, uint64_t* offset, uint32_t* size);

// Version blocks read from PE files through the file-system facility: the
// POSIX backend, and on win32 the same reading for tests to compare with the
// system's. The block is the resource's bytes, at most kMaxVersionBlock.
class PeVersionResources final : public VersionResources {
 public:
  uint32_t BlockSize(const std::u16string& path) override;
  bool ReadBlock(const std::u16string& path, void* buffer, uint32_t size) override;
};

}  // namespace orvalinth::platform
