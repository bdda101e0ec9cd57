// The Windows build of the console has no PDF writer.

#include "tools/report/pdf.h"

namespace orvalinth::report {

std::unique_ptr<CXReportWriter> MakePdfWriter(CXDumpSink&, std::string* error) {
  *error = "--pdf is written by the Linux build of orvalinth only (it needs cairo and pango); use --html here";
  return nullptr;
}

}  // namespace orvalinth::report
