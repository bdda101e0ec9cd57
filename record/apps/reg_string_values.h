#pragma once
// CXRegStringValues: the text values of one registry key as (name, text)
// pairs. Only REG_SZ, REG_EXPAND_SZ (not expanded) and REG_MULTI_SZ (its first
// string) are listed; every text ends at its first zero unit.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace orvalinth {

class CXRegStringValues {
 public:
  // Empties the list and fills it from the key `path` below `root`, read
  // through the registry in force; a key that cannot be opened leaves it empty.
  void ReadKey(platform::RegistryRoot root, const std::u16string& path);
  void Add(std::u16string name, std::u16string text);
  // The text of the value `name` (A-Z case ignored); empty when absent.
  const std::u16string& Get(std::u16string_view name) const;

  size_t size() const { return values_.size(); }

 private:
  std::vector<std::pair<std::u16string, std::u16string>> values_;
};

}  // namespace orvalinth
