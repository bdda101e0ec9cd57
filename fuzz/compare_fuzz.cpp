// Two hostile snapshot files through the streaming reader, the comparison
// (CompareSnapshots) and the report of one snapshot (WalkSnapshot), each
// written by every report writer as "orvalinth diff" and "orvalinth report"
// do: a counting pass first, then one walk per writer. The reader must
// decode them or report a fault whose message names the file, never read
// out of bounds, crash, leak or allocate without bound; a walk is the same
// on every pass, every JSON line is valid JSON, and a file compared with
// itself has no changes.
//
// Input: byte 0 the options (1: the default filter, else none; 2: small
// chunks of the section payloads; bits 2-3: the file mode; 16: the report of
// the old snapshot, else of the new; 32: the new file compared with itself),
// bytes 1-4 the old file's length n (uint32, little-endian, cut to what
// follows), then n bytes of the old file and the rest the new file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "storage/reader/snapshot_reader_source.h"
#include "tests/storage/json_check.h"
#include "tools/report/compare.h"
#include "tools/report/pdf.h"
#include "tools/report/writers.h"

#include "fuzz/fuzz_check.h"

namespace {

using namespace orvalinth;
using namespace orvalinth::report;

// A PDF takes milliseconds a page through pango: only reports of this many
// entries or fewer (a page or two) are drawn, so that an input stays fast.
constexpr uint64_t kPdfEntries = 40;

// The default filter beside the program, read once from the source tree.
const CXReportFilter& DefaultFilter() {
  static const CXReportFilter filter = [] {
    const std::filesystem::path path = std::filesystem::path(__FILE__).parent_path() / "../tools/report/default.filter";
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CXReportFilter f;
    std::string error;
    if (text.empty() || !f.Parse(text, &error)) {
      std::fprintf(stderr, "compare_fuzz: cannot read %s %s\n", path.string().c_str(), error.c_str());
      std::abort();
    }
    return f;
  }();
  return filter;
}

// Every failure says why, naming the file it was found in.
void CheckFault(const SXReadFault& fault, const std::string& labels) {
  Check(!fault.message.empty());
  const size_t colon = fault.message.find(": ");
  Check(colon != std::string::npos && labels.find("|" + fault.message.substr(0, colon) + "|") != std::string::npos);
}

// Counts the entries of a pass on their way to the writer.
class CXTee final : public CXChangeSink {
 public:
  explicit CXTee(CXChangeSink& to) : to_(to) {}
  void Change(const SXChange& change) override {
    ++count;
    to_.Change(change);
  }
  uint64_t count = 0;

 private:
  CXChangeSink& to_;
};

// The walk once to count, then once for each writer; `walk(sink, fault)` is 1
// when it read through.
template <class Walk>
void Produce(SXReportHeader header, const std::string& labels, bool same, Walk&& walk) {
  CXCountingSink counting;
  SXReadFault first;
  const int ok = walk(counting, &first);
  if (!ok) CheckFault(first, labels);
  if (same) Check(counting.counts().total() == 0);
  header.counts = counting.counts();
  header.below = &counting.below();

  const auto pass = [&](CXReportWriter& writer) {
    writer.Begin(header);
    CXTee tee(writer);
    SXReadFault fault;
    Check(walk(tee, &fault) == ok);  // the same entries and the same fault every time
    Check(tee.count == header.counts.total());
    Check(fault.message == first.message);
    writer.End();
  };
  CXStringSink text, json, csv, html;
  pass(*MakeTextWriter(text));
  pass(*MakeJsonWriter(json));
  pass(*MakeCsvWriter(csv));
  pass(*MakeHtmlWriter(html));
  for (size_t at = 0, end; at < json.text().size(); at = end + 1) {
    end = json.text().find('\n', at);
    Check(end != std::string::npos);
    std::string error;
    if (!test::JsonCheck::Valid(json.text().substr(at, end - at), &error)) {
      std::fprintf(stderr, "compare_fuzz: %s\n", error.c_str());
      std::abort();
    }
  }
  if (ok && header.counts.total() <= kPdfEntries) {
    CXStringSink pdf;
    std::string error;
    std::unique_ptr<CXReportWriter> writer = MakePdfWriter(pdf, &error);
    Check(writer != nullptr);
    pass(*writer);
    writer.reset();
    Check(pdf.text().compare(0, 5, "%PDF-") == 0);
  }
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t options = data[0];
  const size_t old_size = std::min<size_t>(Le32(data + 1), size - 5);
  const uint8_t* old_bytes = data + 5;
  const uint8_t* new_bytes = old_bytes + old_size;
  const size_t new_size = size - 5 - old_size;
  const bool same = (options & 32) != 0;

  CXReportFilter filter = (options & 1) ? DefaultFilter() : CXReportFilter();
  filter.set_mode((options >> 2) & 3);
  CXSnapshotStream streams[2];
  const std::string names[2] = {"old.snp", "new.snp"};
  const uint8_t* bytes[2] = {same ? new_bytes : old_bytes, new_bytes};
  const size_t sizes[2] = {same ? new_size : old_size, new_size};
  bool open[2];
  for (int k = 0; k < 2; ++k) {
    streams[k].set_label(names[k]);
    if (options & 2) streams[k].set_chunking(64, 1);  // chunk boundaries inside records and tables
    open[k] = streams[k].Open(std::make_unique<CXSnapshotMemorySource>(bytes[k], sizes[k])) == 1;
    if (!open[k]) CheckFault(streams[k].fault(), "|" + names[k] + "|");
  }

  if (open[0] && open[1]) {
    SXReportHeader header;
    header.comparison = true;
    header.old_side = SXReportSide{names[0], streams[0].file_size(), &streams[0].info()};
    header.new_side = SXReportSide{names[1], streams[1].file_size(), &streams[1].info()};
    header.filter = &filter;
    Produce(header, "|old.snp|new.snp|", same, [&](CXChangeSink& sink, SXReadFault* fault) {
      return CompareSnapshots(streams[0], streams[1], filter, sink, fault);
    });
  }
  const int side = (options & 16) ? 0 : 1;
  if (open[side]) {
    SXReportHeader header;
    header.comparison = false;
    header.new_side = SXReportSide{names[side], streams[side].file_size(), &streams[side].info()};
    header.filter = &filter;
    Produce(header, "|" + names[side] + "|", false, [&](CXChangeSink& sink, SXReadFault* fault) {
      return WalkSnapshot(streams[side], filter, sink, fault);
    });
  }
  return 0;
}
