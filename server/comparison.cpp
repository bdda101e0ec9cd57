#include "server/comparison.h"

#include <algorithm>

#include "platform/files.h"
#include "tools/report/change.h"
#include "tools/report/compare.h"
#include "tools/report/describe.h"
#include "tools/report/snapshot_stream.h"

namespace orvalinth::server {
namespace {

// Thrown by the sink through the engine (which passes on what is not a read
// fault) to end a comparison early.
struct CXStopWalk {
  SXComparisonStatus status;
};

SXChangeWhat WhatOf(report::SXChangeType type) {
  switch (type) {
    case report::SXChangeType::kAdded: return SXChangeWhat::kAdded;
    case report::SXChangeType::kRemoved: return SXChangeWhat::kRemoved;
    default: return SXChangeWhat::kChanged;
  }
}

// Counts every change and keeps its row, in memory up to max_rows, then in
// the change file.
class CXArrivalSink final : public report::CXChangeSink {
 public:
  CXArrivalSink(const SXComparisonOptions& options, std::string change_path, SXComparison* out)
      : max_rows_(options.max_rows),
        max_text_(std::clamp<size_t>(options.max_text, 16, 65536)),
        cancel_(options.cancel),
        change_path_(std::move(change_path)),
        out_(*out) {}

  void Change(const report::SXChange& c) override {
    if (c.type == report::SXChangeType::kPresent) return;
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) throw CXStopWalk{SXComparisonStatus::kCancelled};
    SXChange row;
    row.kind = static_cast<SXChangeKind>(c.section_kind);
    row.change = WhatOf(c.type);
    row.category = report::Utf8(report::CountLabel(c));
    row.entry = report::KindName(c);
    row.path = report::Utf8(report::EntryPath(c));
    // Times in UTC: the catalog is read from anywhere.
    row.old_text = BoundedText(report::OldText(c, false), max_text_);
    row.new_text = BoundedText(report::NewText(c, false), max_text_);
    Count(row);
    if (writer_) {
      if (!writer_->Add(row)) throw CXStopWalk{SXComparisonStatus::kChangeFileFailed};
      Keep(std::move(row));
      return;
    }
    out_.rows.push_back(std::move(row));
    if (out_.rows.size() > max_rows_) Spill();
  }

  // 1 when every row is where the result says; 0 with the error set.
  int Finish() {
    if (!writer_) {
      // No change file belongs to this comparison; one left by an earlier run goes.
      const std::u16string path = PlatformPath(change_path_);
      if (platform::FileSystem::Get().Attributes(path) != platform::kInvalidAttributes) {
        platform::FileSystem::Get().RemoveFile(path);
      }
      return 1;
    }
    if (!writer_->Finish()) return 0;
    out_.change_file = change_path_;
    return 1;
  }

  std::string writer_error() const { return writer_ ? writer_->error() : std::string(); }

 private:
  void Count(const SXChange& row) {
    if (last_ >= out_.counts.size() || out_.counts[last_].kind != row.kind || out_.counts[last_].category != row.category) {
      last_ = 0;
      while (last_ < out_.counts.size() &&
             (out_.counts[last_].kind != row.kind || out_.counts[last_].category != row.category)) {
        ++last_;
      }
      if (last_ == out_.counts.size()) out_.counts.push_back(SXComparisonCount{row.kind, row.category});
    }
    SXComparisonCount& n = out_.counts[last_];
    switch (row.change) {
      case SXChangeWhat::kAdded: ++n.added, ++out_.added; break;
      case SXChangeWhat::kRemoved: ++n.removed, ++out_.removed; break;
      case SXChangeWhat::kChanged: ++n.changed, ++out_.changed; break;
    }
    ++out_.row_count;
  }

  // More rows than the result holds: every row so far into the change file,
  // and only the registry and applications ones stay.
  void Spill() {
    writer_ = std::make_unique<CXChangeFileWriter>();
    if (!writer_->Open(change_path_)) throw CXStopWalk{SXComparisonStatus::kChangeFileFailed};
    for (const SXChange& row : out_.rows) {
      if (!writer_->Add(row)) throw CXStopWalk{SXComparisonStatus::kChangeFileFailed};
    }
    out_.rows.erase(std::remove_if(out_.rows.begin(), out_.rows.end(),
                                   [](const SXChange& r) { return r.kind == SXChangeKind::kFiles; }),
                    out_.rows.end());
    if (out_.rows.size() > max_rows_) {
      out_.rows.resize(max_rows_);
      out_.rows_cut = true;
    }
  }

  void Keep(SXChange&& row) {
    if (row.kind == SXChangeKind::kFiles) return;
    if (out_.rows.size() < max_rows_) {
      out_.rows.push_back(std::move(row));
    } else {
      out_.rows_cut = true;
    }
  }

  const size_t max_rows_;
  const size_t max_text_;
  const std::atomic<bool>* cancel_;
  const std::string change_path_;
  SXComparison& out_;
  std::unique_ptr<CXChangeFileWriter> writer_;
  size_t last_ = 0;  // the count the last row went to
};

SXComparison Unreadable(SXComparisonStatus status, const std::string& path, const SXReadFault& fault) {
  SXComparison out;
  out.status = status;
  out.error = fault.message.compare(0, path.size() + 2, path + ": ") == 0 ? fault.message : path + ": " + fault.message;
  out.error_file_offset = fault.file_offset;
  out.error_payload_offset = fault.payload_offset;
  return out;
}

}  // namespace

const char* ComparisonStatusName(SXComparisonStatus status) {
  switch (status) {
    case SXComparisonStatus::kDone: return "done";
    case SXComparisonStatus::kOldUnreadable: return "old snapshot unreadable";
    case SXComparisonStatus::kNewUnreadable: return "new snapshot unreadable";
    case SXComparisonStatus::kChangeFileFailed: return "change file not written";
    case SXComparisonStatus::kCancelled: return "cancelled";
    case SXComparisonStatus::kAbandoned: return "abandoned";
    case SXComparisonStatus::kFailed: return "failed";
  }
  return "";
}

const SXComparisonCount* SXComparison::Count(SXChangeKind kind, const std::string& category) const {
  for (const SXComparisonCount& c : counts) {
    if (c.kind == kind && c.category == category) return &c;
  }
  return nullptr;
}

std::string BoundedText(std::string text, size_t max) {
  if (text.size() <= max) return text;
  size_t cut = max < 3 ? 0 : max - 3;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text + "\xE2\x80\xA6";
}

std::shared_ptr<const report::CXReportFilter> DefaultFilter() {
  static const std::shared_ptr<const report::CXReportFilter> filter = [] {
    auto f = std::make_shared<report::CXReportFilter>();
    std::string error;
    f->Parse(DefaultFilterText(), &error);  // built in, and its tests read it
    return f;
  }();
  return filter;
}

SXComparison CompareArrived(const std::string& old_path, const std::string& new_path,
                            const SXComparisonOptions& options) {
  report::CXSnapshotStream a, b;
  a.set_label(old_path);
  b.set_label(new_path);
  if (!a.Open(PlatformPath(old_path))) return Unreadable(SXComparisonStatus::kOldUnreadable, old_path, a.fault());
  if (!b.Open(PlatformPath(new_path))) return Unreadable(SXComparisonStatus::kNewUnreadable, new_path, b.fault());

  const std::shared_ptr<const report::CXReportFilter> filter = options.filter ? options.filter : DefaultFilter();
  SXComparison out;
  CXArrivalSink sink(options, options.change_file.empty() ? ChangeFilePath(new_path) : options.change_file, &out);
  SXReadFault fault;
  int read = 0;
  try {
    read = report::CompareSnapshots(a, b, *filter, sink, &fault);
  } catch (const CXStopWalk& stop) {
    SXComparison failed;
    failed.status = stop.status;
    failed.error = stop.status == SXComparisonStatus::kCancelled
                       ? "comparison of " + old_path + " with " + new_path + " cancelled"
                       : sink.writer_error();
    return failed;  // the sink's writer removes its temporary file
  }
  if (!read) {
    // The fault's message begins with the label of the file it lies in.
    const bool old_side = old_path != new_path && fault.message.compare(0, old_path.size() + 2, old_path + ": ") == 0;
    return Unreadable(old_side ? SXComparisonStatus::kOldUnreadable : SXComparisonStatus::kNewUnreadable,
                      old_side ? old_path : new_path, fault);
  }
  if (!sink.Finish()) {
    SXComparison failed;
    failed.status = SXComparisonStatus::kChangeFileFailed;
    failed.error = sink.writer_error();
    return failed;
  }
  return out;
}

}  // namespace orvalinth::server
