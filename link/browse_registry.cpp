// Browsing registry keys.

#include "base/strings.h"
#include "link/browse.h"
#include "platform/errors.h"
#include "record/registry_paths.h"

namespace orvalinth {

int RegistryKeyKind(platform::RegistryKey& parent, const std::u16string& name, std::u16string* target) {
  std::unique_ptr<platform::RegistryKey> key;
  if (parent.OpenSubKey(name, platform::kRegOptionOpenLink, platform::kRegRead, &key) != platform::kErrorSuccess) {
    return kBrowseLeaf;
  }
  uint32_t type = 0;
  std::string data;
  if (key->QueryValue(platform::kSymbolicLinkValueName, &type, &data) == platform::kErrorSuccess) {
    std::u16string text = platform::RegDataText(data);
    if (StartsWithFolded(text, u"\\registry\\")) {
      *target = std::move(text);
      return kBrowseLink;
    }
  }
  platform::RegistryKey::Info info;
  if (key->QueryInfo(&info) != platform::kErrorSuccess) return kBrowseLeaf;
  return info.subkeys > 0 ? kBrowseBranch : kBrowseLeaf;
}

std::u16string NativeToRootPath(const std::u16string& native) {
  static const std::u16string kMachine = u"\\registry\\machine";
  static const std::u16string kUser = u"\\registry\\user";
  // The hive, then the end of the text or a "\": "\registry\machinery" is no hive.
  auto hive = [&](const std::u16string& prefix) {
    return StartsWithFolded(native, prefix) && (native.size() == prefix.size() || native[prefix.size()] == u'\\');
  };
  if (hive(kMachine)) return u"HKEY_LOCAL_MACHINE" + native.substr(kMachine.size());
  if (hive(kUser)) return u"HKEY_USERS" + native.substr(kUser.size());
  return native;
}

void ListRegistryKeys(const std::u16string& path, std::vector<std::u16string>* listing) {
  listing->clear();
  uint32_t error = 0;
  std::unique_ptr<platform::RegistryKey> key = OpenRegistryPath(path, &error);
  if (key == nullptr) return;
  for (uint32_t index = 0;; ++index) {
    std::u16string name;
    const uint32_t result = key->EnumKey(index, &name, kRegistryNameUnits);
    // A name cut to the buffer is still listed; any other failure ends the
    // listing (a key deleted meanwhile fails at every index).
    if (result != platform::kErrorSuccess && result != platform::kErrorMoreData) break;
    std::u16string target;
    const int kind = RegistryKeyKind(*key, name, &target);
    listing->push_back(ListingElement(kind, name, kind == kBrowseLink ? NativeToRootPath(target) : std::u16string()));
  }
}

}  // namespace orvalinth
