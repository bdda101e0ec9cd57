#include "record/scan_request.h"

#include <algorithm>

#include "base/strings.h"

namespace orvalinth {

namespace {

bool ValidKind(int32_t kind) { return kind >= 0 && kind < kScanKinds; }

std::u16string_view WithoutDash(const std::u16string& entry) {
  std::u16string_view view(entry);
  if (!view.empty() && view[0] == u'-') view.remove_prefix(1);
  return view;
}

// The sort key of the info lists: "\" before every other unit, A-Z folded.
uint32_t InfoUnit(char16_t c) { return c == u'\\' ? 0u : static_cast<uint32_t>(FoldAZ(c)) + 1u; }

// The info order: a leading "-" and the last unit left out, then unit by unit.
bool InfoLess(const std::u16string& a, const std::u16string& b) {
  std::u16string_view x(a), y(b);
  if (!x.empty() && x[0] == u'-') x.remove_prefix(1);
  if (!y.empty() && y[0] == u'-') y.remove_prefix(1);
  if (!x.empty()) x.remove_suffix(1);
  if (!y.empty()) y.remove_suffix(1);
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const uint32_t p = InfoUnit(x[i]);
    const uint32_t q = InfoUnit(y[i]);
    if (p != q) return p < q;
  }
  return x.size() < y.size();
}

bool EqualOverShorter(const std::u16string& a, const std::u16string& b) {
  const size_t n = std::min(a.size(), b.size());
  return EqualsFolded(std::u16string_view(a).substr(0, n), std::u16string_view(b).substr(0, n));
}

}  // namespace

CXScanRequest::CXScanRequest() {
  for (int32_t k = 0; k < kScanKinds; ++k) {
    include[k].reserve(100);
    exclude[k].reserve(100);
  }
}

void CXScanRequest::Clear() {
  full = false;
  removable_drives = false;
  version_info = false;
  for (int32_t k = 0; k < kScanKinds; ++k) {
    include[k].clear();
    exclude[k].clear();
    exclusion[k].Clear();
  }
}

void CXScanRequest::Build(bool full_scan, bool removable, bool version, const std::vector<std::u16string>& registry_targets,
                          const std::vector<std::u16string>& file_targets,
                          const std::vector<std::u16string>& app_targets) {
  const std::vector<std::u16string>* lists[kScanKinds] = {&registry_targets, &file_targets, &app_targets};
  for (int32_t k = 0; k < kScanKinds; ++k) {
    include[k].clear();
    exclude[k].clear();
    for (const std::u16string& entry : *lists[k]) AddTarget(k, entry);
  }
  full = full_scan;
  removable_drives = removable;
  version_info = version;
}

void CXScanRequest::AddTarget(int32_t kind, const std::u16string& entry) {
  if (!ValidKind(kind) || entry.empty()) return;
  std::u16string target = entry;
  if (target[0] != u'*' && target.back() != u'\\') target += u'\\';
  if (kind == kScanFiles && target[0] != u'*') {
    const size_t length = target.size() - (target[0] == u'-' ? 1 : 0);
    if (length <= 2) return;
  }
  if (target[0] == u'-') {
    exclude[kind].push_back(std::move(target));
  } else {
    include[kind].push_back(std::move(target));
  }
}

bool CXScanRequest::RunsOverEverything(int32_t kind) const {
  if (full) return true;
  return ValidKind(kind) && include[kind].size() == 1 && !include[kind][0].empty() && include[kind][0][0] == u'*';
}

void CXScanRequest::MakeExclusionSet(int32_t kind) {
  if (!ValidKind(kind)) return;
  CXExclusionSet& set = exclusion[kind];
  set.Clear();
  if (RunsOverEverything(kind)) return;
  for (const std::u16string& entry : exclude[kind]) set.Add(WithoutDash(entry));
}

std::vector<std::u16string> CXScanRequest::InfoTargets(int32_t kind) const {
  std::vector<std::u16string> list;
  if (!ValidKind(kind)) return list;
  if (full) {
    list.push_back(u"*");
    return list;
  }
  list = include[kind];
  for (const std::u16string& entry : exclude[kind]) {
    const std::u16string_view bare = WithoutDash(entry);
    // Keep an exclusion only where it cuts something out of an included tree.
    const bool inside = std::any_of(include[kind].begin(), include[kind].end(), [&](const std::u16string& inc) {
      return bare.size() > inc.size() + 1 && StartsWithFolded(bare, inc);
    });
    if (inside) list.push_back(entry);
  }
  std::sort(list.begin(), list.end(), InfoLess);
  std::vector<std::u16string> kept;
  kept.reserve(list.size());
  for (std::u16string& entry : list) {
    if (!kept.empty() && EqualOverShorter(kept.back(), entry)) continue;
    kept.push_back(std::move(entry));
  }
  return kept;
}

SXInfoRequest CXScanRequest::InfoRequest() const {
  SXInfoRequest info;
  info.full = full;
  info.removable_drives = removable_drives;
  info.version_info = version_info;
  for (int32_t k = 0; k < kScanKinds; ++k) info.targets[k] = InfoTargets(k);
  return info;
}

}  // namespace orvalinth
