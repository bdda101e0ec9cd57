#include "registry_scratch.h"

#include <atomic>
#include <stdexcept>
#include <vector>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace orvalinth::test {
namespace {

std::atomic<int> scratch_counter{0};
const std::u16string kTestRoot = u"Software\\OrvalinthTest";

}  // namespace

ScratchKey::ScratchKey(platform::RegistryRoot root) : root_(root) {
  path_ = kTestRoot + u"\\" +
          Widen(Format("p%u-%d", platform::CurrentProcessId(), scratch_counter.fetch_add(1)));
  // What a crashed earlier run with the same process id left goes first.
  DeleteRegistryTree(root_, path_);
  if (platform::Registry::Get().CreateKey(root_, path_, platform::kRegOptionNone, &key_) != platform::kErrorSuccess) {
    throw std::runtime_error("cannot create the scratch registry key");
  }
}

ScratchKey::~ScratchKey() {
  key_.reset();
  DeleteRegistryTree(root_, path_);
  // The shared parent goes when no other test uses it any more (5 otherwise).
  platform::Registry::Get().DeleteKey(root_, kTestRoot);
}

bool ScratchKey::Create(const std::u16string& relative) {
  std::unique_ptr<platform::RegistryKey> created;
  return key_->CreateSubKey(relative, platform::kRegOptionNone, &created) == platform::kErrorSuccess;
}

bool ScratchKey::CreateLink(const std::u16string& relative, const std::u16string& native_target) {
  std::unique_ptr<platform::RegistryKey> link;
  if (key_->CreateSubKey(relative, platform::kRegOptionCreateLink, &link) != platform::kErrorSuccess) return false;
  return link->SetValue(platform::kSymbolicLinkValueName, platform::kRegLink, platform::RegLinkData(native_target)) ==
         platform::kErrorSuccess;
}

void DeleteRegistryTree(platform::RegistryRoot root, const std::u16string& path) {
  platform::Registry& registry = platform::Registry::Get();
  std::vector<std::u16string> children;
  {
    std::unique_ptr<platform::RegistryKey> key;
    // Opened as a link itself, a link shows no subkeys: nothing beyond it is touched.
    if (registry.OpenKey(root, path, platform::kRegOptionOpenLink, platform::kRegRead, &key) != platform::kErrorSuccess) {
      return;
    }
    std::u16string name;
    for (uint32_t i = 0; key->EnumKey(i, &name, 4096) == platform::kErrorSuccess; ++i) children.push_back(name);
  }
  for (const std::u16string& child : children) DeleteRegistryTree(root, path + u"\\" + child);
  registry.DeleteKey(root, path);
}

}  // namespace orvalinth::test
