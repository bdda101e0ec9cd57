#pragma once
// The store behind the emulated registry: two hives (\Registry\Machine and
// \Registry\User) plus the current configuration, kept as trees of nodes
// under one process-wide lock. Every function here expects that lock held.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace orvalinth::platform::posix {

struct RegistryValue {
  std::u16string name;
  uint32_t type = kRegNone;
  std::string data;
};

struct RegistryNode {
  std::u16string name;
  std::vector<std::shared_ptr<RegistryNode>> children;  // in name order
  std::vector<RegistryValue> values;                    // in the order first set
  bool link = false;       // created with kRegOptionCreateLink
  bool deleted = false;    // removed while a key object still refers to it
  bool permanent = false;  // a root, or the key behind HKEY_CLASSES_ROOT or HKEY_CURRENT_USER
  bool denied = false;     // opening it is refused (tests)
  bool unreadable = false; // it opens, but every query and enumeration answers 6 (tests)
  int64_t last_write = 0;  // FILETIME of the last change of its values or subkeys
};
using NodePtr = std::shared_ptr<RegistryNode>;

// Names compared and ordered unit by unit with A-Z folded onto a-z.
bool SameName(const std::u16string& a, const std::u16string& b);
int CompareKeyNames(const std::u16string& a, const std::u16string& b);

const RegistryValue* FindValue(const RegistryNode& node, const std::u16string& name);

// Marks `node` written now.
void Touch(RegistryNode& node);

class RegistryTree {
 public:
  // The account whose hive HKEY_CURRENT_USER shows: the service's, LocalSystem.
  static constexpr char16_t kCurrentUserSid[] = u"S-1-5-18";

  RegistryTree() { Clear(); }

  std::mutex& lock() { return lock_; }
  // Bumped by every Clear: key objects of an earlier generation are invalid.
  uint64_t generation() const { return generation_; }
  // Back to the five empty roots.
  void Clear();

  NodePtr RootNode(RegistryRoot root) const;

  struct Walk {
    bool create = false;       // create the missing keys
    bool create_link = false;  // the last component is created as a link (must not exist)
    bool open_link = false;    // a link as the last component is opened itself
  };
  // Finds `path` below `start` by the rules of platform/registry.h; on
  // success fills *node and, when the path had components, *parent (the key
  // holding the last one). Returns the error code.
  uint32_t Resolve(const NodePtr& start, const std::u16string& path, const Walk& walk, NodePtr* node,
                   NodePtr* parent = nullptr);

  // Removes `node` from `parent` (the rules of DeleteSubKey).
  static uint32_t Remove(const NodePtr& parent, const NodePtr& node);

 private:
  uint32_t Follow(const NodePtr& link, bool create, int* hops, NodePtr* target);
  uint32_t Descend(NodePtr start, const std::vector<std::u16string>& components, const Walk& walk, int* hops,
                   NodePtr* node, NodePtr* parent);

  std::mutex lock_;
  uint64_t generation_ = 0;
  NodePtr machine_;
  NodePtr users_;
  NodePtr config_;
  NodePtr classes_;       // \Registry\Machine\SOFTWARE\Classes
  NodePtr current_user_;  // \Registry\User\S-1-5-18
};

}  // namespace orvalinth::platform::posix
