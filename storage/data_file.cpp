#include "storage/data_file.h"

#include <cstring>
#include <unordered_set>

#include "base/strings.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"

namespace orvalinth {

namespace {

constexpr uint8_t kWidthMask = 0x03;
constexpr uint8_t kLongName = 0x04;
constexpr uint8_t kWideName = 0x08;
constexpr uint8_t kHasVersion = 0x20;
constexpr uint8_t kHasAttributes = 0x40;
constexpr uint8_t kLast = 0x80;

// The extension set, built once from its comma list.
const std::unordered_set<std::u16string>& ExecutableExtensions() {
  static const std::unordered_set<std::u16string> set = [] {
    std::unordered_set<std::u16string> names;
    const std::u16string list = u"bat,cmd,com,cpl,dll,drv,exe,ini,msi,ocx,scr,sys,vxd";
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(u',', start);
      if (comma == std::u16string::npos) comma = list.size();
      names.insert(u"." + list.substr(start, comma - start));
      start = comma + 1;
    }
    return names;
  }();
  return set;
}

uint64_t ReadSize(CXMemReader& reader, int code) {
  switch (code) {
    case 0:
      return reader.ReadU8();
    case 1:
      return reader.ReadU16();
    case 2:
      return reader.ReadU32();
    default:
      return reader.ReadU64();
  }
}

// Skips the name of a record with `flags`, returning its length and where its
// bytes begin.
const uint8_t* SkipName(CXMemReader& reader, uint8_t flags, int32_t* length, int32_t* bytes) {
  *length = (flags & kLongName) ? reader.ReadU16() : reader.ReadU8();
  *bytes = (flags & kWideName) ? 2 * *length : *length;
  const uint8_t* at = reader.current();
  reader.Skip(*bytes);
  return at;
}

// Reads records until one passes `filter`; false when the run ended first.
bool NextAccepted(CXMemReader& reader, SXSnapshotDataFile& record, int32_t filter, bool* ended) {
  while (!*ended) {
    record.Read(reader);
    if (record.flags & kLast) *ended = true;
    if (record.Accept(filter)) return true;
  }
  return false;
}

}  // namespace

int FileSizeWidthCode(uint64_t size) {
  if (size >> 32) return 3;
  if (size > 0xFFFF) return 2;
  if (size & 0xFF00) return 1;
  return 0;
}

void WriteFileRecord(CXMemWriter& writer, int32_t version_index, uint16_t attributes, int64_t last_write,
                     uint64_t size, const char16_t* name, int32_t name_length, bool last) {
  if (name_length > 0xFFFF) name_length = 0xFFFF;
  if (name_length < 0) name_length = 0;
  const int code = FileSizeWidthCode(size);
  const bool wide = !FitsNarrow(name, name_length);
  uint8_t flags = static_cast<uint8_t>(code);
  if (name_length >= 256) flags |= kLongName;
  if (wide) flags |= kWideName;
  if (version_index != -1) flags |= kHasVersion;
  if (attributes != 0) flags |= kHasAttributes;
  if (last) flags |= kLast;
  writer.WriteU8(flags);
  if (attributes != 0) writer.WriteU16(attributes);
  if (version_index != -1) writer.WriteI32(version_index);
  writer.WriteI64(last_write);
  switch (code) {
    case 0:
      writer.WriteU8(static_cast<uint8_t>(size));
      break;
    case 1:
      writer.WriteU16(static_cast<uint16_t>(size));
      break;
    case 2:
      writer.WriteU32(static_cast<uint32_t>(size));
      break;
    default:
      writer.WriteU64(size);
      break;
  }
  if (name_length >= 256) {
    writer.WriteU16(static_cast<uint16_t>(name_length));
  } else {
    writer.WriteU8(static_cast<uint8_t>(name_length));
  }
  writer.WriteUnits(name, name_length, wide);
}

void StoredFileRecordName(const uint8_t* record, const uint8_t** units, int32_t* length, bool* wide) {
  static constexpr int kSizeWidths[] = {1, 2, 4, 8};
  const uint8_t flags = record[0];
  size_t at = 1 + ((flags & kHasAttributes) ? 2 : 0) + ((flags & kHasVersion) ? 4 : 0) + 8 +
              static_cast<size_t>(kSizeWidths[flags & kWidthMask]);
  if (flags & kLongName) {
    *length = record[at] | (record[at + 1] << 8);
    at += 2;
  } else {
    *length = record[at++];
  }
  *wide = (flags & kWideName) != 0;
  *units = record + at;
}

int CompareStoredNames(const uint8_t* a, int32_t a_length, bool a_wide, const uint8_t* b, int32_t b_length,
                       bool b_wide) {
  const int32_t n = a_length < b_length ? a_length : b_length;
  for (int32_t i = 0; i < n; ++i) {
    const char16_t x = FoldAZ(static_cast<char16_t>(a_wide ? a[2 * i] | (a[2 * i + 1] << 8) : a[i]));
    const char16_t y = FoldAZ(static_cast<char16_t>(b_wide ? b[2 * i] | (b[2 * i + 1] << 8) : b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

void MarkStoredFileRecordLast(uint8_t* record, bool last) {
  record[0] = static_cast<uint8_t>(last ? (record[0] | kLast) : (record[0] & ~kLast));
}

bool HasExecutableExtension(std::u16string_view name) {
  if (name.size() <= 4) return false;
  std::u16string tail(name.substr(name.size() - 4));
  for (char16_t& c : tail) c = FoldAZ(c);
  return ExecutableExtensions().count(tail) != 0;
}

void SXSnapshotDataFile::Read(CXMemReader& reader) {
  flags = reader.ReadU8();
  attributes = (flags & kHasAttributes) ? static_cast<int16_t>(reader.ReadU16()) : 0;
  version_index = (flags & kHasVersion) ? reader.ReadI32() : -1;
  last_write = reader.ReadI64();
  size = static_cast<int64_t>(ReadSize(reader, flags & kWidthMask));
  const int32_t length = (flags & kLongName) ? reader.ReadU16() : reader.ReadU8();
  name = reader.ReadUnits(length, (flags & kWideName) != 0);
}

int SXSnapshotDataFile::Write(SXScanContext& context) {
  if (context.writer == nullptr) return 0;
  WriteFileRecord(*context.writer, version_index, static_cast<uint16_t>(attributes), last_write,
                  static_cast<uint64_t>(size), name.data(), static_cast<int32_t>(name.size()), context.last);
  return 1;
}

int SXSnapshotDataFile::CompareRuns(CXMemReader& a, CXMemReader& b, SXScanContext& /*context*/) {
  for (;;) {
    const uint8_t fa = a.ReadU8();
    const uint8_t fb = b.ReadU8();
    if ((fa ^ fb) & ~kHasVersion) return 1;
    if (fa & kHasAttributes) {
      a.ReadU16();
      b.ReadU16();
    }
    if (fa & kHasVersion) a.ReadI32();
    if (fb & kHasVersion) b.ReadI32();
    if (a.ReadI64() != b.ReadI64()) return 1;
    if (ReadSize(a, fa & kWidthMask) != ReadSize(b, fb & kWidthMask)) return 1;
    int32_t la = 0, lb = 0, ba = 0, bb = 0;
    const uint8_t* na = SkipName(a, fa, &la, &ba);
    const uint8_t* nb = SkipName(b, fb, &lb, &bb);
    if (la != lb || std::memcmp(na, nb, static_cast<size_t>(ba)) != 0) return 1;
    if (fa & kLast) return 0;
  }
}

int SXSnapshotDataFile::Compare(CXMemReader* a, CXMemReader* b, SXScanContext& context) {
  if (a == nullptr || b == nullptr) return 1;
  if (context.filter == kFilterAll) return CompareRuns(*a, *b, context);
  SXSnapshotDataFile left, right;
  bool left_ended = false, right_ended = false;
  for (;;) {
    const bool got_left = NextAccepted(*a, left, context.filter, &left_ended);
    const bool got_right = NextAccepted(*b, right, context.filter, &right_ended);
    if (!got_left && !got_right) return 0;
    if (got_left != got_right) return 1;
    if (left.last_write != right.last_write || left.size != right.size || left.name != right.name) return 1;
  }
}

int SXSnapshotDataFile::Order(const SXSnapshotDataScan& other) const {
  return CompareNames(name, static_cast<const SXSnapshotDataFile&>(other).name);
}

int SXSnapshotDataFile::Differs(const SXSnapshotDataScan& other) const {
  const auto& o = static_cast<const SXSnapshotDataFile&>(other);
  return last_write != o.last_write || size != o.size ? 1 : 0;
}

int SXSnapshotDataFile::Accept(int32_t filter) const {
  switch (filter) {
    case kFilterExecutables:
    case kFilterExecutablesAlso:
      return HasExecutableExtension(name) ? 1 : 0;
    case kFilterNonExecutables:
      return name.size() >= 5 && !HasExecutableExtension(name) ? 1 : 0;
    default:
      return 1;
  }
}

}  // namespace orvalinth
