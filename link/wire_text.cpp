#include "link/wire_text.h"

#include "base/strings.h"

namespace orvalinth {

std::string WireValue(std::string text) {
  for (char& c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == 0xFE || byte == 0x00) c = '?';
  }
  // FF is a character of the ANSI code page (y with diaeresis in the Western
  // ones); only as the first byte would a reader take the value for a list.
  if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xFF) text[0] = '?';
  return text;
}

std::string CrashReportValue(const std::string& bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return WireValue(bytes);
  }
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit != 0) text += unit;
  }
  // UTF-8 of 16-bit units never holds FE, FF or (without zero units) 00.
  return EncodeUtf8(text);
}

std::string LogSafe(const std::string& text, size_t limit) {
  std::string out = text.size() > limit ? text.substr(0, limit) + "..." : text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

namespace {

// The most the scan targets of a request may take, in bytes as they come
// (each entry's FF and UTF-8): far beyond any real list, and far below a
// frame, which "info" and "get-scan" must fit with them.
constexpr size_t kMaxScanTargetsBytes = 1048576;

// An entry of a target list that the settings file can hold: one that comes
// back unchanged and changes nothing else at the next load. An exclusion
// entry ("-" and a storable target) is taken too, although the file keeps it
// only as a comment line: it works until the service restarts, and a line
// beginning with "-" can change nothing else.
bool AcceptableTarget(const std::u16string& entry) {
  if (CXClientSettings::IsStorableTarget(entry)) return true;
  return entry.size() > 1 && entry[0] == u'-' && CXClientSettings::IsStorableTarget(entry.substr(1));
}

// The target lists of a "set-scan" or "scan" request. Empty entries are left
// out (a scan ignores them and the file cannot hold them). False with *error
// when an entry could not be stored: a list entry that reads back as a
// settings key or section header would change the agent's own settings (its
// console address, for one) at the next load.
bool ReadTargetList(const CXMessage& request, const char* key, std::vector<std::u16string>* list,
                    std::string* error) {
  std::vector<std::u16string> entries;
  request.GetList(key, &entries);
  list->clear();
  for (std::u16string& entry : entries) {
    if (entry.empty()) continue;
    if (!AcceptableTarget(entry)) {
      *error = WireValue(LogSafe(Format("cannot store scan target [%s]", EncodeUtf8(entry).c_str()), 300));
      return false;
    }
    list->push_back(std::move(entry));
  }
  return true;
}

}  // namespace

bool ReadScanTargetLists(const CXMessage& request, SXScanTargets* targets, std::string* error) {
  // Every "info" and "get-scan" carries the targets: lists that would not
  // fit a frame would make the agent's own greeting fail at every connect.
  // Measured as they came, before any of them is decoded.
  const size_t bytes = request.GetString("file").size() + request.GetString("regs").size() +
                       request.GetString("apps").size();
  if (bytes > kMaxScanTargetsBytes) {
    *error = Format("scan targets too large (%llu bytes, at most %llu)", static_cast<unsigned long long>(bytes),
                    static_cast<unsigned long long>(kMaxScanTargetsBytes));
    return false;
  }
  return ReadTargetList(request, "file", &targets->files, error) &&
         ReadTargetList(request, "regs", &targets->registry, error) &&
         ReadTargetList(request, "apps", &targets->applications, error);
}

}  // namespace orvalinth
