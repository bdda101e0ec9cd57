#include "storage/snapshot_io.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

#include "base/strings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "storage/block_header.h"
#include "storage/lz4_block.h"
#include "storage/mem_writer.h"
#include "storage/payload_spool.h"

namespace orvalinth {

namespace {

constexpr uint8_t kMagic[4] = {'s', '4', '.', '1'};
constexpr uint8_t kPayloadMark = 0x01;
constexpr uint8_t kInfoMark = 3;
constexpr uint8_t kMethodLz4 = 0x00;
constexpr int32_t kHeaderRoom = 8;  // the longest block header, kept free before the compressed bytes
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr size_t kComputerNameMax = 15;
constexpr size_t kUserNameMax = 256;

void PutU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WriteString8(CXMemWriter& w, const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), 0xFFFF);
  w.WriteU16(static_cast<uint16_t>(n));
  w.WriteBytes(text.data(), static_cast<int32_t>(n));
}

void WriteWide(CXMemWriter& w, const std::u16string& text) {
  const size_t n = std::min<size_t>(text.size(), 0xFFFF);
  w.WriteU16(static_cast<uint16_t>(n));
  w.WriteUnits(text.data(), static_cast<int32_t>(n), true);
}

// One section table: count, then name length, name (wide), block and root offsets.
void WriteSectionTable(CXMemWriter& w, const std::vector<SXSectionEntry>& entries) {
  w.WriteU32(static_cast<uint32_t>(entries.size()));
  for (const SXSectionEntry& e : entries) {
    WriteWide(w, e.name);
    w.WriteU32(e.block_offset);
    w.WriteI32(e.root_offset);
  }
}

}  // namespace

CXSnapshotIO::CXSnapshotIO() {
  file_.SetParent(this, true);
  ResetWriter();
}

CXSnapshotIO::~CXSnapshotIO() { file_.Close(); }

int CXSnapshotIO::CreateSnapshot(const std::u16string& path, const std::string& title, const SXInfoRequest& request) {
  // The table's lock is never taken under the writer's: bind it first.
  version_table_.Bind(this, CXExeVersionTable::kRecordsPerChunk);
  std::lock_guard<std::mutex> guard(mutex());
  ResetWriter();
  failed_ = false;
  path_ = path;
  if (!file_.OpenFile(path, platform::kOpenCreate | platform::kOpenWrite)) {
    // Nothing may be stored into a file that does not exist.
    failed_ = true;
    return 0;
  }
  std::memcpy(header_, kMagic, sizeof kMagic);
  if (!WriteLocked(header_, kHeaderSize)) {
    // The file was just created anew for this recording: without even its
    // header it is nobody's snapshot, and it goes like any failed recording.
    file_.Close();
    platform::FileSystem::Get().RemoveFile(path);
    return 0;
  }
  info_.title = title;
  info_.format_version = kFormatVersion;
  info_.request = request;
  return 1;
}

uint32_t CXSnapshotIO::TooLargeLocked(int32_t n) {
  SetError("", u"Cannot " + Widen(Format("write(%d)", n)) + u" file\n[" + path_ + u"] [error:" +
                   Widen(std::to_string(kErrorFileTooLarge)) + u"]");
  failed_ = true;
  return 0;
}

bool CXSnapshotIO::WriteLocked(const uint8_t* bytes, int32_t n) {
  if (failed_) return false;
  // Offsets are 32-bit: what lies beyond 2 GiB could never be found again.
  if (static_cast<int64_t>(position_) + n > INT32_MAX) return TooLargeLocked(n);
  if (!file_.WriteAll(bytes, n)) {
    failed_ = true;
    return false;
  }
  position_ += n;
  return true;
}

uint32_t CXSnapshotIO::StoreLocked(const uint8_t* payload, int32_t length) {
  if (failed_ || length < 0) return 0;
  if (length >= kPartSize) return StoreInPartsLocked(payload, length);
  const int32_t offset = position_;
  if (length >= kRawOneByteLimit) {
    const int32_t room = length + length / 10 + 1024 + kHeaderRoom;
    uint8_t* scratch = scratch_.SetSize(room);
    scratch[kHeaderRoom] = kMethodLz4;
    const int32_t capacity = room - kHeaderRoom - 1;
    const int32_t packed = Lz4CompressBlock(payload, length, scratch + kHeaderRoom + 1, capacity);
    const int32_t stored = packed > 0 ? packed + 1 : 0;
    uint8_t header[8];
    if (packed > 0 && stored + 4 < length) {
      const int32_t h = EncodeBlockHeader(stored, length, true, header);
      // Header and stored bytes leave in one write.
      std::memcpy(scratch + kHeaderRoom - h, header, static_cast<size_t>(h));
      return WriteLocked(scratch + kHeaderRoom - h, h + stored) ? static_cast<uint32_t>(offset) : 0;
    }
  }
  return StoreRawLocked(payload, length);
}

uint32_t CXSnapshotIO::StoreRawLocked(const uint8_t* payload, int32_t length) {
  const int32_t offset = position_;
  uint8_t header[8];
  const int32_t h = EncodeBlockHeader(length, length, false, header);
  if (h == 0) return TooLargeLocked(length);
  if (!WriteLocked(header, h) || !WriteLocked(payload, length)) return 0;
  return static_cast<uint32_t>(offset);
}

namespace {

// The compressed bytes of one block, written to the file as they come,
// until they would no longer save more than 4 bytes of the payload.
class PayingSink final : public CXLz4Sink {
 public:
  PayingSink(int32_t length, std::function<bool(const uint8_t*, int32_t)> write)
      : length_(length), write_(std::move(write)) {}
  bool Put(const uint8_t* bytes, int32_t n) override {
    if (static_cast<int64_t>(stored_) + n + 4 >= length_) {
      paid_ = false;
      return false;
    }
    if (!write_(bytes, n)) return false;
    stored_ += n;
    return true;
  }
  bool paid() const { return paid_; }

 private:
  int32_t length_;
  std::function<bool(const uint8_t*, int32_t)> write_;
  int32_t stored_ = 1;  // the method byte
  bool paid_ = true;
};

}  // namespace

uint32_t CXSnapshotIO::StoreInPartsLocked(const uint8_t* payload, int32_t length) {
  const int32_t offset = position_;
  const int32_t bound = Lz4CompressBound(kPartSize);
  uint8_t* work = scratch_.SetSize(bound);
  // Both forms of a payload this long have the 8-byte header: its place is
  // kept, followed by the method byte, and filled in once S is known.
  uint8_t start[9] = {};
  start[8] = kMethodLz4;
  if (!WriteLocked(start, sizeof start)) return 0;
  PayingSink sink(length, [this](const uint8_t* bytes, int32_t n) { return WriteLocked(bytes, n); });
  const int64_t packed = Lz4CompressInParts(payload, length, kPartSize, Lz4Level(), work, bound, sink);
  if (failed_) return 0;
  const int32_t end = position_;
  if (packed > 0 && sink.paid()) {
    uint8_t header[8];
    if (EncodeBlockHeader(static_cast<int32_t>(packed) + 1, length, true, header) == 8 && file_.Seek(offset) &&
        file_.WriteAll(header, sizeof header) && file_.Seek(end)) {
      return static_cast<uint32_t>(offset);
    }
    failed_ = true;
    return 0;
  }
  // Not worth it: the raw block, which is longer than what was written, goes over it.
  if (!file_.Seek(offset)) {
    failed_ = true;
    return 0;
  }
  position_ = offset;
  return StoreRawLocked(payload, length);
}

uint32_t CXSnapshotIO::WriteBlock(const uint8_t* payload, int32_t length) {
  std::lock_guard<std::mutex> guard(mutex());
  return StoreLocked(payload, length);
}

uint32_t CXSnapshotIO::WriteBlock(const CXMemWriter& payload) { return WriteBlock(payload.data(), payload.position()); }

uint32_t CXSnapshotIO::AddSection(int32_t kind, const std::u16string& name, int32_t root_offset,
                                  const uint8_t* payload, int32_t length) {
  if (kind < kSectionRegistry || kind > kSectionApps) return 0;
  std::lock_guard<std::mutex> guard(mutex());
  return SectionEntryLocked(kind, name, root_offset, StoreLocked(payload, length));
}

uint32_t CXSnapshotIO::SectionEntryLocked(int32_t kind, const std::u16string& name, int32_t root_offset,
                                          uint32_t offset) {
  if (offset == 0) return 0;
  std::vector<SXSectionEntry>& list = sections_[kind];
  SXSectionEntry entry;
  entry.name = name;
  entry.block_offset = offset;
  entry.root_offset = root_offset;
  entry.index = static_cast<int32_t>(list.size());
  list.push_back(std::move(entry));
  return offset;
}

uint32_t CXSnapshotIO::AddSection(int32_t kind, const std::u16string& name, int32_t root_offset,
                                  const CXMemWriter& payload, CXPayloadSpool* spool) {
  if (spool == nullptr || !spool->active()) return AddSection(kind, name, root_offset, payload.data(), payload.position());
  if (kind < kSectionRegistry || kind > kSectionApps) return 0;
  // The last part is compressed outside the lock, as the others were.
  spool->Seal(payload.data(), payload.held());
  std::lock_guard<std::mutex> guard(mutex());
  const uint32_t offset = StoreSpooledLocked(*spool, payload.position());
  spool->Discard();
  return SectionEntryLocked(kind, name, root_offset, offset);
}

std::u16string CXSnapshotIO::NewSpoolPath() {
  std::lock_guard<std::mutex> guard(mutex());
  if (path_.empty()) return std::u16string();
  return path_ + u"." + Widen(std::to_string(++spools_)) + u".part";
}

namespace {

// The joined block on its way into the file, in writes of 64 KiB, until
// it would no longer save more than 4 bytes of the payload.
class JoinedSink final : public CXLz4Sink {
 public:
  JoinedSink(int32_t length, std::function<bool(const uint8_t*, int32_t)> write)
      : length_(length), write_(std::move(write)) {
    buffer_.reserve(kBuffer);
  }
  bool Put(const uint8_t* bytes, int32_t n) override {
    if (static_cast<int64_t>(stored_) + n + 4 >= length_) {
      paid_ = false;
      return false;
    }
    stored_ += n;
    while (n > 0) {
      const int32_t take = std::min<int32_t>(n, kBuffer - static_cast<int32_t>(buffer_.size()));
      buffer_.insert(buffer_.end(), bytes, bytes + take);
      bytes += take;
      n -= take;
      if (buffer_.size() == static_cast<size_t>(kBuffer) && !Flush()) return false;
    }
    return true;
  }
  bool Flush() {
    const bool written = buffer_.empty() || write_(buffer_.data(), static_cast<int32_t>(buffer_.size()));
    buffer_.clear();
    return written;
  }
  bool paid() const { return paid_; }
  int32_t stored() const { return stored_; }

 private:
  static constexpr int32_t kBuffer = 64 * 1024;
  int32_t length_;
  std::function<bool(const uint8_t*, int32_t)> write_;
  std::vector<uint8_t> buffer_;
  int32_t stored_ = 1;  // the method byte
  bool paid_ = true;
};

}  // namespace

uint32_t CXSnapshotIO::StoreSpooledLocked(CXPayloadSpool& spool, int32_t length) {
  if (failed_) return 0;
  if (!spool.error().empty() || !spool.Rewind()) {
    SetError("", Widen(spool.error()));
    failed_ = true;
    return 0;
  }
  const int32_t offset = position_;
  if (length < kRawShortLimit) {
    // Only tiny test parts come here: the payload is held whole and stored as any other.
    std::vector<uint8_t> whole(static_cast<size_t>(length));
    CXLz4PartDecoder decoder;
    std::vector<uint8_t> block;
    int32_t at = 0, n = 0;
    while (spool.NextPart(&block, &n)) {
      if (n > length - at || !decoder.Decode(block.data(), static_cast<int32_t>(block.size()), whole.data() + at, n)) {
        break;
      }
      at += n;
    }
    if (at != length) {
      SetError("", Widen(spool.error().empty() ? "a spooled section does not decode" : spool.error()));
      failed_ = true;
      return 0;
    }
    return StoreLocked(whole.data(), length);
  }
  // Both forms of a payload this long have the 8-byte header: its place is
  // kept, followed by the method byte, and filled in once S is known.
  uint8_t start[9] = {};
  start[8] = kMethodLz4;
  if (!WriteLocked(start, sizeof start)) return 0;
  JoinedSink sink(length, [this](const uint8_t* bytes, int32_t n) { return WriteLocked(bytes, n); });
  CXLz4Joiner joiner(sink);
  std::vector<uint8_t> block;
  int32_t n = 0;
  int32_t taken = 0;
  bool joined = true;
  while (joined && spool.NextPart(&block, &n)) {
    ++taken;
    joined = joiner.Add(block.data(), static_cast<int32_t>(block.size()), taken == spool.parts());
  }
  if (failed_) return 0;
  if (!spool.error().empty()) {
    SetError("", Widen(spool.error()));
    failed_ = true;
    return 0;
  }
  if (joined && taken == spool.parts() && sink.paid() && sink.Flush()) {
    const int32_t end = position_;
    uint8_t header[8];
    if (EncodeBlockHeader(sink.stored(), length, true, header) == 8 && file_.Seek(offset) &&
        file_.WriteAll(header, sizeof header) && file_.Seek(end)) {
      return static_cast<uint32_t>(offset);
    }
    failed_ = true;
    return 0;
  }
  if (failed_) return 0;
  if (sink.paid()) {
    SetError("", u"a spooled section does not join into one block");
    failed_ = true;
    return 0;
  }
  return StoreSpooledRawLocked(spool, offset, length);
}

uint32_t CXSnapshotIO::StoreSpooledRawLocked(CXPayloadSpool& spool, int32_t offset, int32_t length) {
  // Not worth it: the raw block, which is longer than what was written, goes over it.
  if (!file_.Seek(offset)) {
    failed_ = true;
    return 0;
  }
  position_ = offset;
  uint8_t header[8];
  const int32_t h = EncodeBlockHeader(length, length, false, header);
  if (h == 0) return TooLargeLocked(length);
  if (!WriteLocked(header, h) || !spool.Rewind()) {
    if (!spool.error().empty()) SetError("", Widen(spool.error()));
    failed_ = true;
    return 0;
  }
  CXLz4PartDecoder decoder;
  std::vector<uint8_t> block, raw;
  int32_t n = 0;
  int64_t written = 0;
  while (spool.NextPart(&block, &n)) {
    raw.resize(static_cast<size_t>(n));
    if (!decoder.Decode(block.data(), static_cast<int32_t>(block.size()), raw.data(), n) || !WriteLocked(raw.data(), n)) {
      break;
    }
    written += n;
  }
  if (written != length) {
    if (!failed_) SetError("", Widen(spool.error().empty() ? "a spooled section does not decode" : spool.error()));
    failed_ = true;
    return 0;
  }
  return static_cast<uint32_t>(offset);
}

void CXSnapshotIO::BuildTables(CXMemWriter& payload, uint32_t table_offsets[3]) {
  std::vector<SXSectionEntry> files = sections_[kSectionFiles];
  std::sort(files.begin(), files.end(), [](const SXSectionEntry& a, const SXSectionEntry& b) {
    return CompareNames(a.name, b.name) < 0;
  });
  const std::vector<SXSectionEntry>* tables[3] = {&sections_[kSectionRegistry], &files, &sections_[kSectionApps]};
  payload.WriteU8(kPayloadMark);
  for (int k = 0; k < 3; ++k) {
    table_offsets[k] = tables[k]->empty() ? 0 : static_cast<uint32_t>(payload.position());
    WriteSectionTable(payload, *tables[k]);
  }
}

void CXSnapshotIO::CollectInfo(int32_t number, const SXRecordingCounters& counters,
                               const SXMachineDescription& machine) {
  info_.number = number;
  platform::LocalTime now;
  info_.time = platform::GetLocalTime(&now)
                   ? Format("%4d-%02d-%02d %02d:%02d", now.year, now.month, now.day, now.hour, now.minute)
                   : std::string();
  std::string computer;
  info_.computer_name = platform::SystemInfo::Get().ComputerName(&computer) ? computer.substr(0, kComputerNameMax) : "";
  info_.os_name = machine.os_name;
  info_.os_details = machine.os_details;
  info_.processor = machine.processor;
  std::u16string user;
  info_.user_name = platform::SystemInfo::Get().UserName(&user) ? user.substr(0, kUserNameMax) : u"";
  version_table_.FlushVersionTable(&info_.version_count, &info_.versions_per_chunk, &info_.version_chunks);
  info_.counters = counters;
}

void CXSnapshotIO::BuildInfo(CXMemWriter& w) {
  w.WriteU8(kInfoMark);
  w.WriteI32(info_.number);
  w.WriteI32(info_.reserved);
  w.WriteI32(info_.format_version);
  WriteString8(w, info_.title);
  WriteString8(w, info_.time);
  WriteString8(w, info_.computer_name);
  WriteString8(w, info_.os_name);
  WriteString8(w, info_.os_details);
  WriteString8(w, info_.processor);
  WriteWide(w, info_.user_name);
  w.WriteU32(info_.tables_offset);
  for (int k = 0; k < 3; ++k) {
    w.WriteI32(info_.counters.progress[k][0]);
    w.WriteI32(info_.counters.progress[k][1]);
  }
  const int64_t elapsed = std::max<int64_t>(info_.counters.elapsed_seconds, 0);
  w.WriteU16(static_cast<uint16_t>(std::min<int64_t>(elapsed / 60, INT16_MAX)));
  w.WriteU16(static_cast<uint16_t>(elapsed % 60));
  w.WriteI32(info_.version_count);
  w.WriteI32(info_.versions_per_chunk);
  w.WriteI32(static_cast<int32_t>(info_.version_chunks.size()));
  for (uint32_t offset : info_.version_chunks) w.WriteU32(offset);
  const SXInfoRequest& request = info_.request;
  w.WriteU8(request.full ? 1 : 0);
  w.WriteU8(request.removable_drives ? 1 : 0);
  w.WriteU8(request.version_info ? 1 : 0);
  for (const std::vector<std::u16string>& targets : request.targets) {
    w.WriteI32(static_cast<int32_t>(targets.size()));
    for (const std::u16string& t : targets) WriteWide(w, t);
  }
  const std::string reserved(120, ' ');
  w.WriteBytes(reserved.data(), static_cast<int32_t>(reserved.size()));
}

uint32_t CXSnapshotIO::FinishSnapshot(int32_t number, const SXRecordingCounters& counters,
                                      const SXMachineDescription& machine) {
  uint32_t size = 0;
  if (!failed_) {
    CXMemWriter tables;
    uint32_t table_offsets[3];
    {
      std::lock_guard<std::mutex> guard(mutex());
      BuildTables(tables, table_offsets);
    }
    info_.tables_offset = WriteBlock(tables);
    CollectInfo(number, counters, machine);
    CXMemWriter info;
    BuildInfo(info);
    const uint32_t info_offset = WriteBlock(info);

    std::lock_guard<std::mutex> guard(mutex());
    if (!failed_) {
      for (int k = 0; k < 3; ++k) PutU32(header_ + 4 + 4 * k, table_offsets[k]);
      PutU32(header_ + 16, info_offset);
      if (!file_.Seek(0)) {
        failed_ = true;
      } else if (file_.WriteAll(header_, kHeaderSize)) {
        position_ = static_cast<int32_t>(file_.GetSize());
        info_.size = static_cast<uint32_t>(position_);
        size = info_.size;
      } else {
        failed_ = true;
      }
    }
  }
  ResetWriter();
  return failed_ ? 0 : size;
}

void CXSnapshotIO::ResetWriter() {
  file_.Close();
  std::memset(header_, 0, sizeof header_);
  position_ = 0;
  path_.clear();
  for (auto& list : sections_) list.clear();
  spools_ = 0;
  scratch_.Free();
  info_ = SXSnapshotInfo();
  info_.number = -1;
  info_.reserved = -1;
}

}  // namespace orvalinth
