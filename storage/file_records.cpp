#include "storage/file_records.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "storage/data_file.h"
#include "storage/mem_writer.h"

namespace orvalinth {

static_assert(sizeof(SXFileRecord) % alignof(char16_t) == 0, "names follow the record");

CXSnapshotDataFileRecArray::CXSnapshotDataFileRecArray() : scratch_(new CXMemWriter(4096)) { records_.reserve(1024); }

CXSnapshotDataFileRecArray::~CXSnapshotDataFileRecArray() {
  for (uint8_t* block : blocks_) delete[] block;
  delete scratch_;
}

SXFileRecord* CXSnapshotDataFileRecArray::Append(const char16_t* name, int32_t length) {
  if (pending_) Store();
  if (length < 0) length = 0;
  if (length > 0xFFFF) length = 0xFFFF;
  const size_t bytes = sizeof(SXFileRecord) + 2 * static_cast<size_t>(length);
  if (pending_buffer_.size() * sizeof(uint64_t) < bytes) pending_buffer_.resize((bytes + 7) / 8);
  auto* record = reinterpret_cast<SXFileRecord*>(pending_buffer_.data());
  record->version_index = -1;
  record->attributes = 0;
  record->name_length = static_cast<uint16_t>(length);
  record->last_write = 0;
  record->size = 0;
  record->missing = 0;
  if (length > 0) std::memcpy(record->name(), name, 2 * static_cast<size_t>(length));
  pending_ = true;
  return record;
}

uint8_t* CXSnapshotDataFileRecArray::Room(size_t n) {
  if (n > kBlockSize) {
    // An outsized record gets a block of its own, before the last one, which
    // goes on serving the small ones.
    auto* block = new uint8_t[n];
    blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, block);
    return block;
  }
  if (blocks_.empty() || used_ + n > kBlockSize) {
    blocks_.push_back(new uint8_t[kBlockSize]);
    used_ = 0;
  }
  uint8_t* at = blocks_.back() + used_;
  used_ += n;
  return at;
}

void CXSnapshotDataFileRecArray::Store() {
  const auto* r = reinterpret_cast<const SXFileRecord*>(pending_buffer_.data());
  scratch_->Rewind();
  WriteFileRecord(*scratch_, r->version_index, r->attributes, r->last_write, r->size, r->name(), r->name_length, false);
  const size_t n = static_cast<size_t>(scratch_->position());
  uint8_t* stored = Room(n);
  std::memcpy(stored, scratch_->data(), n);
  records_.push_back(stored);
  pending_ = false;
}

void CXSnapshotDataFileRecArray::Add(const SXSnapshotDataFile& file) {
  SXFileRecord* record = Append(file.name);
  record->version_index = file.version_index;
  record->attributes = static_cast<uint16_t>(file.attributes);
  record->last_write = file.last_write;
  record->size = static_cast<uint64_t>(file.size);
}

namespace {

struct StoredName {
  const uint8_t* units;
  int32_t length;
  bool wide;
};

StoredName NameOf(const uint8_t* record) {
  StoredName name;
  StoredFileRecordName(record, &name.units, &name.length, &name.wide);
  return name;
}

}  // namespace

int32_t CXSnapshotDataFileRecArray::Flush(CXMemWriter& writer, bool sort) {
  if (pending_) Store();
  if (records_.empty()) return 0;
  if (sort) {
    std::sort(records_.begin(), records_.end(), [](const uint8_t* a, const uint8_t* b) {
      const StoredName x = NameOf(a), y = NameOf(b);
      return CompareStoredNames(x.units, x.length, x.wide, y.units, y.length, y.wide) < 0;
    });
  }
  const int32_t position = writer.position();
  const size_t last = records_.size() - 1;
  for (size_t i = 0; i < records_.size(); ++i) {
    uint8_t* record = records_[i];
    const StoredName name = NameOf(record);
    const size_t length = static_cast<size_t>(name.units - record) +
                          static_cast<size_t>(name.length) * (name.wide ? 2 : 1);
    MarkStoredFileRecordLast(record, i == last);
    writer.WriteBytes(record, static_cast<int32_t>(length));
  }
  records_.clear();
  for (uint8_t* block : blocks_) delete[] block;
  blocks_.clear();
  used_ = 0;
  if (records_.capacity() > 4096) std::vector<uint8_t*>().swap(records_);
  return position;
}

}  // namespace orvalinth
