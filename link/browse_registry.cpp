// Browsing registry keys.

#include "link/browse.h"
#include "platform/errors.h"
#include "storage/strings.h"

namespace orvalinth {

const SXRegistryRootName kRegistryRootNames[5] = {
    {u"HKEY_CLASSES_ROOT", platform::RegistryRoot::kClassesRoot},
    {u"HKEY_CURRENT_CONFIG", platform::RegistryRoot::kCurrentConfig},
    {u"HKEY_CURRENT_USER", platform::RegistryRoot::kCurrentUser},
    {u"HKEY_LOCAL_MACHINE", platform::RegistryRoot::kLocalMachine},
    {u"HKEY_USERS", platform::RegistryRoot::kUsers},
};

bool FindRegistryRoot(std::u16string_view name, platform::RegistryRoot* root) {
  for (const SXRegistryRootName& entry : kRegistryRootNames) {
    if (EqualsFolded(name, entry.name)) {
      *root = entry.root;
      return true;
    }
  }
  return false;
}

std::unique_ptr<platform::RegistryKey> OpenRegistryPath(const std::u16string& path, uint32_t* error) {
  const size_t slash = path.find(u'\\');
  platform::RegistryRoot root;
  if (slash == std::u16string::npos || !FindRegistryRoot(std::u16string_view(path).substr(0, slash), &root)) {
    // Said as a missing key, so that no caller takes the failure for an empty key.
    *error = platform::kErrorFileNotFound;
    return nullptr;
  }
  std::unique_ptr<platform::RegistryKey> key;
  *error = platform::Registries::Get().OpenKey(root, path.substr(slash + 1), platform::kRegOptionNone,
                                               platform::kRegRead, &key);
  if (*error != platform::kErrorSuccess) return nullptr;
  return key;
}

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
