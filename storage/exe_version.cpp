#include "storage/exe_version.h"

#include "storage/mem_reader.h"
#include "storage/mem_writer.h"

namespace orvalinth {

std::u16string* SXExeVersion::strings(int k) {
  return const_cast<std::u16string*>(static_cast<const SXExeVersion*>(this)->strings(k));
}

const std::u16string* SXExeVersion::strings(int k) const {
  switch (k) {
    case 0:
      return &file_version;
    case 1:
      return &file_description;
    case 2:
      return &product_name;
    case 3:
      return &product_version;
    case 4:
      return &company_name;
    default:
      return &comments;
  }
}

bool SXExeVersion::operator==(const SXExeVersion& other) const {
  if (file_version_low != other.file_version_low || file_version_high != other.file_version_high) return false;
  for (int k = 0; k < kStringCount; ++k) {
    if (*strings(k) != *other.strings(k)) return false;
  }
  return true;
}

void SXDskSnapshotVersionExp::WriteRecord(CXMemWriter& writer) const {
  int32_t lengths[kStringCount];
  uint8_t long_flags = 0;
  uint8_t wide_flags = 0;
  for (int k = 0; k < kStringCount; ++k) {
    const std::u16string& s = *strings(k);
    lengths[k] = s.size() > 0xFFFF ? 0xFFFF : static_cast<int32_t>(s.size());
    if (lengths[k] >= 256) long_flags |= static_cast<uint8_t>(1u << k);
    if (!FitsNarrow(s.data(), lengths[k])) wide_flags |= static_cast<uint8_t>(1u << k);
  }
  writer.WriteU8(long_flags);
  writer.WriteU8(wide_flags);
  writer.WriteI32(file_version_high);
  writer.WriteI32(file_version_low);
  for (int k = 0; k < kStringCount; ++k) {
    if (long_flags & (1u << k)) {
      writer.WriteU16(static_cast<uint16_t>(lengths[k]));
    } else {
      writer.WriteU8(static_cast<uint8_t>(lengths[k]));
    }
    writer.WriteUnits(strings(k)->data(), lengths[k], (wide_flags & (1u << k)) != 0);
  }
}

void SXDskSnapshotVersionExp::Read(CXMemReader& reader) {
  const uint8_t long_flags = reader.ReadU8();
  const uint8_t wide_flags = reader.ReadU8();
  flags = long_flags;
  file_version_high = reader.ReadI32();
  file_version_low = reader.ReadI32();
  for (int k = 0; k < kStringCount; ++k) {
    const int32_t length = (long_flags & (1u << k)) ? reader.ReadU16() : reader.ReadU8();
    *strings(k) = reader.ReadUnits(length, (wide_flags & (1u << k)) != 0);
  }
}

}  // namespace orvalinth
