#include "tools/report/describe.h"

#include "base/strings.h"
#include "storage/reader/snapshot_dump_format.h"

namespace orvalinth::report {

using snapshot_dump::Thousands;

namespace {

const char* const kHandleTypes[] = {"other", "file", "folder", "key"};
const char* const kStartTypes[] = {"boot", "system", "automatic", "on demand", "disabled", "unreadable"};
const char* const kStates[] = {"",        "stopped",          "start pending", "stop pending",
                               "running", "continue pending", "pause pending", "paused"};

std::string StartType(uint8_t s) { return s < 6 ? kStartTypes[s] : Format("%u", s); }
std::string State(uint8_t s) { return s < 8 ? (s == 0 ? "none" : kStates[s]) : Format("%u", s); }

std::string FileOf(const std::optional<SXReadFile>& f, bool missing, bool local) {
  if (missing) return "missing";
  if (!f) return "";
  return FileText(*f, local);
}

}  // namespace

std::string StartTypeText(uint8_t start_type) { return StartType(start_type); }
std::string ServiceStateText(uint8_t state) { return State(state); }

std::string Utf8(const std::u16string& text) { return snapshot_dump::Display(text, false, 100000); }

const char* ChangeName(SXChangeType type) {
  switch (type) {
    case SXChangeType::kAdded: return "added";
    case SXChangeType::kRemoved: return "removed";
    case SXChangeType::kChanged: return "changed";
    case SXChangeType::kPresent: return "present";
  }
  return "";
}

std::string KindName(const SXChange& c) {
  switch (c.kind) {
    case SXEntryKind::kSection: return "section";
    case SXEntryKind::kFolder: return "folder";
    case SXEntryKind::kFile: return "file";
    case SXEntryKind::kKey: return "key";
    case SXEntryKind::kValue: return "value";
    case SXEntryKind::kAppNode: return "node";
    case SXEntryKind::kItem: {
      const SXReadItem* item = c.new_item != nullptr ? c.new_item : c.old_item;
      if (item == nullptr) return "item";
      if (item->kind == 1) {
        if (item->source == 2) return "startup entry";
        const std::u16string section = c.section != nullptr ? *c.section : u"";
        if (section == u"Running Processes") return c.parent != nullptr && c.parent->size() > 1 ? "module" : "process";
        if (section == u"Loaded Dlls") return "module";
        if (section == u"Programs") return "found program";
      }
      return snapshot_dump::ItemKindName(item->kind);
    }
  }
  return "";
}

std::string FileText(const SXReadFile& f, bool local) {
  return Format("%s byte%s  %s", Thousands(f.size).c_str(), f.size == 1 ? "" : "s",
                snapshot_dump::FileTimeText(f.last_write, local).c_str());
}

std::string ValueText(const SXReadValue& v) {
  return snapshot_dump::ValueTypeName(v.type) + " " + snapshot_dump::ValueDataText(v, 64);
}

std::string ItemText(const SXReadItem& item, bool local) {
  std::string line;
  const auto add = [&](const char* label, const std::string& text) {
    if (text.empty()) return;
    if (!line.empty()) line += "  ";
    line += Format("%s %s", label, text.c_str());
  };
  // The protocol and local address are the port's name; what follows them here.
  const auto port = [&] {
    if (item.protocol == 1 || item.protocol == 3) {
      add("state", snapshot_dump::TcpStateName(item.port_state));
      if (item.remote.length_code != 0 || item.remote.port != 0) {
        add("remote", snapshot_dump::AddressText(item.remote, item.protocol));
      }
    }
  };
  switch (item.kind) {
    case 4:
      add("version", Utf8(item.version));
      add("publisher", Utf8(item.publisher));
      add("folder", Utf8(item.path));
      add("installed", Utf8(item.install_date));
      break;
    case 6:
    case 8:
      add("type", item.handle_type < 4 ? kHandleTypes[item.handle_type] : "?");
      add("object", FileOf(item.object_file, item.object_file_missing, local));
      if (item.kind == 8) {
        add("by", Utf8(item.name));
        add("path", Utf8(item.path));
      }
      break;
    case 7:
    case 9:
      port();
      if (item.kind == 9) add("by", Utf8(item.name));
      add("path", Utf8(item.path));
      break;
    default:
      add("path", Utf8(item.path));
      add("arguments", Utf8(item.arguments));
      if (item.kind == 2 || item.kind == 3) {
        add("start", StartType(item.source));
        add("state", item.state != 0 ? State(item.state) : "");
      }
      add("file", FileOf(item.file, item.file_missing, local));
      break;
  }
  return line;
}

std::vector<std::string> ItemDifferences(const SXReadItem& a, const SXReadItem& b, bool local) {
  std::vector<std::string> out;
  const auto text = [&](const char* label, const std::u16string& x, const std::u16string& y) {
    if (x != y) out.push_back(Format("%s %s -> %s", label, Utf8(x).c_str(), Utf8(y).c_str()));
  };
  const auto file = [&](const char* label, const std::optional<SXReadFile>& x, bool xm, const std::optional<SXReadFile>& y,
                        bool ym) {
    const std::string sx = FileOf(x, xm, local), sy = FileOf(y, ym, local);
    if (sx != sy) out.push_back(Format("%s %s -> %s", label, sx.c_str(), sy.c_str()));
  };
  switch (a.kind) {
    case 4: text("version", a.version, b.version); break;
    case 6:
    case 8:
      if (a.kind == 8) {
        text("process", a.name, b.name);
        text("path", a.path, b.path);
      }
      if (a.handle_type != b.handle_type) {
        out.push_back(Format("type %s -> %s", a.handle_type < 4 ? kHandleTypes[a.handle_type] : "?",
                             b.handle_type < 4 ? kHandleTypes[b.handle_type] : "?"));
      }
      text("object", a.object_name, b.object_name);
      file("object file", a.object_file, a.object_file_missing, b.object_file, b.object_file_missing);
      break;
    case 7:
    case 9: break;
    default:
      if (a.source != b.source) {
        out.push_back(a.kind == 2 || a.kind == 3 ? Format("start %s -> %s", StartType(a.source).c_str(), StartType(b.source).c_str())
                                                 : Format("source %u -> %u", a.source, b.source));
      }
      if (a.state != b.state) out.push_back(Format("state %s -> %s", State(a.state).c_str(), State(b.state).c_str()));
      file("file", a.file, a.file_missing, b.file, b.file_missing);
      break;
  }
  return out;
}

std::string RollUpText(const SXRollUp& r) {
  std::vector<std::string> parts;
  const auto add = [&](uint64_t n, const char* one, const char* many) {
    if (n != 0) parts.push_back(Thousands(n) + " " + (n == 1 ? one : many));
  };
  add(r.folders, "folder", "folders");
  add(r.files, "file", "files");
  if (r.files != 0) parts.push_back(Thousands(r.bytes) + " bytes");
  add(r.keys, "key", "keys");
  add(r.values, "value", "values");
  add(r.nodes, "node", "nodes");
  add(r.items, "item", "items");
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : ", ") + parts[i];
  return out;
}

namespace {

std::string NodeText(const SXReadNode* node, const SXRollUp& r) {
  std::string out = RollUpText(r);
  if (node == nullptr) return out;
  if (node->link_type != 0) {
    out += (out.empty() ? "" : "; ") + Format("%s -> %s", snapshot_dump::LinkTypeName(node->link_type),
                                             Utf8(node->link_target).c_str());
  }
  if (node->error != 0) out += (out.empty() ? "" : "; ") + Format("error %d", node->error);
  return out;
}

std::string SideText(const SXChange& c, bool old_side, bool local) {
  const SXReadFile* f = old_side ? c.old_file : c.new_file;
  const SXReadValue* v = old_side ? c.old_value : c.new_value;
  const SXReadItem* i = old_side ? c.old_item : c.new_item;
  const SXReadNode* n = old_side ? c.old_node : c.new_node;
  if (f != nullptr) return FileText(*f, local);
  if (v != nullptr) return ValueText(*v);
  if (i != nullptr) return ItemText(*i, local);
  if (n != nullptr) return NodeText(n, old_side ? c.old_rollup : c.new_rollup);
  return "";
}

}  // namespace

std::string OldText(const SXChange& c, bool local) { return SideText(c, true, local); }
std::string NewText(const SXChange& c, bool local) { return SideText(c, false, local); }

std::string ChangedText(const SXChange& c, bool local) {
  std::vector<std::string> parts;
  if (c.old_file != nullptr && c.new_file != nullptr) {
    const SXReadFile& a = *c.old_file;
    const SXReadFile& b = *c.new_file;
    if (a.size != b.size) parts.push_back(Format("size %s -> %s bytes", Thousands(a.size).c_str(), Thousands(b.size).c_str()));
    if (a.last_write != b.last_write) {
      parts.push_back(Format("time %s -> %s", snapshot_dump::FileTimeText(a.last_write, local).c_str(),
                             snapshot_dump::FileTimeText(b.last_write, local).c_str()));
    }
  } else if (c.old_value != nullptr && c.new_value != nullptr) {
    parts.push_back(ValueText(*c.old_value) + " -> " + ValueText(*c.new_value));
  } else if (c.old_item != nullptr && c.new_item != nullptr) {
    parts = ItemDifferences(*c.old_item, *c.new_item, local);
  } else {
    const std::string a = OldText(c, local), b = NewText(c, local);
    if (a != b) parts.push_back(a + " -> " + b);
  }
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : "; ") + parts[i];
  return out;
}

std::string FilterText(const CXReportFilter& filter) {
  static const char* const kModes[] = {"every file", "executables only", "every file but executables",
                                       "executables only"};
  std::vector<std::string> parts;
  if (filter.mode() != 0) parts.push_back(Format("mode %d (%s)", filter.mode(), kModes[filter.mode() & 3]));
  if (!filter.rules().empty()) {
    parts.push_back(Format("%u rule%s", static_cast<unsigned>(filter.rules().size()), filter.rules().size() == 1 ? "" : "s"));
  }
  if (!filter.categories().empty()) {
    std::string c = "categories left out: ";
    for (size_t i = 0; i < filter.categories().size(); ++i) c += (i == 0 ? "" : ", ") + Utf8(filter.categories()[i]);
    parts.push_back(c);
  }
  if (filter.drops_agent_link()) parts.push_back("the agent's own link left out");
  if (parts.empty()) return "none";
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : "; ") + parts[i];
  return out;
}

}  // namespace orvalinth::report
