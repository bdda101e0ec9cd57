// The fleet API's reports, comparisons and downloads of stored snapshots:
// the report engine (tools/report/) run on the stored files with the
// default filter the comparison on arrival uses, as "orvalinth report" and
// "orvalinth diff" run it, its JSON lines or its HTML page as the answer.
//
// The engine walks twice (the counts first: the page's summary comes
// before its entries) and its output is built in memory, up to a bound: a
// report larger than that is refused, and the snapshot's download (with
// "orvalinth report" on it) is the way to read it.

#include <climits>

#include "platform/files.h"
#include "server/change_file.h"
#include "server/comparison.h"
#include "server/web_api_internal.h"
#include "tools/report/change.h"
#include "tools/report/compare.h"
#include "tools/report/snapshot_stream.h"
#include "tools/report/writers.h"

namespace orvalinth::server::web_api {
namespace {

constexpr size_t kReportMax = size_t{128} << 20;

// The page may be shown in a frame of the console, and runs nothing.
const char kReportPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:; frame-ancestors 'self'; sandbox";

// Thrown by the sink through the engine (which passes on what is not a read fault).
struct SXTooLarge {};

class CXBoundedSink final : public CXDumpSink {
 public:
  void Write(std::string_view text) override {
    if (text_.size() + text.size() > kReportMax) throw SXTooLarge{};
    text_.append(text.data(), text.size());
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

// One stored snapshot opened for the engine.
struct SXOpened {
  SXSnapshotRow row;
  std::string label;  // the download's name, which the report shows and its faults begin with
  report::CXSnapshotStream stream;
};

// Opens snapshot `id`; false with *error (404 for a row or file that is not there, 422 for a file that does not read).
bool OpenSnapshot(const SXApiContext& c, int64_t id, SXOpened* out, SXWebResponse* error) {
  SXCatalogStatus s = c.catalog->GetSnapshot(id, &out->row);
  if (!s) return *error = CatalogError(s), false;
  SXMachineRow machine;
  s = c.catalog->GetMachine(out->row.uid, &machine);
  if (!s && !s.not_found()) return *error = CatalogError(s), false;
  out->label = SnapshotFileName(machine.name, out->row.number);
  const std::u16string path = PlatformPath(c.data_folder + "/" + out->row.path);
  if (platform::FileSystem::Get().Attributes(path) == platform::kInvalidAttributes) {
    *error = NotFound("the file of snapshot " + std::to_string(id) + " is gone from the data folder");
    return false;
  }
  out->stream.set_label(out->label);
  if (!out->stream.Open(path)) {
    *error = JsonError(422, "unreadable", out->stream.fault().message);
    return false;
  }
  return true;
}

// Runs `walk` for the counts and then for the writer of `format`.
template <class Walk>
SXWebResponse Produce(const std::string& format, report::SXReportHeader& header, Walk&& walk,
                      const SXReadFault& fault) {
  report::CXCountingSink counting;
  if (!walk(counting)) return JsonError(422, "unreadable", fault.message);
  header.counts = counting.counts();
  header.below = &counting.below();
  header.local_time = false;  // the console is read from anywhere: UTC
  CXBoundedSink out;
  const bool html = format == "html";
  std::unique_ptr<report::CXReportWriter> writer = html ? report::MakeHtmlWriter(out) : report::MakeJsonWriter(out);
  try {
    writer->Begin(header);
    if (!walk(*writer)) return JsonError(422, "unreadable", fault.message);
    writer->End();
  } catch (const SXTooLarge&) {
    return JsonError(413, "too-large",
                     "the report is larger than 128 MiB: download the snapshot and run orvalinth report on it");
  }
  SXWebResponse response;
  response.body = std::move(out.text());
  if (html) {
    response.content_type = "text/html; charset=utf-8";
    response.headers.emplace_back("Content-Security-Policy", kReportPolicy);
  } else {
    response.content_type = "application/x-ndjson";  // one JSON object a line, one line per entry
  }
  return response;
}

SXWebResponse Report(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  const std::string format = p.Choice("format", {"json", "html"}, "json");
  if (!p.ok()) return p.Error();
  SXOpened s;
  SXWebResponse error;
  if (!OpenSnapshot(c, id, &s, &error)) return error;
  const std::shared_ptr<const report::CXReportFilter> filter = DefaultFilter();
  report::SXReportHeader header;
  header.comparison = false;
  header.new_side = report::SXReportSide{s.label, s.stream.file_size(), &s.stream.info()};
  header.filter = filter.get();
  SXReadFault fault;
  const auto walk = [&](report::CXChangeSink& sink) { return report::WalkSnapshot(s.stream, *filter, sink, &fault); };
  return Produce(format, header, walk, fault);
}

SXWebResponse Compare(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t old_id = p.Number("old", 0, 1, INT64_MAX);
  const int64_t new_id = p.Number("new", 0, 1, INT64_MAX);
  if (p.ok() && old_id == 0) p.Bad("old", "the id of the older snapshot");
  if (p.ok() && new_id == 0) p.Bad("new", "the id of the newer snapshot");
  const std::string format = p.Choice("format", {"json", "html"}, "json");
  if (!p.ok()) return p.Error();
  // Two snapshots of different machines compare as well: the person asked for them.
  SXOpened a, b;
  SXWebResponse error;
  if (!OpenSnapshot(c, old_id, &a, &error) || !OpenSnapshot(c, new_id, &b, &error)) return error;
  const std::shared_ptr<const report::CXReportFilter> filter = DefaultFilter();
  report::SXReportHeader header;
  header.comparison = true;
  header.old_side = report::SXReportSide{a.label, a.stream.file_size(), &a.stream.info()};
  header.new_side = report::SXReportSide{b.label, b.stream.file_size(), &b.stream.info()};
  header.filter = filter.get();
  SXReadFault fault;
  const auto walk = [&](report::CXChangeSink& sink) {
    return report::CompareSnapshots(a.stream, b.stream, *filter, sink, &fault);
  };
  return Produce(format, header, walk, fault);
}

SXWebResponse File(const SXApiContext& c, const SXWebRequest& r) {
  CXParams p(r);
  const int64_t id = p.Id("id");
  if (!p.ok()) return p.Error();
  SXSnapshotRow row;
  SXCatalogStatus s = c.catalog->GetSnapshot(id, &row);
  if (!s) return CatalogError(s);
  SXMachineRow machine;
  s = c.catalog->GetMachine(row.uid, &machine);
  if (!s && !s.not_found()) return CatalogError(s);
  const std::string path = c.data_folder + "/" + row.path;
  if (platform::FileSystem::Get().Attributes(PlatformPath(path)) == platform::kInvalidAttributes) {
    return NotFound("the file of snapshot " + std::to_string(id) + " is gone from the data folder");
  }
  SXWebResponse response;
  response.content_type = "application/octet-stream";
  response.file_path = path;
  response.download_name = SnapshotFileName(machine.name, row.number);
  return response;
}

}  // namespace

void AddReportRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes) {
  const SXApiContext* c = &context;
  const auto get = [c](std::string pattern, std::string summary,
                       SXWebResponse (*f)(const SXApiContext&, const SXWebRequest&)) {
    SXWebRoute route;
    route.method = "GET";
    route.pattern = std::move(pattern);
    route.summary = std::move(summary);
    route.handler = Guarded([c, f](const SXWebRequest& r, WebReply reply) { reply(f(*c, r)); });
    return route;
  };
  routes->push_back(get("/api/v1/snapshots/{id}/report", "the report engine's report of the snapshot (json or html)",
                        Report));
  routes->push_back(get("/api/v1/snapshots/{id}/file", "the snapshot file as the agent sent it", File));
  routes->push_back(get("/api/v1/compare", "the report engine's comparison of two snapshots (json or html)", Compare));
}

}  // namespace orvalinth::server::web_api
