#include "tools/report/compare.h"

#include <algorithm>
#include <unordered_map>

#include "base/strings.h"
#include "storage/app_items.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::report {
namespace {

// The recording stops at 1,024 levels; the walk recurses one level a table.
constexpr uint32_t kMaxWalkDepth = 1100;

SXEntryKind NodeKind(int section_kind) {
  switch (section_kind) {
    case kReadRegistry: return SXEntryKind::kKey;
    case kReadFiles: return SXEntryKind::kFolder;
    default: return SXEntryKind::kAppNode;
  }
}

bool SameNode(const SXReadNode& a, const SXReadNode& b) {
  return a.error == b.error && a.link_type == b.link_type && a.link_target == b.link_target;
}

bool SameValue(const SXReadValue& a, const SXReadValue& b) {
  return a.type == b.type && a.text == b.text && a.data == b.data;
}

template <class T>
void SortByName(std::vector<T>& v) {
  const auto less = [](const T& a, const T& b) { return CompareNames(a.name, b.name) < 0; };
  if (!std::is_sorted(v.begin(), v.end(), less)) std::stable_sort(v.begin(), v.end(), less);
}

void SortNodes(std::vector<SXStreamNode>& v) {
  const auto less = [](const SXStreamNode& a, const SXStreamNode& b) { return CompareNames(a.node.name, b.node.name) < 0; };
  if (!std::is_sorted(v.begin(), v.end(), less)) std::stable_sort(v.begin(), v.end(), less);
}

// Items with their order keys, sorted by the item order.
struct KeyedItems {
  std::vector<SXReadItem> items;
  std::vector<SXSnapshotDataAppsBase> keys;
  std::vector<size_t> order;

  explicit KeyedItems(std::vector<SXReadItem> run) : items(std::move(run)) {
    keys.reserve(items.size());
    for (const SXReadItem& item : items) keys.push_back(AppItemOf(item));
    order.resize(items.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return CompareAppItems(keys[a], keys[b]) < 0; });
  }
  const SXSnapshotDataAppsBase& key(size_t i) const { return keys[order[i]]; }
  const SXReadItem& item(size_t i) const { return items[order[i]]; }
};

// What one walk shares: the filter, the path being walked and the sink.
class CXWalkBase {
 protected:
  CXWalkBase(const CXReportFilter& filter, CXChangeSink& sink) : filter_(filter), sink_(sink) {}

  bool HasRules() const { return !filter_.rules().empty(); }

  void Push(const std::u16string& name) {
    parent_.push_back(name);
    lengths_.push_back(path_.size());
    if (!path_.empty() && path_.back() != u'\\') path_ += u'\\';
    path_ += name;
  }
  void Pop() {
    parent_.pop_back();
    path_.resize(lengths_.back());
    lengths_.pop_back();
  }
  // The rule for an entry named `name` inside the current node.
  int RuleOf(const std::u16string& name, int rule) {
    if (!HasRules()) return 0;
    const size_t length = path_.size();
    if (!path_.empty() && path_.back() != u'\\') path_ += u'\\';
    path_ += name;
    const int last = filter_.LastRule(path_, rule);
    path_.resize(length);
    return last;
  }
  bool FilePasses(const SXReadFile& file, int rule) {
    return filter_.AcceptsFileName(file.name) && !filter_.Excludes(RuleOf(file.name, rule));
  }
  bool NamePasses(const std::u16string& name, int rule) { return !filter_.Excludes(RuleOf(name, rule)); }
  // Whether nothing below a node with this rule can pass.
  bool Pruned(int rule) const { return filter_.Excludes(rule) && !filter_.IncludeAfter(rule); }

  // The filtered roll-up of a node and everything below it (the node's own
  // name is on the path).
  SXRollUp RollUp(CXSectionView& view, const SXStreamNode& node, int rule) {
    SXRollUp r;
    if (Pruned(rule)) return r;
    const bool counted = !filter_.Excludes(rule);
    switch (view.kind()) {
      case kReadFiles:
        if (counted && filter_.mode() == 0) ++r.folders;
        for (const SXReadFile& f : view.Files(node)) {
          if (FilePasses(f, rule)) ++r.files, r.bytes += f.size;
        }
        break;
      case kReadRegistry:
        if (counted) ++r.keys;
        for (const SXReadValue& v : view.Values(node)) {
          if (NamePasses(v.name, rule)) ++r.values;
        }
        break;
      default:
        if (counted) ++r.nodes;
        for (const SXReadItem& item : view.Items(node)) {
          if (NamePasses(ItemEntryName(item), rule)) ++r.items;
        }
        break;
    }
    if (node.depth >= kMaxWalkDepth) return r;
    for (const SXStreamNode& child : view.Children(node)) {
      Push(child.node.name);
      r.Add(RollUp(view, child, HasRules() ? filter_.LastRule(path_, rule) : 0));
      Pop();
    }
    return r;
  }

  SXChange Base(SXChangeType type, SXEntryKind kind, int section_kind) const {
    SXChange c;
    c.type = type;
    c.kind = kind;
    c.section_kind = section_kind;
    c.section = &section_;
    c.parent = &parent_;
    return c;
  }

  const CXReportFilter& filter_;
  CXChangeSink& sink_;
  std::u16string section_;
  std::vector<std::u16string> parent_;
  std::u16string path_;
  std::vector<size_t> lengths_;
};

class CXCompareWalk : public CXWalkBase {
 public:
  CXCompareWalk(CXSnapshotStream& a, CXSnapshotStream& b, const CXReportFilter& filter, CXChangeSink& sink)
      : CXWalkBase(filter, sink), a_(a), b_(b) {}

  int Run(SXReadFault* fault) {
    const auto& sa = a_.sections();
    const auto& sb = b_.sections();
    std::vector<bool> matched(sb.size(), false);
    for (int kind = 0; kind < 3; ++kind) {
      for (size_t i = 0; i < sa.size(); ++i) {
        if (sa[i].kind != kind) continue;
        size_t j = 0;
        while (j < sb.size() && (matched[j] || sb[j].kind != kind || CompareNames(sa[i].name, sb[j].name) != 0)) ++j;
        if (j < sb.size()) matched[j] = true;
        if (!Section(kind, sa[i].name, &i, j < sb.size() ? &j : nullptr, fault)) return 0;
      }
      for (size_t j = 0; j < sb.size(); ++j) {
        if (sb[j].kind != kind || matched[j]) continue;
        if (!Section(kind, sb[j].name, nullptr, &j, fault)) return 0;
      }
    }
    return 1;
  }

 private:
  int Section(int kind, const std::u16string& name, const size_t* ia, const size_t* ib, SXReadFault* fault) {
    if (kind == kReadApplications && filter_.DropsCategory(name)) return 1;
    section_ = name;
    std::unique_ptr<CXSectionView> va, vb;
    if (ia != nullptr && !Guarded(fault, [&] { va = a_.Load(*ia); })) return 0;
    if (ib != nullptr && !Guarded(fault, [&] { vb = b_.Load(*ib); })) return 0;
    kind_ = kind;
    va_ = va.get();
    vb_ = vb.get();
    parent_.clear();
    path_.clear();
    lengths_.clear();
    return Guarded(fault, [&] {
      if (va && vb) {
        const SXStreamNode& ra = va->root();
        const SXStreamNode& rb = vb->root();
        Push(ra.node.name);
        const int rule = HasRules() ? filter_.LastRule(path_, 0) : 0;
        if (!Pruned(rule)) Nodes(ra, rb, rule);
        Pop();
        return;
      }
      CXSectionView& view = va ? *va : *vb;
      Push(view.root().node.name);
      const int rule = HasRules() ? filter_.LastRule(path_, 0) : 0;
      SXRollUp r = RollUp(view, view.root(), rule);
      Pop();
      if (r.Empty()) return;
      SXChange c = Base(va ? SXChangeType::kRemoved : SXChangeType::kAdded, SXEntryKind::kSection, kind);
      c.name = name;
      (va ? c.old_rollup : c.new_rollup) = r;
      (va ? c.old_node : c.new_node) = &view.root().node;
      sink_.Change(c);
    });
  }

  // Both sides have this node (its name on the path).
  void Nodes(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    if (!filter_.Excludes(rule)) Content(a, b, rule);
    if (a.depth >= kMaxWalkDepth) return;
    std::vector<SXStreamNode> ca = va_->Children(a);
    std::vector<SXStreamNode> cb = vb_->Children(b);
    SortNodes(ca);
    SortNodes(cb);
    size_t i = 0, j = 0;
    while (i < ca.size() || j < cb.size()) {
      const int c = i == ca.size() ? 1 : j == cb.size() ? -1 : CompareNames(ca[i].node.name, cb[j].node.name);
      if (c < 0) {
        OneSide(*va_, ca[i++], SXChangeType::kRemoved, rule);
      } else if (c > 0) {
        OneSide(*vb_, cb[j++], SXChangeType::kAdded, rule);
      } else {
        const SXStreamNode& x = ca[i++];
        const SXStreamNode& y = cb[j++];
        Push(y.node.name);
        const int child_rule = HasRules() ? filter_.LastRule(path_, rule) : 0;
        Pop();
        if (Pruned(child_rule)) continue;
        if (!SameNode(x.node, y.node) && !filter_.Excludes(child_rule)) {
          SXChange change = Base(SXChangeType::kChanged, NodeKind(kind_), kind_);
          change.name = y.node.name;
          change.old_node = &x.node;
          change.new_node = &y.node;
          sink_.Change(change);
        }
        Push(y.node.name);
        Nodes(x, y, child_rule);
        Pop();
      }
    }
  }

  void OneSide(CXSectionView& view, const SXStreamNode& node, SXChangeType type, int rule) {
    Push(node.node.name);
    const int node_rule = HasRules() ? filter_.LastRule(path_, rule) : 0;
    const SXRollUp r = RollUp(view, node, node_rule);
    Pop();
    if (r.Empty()) return;
    SXChange change = Base(type, NodeKind(kind_), kind_);
    change.name = node.node.name;
    if (type == SXChangeType::kAdded) {
      change.new_node = &node.node;
      change.new_rollup = r;
    } else {
      change.old_node = &node.node;
      change.old_rollup = r;
    }
    sink_.Change(change);
  }

  void Content(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    if (a.content == 0 && b.content == 0) return;
    if (a.content != 0 && b.content != 0 && kind_ != kReadApplications) {
      const std::string_view ra = va_->RunBytes(a);
      if (!ra.empty() && ra == vb_->RunBytes(b)) return;  // the same records, byte for byte
    }
    switch (kind_) {
      case kReadFiles: Files(a, b, rule); break;
      case kReadRegistry: Values(a, b, rule); break;
      default: Items(a, b, rule); break;
    }
  }

  void Files(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    std::vector<SXReadFile> fa = va_->Files(a);
    std::vector<SXReadFile> fb = vb_->Files(b);
    SortByName(fa);
    SortByName(fb);
    size_t i = 0, j = 0;
    const auto emit = [&](SXChangeType type, const SXReadFile* x, const SXReadFile* y) {
      const SXReadFile& f = y != nullptr ? *y : *x;
      if (!FilePasses(f, rule)) return;
      SXChange change = Base(type, SXEntryKind::kFile, kind_);
      change.name = f.name;
      change.old_file = x;
      change.new_file = y;
      sink_.Change(change);
    };
    while (i < fa.size() || j < fb.size()) {
      const int c = i == fa.size() ? 1 : j == fb.size() ? -1 : CompareNames(fa[i].name, fb[j].name);
      if (c < 0) {
        emit(SXChangeType::kRemoved, &fa[i++], nullptr);
      } else if (c > 0) {
        emit(SXChangeType::kAdded, nullptr, &fb[j++]);
      } else {
        const SXReadFile& x = fa[i++];
        const SXReadFile& y = fb[j++];
        if (x.last_write != y.last_write || x.size != y.size) emit(SXChangeType::kChanged, &x, &y);
      }
    }
  }

  void Values(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    std::vector<SXReadValue> fa = va_->Values(a);
    std::vector<SXReadValue> fb = vb_->Values(b);
    SortByName(fa);
    SortByName(fb);
    size_t i = 0, j = 0;
    const auto emit = [&](SXChangeType type, const SXReadValue* x, const SXReadValue* y) {
      const SXReadValue& v = y != nullptr ? *y : *x;
      if (!NamePasses(v.name, rule)) return;
      SXChange change = Base(type, SXEntryKind::kValue, kind_);
      change.name = v.name;
      change.old_value = x;
      change.new_value = y;
      sink_.Change(change);
    };
    while (i < fa.size() || j < fb.size()) {
      const int c = i == fa.size() ? 1 : j == fb.size() ? -1 : CompareNames(fa[i].name, fb[j].name);
      if (c < 0) {
        emit(SXChangeType::kRemoved, &fa[i++], nullptr);
      } else if (c > 0) {
        emit(SXChangeType::kAdded, nullptr, &fb[j++]);
      } else {
        const SXReadValue& x = fa[i++];
        const SXReadValue& y = fb[j++];
        if (!SameValue(x, y)) emit(SXChangeType::kChanged, &x, &y);
      }
    }
  }

  void Items(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    const KeyedItems ka(va_->Items(a));
    const KeyedItems kb(vb_->Items(b));
    const auto emit = [&](SXChangeType type, const SXReadItem* x, const SXReadItem* y) {
      const SXReadItem& item = y != nullptr ? *y : *x;
      const std::u16string name = ItemEntryName(item);
      if (!NamePasses(name, rule)) return;
      SXChange change = Base(type, SXEntryKind::kItem, kind_);
      change.name = name;
      change.old_item = x;
      change.new_item = y;
      sink_.Change(change);
    };
    size_t i = 0, j = 0;
    const size_t na = ka.items.size(), nb = kb.items.size();
    while (i < na || j < nb) {
      const int c = i == na ? 1 : j == nb ? -1 : CompareAppItems(ka.key(i), kb.key(j));
      if (c < 0) {
        emit(SXChangeType::kRemoved, &ka.item(i++), nullptr);
        continue;
      }
      if (c > 0) {
        emit(SXChangeType::kAdded, nullptr, &kb.item(j++));
        continue;
      }
      // Items equal under the order: unchanged pairs first, then the rest in order.
      size_t ie = i + 1, je = j + 1;
      while (ie < na && CompareAppItems(ka.key(i), ka.key(ie)) == 0) ++ie;
      while (je < nb && CompareAppItems(ka.key(i), kb.key(je)) == 0) ++je;
      std::vector<bool> used_a(ie - i, false), used_b(je - j, false);
      for (size_t x = i; x < ie; ++x) {
        for (size_t y = j; y < je; ++y) {
          if (!used_b[y - j] && !AppItemsDiffer(ka.key(x), kb.key(y))) {
            used_a[x - i] = used_b[y - j] = true;
            break;
          }
        }
      }
      size_t y = j;
      for (size_t x = i; x < ie; ++x) {
        if (used_a[x - i]) continue;
        while (y < je && used_b[y - j]) ++y;
        if (y < je) {
          used_b[y - j] = true;
          emit(SXChangeType::kChanged, &ka.item(x), &kb.item(y));
        } else {
          emit(SXChangeType::kRemoved, &ka.item(x), nullptr);
        }
      }
      for (size_t z = j; z < je; ++z) {
        if (!used_b[z - j]) emit(SXChangeType::kAdded, nullptr, &kb.item(z));
      }
      i = ie;
      j = je;
    }
  }

  CXSnapshotStream& a_;
  CXSnapshotStream& b_;
  int kind_ = 0;
  CXSectionView* va_ = nullptr;
  CXSectionView* vb_ = nullptr;
};

class CXReportWalk : public CXWalkBase {
 public:
  CXReportWalk(CXSnapshotStream& s, const CXReportFilter& filter, CXChangeSink& sink)
      : CXWalkBase(filter, sink), s_(s) {}

  int Run(SXReadFault* fault) {
    for (size_t i = 0; i < s_.sections().size(); ++i) {
      const CXSnapshotStream::Section& section = s_.sections()[i];
      if (section.kind == kReadApplications && filter_.DropsCategory(section.name)) continue;
      section_ = section.name;
      kind_ = section.kind;
      parent_.clear();
      path_.clear();
      lengths_.clear();
      if (!Guarded(fault, [&] {
            std::unique_ptr<CXSectionView> view = s_.Load(i);
            view_ = view.get();
            rollups_.clear();
            Push(view->root().node.name);
            const int rule = HasRules() ? filter_.LastRule(path_, 0) : 0;
            Sum(view->root(), rule);
            Pop();
            Emit(view->root(), rule);
          })) {
        return 0;
      }
    }
    return 1;
  }

 private:
  // Roll-ups of every node, bottom-up (the node's name on the path).
  SXRollUp Sum(const SXStreamNode& node, int rule) {
    SXRollUp r;
    if (Pruned(rule)) return r;
    const bool counted = !filter_.Excludes(rule);
    switch (kind_) {
      case kReadFiles:
        if (counted) ++r.folders;
        for (const SXReadFile& f : view_->Files(node)) {
          if (FilePasses(f, rule)) ++r.files, r.bytes += f.size;
        }
        break;
      case kReadRegistry:
        if (counted) ++r.keys;
        for (const SXReadValue& v : view_->Values(node)) {
          if (NamePasses(v.name, rule)) ++r.values;
        }
        break;
      default:
        if (counted) ++r.nodes;
        for (const SXReadItem& item : view_->Items(node)) {
          if (NamePasses(ItemEntryName(item), rule)) ++r.items;
        }
        break;
    }
    if (node.depth < kMaxWalkDepth) {
      for (const SXStreamNode& child : view_->Children(node)) {
        Push(child.node.name);
        r.Add(Sum(child, HasRules() ? filter_.LastRule(path_, rule) : 0));
        Pop();
      }
    }
    rollups_[node.record] = r;
    return r;
  }

  // The node (its parent on the path), then its run, then its children.
  void Emit(const SXStreamNode& node, int rule) {
    if (Pruned(rule)) return;
    // Under a file mode, folders without a file that passes it are left out.
    if (kind_ == kReadFiles && filter_.mode() != 0 && rollups_[node.record].files == 0) return;
    if (!filter_.Excludes(rule)) {
      SXChange change = Base(SXChangeType::kPresent, NodeKind(kind_), kind_);
      change.name = node.node.name;
      change.new_node = &node.node;
      change.new_rollup = rollups_[node.record];
      sink_.Change(change);
    }
    Push(node.node.name);
    if (!filter_.Excludes(rule)) {
      switch (kind_) {
        case kReadFiles: {
          std::vector<SXReadFile> files = view_->Files(node);
          SortByName(files);
          for (const SXReadFile& f : files) {
            if (!FilePasses(f, rule)) continue;
            SXChange change = Base(SXChangeType::kPresent, SXEntryKind::kFile, kind_);
            change.name = f.name;
            change.new_file = &f;
            sink_.Change(change);
          }
          break;
        }
        case kReadRegistry: {
          std::vector<SXReadValue> values = view_->Values(node);
          SortByName(values);
          for (const SXReadValue& v : values) {
            if (!NamePasses(v.name, rule)) continue;
            SXChange change = Base(SXChangeType::kPresent, SXEntryKind::kValue, kind_);
            change.name = v.name;
            change.new_value = &v;
            sink_.Change(change);
          }
          break;
        }
        default: {
          const KeyedItems items(view_->Items(node));
          for (size_t k = 0; k < items.items.size(); ++k) {
            const SXReadItem& item = items.item(k);
            const std::u16string name = ItemEntryName(item);
            if (!NamePasses(name, rule)) continue;
            SXChange change = Base(SXChangeType::kPresent, SXEntryKind::kItem, kind_);
            change.name = name;
            change.new_item = &item;
            sink_.Change(change);
          }
          break;
        }
      }
    }
    if (node.depth < kMaxWalkDepth) {
      std::vector<SXStreamNode> children = view_->Children(node);
      SortNodes(children);
      for (const SXStreamNode& child : children) {
        Push(child.node.name);
        const int child_rule = HasRules() ? filter_.LastRule(path_, rule) : 0;
        Pop();
        Emit(child, child_rule);
      }
    }
    Pop();
  }

  CXSnapshotStream& s_;
  int kind_ = 0;
  CXSectionView* view_ = nullptr;
  std::unordered_map<uint32_t, SXRollUp> rollups_;
};

}  // namespace

int CompareSnapshots(CXSnapshotStream& old_snapshot, CXSnapshotStream& new_snapshot, const CXReportFilter& filter,
                     CXChangeSink& sink, SXReadFault* fault) {
  return CXCompareWalk(old_snapshot, new_snapshot, filter, sink).Run(fault);
}

int WalkSnapshot(CXSnapshotStream& snapshot, const CXReportFilter& filter, CXChangeSink& sink, SXReadFault* fault) {
  return CXReportWalk(snapshot, filter, sink).Run(fault);
}

}  // namespace orvalinth::report
