#include "record/apps/processes_info.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/strings.h"
#include "platform/privileges.h"
#include "platform/processes.h"
#include "record/command_path.h"
#include "storage/exe_version.h"
#include "storage/node_table.h"
#include "storage/serialized_access.h"

namespace orvalinth {
namespace {

template <class T>
T Load(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The file name part of a path: after the last "\", else after the last "/".
std::u16string FileNamePart(const std::u16string& path) {
  size_t cut = path.rfind(u'\\');
  if (cut == std::u16string::npos) cut = path.rfind(u'/');
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool ByName(const std::u16string& a, const std::u16string& b) { return CompareNames(a, b) < 0; }

}  // namespace

std::u16string ReadCommandLine(platform::OpenedProcess& process) {
  uint64_t peb = 0;
  if (!process.EnvironmentBlock(&peb) || peb == 0) return {};
  uint8_t block[platform::kPebReadSize] = {};
  size_t read = 0;
  if (!process.ReadMemory(peb, block, sizeof block, &read) || read < platform::kPebParametersOffset + 8) return {};
  const uint64_t parameters = Load<uint64_t>(block + platform::kPebParametersOffset);
  uint8_t fields[platform::kParametersReadSize] = {};
  if (parameters == 0 || !process.ReadMemory(parameters, fields, sizeof fields, &read) ||
      read < platform::kParametersCommandAddressOffset + 8) {
    return {};
  }
  const uint16_t length = Load<uint16_t>(fields + platform::kParametersCommandLengthOffset);
  const uint64_t address = Load<uint64_t>(fields + platform::kParametersCommandAddressOffset);
  if (length == 0 || address == 0) return {};
  std::u16string command(length / 2, u'\0');
  if (!process.ReadMemory(address, command.data(), command.size() * 2, &read)) return {};
  command.resize(read / 2);
  return command;
}

void CXProcessesInfo::Run(SXAppsScanContext& context) {
  if (!Enumerate()) return;
  const CXProcessMap map(records_);
  handles_.Build();
  ports_.Build(map);

  for (const std::u16string& module : distinct_) {
    if (context.StopRequested()) return;
    SXSnapshotDataAppsBase* item = dlls_.NewItem();
    item->kind = kAppItemExecutable;
    item->source = kAppSourceFound;
    item->path = module;
    DescribeExecutable(context, item);
    context.modules->Add(1);
  }
  CXNodeTable nodes;
  for (std::unique_ptr<SXProcessRecord>& record : records_) {
    if (context.StopRequested()) return;
    WriteProcess(context, *record, nodes);
  }
  handles_.WriteCategory(context, map);
  ports_.WriteCategory(context, map);

  SXAppCategory& dlls = context.category(kAppModules);
  dlls.items_offset = dlls_.Flush(dlls.payload, true);
  SXAppCategory& processes = context.category(kAppProcesses);
  processes.items_offset = process_items_.Flush(processes.payload, true);
  processes.child_offset = nodes.Flush(processes.payload, true);
}

bool CXProcessesInfo::Enumerate() {
  records_.clear();
  distinct_.clear();
  platform::EnableTokenPrivilege("SeDebugPrivilege");  // failure leaves fewer processes open to us
  platform::ProcessTable& table = platform::ProcessTable::Get();
  if (!table.Available()) return false;
  std::vector<uint32_t> ids;
  uint32_t room = kFirstIdRoom;
  uint32_t bytes = 0;
  if (!table.ProcessIds(room, &ids, &bytes)) {
    room = bytes;
    if (room == 0 || !table.ProcessIds(room, &ids, &bytes)) return false;
  }
  // A list that fills its room may have been cut: ask with more room. When
  // that read fails, the list read last stands.
  std::vector<uint32_t> larger;
  for (int grow = 0; bytes >= room && grow < 8; ++grow) {
    room *= 2;
    uint32_t larger_bytes = 0;
    if (!table.ProcessIds(room, &larger, &larger_bytes)) break;
    ids.swap(larger);
    bytes = larger_bytes;
  }
  for (const uint32_t pid : ids) AddProcess(pid);

  std::stable_sort(records_.begin(), records_.end(),
                   [](const std::unique_ptr<SXProcessRecord>& a, const std::unique_ptr<SXProcessRecord>& b) {
                     const int paths = CompareNames(a->path, b->path);
                     if (paths != 0) return paths < 0;
                     return CompareNames(a->arguments, b->arguments) < 0;
                   });
  for (const std::unique_ptr<SXProcessRecord>& record : records_) {
    for (const std::u16string& module : record->modules) {
      if (!module.empty()) distinct_.push_back(FoldedAZ(module));
    }
  }
  std::sort(distinct_.begin(), distinct_.end());
  distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
  return true;
}

void CXProcessesInfo::AddProcess(uint32_t pid) {
  std::unique_ptr<platform::OpenedProcess> process = platform::ProcessTable::Get().Open(pid);
  if (process == nullptr) return;
  std::vector<uint64_t> modules;
  if (!process->Modules(kMaxModules, &modules) || modules.empty()) return;
  if (modules.size() > kMaxModules) modules.resize(kMaxModules);
  auto record = std::make_unique<SXProcessRecord>();
  record->pid = pid;
  std::u16string file_name;
  process->ModuleFileName(modules[0], &file_name);
  const std::u16string command = ReadCommandLine(*process);
  if (command.empty() || !ResolveCommandPath(command, &record->path, &record->arguments)) {
    record->arguments.clear();
    ResolveCommandPath(file_name, &record->path);
  }
  record->modules.reserve(modules.size() - 1);
  for (size_t i = 1; i < modules.size(); ++i) {
    std::u16string path;
    if (!process->ModuleFileName(modules[i], &file_name) || !ResolveCommandPath(file_name, &path)) path.clear();
    record->modules.push_back(std::move(path));
  }
  records_.push_back(std::move(record));
}

void CXProcessesInfo::DescribeExecutable(SXAppsScanContext& context, SXSnapshotDataAppsBase* item) {
  SXExeVersion version;
  context.LookUpFile(item->path, &item->file, &version);
  item->name = !version.product_name.empty() ? version.product_name : FileNamePart(item->path);
}

void CXProcessesInfo::WriteProcess(SXAppsScanContext& context, SXProcessRecord& record, CXNodeTable& nodes) {
  SXAppCategory& category = context.category(kAppProcesses);
  std::u16string name = record.path;
  const size_t cut = name.rfind(u'\\');
  if (cut != std::u16string::npos) name.erase(0, cut + 1);
  if (!record.arguments.empty()) name += u" " + record.arguments;

  CXAppItemList handle_items;
  handles_.AddProcessItems(context, record.pid, &handle_items);
  const int32_t handle_run = handle_items.Flush(category.payload, false);
  CXAppItemList port_items;
  ports_.AddProcessItems(record.pid, &port_items);
  const int32_t port_run = port_items.Flush(category.payload, true);
  CXNodeTable children;
  if (handle_run != 0) children.Append(u"Opened Handles", 0)->content_offset = handle_run;
  if (port_run != 0) children.Append(u"Opened Ports", 0)->content_offset = port_run;
  const int32_t child_table = children.Flush(category.payload, false);

  std::vector<std::u16string> modules = record.modules;
  std::sort(modules.begin(), modules.end(), ByName);
  CXAppItemList module_items;
  for (const std::u16string& module : modules) {
    if (module.empty()) continue;
    const std::u16string lower = FoldedAZ(module);
    const auto found = std::lower_bound(distinct_.begin(), distinct_.end(), lower);
    if (found == distinct_.end() || *found != lower) continue;
    *module_items.NewItem() = *dlls_.at(static_cast<int32_t>(found - distinct_.begin()));
  }
  const int32_t module_run = module_items.Flush(category.payload, true);

  SXNodeRecord* node = nodes.Append(name, 0);
  node->child_offset = child_table;
  node->content_offset = module_run;

  SXSnapshotDataAppsBase* item = process_items_.NewItem();
  item->kind = kAppItemExecutable;
  item->source = kAppSourceFound;
  item->path = record.path;
  item->arguments = record.arguments;
  DescribeExecutable(context, item);
  record.item = item;
}

}  // namespace orvalinth
