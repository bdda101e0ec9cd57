#pragma once
// A registry in memory for tests that read a few keys: keys by root and path
// (A-Z case ignored), each with values in the order they were set and a last
// write time (kDefaultWriteTime unless set). Only opening keys (also below
// an open key), enumerating their subkeys (in A-Z folded order) and values, and querying values and
// key information work; everything else answers "access denied".

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace orvalinth::test {

class FakeRegistry final : public platform::Registry {
 public:
  using Value = std::tuple<std::u16string, uint32_t, std::string>;  // name, type, data
  // 2021-03-04 05:06:07 UTC as a FILETIME.
  static constexpr int64_t kDefaultWriteTime = 132593079670000000LL;

  // Sets a value, creating the key.
  void Set(platform::RegistryRoot root, const std::u16string& path, const std::u16string& name, uint32_t type,
           const std::string& data) {
    std::vector<Value>& values = keys_[Key(root, path)];
    spelled_.emplace(Key(root, path), path);
    for (Value& v : values) {
      if (EqualsFolded(std::get<0>(v), name)) {
        v = Value(name, type, data);
        return;
      }
    }
    values.emplace_back(name, type, data);
  }
  // A REG_SZ value from UTF-8 text.
  void SetText(platform::RegistryRoot root, const std::u16string& path, const std::u16string& name,
               const std::u16string& text, uint32_t type = platform::kRegSz) {
    std::string data;
    for (char16_t c : text + u'\0') {
      data += static_cast<char>(c & 0xFF);
      data += static_cast<char>(c >> 8);
    }
    Set(root, path, name, type, data);
  }
  void AddKey(platform::RegistryRoot root, const std::u16string& path) {
    keys_[Key(root, path)];
    spelled_.emplace(Key(root, path), path);
  }
  // The key's last write time, a FILETIME (creating the key).
  void SetWriteTime(platform::RegistryRoot root, const std::u16string& path, int64_t filetime) {
    AddKey(root, path);
    times_[Key(root, path)] = filetime;
  }

  uint32_t OpenKey(platform::RegistryRoot root, const std::u16string& path, uint32_t, uint32_t,
                   std::unique_ptr<platform::RegistryKey>* key) override {
    auto found = keys_.find(Key(root, path));
    if (found == keys_.end()) {
      // A key that only has keys below it exists too.
      const auto below = keys_.upper_bound(Key(root, path) + u'\\');
      if (below == keys_.end() || below->first.compare(0, Key(root, path).size() + 1, Key(root, path) + u'\\') != 0) {
        return platform::kErrorFileNotFound;
      }
      AddKey(root, path);
      found = keys_.find(Key(root, path));
    }
    auto opened = std::make_unique<OpenedKey>(found->second);
    opened->owner_ = this;
    opened->root_ = root;
    opened->path_ = path;
    const auto time = times_.find(found->first);
    opened->write_time_ = time == times_.end() ? kDefaultWriteTime : time->second;
    // The subkeys: the next component of every key below this one, once each.
    const std::u16string below = found->first + u'\\';
    for (auto k = keys_.upper_bound(below); k != keys_.end() && k->first.compare(0, below.size(), below) == 0; ++k) {
      const size_t end = k->first.find(u'\\', below.size());
      const std::u16string name = spelled_[k->first].substr(below.size() - 1, end == std::u16string::npos
                                                                                  ? std::u16string::npos
                                                                                  : end - below.size());
      std::vector<std::u16string>& names = opened->subkeys_;
      if (std::none_of(names.begin(), names.end(), [&](const std::u16string& n) { return EqualsFolded(n, name); })) {
        names.push_back(name);
      }
    }
    std::sort(opened->subkeys_.begin(), opened->subkeys_.end(),
              [](const std::u16string& a, const std::u16string& b) { return FoldedAZ(a) < FoldedAZ(b); });
    *key = std::move(opened);
    return 0;
  }
  uint32_t CreateKey(platform::RegistryRoot, const std::u16string&, uint32_t,
                     std::unique_ptr<platform::RegistryKey>*) override {
    return platform::kErrorAccessDenied;
  }
  uint32_t DeleteKey(platform::RegistryRoot, const std::u16string&) override { return platform::kErrorAccessDenied; }

 private:
  class OpenedKey final : public platform::RegistryKey {
   public:
    explicit OpenedKey(std::vector<Value> values) : values_(std::move(values)) {}
    uint32_t EnumKey(uint32_t index, std::u16string* name, size_t max_units) override {
      if (index >= subkeys_.size()) return platform::kErrorNoMoreItems;
      *name = subkeys_[index].substr(0, max_units);
      return subkeys_[index].size() > max_units ? uint32_t{platform::kErrorMoreData} : uint32_t{0};
    }
    uint32_t EnumValue(uint32_t index, std::u16string* name, uint32_t* type, std::string* data) override {
      if (index >= values_.size()) return platform::kErrorNoMoreItems;
      std::tie(*name, *type, *data) = values_[index];
      return 0;
    }
    uint32_t QueryValue(const std::u16string& name, uint32_t* type, std::string* data) override {
      for (const Value& v : values_) {
        if (EqualsFolded(std::get<0>(v), name)) {
          *type = std::get<1>(v);
          *data = std::get<2>(v);
          return 0;
        }
      }
      return platform::kErrorFileNotFound;
    }
    uint32_t QueryInfo(Info* info) override {
      *info = Info();
      info->values = static_cast<uint32_t>(values_.size());
      info->subkeys = static_cast<uint32_t>(subkeys_.size());
      info->last_write_time = write_time_;
      return 0;
    }
    uint32_t OpenSubKey(const std::u16string& path, uint32_t options, uint32_t access,
                        std::unique_ptr<RegistryKey>* key) override {
      return owner_->OpenKey(root_, path_ + u'\\' + path, options, access, key);
    }
    uint32_t CreateSubKey(const std::u16string&, uint32_t, std::unique_ptr<RegistryKey>*) override {
      return platform::kErrorAccessDenied;
    }
    uint32_t SetValue(const std::u16string&, uint32_t, const std::string&) override {
      return platform::kErrorAccessDenied;
    }
    uint32_t DeleteValue(const std::u16string&) override { return platform::kErrorAccessDenied; }
    uint32_t DeleteSubKey(const std::u16string&) override { return platform::kErrorAccessDenied; }

    std::vector<std::u16string> subkeys_;
    int64_t write_time_ = 0;
    FakeRegistry* owner_ = nullptr;
    platform::RegistryRoot root_ = platform::RegistryRoot::kLocalMachine;
    std::u16string path_;

   private:
    std::vector<Value> values_;
  };

  static std::u16string Key(platform::RegistryRoot root, const std::u16string& path) {
    return static_cast<char16_t>(u'0' + static_cast<int>(root)) + FoldedAZ(path);
  }

  std::map<std::u16string, std::vector<Value>> keys_;
  std::map<std::u16string, std::u16string> spelled_;  // each key's path as first given
  std::map<std::u16string, int64_t> times_;
};

}  // namespace orvalinth::test
