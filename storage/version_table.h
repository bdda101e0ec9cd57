#pragma once
// CXExeVersionTable: the snapshot's executable-version table. Each path's
// version data is read once per snapshot and stored once, as record number
// `index` of the version chunks: chunk k holds records 500k to 500k + 499, so
// that a reader reaches record i by decoding chunk i / 500 alone. Paths are
// compared with A-Z folded. Every job thread looks paths up; the table's lock
// serialises them, reading from disk included, and is taken before the
// writer's lock when a full chunk is stored.
//
// The table remembers the paths it has seen by a 128-bit digest of the
// folded path rather than the path itself (about 48 bytes an executable
// instead of 200 and more), so that a disk of many executables does not
// make it grow by their paths; two paths of one digest are beyond reckoning.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/mem_writer.h"

namespace orvalinth {

class CXSnapshotIO;
struct SXExeVersion;
struct SXFileRecord;

// Reads the version information of one file: 1 with `out` filled when the file
// has usable version information, else 0.
using ReadVersionInfoFn = std::function<int(const std::u16string& path, SXExeVersion* out)>;

class CXExeVersionTable {
 public:
  static constexpr int32_t kRecordsPerChunk = 500;

  CXExeVersionTable();
  CXExeVersionTable(const CXExeVersionTable&) = delete;
  CXExeVersionTable& operator=(const CXExeVersionTable&) = delete;

  // Starts an empty table that stores its chunks through `writer`.
  void Bind(CXSnapshotIO* writer, int32_t records_per_chunk = kRecordsPerChunk);
  // The reading of version information; without one no file has any.
  void set_reader(ReadVersionInfoFn reader);

  // The version index of `path` (-1 when the file has no usable version
  // information), also put into `record` when given; `out` receives the
  // version data when given. A path seen before keeps its index (its data is
  // read again only for `out`); a new one is read, appended to the open chunk
  // and given the next index, the open chunk being stored first when it is full.
  int32_t LookupVersion(const std::u16string& path, SXFileRecord* record, SXExeVersion* out);

  // Stores the open chunk when it holds records; gives the record count, the
  // records per chunk and the file offsets of the stored chunks in order.
  void FlushVersionTable(int32_t* count, int32_t* records_per_chunk, std::vector<uint32_t>* chunk_offsets);

  int32_t count();

 private:
  void StoreOpenChunk();

  struct Digest {
    uint64_t a = 0, b = 0;
    bool operator==(const Digest& o) const { return a == o.a && b == o.b; }
  };
  struct DigestHash {
    size_t operator()(const Digest& d) const { return static_cast<size_t>(d.a); }
  };
  static Digest DigestOf(const std::u16string& path);

  std::mutex lock_;
  std::unordered_map<Digest, int32_t, DigestHash> map_;  // digest of the folded path -> index + 1
  int32_t count_ = 0;
  int32_t records_per_chunk_ = kRecordsPerChunk;
  CXMemWriter chunk_;
  std::vector<uint32_t> chunk_offsets_;
  CXSnapshotIO* writer_ = nullptr;
  ReadVersionInfoFn reader_;
};

}  // namespace orvalinth
