#include "storage/version_table.h"

#include "base/strings.h"
#include "storage/exe_version.h"
#include "storage/file_records.h"
#include "storage/snapshot_io.h"

namespace orvalinth {

CXExeVersionTable::CXExeVersionTable() { chunk_offsets_.reserve(100); }

void CXExeVersionTable::Bind(CXSnapshotIO* writer, int32_t records_per_chunk) {
  std::lock_guard<std::mutex> guard(lock_);
  writer_ = writer;
  records_per_chunk_ = records_per_chunk > 0 ? records_per_chunk : kRecordsPerChunk;
  map_.clear();
  count_ = 0;
  chunk_.Rewind();
  chunk_offsets_.clear();
}

void CXExeVersionTable::set_reader(ReadVersionInfoFn reader) {
  std::lock_guard<std::mutex> guard(lock_);
  reader_ = std::move(reader);
}

void CXExeVersionTable::StoreOpenChunk() {
  const uint32_t offset = writer_ != nullptr ? writer_->WriteBlock(chunk_.data(), chunk_.position()) : 0;
  chunk_offsets_.push_back(offset);
  chunk_.Rewind();
}

// Two 64-bit hashes of the folded units, of different constructions: an
// FNV-1a and a multiply-xorshift mix, each over all of the path.
CXExeVersionTable::Digest CXExeVersionTable::DigestOf(const std::u16string& path) {
  Digest d;
  d.a = 14695981039346656037ULL;
  d.b = 0x9E3779B97F4A7C15ULL ^ path.size();
  for (const char16_t unit : path) {
    const uint64_t c = FoldAZ(unit);
    d.a = (d.a ^ (c & 0xFF)) * 1099511628211ULL;
    d.a = (d.a ^ (c >> 8)) * 1099511628211ULL;
    d.b = (d.b ^ c) * 0xBF58476D1CE4E5B9ULL;
    d.b ^= d.b >> 31;
  }
  d.b = (d.b ^ (d.b >> 30)) * 0x94D049BB133111EBULL;
  d.b ^= d.b >> 27;
  return d;
}

int32_t CXExeVersionTable::LookupVersion(const std::u16string& path, SXFileRecord* record, SXExeVersion* out) {
  std::lock_guard<std::mutex> guard(lock_);
  const Digest key = DigestOf(path);
  int32_t index = -1;
  const auto found = map_.find(key);
  if (found != map_.end()) {
    index = found->second - 1;
    if (out != nullptr && reader_) {
      SXExeVersion again;
      *out = reader_(path, &again) ? again : SXExeVersion();
    }
  } else {
    SXDskSnapshotVersionExp version;
    if (reader_ && reader_(path, &version)) {
      if (count_ != 0 && count_ % records_per_chunk_ == 0) StoreOpenChunk();
      index = count_++;
      map_.emplace(key, index + 1);
      version.WriteRecord(chunk_);
      if (out != nullptr) *out = version;
    }
  }
  if (record != nullptr) record->version_index = index;
  return index;
}

void CXExeVersionTable::FlushVersionTable(int32_t* count, int32_t* records_per_chunk,
                                          std::vector<uint32_t>* chunk_offsets) {
  std::lock_guard<std::mutex> guard(lock_);
  if (chunk_.position() > 0) StoreOpenChunk();
  *count = count_;
  *records_per_chunk = records_per_chunk_;
  *chunk_offsets = chunk_offsets_;
}

int32_t CXExeVersionTable::count() {
  std::lock_guard<std::mutex> guard(lock_);
  return count_;
}

}  // namespace orvalinth
