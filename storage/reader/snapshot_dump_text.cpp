// The readable view: every section as an indented tree, then the version
// records with the files that use them, then the reader's remarks.

#include "base/strings.h"
#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_dump_format.h"

namespace orvalinth {

using namespace snapshot_dump;  // NOLINT: the view's own helpers

namespace {

// Who uses a version record: the count and the first few paths.
struct Users {
  uint64_t count = 0;
  std::vector<std::string> names;
};

class CXTextView {
 public:
  CXTextView(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out)
      : s_(*document.snapshot), document_(document), options_(options), out_(out), users_(s_.versions.size()) {}

  void Run() {
    DumpInfo(document_, options_, out_);
    for (int kind = 0; kind < 3; ++kind) {
      for (const SXReadSection& section : s_.sections[kind]) Section(section);
    }
    Versions();
    if (document_.remark_count != 0) {
      out_.Write(Format("\n== remarks: %s (forms the writer does not produce)\n",
                        Thousands(document_.remark_count).c_str()));
      for (const std::string& remark : document_.remarks) out_.Write(remark + "\n");
      if (document_.remark_count > document_.remarks.size()) out_.Write("...\n");
    }
  }

 private:
  std::string Text(const std::u16string& text) const { return Display(text, true, options_.max_text_units); }

  std::string FileText(const SXReadFile& f) const {
    std::string line = Format("%s bytes  %s  %s", Thousands(f.size).c_str(),
                              FileTimeText(f.last_write, options_.local_time).c_str(),
                              AttributeText(f.attributes).c_str());
    if (f.version_index >= 0) line += Format("  version #%d", f.version_index);
    return line;
  }

  void Use(int32_t version, const std::string& name) {
    if (version < 0 || static_cast<size_t>(version) >= users_.size()) return;
    Users& u = users_[version];
    ++u.count;
    if (u.names.size() < options_.max_references) u.names.push_back(name);
  }

  void Section(const SXReadSection& section) {
    out_.Write(Format("\n== %s section %s: block at file offset %u, %s bytes (%s stored)\n",
                      kSectionKindNames[section.kind], Text(section.name).c_str(), section.block_offset,
                      Thousands(section.payload_length).c_str(), Thousands(section.stored_length).c_str()));
    std::vector<std::string> path;  // display names from the root down
    WalkNodes(
        section.root,
        [&](const SXReadNode& node, size_t depth) {
          const std::string indent(2 * depth, ' ');
          std::string name = Display(node.name, false, options_.max_text_units);
          std::string line = indent + (section.kind == kReadApplications ? "[" + name + "]" : name + "\\");
          if (node.link_type != 0) {
            line += Format(" -> %s %s", LinkTypeName(node.link_type), Text(node.link_target).c_str());
          }
          if (node.attributes != 0) line += "  " + AttributeText(node.attributes);
          if (node.error != 0) line += Format("  error %d", node.error);
          out_.Write(line + "\n");
          path.resize(depth);
          path.push_back(name);
          const std::string inner(2 * depth + 2, ' ');
          for (const SXReadValue& v : node.values) {
            out_.Write(Format("%s%s  %s  %s\n", inner.c_str(), v.name.empty() ? "(default)" : Text(v.name).c_str(),
                              ValueTypeName(v.type).c_str(), ValueDataText(v, options_.max_data_bytes).c_str()));
          }
          for (const SXReadFile& f : node.files) {
            const std::string file_name = Display(f.name, false, options_.max_text_units);
            out_.Write(inner + file_name + "  " + FileText(f) + "\n");
            Use(f.version_index, Joined(path) + "\\" + file_name);
          }
          for (const SXReadItem& item : node.items) {
            out_.Write(inner + ItemText(item) + "\n");
            const std::string where = Joined(path) + ": " + ItemKindName(item.kind) + " " + Text(item.name);
            if (item.file) Use(item.file->version_index, where);
            if (item.object_file) Use(item.object_file->version_index, where);
          }
        },
        [](const SXReadNode&, size_t) {});
  }

  static std::string Joined(const std::vector<std::string>& path) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) out += (i == 0 ? "" : "\\") + path[i];
    return out;
  }

  std::string ItemText(const SXReadItem& item) const {
    static const char* const kHandleTypes[] = {"other", "file", "folder", "key"};
    static const char* const kStartTypes[] = {"boot", "system", "automatic", "on demand", "disabled", "unreadable"};
    static const char* const kStates[] = {"",        "stopped",          "start pending", "stop pending",
                                          "running", "continue pending", "pause pending", "paused"};
    std::string line = ItemKindName(item.kind);
    const auto add = [&](const char* label, const std::u16string& text) {
      if (!text.empty()) line += Format("  %s %s", label, Text(text).c_str());
    };
    const auto add_file = [&](const char* label, const std::optional<SXReadFile>& file, bool missing) {
      if (file) line += Format("  %s: %s", label, FileText(*file).c_str());
      if (missing) line += Format("  %s: missing", label);
    };
    const auto handle = [&] {
      line += Format(" %s %s", item.handle_type < 4 ? kHandleTypes[item.handle_type] : "type?",
                     Text(item.object_name).c_str());
      add_file("object", item.object_file, item.object_file_missing);
    };
    const auto port = [&] {
      line += Format(" %s %s", ProtocolName(item.protocol), AddressText(item.local, item.protocol).c_str());
      if (item.protocol == 1 || item.protocol == 3) {
        line += Format(" -> %s %s", AddressText(item.remote, item.protocol).c_str(), TcpStateName(item.port_state));
      }
    };
    switch (item.kind) {
      case 4:
        line += " " + Text(item.name);
        add("version", item.version);
        add("publisher", item.publisher);
        add("folder", item.path);
        add("group", item.group);
        add("uninstall", item.uninstall);
        add("installed", item.install_date);
        break;
      case 6: handle(); break;
      case 7: port(); break;
      case 8:
        handle();
        line += "  by " + Text(item.name);
        add("path", item.path);
        add_file("file", item.file, item.file_missing);
        break;
      case 9:
        port();
        line += "  by " + Text(item.name);
        add("path", item.path);
        break;
      default:
        line += " " + Text(item.name);
        add("path", item.path);
        add("arguments", item.arguments);
        add("description", item.description);
        add("registered as", item.registered_name);
        if (item.kind == 2 || item.kind == 3) {
          line += Format("  start %s", item.source < 6 ? kStartTypes[item.source] : "?");
          if (item.state != 0) line += Format("  state %s", item.state < 8 ? kStates[item.state] : "?");
        } else if (item.source != 0) {
          line += Format("  source %u", item.source);
        }
        add_file("file", item.file, item.file_missing);
        break;
    }
    return line;
  }

  void Versions() {
    if (s_.versions.empty()) return;
    out_.Write(Format("\n== version records: %s\n", Thousands(s_.versions.size()).c_str()));
    for (size_t i = 0; i < s_.versions.size(); ++i) {
      const SXReadVersion& v = s_.versions[i];
      std::string line = Format("#%u  %s", static_cast<unsigned>(i), FileVersionText(v.file_version_high, v.file_version_low).c_str());
      for (int k = 0; k < kVersionStringCount; ++k) {
        if (!v.strings[k].empty()) line += Format("  %s %s", kVersionStringNames[k], Text(v.strings[k]).c_str());
      }
      out_.Write(line + "\n");
      const Users& u = users_[i];
      if (u.count == 0) continue;
      std::string used = "    used by: ";
      for (size_t n = 0; n < u.names.size(); ++n) used += (n == 0 ? "" : "; ") + u.names[n];
      if (u.count > u.names.size()) used += Format("; and %s more", Thousands(u.count - u.names.size()).c_str());
      out_.Write(used + "\n");
    }
  }

  const SXReadSnapshot& s_;
  const SXDumpDocument& document_;
  const SXDumpOptions& options_;
  CXDumpSink& out_;
  std::vector<Users> users_;
};

}  // namespace

void DumpText(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out) {
  CXTextView(document, options, out).Run();
}

}  // namespace orvalinth
