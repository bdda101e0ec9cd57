#pragma once
// SXRegValueRecord and CXRegValueList: the values of one registry key and the
// list that writes them as a value run. The format of one value:
//   flags (uint8): bits 0x01-0x02 the data width code (0: one byte, 1: two,
//     2: four), 0x04 name length of two bytes, 0x08 name wide, 0x10 type of
//     four bytes (above 255), 0x20 string data wide, 0x80 last value of the run;
//   name length (uint16 with 0x04, else uint8); data size (uint8, uint16 or
//   int32 by the width code); type (int32 with 0x10, else uint8); the name
//   (when not empty; wide with 0x08, else narrow); the data.
// The data of REG_SZ, REG_EXPAND_SZ, REG_LINK and REG_MULTI_SZ is text: an odd
// byte is dropped, then one terminating zero unit (two for REG_MULTI_SZ) when
// more than one unit is left; its size counts units and its units are
// written narrow or wide (0x20). Other types are written as their raw bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "storage/record_pool.h"

namespace orvalinth {

class CXMemReader;
class CXMemWriter;

struct SXRegValueRecord {
  int32_t type;          // the registry value type
  uint16_t name_length;  // units
  int32_t data_size;     // bytes as read

  // The name's units follow the record, then the data bytes.
  char16_t* name() { return reinterpret_cast<char16_t*>(this + 1); }
  const char16_t* name() const { return reinterpret_cast<const char16_t*>(this + 1); }
  uint8_t* data() { return reinterpret_cast<uint8_t*>(name() + name_length); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(name() + name_length); }
};

// Writes one value; `last` adds the end mark.
void WriteRegValueRecord(CXMemWriter& writer, uint32_t type, const char16_t* name, int32_t name_length,
                         const uint8_t* data, int32_t data_size, bool last);

// Reads one value as stored: its flags, type, name and data (text data as
// its units, two bytes each when the flags say wide, else one).
void ReadRegValueRecord(CXMemReader& reader, uint8_t* flags, uint32_t* type, std::u16string* name,
                        std::string* data);

class CXRegValueList {
 public:
  CXRegValueList();
  CXRegValueList(const CXRegValueList&) = delete;
  CXRegValueList& operator=(const CXRegValueList&) = delete;

  // Appends a copy of the value (name cut to 65,535 units).
  void Add(uint32_t type, const char16_t* name, int32_t name_length, const uint8_t* data, int32_t data_size);
  void Add(uint32_t type, const std::u16string& name, const std::string& data) {
    Add(type, name.data(), static_cast<int32_t>(name.size()), reinterpret_cast<const uint8_t*>(data.data()),
        static_cast<int32_t>(data.size()));
  }
  // Writes the run at the writer's position (sorted by the name order when
  // `sort`), the last value with the end mark, empties the list and returns
  // the position; an empty list writes nothing and returns 0.
  int32_t Flush(CXMemWriter& writer, bool sort);

  int32_t size() const { return static_cast<int32_t>(values_.size()); }

 private:
  std::vector<SXRegValueRecord*> values_;
  CXRecordPool pool_;
};

}  // namespace orvalinth
