#pragma once
// SXFileRecord and CXSnapshotDataFileRecArray: the files of one folder (or the
// file data of application items) and the array that writes them as a file
// run. Records and names live in the array's pool until it is flushed. Format
// of each record: see storage/data_file.h.

#include <cstdint>
#include <string_view>
#include <vector>


namespace orvalinth {

class CXMemWriter;
class SXSnapshotDataFile;

struct SXFileRecord {
  int32_t version_index;  // index into the executable-version table, -1 for none
  uint16_t attributes;    // low 16 bits of the file attributes
  uint16_t name_length;   // units
  int64_t last_write;     // FILETIME as the file system reports it
  uint64_t size;          // bytes
  int32_t missing;        // 1 when the file was not found (not stored)

  // The name's units follow the record in the same piece (none for a record
  // that is not pooled).
  char16_t* name() { return reinterpret_cast<char16_t*>(this + 1); }
  const char16_t* name() const { return reinterpret_cast<const char16_t*>(this + 1); }
  std::u16string_view name_view() const { return std::u16string_view(name(), name_length); }
};

// The records are held in their stored form (storage/data_file.h) until
// the run is written, about the stored record and a pointer an entry (36
// bytes for a file name of a dozen letters): a folder of a million files
// listed out of name order is sorted in these, not in records of their own.
class CXSnapshotDataFileRecArray {
 public:
  CXSnapshotDataFileRecArray();
  virtual ~CXSnapshotDataFileRecArray();
  CXSnapshotDataFileRecArray(const CXSnapshotDataFileRecArray&) = delete;
  CXSnapshotDataFileRecArray& operator=(const CXSnapshotDataFileRecArray&) = delete;

  // Appends a copy of the version index, attributes, time, size and name of `file`.
  virtual void Add(const SXSnapshotDataFile& file);
  // Writes the run at the writer's position (sorted by the name order when
  // `sort`), the last record with the end mark, empties the array and returns
  // the position; an empty array writes nothing and returns 0.
  virtual int32_t Flush(CXMemWriter& writer, bool sort);

  // A new record named `name` (cut to 65,535 units) with no version, zero
  // fields otherwise; the caller fills the rest before the next Append, Add
  // or Flush, which store it.
  SXFileRecord* Append(const char16_t* name, int32_t length);
  SXFileRecord* Append(std::u16string_view name) { return Append(name.data(), static_cast<int32_t>(name.size())); }

  int32_t size() const { return static_cast<int32_t>(records_.size()) + (pending_ ? 1 : 0); }
  // The bytes held for the stored records (blocks and pointers).
  size_t held_bytes() const { return blocks_.size() * kBlockSize + records_.capacity() * sizeof(uint8_t*); }

 private:
  static constexpr size_t kBlockSize = 64 * 1024;
  // Stores the pending record.
  void Store();
  uint8_t* Room(size_t n);

  std::vector<uint8_t*> records_;  // the stored records, in the order appended
  std::vector<uint8_t*> blocks_;   // where they lie; a record longer than a block has one of its own
  size_t used_ = 0;                // bytes taken of the last block
  std::vector<uint64_t> pending_buffer_;  // the record being filled and its name
  bool pending_ = false;
  CXMemWriter* scratch_;
};

}  // namespace orvalinth
