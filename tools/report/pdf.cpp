// The PDF writer: A4 pages drawn with cairo, text laid out by pango (which
// takes the glyphs of any script from the fonts fontconfig knows: Noto for
// Latin, Cyrillic, Greek, Arabic, Hebrew, Indic scripts and CJK). A title
// page with the snapshots and the counts, then the entries as a table of
// four columns that breaks across pages, its heading repeated on each;
// every page has a header line and its number.

#include "tools/report/pdf.h"

#include <cairo-pdf.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

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
const char kFont[] = "Noto Sans, DejaVu Sans";

cairo_status_t WriteTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<CXDumpSink*>(closure)->Write(std::string_view(reinterpret_cast<const char*>(data), length));
  return CAIRO_STATUS_SUCCESS;
}

class CXPdfWriter final : public CXReportWriter {
 public:
  explicit CXPdfWriter(CXDumpSink& out) : out_(out) {
    surface_ = cairo_pdf_surface_create_for_stream(WriteTo, &out_, kPageWidth, kPageHeight);
    cr_ = cairo_create(surface_);
    layout_ = pango_cairo_create_layout(cr_);
    pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
  }
  ~CXPdfWriter() override {
    g_object_unref(layout_);
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
    // The font caches of pango, cairo and fontconfig live as long as the
    // process; let them go with the document, so that the leak checks of
    // the sanitizer builds see only what is ours.
    pango_cairo_font_map_set_default(nullptr);
    FcFini();
    cairo_debug_reset_static_data();
  }

  bool ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }

  void Begin(const SXReportHeader& h) override {
    local_ = h.local_time;
    comparison_ = h.comparison;
    total_ = comparison_ ? h.counts.added + h.counts.removed + h.counts.changed : h.counts.present;
    const std::string machine = snapshot_dump::Display8(h.new_side.info->computer, false);
    title_ = (comparison_ ? "Changes on " : "Snapshot of ") + machine;
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_TITLE, title_.c_str());
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "orvalinth");
    NewPage(false);
    y_ = kMargin;
    Text(kMargin, y_, kPageWidth - 2 * kMargin, title_, 20, true);
    y_ += 36;
    const std::string subtitle = comparison_ ? h.old_side.file + "  \u2192  " + h.new_side.file : h.new_side.file;
    y_ += Text(kMargin, y_, kPageWidth - 2 * kMargin, subtitle, 10, false) + 10;

    // The counts.
    y_ += Text(kMargin, y_, 300, comparison_ ? "Summary of changes" : "Totals", 13, true) + 4;
    const std::vector<double> widths = comparison_ ? std::vector<double>{200, 70, 70, 70} : std::vector<double>{200, 90};
    Row(widths, comparison_ ? std::vector<std::string>{"", "added", "removed", "changed"}
                            : std::vector<std::string>{"", "count"}, true);
    for (const SXChangeCounts::Row& r : h.counts.rows) {
      if (comparison_) {
        Row(widths, {Utf8(r.label), Thousands(r.added), Thousands(r.removed), Thousands(r.changed)}, false);
      } else {
        Row(widths, {Utf8(r.label), Thousands(r.present)}, false);
      }
    }
    if (comparison_) {
      Row(widths, {"total", Thousands(h.counts.added), Thousands(h.counts.removed), Thousands(h.counts.changed)}, true);
    }
    y_ += 6;
    y_ += Text(kMargin, y_, kPageWidth - 2 * kMargin, "Filter: " + FilterText(*h.filter), 9, false) + 12;

    // The snapshots.
    y_ += Text(kMargin, y_, 300, "Snapshots", 13, true) + 4;
    const double free = kPageWidth - 2 * kMargin - 110;
    const std::vector<double> info_widths = comparison_ ? std::vector<double>{110, free / 2, free / 2} : std::vector<double>{110, free};
    const auto lines_new = InfoLines(h.new_side);
    const auto lines_old = comparison_ ? InfoLines(h.old_side) : lines_new;
    Row(info_widths, comparison_ ? std::vector<std::string>{"", "old", "new"} : std::vector<std::string>{"", "snapshot"}, true);
    for (size_t i = 0; i < lines_new.size(); ++i) {
      if (comparison_) {
        Row(info_widths, {lines_new[i].first, lines_old[i].second, lines_new[i].second}, false);
      } else {
        Row(info_widths, {lines_new[i].first, lines_new[i].second}, false);
      }
    }
    if (total_ == 0) {
      y_ += 10;
      Text(kMargin, y_, 400, comparison_ ? "No changes." : "Nothing recorded.", 12, true);
    }
  }

  void Change(const SXChange& c) override {
    if (!table_started_) {
      table_started_ = true;
      Footer();
      cairo_show_page(cr_);
      NewPage(true);
    }
    std::string detail;
    switch (c.type) {
      case SXChangeType::kAdded: detail = NewText(c, local_); break;
      case SXChangeType::kRemoved: detail = OldText(c, local_); break;
      case SXChangeType::kChanged: detail = ChangedText(c, local_); break;
      case SXChangeType::kPresent: detail = NewText(c, local_); break;
    }
    std::string path = Utf8(EntryPath(c));
    if (c.kind == SXEntryKind::kValue && c.name.empty()) path += "(default)";
    ++row_;
    const std::vector<std::string> cells = comparison_
        ? std::vector<std::string>{ChangeName(c.type), KindName(c), path, detail}
        : std::vector<std::string>{KindName(c), path, detail};
    Row(TableWidths(), cells, false, true);
  }

  void End() override {
    Footer();
    cairo_show_page(cr_);
    cairo_surface_finish(surface_);
  }

 private:
  std::vector<double> TableWidths() const {
    const double w = kPageWidth - 2 * kMargin;
    return comparison_ ? std::vector<double>{52, 80, w * 0.45, w - 132 - w * 0.45}
                       : std::vector<double>{80, w * 0.5, w - 80 - w * 0.5};
  }

  // Lays out `text` at (x, y) within `width`; returns its height.
  double Text(double x, double y, double width, const std::string& text, double size, bool bold) {
    Layout(width, text, size, bold);
    cairo_move_to(cr_, x, y);
    pango_cairo_show_layout(cr_, layout_);
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

  // One table row; a row that does not fit goes to the next page (with the
  // table's heading again when `table`).
  void Row(const std::vector<double>& widths, const std::vector<std::string>& cells, bool bold, bool table = false) {
    const double size = table ? 7.5 : 9;
    double height = 0;
    for (size_t i = 0; i < cells.size(); ++i) height = std::max(height, Measure(widths[i] - 2 * kPadding, cells[i], size, bold));
    height += 2 * kPadding;
    if (y_ + height > kBottom) {
      Footer();
      cairo_show_page(cr_);
      NewPage(table);
    }
    double x = kMargin;
    if (bold || (table && row_ % 2 == 0)) {
      cairo_set_source_rgb(cr_, bold ? 0.90 : 0.96, bold ? 0.90 : 0.96, bold ? 0.90 : 0.96);
      double total = 0;
      for (double w : widths) total += w;
      cairo_rectangle(cr_, kMargin, y_, total, height);
      cairo_fill(cr_);
    }
    for (size_t i = 0; i < cells.size(); ++i) {
      SetColour(table && i == 0 && comparison_ ? cells[0] : "");
      Text(x + kPadding, y_ + kPadding, widths[i] - 2 * kPadding, cells[i], size, bold);
      x += widths[i];
    }
    cairo_set_source_rgb(cr_, 0.8, 0.8, 0.8);
    cairo_set_line_width(cr_, 0.4);
    cairo_move_to(cr_, kMargin, y_ + height);
    cairo_line_to(cr_, x, y_ + height);
    cairo_stroke(cr_);
    SetColour("");
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

  void NewPage(bool table) {
    ++page_;
    y_ = kTop;
    if (page_ > 1) {
      SetColour("");
      Text(kMargin, kMargin, kPageWidth - 2 * kMargin, title_, 8, false);
      cairo_set_source_rgb(cr_, 0.6, 0.6, 0.6);
      cairo_set_line_width(cr_, 0.5);
      cairo_move_to(cr_, kMargin, kMargin + 14);
      cairo_line_to(cr_, kPageWidth - kMargin, kMargin + 14);
      cairo_stroke(cr_);
      SetColour("");
    }
    if (table) {
      Row(TableWidths(), comparison_ ? std::vector<std::string>{"change", "kind", "path", "what"}
                                     : std::vector<std::string>{"kind", "path", "details"},
          true, false);
    }
  }

  void Footer() {
    SetColour("");
    const std::string text = Format("page %d", page_);
    Layout(200, text, 8, false);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout_, &w, &h);
    cairo_move_to(cr_, kPageWidth - kMargin - w, kPageHeight - kMargin - h);
    pango_cairo_show_layout(cr_, layout_);
  }

  CXDumpSink& out_;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  PangoLayout* layout_ = nullptr;
  bool local_ = true;
  bool comparison_ = true;
  bool table_started_ = false;
  uint64_t total_ = 0;
  uint64_t row_ = 0;
  int page_ = 0;
  double y_ = 0;
  std::string title_;
};

}  // namespace

// cairo keeps one array of its PDF writer's for the process's lifetime; the
// leak check of the sanitizer builds is told so (a plain build ignores this).
extern "C" const char* __lsan_default_suppressions() { return "leak:libcairo.so\n"; }
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
