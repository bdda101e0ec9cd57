#include "record/apps/uninstall_entries.h"

#include <algorithm>
#include <memory>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/path_lookup.h"

namespace orvalinth {
namespace {

std::u16string TextValue(platform::RegistryKey& key, const std::u16string& name) {
  uint32_t type = 0;
  std::string data;
  if (key.QueryValue(name, &type, &data) != platform::kErrorSuccess) return std::u16string();
  return UninstallText(type, data);
}

// The first entry whose key name is `key` exactly, or null.
SXUninstallEntry* FindKey(std::vector<SXUninstallEntry>& entries, const std::u16string& key) {
  for (SXUninstallEntry& entry : entries) {
    if (entry.key_name == key) return &entry;
  }
  return nullptr;
}

// `parent` has components: its group is its own name, and it is a parent.
void MarkParent(SXUninstallEntry* parent) {
  parent->group = parent->name;
  if (parent->status == kEntryHidden || parent->status == kEntryComponent) parent->status = kEntryHiddenParent;
  if (parent->status == kEntryVisible) parent->status = kEntryVisibleParent;
}

bool IsParent(const SXUninstallEntry& e) {
  return e.status == kEntryVisibleParent || e.status == kEntryHiddenParent;
}

}  // namespace

void ReadUninstallEntries(platform::RegistryRoot root, std::vector<SXUninstallEntry>* entries) {
  std::unique_ptr<platform::RegistryKey> uninstall;
  if (platform::Registry::Get().OpenKey(root, kUninstallKey, platform::kRegOptionNone, platform::kRegRead,
                                          &uninstall) != platform::kErrorSuccess) {
    return;
  }
  std::u16string name;
  for (uint32_t index = 0;; ++index) {
    const uint32_t result = uninstall->EnumKey(index, &name, kUninstallNameRoom);
    // A name too long for the buffer cannot be opened: that subkey is left
    // out. Any other answer ends the list (the last subkey, or a key that
    // went away meanwhile).
    if (result == platform::kErrorMoreData) continue;
    if (result != platform::kErrorSuccess) break;
    std::unique_ptr<platform::RegistryKey> key;
    if (uninstall->OpenSubKey(name, platform::kRegOptionNone, platform::kRegRead, &key) != platform::kErrorSuccess) {
      continue;
    }
    entries->push_back(ReadUninstallEntry(*key, name));
  }
}

SXUninstallEntry ReadUninstallEntry(platform::RegistryKey& key, const std::u16string& key_name) {
  SXUninstallEntry e;
  e.key_name = key_name;
  const std::u16string display_name = TextValue(key, u"DisplayName");
  e.name = display_name;
  if (e.name.empty()) e.name = TextValue(key, u"");
  if (e.name.empty()) e.name = key_name;
  e.version = TextValue(key, u"DisplayVersion");
  e.uninstall = TextValue(key, u"UninstallString");
  if (e.uninstall.empty()) e.uninstall = TextValue(key, u"QuietUninstallString");
  e.publisher = TextValue(key, u"Publisher");
  e.parent_name = TextValue(key, u"ParentDisplayName");
  e.parent_key = TextValue(key, u"ParentKeyName");
  e.folder = InstallFolderOf(TextValue(key, u"InstallLocation"));
  platform::RegistryKey::Info info;
  const int64_t written = key.QueryInfo(&info) == platform::kErrorSuccess ? info.last_write_time : 0;
  e.install_date = InstallDateOf(TextValue(key, u"InstallDate"), written);

  uint32_t system_component = 0;
  if (!display_name.empty()) {
    uint32_t type = 0;
    std::string data;
    if (key.QueryValue(u"SystemComponent", &type, &data) == platform::kErrorSuccess && type == platform::kRegDword &&
        data.size() >= 4) {
      for (int i = 3; i >= 0; --i) system_component = (system_component << 8) | static_cast<uint8_t>(data[i]);
      if (system_component == 0xFFFFFFFFu) system_component = 0;
    }
  }
  const bool visible = !display_name.empty() && system_component == 0 && e.parent_name.empty() && e.parent_key.empty();
  e.status = visible ? kEntryVisible : kEntryHidden;
  return e;
}

std::u16string UninstallText(uint32_t type, const std::string& data) {
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return std::u16string();
  if (data.size() > kUninstallValueRoom) return std::u16string();
  // Up to the first zero unit; a text stored without its terminator keeps
  // its last unit.
  return platform::RegDataText(data);
}

std::u16string InstallFolderOf(std::u16string raw) {
  if (!raw.empty() && raw[0] == u'"') raw = raw.size() >= 2 ? raw.substr(1, raw.size() - 2) : std::u16string();
  if (raw.find(u'~') != std::u16string::npos) {
    std::u16string long_form;
    if (platform::PathLookup::Get().LongPathName(raw, &long_form) && !long_form.empty()) raw = long_form;
  }
  if (!raw.empty() && raw.back() != u'\\') raw += u'\\';
  return raw;
}

std::u16string InstallDateOf(const std::u16string& raw, int64_t write_time) {
  if (raw.size() == 8 && std::all_of(raw.begin(), raw.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
    return raw;
  }
  return write_time > 0 ? UtcDateText(write_time) : raw;
}

std::u16string UtcDateText(int64_t filetime) {
  // Days since 1970-01-01, then the civil date of the proleptic Gregorian
  // calendar (era-based, exact for every FILETIME).
  const int64_t z = filetime / 864000000000LL - 134774 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return Widen(Format("%04d%02d%02d", static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)));
}

void GroupEntries(std::vector<SXUninstallEntry>* list) {
  std::vector<SXUninstallEntry>& entries = *list;
  for (SXUninstallEntry& e : entries) {
    if (e.status != kEntryHidden) continue;
    SXUninstallEntry* parent = e.parent_key.empty() ? nullptr : FindKey(entries, e.parent_key);
    if (parent != nullptr) {
      e.status = kEntryComponent;
      e.group = parent->name;
      MarkParent(parent);
      continue;
    }
    if (!e.parent_name.empty()) {
      e.status = kEntryComponent;
      e.group = e.parent_name;
      continue;
    }
    const size_t close = e.key_name.find(u"}.");
    if (!e.key_name.empty() && e.key_name[0] == u'{' && close != std::u16string::npos) {
      SXUninstallEntry* prefix = FindKey(entries, e.key_name.substr(0, close + 1));
      if (prefix != nullptr) {
        e.group = prefix->name;
        MarkParent(prefix);
      }
    }
    e.status = kEntryComponent;
    if (!e.publisher.empty()) e.group = e.publisher;
  }
}

void SortEntries(std::vector<SXUninstallEntry>* entries) {
  std::stable_sort(entries->begin(), entries->end(), [](const SXUninstallEntry& a, const SXUninstallEntry& b) {
    if (IsParent(a) != IsParent(b)) return IsParent(a);
    const int by_name = CompareNames(a.name, b.name);
    if (by_name != 0) return by_name < 0;
    return CompareNames(a.install_date + a.version, b.install_date + b.version) < 0;
  });
}

std::vector<std::u16string> GroupNames(const std::vector<SXUninstallEntry>& entries) {
  std::vector<std::u16string> groups;
  for (const SXUninstallEntry& e : entries) {
    if (!e.group.empty()) groups.push_back(e.group);
  }
  // Letter case aside first, so that every spelling of a group meets the
  // others and the group gets one node.
  std::sort(groups.begin(), groups.end(), [](const std::u16string& a, const std::u16string& b) {
    const int folded = CompareNames(a, b);
    return folded != 0 ? folded < 0 : a < b;
  });
  std::vector<std::u16string> distinct;
  for (std::u16string& g : groups) {
    if (distinct.empty() || !EqualsFolded(distinct.back(), g)) distinct.push_back(std::move(g));
  }
  return distinct;
}

bool PassesUninstallerFilter(const std::u16string& path) {
  const std::u16string lower = FoldedAZ(path);
  for (const char16_t* word : {u"\\unins", u"install", u"\\unvise", u"\\rundll32"}) {
    if (lower.find(word) != std::u16string::npos) return false;
  }
  return true;
}

}  // namespace orvalinth
