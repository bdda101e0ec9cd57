// The JSON view: the whole decoded snapshot as one object.

#include "base/strings.h"
#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_dump_format.h"

namespace orvalinth {

using snapshot_dump::JsonString;
using snapshot_dump::JsonString8;

namespace {

std::string Num(int64_t n) { return std::to_string(n); }
std::string UNum(uint64_t n) { return std::to_string(n); }
const char* Bool(bool b) { return b ? "true" : "false"; }

// Builds one object's members in order: {"a":1,"b":"x"}.
class Members {
 public:
  Members& Raw(const char* key, const std::string& json) {
    text_ += text_.empty() ? "{" : ",";
    text_ += Format("\"%s\":", key) + json;
    return *this;
  }
  Members& Text(const char* key, const std::u16string& value) { return Raw(key, JsonString(value)); }
  // Only when not empty.
  Members& Some(const char* key, const std::u16string& value) { return value.empty() ? *this : Text(key, value); }
  std::string Close() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

std::string FileJson(const SXReadFile& f) {
  Members m;
  m.Text("name", f.name).Raw("size", UNum(f.size)).Raw("last_write", Num(f.last_write));
  m.Raw("last_write_utc", "\"" + snapshot_dump::FileTimeIso(f.last_write) + "\"").Raw("attributes", UNum(f.attributes));
  if (f.version_index >= 0) m.Raw("version_index", Num(f.version_index));
  return m.Close();
}

std::string ValueJson(const SXReadValue& v) {
  Members m;
  m.Text("name", v.name).Raw("type", UNum(v.type)).Raw("type_name", "\"" + snapshot_dump::ValueTypeName(v.type) + "\"");
  if (IsRegistryTextType(v.type)) {
    m.Text("text", v.text);
  } else {
    std::string hex;
    for (char c : v.data) hex += Format("%02x", static_cast<uint8_t>(c));
    m.Raw("data_hex", "\"" + hex + "\"");
  }
  return m.Close();
}

std::string AddressJson(const SXReadAddress& a, uint32_t protocol) {
  Members m;
  m.Raw("length_code", UNum(a.length_code)).Raw("port", UNum(a.port));
  m.Raw("text", JsonString8(snapshot_dump::AddressText(a, protocol)));
  return m.Close();
}

std::string ItemJson(const SXReadItem& item) {
  Members m;
  m.Raw("kind", UNum(item.kind)).Raw("kind_name", Format("\"%s\"", snapshot_dump::ItemKindName(item.kind)));
  if (item.source != 0) m.Raw("source", UNum(item.source));
  if (item.state != 0) m.Raw("state", UNum(item.state));
  m.Some("name", item.name).Some("path", item.path).Some("arguments", item.arguments);
  m.Some("description", item.description).Some("registered_name", item.registered_name);
  m.Some("group", item.group).Some("version", item.version).Some("publisher", item.publisher);
  m.Some("uninstall", item.uninstall).Some("install_date", item.install_date);
  if (item.kind == 6 || item.kind == 8) {
    m.Raw("handle_type", UNum(item.handle_type)).Text("object_name", item.object_name);
    m.Raw("object_file_missing", Bool(item.object_file_missing));
  }
  if (item.kind == 7 || item.kind == 9) {
    m.Raw("protocol", UNum(item.protocol)).Raw("port_state", UNum(item.port_state));
    m.Raw("local", AddressJson(item.local, item.protocol));
    if (item.protocol == 1 || item.protocol == 3) m.Raw("remote", AddressJson(item.remote, item.protocol));
  }
  if (item.file_missing) m.Raw("file_missing", "true");
  if (item.file) m.Raw("file", FileJson(*item.file));
  if (item.object_file) m.Raw("object_file", FileJson(*item.object_file));
  return m.Close();
}

template <class T, class ToJson>
std::string Array(const std::vector<T>& list, ToJson to_json) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) out += (i == 0 ? "\n" : ",\n") + to_json(list[i]);
  return out + "]";
}

std::string TextArray(const std::vector<std::u16string>& list) {
  return Array(list, [](const std::u16string& s) { return JsonString(s); });
}

void NodeJson(const SXReadNode& root, CXDumpSink& out) {
  std::vector<bool> has_child;  // per open node: whether a child was written yet
  snapshot_dump::WalkNodes(
      root,
      [&](const SXReadNode& node, size_t depth) {
        if (depth > 0) {
          out.Write(has_child[depth - 1] ? ",\n" : "\n");
          has_child[depth - 1] = true;
        }
        has_child.resize(depth + 1);
        has_child[depth] = false;
        Members m;
        m.Text("name", node.name);
        if (node.error != 0) m.Raw("error", Num(node.error));
        if (node.attributes != 0) m.Raw("attributes", UNum(node.attributes));
        if (node.link_type != 0) {
          m.Raw("link", Members().Raw("type", UNum(node.link_type)).Text("target", node.link_target).Close());
        }
        if (!node.files.empty()) m.Raw("files", Array(node.files, FileJson));
        if (!node.values.empty()) m.Raw("values", Array(node.values, ValueJson));
        if (!node.items.empty()) m.Raw("items", Array(node.items, ItemJson));
        std::string open = m.Close();
        open.pop_back();  // the children follow before the closing brace
        out.Write(open + ",\"children\":[");
      },
      [&](const SXReadNode&, size_t) { out.Write("]}"); });
}

}  // namespace

void DumpJson(const SXDumpDocument& document, CXDumpSink& out) {
  const SXReadSnapshot& s = *document.snapshot;
  const SXReadInfo& info = s.info;
  Members file;
  file.Raw("name", JsonString(DecodeUtf8(document.file_name))).Raw("size", UNum(s.file_size)).Raw("blocks", UNum(s.block_count));
  file.Raw("info_offset", UNum(s.info_offset));
  file.Raw("table_offsets", Format("[%u,%u,%u]", s.table_offsets[0], s.table_offsets[1], s.table_offsets[2]));

  Members counters;
  static const char* const kKinds[3] = {"registry", "files", "applications"};
  for (int k = 0; k < 3; ++k) counters.Raw(kKinds[k], Format("[%d,%d]", info.counters[k][0], info.counters[k][1]));
  std::string chunks = "[";
  for (size_t i = 0; i < info.chunk_offsets.size(); ++i) chunks += (i == 0 ? "" : ",") + UNum(info.chunk_offsets[i]);
  Members targets;
  for (int k = 0; k < 3; ++k) targets.Raw(kKinds[k], TextArray(info.targets[k]));
  Members request;
  request.Raw("full", Bool(info.full)).Raw("removable_drives", Bool(info.removable));
  request.Raw("version_information", Bool(info.version_info)).Raw("targets", targets.Close());
  Members i;
  i.Raw("number", Num(info.number)).Raw("reserved", Num(info.reserved)).Raw("format_version", Num(info.format_version));
  i.Raw("title", JsonString8(info.title)).Raw("time", JsonString8(info.time)).Raw("computer", JsonString8(info.computer));
  i.Raw("os", JsonString8(info.os)).Raw("os_details", JsonString8(info.os_details));
  i.Raw("processor", JsonString8(info.processor)).Text("user", info.user);
  i.Raw("tables_offset", UNum(info.tables_offset)).Raw("counters", counters.Close());
  i.Raw("elapsed", Format("{\"minutes\":%d,\"seconds\":%d}", info.elapsed_minutes, info.elapsed_seconds));
  i.Raw("version_table", Format("{\"count\":%d,\"per_chunk\":%d,\"chunk_offsets\":%s]}", info.version_count,
                                info.versions_per_chunk, chunks.c_str()));
  i.Raw("scan_request", request.Close());

  out.Write("{\"file\":" + file.Close() + ",\n\"info\":" + i.Close() + ",\n\"sections\":{");
  for (int k = 0; k < 3; ++k) {
    out.Write(Format("%s\"%s\":[", k == 0 ? "" : ",\n", kKinds[k]));
    for (size_t n = 0; n < s.sections[k].size(); ++n) {
      const SXReadSection& section = s.sections[k][n];
      Members m;
      m.Text("name", section.name).Raw("block_offset", UNum(section.block_offset));
      m.Raw("root_offset", UNum(section.root_offset)).Raw("payload_length", UNum(section.payload_length));
      m.Raw("stored_length", UNum(section.stored_length));
      std::string open = m.Close();
      open.pop_back();
      out.Write((n == 0 ? "\n" : ",\n") + open + ",\"root\":");
      NodeJson(section.root, out);
      out.Write("}");
    }
    out.Write("]");
  }
  out.Write("},\n\"versions\":[");
  for (size_t n = 0; n < s.versions.size(); ++n) {
    const SXReadVersion& v = s.versions[n];
    Members m;
    m.Raw("index", UNum(n)).Raw("file_version", "\"" + snapshot_dump::FileVersionText(v.file_version_high,
                                                                                       v.file_version_low) + "\"");
    for (int k = 0; k < kVersionStringCount; ++k) m.Text(snapshot_dump::kVersionStringNames[k], v.strings[k]);
    out.Write((n == 0 ? "\n" : ",\n") + m.Close());
  }
  out.Write("],\n\"remark_count\":" + UNum(document.remark_count) + ",\n\"remarks\":" +
            Array(document.remarks, [](const std::string& r) { return JsonString(DecodeUtf8(r)); }) + "}\n");
}

}  // namespace orvalinth
