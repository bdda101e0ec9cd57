#include "record/apps/reg_string_values.h"

#include <memory>

#include "base/strings.h"

namespace orvalinth {

void CXRegStringValues::ReadKey(platform::RegistryRoot root, const std::u16string& path) {
  values_.clear();
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(root, path, platform::kRegOptionNone, platform::kRegRead, &key) != 0 ||
      key == nullptr) {
    return;
  }
  for (uint32_t index = 0;; ++index) {
    std::u16string name;
    uint32_t type = 0;
    std::string data;
    if (key->EnumValue(index, &name, &type, &data) != 0) break;
    if (type != platform::kRegSz && type != platform::kRegExpandSz && type != platform::kRegMultiSz) continue;
    std::u16string text(data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                      (static_cast<unsigned char>(data[2 * i + 1]) << 8));
    }
    const size_t end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    values_.emplace_back(std::move(name), std::move(text));
  }
}

void CXRegStringValues::Add(std::u16string name, std::u16string text) {
  values_.emplace_back(std::move(name), std::move(text));
}

const std::u16string& CXRegStringValues::Get(std::u16string_view name) const {
  static const std::u16string kEmpty;
  for (const auto& value : values_) {
    if (EqualsFolded(value.first, name)) return value.second;
  }
  return kEmpty;
}

}  // namespace orvalinth
