// The registry on POSIX: an in-memory emulation (see registry_emulation.h and
// registry_tree.h) with the Windows error codes and access checks.

#include "platform/registry.h"

#include <sys/utsname.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "platform/errors.h"
#include "platform/posix/drive_table.h"
#include "platform/posix/registry_emulation.h"
#include "platform/posix/registry_tree.h"

namespace orvalinth::platform {
namespace {

using posix::NodePtr;
using posix::RegistryTree;

// The access bits a key object is checked against.
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyAllAccess = 0xF003F;

std::atomic<size_t> open_keys{0};

std::string TrimmedValue(std::string text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  text.erase(0, start);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  return text;
}

// A shell-style value of os-release: quoted with " (backslash escapes) or ', or bare.
std::string Unquoted(const std::string& text) {
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') return text.substr(1, text.size() - 2);
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return text;
  std::string out;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// The text after "key=" (os-release) or "key<blanks>:" (cpuinfo) on the first line that has one.
std::string HostFileField(const char* path, const std::string& key, char separator) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const size_t at = line.find(separator, key.size());
    if (at == std::string::npos || TrimmedValue(line.substr(key.size(), at - key.size())) != "") continue;
    return TrimmedValue(line.substr(at + 1));
  }
  return std::string();
}

void SetHostValue(RegistryTree& tree, const std::u16string& path, const std::u16string& name, const std::string& text) {
  if (text.empty()) return;
  RegistryTree::Walk walk;
  walk.create = true;
  NodePtr node;
  if (tree.Resolve(tree.RootNode(RegistryRoot::kLocalMachine), path, walk, &node) != kErrorSuccess) return;
  node->values.push_back({name, kRegSz, RegSzData(posix::FromUtf8(text))});
}

void SeedFromHost(RegistryTree& tree) {
  const std::u16string current_version = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  std::string product = Unquoted(HostFileField("/etc/os-release", "PRETTY_NAME", '='));
  if (product.empty()) product = Unquoted(HostFileField("/usr/lib/os-release", "PRETTY_NAME", '='));
  SetHostValue(tree, current_version, u"ProductName", product);
  utsname system;
  if (uname(&system) == 0) SetHostValue(tree, current_version, u"CurrentVersion", system.release);
  SetHostValue(tree, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"ProcessorNameString",
               HostFileField("/proc/cpuinfo", "model name", ':'));
}

// The one registry of the process, filled from the host on first use.
RegistryTree& Tree() {
  static RegistryTree* tree = [] {
    auto* made = new RegistryTree();  // never destroyed: key objects may outlive static destruction
    SeedFromHost(*made);
    return made;
  }();
  return *tree;
}

class EmulatedKey final : public RegistryKey {
 public:
  EmulatedKey(NodePtr node, uint32_t access, uint64_t generation)
      : node_(std::move(node)), access_(access), generation_(generation) {
    ++open_keys;
  }
  ~EmulatedKey() override { --open_keys; }

  uint32_t EnumKey(uint32_t index, std::u16string* name, size_t max_units) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeyEnumerateSubKeys)) return error;
    if (index >= node_->children.size()) return kErrorNoMoreItems;
    *name = node_->children[index]->name;
    if (name->size() <= max_units) return kErrorSuccess;
    name->resize(max_units);
    return kErrorMoreData;
  }

  uint32_t EnumValue(uint32_t index, std::u16string* name, uint32_t* type, std::string* data) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeyQueryValue)) return error;
    if (index >= node_->values.size()) return kErrorNoMoreItems;
    const posix::RegistryValue& value = node_->values[index];
    *name = value.name;
    *type = value.type;
    *data = value.data;
    return kErrorSuccess;
  }

  uint32_t QueryValue(const std::u16string& name, uint32_t* type, std::string* data) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeyQueryValue)) return error;
    const posix::RegistryValue* value = posix::FindValue(*node_, name);
    if (value == nullptr) return kErrorFileNotFound;
    *type = value->type;
    *data = value->data;
    return kErrorSuccess;
  }

  uint32_t QueryInfo(Info* info) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeyQueryValue)) return error;
    *info = Info();
    info->subkeys = static_cast<uint32_t>(node_->children.size());
    for (const NodePtr& child : node_->children) {
      info->max_subkey_length = std::max<uint32_t>(info->max_subkey_length, static_cast<uint32_t>(child->name.size()));
    }
    info->values = static_cast<uint32_t>(node_->values.size());
    for (const posix::RegistryValue& value : node_->values) {
      info->max_value_name_length =
          std::max<uint32_t>(info->max_value_name_length, static_cast<uint32_t>(value.name.size()));
      info->max_value_data = std::max<uint32_t>(info->max_value_data, static_cast<uint32_t>(value.data.size()));
    }
    info->last_write_time = node_->last_write;
    return kErrorSuccess;
  }

  uint32_t OpenSubKey(const std::u16string& path, uint32_t options, uint32_t access,
                      std::unique_ptr<RegistryKey>* key) override {
    RegistryTree::Walk walk;
    walk.open_link = (options & kRegOptionOpenLink) != 0;
    return Open(path, walk, access, key);
  }

  uint32_t CreateSubKey(const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key) override {
    RegistryTree::Walk walk;
    walk.create = true;
    walk.create_link = (options & kRegOptionCreateLink) != 0;
    return Open(path, walk, kKeyAllAccess, key);
  }

  uint32_t SetValue(const std::u16string& name, uint32_t type, const std::string& data) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeySetValue)) return error;
    for (posix::RegistryValue& value : node_->values) {
      if (posix::SameName(value.name, name)) {
        value.type = type;
        value.data = data;
        posix::Touch(*node_);
        return kErrorSuccess;
      }
    }
    node_->values.push_back({name, type, data});
    posix::Touch(*node_);
    return kErrorSuccess;
  }

  uint32_t DeleteValue(const std::u16string& name) override {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(kKeySetValue)) return error;
    auto& values = node_->values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const posix::RegistryValue& value) { return posix::SameName(value.name, name); });
    if (it == values.end()) return kErrorFileNotFound;
    values.erase(it);
    posix::Touch(*node_);
    return kErrorSuccess;
  }

  uint32_t DeleteSubKey(const std::u16string& name) override {
    if (name.empty()) return kErrorInvalidParameter;
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(0)) return error;
    RegistryTree::Walk walk;
    walk.open_link = true;
    NodePtr node;
    NodePtr parent;
    if (const uint32_t error = Tree().Resolve(node_, name, walk, &node, &parent)) return error;
    return RegistryTree::Remove(parent, node);
  }

 private:
  // 6 for a key of an earlier registry (or one made unreadable, when reading
  // it), 1018 for a deleted key, 5 without `needed` access.
  uint32_t Check(uint32_t needed) const {
    if (generation_ != Tree().generation()) return kErrorInvalidHandle;
    if (node_->deleted) return kErrorKeyDeleted;
    if (node_->unreadable && (needed == kKeyEnumerateSubKeys || needed == kKeyQueryValue)) return kErrorInvalidHandle;
    if (needed != 0 && (access_ & needed) == 0) return kErrorAccessDenied;
    return kErrorSuccess;
  }

  uint32_t Open(const std::u16string& path, const RegistryTree::Walk& walk, uint32_t access,
                std::unique_ptr<RegistryKey>* key) {
    std::lock_guard<std::mutex> guard(Tree().lock());
    if (const uint32_t error = Check(0)) return error;
    NodePtr node;
    if (const uint32_t error = Tree().Resolve(node_, path, walk, &node)) return error;
    if (node->denied) return kErrorAccessDenied;
    *key = std::make_unique<EmulatedKey>(std::move(node), access, generation_);
    return kErrorSuccess;
  }

  NodePtr node_;
  uint32_t access_;
  uint64_t generation_;
};

class EmulatedRegistry final : public Registry {
 public:
  uint32_t OpenKey(RegistryRoot root, const std::u16string& path, uint32_t options, uint32_t access,
                   std::unique_ptr<RegistryKey>* key) override {
    RegistryTree::Walk walk;
    walk.open_link = (options & kRegOptionOpenLink) != 0;
    return Open(root, path, walk, access, key);
  }

  uint32_t CreateKey(RegistryRoot root, const std::u16string& path, uint32_t options,
                     std::unique_ptr<RegistryKey>* key) override {
    RegistryTree::Walk walk;
    walk.create = true;
    walk.create_link = (options & kRegOptionCreateLink) != 0;
    return Open(root, path, walk, kKeyAllAccess, key);
  }

  uint32_t DeleteKey(RegistryRoot root, const std::u16string& path) override {
    if (path.empty()) return kErrorAccessDenied;
    std::lock_guard<std::mutex> guard(Tree().lock());
    RegistryTree::Walk walk;
    walk.open_link = true;
    NodePtr node;
    NodePtr parent;
    if (const uint32_t error = Tree().Resolve(Tree().RootNode(root), path, walk, &node, &parent)) return error;
    return RegistryTree::Remove(parent, node);
  }

 private:
  uint32_t Open(RegistryRoot root, const std::u16string& path, const RegistryTree::Walk& walk, uint32_t access,
                std::unique_ptr<RegistryKey>* key) {
    std::lock_guard<std::mutex> guard(Tree().lock());
    NodePtr node;
    if (const uint32_t error = Tree().Resolve(Tree().RootNode(root), path, walk, &node)) return error;
    if (node->denied) return kErrorAccessDenied;
    *key = std::make_unique<EmulatedKey>(std::move(node), access, Tree().generation());
    return kErrorSuccess;
  }
};

}  // namespace

template <>
Registry& Facility<Registry>::Real() {
  static EmulatedRegistry instance;
  return instance;
}

namespace posix {

void ResetRegistry() {
  std::lock_guard<std::mutex> guard(Tree().lock());
  Tree().Clear();
}

void ResetRegistryToHost() {
  std::lock_guard<std::mutex> guard(Tree().lock());
  Tree().Clear();
  SeedFromHost(Tree());
}

namespace {

bool MarkKey(RegistryRoot root, const std::u16string& path, bool RegistryNode::*flag, bool on) {
  std::lock_guard<std::mutex> guard(Tree().lock());
  RegistryTree::Walk walk;
  walk.open_link = true;
  NodePtr node;
  if (Tree().Resolve(Tree().RootNode(root), path, walk, &node) != kErrorSuccess) return false;
  (*node).*flag = on;
  return true;
}

}  // namespace

bool SetRegistryKeyDenied(RegistryRoot root, const std::u16string& path, bool denied) {
  return MarkKey(root, path, &RegistryNode::denied, denied);
}

bool SetRegistryKeyUnreadable(RegistryRoot root, const std::u16string& path, bool unreadable) {
  return MarkKey(root, path, &RegistryNode::unreadable, unreadable);
}

size_t OpenRegistryKeys() { return open_keys.load(); }

}  // namespace posix
}  // namespace orvalinth::platform
