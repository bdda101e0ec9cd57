#include "platform/posix/registry_tree.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/errors.h"

namespace orvalinth::platform::posix {
namespace {

// Links leading on to links give up after this many steps, as Wine does.
constexpr int kMaxLinkHops = 16;

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool StartsWithFolded(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Fold(text[i]) != Fold(prefix[i])) return false;
  }
  return true;
}

// Splits on "\" and skips empty components (the system takes "a\\b" as "a\b").
std::vector<std::u16string> Components(const std::u16string& path, size_t from = 0) {
  std::vector<std::u16string> out;
  size_t start = from;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

NodePtr NewNode(const std::u16string& name, bool permanent) {
  auto node = std::make_shared<RegistryNode>();
  node->name = name;
  node->permanent = permanent;
  Touch(*node);
  return node;
}

// The child named `name`, or where it would go.
std::vector<NodePtr>::iterator Slot(RegistryNode& parent, const std::u16string& name) {
  return std::lower_bound(parent.children.begin(), parent.children.end(), name,
                          [](const NodePtr& child, const std::u16string& wanted) {
                            return CompareKeyNames(child->name, wanted) < 0;
                          });
}

NodePtr AddPermanentPath(const NodePtr& root, const std::vector<std::u16string>& path) {
  NodePtr current = root;
  for (const std::u16string& name : path) {
    auto slot = Slot(*current, name);
    if (slot == current->children.end() || !SameName((*slot)->name, name)) {
      slot = current->children.insert(slot, NewNode(name, false));
    }
    current = *slot;
  }
  current->permanent = true;
  return current;
}

}  // namespace

bool SameName(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && CompareKeyNames(a, b) == 0;
}

int CompareKeyNames(const std::u16string& a, const std::u16string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = Fold(a[i]);
    const char16_t y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

void Touch(RegistryNode& node) {
  const int64_t micros = UnixMicros();
  node.last_write = UnixToFileTime(micros / 1000000, (micros % 1000000) * 1000);
}

const RegistryValue* FindValue(const RegistryNode& node, const std::u16string& name) {
  for (const RegistryValue& value : node.values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void RegistryTree::Clear() {
  ++generation_;
  machine_ = NewNode(u"MACHINE", true);
  users_ = NewNode(u"USER", true);
  config_ = NewNode(u"CURRENT_CONFIG", true);
  classes_ = AddPermanentPath(machine_, {u"SOFTWARE", u"Classes"});
  current_user_ = AddPermanentPath(users_, {kCurrentUserSid});
}

NodePtr RegistryTree::RootNode(RegistryRoot root) const {
  switch (root) {
    case RegistryRoot::kClassesRoot: return classes_;
    case RegistryRoot::kCurrentUser: return current_user_;
    case RegistryRoot::kLocalMachine: return machine_;
    case RegistryRoot::kUsers: return users_;
    case RegistryRoot::kCurrentConfig: return config_;
  }
  return nullptr;
}

uint32_t RegistryTree::Resolve(const NodePtr& start, const std::u16string& path, const Walk& walk, NodePtr* node,
                               NodePtr* parent) {
  if (!path.empty() && path[0] == u'\\') return kErrorBadPathname;
  int hops = 0;
  return Descend(start, Components(path), walk, &hops, node, parent);
}

uint32_t RegistryTree::Descend(NodePtr current, const std::vector<std::u16string>& components, const Walk& walk,
                               int* hops, NodePtr* node, NodePtr* parent) {
  if (current == nullptr) return kErrorInvalidHandle;
  if (current->deleted) return kErrorKeyDeleted;
  if (components.empty()) {
    *node = current;
    return kErrorSuccess;
  }
  // A key object on a link itself leads, for anything below it, to the target.
  if (current->link) {
    const uint32_t error = Follow(current, walk.create, hops, &current);
    if (error != kErrorSuccess) return error;
  }
  NodePtr holder;
  for (size_t i = 0; i < components.size(); ++i) {
    const std::u16string& name = components[i];
    const bool last = i + 1 == components.size();
    if (name.find(u'\0') != std::u16string::npos) return kErrorFileNotFound;
    auto slot = Slot(*current, name);
    NodePtr child = (slot != current->children.end() && SameName((*slot)->name, name)) ? *slot : nullptr;
    if (child == nullptr) {
      if (!walk.create) return kErrorFileNotFound;
      child = NewNode(name, false);
      child->link = last && walk.create_link;
      current->children.insert(slot, child);
      Touch(*current);
    } else if (last && walk.create_link) {
      return kErrorAlreadyExists;
    }
    const bool keep_link = last && (walk.open_link || walk.create_link);
    if (child->link && !keep_link) {
      const uint32_t error = Follow(child, walk.create, hops, &child);
      if (error != kErrorSuccess) return error;
    }
    holder = current;
    current = child;
  }
  *node = current;
  if (parent != nullptr) *parent = holder;
  return kErrorSuccess;
}

uint32_t RegistryTree::Follow(const NodePtr& link, bool create, int* hops, NodePtr* target) {
  if (++*hops > kMaxLinkHops) return kErrorInvalidParameter;
  const RegistryValue* value = FindValue(*link, kSymbolicLinkValueName);
  if (value == nullptr) return kErrorFileNotFound;
  // Every unit counts: a terminating zero stored with the path makes it name nothing.
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(value->data[i]) |
                                  (static_cast<unsigned char>(value->data[i + 1]) << 8));
  }
  static const std::u16string kPrefix = u"\\Registry\\";
  if (!StartsWithFolded(text, kPrefix)) return kErrorFileNotFound;
  std::vector<std::u16string> components = Components(text, kPrefix.size());
  if (components.empty()) return kErrorFileNotFound;
  NodePtr hive;
  if (SameName(components[0], u"Machine")) hive = machine_;
  if (SameName(components[0], u"User")) hive = users_;
  if (hive == nullptr) return kErrorFileNotFound;
  components.erase(components.begin());
  Walk walk;
  walk.create = create;
  return Descend(hive, components, walk, hops, target, nullptr);
}

uint32_t RegistryTree::Remove(const NodePtr& parent, const NodePtr& node) {
  if (parent == nullptr || node->permanent || node->denied || !node->children.empty()) return kErrorAccessDenied;
  auto it = std::find(parent->children.begin(), parent->children.end(), node);
  if (it == parent->children.end()) return kErrorFileNotFound;
  parent->children.erase(it);
  Touch(*parent);
  node->deleted = true;
  return kErrorSuccess;
}

}  // namespace orvalinth::platform::posix
