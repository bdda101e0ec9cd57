#include "tools/reply_rules.h"

#include <cstring>

#include "base/strings.h"
#include "tools/console_text.h"

namespace orvalinth::tools {
namespace {

using K = ValueKind;

constexpr char kMagic[] = "QELMv1.0";
constexpr size_t kMagicLength = sizeof kMagic - 1;

std::string Quoted(std::string_view text) { return "\"" + DisplayText(text) + "\""; }

// The keys of the command table's replies that never vary.
const std::vector<SXKeySpec>& FixedReplyKeys(std::string_view command) {
  static const std::vector<SXKeySpec> none;
  static const std::vector<SXKeySpec> disk = {{"disk", K::kString}};
  static const std::vector<SXKeySpec> listing = {{"path", K::kList}};
  static const std::vector<SXKeySpec> scan_settings = {
      {"full", K::kInt},     {"add-ver-inf", K::kInt}, {"show-rem-dsk", K::kInt}, {"snap-name", K::kString},
      {"regs", K::kList},    {"file", K::kList},       {"apps", K::kList}};
  static const std::vector<SXKeySpec> set_scan = {{"ok", K::kInt}, {"scan-targets", K::kString}};
  if (command == "get-disk") return disk;
  if (command == "get-dir" || command == "get-reg") return listing;
  if (command == "get-scan") return scan_settings;
  if (command == "set-scan") return set_scan;
  return none;
}

// "ok" 1 alone, or "ok" 0 followed by "msg" (shared by "scan", "stop-scan",
// "scan-done" with its own key for success).
std::string CheckOkOrMsg(const CXMessage& m, std::string_view success_key) {
  if (m.keys().empty() || m.keys()[0] != "ok" || !IsDecimalInt(m.values()[0])) {
    return CheckKeys(m, {{"ok", K::kInt}});
  }
  const int32_t ok = m.GetInt("ok");
  if (ok == 1) {
    if (success_key.empty()) return CheckKeys(m, {{"ok", K::kInt}});
    return CheckKeys(m, {{"ok", K::kInt}, {success_key, K::kInt}});
  }
  if (ok == 0) return CheckKeys(m, {{"ok", K::kInt}, {"msg", K::kString}});
  return Quoted(m.Name()) + ": ok is " + m.values()[0] + ", not 0 or 1";
}

std::string CheckDownSnap(const CXMessage& m) {
  if (m.keys().empty() || m.keys()[0] != "size" || !IsDecimalInt(m.values()[0])) {
    return CheckKeys(m, {{"size", K::kInt}});
  }
  const int32_t size = m.GetInt("size");
  if (size < 0) return "\"down-snap\": negative size " + m.values()[0];
  if (size > 0) return CheckKeys(m, {{"size", K::kInt}});
  return CheckKeys(m, {{"size", K::kInt}, {"msg", K::kString}});
}

std::string CheckUpgradeFailure(const CXMessage& m) {
  std::string wrong = CheckKeys(m, {{"ok", K::kInt}, {"msg", K::kString}});
  if (wrong.empty() && m.GetInt("ok") != 0) wrong = "\"upgd-cli\": ok is " + m.values()[0] + ", only 0 is ever sent";
  return wrong;
}

}  // namespace

bool IsDecimalInt(std::string_view value) {
  size_t i = 0;
  const bool negative = !value.empty() && value[0] == '-';
  if (negative) i = 1;
  const size_t digits = value.size() - i;
  if (digits == 0 || digits > 10) return false;
  for (size_t j = i; j < value.size(); ++j) {
    if (value[j] < '0' || value[j] > '9') return false;
  }
  // "%d" writes no leading zeros and no "-0".
  if (value[i] == '0' && (digits > 1 || negative)) return false;
  int64_t v = 0;
  for (size_t j = i; j < value.size(); ++j) v = v * 10 + (value[j] - '0');
  return negative ? -v >= INT32_MIN : v <= INT32_MAX;
}

bool HasPayloadMarker(const CXMessage& message) {
  // The name and the pairs account for every byte of a body without payload.
  size_t used = message.Name().size();
  for (size_t i = 0; i < message.keys().size(); ++i) used += 2 + message.keys()[i].size() + message.values()[i].size();
  return static_cast<size_t>(message.buffer().size()) > used;
}

std::string CheckKeys(const CXMessage& m, const std::vector<SXKeySpec>& expected) {
  const std::string name = Quoted(m.Name());
  const auto& keys = m.keys();
  const auto& values = m.values();
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i >= keys.size()) {
      return name + ": key " + Quoted(expected[i].key) + " missing" +
             (i == 0 ? std::string() : " after " + Quoted(keys[i - 1]));
    }
    if (keys[i] != expected[i].key) {
      return name + ": key " + std::to_string(i + 1) + " is " + Quoted(keys[i]) + ", expected " +
             Quoted(expected[i].key);
    }
    if (expected[i].kind == K::kInt && !IsDecimalInt(values[i])) {
      return name + ": " + Quoted(keys[i]) + " is " + Quoted(values[i]) + ", not a decimal integer";
    }
    if (expected[i].kind == K::kList && !values[i].empty() && static_cast<uint8_t>(values[i][0]) != 0xFF) {
      return name + ": " + Quoted(keys[i]) + " is no list (it does not start with FF)";
    }
  }
  if (keys.size() > expected.size()) return name + ": unexpected key " + Quoted(keys[expected.size()]);
  if (HasPayloadMarker(m)) return name + ": unexpected payload of " + std::to_string(m.PayloadSize()) + " bytes";
  return std::string();
}

std::string_view ReplyName(std::string_view command) {
  if (command == "get-disk" || command == "get-dir" || command == "get-scan" || command == "set-scan" ||
      command == "scan" || command == "stop-scan" || command == "down-snap") {
    return command;
  }
  if (command == "get-reg") return "get-dir";
  if (command == "set-uid" || command == "down-ack" || command == "upgd-cli" || command == "uninstall") return {};
  return "null";
}

bool IsKnownCommand(std::string_view command) { return ReplyName(command) != "null"; }

std::string CheckReply(std::string_view command, const CXMessage& reply) {
  std::string_view expected = ReplyName(command);
  // "upgd-cli" is answered only when the upgrade could not begin.
  if (command == "upgd-cli") expected = "upgd-cli";
  if (expected.empty()) return Quoted(command) + " has no reply, but " + Quoted(reply.Name()) + " came";
  if (!reply.IsNamed(expected)) {
    return "reply to " + Quoted(command) + " is named " + Quoted(reply.Name()) + ", expected " + Quoted(expected);
  }
  if (command == "scan" || command == "stop-scan") return CheckOkOrMsg(reply, {});
  if (command == "down-snap") return CheckDownSnap(reply);
  if (command == "upgd-cli") return CheckUpgradeFailure(reply);
  return CheckKeys(reply, FixedReplyKeys(command));
}

std::string CheckHello(const CXMessage& hello) {
  if (!hello.IsNamed("hello")) return "greeting is named " + Quoted(hello.Name()) + ", expected \"hello\"";
  std::string wrong = CheckKeys(hello, {{"ver", K::kString}, {"app", K::kInt}});
  if (!wrong.empty()) return wrong;
  const std::string& version = hello.GetString("ver");
  if (version.size() < kMagicLength || std::memcmp(version.data(), kMagic, kMagicLength) != 0) {
    return "\"hello\": ver is " + Quoted(version) + ", expected \"QELMv1.0\"";
  }
  return std::string();
}

std::string CheckInfo(const CXMessage& info) {
  if (!info.IsNamed("info")) return "expected \"info\" after the greeting, got " + Quoted(info.Name());
  std::vector<SXKeySpec> expected = {{"name", K::kString},     {"app-ver", K::kInt},    {"app-bit", K::kInt},
                                     {"os-bit", K::kInt},      {"scanning", K::kInt},   {"id", K::kInt},
                                     {"saved-uids", K::kString}, {"scan-targets", K::kString}};
  const auto& keys = info.keys();
  size_t at = expected.size();
  // The optional groups are recognised by their first key.
  if (keys.size() > at && keys[at] == "upgraded") {
    expected.push_back({"upgraded", K::kInt});
    expected.push_back({"app-ver", K::kInt});
    expected.push_back({"upgrade-ok", K::kInt});
    at += 3;
  }
  if (keys.size() > at && keys[at] == "crash") expected.push_back({"crash", K::kString});
  return CheckKeys(info, expected);
}

std::string CheckPing(const CXMessage& ping) {
  if (!ping.keys().empty()) return "\"ping\" with keys (" + Quoted(ping.keys()[0]) + ")";
  if (HasPayloadMarker(ping)) return "\"ping\" with a payload";
  return std::string();
}

std::string CheckScanDone(const CXMessage& done) { return CheckOkOrMsg(done, "id-snapshot"); }

std::string CheckDownBlock(const CXMessage& block) {
  if (HasPayloadMarker(block)) {
    if (!block.keys().empty()) return "\"down-block\" with a payload and keys (" + Quoted(block.keys()[0]) + ")";
    if (block.PayloadSize() > kBlockSize) {
      return Format("\"down-block\" payload of %d bytes, at most %d", static_cast<int>(block.PayloadSize()),
                    static_cast<int>(kBlockSize));
    }
    return std::string();
  }
  std::string wrong = CheckKeys(block, {{"done", K::kInt}});
  if (wrong.empty() && block.GetInt("done") != 1) wrong = "\"down-block\": done is " + block.values()[0] + ", not 1";
  return wrong;
}

std::string ParseListing(const CXMessage& reply, std::vector<SXListEntry>* entries) {
  entries->clear();
  std::vector<std::u16string> elements;
  reply.GetList("path", &elements);
  const std::u16string separator = kLinkSeparator;
  for (size_t i = 0; i < elements.size(); ++i) {
    const std::u16string& e = elements[i];
    const std::string where = "listing element " + std::to_string(i + 1);
    if (e.empty() || e[0] < u'0' || e[0] > u'2') {
      return where + " does not start with the kind digit 0, 1 or 2: " + Quoted(Utf16ToUtf8(e));
    }
    SXListEntry entry;
    entry.kind = e[0] - u'0';
    entry.name = e.substr(1);
    if (entry.kind == 2) {
      const size_t at = entry.name.find(separator);
      if (at == std::u16string::npos) return where + " is a link without the separator: " + Quoted(Utf16ToUtf8(e));
      entry.target = entry.name.substr(at + separator.size());
      entry.name.resize(at);
    }
    entries->push_back(std::move(entry));
  }
  return std::string();
}

std::string ParseDrives(std::string_view disk, std::vector<SXDrive>* drives) {
  drives->clear();
  if (disk.size() % 2 != 0) return "drive list " + Quoted(disk) + " has an odd length";
  for (size_t i = 0; i < disk.size(); i += 2) {
    const char letter = disk[i];
    const char type = disk[i + 1];
    if (letter < 'a' || letter > 'z' || (type != '0' && type != '1')) {
      return "drive list " + Quoted(disk) + ": " + Quoted(disk.substr(i, 2)) + " is no letter a-z with 0 or 1";
    }
    if (!drives->empty() && letter <= drives->back().letter) {
      return "drive list " + Quoted(disk) + " is not in ascending order";
    }
    drives->push_back({letter, type == '1'});
  }
  return std::string();
}

}  // namespace orvalinth::tools
