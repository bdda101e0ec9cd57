#include "storage/data_dir.h"

#include <string_view>

#include "base/strings.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"

namespace orvalinth {

namespace {
constexpr uint8_t kHasChildren = 0x01;
constexpr uint8_t kHasContent = 0x02;
constexpr uint8_t kLongName = 0x04;
constexpr uint8_t kWideName = 0x08;
constexpr uint8_t kHasError = 0x10;
constexpr uint8_t kHasAttributes = 0x20;
constexpr uint8_t kIsLink = 0x40;
constexpr uint8_t kLast = 0x80;

size_t Utf8Length(char16_t unit) { return unit < 0x80 ? 1 : (unit < 0x800 ? 2 : 3); }
}  // namespace

void WriteNodeRecord(CXMemWriter& writer, int32_t error, uint16_t attributes, int32_t child_offset,
                     int32_t content_offset, const char16_t* name, int32_t name_length, int32_t link_type,
                     const char16_t* link_target, int32_t link_target_length, bool last) {
  if (name_length > 0xFFFF) name_length = 0xFFFF;
  if (name_length < 0) name_length = 0;
  const bool link = link_type != kLinkNone;
  if (link) {
    // Links are never followed: they have neither children nor content.
    child_offset = 0;
    content_offset = 0;
  }
  const bool wide = !FitsNarrow(name, name_length);
  uint8_t flags = 0;
  if (child_offset != 0) flags |= kHasChildren;
  if (content_offset != 0) flags |= kHasContent;
  if (name_length >= 256) flags |= kLongName;
  if (wide) flags |= kWideName;
  if (error != 0) flags |= kHasError;
  if (attributes != 0) flags |= kHasAttributes;
  if (link) flags |= kIsLink;
  if (last) flags |= kLast;
  writer.WriteU8(flags);
  if (attributes != 0) writer.WriteU16(attributes);
  if (child_offset != 0) writer.WriteI32(child_offset);
  if (content_offset != 0) writer.WriteI32(content_offset);
  if (error != 0) writer.WriteI32(error);
  if (name_length >= 256) {
    writer.WriteU16(static_cast<uint16_t>(name_length));
  } else {
    writer.WriteU8(static_cast<uint8_t>(name_length));
  }
  writer.WriteUnits(name, name_length, wide);
  if (link) {
    // The UTF-8 length field has 16 bits: a longer target is cut between units
    // so that what is stored still decodes.
    int32_t units = 0;
    size_t bytes = 0;
    while (units < link_target_length && bytes + Utf8Length(link_target[units]) <= 0xFFFF) {
      bytes += Utf8Length(link_target[units]);
      ++units;
    }
    const std::string utf8 = EncodeUtf8(std::u16string_view(link_target, static_cast<size_t>(units)));
    writer.WriteU8(static_cast<uint8_t>(link_type));
    writer.WriteU16(static_cast<uint16_t>(utf8.size()));
    writer.WriteBytes(utf8.data(), static_cast<int32_t>(utf8.size()));
  }
}

void SXSnapshotDataDir::Read(CXMemReader& reader) {
  flags = reader.ReadU8();
  attributes = (flags & kHasAttributes) ? reader.ReadU16() : 0;
  child_offset = (flags & kHasChildren) ? reader.ReadI32() : 0;
  content_offset = (flags & kHasContent) ? reader.ReadI32() : 0;
  error = (flags & kHasError) ? reader.ReadI32() : 0;
  const int32_t length = (flags & kLongName) ? reader.ReadU16() : reader.ReadU8();
  name = reader.ReadUnits(length, (flags & kWideName) != 0);
  if (name.size() == 3 && name[2] == u'\\') name.resize(2);
  link_target.clear();
  link_type = 0;
  if (flags & kIsLink) {
    link_type = reader.ReadU8();
    const int32_t bytes = reader.ReadU16();
    link_target = DecodeUtf8(reinterpret_cast<const char*>(reader.current()), static_cast<size_t>(bytes));
    reader.Skip(bytes);
  }
}

}  // namespace orvalinth
