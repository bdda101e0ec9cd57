#include "server/sim/sim_snapshot.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "base/strings.h"
#include "storage/block_header.h"
#include "storage/lz4_block.h"

namespace orvalinth::sim {
namespace {

constexpr size_t kHeaderSize = 20;
constexpr size_t kInfoOffsetField = 16;
// The info payload up to its title: mark, number, reserved, format version.
constexpr size_t kInfoNumberAt = 1;
constexpr size_t kInfoTitleAt = 1 + 4 + 4 + 4;
// How much of a corrupt variant is overwritten after the header.
constexpr size_t kCorruptSpan = 64;

uint32_t Read32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint16_t Read16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// The info block of a snapshot: where it starts and ends in the file, and its
// payload decoded.
struct InfoBlock {
  size_t begin = 0;
  size_t end = 0;
  std::string payload;
  size_t time_at = 0;      // the time's length field inside the payload
  size_t time_length = 0;  // its bytes, after the field
};

bool FindInfoBlock(const std::string& bytes, InfoBlock* info, std::string* error) {
  if (bytes.size() < kHeaderSize || bytes.compare(0, 4, "s4.1") != 0) {
    *error = "not a snapshot file (no \"s4.1\" header)";
    return false;
  }
  const size_t at = Read32(bytes, kInfoOffsetField);
  if (at < kHeaderSize || at >= bytes.size()) {
    *error = Format("the snapshot's info block offset %u lies outside the file", static_cast<unsigned>(at));
    return false;
  }
  const uint8_t first = static_cast<uint8_t>(bytes[at]);
  const size_t header_size = first < 0x80 ? 1 : first < 0xC0 ? 4 : 8;
  if (at + header_size > bytes.size()) {
    *error = "the snapshot's info block header is cut off";
    return false;
  }
  uint32_t stored = 0;
  uint32_t length = 0;
  bool compressed = false;
  DecodeBlockHeader(reinterpret_cast<const uint8_t*>(bytes.data()) + at, &stored, &length, &compressed);
  const size_t data_at = at + header_size;
  if (stored > bytes.size() - data_at) {
    *error = "the snapshot's info block runs past the end of the file";
    return false;
  }
  info->begin = at;
  info->end = data_at + stored;
  if (!compressed) {
    info->payload = bytes.substr(data_at, stored);
  } else {
    if (stored < 1 || bytes[data_at] != '\0' || length > static_cast<uint32_t>(kLongBlockLimit)) {
      *error = "the snapshot's info block is not compressed as snapshots are";
      return false;
    }
    info->payload.assign(length, '\0');
    const int32_t got = Lz4DecompressBlock(reinterpret_cast<const uint8_t*>(bytes.data()) + data_at + 1,
                                           static_cast<int32_t>(stored - 1),
                                           reinterpret_cast<uint8_t*>(&info->payload[0]),
                                           static_cast<int32_t>(length));
    if (got != static_cast<int32_t>(length)) {
      *error = "the snapshot's info block does not decode";
      return false;
    }
  }
  const std::string& p = info->payload;
  if (p.size() < kInfoTitleAt + 2) {
    *error = "the snapshot's info block is too short";
    return false;
  }
  const size_t title_end = kInfoTitleAt + 2 + Read16(p, kInfoTitleAt);
  if (title_end + 2 > p.size() || title_end + 2 + Read16(p, title_end) > p.size()) {
    *error = "the snapshot's info block is too short for its title and time";
    return false;
  }
  info->time_at = title_end;
  info->time_length = Read16(p, title_end);
  return true;
}

// The stored form of `payload` as the snapshot writer makes it: compressed
// (method byte 0 and one LZ4 block) when that saves more than the longer
// header, else raw.
std::string StoreBlock(const std::string& payload) {
  const int32_t length = static_cast<int32_t>(payload.size());
  const uint8_t* source = reinterpret_cast<const uint8_t*>(payload.data());
  uint8_t header[8];
  if (length >= kRawOneByteLimit) {
    std::vector<uint8_t> scratch(1 + static_cast<size_t>(Lz4CompressBound(length)));
    scratch[0] = 0;
    const int32_t packed =
        Lz4CompressBlock(source, length, scratch.data() + 1, static_cast<int32_t>(scratch.size() - 1));
    const int32_t stored = 1 + packed;
    if (packed > 0 && stored + 4 < length) {
      const int32_t n = EncodeBlockHeader(stored, length, /*compressed=*/true, header);
      std::string block(reinterpret_cast<const char*>(header), static_cast<size_t>(n));
      block.append(reinterpret_cast<const char*>(scratch.data()), static_cast<size_t>(stored));
      return block;
    }
  }
  const int32_t n = EncodeBlockHeader(length, length, /*compressed=*/false, header);
  return std::string(reinterpret_cast<const char*>(header), static_cast<size_t>(n)) + payload;
}

// `bytes` with its info block stored again from `payload`. The info block
// ends the file; whatever might follow it stays behind it.
std::string WithInfoPayload(const std::string& bytes, const InfoBlock& info, const std::string& payload) {
  return bytes.substr(0, info.begin) + StoreBlock(payload) + bytes.substr(info.end);
}

}  // namespace

SnapshotBytes LoadSnapshotFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open the snapshot file " + path;
    return nullptr;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read the snapshot file " + path;
    return nullptr;
  }
  // "down-snap" announces the size as a signed 32-bit number.
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    *error = "the snapshot file " + path + " is larger than a download can announce (2 GiB)";
    return nullptr;
  }
  return std::make_shared<const std::string>(std::move(bytes));
}

std::string CorruptSnapshot(const std::string& bytes) {
  std::string out = bytes;
  if (out.size() <= kHeaderSize) {
    // No blocks to damage: every byte changes.
    for (char& c : out) c = static_cast<char>(~static_cast<uint8_t>(c));
    return out;
  }
  // FF as the first byte of a block header is the 8-byte form with a stored
  // count of about 1 GiB: more than any file here holds.
  const size_t span = std::min(kCorruptSpan, out.size() - kHeaderSize);
  std::memset(&out[kHeaderSize], 0xFF, span);
  return out;
}

bool SnapshotFinishTime(const std::string& bytes, std::string* time, std::string* error) {
  InfoBlock info;
  if (!FindInfoBlock(bytes, &info, error)) return false;
  *time = info.payload.substr(info.time_at + 2, info.time_length);
  return true;
}

bool ReplaceFinishTime(const std::string& bytes, const std::string& time, std::string* out, std::string* error) {
  InfoBlock info;
  if (!FindInfoBlock(bytes, &info, error)) return false;
  std::string payload = info.payload.substr(0, info.time_at);
  const size_t n = std::min<size_t>(time.size(), 65535);
  payload += static_cast<char>(n & 0xFF);
  payload += static_cast<char>(n >> 8);
  payload.append(time, 0, n);
  payload.append(info.payload, info.time_at + 2 + info.time_length, std::string::npos);
  *out = WithInfoPayload(bytes, info, payload);
  return true;
}

bool SnapshotNumber(const std::string& bytes, int32_t* number, std::string* error) {
  InfoBlock info;
  if (!FindInfoBlock(bytes, &info, error)) return false;
  *number = static_cast<int32_t>(Read32(info.payload, kInfoNumberAt));
  return true;
}

bool ReplaceSnapshotNumber(const std::string& bytes, int32_t number, std::string* out, std::string* error) {
  InfoBlock info;
  if (!FindInfoBlock(bytes, &info, error)) return false;
  std::string payload = info.payload;
  const uint32_t n = static_cast<uint32_t>(number);
  for (size_t i = 0; i < 4; ++i) payload[kInfoNumberAt + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  *out = WithInfoPayload(bytes, info, payload);
  return true;
}

std::string FinishTimeText(std::time_t t) {
  std::tm local{};
  const std::tm* now = std::localtime(&t);
  if (now != nullptr) local = *now;
  return Format("%4d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min);
}

}  // namespace orvalinth::sim

namespace orvalinth::sim {

CXSnapshotVariants::CXSnapshotVariants(SnapshotBytes base, std::string clock_off_time, size_t kept)
    : base_(std::move(base)), clock_off_time_(std::move(clock_off_time)), kept_(std::max<size_t>(kept, 1)) {
  std::string ignored;
  if (base_ != nullptr && !SnapshotNumber(*base_, &base_number_, &ignored)) base_number_ = 0;
}

SnapshotBytes CXSnapshotVariants::Make(SnapshotVariant variant, int32_t number) {
  if (base_ == nullptr) return nullptr;
  std::string ignored;
  std::string numbered;
  const bool renumber = base_number_ != 0 && number != base_number_;
  if (renumber && !ReplaceSnapshotNumber(*base_, number, &numbered, &ignored)) return base_;
  const std::string& source = renumber ? numbered : *base_;
  switch (variant) {
    case SnapshotVariant::kNormal:
      return renumber ? std::make_shared<const std::string>(std::move(numbered)) : base_;
    case SnapshotVariant::kCorrupt:
      return std::make_shared<const std::string>(CorruptSnapshot(source));
    case SnapshotVariant::kClockOff: {
      std::string shifted;
      if (!ReplaceFinishTime(source, clock_off_time_, &shifted, &ignored)) return base_;
      return std::make_shared<const std::string>(std::move(shifted));
    }
  }
  return base_;
}

SnapshotBytes CXSnapshotVariants::Get(SnapshotVariant variant, int32_t number) {
  // The file as it is needs no copy.
  if (variant == SnapshotVariant::kNormal && (base_number_ == 0 || number == base_number_)) return base_;
  const Key key(variant, number);
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      recent_.splice(recent_.begin(), recent_, found->second);
      return found->second->second;
    }
  }
  SnapshotBytes made = Make(variant, number);
  std::lock_guard<std::mutex> guard(lock_);
  auto found = index_.find(key);
  if (found != index_.end()) return found->second->second;  // made meanwhile by another thread
  recent_.emplace_front(key, made);
  index_[key] = recent_.begin();
  while (recent_.size() > kept_) {
    index_.erase(recent_.back().first);
    recent_.pop_back();
  }
  return made;
}

size_t CXSnapshotVariants::cached() const {
  std::lock_guard<std::mutex> guard(lock_);
  return recent_.size();
}

}  // namespace orvalinth::sim
