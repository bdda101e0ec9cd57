#pragma once
// Registry paths written with their root's name ("HKEY_LOCAL_MACHINE\SOFTWARE"),
// as the registry scan takes its targets and the console's key browsing its
// paths.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace orvalinth {

struct SXRegistryRootName {
  const char16_t* name;
  platform::RegistryRoot root;
};
// The five root names, in the order of a full registry scan.
extern const SXRegistryRootName kRegistryRootNames[5];
// The root called `name` (A-Z folded); false for any other name.
bool FindRegistryRoot(std::u16string_view name, platform::RegistryRoot* root);

// Opens "ROOT\sub\path" for reading ("ROOT\" opens the root itself). Null
// when it cannot be opened: *error is the registry's code, or 2 when the path
// has no "\" or names no root.
std::unique_ptr<platform::RegistryKey> OpenRegistryPath(const std::u16string& path, uint32_t* error);

}  // namespace orvalinth
