#include "server/change_file.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "storage/lz4_block.h"

namespace orvalinth::server {
namespace {

constexpr uint32_t kBlockHeaderSize = 16;
constexpr uint32_t kMaxText = 1u << 20;
// The fast compressor: the change file is written on the ingest path and
// read rarely; its blocks decode at the same speed whatever the level.
constexpr int32_t kLevel = 0;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

void PutText(std::vector<uint8_t>& out, const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), kMaxText);
  Put32(out, static_cast<uint32_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

std::vector<uint8_t> Header(uint64_t rows) {
  std::vector<uint8_t> h(kChangeFileMagic, kChangeFileMagic + 8);
  Put16(h, kChangeFileVersion);
  Put16(h, static_cast<uint16_t>(kChangeFileHeaderSize));
  Put32(h, 0);
  Put64(h, rows);
  return h;
}

}  // namespace

const char* ChangeKindName(SXChangeKind kind) {
  switch (kind) {
    case SXChangeKind::kRegistry: return "registry";
    case SXChangeKind::kFiles: return "files";
    case SXChangeKind::kApplications: return "applications";
  }
  return "";
}

const char* ChangeWhatName(SXChangeWhat what) {
  switch (what) {
    case SXChangeWhat::kAdded: return "added";
    case SXChangeWhat::kRemoved: return "removed";
    case SXChangeWhat::kChanged: return "changed";
  }
  return "";
}

bool operator==(const SXChange& a, const SXChange& b) {
  return a.kind == b.kind && a.change == b.change && a.category == b.category && a.entry == b.entry &&
         a.path == b.path && a.old_text == b.old_text && a.new_text == b.new_text;
}

std::string ChangeFilePath(const std::string& snapshot_path) { return snapshot_path + kChangeFileSuffix; }

std::u16string PlatformPath(const std::string& path) {
  std::u16string wide = DecodeUtf8(path);
  std::replace(wide.begin(), wide.end(), u'/', u'\\');
  return wide;
}

uint32_t Crc32(const uint8_t* bytes, size_t n, uint32_t crc) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// ---- writing ----

struct CXChangeFileWriter::Output {
  std::unique_ptr<platform::File> file;
  std::u16string temp, final_path;
  bool finished = false;
  bool failed = false;

  bool Write(const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    return file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) && written == bytes.size();
  }
};

CXChangeFileWriter::CXChangeFileWriter(uint32_t block_bytes)
    : block_bytes_(std::clamp<uint32_t>(block_bytes, 1, kChangeFileMaxBlock / 2)) {}

CXChangeFileWriter::~CXChangeFileWriter() { Abandon(); }

int CXChangeFileWriter::Failed(const std::string& what) {
  error_ = Format("change file %s: %s (error %u)", path_.c_str(), what.c_str(), platform::LastError());
  if (out_) out_->failed = true;
  Abandon();
  return 0;
}

int CXChangeFileWriter::Open(const std::string& path) {
  Abandon();
  path_ = path;
  rows_ = 0;
  block_.clear();
  block_rows_ = 0;
  error_.clear();
  out_ = std::make_unique<Output>();
  out_->final_path = PlatformPath(path);
  out_->temp = PlatformPath(path + ".tmp");
  out_->file = platform::FileSystem::Get().Open(out_->temp, platform::kOpenCreate);
  if (!out_->file) {
    out_.reset();
    error_ = Format("change file %s: cannot create %s.tmp (error %u)", path.c_str(), path.c_str(),
                    platform::LastError());
    return 0;
  }
  if (!out_->Write(Header(0))) return Failed("cannot write the header");
  return 1;
}

int CXChangeFileWriter::Add(const SXChange& row) {
  if (!out_ || out_->failed) return 0;
  block_.push_back(static_cast<uint8_t>(row.kind));
  block_.push_back(static_cast<uint8_t>(row.change));
  for (const std::string* text : {&row.category, &row.entry, &row.path, &row.old_text, &row.new_text}) {
    PutText(block_, *text);
  }
  ++block_rows_;
  ++rows_;
  if (block_.size() >= block_bytes_) return WriteBlock();
  return 1;
}

int CXChangeFileWriter::WriteBlock() {
  if (block_rows_ == 0) return 1;
  const int32_t n = static_cast<int32_t>(block_.size());
  std::vector<uint8_t> out;
  out.reserve(kBlockHeaderSize + static_cast<size_t>(Lz4CompressBound(n)));
  out.resize(kBlockHeaderSize + static_cast<size_t>(Lz4CompressBound(n)));
  const int32_t stored =
      Lz4CompressBlock(block_.data(), n, out.data() + kBlockHeaderSize, Lz4CompressBound(n), kLevel);
  if (stored <= 0) return Failed("cannot compress a block");
  out.resize(kBlockHeaderSize + static_cast<size_t>(stored));
  std::vector<uint8_t> head;
  Put32(head, static_cast<uint32_t>(stored));
  Put32(head, static_cast<uint32_t>(n));
  Put32(head, block_rows_);
  Put32(head, Crc32(block_.data(), block_.size()));
  std::memcpy(out.data(), head.data(), kBlockHeaderSize);
  if (!out_->Write(out)) return Failed("cannot write a block (is the disk full?)");
  block_.clear();
  block_rows_ = 0;
  return 1;
}

int CXChangeFileWriter::Finish() {
  if (!out_ || out_->failed) return 0;
  if (!WriteBlock()) return 0;
  if (!out_->Write(std::vector<uint8_t>(kBlockHeaderSize, 0))) return Failed("cannot write the end");
  if (!out_->file->Seek(0) || !out_->Write(Header(rows_))) return Failed("cannot write the row count");
  if (!out_->file->Flush()) return Failed("cannot flush the file to disk");
  out_->file.reset();
  if (!platform::FileSystem::Get().RenameFile(out_->temp, out_->final_path)) {
    return Failed("cannot rename " + path_ + ".tmp to it");
  }
  out_->finished = true;
  out_.reset();
  return 1;
}

void CXChangeFileWriter::Abandon() {
  if (!out_) return;
  out_->file.reset();
  if (!out_->finished) platform::FileSystem::Get().RemoveFile(out_->temp);
  out_.reset();
}

// ---- reading ----

namespace {

class CXChangeFileReader {
 public:
  CXChangeFileReader(const std::string& path, std::string* error) : path_(path), error_(error) {}

  int Run(const std::function<bool(SXChange&&)>& row) {
    file_ = platform::FileSystem::Get().Open(PlatformPath(path_), platform::kOpenRead | platform::kOpenSequential);
    if (!file_) return Fail(0, Format("cannot open the file (error %u)", platform::LastError()));
    if (!file_->Size(&size_)) return Fail(0, Format("cannot measure the file (error %u)", platform::LastError()));
    uint8_t h[kChangeFileHeaderSize];
    if (!Read(h, sizeof h, "the header")) return 0;
    if (std::memcmp(h, kChangeFileMagic, 8) != 0) return Fail(0, "not a change file: it does not begin with \"OrvChg\\r\\n\"");
    const uint32_t version = h[8] | (h[9] << 8), header_size = h[10] | (h[11] << 8), flags = Get32(h + 12);
    if (version != kChangeFileVersion) return Fail(8, Format("format version %u (this program reads 1)", version));
    if (header_size != kChangeFileHeaderSize) return Fail(10, Format("header size %u instead of 24", header_size));
    if (flags != 0) return Fail(12, Format("flags 0x%08X (version 1 has none)", flags));
    const uint64_t total = Get64(h + 16);
    uint64_t rows = 0;
    bool stopped = false;  // by `row`
    for (;;) {
      const uint64_t at = offset_;
      uint8_t b[kBlockHeaderSize];
      if (!Read(b, sizeof b, "a block header")) return 0;
      const uint32_t stored = Get32(b), length = Get32(b + 4), count = Get32(b + 8), crc = Get32(b + 12);
      if (stored == 0 && length == 0 && count == 0 && crc == 0) break;
      if (length == 0 || length > kChangeFileMaxBlock || count == 0) {
        return Fail(at, Format("block of %u bytes with %u rows (1 to 4,194,304 bytes, at least 1 row)", length, count));
      }
      if (stored == 0 || stored > static_cast<uint32_t>(Lz4CompressBound(static_cast<int32_t>(length))) ||
          stored > size_ - offset_) {
        return Fail(at, Format("block stores %u bytes, more than it may or than the file holds", stored));
      }
      std::vector<uint8_t> packed(stored);
      if (!Read(packed.data(), stored, "a block")) return 0;
      std::vector<uint8_t> block(length);
      const int32_t got = Lz4DecompressBlock(packed.data(), static_cast<int32_t>(stored), block.data(),
                                             static_cast<int32_t>(length));
      if (got != static_cast<int32_t>(length)) return Fail(at, Format("block does not decode into its %u bytes", length));
      if (Crc32(block.data(), block.size()) != crc) return Fail(at, "block does not match its checksum");
      if (count > total - rows) return Fail(at, Format("block holds more rows than the header's %llu", ULL(total)));
      if (!Rows(block, count, at, row, &stopped)) return 0;
      if (stopped) return 1;
      rows += count;
    }
    if (offset_ != size_) return Fail(offset_, Format("%llu bytes follow the end", ULL(size_ - offset_)));
    if (rows != total) return Fail(16, Format("the header counts %llu rows, the blocks %llu", ULL(total), ULL(rows)));
    return 1;
  }

 private:
  static unsigned long long ULL(uint64_t v) { return static_cast<unsigned long long>(v); }

  int Fail(uint64_t at, const std::string& problem) {
    *error_ = Format("change file %s: at file offset %llu: %s", path_.c_str(), ULL(at), problem.c_str());
    return 0;
  }

  bool Read(uint8_t* to, uint32_t n, const char* what) {
    if (n > size_ - std::min(size_, offset_)) {
      Fail(offset_, Format("the file ends inside %s", what));
      return false;
    }
    uint32_t done = 0;
    while (done < n) {
      uint32_t got = 0;
      if (!file_->Read(to + done, n - done, &got) || got == 0) {
        Fail(offset_ + done, Format("cannot read %s (error %u)", what, platform::LastError()));
        return false;
      }
      done += got;
    }
    offset_ += n;
    return true;
  }

  int Rows(const std::vector<uint8_t>& block, uint32_t count, uint64_t at,
           const std::function<bool(SXChange&&)>& row, bool* stopped) {
    size_t p = 0;
    const auto text = [&](std::string* to) {
      if (block.size() - p < 4) return false;
      const uint32_t n = Get32(block.data() + p);
      p += 4;
      if (n > block.size() - p) return false;
      to->assign(reinterpret_cast<const char*>(block.data() + p), n);
      p += n;
      return true;
    };
    for (uint32_t i = 0; i < count; ++i) {
      SXChange r;
      if (block.size() - p < 2) return Fail(at, Format("block ends inside row %u of its %u", i + 1, count));
      const uint8_t kind = block[p], change = block[p + 1];
      p += 2;
      if (kind > 2 || change > 2) return Fail(at, Format("row %u of the block has kind %u, change %u", i + 1, kind, change));
      r.kind = static_cast<SXChangeKind>(kind);
      r.change = static_cast<SXChangeWhat>(change);
      if (!text(&r.category) || !text(&r.entry) || !text(&r.path) || !text(&r.old_text) || !text(&r.new_text)) {
        return Fail(at, Format("block ends inside row %u of its %u", i + 1, count));
      }
      if (!*stopped && !row(std::move(r))) *stopped = true;
    }
    if (p != block.size()) return Fail(at, Format("block holds %zu bytes after its %u rows", block.size() - p, count));
    return 1;
  }

  std::string path_;
  std::string* error_;
  std::unique_ptr<platform::File> file_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
};

}  // namespace

int ReadChangeFile(const std::string& path, const std::function<bool(SXChange&&)>& row, std::string* error) {
  return CXChangeFileReader(path, error).Run(row);
}

int ReadChangeFile(const std::string& path, std::vector<SXChange>* rows, std::string* error) {
  rows->clear();
  return ReadChangeFile(path, [&](SXChange&& r) {
    rows->push_back(std::move(r));
    return true;
  }, error);
}

}  // namespace orvalinth::server
