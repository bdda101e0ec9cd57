#pragma once
// A registry in memory for tests that read a few keys: keys by root and path
// (A-Z case ignored), each with values in the order they were set. Only
// opening keys and enumerating and querying values work; everything else
// answers "access denied".

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

  // Sets a value, creating the key.
  void Set(platform::RegistryRoot root, const std::u16string& path, const std::u16string& name, uint32_t type,
           const std::string& data) {
    std::vector<Value>& values = keys_[Key(root, path)];
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
  void AddKey(platform::RegistryRoot root, const std::u16string& path) { keys_[Key(root, path)]; }

  uint32_t OpenKey(platform::RegistryRoot root, const std::u16string& path, uint32_t, uint32_t,
                   std::unique_ptr<platform::RegistryKey>* key) override {
    const auto found = keys_.find(Key(root, path));
    if (found == keys_.end()) return platform::kErrorFileNotFound;
    *key = std::make_unique<OpenedKey>(found->second);
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
    uint32_t EnumKey(uint32_t, std::u16string*, size_t) override { return platform::kErrorNoMoreItems; }
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
      return 0;
    }
    uint32_t OpenSubKey(const std::u16string&, uint32_t, uint32_t, std::unique_ptr<RegistryKey>*) override {
      return platform::kErrorFileNotFound;
    }
    uint32_t CreateSubKey(const std::u16string&, uint32_t, std::unique_ptr<RegistryKey>*) override {
      return platform::kErrorAccessDenied;
    }
    uint32_t SetValue(const std::u16string&, uint32_t, const std::string&) override {
      return platform::kErrorAccessDenied;
    }
    uint32_t DeleteValue(const std::u16string&) override { return platform::kErrorAccessDenied; }
    uint32_t DeleteSubKey(const std::u16string&) override { return platform::kErrorAccessDenied; }

   private:
    std::vector<Value> values_;
  };

  static std::u16string Key(platform::RegistryRoot root, const std::u16string& path) {
    return static_cast<char16_t>(u'0' + static_cast<int>(root)) + FoldedAZ(path);
  }

  std::map<std::u16string, std::vector<Value>> keys_;
};

}  // namespace orvalinth::test
