#include "tools/report/report_command.h"

#include <cstdio>
#include <memory>

#include "base/strings.h"
#include "platform/console.h"
#include "platform/files.h"
#include "storage/reader/snapshot_dump.h"
#include "tools/report/compare.h"
#include "tools/report/pdf.h"
#include "tools/report/writers.h"

namespace orvalinth::report {
namespace {

const char kDiffHelp[] =
    "usage: orvalinth diff [options] OLD.snp NEW.snp\n"
    "\n"
    "Compares two snapshot files and shows what changed from OLD to NEW: files,\n"
    "folders, registry keys and values, and the applications (startup entries,\n"
    "services, drivers, processes, programs, handles, ports). A folder or key that\n"
    "only one snapshot has is one change, with what it holds. Files change when\n"
    "their last-write time or size differs (attributes alone are not a change).\n"
    "\n"
    "  (default)     a summary (counts per kind and category), then the changes as an\n"
    "                indented tree: + added, - removed, ~ changed\n"
    "  --json        one JSON object a line, one line per change\n"
    "  --csv FILE    one row per change (UTF-8 with a byte-order mark)\n"
    "  --html FILE   one self-contained page, for a browser, offline\n"
    "  --pdf FILE    a paged A4 document\n"
    "  --filter FILE rules of what to leave out (see default.filter beside the program)\n"
    "  --mode N      files: 0 every file, 1 or 3 executables only, 2 all but executables\n"
    "  --utc         times in UTC instead of local time (text, HTML, PDF)\n"
    "\n"
    "With --csv, --html or --pdf only the summary goes to the standard output.\n"
    "Exit code: 0 when both files were compared; 1 when one cannot be read or is not\n"
    "a sound snapshot, or an output cannot be written; 2 for a usage error.\n";

const char kReportHelp[] =
    "usage: orvalinth report [options] SNAP.snp\n"
    "\n"
    "Shows one snapshot file: its info block (machine, operating system, user,\n"
    "time, elapsed time, counters, scan request), its targets and totals, the\n"
    "applications categories, and the registry and file trees with a roll-up of\n"
    "what each key and folder holds. Options as for \"orvalinth diff\":\n"
    "--json, --csv FILE, --html FILE, --pdf FILE, --filter FILE, --mode N, --utc.\n";

// A file written through the platform's file system in large pieces; the
// file is removed again when a write fails.
class CXFileSink final : public CXDumpSink {
 public:
  bool Open(const std::string& name) {
    name_ = name;
    path_ = DecodeUtf8(name);
    for (char16_t& c : path_) {
      if (c == u'/') c = u'\\';
    }
    file_ = platform::FileSystem::Get().Open(path_, platform::kOpenCreate);
    return file_ != nullptr;
  }
  void Write(std::string_view text) override {
    buffer_.append(text.data(), text.size());
    if (buffer_.size() >= (1u << 20)) Flush();
  }
  bool Close() {
    Flush();
    file_.reset();
    if (failed_) platform::FileSystem::Get().RemoveFile(path_);
    return !failed_;
  }

 private:
  void Flush() {
    if (buffer_.empty() || failed_) return;
    uint32_t written = 0;
    if (!file_->Write(buffer_.data(), static_cast<uint32_t>(buffer_.size()), &written) || written != buffer_.size()) {
      failed_ = true;
    }
    buffer_.clear();
  }

  std::string name_;
  std::u16string path_;
  std::unique_ptr<platform::File> file_;
  std::string buffer_;
  bool failed_ = false;
};

class CXStdoutSink final : public CXDumpSink {
 public:
  ~CXStdoutSink() override { Flush(); }
  void Write(std::string_view text) override {
    buffer_.append(platform::TextModeLineEnds(text));
    if (buffer_.size() >= (1u << 16)) Flush();
  }
  void Flush() {
    if (!buffer_.empty()) platform::WriteStdout(buffer_);
    buffer_.clear();
  }

 private:
  std::string buffer_;
};

// Only the summary: the text writer's header.
class CXSummaryOnly final : public CXReportWriter {
 public:
  explicit CXSummaryOnly(CXDumpSink& out) : text_(MakeTextWriter(out)) {}
  void Begin(const SXReportHeader& h) override { text_->Begin(h); }
  void Change(const SXChange&) override {}
  void End() override {}

 private:
  std::unique_ptr<CXReportWriter> text_;
};

struct Options {
  bool json = false;
  bool utc = false;
  std::string csv, html, pdf, filter_file;
  int mode = -1;
  std::vector<std::string> files;
};

int Usage(const char* command, const std::string& problem) {
  std::fprintf(stderr, "orvalinth %s: %s (orvalinth %s --help)\n", command, problem.c_str(), command);
  return 2;
}

// 0 when parsed, else the exit code (help: -1).
int Parse(const char* command, const std::vector<std::string>& arguments, Options* o) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    const auto value = [&](std::string* to) {
      if (i + 1 >= arguments.size()) return false;
      *to = arguments[++i];
      return true;
    };
    if (a == "--help" || a == "-h") return -1;
    if (a == "--json") {
      o->json = true;
    } else if (a == "--utc") {
      o->utc = true;
    } else if (a == "--csv" || a == "--html" || a == "--pdf" || a == "--filter") {
      std::string* to = a == "--csv" ? &o->csv : a == "--html" ? &o->html : a == "--pdf" ? &o->pdf : &o->filter_file;
      if (!value(to) || to->empty()) return Usage(command, a + " needs a file name");
    } else if (a == "--mode") {
      std::string m;
      if (!value(&m) || m.size() != 1 || m[0] < '0' || m[0] > '3') return Usage(command, "--mode takes 0, 1, 2 or 3");
      o->mode = m[0] - '0';
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(command, "unknown option '" + a + "'");
    } else {
      o->files.push_back(a);
    }
  }
  return 0;
}

// Runs the walk once for each output: `walk(sink)` is 1 when it read through.
template <class Walk>
int Produce(const char* command, const Options& o, SXReportHeader& header, Walk&& walk, SXReadFault* fault) {
  CXCountingSink counting;
  if (!walk(counting)) return 0;
  header.counts = counting.counts();
  header.below = &counting.below();
  header.local_time = !o.utc;

  const auto to_file = [&](const std::string& name, auto make) -> int {
    CXFileSink file;
    if (!file.Open(name)) {
      fault->message = "cannot create " + name;
      return 0;
    }
    std::string error;
    std::unique_ptr<CXReportWriter> writer = make(file, &error);
    if (!writer) {
      file.Close();
      platform::FileSystem::Get().RemoveFile(DecodeUtf8(name));
      fault->message = error;
      return 0;
    }
    writer->Begin(header);
    const int ok = walk(*writer);
    writer->End();
    writer.reset();
    if (!file.Close() && ok) {
      fault->message = "cannot write " + name + " (is the disk full?)";
      return 0;
    }
    return ok;
  };
  if (!o.csv.empty() && !to_file(o.csv, [](CXDumpSink& s, std::string*) { return MakeCsvWriter(s); })) return 0;
  if (!o.html.empty() && !to_file(o.html, [](CXDumpSink& s, std::string*) { return MakeHtmlWriter(s); })) return 0;
  if (!o.pdf.empty() && !to_file(o.pdf, [](CXDumpSink& s, std::string* e) { return MakePdfWriter(s, e); })) return 0;

  CXStdoutSink out;
  const bool files = !o.csv.empty() || !o.html.empty() || !o.pdf.empty();
  std::unique_ptr<CXReportWriter> writer = o.json ? MakeJsonWriter(out)
                                           : files ? std::unique_ptr<CXReportWriter>(new CXSummaryOnly(out))
                                                   : MakeTextWriter(out);
  writer->Begin(header);
  if (!dynamic_cast<CXSummaryOnly*>(writer.get()) && !walk(*writer)) return 0;
  writer->End();
  if (files && !o.json) {
    std::string where = "\n";
    if (!o.csv.empty()) where += "CSV:  " + o.csv + "\n";
    if (!o.html.empty()) where += "HTML: " + o.html + "\n";
    if (!o.pdf.empty()) where += "PDF:  " + o.pdf + "\n";
    out.Write(where);
  }
  (void)command;
  return 1;
}

int Open(const char* command, const std::string& file, CXSnapshotStream* stream) {
  stream->set_label(file);
  std::u16string path = DecodeUtf8(file);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  if (stream->Open(path)) return 1;
  std::fprintf(stderr, "orvalinth %s: %s\n", command, stream->fault().message.c_str());
  return 0;
}

int LoadFilter(const char* command, const Options& o, CXReportFilter* filter) {
  if (o.mode >= 0) filter->set_mode(o.mode);
  if (o.filter_file.empty()) return 1;
  std::string error;
  if (filter->Load(o.filter_file, &error)) return 1;
  std::fprintf(stderr, "orvalinth %s: %s\n", command, error.c_str());
  return 0;
}

}  // namespace

int RunDiffCommand(const std::vector<std::string>& arguments) {
  Options o;
  const int parsed = Parse("diff", arguments, &o);
  if (parsed == -1) {
    std::fputs(kDiffHelp, stdout);
    return 0;
  }
  if (parsed != 0) return parsed;
  if (o.files.size() != 2) return Usage("diff", "give two snapshot files, the old one first");
  CXReportFilter filter;
  if (!LoadFilter("diff", o, &filter)) return 2;
  CXSnapshotStream a, b;
  if (!Open("diff", o.files[0], &a) || !Open("diff", o.files[1], &b)) return 1;
  SXReportHeader header;
  header.comparison = true;
  header.old_side = SXReportSide{o.files[0], a.file_size(), &a.info()};
  header.new_side = SXReportSide{o.files[1], b.file_size(), &b.info()};
  header.filter = &filter;
  SXReadFault fault;
  const auto walk = [&](CXChangeSink& sink) { return CompareSnapshots(a, b, filter, sink, &fault); };
  if (!Produce("diff", o, header, walk, &fault)) {
    std::fprintf(stderr, "orvalinth diff: %s\n", fault.message.c_str());
    return 1;
  }
  return 0;
}

int RunReportCommand(const std::vector<std::string>& arguments) {
  Options o;
  const int parsed = Parse("report", arguments, &o);
  if (parsed == -1) {
    std::fputs(kReportHelp, stdout);
    return 0;
  }
  if (parsed != 0) return parsed;
  if (o.files.size() != 1) return Usage("report", "give one snapshot file");
  CXReportFilter filter;
  if (!LoadFilter("report", o, &filter)) return 2;
  CXSnapshotStream s;
  if (!Open("report", o.files[0], &s)) return 1;
  SXReportHeader header;
  header.comparison = false;
  header.new_side = SXReportSide{o.files[0], s.file_size(), &s.info()};
  header.filter = &filter;
  SXReadFault fault;
  const auto walk = [&](CXChangeSink& sink) { return WalkSnapshot(s, filter, sink, &fault); };
  if (!Produce("report", o, header, walk, &fault)) {
    std::fprintf(stderr, "orvalinth report: %s\n", fault.message.c_str());
    return 1;
  }
  return 0;
}

}  // namespace orvalinth::report
