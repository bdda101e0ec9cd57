// Writes seed inputs for compare_fuzz into the folder given as the argument:
// pairs of snapshots of one machine before and after a change (files, keys
// and values added, removed and changed, a renamed folder, a service that
// stopped, a process gone and one started, a new handle and port) and
// identical pairs, in the input layout of compare_fuzz.cpp.
//
// The snapshots are written by the real snapshot writer (CXSnapshotWriter)
// from payloads laid out by the recorder's own tables and runs (node tables,
// file and value runs, CXAppItemList), so their blocks are LZ4-compressed as
// the writer chooses. Compressed bytes rarely survive a mutation, so each
// snapshot is also written with every block stored raw, which the format
// allows for any block (the writer itself stores a block raw when
// compression does not pay): the same content, read back by the snapshot
// reader and laid out again block for block, uncompressed.

#include <cstdio>
#include <string>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/process.h"
#include "record/apps/app_item_list.h"
#include "storage/data_dir.h"
#include "storage/mem_writer.h"
#include "storage/reader/snapshot_reader.h"
#include "tests/storage/snapshot_builder.h"
#include "tests/storage/snapshot_file_builder.h"

#include "fuzz/seed_folder.h"

namespace {

using namespace orvalinth;
using test::File;
using test::Node;
using test::NodeSpec;
using test::Value;

constexpr int64_t kBefore = 133444736000000000LL;  // 2023-11-14 22:13:20 UTC
constexpr int64_t kAfter = kBefore + 36000000000LL;  // an hour later

std::string Dword(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
// Registry text as the registry gives it: UTF-16LE with its terminating zero.
std::string Sz(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return out + std::string(2, '\0');
}

SXSnapshotDataAppsBase Item(uint8_t kind, uint8_t source, std::u16string name, std::u16string path) {
  SXSnapshotDataAppsBase item;
  item.kind = kind;
  item.source = source;
  item.name = std::move(name);
  item.path = std::move(path);
  item.file.size = 4096;
  item.file.last_write = kBefore;
  item.file.attributes = 0x20;
  return item;
}

SXSnapshotDataAppsBase Port(uint8_t kind, uint32_t protocol, uint16_t port, std::u16string owner) {
  SXSnapshotDataAppsBase item = Item(kind, 0, owner, u"C:\\Windows\\System32\\" + owner);
  item.protocol = protocol;
  item.port_state = protocol == kAppTcp4 || protocol == kAppTcp6 ? 2 : 0;  // TCP: listening
  const uint8_t any[16] = {};
  item.local = SXAddrRecord::Of(any, protocol <= kAppUdp4 ? 4 : 16, port);
  return item;
}

SXSnapshotDataAppsBase Handle(uint8_t kind, uint32_t type, std::u16string object) {
  SXSnapshotDataAppsBase item = Item(kind, 0, u"notepad.exe", u"C:\\Windows\\notepad.exe");
  item.handle_type = type;
  item.object_name = std::move(object);
  item.object_file.attributes = type == 2 ? 0x10 : 0x20;
  return item;
}

// One item run, sorted by the item order as the collectors write it.
std::string Run(const std::vector<SXSnapshotDataAppsBase>& items, bool sort = true) {
  CXAppItemList list;
  for (const SXSnapshotDataAppsBase& item : items) *list.NewItem() = item;
  CXMemWriter payload(0);
  list.Flush(payload, sort);
  return std::string(reinterpret_cast<const char*>(payload.data()), static_cast<size_t>(payload.position()));
}

NodeSpec Category(const char16_t* name, std::vector<SXSnapshotDataAppsBase> items, std::vector<NodeSpec> children = {}) {
  NodeSpec root = Node(name, std::move(children));
  root.raw_content = Run(items);
  return root;
}

// A process node of "Running Processes": its handle and port runs as child
// nodes, its loaded modules as its own run.
NodeSpec Process(std::u16string name, std::vector<SXSnapshotDataAppsBase> handles,
                 std::vector<SXSnapshotDataAppsBase> ports, std::vector<SXSnapshotDataAppsBase> modules) {
  NodeSpec node = Node(std::move(name));
  if (!handles.empty()) node.children.push_back(Node(u"Opened Handles"));
  if (!handles.empty()) node.children.back().raw_content = Run(handles, false);
  if (!ports.empty()) node.children.push_back(Node(u"Opened Ports"));
  if (!ports.empty()) node.children.back().raw_content = Run(ports);
  node.raw_content = Run(modules);
  return node;
}

void AddApplications(test::SnapshotPlan& plan, bool after) {
  const auto add = [&](NodeSpec root) { plan.sections.push_back({kSectionApps, root.name, std::move(root)}); };
  std::vector<SXSnapshotDataAppsBase> startup = {Item(1, 2, u"OneDrive", u"C:\\Users\\admin\\OneDrive.exe")};
  if (after) startup.push_back(Item(1, 2, u"Updater", u"C:\\Program Files\\Updater\\up.exe"));
  add(Category(u"Startup", startup));
  SXSnapshotDataAppsBase spooler = Item(3, 2, u"Spooler", u"C:\\Windows\\System32\\spoolsv.exe");
  spooler.state = after ? 1 : 4;
  spooler.description = u"Print spooler";
  add(Category(u"Services", {spooler, Item(3, 3, u"W32Time", u"C:\\Windows\\System32\\svchost.exe")}));
  SXSnapshotDataAppsBase disk = Item(2, 0, u"disk", u"C:\\Windows\\System32\\drivers\\disk.sys");
  disk.file.missing = after ? 1 : 0;
  add(Category(u"Drivers", {disk}));

  const SXSnapshotDataAppsBase kernel = Item(1, 10, u"kernel32", u"c:\\windows\\system32\\kernel32.dll");
  const SXSnapshotDataAppsBase gdi = Item(1, 10, u"gdi32", u"c:\\windows\\system32\\gdi32.dll");
  std::vector<NodeSpec> processes = {
      Process(u"notepad.exe C:\\notes.txt",
              {Handle(6, 1, u"C:\\notes.txt"), Handle(6, 3, u"\\REGISTRY\\MACHINE\\SOFTWARE")},
              after ? std::vector<SXSnapshotDataAppsBase>{Port(7, kAppTcp4, 5000, u"")} : std::vector<SXSnapshotDataAppsBase>{},
              {kernel, gdi}),
      Process(after ? u"svchost.exe -k net" : u"old.exe", {}, {Port(7, kAppUdp6, 53, u"")}, {kernel})};
  std::vector<SXSnapshotDataAppsBase> process_items = {Item(1, 10, u"Notepad", u"C:\\Windows\\notepad.exe")};
  process_items.back().arguments = u"C:\\notes.txt";
  process_items.push_back(after ? Item(1, 10, u"svchost", u"C:\\Windows\\System32\\svchost.exe")
                                : Item(1, 10, u"old", u"C:\\old.exe"));
  add(Category(u"Running Processes", process_items, processes));
  add(Category(u"Loaded Dlls", {kernel, gdi}));

  SXSnapshotDataAppsBase editor = Item(4, 0, u"Editor", u"C:\\Program Files\\Editor\\");
  editor.group = u"Installed Programs";
  editor.version = after ? u"1.1" : u"1.0";
  editor.publisher = u"Editor Makers";
  editor.install_date = u"20231114";
  SXSnapshotDataAppsBase registered = Item(5, 10, u"tool", u"C:\\Tools\\tool.exe");
  registered.registered_name = u"tool.exe";
  add(Category(u"Programs", {}, {Category(u"Installed Programs", {editor}), Category(u"Found Programs", {registered})}));

  std::vector<SXSnapshotDataAppsBase> handles = {Handle(8, 2, u"C:\\Windows"), Handle(8, 1, u"C:\\pagefile.sys")};
  if (after) handles.push_back(Handle(8, 1, u"C:\\Data\\new.txt"));
  add(Category(u"Opened Handles", handles));
  std::vector<SXSnapshotDataAppsBase> ports = {Port(9, kAppTcp4, 135, u"svchost.exe"), Port(9, kAppUdp6, 53, u"dns.exe")};
  if (after) ports.push_back(Port(9, kAppTcp6, 8080, u"web.exe"));
  add(Category(u"Opened Ports", ports));
}

// A machine before (`after` false) and after a change.
test::SnapshotPlan Machine(bool after) {
  test::SnapshotPlan plan;
  plan.number = after ? 2 : 1;
  plan.title = after ? "after" : "before";
  SXExeVersion tool;
  tool.file_version_high = 0x00010002;
  tool.product_name = u"Tool";
  plan.versions = {{u"C:\\Data\\tool.exe", tool}};

  NodeSpec data = Node(u"Data");
  data.files = {File(u"attr.txt", 10, kBefore, after ? 0x21 : 0x20),  // attributes alone: no change
                File(u"grow.log", after ? 200 : 100, kBefore), File(u"keep.txt", 100, kBefore),
                File(u"tool.exe", after ? 2100 : 2000, after ? kAfter : kBefore, 0x20, 0),
                File(u"\u043e\u0442\u0447\u0451\u0442.txt", 64, kBefore), File(u"setup.tmp", 3, after ? kAfter : kBefore)};
  data.files.push_back(after ? File(u"new.txt", 7, kAfter) : File(u"gone.txt", 5, kBefore));
  NodeSpec moved = Node(after ? u"NewName" : u"OldName", {Node(u"sub")});
  moved.files = {File(u"a.txt", 1000, kBefore)};
  moved.children[0].files = {File(u"b.dll", 2000, kBefore)};
  NodeSpec temp = Node(u"Temp");
  temp.files = {File(u"x.log", after ? 11 : 10, kBefore)};
  NodeSpec locked = Node(u"System Volume Information");
  locked.error = 5;
  NodeSpec docs = Node(u"Docs");
  docs.link_type = kLinkJunction;
  docs.link_target = after ? u"D:\\Docs" : u"C:\\Users\\admin\\Documents";
  NodeSpec windows = Node(u"Windows", {temp, Node(u"Prefetch")});
  windows.children[1].files = {File(u"NOTEPAD.EXE-1.pf", after ? 900 : 800, after ? kAfter : kBefore)};
  NodeSpec files = Node(u"C:\\", {data, moved, windows, locked, docs});
  files.files = {File(u"pagefile.sys", 0x100000000ULL, after ? kAfter : kBefore, 0x26)};
  plan.sections.push_back({kSectionFiles, u"C:\\", files});

  NodeSpec vendor = Node(u"Vendor", {Node(after ? u"Added" : u"Removed")});
  vendor.values = {after ? Value(u"Mode", 1, Sz(u"1")) : Value(u"Mode", 4, Dword(1)),
                   Value(u"Name", 1, Sz(after ? u"b" : u"a")), Value(u"Same", 1, Sz(u"x")), Value(u"", 1, Sz(u"default")),
                   Value(u"Wide\u0100", 2, Sz(u"%SystemRoot%\\\u0416")), Value(u"List", 7, Sz(std::u16string(u"a\0b\0", 4))),
                   Value(u"Blob", 3, std::string(after ? 40 : 39, '\x5A'))};
  vendor.children[0].values = {Value(u"Count", 4, Dword(after ? 2 : 1))};
  NodeSpec rng = Node(u"Microsoft", {Node(u"Cryptography", {Node(u"RNG")})});
  rng.children[0].children[0].values = {Value(u"Seed", 3, std::string(8, after ? 'b' : 'a'))};
  NodeSpec classes = Node(u"Classes");
  classes.link_type = kLinkRegistry;
  classes.link_target = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
  plan.sections.push_back({kSectionRegistry, u"HKEY_LOCAL_MACHINE\\SOFTWARE",
                           Node(u"HKEY_LOCAL_MACHINE\\SOFTWARE", {vendor, rng, classes})});
  NodeSpec windows_key = Node(u"ControlSet001", {Node(u"Control", {Node(u"Windows")})});
  windows_key.children[0].children[0].values = {Value(u"ShutdownTime", 3, std::string(8, after ? '\x02' : '\x01'))};
  plan.sections.push_back({kSectionRegistry, u"HKEY_LOCAL_MACHINE\\SYSTEM", Node(u"HKEY_LOCAL_MACHINE\\SYSTEM", {windows_key})});

  AddApplications(plan, after);
  return plan;
}

// The plan written by the snapshot writer, as file bytes; empty on failure.
std::string Written(const test::SnapshotPlan& plan) {
  platform::FileSystem& fs = platform::FileSystem::Get();
  const std::u16string path = fs.TempFolder() + Widen(Format("compare-seed-%u.snp", platform::CurrentProcessId()));
  std::string error, bytes;
  if (test::WriteSnapshot(path, plan, &error) != 0) {
    std::unique_ptr<platform::File> file = fs.Open(path, platform::kOpenRead);
    uint64_t size = 0;
    uint32_t got = 0;
    if (file && file->Size(&size)) bytes.resize(size);
    if (file == nullptr || !file->Read(&bytes[0], static_cast<uint32_t>(size), &got) || got != size) bytes.clear();
  } else {
    std::fprintf(stderr, "compare_seeds: the snapshot writer failed: %s\n", error.c_str());
  }
  fs.RemoveFile(path);
  return bytes;
}

// The same snapshot with every block stored raw; empty when it does not read.
std::string Raw(const std::string& file) {
  CXSnapshotMemorySource source(file.data(), file.size());
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  if (reader.Read(source, &snapshot) != 1) {
    std::fprintf(stderr, "compare_seeds: a written seed does not read: %s\n", reader.fault().message.c_str());
    return std::string();
  }
  return test::BuildSnapshotFile(snapshot, test::Store::kRaw);
}

// The input: the options byte, the old file's length (uint32, little-endian), both files.
std::string Pair(uint8_t options, const std::string& old_file, const std::string& new_file) {
  const uint32_t n = static_cast<uint32_t>(old_file.size());
  const char length[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 24)};
  return std::string(1, static_cast<char>(options)) + std::string(length, 4) + old_file + new_file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: compare_seeds FOLDER\n", stderr);
    return 2;
  }
  const std::string before = Written(Machine(false));
  const std::string after = Written(Machine(true));
  test::SnapshotPlan files_only = Machine(true);
  files_only.sections.resize(1);
  const std::string only_files = Written(files_only);
  const std::string empty = Written(test::SnapshotPlan());
  const std::string raw_before = Raw(before), raw_after = Raw(after), raw_files = Raw(only_files);
  for (const std::string* s : {&before, &after, &only_files, &empty, &raw_before, &raw_after, &raw_files}) {
    if (s->empty()) return 1;
  }
  // Options (compare_fuzz.cpp): 1 the default filter, 2 small chunks, 4-8 the file mode, 16 report the old
  // side, 32 the new file compared with itself.
  const std::string folder = argv[1];
  fuzz::WriteSeed(folder, "changed-written", Pair(0, before, after));
  fuzz::WriteSeed(folder, "changed-written-filtered", Pair(1 | 2, before, after));
  fuzz::WriteSeed(folder, "reversed-written", Pair(16, after, before));
  fuzz::WriteSeed(folder, "same-written", Pair(1, before, before));
  fuzz::WriteSeed(folder, "changed-raw", Pair(0, raw_before, raw_after));
  fuzz::WriteSeed(folder, "changed-raw-filtered", Pair(1 | 4 | 16, raw_before, raw_after));
  fuzz::WriteSeed(folder, "changed-raw-chunked", Pair(2 | 8, raw_before, raw_after));
  fuzz::WriteSeed(folder, "same-raw", Pair(0, raw_after, raw_after));
  fuzz::WriteSeed(folder, "itself-raw", Pair(32 | 2, std::string(), raw_before));
  fuzz::WriteSeed(folder, "itself-written", Pair(32 | 1, std::string(), after));
  fuzz::WriteSeed(folder, "mixed", Pair(1, before, raw_after));
  fuzz::WriteSeed(folder, "sections-raw", Pair(0, raw_files, raw_before));
  fuzz::WriteSeed(folder, "from-empty", Pair(16, empty, raw_after));
  return 0;
}
