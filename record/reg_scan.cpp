// The registry job's walk over keys.

#include "record/reg_scan.h"

#include <memory>

#include "base/log.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "record/registry_paths.h"
#include "record/scan_request.h"
#include "storage/data_dir.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {

std::vector<std::u16string> CXRegScan::JobRoots(const CXScanRequest& request) {
  std::vector<std::u16string> roots;
  if (request.RunsOverEverything(kScanRegistry)) {
    for (const SXRegistryRootName& root : kRegistryRootNames) roots.push_back(std::u16string(root.name) + u"\\");
    return roots;
  }
  for (const std::u16string& root : request.include[kScanRegistry]) {
    // Such an entry ("*" beside other targets) names no key; the others
    // are still recorded.
    if (root.find(u'\\') != std::u16string::npos) roots.push_back(root);
  }
  return roots;
}

std::u16string CXRegScan::StoredKeyPath(const std::u16string& root) {
  const size_t slash = root.find(u'\\');
  if (slash == std::u16string::npos) return root;
  platform::RegistryRoot which;
  const std::u16string_view part(root.data(), slash);
  if (!FindRegistryRoot(part, &which)) return root;
  std::u16string path;
  for (const SXRegistryRootName& entry : kRegistryRootNames) {
    if (entry.root == which) path = entry.name;
  }
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(which, std::u16string(), platform::kRegOptionNone, platform::kRegRead,
                                          &key) != platform::kErrorSuccess) {
    return path + root.substr(slash);
  }
  size_t start = slash + 1;
  path += u'\\';
  std::u16string name;
  while (start < root.size() && key != nullptr) {
    size_t end = root.find(u'\\', start);
    if (end == std::u16string::npos) end = root.size();
    const std::u16string_view wanted(root.data() + start, end - start);
    bool found = false;
    for (uint32_t index = 0; key->EnumKey(index, &name, kNameUnits) == platform::kErrorSuccess; ++index) {
      if (EqualsFolded(name, wanted)) {
        found = true;
        break;
      }
    }
    if (!found) break;
    std::unique_ptr<platform::RegistryKey> below;
    if (key->OpenSubKey(name, platform::kRegOptionNone, platform::kRegRead, &below) != platform::kErrorSuccess) {
      below.reset();
    }
    path += name;
    if (end < root.size()) path += u'\\';
    start = end + 1;
    key = std::move(below);
  }
  if (start < root.size()) path += root.substr(start);
  return path;
}

CXRegScan::CXRegScan(CXSnapshotWriter& writer)
    : CXSectionWalk(writer),
      key_counter_(writer.progress(kScanRegistry, 0)),
      value_counter_(writer.progress(kScanRegistry, 1)) {}

CXRegScan::~CXRegScan() { StopJob(true); }

int CXRegScan::Start(const CXScanRequest& request, std::vector<std::u16string> roots) {
  if (state() != kStateIdle) return 0;
  request_ = &request;
  roots_ = std::move(roots);
  return StartJob(writer_, kScanRegistry);
}

void CXRegScan::Run() {
  std::vector<std::u16string> roots;
  roots.reserve(roots_.size());
  for (const std::u16string& root : roots_) roots.push_back(StoredKeyPath(root));
  OrderRoots(&roots);
  RecordSections(roots, kSectionRegistry);
}

std::u16string CXRegScan::SectionName(const std::u16string& root_part) {
  std::u16string name = root_part;
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  for (char16_t& c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return name;
}

void CXRegScan::ScanRoot(SXNodeRecord* root) {
  platform::RegistryRoot which;
  const size_t slash = path_.find(u'\\');
  if (slash == std::u16string::npos || !FindRegistryRoot(std::u16string_view(path_.data(), slash), &which)) return;
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(which, std::u16string(), platform::kRegOptionNone, platform::kRegRead,
                                          &key) != platform::kErrorSuccess) {
    return;
  }
  key_counter_.Add(1);
  ScanKey(*key, root, 0);
}

void CXRegScan::ScanTarget(SXNodeRecord* node, int32_t depth) {
  uint32_t error = 0;
  std::unique_ptr<platform::RegistryKey> key = OpenRegistryPath(path_, &error);
  if (key == nullptr) {
    node->error = static_cast<int32_t>(error);
    return;
  }
  key_counter_.Add(1);
  ScanKey(*key, node, depth);
}

void CXRegScan::ScanKey(platform::RegistryKey& key, SXNodeRecord* node, int32_t depth) {
  // A key that opened but cannot be read (deleted meanwhile, or one of the
  // performance-data keys that answer 6 to everything) keeps what was read
  // and no error: an error on a node means it could not be opened. The log
  // says what broke off.
  uint32_t broke_off = 0;
  node->content_offset = ValueRun(key, &broke_off);
  const int32_t below = depth + 1;
  if (below >= kMaxDepth) return;  // too deep: values only

  CXNodeTable& subkeys = table(below);
  const CXExclusionSet& excluded = request_->exclusion[kScanRegistry];
  const size_t length = path_.size();
  int32_t enumerated = 0;
  for (uint32_t index = 0; !StopRequested(); ++index) {
    const uint32_t result = key.EnumKey(index, &key_name_, kNameUnits);
    // A name cut to the buffer is still taken; any other failure ends the list.
    if (result != platform::kErrorSuccess && result != platform::kErrorMoreData) {
      if (result != platform::kErrorNoMoreItems) broke_off = result;
      break;
    }
    ++enumerated;
    if (!excluded.empty()) {
      path_ += key_name_;
      path_ += u'\\';
      const bool skip = excluded.Contains(path_);
      path_.resize(length);
      if (skip) continue;
    }
    subkeys.Append(key_name_, 0);
  }
  if (broke_off != 0) {
    LogError("cannot read registry key [%s] [error:%u]", EncodeUtf8(path_).c_str(), broke_off);
  }
  // Entered after the list is read, with the key still open: a subkey's scan
  // never disturbs this key's enumeration.
  for (int32_t i = 0; i < subkeys.size() && !StopRequested(); ++i) {
    SXNodeRecord* subkey = subkeys.at(i);
    path_.append(subkey->name(), subkey->name_length);
    path_ += u'\\';
    OpenAndScan(key, subkey, below);
    path_.resize(length);
  }
  if (enumerated != 0) key_counter_.Add(enumerated);
  node->child_offset = subkeys.Flush(payload_, true);
}

void CXRegScan::OpenAndScan(platform::RegistryKey& parent, SXNodeRecord* node, int32_t depth) {
  key_name_.assign(node->name(), node->name_length);
  std::unique_ptr<platform::RegistryKey> key;
  const uint32_t result = parent.OpenSubKey(key_name_, platform::kRegOptionOpenLink, platform::kRegRead, &key);
  if (result != platform::kErrorSuccess) {
    node->error = static_cast<int32_t>(result);
    return;
  }
  uint32_t type = 0;
  if (key->QueryValue(platform::kSymbolicLinkValueName, &type, &value_data_) == platform::kErrorSuccess) {
    const std::u16string target = platform::RegDataText(value_data_);
    if (StartsWithFolded(target, u"\\registry\\")) {
      // Neither entered nor counted: its target is recorded where it lives.
      table(depth).SetLink(node, target, kLinkRegistry);
      return;
    }
  }
  ScanKey(*key, node, depth);
}

int32_t CXRegScan::ValueRun(platform::RegistryKey& key, uint32_t* broke_off) {
  platform::RegistryKey::Info info;
  const uint32_t queried = key.QueryInfo(&info);
  if (queried != platform::kErrorSuccess) {
    *broke_off = queried;
    return 0;
  }
  uint32_t type = 0;
  for (uint32_t index = 0;; ++index) {
    const uint32_t result = key.EnumValue(index, &value_name_, &type, &value_data_);
    if (result != platform::kErrorSuccess) {
      if (result != platform::kErrorNoMoreItems) *broke_off = result;
      break;
    }
    int32_t name_length = static_cast<int32_t>(value_name_.size());
    if (name_length > kLongestValueName) name_length = kCutValueName;
    values_.Add(type, value_name_.data(), name_length, reinterpret_cast<const uint8_t*>(value_data_.data()),
                static_cast<int32_t>(value_data_.size()));
  }
  if (values_.size() != 0) value_counter_.Add(values_.size());
  return values_.Flush(payload_, true);
}

}  // namespace orvalinth
