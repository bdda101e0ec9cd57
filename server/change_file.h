#pragma once
// The change rows of one comparison of two snapshots of a machine, and the
// change file that holds them where a machine changed more than the catalog
// keeps rows of (comparison.h decides when).
//
// The change file lies beside the newer snapshot, named after it with
// ".changes" appended ("0002.snp" -> "0002.snp.changes"). It is written under
// that name with ".tmp" appended, flushed to disk and then renamed, so a file
// under the final name is always whole. Little-endian throughout:
//
//   header, 24 bytes
//     0   8  magic "OrvChg\r\n"
//     8   2  format version, 1
//    10   2  header size, 24
//    12   4  flags, 0 (a reader of version 1 refuses any other)
//    16   8  the number of rows in the file
//   blocks, one after the other, each
//     0   4  stored: bytes of the LZ4 block that follows (1 to LZ4's bound of `length`)
//     4   4  length: bytes it decodes to (1 to 4,194,304)
//     8   4  rows it holds (at least 1)
//    12   4  CRC-32 (ISO-HDLC, as zlib's crc32) of the decoded bytes
//    16      one raw LZ4 block (no frame), decoding to exactly `length` bytes
//   the end: 16 zero bytes, and nothing after them
//
// The decoded bytes of a block are its rows, each
//   1 byte   kind: 0 registry, 1 files, 2 applications
//   1 byte   change: 0 added, 1 removed, 2 changed
//   five texts, each a 4-byte length and that many bytes of UTF-8:
//   category, entry, path, old text, new text (SXChange).
// A row never spans two blocks; rows follow in the order of the walk
// (registry, files, applications; inside each, the name order).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvalinth::server {

// What part of the machine a change lies in (the order of a snapshot's sections).
enum class SXChangeKind : uint8_t { kRegistry = 0, kFiles = 1, kApplications = 2 };
enum class SXChangeWhat : uint8_t { kAdded = 0, kRemoved = 1, kChanged = 2 };

// "registry", "files", "applications"; "added", "removed", "changed".
const char* ChangeKindName(SXChangeKind kind);
const char* ChangeWhatName(SXChangeWhat what);

// One change, as the text report of a comparison shows it (UTF-8).
struct SXChange {
  SXChangeKind kind = SXChangeKind::kFiles;
  SXChangeWhat change = SXChangeWhat::kAdded;
  std::string category;  // the count it adds to: "files", "folders", "registry keys",
                         // "registry values", "sections", or the applications
                         // category ("Services", "Startup", ...)
  std::string entry;     // what it is: "file", "folder", "key", "value", "section",
                         // "node", or the item's kind ("service", "startup entry", ...)
  std::string path;      // the whole path: "C:\Windows\x.dll", "HKEY_LOCAL_MACHINE\SOFTWARE\V\Name",
                         // "Services\Spooler"
  std::string old_text;  // the old side ("1,234 bytes  2023-11-14 22:13:20 UTC"); empty when added
  std::string new_text;  // the new side; empty when removed
};

bool operator==(const SXChange& a, const SXChange& b);
inline bool operator!=(const SXChange& a, const SXChange& b) { return !(a == b); }

inline constexpr char kChangeFileMagic[9] = "OrvChg\r\n";
inline constexpr uint16_t kChangeFileVersion = 1;
inline constexpr uint32_t kChangeFileHeaderSize = 24;
inline constexpr uint32_t kChangeFileMaxBlock = 4u << 20;  // decoded bytes of one block at most
inline constexpr char kChangeFileSuffix[] = ".changes";

// The change file of the snapshot at `snapshot_path`.
std::string ChangeFilePath(const std::string& snapshot_path);

// A host path (UTF-8, "/" between names) as the platform's file system takes
// it: UTF-16 with "\" between names (on Linux, drive Z: is the root).
std::u16string PlatformPath(const std::string& path);

// Writes a change file a row at a time; a block is compressed and written
// when it holds `block_bytes` (the last one at Finish), so only one block is
// in memory. Paths are the host's, UTF-8. Not thread-safe.
class CXChangeFileWriter {
 public:
  explicit CXChangeFileWriter(uint32_t block_bytes = 256u << 10);
  ~CXChangeFileWriter();  // removes the temporary file unless Finish succeeded
  CXChangeFileWriter(const CXChangeFileWriter&) = delete;
  CXChangeFileWriter& operator=(const CXChangeFileWriter&) = delete;

  // Creates `path` + ".tmp". 1, or 0 with error() telling why.
  int Open(const std::string& path);
  // Adds a row (each text at most 1 MiB); 0 with error() when a write failed
  // (then every later call fails too).
  int Add(const SXChange& row);
  // Writes the last block, the end and the row count, flushes the file to
  // disk and renames it to `path`. 1, or 0 with error() (the temporary file removed).
  int Finish();
  // Removes the temporary file (nothing under `path` is touched).
  void Abandon();

  uint64_t rows() const { return rows_; }
  const std::string& error() const { return error_; }

 private:
  struct Output;
  int WriteBlock();
  int Failed(const std::string& what);

  uint32_t block_bytes_;
  std::string path_;
  std::unique_ptr<Output> out_;
  std::vector<uint8_t> block_;
  uint32_t block_rows_ = 0;
  uint64_t rows_ = 0;
  std::string error_;
};

// Reads the change file at `path` a block at a time, handing each row to
// `row` in order (false from it stops the read there: the rest is neither
// read nor checked, and the call returns 1). The file is checked as untrusted input: every length, the
// checksums, the row counts, the end. 1 when read through; 0 with *error
// naming the file and the file offset of the fault.
int ReadChangeFile(const std::string& path, const std::function<bool(SXChange&&)>& row, std::string* error);
// Every row into *rows.
int ReadChangeFile(const std::string& path, std::vector<SXChange>* rows, std::string* error);

// CRC-32 (ISO-HDLC: reflected, polynomial 0xEDB88320, initial and final
// value 0xFFFFFFFF) of n bytes, continuing from `crc` (0 to begin).
uint32_t Crc32(const uint8_t* bytes, size_t n, uint32_t crc = 0);

}  // namespace orvalinth::server
