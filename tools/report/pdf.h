#pragma once
// The PDF writer: paged A4 through cairo and pango, in the Linux build of
// the console only (the Windows build answers --pdf with an error).

#include <memory>
#include <string>

#include "tools/report/writers.h"

namespace orvalinth::report {

// Null with *error when this build cannot write PDF.
std::unique_ptr<CXReportWriter> MakePdfWriter(CXDumpSink& out, std::string* error);

}  // namespace orvalinth::report
