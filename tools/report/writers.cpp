// The text, JSON and CSV writers.

#include "tools/report/writers.h"

#include "base/strings.h"
#include "storage/reader/snapshot_dump_format.h"
#include "tools/report/describe.h"

namespace orvalinth::report {

using snapshot_dump::Display8;
using snapshot_dump::Thousands;

std::vector<std::pair<std::string, std::string>> InfoLines(const SXReportSide& side) {
  std::vector<std::pair<std::string, std::string>> lines;
  const SXReadInfo& i = *side.info;
  lines.emplace_back("file", Format("%s (%s bytes)", side.file.c_str(), Thousands(side.file_size).c_str()));
  lines.emplace_back("snapshot", Format("%d  %s", i.number, Display8(i.title, false, 1000).c_str()));
  lines.emplace_back("time", Display8(i.time, false, 1000));
  lines.emplace_back("computer", Display8(i.computer, false, 1000));
  std::string os = Display8(i.os, false, 1000);
  std::string details;
  for (char c : i.os_details) {
    if (c == '\r') continue;
    details += c == '\n' ? ' ' : c;
  }
  if (!details.empty()) os += " (" + Display8(details, false, 1000) + ")";
  lines.emplace_back("operating system", os);
  lines.emplace_back("processor", Display8(i.processor, false, 1000));
  lines.emplace_back("user", Utf8(i.user));
  lines.emplace_back("elapsed", Format("%d min %02d s", i.elapsed_minutes, i.elapsed_seconds));
  lines.emplace_back("counters", Format("registry %d keys, %d values; files %d folders, %d files; applications %d, %d modules",
                                        i.counters[0][0], i.counters[0][1], i.counters[1][0], i.counters[1][1],
                                        i.counters[2][0], i.counters[2][1]));
  lines.emplace_back("scan request", Format("full %s, removable drives %s, version information %s", i.full ? "yes" : "no",
                                            i.removable ? "yes" : "no", i.version_info ? "yes" : "no"));
  static const char* const kTargets[3] = {"registry targets", "file targets", "applications targets"};
  for (int k = 0; k < 3; ++k) {
    std::string t;
    for (size_t n = 0; n < i.targets[k].size(); ++n) t += (n == 0 ? "" : ", ") + Utf8(i.targets[k][n]);
    lines.emplace_back(kTargets[k], t.empty() ? "(none)" : t);
  }
  return lines;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

namespace {

const char* const kSectionKinds[3] = {"registry", "file-system", "applications"};

bool IsNode(SXEntryKind k) { return k == SXEntryKind::kFolder || k == SXEntryKind::kKey || k == SXEntryKind::kAppNode; }

std::string ShownName(const SXChange& c) {
  if (c.kind == SXEntryKind::kValue && c.name.empty()) return "(default)";
  return Utf8(c.name);
}

std::string NodeLabel(const std::u16string& name, int section_kind) {
  return section_kind == kReadApplications ? "[" + Utf8(name) + "]" : Utf8(name) + "\\";
}

class CXTextWriter final : public CXReportWriter {
 public:
  explicit CXTextWriter(CXDumpSink& out) : out_(out) {}

  void Begin(const SXReportHeader& h) override {
    local_ = h.local_time;
    comparison_ = h.comparison;
    const auto side = [&](const char* title, const SXReportSide& s) {
      out_.Write(std::string(title) + "\n");
      for (const auto& [label, value] : InfoLines(s)) out_.Write(Format("  %-22s%s\n", (label + ":").c_str(), value.c_str()));
    };
    if (comparison_) {
      out_.Write("comparison of two snapshots\n\n");
      side("old snapshot", h.old_side);
      side("new snapshot", h.new_side);
    } else {
      out_.Write("snapshot report\n\n");
      side("snapshot", h.new_side);
    }
    out_.Write(Format("\nfilter: %s\n\n", FilterText(*h.filter).c_str()));
    if (comparison_) {
      out_.Write(Format("%-26s%10s%10s%10s\n", "changes", "added", "removed", "changed"));
      for (const SXChangeCounts::Row& r : h.counts.rows) {
        out_.Write(Format("  %-24s%10s%10s%10s\n", Utf8(r.label).c_str(), Thousands(r.added).c_str(),
                          Thousands(r.removed).c_str(), Thousands(r.changed).c_str()));
      }
      out_.Write(Format("  %-24s%10s%10s%10s\n", "total", Thousands(h.counts.added).c_str(),
                        Thousands(h.counts.removed).c_str(), Thousands(h.counts.changed).c_str()));
      if (h.counts.total() == 0) out_.Write("\nno changes\n");
    } else {
      out_.Write(Format("%-26s%10s\n", "totals", "count"));
      for (const SXChangeCounts::Row& r : h.counts.rows) {
        out_.Write(Format("  %-24s%10s\n", Utf8(r.label).c_str(), Thousands(r.present).c_str()));
      }
    }
  }

  void Change(const SXChange& c) override {
    if (section_kind_ != c.section_kind || section_ != *c.section) {
      section_kind_ = c.section_kind;
      section_ = *c.section;
      shown_.clear();
      out_.Write(Format("\n== %s section %s\n", kSectionKinds[c.section_kind], Utf8(section_).c_str()));
    }
    if (c.kind == SXEntryKind::kSection) {
      out_.Write(Format("%s %s section %s  %s\n", c.type == SXChangeType::kAdded ? "+" : "-",
                        kSectionKinds[c.section_kind], Utf8(c.name).c_str(),
                        (c.type == SXChangeType::kAdded ? NewText(c, local_) : OldText(c, local_)).c_str()));
      return;
    }
    const std::vector<std::u16string>& parent = *c.parent;
    size_t common = 0;
    while (common < shown_.size() && common < parent.size() && shown_[common] == parent[common]) ++common;
    shown_.resize(common);
    for (size_t d = common; d < parent.size(); ++d) {
      out_.Write(std::string(2 * d, ' ') + NodeLabel(parent[d], c.section_kind) + "\n");
      shown_.push_back(parent[d]);
    }
    std::string line = std::string(2 * parent.size(), ' ');
    std::string detail;
    switch (c.type) {
      case SXChangeType::kAdded: line += "+ "; detail = NewText(c, local_); break;
      case SXChangeType::kRemoved: line += "- "; detail = OldText(c, local_); break;
      case SXChangeType::kChanged: line += "~ "; detail = ChangedText(c, local_); break;
      case SXChangeType::kPresent: detail = NewText(c, local_); break;
    }
    if (IsNode(c.kind)) {
      line += NodeLabel(c.name, c.section_kind);
      shown_.push_back(c.name);
    } else if (c.kind == SXEntryKind::kItem) {
      line += KindName(c) + " " + ShownName(c);
    } else {
      line += ShownName(c);
    }
    if (!detail.empty()) line += "  " + detail;
    out_.Write(line + "\n");
  }

  void End() override {}

 private:
  CXDumpSink& out_;
  bool local_ = true;
  bool comparison_ = true;
  std::u16string section_;
  int section_kind_ = -1;
  std::vector<std::u16string> shown_;  // the node path last shown
};

std::string JsonFile(const SXReadFile& f) {
  std::string out = Format("{\"size\":%llu,\"time\":\"%s\",\"attributes\":%u", static_cast<unsigned long long>(f.size),
                           snapshot_dump::FileTimeIso(f.last_write).c_str(), f.attributes);
  if (f.version_index >= 0) out += Format(",\"version_record\":%d", f.version_index);
  return out + "}";
}

std::string JsonValue(const SXReadValue& v) {
  std::string out = "{\"type\":\"" + snapshot_dump::ValueTypeName(v.type) + "\"";
  if (IsRegistryTextType(v.type)) {
    out += ",\"text\":" + snapshot_dump::JsonString(v.text);
  } else {
    out += ",\"hex\":\"" + snapshot_dump::HexBytes(v.data, v.data.size()) + "\"";
  }
  return out + "}";
}

std::string JsonItem(const SXReadItem& i) {
  std::string out = Format("{\"item\":\"%s\"", snapshot_dump::ItemKindName(i.kind));
  const auto text = [&](const char* key, const std::u16string& t) {
    if (!t.empty()) out += Format(",\"%s\":", key) + snapshot_dump::JsonString(t);
  };
  text("name", i.name);
  text("path", i.path);
  text("arguments", i.arguments);
  text("description", i.description);
  text("registered_name", i.registered_name);
  text("version", i.version);
  text("publisher", i.publisher);
  text("group", i.group);
  text("install_date", i.install_date);
  text("uninstall", i.uninstall);
  if (i.kind == 1 || i.kind == 2 || i.kind == 3 || i.kind == 5) out += Format(",\"source\":%u,\"state\":%u", i.source, i.state);
  if (i.kind == 6 || i.kind == 8) {
    out += Format(",\"handle_type\":%u", i.handle_type);
    text("object", i.object_name);
    if (i.object_file) out += ",\"object_file\":" + JsonFile(*i.object_file);
    if (i.object_file_missing) out += ",\"object_file_missing\":true";
  }
  if (i.kind == 7 || i.kind == 9) {
    out += Format(",\"protocol\":\"%s\",\"local\":\"%s\"", snapshot_dump::ProtocolName(i.protocol),
                  snapshot_dump::AddressText(i.local, i.protocol).c_str());
    if (i.protocol == 1 || i.protocol == 3) {
      out += Format(",\"remote\":\"%s\",\"state\":\"%s\"", snapshot_dump::AddressText(i.remote, i.protocol).c_str(),
                    snapshot_dump::TcpStateName(i.port_state));
    }
  }
  if (i.file) out += ",\"file\":" + JsonFile(*i.file);
  if (i.file_missing) out += ",\"file_missing\":true";
  return out + "}";
}

std::string JsonNode(const SXReadNode* n, const SXRollUp& r) {
  std::string out = Format("{\"folders\":%llu,\"files\":%llu,\"bytes\":%llu,\"keys\":%llu,\"values\":%llu,\"nodes\":%llu,\"items\":%llu",
                           static_cast<unsigned long long>(r.folders), static_cast<unsigned long long>(r.files),
                           static_cast<unsigned long long>(r.bytes), static_cast<unsigned long long>(r.keys),
                           static_cast<unsigned long long>(r.values), static_cast<unsigned long long>(r.nodes),
                           static_cast<unsigned long long>(r.items));
  if (n != nullptr && n->link_type != 0) {
    out += Format(",\"link\":\"%s\",\"target\":", snapshot_dump::LinkTypeName(n->link_type)) +
           snapshot_dump::JsonString(n->link_target);
  }
  if (n != nullptr && n->error != 0) out += Format(",\"error\":%d", n->error);
  return out + "}";
}

std::string JsonSide(const SXChange& c, bool old_side) {
  if (const SXReadFile* f = old_side ? c.old_file : c.new_file) return JsonFile(*f);
  if (const SXReadValue* v = old_side ? c.old_value : c.new_value) return JsonValue(*v);
  if (const SXReadItem* i = old_side ? c.old_item : c.new_item) return JsonItem(*i);
  const SXReadNode* n = old_side ? c.old_node : c.new_node;
  if (n != nullptr) return JsonNode(n, old_side ? c.old_rollup : c.new_rollup);
  return "";
}

class CXJsonWriter final : public CXReportWriter {
 public:
  explicit CXJsonWriter(CXDumpSink& out) : out_(out) {}
  void Begin(const SXReportHeader&) override {}
  void Change(const SXChange& c) override {
    std::string line = Format("{\"change\":\"%s\",\"kind\":\"%s\",\"section_kind\":\"%s\",\"section\":", ChangeName(c.type),
                              KindName(c).c_str(), kSectionKinds[c.section_kind]);
    line += snapshot_dump::JsonString(*c.section) + ",\"path\":" + snapshot_dump::JsonString(EntryPath(c));
    const std::string o = JsonSide(c, true), n = JsonSide(c, false);
    if (!o.empty()) line += ",\"old\":" + o;
    if (!n.empty()) line += ",\"new\":" + n;
    if (c.type == SXChangeType::kChanged) line += ",\"what\":" + snapshot_dump::JsonString(DecodeUtf8(ChangedText(c, false)));
    out_.Write(line + "}\n");
  }
  void End() override {}

 private:
  CXDumpSink& out_;
};

class CXCsvWriter final : public CXReportWriter {
 public:
  explicit CXCsvWriter(CXDumpSink& out) : out_(out) {}
  void Begin(const SXReportHeader&) override {
    out_.Write("\xEF\xBB\xBF" "change,kind,section,path,old_size,new_size,old_time,new_time,old_value,new_value\r\n");
  }
  void Change(const SXChange& c) override {
    std::string row = std::string(ChangeName(c.type)) + "," + CsvField(KindName(c)) + "," + CsvField(Utf8(*c.section)) +
                      "," + CsvField(Utf8(EntryPath(c)));
    const auto size = [&](bool old_side) -> std::string {
      const SXReadFile* f = old_side ? c.old_file : c.new_file;
      if (f != nullptr) return std::to_string(f->size);
      const SXReadNode* n = old_side ? c.old_node : c.new_node;
      const SXRollUp& r = old_side ? c.old_rollup : c.new_rollup;
      if (n != nullptr && r.files != 0) return std::to_string(r.bytes);
      return "";
    };
    const auto time = [&](bool old_side) -> std::string {
      const SXReadFile* f = old_side ? c.old_file : c.new_file;
      return f != nullptr ? snapshot_dump::FileTimeIso(f->last_write) : "";
    };
    const auto value = [&](bool old_side) -> std::string {
      if ((old_side ? c.old_file : c.new_file) != nullptr) return "";
      return old_side ? OldText(c, false) : NewText(c, false);
    };
    row += "," + size(true) + "," + size(false) + "," + time(true) + "," + time(false) + "," + CsvField(value(true)) +
           "," + CsvField(value(false)) + "\r\n";
    out_.Write(row);
  }
  void End() override {}

 private:
  CXDumpSink& out_;
};

}  // namespace

std::unique_ptr<CXReportWriter> MakeTextWriter(CXDumpSink& out) { return std::make_unique<CXTextWriter>(out); }
std::unique_ptr<CXReportWriter> MakeJsonWriter(CXDumpSink& out) { return std::make_unique<CXJsonWriter>(out); }
std::unique_ptr<CXReportWriter> MakeCsvWriter(CXDumpSink& out) { return std::make_unique<CXCsvWriter>(out); }

}  // namespace orvalinth::report
