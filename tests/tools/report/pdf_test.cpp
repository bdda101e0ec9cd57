// The PDF writer in one process, document after document: each is whole,
// and none ends the process. Pango sorts the fonts of a document on a
// thread of its own, which may still be at work when the document is done;
// the writer once let the process's font caches go after each document,
// and fontconfig or cairo then aborted now and then. Host only (the Windows
// build has no PDF writer).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/report/pdf.h"

namespace orvalinth::report {
namespace {

TEST(PdfWriter, DocumentAfterDocumentInOneProcess) {
  SXReadInfo info;
  info.computer = "PC-ADMIN7";
  CXReportFilter filter;
  SXReportHeader header;
  header.comparison = false;
  header.new_side = SXReportSide{"one.snp", 4096, &info};
  header.filter = &filter;
  header.counts.present = 1;
  const std::u16string section = u"C:\\";
  const std::vector<std::u16string> parent = {u"C:\\", u"Data"};
  SXReadFile file;
  file.size = 100;
  file.last_write = 133444736000000000LL;
  // Names in scripts that other fonts than the first hold, so that every
  // document asks fontconfig for its fallbacks.
  const std::u16string names[] = {u"\u043e\u0442\u0447\u0451\u0442.txt", u"\u8cc7\u6599.txt",
                                  u"\u0645\u0644\u0641.txt", u"\u05e7\u05d5\u05d1\u05e5.txt",
                                  u"\u0a2b\u0a3e\u0a08\u0a32.txt", u"plain.txt"};
  for (int i = 0; i < 40; ++i) {
    CXStringSink out;
    std::string error;
    std::unique_ptr<CXReportWriter> writer = MakePdfWriter(out, &error);
    ASSERT_NE(writer, nullptr) << error;
    writer->Begin(header);
    SXChange change;
    change.kind = SXEntryKind::kFile;
    change.section_kind = kReadFiles;
    change.section = &section;
    change.parent = &parent;
    change.name = names[i % 6];
    change.new_file = &file;
    writer->Change(change);
    writer->End();
    writer.reset();
    ASSERT_EQ(out.text().compare(0, 5, "%PDF-"), 0) << "document " << i;
    EXPECT_NE(out.text().rfind("%%EOF"), std::string::npos) << "document " << i;
  }
}

}  // namespace
}  // namespace orvalinth::report

#endif  // _WIN32
