#pragma once
// CXExclusionSet: the paths a scan job leaves out, compared with A-Z folded.
// A set marked empty holds nothing and answers every lookup with false at once.

#include <string>
#include <string_view>
#include <unordered_set>

namespace orvalinth {

class CXExclusionSet {
 public:
  // Empties the set and marks it empty.
  void Clear();
  // Adds a path (folded).
  void Add(std::u16string_view path);
  // True when the set holds `path` (A-Z case ignored).
  bool Contains(std::u16string_view path) const;
  // True when lookups can be skipped.
  bool empty() const { return empty_; }
  size_t size() const { return paths_.size(); }

 private:
  std::unordered_set<std::u16string> paths_;
  bool empty_ = true;
};

}  // namespace orvalinth
