#include "tools/report/compare.h"

#include <algorithm>
#include <unordered_map>

#include "base/strings.h"
#include "storage/app_items.h"
#include "storage/reader/snapshot_reader.h"
#include "tools/report/agent_link.h"

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


template <class T>
void SortByName(std::vector<T>& v) {
  const auto less = [](const T& a, const T& b) { return CompareNames(a.name, b.name) < 0; };
  if (!std::is_sorted(v.begin(), v.end(), less)) std::stable_sort(v.begin(), v.end(), less);
}

void SortNodes(std::vector<SXStreamNode>& v) {
  const auto less = [](const SXStreamNode& a, const SXStreamNode& b) { return CompareNames(a.node.name, b.node.name) < 0; };
  if (!std::is_sorted(v.begin(), v.end(), less)) std::stable_sort(v.begin(), v.end(), less);
}

bool Same(const SXReadFile& a, const SXReadFile& b) { return a.last_write == b.last_write && a.size == b.size; }
bool Same(const SXReadValue& a, const SXReadValue& b) {
  return a.type == b.type && a.text == b.text && a.data == b.data;
}

constexpr SXEntryKind EntryKindOf(const SXReadFile*) { return SXEntryKind::kFile; }
constexpr SXEntryKind EntryKindOf(const SXReadValue*) { return SXEntryKind::kValue; }

void SetRecords(SXChange& change, const SXReadFile* old_file, const SXReadFile* new_file) {
  change.old_file = old_file;
  change.new_file = new_file;
}
void SetRecords(SXChange& change, const SXReadValue* old_value, const SXReadValue* new_value) {
  change.old_value = old_value;
  change.new_value = new_value;
}

// A node's file or value run in the name order: read a record at a time when
// it is stored in that order (as the recorder writes it), otherwise decoded
// whole and sorted. One pass over the stored records tells which.
template <class Record>
class CXOrderedRun {
 public:
  CXOrderedRun(CXSectionView& view, const SXStreamNode& node) : reader_(view, node) {
    CXRunReader<Record> check(view, node);
    Record previous, record;
    bool first = true, ordered = true;
    while (ordered && check.Next(&record)) {
      ordered = first || CompareNames(previous.name, record.name) <= 0;
      previous = std::move(record);
      first = false;
    }
    if (!ordered) {
      CXRunReader<Record> all(view, node);
      while (all.Next(&record)) whole_.push_back(std::move(record));
      SortByName(whole_);
      sorted_ = true;
    }
    Advance();
  }

  // The record at hand, nullptr after the last; valid until Advance().
  const Record* get() const {
    if (!has_) return nullptr;
    return sorted_ ? &whole_[next_ - 1] : &current_;
  }
  void Advance() {
    if (!sorted_) {
      has_ = reader_.Next(&current_);
    } else {
      has_ = next_ < whole_.size();
      if (has_) ++next_;
    }
  }

 private:
  CXRunReader<Record> reader_;
  Record current_;
  bool has_ = false;
  bool sorted_ = false;
  std::vector<Record> whole_;
  size_t next_ = 0;
};

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
  bool Passes(const SXReadFile& file, int rule) { return FilePasses(file, rule); }
  bool Passes(const SXReadValue& value, int rule) { return NamePasses(value.name, rule); }
  // An item whose entry name passes the rules, and that is no end of the
  // agent's own link when the filter leaves that out.
  bool ItemPasses(const SXReadItem& item, int rule) {
    if (filter_.drops_agent_link() && agent_link_.Holds(item)) return false;
    return NamePasses(ItemEntryName(item), rule);
  }

  // A category left out goes wherever its items appear: under the processes
  // of "Running Processes" the nodes "Opened Handles" and "Opened Ports"
  // (depth 2), and each process's own run, its modules ("Loaded Dlls").
  bool InRunningProcesses() const {
    return kind_ == kReadApplications && EqualsFolded(section_, kAppCategoryNames[kAppProcesses]);
  }
  bool ContentLeftOut(const SXStreamNode& node) const {
    return node.depth == 1 && InRunningProcesses() && filter_.DropsCategory(kAppCategoryNames[kAppModules]);
  }
  std::vector<SXStreamNode> ChildrenOf(CXSectionView& view, const SXStreamNode& node) {
    std::vector<SXStreamNode> children = view.Children(node);
    if (node.depth == 1 && InRunningProcesses() && !filter_.categories().empty()) {
      children.erase(std::remove_if(children.begin(), children.end(),
                                    [&](const SXStreamNode& c) { return filter_.DropsCategory(c.node.name); }),
                     children.end());
    }
    return children;
  }
  // Finds the agent's own links, when the filter leaves them out. The ends
  // of both snapshots' links count on both sides: a link of the old one may
  // linger in the new one (closed, waiting), and the other way round.
  int FindAgentLinks(CXSnapshotStream* old_snapshot, CXSnapshotStream& new_snapshot, SXReadFault* fault) {
    if (!filter_.drops_agent_link()) return 1;
    return Guarded(fault, [&] {
      if (old_snapshot != nullptr) agent_link_.Find(*old_snapshot);
      agent_link_.Find(new_snapshot);
    });
  }

  // The filtered counts of a node's own run (the node's name on the path);
  // the node itself counts when `count_node`.
  SXRollUp OwnRollUp(CXSectionView& view, const SXStreamNode& node, int rule, bool count_node) {
    SXRollUp r;
    switch (view.kind()) {
      case kReadFiles: {
        if (count_node) ++r.folders;
        CXRunReader<SXReadFile> run(view, node);
        for (SXReadFile f; run.Next(&f);) {
          if (FilePasses(f, rule)) ++r.files, r.bytes += f.size;
        }
        break;
      }
      case kReadRegistry: {
        if (count_node) ++r.keys;
        CXRunReader<SXReadValue> run(view, node);
        for (SXReadValue v; run.Next(&v);) {
          if (NamePasses(v.name, rule)) ++r.values;
        }
        break;
      }
      default:
        if (count_node) ++r.nodes;
        if (ContentLeftOut(node)) break;
        for (const SXReadItem& item : view.Items(node)) {
          if (ItemPasses(item, rule)) ++r.items;
        }
        break;
    }
    return r;
  }
  // Whether nothing below a node with this rule can pass.
  bool Pruned(int rule) const { return filter_.Excludes(rule) && !filter_.IncludeAfter(rule); }

  // The filtered roll-up of a node and everything below it (the node's own
  // name is on the path).
  SXRollUp RollUp(CXSectionView& view, const SXStreamNode& node, int rule) {
    if (Pruned(rule)) return {};
    const bool counted = !filter_.Excludes(rule);
    SXRollUp r = OwnRollUp(view, node, rule, counted && (view.kind() != kReadFiles || filter_.mode() == 0));
    if (node.depth >= kMaxWalkDepth) return r;
    for (const SXStreamNode& child : ChildrenOf(view, node)) {
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
  int kind_ = 0;
  std::u16string section_;
  CXAgentLink agent_link_;
  std::vector<std::u16string> parent_;
  std::u16string path_;
  std::vector<size_t> lengths_;
};

class CXCompareWalk : public CXWalkBase {
 public:
  CXCompareWalk(CXSnapshotStream& a, CXSnapshotStream& b, const CXReportFilter& filter, CXChangeSink& sink)
      : CXWalkBase(filter, sink), a_(a), b_(b) {}

  int Run(SXReadFault* fault) {
    if (!FindAgentLinks(&a_, b_, fault)) return 0;
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
    std::vector<SXStreamNode> ca = ChildrenOf(*va_, a);
    std::vector<SXStreamNode> cb = ChildrenOf(*vb_, b);
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
    if ((a.content == 0 && b.content == 0) || ContentLeftOut(a)) return;
    if (a.content != 0 && b.content != 0 && kind_ != kReadApplications &&
        CXSectionView::SameRunBytes(*va_, a, *vb_, b)) {
      return;  // the same records, byte for byte
    }
    switch (kind_) {
      case kReadFiles: Merge<SXReadFile>(a, b, rule); break;
      case kReadRegistry: Merge<SXReadValue>(a, b, rule); break;
      default: Items(a, b, rule); break;
    }
  }

  // Two file or value runs merged by name, a record of each at a time.
  template <class Record>
  void Merge(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    CXOrderedRun<Record> ra(*va_, a);
    CXOrderedRun<Record> rb(*vb_, b);
    const auto emit = [&](SXChangeType type, const Record* x, const Record* y) {
      const Record& record = y != nullptr ? *y : *x;
      if (!Passes(record, rule)) return;
      SXChange change = Base(type, EntryKindOf(x), kind_);
      change.name = record.name;
      SetRecords(change, x, y);
      sink_.Change(change);
    };
    for (;;) {
      const Record* x = ra.get();
      const Record* y = rb.get();
      if (x == nullptr && y == nullptr) return;
      const int c = x == nullptr ? 1 : y == nullptr ? -1 : CompareNames(x->name, y->name);
      if (c < 0) {
        emit(SXChangeType::kRemoved, x, nullptr);
        ra.Advance();
      } else if (c > 0) {
        emit(SXChangeType::kAdded, nullptr, y);
        rb.Advance();
      } else {
        if (!Same(*x, *y)) emit(SXChangeType::kChanged, x, y);
        ra.Advance();
        rb.Advance();
      }
    }
  }

  void Items(const SXStreamNode& a, const SXStreamNode& b, int rule) {
    const KeyedItems ka(va_->Items(a));
    const KeyedItems kb(vb_->Items(b));
    const auto emit = [&](SXChangeType type, const SXReadItem* x, const SXReadItem* y) {
      if ((x != nullptr && !ItemPasses(*x, rule)) || (y != nullptr && !ItemPasses(*y, rule))) return;
      SXChange change = Base(type, SXEntryKind::kItem, kind_);
      change.name = ItemEntryName(y != nullptr ? *y : *x);
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
  CXSectionView* va_ = nullptr;
  CXSectionView* vb_ = nullptr;
};

class CXReportWalk : public CXWalkBase {
 public:
  CXReportWalk(CXSnapshotStream& s, const CXReportFilter& filter, CXChangeSink& sink)
      : CXWalkBase(filter, sink), s_(s) {}

  int Run(SXReadFault* fault) {
    if (!FindAgentLinks(nullptr, s_, fault)) return 0;
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
    if (Pruned(rule)) return {};
    SXRollUp r = OwnRollUp(*view_, node, rule, !filter_.Excludes(rule));
    if (node.depth < kMaxWalkDepth) {
      for (const SXStreamNode& child : ChildrenOf(*view_, node)) {
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
        case kReadFiles: EmitRun<SXReadFile>(node, rule); break;
        case kReadRegistry: EmitRun<SXReadValue>(node, rule); break;
        default: {
          if (ContentLeftOut(node)) break;
          const KeyedItems items(view_->Items(node));
          for (size_t k = 0; k < items.items.size(); ++k) {
            const SXReadItem& item = items.item(k);
            if (!ItemPasses(item, rule)) continue;
            SXChange change = Base(SXChangeType::kPresent, SXEntryKind::kItem, kind_);
            change.name = ItemEntryName(item);
            change.new_item = &item;
            sink_.Change(change);
          }
          break;
        }
      }
    }
    if (node.depth < kMaxWalkDepth) {
      std::vector<SXStreamNode> children = ChildrenOf(*view_, node);
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

  template <class Record>
  void EmitRun(const SXStreamNode& node, int rule) {
    for (CXOrderedRun<Record> run(*view_, node); const Record* record = run.get(); run.Advance()) {
      if (!Passes(*record, rule)) continue;
      SXChange change = Base(SXChangeType::kPresent, EntryKindOf(record), kind_);
      change.name = record->name;
      SetRecords(change, nullptr, record);
      sink_.Change(change);
    }
  }

  CXSnapshotStream& s_;
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
