// The HTML writer: one self-contained page (inline style and script, nothing
// fetched), the summary at the top, the file and registry trees as nested
// <details> (closed below the second level, so that a page of 100,000
// changes opens quickly), the applications as tables that sort on a click
// on their heading, and a print style that opens every folder.

#include "base/strings.h"
#include "storage/reader/snapshot_dump_format.h"
#include "tools/report/describe.h"
#include "tools/report/writers.h"

namespace orvalinth::report {
namespace {

using snapshot_dump::Thousands;

const char kStyle[] = R"(<style>
body{font:14px/1.4 "DejaVu Sans","Noto Sans",Arial,sans-serif;margin:1.5em;color:#1c1c1c}
h1{font-size:1.6em;margin:0 0 .3em}h2{font-size:1.2em;margin:1.4em 0 .4em;border-bottom:1px solid #bbb}
table{border-collapse:collapse;margin:.4em 0}th,td{border:1px solid #ccc;padding:2px 8px;text-align:left;vertical-align:top}
th{background:#eee}th.s{cursor:pointer}th.s:after{content:" \2195";color:#999}td.n{text-align:right}
.info td:first-child{color:#555;white-space:nowrap}
details{margin-left:1.2em}details>summary{cursor:pointer}.tree>details{margin-left:0}
.e{margin-left:1.2em;white-space:pre-wrap}.d{color:#555;margin-left:1em}.c{color:#777;font-size:.85em;margin-left:.6em}.c:after{content:" below"}
.added{color:#0a6b0a}.removed{color:#a31515}.changed{color:#8a5a00}
.sum td.n{min-width:5em}.total td{font-weight:bold}
@media print{body{margin:0;font-size:10pt}details>summary{list-style:none}th.s:after{content:""}h2{break-after:avoid}tr{break-inside:avoid}}
</style>
)";

// Sorting by a click on a column heading: one sort of the rows, numbers by
// their data-v value; nothing that grows faster than n log n.
const char kScript[] = R"(<script>
document.addEventListener('click',function(e){var th=e.target.closest('th.s');if(!th)return;
var table=th.closest('table'),body=table.tBodies[0],i=Array.prototype.indexOf.call(th.parentNode.children,th);
var up=th.getAttribute('data-up')!=='1';th.setAttribute('data-up',up?'1':'0');
var rows=Array.prototype.slice.call(body.rows);
var key=function(r){var c=r.cells[i];if(!c)return '';var v=c.getAttribute('data-v');return v!==null?Number(v):c.textContent.toLowerCase();};
var keyed=rows.map(function(r){return [key(r),r];});
keyed.sort(function(a,b){return (a[0]<b[0]?-1:a[0]>b[0]?1:0)*(up?1:-1);});
var f=document.createDocumentFragment();keyed.forEach(function(k){f.appendChild(k[1]);});body.appendChild(f);});
window.addEventListener('beforeprint',function(){document.querySelectorAll('details').forEach(function(d){d.open=true;});});
</script>
)";

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string H(const std::u16string& text) { return Escape(Utf8(text)); }

const char* const kSectionTitles[3] = {"Registry", "Files", "Applications"};

class CXHtmlWriter final : public CXReportWriter {
 public:
  explicit CXHtmlWriter(CXDumpSink& out) : out_(out) {}

  void Begin(const SXReportHeader& h) override {
    local_ = h.local_time;
    comparison_ = h.comparison;
    below_ = h.below;
    const std::string title = comparison_ ? "Changes on " + Escape(snapshot_dump::Display8(h.new_side.info->computer, false))
                                          : "Snapshot of " + Escape(snapshot_dump::Display8(h.new_side.info->computer, false));
    out_.Write("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
               "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
               "script-src 'unsafe-inline'\">\n<title>" + title + "</title>\n");
    out_.Write(kStyle);
    out_.Write("</head><body>\n<h1>" + title + "</h1>\n");
    // Summary.
    out_.Write("<table class=\"sum\" id=\"summary\"><thead><tr><th>");
    if (comparison_) {
      out_.Write("changes</th><th>added</th><th>removed</th><th>changed</th></tr></thead><tbody>\n");
      for (const SXChangeCounts::Row& r : h.counts.rows) {
        out_.Write(Format("<tr><td>%s</td><td class=\"n\">%s</td><td class=\"n\">%s</td><td class=\"n\">%s</td></tr>\n",
                          H(r.label).c_str(), Thousands(r.added).c_str(), Thousands(r.removed).c_str(),
                          Thousands(r.changed).c_str()));
      }
      out_.Write(Format("<tr class=\"total\"><td>total</td><td class=\"n\">%s</td><td class=\"n\">%s</td><td class=\"n\">%s</td></tr>\n",
                        Thousands(h.counts.added).c_str(), Thousands(h.counts.removed).c_str(),
                        Thousands(h.counts.changed).c_str()));
    } else {
      out_.Write("totals</th><th>count</th></tr></thead><tbody>\n");
      for (const SXChangeCounts::Row& r : h.counts.rows) {
        out_.Write(Format("<tr><td>%s</td><td class=\"n\">%s</td></tr>\n", H(r.label).c_str(), Thousands(r.present).c_str()));
      }
    }
    out_.Write("</tbody></table>\n");
    if (comparison_ && h.counts.total() == 0) out_.Write("<p>No changes.</p>\n");
    out_.Write("<p>Filter: " + Escape(FilterText(*h.filter)) + "</p>\n");
    // The snapshots.
    out_.Write("<h2>Snapshots</h2>\n<table class=\"info\"><thead><tr><th></th>");
    out_.Write(comparison_ ? "<th>old</th><th>new</th>" : "<th>snapshot</th>");
    out_.Write("</tr></thead><tbody>\n");
    const auto lines_new = InfoLines(h.new_side);
    const auto lines_old = comparison_ ? InfoLines(h.old_side) : lines_new;
    for (size_t i = 0; i < lines_new.size(); ++i) {
      out_.Write("<tr><td>" + Escape(lines_new[i].first) + "</td>");
      if (comparison_) out_.Write("<td>" + Escape(lines_old[i].second) + "</td>");
      out_.Write("<td>" + Escape(lines_new[i].second) + "</td></tr>\n");
    }
    out_.Write("</tbody></table>\n");
  }

  void Change(const SXChange& c) override {
    if (section_kind_ != c.section_kind || section_ != *c.section || c.kind == SXEntryKind::kSection) {
      CloseSection();
      section_kind_ = c.section_kind;
      section_ = *c.section;
      out_.Write(Format("<h2>%s: %s</h2>\n", kSectionTitles[c.section_kind], H(section_).c_str()));
      if (c.section_kind == kReadApplications && c.kind != SXEntryKind::kSection) {
        out_.Write("<table class=\"apps\"><thead><tr>");
        if (comparison_) out_.Write("<th class=\"s\">change</th>");
        out_.Write("<th class=\"s\">kind</th><th class=\"s\">name</th><th class=\"s\">where</th><th class=\"s\">");
        out_.Write(comparison_ ? "what</th>" : "details</th>");
        out_.Write("</tr></thead><tbody>\n");
        table_ = true;
      } else if (c.kind != SXEntryKind::kSection) {
        out_.Write("<div class=\"tree\">\n");
        tree_ = true;
      }
    }
    const char* type = ChangeName(c.type);
    std::string detail;
    switch (c.type) {
      case SXChangeType::kAdded: detail = NewText(c, local_); break;
      case SXChangeType::kRemoved: detail = OldText(c, local_); break;
      case SXChangeType::kChanged: detail = ChangedText(c, local_); break;
      case SXChangeType::kPresent: detail = NewText(c, local_); break;
    }
    if (c.kind == SXEntryKind::kSection) {
      out_.Write(Format("<p class=\"%s\">section %s: %s</p>\n", type, type, Escape(detail).c_str()));
      return;
    }
    if (table_) {
      std::string where;
      for (size_t i = 1; i < c.parent->size(); ++i) where += (i == 1 ? "" : "\\") + Utf8((*c.parent)[i]);
      out_.Write("<tr class=\"" + std::string(type) + "\">");
      if (comparison_) out_.Write("<td>" + std::string(type) + "</td>");
      out_.Write("<td>" + Escape(KindName(c)) + "</td><td>" + H(c.name) + "</td><td>" + Escape(where) + "</td><td>" +
                 Escape(detail) + "</td></tr>\n");
      return;
    }
    const std::vector<std::u16string>& parent = *c.parent;
    size_t common = 0;
    while (common < open_.size() && common < parent.size() && open_[common] == parent[common]) ++common;
    while (open_.size() > common) {
      out_.Write("</details>\n");
      open_.pop_back();
    }
    for (size_t d = common; d < parent.size(); ++d) Open(c, parent, d, "", "");
    const bool node = c.kind == SXEntryKind::kFolder || c.kind == SXEntryKind::kKey || c.kind == SXEntryKind::kAppNode;
    const std::string sign = c.type == SXChangeType::kAdded ? "+ " : c.type == SXChangeType::kRemoved ? "- "
                             : c.type == SXChangeType::kChanged ? "~ " : "";
    std::string name = c.kind == SXEntryKind::kValue && c.name.empty() ? "(default)" : H(c.name);
    if (node && (c.type == SXChangeType::kPresent || c.type == SXChangeType::kChanged)) {
      std::vector<std::u16string> path = parent;
      path.push_back(c.name);
      Open(c, path, parent.size(), c.type == SXChangeType::kPresent ? "" : type, Escape(detail));
      return;
    }
    if (node) name += "\\";
    out_.Write("<div class=\"e " + std::string(type) + "\">" + sign + name + "<span class=\"d\">" + Escape(detail) +
               "</span></div>\n");
  }

  void End() override {
    CloseSection();
    out_.Write(kScript);
    out_.Write("</body></html>\n");
  }

 private:
  // Opens the folder path[depth] (path[0..depth) being open already). The
  // first two levels start open unless they hold more than kOpenMost
  // entries; deeper ones start closed: a folder of thousands of changes
  // costs the browser nothing until it is opened. The summary says how many
  // entries lie below.
  void Open(const SXChange& c, const std::vector<std::u16string>& path, size_t depth, const char* type,
            const std::string& detail) {
    constexpr uint64_t kOpenMost = 2000;
    uint64_t below = 0;
    if (below_ != nullptr) {
      const auto it = below_->find(NodeKey(*c.section, path, depth + 1));
      if (it != below_->end()) below = it->second;
    }
    const bool open = depth < 2 && below <= kOpenMost;
    const std::string count = below == 0 ? "" : Format("<span class=\"c\">%s</span>", Thousands(below).c_str());
    out_.Write(std::string("<details") + (open ? " open" : "") + "><summary" +
               (type[0] != 0 ? std::string(" class=\"") + type + "\"" : "") + ">" + H(path[depth]) + "\\" + count +
               (detail.empty() ? "" : "<span class=\"d\">" + detail + "</span>") + "</summary>\n");
    open_.push_back(path[depth]);
  }

  void CloseSection() {
    while (!open_.empty()) {
      out_.Write("</details>\n");
      open_.pop_back();
    }
    if (tree_) out_.Write("</div>\n");
    if (table_) out_.Write("</tbody></table>\n");
    tree_ = table_ = false;
  }

  CXDumpSink& out_;
  bool local_ = true;
  bool comparison_ = true;
  int section_kind_ = -1;
  std::u16string section_;
  std::vector<std::u16string> open_;
  bool tree_ = false, table_ = false;
  const std::unordered_map<std::u16string, uint64_t>* below_ = nullptr;
};

}  // namespace

std::unique_ptr<CXReportWriter> MakeHtmlWriter(CXDumpSink& out) { return std::make_unique<CXHtmlWriter>(out); }

}  // namespace orvalinth::report
