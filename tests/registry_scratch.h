#pragma once
// A registry key of the test's own, made fresh and removed with everything
// below it when the object goes; the same on the real registry (Wine) and
// the emulated one.

#include <memory>
#include <string>

#include "platform/registry.h"

namespace orvalinth::test {

class ScratchKey {
 public:
  // Below "Software\OrvalinthTest" of `root`, named after the process and a counter.
  explicit ScratchKey(platform::RegistryRoot root = platform::RegistryRoot::kCurrentUser);
  ~ScratchKey();
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  platform::RegistryRoot root() const { return root_; }
  // The path below the root: "Software\OrvalinthTest\p<pid>-<n>".
  const std::u16string& path() const { return path_; }
  // The key, open for reading and writing.
  platform::RegistryKey& key() { return *key_; }

  // Creates `relative` below the key (closing it again); false on failure.
  bool Create(const std::u16string& relative);
  // Creates the link `relative` below the key, pointing at `native_target`.
  bool CreateLink(const std::u16string& relative, const std::u16string& native_target);

 private:
  platform::RegistryRoot root_;
  std::u16string path_;
  std::unique_ptr<platform::RegistryKey> key_;
};

// Deletes `path` below `root` and everything below it, links themselves
// rather than what they point at.
void DeleteRegistryTree(platform::RegistryRoot root, const std::u16string& path);

}  // namespace orvalinth::test
