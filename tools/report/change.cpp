#include "tools/report/change.h"

#include "base/strings.h"
#include "storage/reader/snapshot_dump_format.h"

namespace orvalinth::report {

std::u16string CountLabel(const SXChange& change) {
  switch (change.kind) {
    case SXEntryKind::kSection: return u"sections";
    case SXEntryKind::kFolder: return u"folders";
    case SXEntryKind::kFile: return u"files";
    case SXEntryKind::kKey: return u"registry keys";
    case SXEntryKind::kValue: return u"registry values";
    case SXEntryKind::kAppNode:
    case SXEntryKind::kItem: return change.section != nullptr ? *change.section : u"applications";
  }
  return u"";
}

std::u16string NodeKey(const std::u16string& section, const std::vector<std::u16string>& path, size_t depth) {
  std::u16string key = section;
  for (size_t i = 0; i < depth && i < path.size(); ++i) key += u'\0' + path[i];
  return key;
}

void CXCountingSink::Change(const SXChange& change) {
  if (change.parent != nullptr && change.section != nullptr) {
    std::u16string key = *change.section;
    for (const std::u16string& name : *change.parent) {
      key += u'\0' + name;
      ++below_[key];
    }
  }
  const std::u16string label = CountLabel(change);
  SXChangeCounts::Row* row = nullptr;
  for (SXChangeCounts::Row& r : counts_.rows) {
    if (r.label == label) row = &r;
  }
  if (row == nullptr) {
    counts_.rows.push_back(SXChangeCounts::Row{label});
    row = &counts_.rows.back();
  }
  switch (change.type) {
    case SXChangeType::kAdded: ++row->added, ++counts_.added; break;
    case SXChangeType::kRemoved: ++row->removed, ++counts_.removed; break;
    case SXChangeType::kChanged: ++row->changed, ++counts_.changed; break;
    case SXChangeType::kPresent: ++row->present, ++counts_.present; break;
  }
}

std::u16string EntryPath(const SXChange& change) {
  std::u16string path;
  if (change.parent != nullptr) {
    for (const std::u16string& name : *change.parent) {
      if (!path.empty() && path.back() != u'\\') path += u'\\';
      path += name;
    }
  }
  if (change.kind == SXEntryKind::kSection) return change.name;
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  path += change.name;
  if (path.size() == 2 && path[1] == u':') path += u'\\';  // a drive's root
  return path;
}

std::u16string ItemEntryName(const SXReadItem& item) {
  switch (item.kind) {
    case 6:
    case 8: return item.object_name;
    case 7:
    case 9:
      return DecodeUtf8(std::string(snapshot_dump::ProtocolName(item.protocol)) + " " +
                        snapshot_dump::AddressText(item.local, item.protocol));
    default: return item.name;
  }
}

}  // namespace orvalinth::report
