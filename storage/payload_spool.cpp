#include "storage/payload_spool.h"

#include <atomic>
#include <cstring>

#include "base/strings.h"
#include "platform/files.h"
#include "storage/snapshot_io.h"

namespace orvalinth {
namespace {

std::atomic<int32_t> g_part_size{CXPayloadSpool::kPart};

// Each part in the spool file: its decoded length and its block's size
// (uint32 each, little-endian), then the block.
constexpr int32_t kPartHeader = 8;

void PutU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

int32_t CXPayloadSpool::part_size() { return g_part_size.load(std::memory_order_relaxed); }

void CXPayloadSpool::set_part_size(int32_t bytes) {
  g_part_size.store(bytes > 0 ? bytes : kPart, std::memory_order_relaxed);
}

CXPayloadSpool::CXPayloadSpool(CXSnapshotIO& writer) : writer_(writer) {}

CXPayloadSpool::~CXPayloadSpool() { Discard(); }

void CXPayloadSpool::Attach(CXMemWriter& payload) {
  Discard();
  payload.StreamTo(this, part_size());
}

void CXPayloadSpool::Discard() {
  file_.Close();
  if (!path_.empty()) platform::FileSystem::Get().RemoveFile(path_);
  path_.clear();
  stream_.reset();
  work_.clear();
  work_.shrink_to_fit();
  parts_ = 0;
  read_parts_ = 0;
  raw_ = 0;
  packed_ = 0;
  error_.clear();
  file_.ChainText(true);
}

bool CXPayloadSpool::Fail(const std::string& what) {
  if (error_.empty()) {
    error_ = !what.empty() ? what : "Cannot read the spool of a section\n[" + EncodeUtf8(path_) + "]";
  }
  return false;
}

bool CXPayloadSpool::Take(const uint8_t* bytes, int32_t n) {
  if (!error_.empty()) return false;
  if (path_.empty()) {
    path_ = writer_.NewSpoolPath();
    if (path_.empty()) return Fail("no snapshot is being recorded");
    if (!file_.OpenFile(path_, platform::kOpenCreate)) {
      path_.clear();  // nothing was made
      return Fail(file_.ChainText(true));
    }
    stream_ = std::make_unique<CXLz4PartStream>(/*keep_window=*/true);
    if (!stream_->ok()) return Fail("cannot start the compression of a section");
  }
  return Append(bytes, n);
}

bool CXPayloadSpool::Append(const uint8_t* bytes, int32_t n) {
  const int32_t bound = Lz4CompressBound(n);
  if (bound <= 0) return Fail("a part of a section cannot be compressed");
  if (work_.size() < static_cast<size_t>(kPartHeader + bound)) work_.resize(static_cast<size_t>(kPartHeader + bound));
  const int32_t packed = stream_->Compress(bytes, n, work_.data() + kPartHeader, bound);
  if (packed <= 0) return Fail("a part of a section cannot be compressed");
  PutU32(work_.data(), static_cast<uint32_t>(n));
  PutU32(work_.data() + 4, static_cast<uint32_t>(packed));
  if (!file_.WriteAll(work_.data(), kPartHeader + packed)) return Fail(file_.ChainText(true));
  ++parts_;
  raw_ += n;
  packed_ += packed;
  return true;
}

void CXPayloadSpool::TooLong() { Fail("a section is longer than a snapshot can hold (2 GiB)"); }

bool CXPayloadSpool::Seal(const uint8_t* tail, int32_t n) {
  if (!error_.empty()) return false;
  if (n > 0 && !Append(tail, n)) return false;
  // The compressor goes now: the parts are only read from here on.
  stream_.reset();
  return true;
}

bool CXPayloadSpool::Rewind() {
  read_parts_ = 0;
  if (!file_.Seek(0)) return Fail(file_.ChainText(true));
  return true;
}

bool CXPayloadSpool::NextPart(std::vector<uint8_t>* block, int32_t* length) {
  if (read_parts_ >= parts_) return false;
  uint8_t header[kPartHeader];
  if (file_.ReadBytes(header, kPartHeader) != kPartHeader) return Fail(file_.ChainText(true) + " (spool)");
  const uint32_t raw = GetU32(header);
  const uint32_t packed = GetU32(header + 4);
  if (raw == 0 || packed == 0 || packed > static_cast<uint32_t>(Lz4CompressBound(static_cast<int32_t>(raw)))) {
    return Fail("a spooled part of a section is damaged");
  }
  block->resize(packed);
  if (file_.ReadBytes(block->data(), static_cast<int32_t>(packed)) != static_cast<int32_t>(packed)) {
    return Fail(file_.ChainText(true) + " (spool)");
  }
  *length = static_cast<int32_t>(raw);
  ++read_parts_;
  return true;
}

}  // namespace orvalinth
