// Registry paths written with their root's name.

#include "record/registry_paths.h"

#include "base/strings.h"
#include "platform/errors.h"

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
  *error = platform::Registry::Get().OpenKey(root, path.substr(slash + 1), platform::kRegOptionNone,
                                               platform::kRegRead, &key);
  if (*error != platform::kErrorSuccess) return nullptr;
  return key;
}

}  // namespace orvalinth
