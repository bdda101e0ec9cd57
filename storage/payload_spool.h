#pragma once
// CXPayloadSpool: where a section payload goes that is too long to hold
// while it is built. The payload's CXMemWriter hands it over a part at a
// time (kPart bytes, CXMemWriter::StreamTo); each part is compressed at once,
// matching into the 64 KiB before it, and appended to a spool file beside
// the snapshot ("<snapshot>.<n>.part"). When the section is stored
// (CXSnapshotIO::AddSection), the writer joins the spooled parts and the
// bytes still held into the section's one LZ4 block in the snapshot file, or
// decodes them into a raw block when compression does not pay, and the
// spool file goes. So a section of any size costs about two parts of memory,
// and the snapshot's blocks still lie back to back whatever the jobs store
// meanwhile.
//
// A spool belongs to one job (one thread). A failure (the spool file cannot
// be made or written: a full disk) is kept and reported into the writer's
// chain when the section is stored, which then fails the recording; the
// spool file is deleted whenever the spool forgets its payload (Discard, the
// next payload, the destructor).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/file.h"
#include "storage/lz4_block.h"
#include "storage/mem_writer.h"

namespace orvalinth {

class CXSnapshotIO;

class CXPayloadSpool final : public CXPayloadSink {
 public:
  // The part size of every spool of the process (tests make it small, so
  // that a small tree's payload streams in many parts).
  static constexpr int32_t kPart = 256 * 1024;
  static int32_t part_size();
  static void set_part_size(int32_t bytes);

  explicit CXPayloadSpool(CXSnapshotIO& writer);
  ~CXPayloadSpool() override;
  CXPayloadSpool(const CXPayloadSpool&) = delete;
  CXPayloadSpool& operator=(const CXPayloadSpool&) = delete;

  // Streams `payload` into this spool from now on (see CXMemWriter::StreamTo).
  void Attach(CXMemWriter& payload);

  bool Take(const uint8_t* bytes, int32_t n) override;
  void TooLong() override;

  // Forgets what was taken and deletes the spool file.
  void Discard();

  // ---- for the writer that stores the section ----
  // Whether parts were taken (the payload is streamed).
  bool active() const { return parts_ != 0 || !error_.empty(); }
  // Why the payload cannot be stored; empty when it can.
  const std::string& error() const { return error_; }
  // Compresses the bytes still held as the last part. False on failure (error()).
  bool Seal(const uint8_t* tail, int32_t n);
  // The parts in order, each read into `block` with its decoded length;
  // Rewind first. False at the end or on a failed read (error()).
  bool Rewind();
  bool NextPart(std::vector<uint8_t>* block, int32_t* length);
  int32_t parts() const { return parts_; }
  int64_t raw_bytes() const { return raw_; }
  int64_t packed_bytes() const { return packed_; }

 private:
  bool Fail(const std::string& what);
  bool Append(const uint8_t* bytes, int32_t n);

  CXSnapshotIO& writer_;
  std::unique_ptr<CXLz4PartStream> stream_;  // made with the first part
  std::vector<uint8_t> work_;
  CXFileErr file_;
  std::u16string path_;
  int32_t parts_ = 0;
  int32_t read_parts_ = 0;
  int64_t raw_ = 0;
  int64_t packed_ = 0;
  std::string error_;
};

}  // namespace orvalinth
