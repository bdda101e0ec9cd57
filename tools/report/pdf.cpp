// The PDF writer: A4 pages drawn with cairo, text laid out by pango (which
// takes the glyphs of any script from the fonts fontconfig knows: Noto for
// Latin, Cyrillic, Greek, Arabic, Hebrew, Indic scripts and CJK). A title
// page with the snapshots and the counts, then the entries as a table of
// four columns that breaks across pages, its heading repeated on each;
// every page has a header line and "page N of M".

#include "tools/report/pdf.h"

#include <cairo-pdf.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/strings.h"
#include "storage/reader/snapshot_dump_format.h"
#include "tools/report/describe.h"

namespace orvalinth::report {
namespace {

using snapshot_dump::Thousands;

constexpr double kPageWidth = 595.276;   // A4 in points
constexpr double kPageHeight = 841.890;
constexpr double kMargin = 42;
constexpr double kTop = kMargin + 24;     // below the header line
constexpr double kBottom = kPageHeight - kMargin - 18;  // above the page number
constexpr double kPadding = 2;
constexpr double kHeadingSize = 9;
const char kFont[] = "Noto Sans, DejaVu Sans";

cairo_status_t WriteTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<CXDumpSink*>(closure)->Write(std::string_view(reinterpret_cast<const char*>(data), length));
  return CAIRO_STATUS_SUCCESS;
}

// A table's look: its columns, its heading (repeated on every page it
// reaches) and its type size.
struct SXPdfTable {
  std::vector<double> widths;
  std::vector<std::string> heading;
  double size = 9;  // of the rows; the heading's is kHeadingSize
  bool changes = false;  // the table of entries: shaded every other row, the change word coloured
};

// A table of the title page with its title above it; `last_bold` for a totals row.
struct SXPdfGroup {
  std::string title;
  SXPdfTable table;
  std::vector<std::vector<std::string>> rows;
  bool last_bold = false;
};

// The page total goes into every footer, and a finished cairo page cannot
// be drawn on again: the document is laid out twice. The first pass, while
// the entries stream in, measures every row and breaks the pages without
// drawing anything, and keeps each row's cells and height; End() then
// draws the same pages from what was kept, now knowing their number. The
// rows are kept as text only (a few hundred bytes each), not as drawings.
class CXPdfWriter final : public CXReportWriter {
 public:
  explicit CXPdfWriter(CXDumpSink& out) : out_(out) {
    surface_ = cairo_pdf_surface_create_for_stream(WriteTo, &out_, kPageWidth, kPageHeight);
    cr_ = cairo_create(surface_);
    layout_ = pango_cairo_create_layout(cr_);
    // The page is measured in points: at pango's default of 96 dots an inch
    // a 7.5 pt font would come out at 10 pt.
    pango_cairo_context_set_resolution(pango_layout_get_context(layout_), 72.0);
    pango_layout_context_changed(layout_);
    pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
    // A text longer than a page body ends in an ellipsis rather than
    // running past the bottom margin.
    pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_END);
    pango_layout_set_height(layout_, -kMaxLines);
    // A name broken inside a word shows no hyphen that is not in it.
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
    pango_layout_set_attributes(layout_, attributes);
    pango_attr_list_unref(attributes);
  }
  ~CXPdfWriter() override {
    g_object_unref(layout_);
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }

  bool ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }

  void Begin(const SXReportHeader& h) override {
    local_ = h.local_time;
    comparison_ = h.comparison;
    total_ = comparison_ ? h.counts.added + h.counts.removed + h.counts.changed : h.counts.present;
    const std::string machine = snapshot_dump::Display8(h.new_side.info->computer, false);
    title_ = (comparison_ ? "Changes on " : "Snapshot of ") + machine;
    subtitle_ = comparison_ ? h.old_side.file + "  \u2192  " + h.new_side.file : h.new_side.file;
    filter_ = "Filter: " + FilterText(*h.filter);
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_TITLE, title_.c_str());
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "orvalinth");

    // The counts.
    counts_.title = comparison_ ? "Summary of changes" : "Totals";
    counts_.table.widths = comparison_ ? std::vector<double>{200, 70, 70, 70} : std::vector<double>{200, 90};
    counts_.table.heading = comparison_ ? std::vector<std::string>{"", "added", "removed", "changed"}
                                        : std::vector<std::string>{"", "count"};
    for (const SXChangeCounts::Row& r : h.counts.rows) {
      counts_.rows.push_back(comparison_ ? std::vector<std::string>{Utf8(r.label), Thousands(r.added), Thousands(r.removed),
                                                                    Thousands(r.changed)}
                                         : std::vector<std::string>{Utf8(r.label), Thousands(r.present)});
    }
    if (comparison_) {
      counts_.rows.push_back({"total", Thousands(h.counts.added), Thousands(h.counts.removed), Thousands(h.counts.changed)});
      counts_.last_bold = true;
    }

    // The snapshots.
    snapshots_.title = "Snapshots";
    const double free = kPageWidth - 2 * kMargin - 110;
    snapshots_.table.widths = comparison_ ? std::vector<double>{110, free / 2, free / 2} : std::vector<double>{110, free};
    snapshots_.table.heading = comparison_ ? std::vector<std::string>{"", "old", "new"}
                                           : std::vector<std::string>{"", "snapshot"};
    const auto lines_new = InfoLines(h.new_side);
    const auto lines_old = comparison_ ? InfoLines(h.old_side) : lines_new;
    for (size_t i = 0; i < lines_new.size(); ++i) {
      snapshots_.rows.push_back(comparison_
                                    ? std::vector<std::string>{lines_new[i].first, lines_old[i].second, lines_new[i].second}
                                    : std::vector<std::string>{lines_new[i].first, lines_new[i].second});
    }

    entries_.widths = TableWidths();
    entries_.heading = comparison_ ? std::vector<std::string>{"change", "kind", "path", "what"}
                                   : std::vector<std::string>{"kind", "path", "details"};
    entries_.size = 7.5;
    entries_.changes = true;
    TitlePage();
  }

  void Change(const SXChange& c) override {
    std::string detail;
    switch (c.type) {
      case SXChangeType::kAdded: detail = NewText(c, local_); break;
      case SXChangeType::kRemoved: detail = OldText(c, local_); break;
      case SXChangeType::kChanged: detail = ChangedText(c, local_); break;
      case SXChangeType::kPresent: detail = NewText(c, local_); break;
    }
    std::string path = Utf8(EntryPath(c));
    if (c.kind == SXEntryKind::kValue && c.name.empty()) path += "(default)";
    const std::vector<std::string> cells = comparison_
        ? std::vector<std::string>{ChangeName(c.type), KindName(c), path, detail}
        : std::vector<std::string>{KindName(c), path, detail};
    const double height = RowHeight(entries_, cells, false);
    Keep(cells, height);
    EntryRow(cells, height);
  }

  void End() override {
    // The first pass is over: the page total is known; now draw.
    pages_ = page_;
    drawing_ = true;
    page_ = 0;
    row_ = 0;
    table_started_ = false;
    TitlePage();
    std::vector<std::string> cells;
    double height = 0;
    for (size_t at = 0; at < kept_.size();) {
      at = Kept(at, &cells, &height);
      EntryRow(cells, height);
    }
    FinishPage();
    cairo_surface_finish(surface_);
  }

 private:
  static constexpr int kMaxLines = 20;

  std::vector<double> TableWidths() const {
    const double w = kPageWidth - 2 * kMargin;
    return comparison_ ? std::vector<double>{52, 80, w * 0.45, w - 132 - w * 0.45}
                       : std::vector<double>{80, w * 0.5, w - 80 - w * 0.5};
  }

  // The title page: the title, the files, the counts, the filter, the
  // snapshots' info. A block that would cross the bottom margin goes to the
  // next page; a table with its title moves whole when it fits on one page.
  void TitlePage() {
    NewPage(nullptr);
    y_ = kMargin;
    Paragraph(title_, 20, true, 0);
    Paragraph(subtitle_, 10, false, 10);
    Group(counts_);
    y_ += 6;
    Paragraph(filter_, 9, false, 12);
    Group(snapshots_);
    if (total_ == 0) {
      y_ += 10;
      Paragraph(comparison_ ? "No changes." : "Nothing recorded.", 12, true, 0);
    }
  }

  void Paragraph(const std::string& text, double size, bool bold, double gap) {
    const double height = Measure(kPageWidth - 2 * kMargin, text, size, bold);
    if (y_ + height > kBottom) BreakPage(nullptr);
    Text(kMargin, y_, kPageWidth - 2 * kMargin, text, size, bold);
    y_ += height + gap;
  }

  void Group(const SXPdfGroup& g) {
    const double title = Measure(300, g.title, 13, true) + 4;
    const double heading = RowHeight(g.table, g.table.heading, true, true);
    std::vector<double> heights;
    double whole = title + heading;
    for (size_t i = 0; i < g.rows.size(); ++i) {
      heights.push_back(RowHeight(g.table, g.rows[i], g.last_bold && i + 1 == g.rows.size()));
      whole += heights.back();
    }
    // What must share the page with the title: the whole table when a page
    // can hold it, else its heading and first two rows.
    double together = whole;
    if (whole > kBottom - kTop) {
      together = title + heading;
      for (size_t i = 0; i < heights.size() && i < 2; ++i) together += heights[i];
    }
    if (y_ + together > kBottom) BreakPage(nullptr);
    Text(kMargin, y_, 300, g.title, 13, true);
    y_ += title;
    Row(g.table, g.table.heading, true, heading, true);
    for (size_t i = 0; i < g.rows.size(); ++i) {
      if (y_ + heights[i] > kBottom) BreakPage(&g.table);
      Row(g.table, g.rows[i], g.last_bold && i + 1 == g.rows.size(), heights[i]);
    }
  }

  // A row of the entries' table, which starts on a page of its own and
  // breaks across pages with its heading repeated.
  void EntryRow(const std::vector<std::string>& cells, double height) {
    if (!table_started_) {
      table_started_ = true;
      BreakPage(&entries_);
    } else if (y_ + height > kBottom) {
      BreakPage(&entries_);
    }
    ++row_;
    Row(entries_, cells, false, height);
  }

  // The rows of the entries as the second pass reads them: per row its
  // height, then each cell as a length and its bytes.
  void Keep(const std::vector<std::string>& cells, double height) {
    kept_.append(reinterpret_cast<const char*>(&height), sizeof height);
    for (const std::string& cell : cells) {
      const uint32_t size = static_cast<uint32_t>(cell.size());
      kept_.append(reinterpret_cast<const char*>(&size), sizeof size);
      kept_ += cell;
    }
  }
  size_t Kept(size_t at, std::vector<std::string>* cells, double* height) const {
    std::memcpy(height, kept_.data() + at, sizeof *height);
    at += sizeof *height;
    cells->resize(entries_.heading.size());
    for (std::string& cell : *cells) {
      uint32_t size = 0;
      std::memcpy(&size, kept_.data() + at, sizeof size);
      at += sizeof size;
      cell.assign(kept_, at, size);
      at += size;
    }
    return at;
  }

  // Lays out `text` at (x, y) within `width` (drawing it in the second
  // pass); returns its height.
  double Text(double x, double y, double width, const std::string& text, double size, bool bold) {
    Layout(width, text, size, bold);
    if (drawing_) {
      cairo_move_to(cr_, x, y);
      pango_cairo_show_layout(cr_, layout_);
    }
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout_, &w, &h);
    return h;
  }

  void Layout(double width, const std::string& text, double size, bool bold) {
    PangoFontDescription* font = pango_font_description_from_string(kFont);
    pango_font_description_set_size(font, static_cast<int>(size * PANGO_SCALE));
    pango_font_description_set_weight(font, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_font_description(layout_, font);
    pango_font_description_free(font);
    pango_layout_set_width(layout_, static_cast<int>(width * PANGO_SCALE));
    pango_layout_set_text(layout_, text.c_str(), static_cast<int>(text.size()));
  }

  double Measure(double width, const std::string& text, double size, bool bold) {
    Layout(width, text, size, bold);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout_, &w, &h);
    return h;
  }

  double RowHeight(const SXPdfTable& t, const std::vector<std::string>& cells, bool bold, bool heading = false) {
    double height = 0;
    for (size_t i = 0; i < cells.size(); ++i) {
      height = std::max(height, Measure(t.widths[i] - 2 * kPadding, cells[i], heading ? kHeadingSize : t.size, bold));
    }
    return height + 2 * kPadding;
  }

  // One table row at y_, `height` high (RowHeight); the caller has made room.
  void Row(const SXPdfTable& t, const std::vector<std::string>& cells, bool bold, double height, bool heading = false) {
    if (drawing_) {
      double x = kMargin;
      if (bold || (t.changes && row_ % 2 == 0)) {
        cairo_set_source_rgb(cr_, bold ? 0.90 : 0.96, bold ? 0.90 : 0.96, bold ? 0.90 : 0.96);
        double total = 0;
        for (double w : t.widths) total += w;
        cairo_rectangle(cr_, kMargin, y_, total, height);
        cairo_fill(cr_);
      }
      for (size_t i = 0; i < cells.size(); ++i) {
        SetColour(t.changes && !heading && i == 0 && comparison_ ? cells[0] : "");
        Text(x + kPadding, y_ + kPadding, t.widths[i] - 2 * kPadding, cells[i], heading ? kHeadingSize : t.size, bold);
        x += t.widths[i];
      }
      cairo_set_source_rgb(cr_, 0.8, 0.8, 0.8);
      cairo_set_line_width(cr_, 0.4);
      cairo_move_to(cr_, kMargin, y_ + height);
      cairo_line_to(cr_, x, y_ + height);
      cairo_stroke(cr_);
      SetColour("");
    }
    y_ += height;
  }

  void SetColour(const std::string& change) {
    if (change == "added") {
      cairo_set_source_rgb(cr_, 0.04, 0.42, 0.04);
    } else if (change == "removed") {
      cairo_set_source_rgb(cr_, 0.64, 0.08, 0.08);
    } else if (change == "changed") {
      cairo_set_source_rgb(cr_, 0.54, 0.35, 0.0);
    } else {
      cairo_set_source_rgb(cr_, 0.1, 0.1, 0.1);
    }
  }

  void BreakPage(const SXPdfTable* table) {
    FinishPage();
    NewPage(table);
  }

  // A new page with its header line, and the heading of `table` when a
  // table goes on there.
  void NewPage(const SXPdfTable* table) {
    ++page_;
    y_ = kTop;
    if (page_ > 1 && drawing_) {
      SetColour("");
      Text(kMargin, kMargin, kPageWidth - 2 * kMargin, title_, 8, false);
      cairo_set_source_rgb(cr_, 0.6, 0.6, 0.6);
      cairo_set_line_width(cr_, 0.5);
      cairo_move_to(cr_, kMargin, kMargin + 14);
      cairo_line_to(cr_, kPageWidth - kMargin, kMargin + 14);
      cairo_stroke(cr_);
      SetColour("");
    }
    if (table != nullptr) Row(*table, table->heading, true, RowHeight(*table, table->heading, true, true), true);
  }

  // The page's number and the total below the bottom margin, and the page out.
  void FinishPage() {
    if (!drawing_) return;
    SetColour("");
    const std::string text = Format("page %d of %d", page_, pages_);
    Layout(200, text, 8, false);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout_, &w, &h);
    cairo_move_to(cr_, kPageWidth - kMargin - w, kPageHeight - kMargin - h);
    pango_cairo_show_layout(cr_, layout_);
    cairo_show_page(cr_);
  }

  CXDumpSink& out_;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  PangoLayout* layout_ = nullptr;
  bool local_ = true;
  bool comparison_ = true;
  bool drawing_ = false;  // the second pass
  bool table_started_ = false;
  uint64_t total_ = 0;
  uint64_t row_ = 0;
  int page_ = 0;
  int pages_ = 0;
  double y_ = 0;
  std::string title_, subtitle_, filter_;
  SXPdfGroup counts_, snapshots_;
  SXPdfTable entries_;
  std::string kept_;
};

}  // namespace

// cairo keeps one array of its PDF writer's for the process's lifetime, and
// fontconfig its font caches, whose pointers it stores as offsets (so the
// leak check finds nothing pointing at them); the leak check of the
// sanitizer builds is told so (a plain build ignores this). The caches are
// not let go after a document: pango's fontconfig thread may still be
// sorting fonts for it then, and FcFini and cairo_debug_reset_static_data
// abort while it holds any.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcairo.so\nleak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

std::unique_ptr<CXReportWriter> MakePdfWriter(CXDumpSink& out, std::string* error) {
  auto writer = std::make_unique<CXPdfWriter>(out);
  if (!writer->ok()) {
    *error = "cannot start a PDF document (cairo)";
    return nullptr;
  }
  return writer;
}

}  // namespace orvalinth::report
