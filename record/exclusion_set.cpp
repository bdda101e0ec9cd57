#include "record/exclusion_set.h"

#include "base/strings.h"

namespace orvalinth {

void CXExclusionSet::Clear() {
  paths_.clear();
  empty_ = true;
}

void CXExclusionSet::Add(std::u16string_view path) {
  paths_.insert(FoldedAZ(path));
  empty_ = false;
}

bool CXExclusionSet::Contains(std::u16string_view path) const {
  if (empty_) return false;
  return paths_.count(FoldedAZ(path)) != 0;
}

}  // namespace orvalinth
