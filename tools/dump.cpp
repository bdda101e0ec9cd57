// orvalinth dump: shows a snapshot file, checking every byte of it.

#include <cstdio>
#include <string>

#include "base/strings.h"
#include "platform/console.h"
#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_reader.h"
#include "tools/commands.h"

namespace orvalinth::tools {
namespace {

const char kHelp[] =
    "usage: orvalinth dump [--summary | --json] [--utc] FILE\n"
    "\n"
    "Reads the snapshot file FILE, checks every block and record of it, and shows\n"
    "what it holds:\n"
    "  (default)   the snapshot's info (title, time, computer, operating system,\n"
    "              user, elapsed time, counters, scan request), then every section\n"
    "              as an indented tree of keys and values, folders and files, and\n"
    "              applications, then the version records and the files using them\n"
    "  --summary   the info and the counts only (sections, keys, values, folders,\n"
    "              files, bytes, items, links, errors, version records)\n"
    "  --json      the whole decoded snapshot as one JSON object (UTF-8)\n"
    "  --utc       file times in UTC instead of local time\n"
    "\n"
    "Exit code: 0 when the file reads completely; 1 when it cannot be read or is not\n"
    "a complete, sound snapshot (the message names the file offset, and the payload\n"
    "offset inside a block, where the fault was found); 2 for a usage error.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "orvalinth dump: %s\n", problem.c_str());
  std::fputs("usage: orvalinth dump [--summary | --json] [--utc] FILE (orvalinth dump --help)\n", stderr);
  return 2;
}

// Standard output in large pieces, with the platform's line ends.
class CXStdoutSink final : public CXDumpSink {
 public:
  ~CXStdoutSink() override { Flush(); }
  void Write(std::string_view text) override {
    for (char c : text) {
      if (c == '\n') {
        buffer_ += platform::kNewline;
      } else {
        buffer_ += c;
      }
    }
    if (buffer_.size() >= (1u << 16)) Flush();
  }
  void Flush() {
    if (!buffer_.empty()) platform::WriteStdout(buffer_);
    buffer_.clear();
  }

 private:
  std::string buffer_;
};

// The command-line path in Windows form: "/" becomes "\", as both backends take it.
std::u16string WindowsPath(const std::string& argument) {
  std::u16string path = DecodeUtf8(argument);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

}  // namespace

int RunDumpCommand(const std::vector<std::string>& arguments) {
  enum class View { kText, kSummary, kJson } view = View::kText;
  bool view_given = false;
  SXDumpOptions options;
  std::string file;
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--summary" || a == "--json") {
      if (view_given) return Usage("--summary and --json exclude each other");
      view = a == "--json" ? View::kJson : View::kSummary;
      view_given = true;
    } else if (a == "--utc") {
      options.local_time = false;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option '" + a + "'");
    } else if (!file.empty()) {
      return Usage("one snapshot file at a time");
    } else {
      file = a;
    }
  }
  if (file.empty()) return Usage("no snapshot file given");

  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  if (!reader.ReadFile(WindowsPath(file), &snapshot)) {
    std::fprintf(stderr, "orvalinth dump: %s: %s\n", file.c_str(), reader.fault().message.c_str());
    return 1;
  }
  SXDumpDocument document;
  document.snapshot = &snapshot;
  document.file_name = file;
  document.remarks = reader.remarks();
  document.remark_count = reader.remark_count();
  CXStdoutSink out;
  switch (view) {
    case View::kText: DumpText(document, options, out); break;
    case View::kSummary: DumpSummary(document, options, out); break;
    case View::kJson: DumpJson(document, out); break;
  }
  return 0;
}

}  // namespace orvalinth::tools
