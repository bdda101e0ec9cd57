#pragma once
// A small pair of snapshots of one machine, before and after a patch day,
// for the tests of the comparison and of its outputs: files added, removed,
// grown, touched and only re-attributed, a renamed folder, registry values
// changed in type and in data, a service that stopped, a new startup entry,
// a program's new version and a new listening port.

#include <string>

#include "storage/reader/snapshot_reader_model.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth::test {

constexpr int64_t kBefore = 133444736000000000LL;        // 2023-11-14 22:13:20 UTC
constexpr int64_t kAfter = kBefore + 36000000000LL;      // an hour later

inline SXReadFile PairFile(std::u16string name, uint64_t size, int64_t time, uint16_t attributes = 0x20) {
  SXReadFile f = SampleFile(std::move(name), size, attributes);
  f.last_write = time;
  return f;
}

inline SXReadItem PairItem(uint8_t kind, std::u16string name, std::u16string path, uint8_t source = 0,
                           uint8_t state = 0) {
  SXReadItem i;
  i.kind = kind;
  i.name = std::move(name);
  i.path = std::move(path);
  i.source = source;
  i.state = state;
  if (kind != 4 && kind != 9) i.file = PairFile(u"", 1000, kBefore);
  return i;
}

inline SXReadItem PairPort(uint16_t port) {
  SXReadItem i;
  i.kind = 9;
  i.name = u"svchost.exe";
  i.path = u"C:\\Windows\\System32\\svchost.exe";
  i.protocol = 1;
  i.port_state = 2;  // listening
  i.local.length_code = 0;
  i.local.port = port;
  return i;
}

inline SXReadSection PairApps(std::u16string name, std::vector<SXReadItem> items,
                              std::vector<SXReadNode> children = {}) {
  SXReadSection s;
  s.name = name;
  s.root = SampleNode(std::move(name), std::move(children));
  s.root.items = std::move(items);
  return s;
}

// `after` false: the snapshot before; true: after.
inline SXReadSnapshot PairSnapshot(bool after) {
  SXReadSnapshot s;
  SXReadInfo& info = s.info;
  info.number = after ? 2 : 1;
  info.title = after ? "after patch day" : "before patch day";
  info.time = after ? "2026-12-08 10:00:00" : "2026-12-08 09:00:00";
  info.computer = "PC-ADMIN7";
  info.os = "Windows 10 Pro";
  info.os_details = "10.0.19045";
  info.processor = "x64 4 cores";
  info.user = u"admin";
  info.elapsed_seconds = 12;
  info.full = true;
  info.targets[0] = {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\"};
  info.targets[1] = {u"C:\\"};
  info.targets[2] = {u"*"};

  SXReadNode data = SampleNode(u"Data");
  data.files = {PairFile(u"attr.txt", 10, kBefore, after ? 0x21 : 0x20),
                PairFile(u"grow.log", after ? 200 : 100, kBefore),
                PairFile(u"keep.txt", 100, kBefore),
                PairFile(u"tool.exe", after ? 2100 : 2000, after ? kAfter : kBefore),
                PairFile(u"touch.txt", 50, after ? kAfter : kBefore),
                PairFile(u"\u043e\u0442\u0447\u0451\u0442.txt", 64, kBefore)};
  if (!after) data.files.push_back(PairFile(u"gone.txt", 5, kBefore));
  if (after) data.files.push_back(PairFile(u"new.txt", 7, kAfter));
  if (after) data.files.push_back(PairFile(u"\u8cc7\u6599.txt", 9, kAfter));
  SXReadNode moved = SampleNode(after ? u"NewName" : u"OldName", {SampleNode(u"sub")});
  moved.files = {PairFile(u"a.txt", 1000, kBefore)};
  moved.children[0].files = {PairFile(u"b.txt", 2000, kBefore)};
  SXReadNode temp = SampleNode(u"Temp");
  temp.files = {PairFile(u"x.tmp", after ? 11 : 10, kBefore)};
  if (after) temp.files.push_back(PairFile(u"y.tmp", 1, kAfter));
  SXReadSection files;
  files.name = u"C:\\";
  files.root = SampleNode(u"C:\\", {data, moved, temp});

  SXReadNode vendor = SampleNode(u"Vendor");
  vendor.values = {after ? SampleText(u"Mode", 1, u"1") : SampleData(u"Mode", 4, std::string("\x01\0\0\0", 4)),
                   SampleText(u"Name", 1, after ? u"b" : u"a"), SampleText(u"Same", 1, u"x")};
  SXReadSection registry;
  registry.name = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
  registry.root = SampleNode(u"HKEY_LOCAL_MACHINE\\SOFTWARE", {vendor});

  std::vector<SXReadItem> startup = {PairItem(1, u"OneDrive", u"C:\\Users\\admin\\OneDrive.exe", 2)};
  if (after) startup.push_back(PairItem(1, u"Updater", u"C:\\Program Files\\Updater\\up.exe", 2));
  std::vector<SXReadItem> services = {PairItem(3, u"Spooler", u"C:\\Windows\\System32\\spoolsv.exe", 2, after ? 1 : 4),
                                      PairItem(3, u"W32Time", u"C:\\Windows\\System32\\svchost.exe", 3, 1)};
  SXReadItem editor = PairItem(4, u"Editor", u"C:\\Program Files\\Editor\\");
  editor.version = after ? u"1.1" : u"1.0";
  editor.publisher = u"Editor Makers";
  SXReadNode installed = SampleNode(u"Installed Programs");
  installed.items = {editor};
  std::vector<SXReadItem> ports = {PairPort(135)};
  if (after) ports.push_back(PairPort(8080));

  s.sections[kReadRegistry] = {registry};
  s.sections[kReadFiles] = {files};
  s.sections[kReadApplications] = {PairApps(u"Startup", startup), PairApps(u"Services", services),
                                   PairApps(u"Programs", {}, {installed}), PairApps(u"Opened Ports", ports)};
  return s;
}

}  // namespace orvalinth::test
