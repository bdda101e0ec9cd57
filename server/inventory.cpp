#include "server/inventory.h"

#include <functional>

#include "server/change_file.h"
#include "storage/app_items.h"
#include "tools/report/describe.h"
#include "tools/report/snapshot_stream.h"

namespace orvalinth::server {
namespace {

using report::Utf8;

std::string CommandLine(const SXReadItem& item) {
  std::string line = Utf8(item.path);
  const std::string arguments = Utf8(item.arguments);
  if (!arguments.empty()) line += (line.empty() ? "" : " ") + arguments;
  return line;
}

// The row of one item of `category`, false for an item that is none of an inventory's.
bool RowOf(const std::string& category, const SXReadItem& item, const std::string& where, SXInventoryRow* row) {
  row->category = category;
  row->name = Utf8(item.name);
  if (category == "Programs") {
    if (item.kind == kAppItemInstalled) {
      row->path = Utf8(item.path);
      row->detail = Utf8(item.version);
    } else if (item.kind == kAppItemExecutable || item.kind == kAppItemRegistered) {
      row->path = Utf8(item.path);
      row->detail = Utf8(item.description);
    } else {
      return false;
    }
  } else if (category == "Services" || category == "Drivers") {
    if (item.kind != kAppItemService && item.kind != kAppItemDriver) return false;
    row->path = CommandLine(item);
    row->detail = report::StartTypeText(item.source);
    if (item.state != 0) row->detail += ", " + report::ServiceStateText(item.state);
  } else {
    if (item.kind != kAppItemExecutable) return false;
    row->path = CommandLine(item);
    row->detail = where;
  }
  return !row->name.empty() || !row->path.empty();
}

}  // namespace

int CollectInventory(const std::string& path, std::vector<SXInventoryRow>* rows, std::string* error) {
  rows->clear();
  report::CXSnapshotStream stream;
  stream.set_label(path);
  if (!stream.Open(PlatformPath(path))) {
    *error = stream.fault().message;
    return -1;
  }
  static const char* const kCategories[] = {"Programs", "Services", "Drivers", "Startup"};
  bool apps = false;
  SXReadFault fault;
  const int read = report::Guarded(&fault, [&] {
    for (size_t i = 0; i < stream.sections().size(); ++i) {
      const report::CXSnapshotStream::Section& section = stream.sections()[i];
      if (section.kind != kReadApplications) continue;
      apps = true;
      const std::string name = Utf8(section.name);
      bool wanted = false;
      for (const char* c : kCategories) wanted = wanted || name == c;
      if (!wanted) continue;
      std::unique_ptr<report::CXSectionView> view = stream.Load(i);
      // Depth first, a node's items at a time; `where` is the node's path below the section's root.
      std::function<void(const report::SXStreamNode&, const std::string&)> walk =
          [&](const report::SXStreamNode& node, const std::string& where) {
            for (const SXReadItem& item : view->Items(node)) {
              SXInventoryRow row;
              if (RowOf(name, item, where, &row)) rows->push_back(std::move(row));
            }
            for (const report::SXStreamNode& child : view->Children(node)) {
              const std::string below = Utf8(child.node.name);
              walk(child, where.empty() ? below : where + "\\" + below);
            }
          };
      walk(view->root(), std::string());
    }
  });
  if (!read) {
    *error = fault.message;
    rows->clear();
    return -1;
  }
  return apps ? 1 : 0;
}

}  // namespace orvalinth::server
