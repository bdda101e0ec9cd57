#pragma once
// The output formats of "orvalinth diff" and "orvalinth report". Each takes
// the header (the snapshots' info and the counts, known before the first
// entry) and then the entries one at a time, writing as it goes.

#include <memory>
#include <string>

#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_reader_model.h"
#include "tools/report/change.h"
#include "tools/report/filter.h"

namespace orvalinth::report {

struct SXReportSide {
  std::string file;  // the file's name as given (UTF-8)
  uint64_t file_size = 0;
  const SXReadInfo* info = nullptr;
};

struct SXReportHeader {
  bool comparison = true;  // two snapshots (diff) or one (report)
  SXReportSide old_side;   // the one snapshot of a report is new_side
  SXReportSide new_side;
  SXChangeCounts counts;
  // Entries below each node (CXCountingSink::below), or null.
  const std::unordered_map<std::u16string, uint64_t>* below = nullptr;
  const CXReportFilter* filter = nullptr;
  bool local_time = true;
};

class CXReportWriter : public CXChangeSink {
 public:
  virtual void Begin(const SXReportHeader& header) = 0;
  virtual void End() = 0;
};

// The summary (snapshots, counts) and the entries as an indented tree.
std::unique_ptr<CXReportWriter> MakeTextWriter(CXDumpSink& out);
// One JSON object a line, one line per entry.
std::unique_ptr<CXReportWriter> MakeJsonWriter(CXDumpSink& out);
// RFC 4180, UTF-8 with a byte-order mark, CR LF, one row per entry; the
// columns: change,kind,section,path,old_size,new_size,old_time,new_time,old_value,new_value.
std::unique_ptr<CXReportWriter> MakeCsvWriter(CXDumpSink& out);
// One self-contained HTML page (writers_html.cpp).
std::unique_ptr<CXReportWriter> MakeHtmlWriter(CXDumpSink& out);

// A CSV field: quoted when it holds a comma, a quote, CR or LF (quotes doubled).
std::string CsvField(const std::string& text);

// The lines of a snapshot's info block: label and value, for every format.
std::vector<std::pair<std::string, std::string>> InfoLines(const SXReportSide& side);

}  // namespace orvalinth::report
