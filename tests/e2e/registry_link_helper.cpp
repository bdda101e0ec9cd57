// orvalinth_e2e_helper.exe: what the end-to-end tests need inside a Wine
// prefix that Wine's own tools cannot do. Built by the win64 build only.
//
//   orvalinth_e2e_helper reg-link KEY TARGET
//
// creates the key KEY (a path below HKEY_LOCAL_MACHINE, made with every key
// on the way) as a registry link whose "SymbolicLinkValue" is TARGET (a
// native path such as \Registry\Machine\SOFTWARE\...). Exit code 0 on
// success, else the system's error code (1 for a usage error), with a line on
// standard error.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/strings.h"
#include "platform/registry.h"

namespace {

using orvalinth::Widen;
namespace platform = orvalinth::platform;

int MakeLink(const std::u16string& key, const std::u16string& target) {
  platform::Registry& registry = platform::Registry::Get();
  const size_t last = key.rfind(u'\\');
  if (last != std::u16string::npos) {
    // The parents are plain keys.
    std::unique_ptr<platform::RegistryKey> parent;
    const uint32_t made = registry.CreateKey(platform::RegistryRoot::kLocalMachine, key.substr(0, last),
                                             platform::kRegOptionNone, &parent);
    if (made != 0) {
      std::fprintf(stderr, "cannot create the parent key (error %u)\n", static_cast<unsigned>(made));
      return static_cast<int>(made);
    }
  }
  std::unique_ptr<platform::RegistryKey> link;
  const uint32_t created =
      registry.CreateKey(platform::RegistryRoot::kLocalMachine, key, platform::kRegOptionCreateLink, &link);
  if (created != 0) {
    std::fprintf(stderr, "cannot create the link key (error %u)\n", static_cast<unsigned>(created));
    return static_cast<int>(created);
  }
  const uint32_t set =
      link->SetValue(platform::kSymbolicLinkValueName, platform::kRegLink, platform::RegLinkData(target));
  if (set != 0) {
    std::fprintf(stderr, "cannot set the link's target (error %u)\n", static_cast<unsigned>(set));
    return static_cast<int>(set);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "reg-link") == 0) return MakeLink(Widen(argv[2]), Widen(argv[3]));
  std::fprintf(stderr, "usage: orvalinth_e2e_helper reg-link KEY TARGET\n");
  return 1;
}
