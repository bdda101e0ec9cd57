#pragma once
// CXSnapshotIO: writes one snapshot file. The file is a 20-byte header
//   "s4.1", three uint32 offsets (inside the tables block's payload) of the
//   registry, file-system and applications section tables (0 when empty),
//   and the uint32 file offset of the info block
// followed by stored blocks back to back (see storage/block_header.h). While
// the recording runs the header holds the magic and 16 zero bytes; a file
// whose info offset is 0 is unfinished. Section blocks and version chunks are
// stored as the jobs produce them; FinishSnapshot adds the tables block, the
// last version chunk and the info block, and writes the final header.
//
// Up to three jobs store blocks at once: WriteBlock takes the writer's lock
// around every block. The executable-version table has its own lock, taken
// before the writer's.
//
// A write that fails, or a final header that cannot be written, leaves its
// line in the error chain and makes FinishSnapshot fail: the header of such a
// file is never finished. Offsets are 32-bit, so a snapshot file stays below
// 2 GiB; a block that would pass that limit fails the same way.

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "storage/file.h"
#include "storage/mem_alloc_grow.h"
#include "storage/serialized_access.h"
#include "storage/version_table.h"

namespace orvalinth {

class CXMemWriter;
class CXPayloadSpool;

enum : int32_t {
  kSectionRegistry = 0,
  kSectionFiles = 1,
  kSectionApps = 2,
  kSectionKinds = 3,
};

// What the info block says of the recording's request, as the recorder hands
// it over: the three flags and, for each section kind, the target list as
// stored (the recorder's scan request chooses and orders the entries).
struct SXInfoRequest {
  bool full = false;
  bool removable_drives = false;
  bool version_info = false;
  std::vector<std::u16string> targets[kSectionKinds];
};

// What the info block says of the machine besides its name and user: the
// operating system's name and details and the processor's name, read by the
// recorder when the recording ends (the writer knows nothing of where they
// come from).
struct SXMachineDescription {
  std::string os_name;
  std::string os_details;
  std::string processor;
};

// The recording's counters as the info block stores them.
struct SXRecordingCounters {
  int32_t progress[3][2] = {{0, 0}, {0, 0}, {0, 0}};  // registry, files, applications: first, second
  int64_t elapsed_seconds = 0;                         // from the start to the finish of the recording
};

// One entry of a section table.
struct SXSectionEntry {
  std::u16string name;
  uint32_t block_offset = 0;  // file offset of the section's block
  int32_t root_offset = 0;    // offset of the root node table inside its payload
  int32_t index = 0;          // position in the order of storing
};

// The snapshot's properties, written as the info block.
struct SXSnapshotInfo {
  int32_t number = -1;
  int32_t reserved = -1;
  uint32_t size = 0;
  int32_t format_version = 0;
  std::string title;
  std::string time;
  std::string computer_name;
  std::string os_name;
  std::string os_details;
  std::string processor;
  std::u16string user_name;
  uint32_t tables_offset = 0;
  int32_t version_count = 0;
  int32_t versions_per_chunk = 0;
  std::vector<uint32_t> version_chunks;
  SXInfoRequest request;
  SXRecordingCounters counters;
};

class CXSnapshotIO : public CXError, public CXSerializedAccess {
 public:
  static constexpr int32_t kHeaderSize = 20;
  static constexpr int32_t kFormatVersion = 0x401;

  CXSnapshotIO();
  ~CXSnapshotIO() override;

  // Creates the file anew (mode 6), writes the provisional header, keeps the
  // path, title and a copy of the request, and binds an empty version table
  // with chunks of 500. 0 when the file cannot be created, or when the header
  // cannot be written (the file is then deleted again); the line is in the
  // error chain.
  virtual int CreateSnapshot(const std::u16string& path, const std::string& title, const SXInfoRequest& request);

  // Stores one payload as a block (compressed when it has 128 bytes or more
  // and compression saves more than 4 bytes) and returns the file offset of
  // its header; 0 when the block could not be stored. A payload of
  // kPartSize bytes or more is compressed in parts straight into the file
  // (storage/lz4_block.h), so that storing it needs no copy of its size:
  // the compressed bytes follow a provisional header that is rewritten at
  // the end, and once they come within 4 bytes of the payload's length the
  // payload is stored raw over them instead. Storing a block takes about
  // 1.3 MiB of the writer's own (one part's output and the compressor's
  // state), whatever the payload.
  static constexpr int32_t kPartSize = 1 << 20;
  uint32_t WriteBlock(const uint8_t* payload, int32_t length);
  uint32_t WriteBlock(const CXMemWriter& payload);

  // Stores a section payload of `kind` (kSection*) named `name` whose root
  // node table is at `root_offset`, and lists it in the kind's section table.
  // Returns the block's offset; 0 on failure or an unknown kind.
  uint32_t AddSection(int32_t kind, const std::u16string& name, int32_t root_offset, const uint8_t* payload,
                      int32_t length);
  // A payload streamed into `spool` (when it took parts) is stored from there:
  // see storage/payload_spool.h.
  uint32_t AddSection(int32_t kind, const std::u16string& name, int32_t root_offset, const CXMemWriter& payload,
                      CXPayloadSpool* spool = nullptr);

  // The path of a new spool file of this recording ("<snapshot>.<n>.part");
  // empty when no snapshot is being recorded.
  std::u16string NewSpoolPath();

  // Ends the snapshot: the tables block, the last version chunk, the info
  // block with `number`, `counters` and `machine`, the final header; closes
  // the file and resets the writer. Returns the file size, or 0 when any
  // write of the recording failed (the chain holds the failure's line; the
  // header stays unfinished).
  uint32_t FinishSnapshot(int32_t number, const SXRecordingCounters& counters, const SXMachineDescription& machine);

  // Closes the file and forgets the recording (the version table excepted).
  void ResetWriter();

  CXExeVersionTable& version_table() { return version_table_; }
  // True once a write or the final header of this recording failed.
  bool failed() const { return failed_; }
  const std::u16string& path() const { return path_; }

 private:
  uint32_t StoreLocked(const uint8_t* payload, int32_t length);
  uint32_t StoreInPartsLocked(const uint8_t* payload, int32_t length);
  uint32_t StoreRawLocked(const uint8_t* payload, int32_t length);
  uint32_t StoreSpooledLocked(CXPayloadSpool& spool, int32_t length);
  uint32_t StoreSpooledRawLocked(CXPayloadSpool& spool, int32_t offset, int32_t length);
  uint32_t SectionEntryLocked(int32_t kind, const std::u16string& name, int32_t root_offset, uint32_t offset);
  bool WriteLocked(const uint8_t* bytes, int32_t n);
  // A block or write of n bytes would pass what 32-bit offsets reach: the
  // error line (code 223) and the failure; 0.
  uint32_t TooLargeLocked(int32_t n);
  void BuildTables(CXMemWriter& payload, uint32_t table_offsets[3]);
  void BuildInfo(CXMemWriter& payload);
  void CollectInfo(int32_t number, const SXRecordingCounters& counters, const SXMachineDescription& machine);

  CXFileErr file_;
  CXMemAllocGrow scratch_;
  int32_t position_ = 0;
  uint8_t header_[kHeaderSize] = {};
  std::u16string path_;
  std::vector<SXSectionEntry> sections_[3];
  int32_t spools_ = 0;  // spool files named so far
  CXExeVersionTable version_table_;
  SXSnapshotInfo info_;
  bool failed_ = false;
};

}  // namespace orvalinth
