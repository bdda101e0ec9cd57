#include "tools/console_output.h"

#include "base/app_version.h"
#include "base/strings.h"
#include "tools/console_text.h"

namespace orvalinth::tools {
namespace {

const char* KindWord(int kind, bool registry) {
  switch (kind) {
    case 1: return registry ? "has subkeys" : "has subfolders";
    case 2: return "link";
    default: return registry ? "no subkeys" : "no subfolders";
  }
}

std::string JsonList(const std::vector<std::u16string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + JsonQuote(items[i]);
  return out + "]";
}

// Saved snapshot numbers as a JSON array; pieces that are no number are left out.
std::string SavedJson(const std::string& saved) {
  std::string out = "[";
  size_t start = 0;
  bool first = true;
  while (start <= saved.size() && !saved.empty()) {
    size_t comma = saved.find(',', start);
    if (comma == std::string::npos) comma = saved.size();
    const std::string piece = saved.substr(start, comma - start);
    if (IsDecimalInt(piece)) {
      out += (first ? "" : ",") + piece;
      first = false;
    }
    start = comma + 1;
  }
  return out + "]";
}

std::string Indented(const std::string& text, const std::string& indent) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += indent + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return out;
}

std::string Row(const char* label, const std::string& value) { return "  " + PadRight(label, 15) + value + "\n"; }

std::string HumanList(const std::vector<std::u16string>& items) {
  if (items.empty()) return "(none)";
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + DisplayText(items[i]);
  return out;
}

}  // namespace

SXField JsonInt(const std::string& key, int64_t value) { return {key, std::to_string(value)}; }
SXField JsonText(const std::string& key, std::string_view bytes) { return {key, JsonQuote(bytes)}; }
SXField JsonBool(const std::string& key, bool value) { return {key, value ? "true" : "false"}; }

void CXConsoleOutput::Line(const std::string& command, bool ok, const std::vector<SXField>& fields) {
  std::string line = "{\"command\":" + JsonQuote(command) + ",\"ok\":" + (ok ? "true" : "false");
  for (const SXField& f : fields) line += "," + JsonQuote(f.first) + ":" + f.second;
  out_(line + "}\n");
}

void CXConsoleOutput::Listening(const std::string& address, uint16_t port, const std::string& pin) {
  if (json_) {
    std::vector<SXField> fields = {JsonText("address", address), JsonInt("port", port)};
    if (!pin.empty()) fields.insert(fields.end(), {JsonBool("tls", true), JsonText("pin", pin)});
    Line("listen", true, fields);
    return;
  }
  err_(Format("listening on %s:%u%s, waiting for an agent\n", DisplayText(address).c_str(),
              static_cast<unsigned>(port), pin.empty() ? "" : " with TLS"));
  if (!pin.empty()) err_("agents need ServerTLS:1 and ServerPin:" + pin + "\n");
}

std::string CXConsoleOutput::AgentJson(const SXAgentInfo& info) {
  std::string out = "{\"name\":" + JsonQuote(info.name) + ",\"app-ver\":" + std::to_string(info.app_ver) +
                    ",\"app-bit\":" + std::to_string(info.app_bit) + ",\"os-bit\":" + std::to_string(info.os_bit) +
                    ",\"scanning\":" + std::to_string(info.scanning) + ",\"id\":" + std::to_string(info.id) +
                    ",\"saved-uids\":" + JsonQuote(info.saved_uids) + ",\"saved\":" + SavedJson(info.saved_uids) +
                    ",\"scan-targets\":" + JsonQuote(info.scan_targets);
  if (info.upgraded) out += ",\"upgraded\":1,\"upgrade-ok\":" + std::to_string(info.upgrade_ok);
  if (info.has_crash) out += ",\"crash\":" + JsonQuote(info.crash);
  return out + "}";
}

void CXConsoleOutput::Agent(const std::string& command, const SXAgentInfo& info) {
  if (json_) {
    Line(command, true, {{"agent", AgentJson(info)}});
    return;
  }
  std::string text = "agent \"" + DisplayText(info.name) + "\"\n";
  text += Row("version", Format("%d (%s)", static_cast<int>(info.app_ver), AppVersionText(info.app_ver)));
  text += Row("bitness", Format("%d-bit program on a %d-bit system", static_cast<int>(info.app_bit),
                                static_cast<int>(info.os_bit)));
  text += Row("scanning", info.scanning != 0 ? "yes" : "no");
  text += Row("computer id", std::to_string(info.id));
  std::string saved = info.saved_uids;
  for (size_t at = saved.find(','); at != std::string::npos; at = saved.find(',', at + 2)) saved.insert(at + 1, " ");
  text += Row("saved", saved.empty() ? "(none)" : DisplayText(saved));
  text += Row("scan targets", info.scan_targets.empty() ? "(none)" : DisplayText(info.scan_targets));
  if (info.upgraded) {
    text += Row("upgraded", info.upgrade_ok != 0 ? "yes, to a new version" : "yes, but the version did not change");
  }
  if (info.has_crash) {
    text += Row("crash report", std::to_string(info.crash.size()) + " bytes:");
    text += Indented(DisplayText(info.crash, /*keep_newlines=*/true), "    ");
  }
  out_(text);
}

void CXConsoleOutput::Drives(const std::string& command, const std::string& disk, const std::vector<SXDrive>& drives) {
  if (json_) {
    std::string list = "[";
    for (size_t i = 0; i < drives.size(); ++i) {
      list += std::string(i ? "," : "") + "{\"letter\":\"" + drives[i].letter + "\",\"fixed\":" +
              (drives[i].fixed ? "true" : "false") + "}";
    }
    Line(command, true, {JsonText("disk", disk), {"drives", list + "]"}});
    return;
  }
  std::string text;
  for (const SXDrive& d : drives) text += Format("%c:  %s\n", d.letter, d.fixed ? "fixed" : "other");
  if (drives.empty()) text = "(no drives)\n";
  out_(text);
}

void CXConsoleOutput::Listing(const std::string& command, const std::string& path, bool registry,
                              const std::vector<SXListEntry>& entries) {
  if (json_) {
    std::string list = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
      list += std::string(i ? "," : "") + "{\"kind\":" + std::to_string(entries[i].kind) +
              ",\"name\":" + JsonQuote(entries[i].name);
      if (entries[i].kind == 2) list += ",\"target\":" + JsonQuote(entries[i].target);
      list += "}";
    }
    Line(command, true, {JsonText("path", path), {"entries", list + "]"}});
    return;
  }
  const char* noun = registry ? (entries.size() == 1 ? "subkey" : "subkeys")
                              : (entries.size() == 1 ? "subfolder" : "subfolders");
  std::string text = DisplayText(path) + ": " + std::to_string(entries.size()) + " " + noun + "\n";
  for (const SXListEntry& e : entries) {
    text += "  " + PadRight(KindWord(e.kind, registry), 16) + DisplayText(e.name);
    if (e.kind == 2) text += "  ->  " + (e.target.empty() ? std::string("(target unknown)") : DisplayText(e.target));
    text += "\n";
  }
  out_(text);
}

void CXConsoleOutput::ScanSettings(const std::string& command, const CXMessage& reply) {
  std::vector<std::u16string> regs, files, apps;
  reply.GetList("regs", &regs);
  reply.GetList("file", &files);
  reply.GetList("apps", &apps);
  if (json_) {
    Line(command, true,
         {JsonInt("full", reply.GetInt("full")), JsonInt("add-ver-inf", reply.GetInt("add-ver-inf")),
          JsonInt("show-rem-dsk", reply.GetInt("show-rem-dsk")), JsonText("snap-name", reply.GetString("snap-name")),
          {"regs", JsonList(regs)}, {"file", JsonList(files)}, {"apps", JsonList(apps)}});
    return;
  }
  std::string text;
  text += Row("full scan", reply.GetInt("full") != 0 ? "yes" : "no");
  text += Row("version info", reply.GetInt("add-ver-inf") != 0 ? "yes" : "no");
  text += Row("removable", reply.GetInt("show-rem-dsk") != 0 ? "yes" : "no");
  text += Row("snapshot name", DisplayText(reply.GetString("snap-name")));
  text += Row("files", HumanList(files));
  text += Row("registry", HumanList(regs));
  text += Row("applications", HumanList(apps));
  out_(text);
}

void CXConsoleOutput::Message(const std::string& command, const std::string& sent, const CXMessage* reply) {
  if (json_) {
    std::string value = "null";
    if (reply != nullptr) {
      value = "{\"name\":" + JsonQuote(reply->Name()) + ",\"keys\":[";
      for (size_t i = 0; i < reply->keys().size(); ++i) {
        value += std::string(i ? "," : "") + "[" + JsonQuote(reply->keys()[i]) + "," + JsonQuote(reply->values()[i]) + "]";
      }
      value += "],\"payload\":" + std::to_string(HasPayloadMarker(*reply) ? reply->PayloadSize() : -1) + "}";
    }
    Line(command, true, {JsonText("sent", sent), {"reply", value}});
    return;
  }
  if (reply == nullptr) {
    out_("sent \"" + DisplayText(sent) + "\"\n");
    return;
  }
  std::string text = "reply \"" + DisplayText(reply->Name()) + "\"\n";
  for (size_t i = 0; i < reply->keys().size(); ++i) {
    text += "  " + PadRight(DisplayText(reply->keys()[i]), 14) + " " + DisplayText(reply->values()[i]) + "\n";
  }
  if (HasPayloadMarker(*reply)) text += Format("  payload of %d bytes\n", static_cast<int>(reply->PayloadSize()));
  out_(text);
}

void CXConsoleOutput::Done(const std::string& command, const std::vector<SXField>& fields, const std::string& human) {
  if (json_) {
    Line(command, true, fields);
  } else if (!human.empty()) {
    out_(human + "\n");
  }
}

void CXConsoleOutput::Failure(const std::string& command, const std::string& kind, const std::string& text,
                              const std::string& hex, const std::vector<SXField>& fields) {
  std::string human = "orvalinth console: " + command + ": " + (kind == "violation" ? "protocol violation: " : "") +
                      text + "\n";
  if (!hex.empty()) human += "  frame: " + hex + "\n";
  err_(human);
  if (json_) {
    std::vector<SXField> all = {JsonText("failure", kind), JsonText("error", text)};
    if (!hex.empty()) all.push_back(JsonText("frame", hex));
    all.insert(all.end(), fields.begin(), fields.end());
    Line(command, false, all);
  }
}

void CXConsoleOutput::Note(const std::string& text) {
  if (!json_) err_(text + "\n");
}

}  // namespace orvalinth::tools
