#include "storage/reg_values.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/strings.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"

namespace orvalinth {

namespace {

constexpr uint8_t kWidthMask = 0x03;
constexpr uint8_t kLongName = 0x04;
constexpr uint8_t kWideName = 0x08;
constexpr uint8_t kLongType = 0x10;
constexpr uint8_t kWideData = 0x20;
constexpr uint8_t kLast = 0x80;

bool IsTextType(uint32_t type) { return type == 1 || type == 2 || type == 6 || type == 7; }

char16_t UnitAt(const uint8_t* data, int32_t i) { return static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8)); }

int DataWidthCode(int32_t size) {
  if (static_cast<uint32_t>(size) > 0xFFFF) return 2;
  if (size & 0xFF00) return 1;
  return 0;
}

}  // namespace

void WriteRegValueRecord(CXMemWriter& writer, uint32_t type, const char16_t* name, int32_t name_length,
                         const uint8_t* data, int32_t data_size, bool last) {
  if (name_length > 0xFFFF) name_length = 0xFFFF;
  if (name_length < 0) name_length = 0;
  if (data_size < 0) data_size = 0;
  const bool text = IsTextType(type);
  bool wide_data = false;
  int32_t stored_size = data_size;
  if (text) {
    int32_t units = (data_size & ~1) / 2;
    wide_data = false;
    for (int32_t i = 0; i < units && !wide_data; ++i) wide_data = UnitAt(data, i) > 0xFF;
    if (units > 1 && UnitAt(data, units - 1) == 0) --units;
    if (type == 7 && units != 0 && UnitAt(data, units - 1) == 0) --units;
    stored_size = units;
  }
  const int code = DataWidthCode(stored_size);
  const bool wide_name = !FitsNarrow(name, name_length);
  uint8_t flags = static_cast<uint8_t>(code);
  if (name_length >= 256) flags |= kLongName;
  if (wide_name) flags |= kWideName;
  if (type > 255) flags |= kLongType;
  if (wide_data) flags |= kWideData;
  if (last) flags |= kLast;
  writer.WriteU8(flags);
  if (name_length >= 256) {
    writer.WriteU16(static_cast<uint16_t>(name_length));
  } else {
    writer.WriteU8(static_cast<uint8_t>(name_length));
  }
  switch (code) {
    case 0:
      writer.WriteU8(static_cast<uint8_t>(stored_size));
      break;
    case 1:
      writer.WriteU16(static_cast<uint16_t>(stored_size));
      break;
    default:
      writer.WriteI32(stored_size);
      break;
  }
  if (type > 255) {
    writer.WriteU32(type);
  } else {
    writer.WriteU8(static_cast<uint8_t>(type));
  }
  writer.WriteUnits(name, name_length, wide_name);
  if (!text) {
    writer.WriteBytes(data, data_size);
  } else if (wide_data) {
    writer.WriteBytes(data, 2 * stored_size);  // the units as read: UTF-16LE already
  } else {
    for (int32_t i = 0; i < stored_size; ++i) writer.WriteU8(data[2 * i]);
  }
}

void ReadRegValueRecord(CXMemReader& reader, uint8_t* flags, uint32_t* type, std::u16string* name,
                        std::string* data) {
  *flags = reader.ReadU8();
  const int32_t name_length = (*flags & kLongName) ? reader.ReadU16() : reader.ReadU8();
  int32_t size = 0;
  switch (*flags & kWidthMask) {
    case 0:
      size = reader.ReadU8();
      break;
    case 1:
      size = reader.ReadU16();
      break;
    default:
      size = reader.ReadI32();
      break;
  }
  *type = (*flags & kLongType) ? reader.ReadU32() : reader.ReadU8();
  *name = reader.ReadUnits(name_length, (*flags & kWideName) != 0);
  const int32_t bytes = IsTextType(*type) && (*flags & kWideData) ? 2 * size : size;
  data->assign(reinterpret_cast<const char*>(reader.current()), static_cast<size_t>(bytes));
  reader.Skip(bytes);
}

CXRegValueList::CXRegValueList() { values_.reserve(1024); }

void CXRegValueList::Add(uint32_t type, const char16_t* name, int32_t name_length, const uint8_t* data,
                         int32_t data_size) {
  if (name_length < 0) name_length = 0;
  if (name_length > 0xFFFF) name_length = 0xFFFF;
  if (data_size < 0) data_size = 0;
  const size_t bytes = sizeof(SXRegValueRecord) + 2 * static_cast<size_t>(name_length) + static_cast<size_t>(data_size);
  auto* value = static_cast<SXRegValueRecord*>(pool_.Allocate(bytes));
  value->type = static_cast<int32_t>(type);
  value->name_length = static_cast<uint16_t>(name_length);
  value->data_size = data_size;
  if (name_length > 0) std::memcpy(value->name(), name, 2 * static_cast<size_t>(name_length));
  if (data_size > 0) std::memcpy(value->data(), data, static_cast<size_t>(data_size));
  values_.push_back(value);
}

int32_t CXRegValueList::Flush(CXMemWriter& writer, bool sort) {
  if (values_.empty()) return 0;
  if (sort) {
    std::sort(values_.begin(), values_.end(), [](const SXRegValueRecord* a, const SXRegValueRecord* b) {
      return CompareNames(std::u16string_view(a->name(), a->name_length),
                          std::u16string_view(b->name(), b->name_length)) < 0;
    });
  }
  const int32_t position = writer.position();
  const size_t last = values_.size() - 1;
  for (size_t i = 0; i < values_.size(); ++i) {
    const SXRegValueRecord* v = values_[i];
    WriteRegValueRecord(writer, static_cast<uint32_t>(v->type), v->name(), v->name_length, v->data(), v->data_size,
                        i == last);
  }
  values_.clear();
  pool_.Reset();
  return position;
}

}  // namespace orvalinth
