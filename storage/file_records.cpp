#include "storage/file_records.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "storage/data_file.h"
#include "storage/mem_writer.h"

namespace orvalinth {

static_assert(sizeof(SXFileRecord) % alignof(char16_t) == 0, "names follow the record");

CXSnapshotDataFileRecArray::CXSnapshotDataFileRecArray() { records_.reserve(1024); }

SXFileRecord* CXSnapshotDataFileRecArray::Append(const char16_t* name, int32_t length) {
  if (length < 0) length = 0;
  if (length > 0xFFFF) length = 0xFFFF;
  auto* record = static_cast<SXFileRecord*>(pool_.Allocate(sizeof(SXFileRecord) + 2 * static_cast<size_t>(length)));
  record->version_index = -1;
  record->attributes = 0;
  record->name_length = static_cast<uint16_t>(length);
  record->last_write = 0;
  record->size = 0;
  record->missing = 0;
  if (length > 0) std::memcpy(record->name(), name, 2 * static_cast<size_t>(length));
  records_.push_back(record);
  return record;
}

void CXSnapshotDataFileRecArray::Add(const SXSnapshotDataFile& file) {
  SXFileRecord* record = Append(file.name);
  record->version_index = file.version_index;
  record->attributes = static_cast<uint16_t>(file.attributes);
  record->last_write = file.last_write;
  record->size = static_cast<uint64_t>(file.size);
}

int32_t CXSnapshotDataFileRecArray::Flush(CXMemWriter& writer, bool sort) {
  if (records_.empty()) return 0;
  if (sort) {
    std::sort(records_.begin(), records_.end(), [](const SXFileRecord* a, const SXFileRecord* b) {
      return CompareNames(a->name_view(), b->name_view()) < 0;
    });
  }
  const int32_t position = writer.position();
  const size_t last = records_.size() - 1;
  for (size_t i = 0; i < records_.size(); ++i) {
    const SXFileRecord* r = records_[i];
    WriteFileRecord(writer, r->version_index, r->attributes, r->last_write, r->size, r->name(), r->name_length,
                    i == last);
  }
  records_.clear();
  pool_.Reset();
  return position;
}

}  // namespace orvalinth
