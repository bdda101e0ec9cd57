#pragma once
// Sample snapshot descriptions for the reader's tests and the fuzzer's seeds:
// every section kind, every item kind, links, errors, wide and long names,
// sizes of every width, values of every type, version records.

#include <string>
#include <vector>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth::test {

inline SXReadFile SampleFile(std::u16string name, uint64_t size, uint16_t attributes = 0, int32_t version = -1) {
  SXReadFile f;
  f.name = std::move(name);
  f.size = size;
  f.attributes = attributes;
  f.version_index = version;
  f.last_write = 133444736000000000LL;  // 2023-11-14 22:13:20 UTC
  return f;
}

inline SXReadValue SampleText(std::u16string name, uint32_t type, std::u16string text) {
  SXReadValue v;
  v.name = std::move(name);
  v.type = type;
  v.text = std::move(text);
  return v;
}

inline SXReadValue SampleData(std::u16string name, uint32_t type, std::string data) {
  SXReadValue v;
  v.name = std::move(name);
  v.type = type;
  v.data = std::move(data);
  return v;
}

inline SXReadNode SampleNode(std::u16string name, std::vector<SXReadNode> children = {}) {
  SXReadNode n;
  n.name = std::move(name);
  n.children = std::move(children);
  return n;
}

inline SXReadNode SampleLink(std::u16string name, uint8_t type, std::u16string target) {
  SXReadNode n = SampleNode(std::move(name));
  n.link_type = type;
  n.link_target = std::move(target);
  return n;
}

// The version record of the PE fixture full.exe (built by tests/CMakeLists.txt).
inline SXReadVersion FullExeVersion() {
  SXReadVersion v;
  v.file_version_high = 0x00010002;
  v.file_version_low = 0x00030004;
  v.strings = {u"1.2.3.4",  u"Version fixture with every string", u"Orvalinth Fixture", u"5.6.7.8",
               u"Orvalinth Test Makers", u"caf\u00e9 \u20ac"};
  return v;
}

inline SXReadSection SampleRegistrySection() {
  SXReadSection s;
  s.kind = kReadRegistry;
  s.name = u"HKEY_LOCAL_MACHINE";
  s.root = SampleNode(u"HKEY_LOCAL_MACHINE");
  SXReadNode software = SampleNode(u"SOFTWARE");
  software.values = {
      SampleText(u"", 1, u"default"),
      SampleText(u"Path", 2, u"%SystemRoot%\\x"),
      SampleData(u"Count", 4, std::string("\x2A\x00\x00\x00", 4)),
      SampleData(u"Big", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
      SampleText(u"List", 7, std::u16string(u"a\0b", 3)),
      SampleData(u"Blob", 3, std::string(300, '\x5A')),
      SampleText(u"Wide\u0100", 1, u"\u0416\u0430"),
      SampleData(u"Odd", 0x12345, "xyz"),
  };
  SXReadNode vendor = SampleNode(u"Vendor");
  vendor.children = {SampleNode(u"Deep")};
  vendor.children[0].values = {SampleText(u"Name", 1, std::u16string(70000, u'n'))};
  software.children = {vendor, SampleLink(u"Classes", 1, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes")};
  SXReadNode sam = SampleNode(u"SAM");
  sam.error = 5;
  s.root.children = {sam, software};
  return s;
}

inline SXReadSection SampleFilesSection() {
  SXReadSection s;
  s.kind = kReadFiles;
  s.name = u"c:\\";
  s.root = SampleNode(u"c:");
  s.root.files = {SampleFile(u"pagefile.sys", 0x100000000ULL, 0x26),
                  SampleFile(u"tiny.txt", 0xFF, 0x20)};
  SXReadNode windows = SampleNode(u"Windows");
  windows.attributes = 0x10;
  windows.files = {SampleFile(u"notepad.exe", 0x10000, 0x20, 0), SampleFile(u"a.ini", 0x100),
                   SampleFile(std::u16string(300, u'L'), 7), SampleFile(u"\u0100\u0101.txt", 0, 0x1)};
  SXReadNode locked = SampleNode(u"System Volume Information");
  locked.attributes = 0x16;
  locked.error = 5;
  windows.children = {locked, SampleLink(u"Docs", 3, u"c:\\Users\\\u00E9\u4E2D")};
  s.root.children = {windows, SampleLink(u"link", 2, u"target")};
  return s;
}

inline SXReadItem SampleItem(uint8_t kind, std::u16string name, std::u16string path) {
  SXReadItem item;
  item.kind = kind;
  item.name = std::move(name);
  item.path = std::move(path);
  return item;
}

inline SXReadSection SampleApplicationsSection() {
  SXReadSection s;
  s.kind = kReadApplications;
  s.name = u"Running Processes";
  s.root = SampleNode(u"Running Processes");
  SXReadItem process = SampleItem(1, u"Notepad", u"c:\\Windows\\notepad.exe");
  process.source = 10;
  process.arguments = u"-x \u0100";
  process.file = SampleFile(u"", 0x10000, 0x20, 0);
  SXReadItem service = SampleItem(3, u"Spooler", u"c:\\Windows\\spoolsv.exe");
  service.source = 2;
  service.state = 4;
  service.description = u"Print spooler";
  service.file_missing = true;
  SXReadItem driver = SampleItem(2, u"disk", u"c:\\Windows\\disk.sys");
  driver.file = SampleFile(u"", 1234);
  SXReadItem installed = SampleItem(4, u"Editor", u"c:\\Program Files\\Editor\\");
  installed.group = u"Tools";
  installed.version = u"1.2";
  installed.publisher = u"Maker";
  installed.uninstall = u"uninstall.exe /q";
  installed.install_date = u"20260101";
  SXReadItem registered = SampleItem(5, u"tool", u"c:\\t\\tool.exe");
  registered.registered_name = u"tool.exe";
  registered.file = SampleFile(u"", 77);
  s.root.items = {driver, installed, process, service, registered};  // in item order

  SXReadItem handle = SampleItem(6, u"", u"");
  handle.handle_type = 1;
  handle.object_name = u"c:\\Windows\\win.ini";
  handle.object_file = SampleFile(u"", 512, 0x20);
  SXReadItem key = SampleItem(6, u"", u"");
  key.handle_type = 3;
  key.object_name = u"\\REGISTRY\\MACHINE";
  SXReadItem port = SampleItem(7, u"", u"");  // kind 7 stores no path
  port.protocol = 1;
  port.port_state = 2;
  port.local = {4, 445, std::string("\x7F\x00\x00\x01", 4)};
  port.remote = {0, 0, ""};
  SXReadItem udp6 = SampleItem(7, u"", u"");
  udp6.protocol = 4;
  udp6.local = {16, 53, std::string(15, '\0') + "\x01"};
  SXReadNode handles = SampleNode(u"Opened Handles");
  handles.items = {handle, key};
  SXReadNode ports = SampleNode(u"Opened Ports");
  ports.items = {port, udp6};
  SXReadNode node = SampleNode(u"notepad.exe -x");
  node.children = {handles, ports};
  node.items = {process};

  SXReadItem global_handle = SampleItem(8, u"notepad.exe", u"c:\\Windows\\notepad.exe");
  global_handle.handle_type = 2;
  global_handle.object_name = u"c:\\Windows";
  global_handle.object_file = SampleFile(u"", 0, 0x10);
  global_handle.file = SampleFile(u"", 0x10000, 0x20, 0);
  SXReadItem missing_handle = SampleItem(8, u"gone", u"c:\\gone.exe");
  missing_handle.handle_type = 1;
  missing_handle.object_file_missing = true;
  missing_handle.object_name = u"c:\\gone.txt";
  missing_handle.file_missing = true;
  SXReadItem global_port = SampleItem(9, u"svc", u"c:\\Windows\\svc.exe");
  global_port.protocol = 3;
  global_port.port_state = 5;
  global_port.local = {1, 80, ""};
  global_port.remote = {16, 50000, std::string("\x20\x01\x0d\xb8", 4) + std::string(12, '\x11')};
  SXReadNode global = SampleNode(u"Everything");
  global.items = {global_handle, missing_handle, global_port};
  s.root.children = {node, global};
  return s;
}

inline SXReadVersion SampleVersion(uint32_t major, std::u16string description) {
  SXReadVersion v;
  v.file_version_high = (major << 16) | 2;
  v.file_version_low = (3u << 16) | 4;
  v.strings = {u"1.2.3.4", std::move(description), u"Product", u"1.2", u"Maker", u""};
  return v;
}

// A small snapshot holding a bit of everything.
inline SXReadSnapshot SampleSnapshot() {
  SXReadSnapshot s;
  SXReadInfo& info = s.info;
  info.number = 7;
  info.title = "Snapshot 7";
  info.time = "2026-12-08 10:15";
  info.computer = "DESKTOP-1";
  info.os = "Windows 10 Pro";
  info.os_details = "Build 19045\r\nService Pack 0";
  info.processor = "Some CPU @ 3.00GHz";
  info.user = u"SYSTEM";
  info.counters = {{{3, 9}, {4, 7}, {5, 2}}};
  info.elapsed_minutes = 2;
  info.elapsed_seconds = 5;
  info.version_info = true;
  info.targets = {{{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\"}, {u"c:\\", u"-c:\\Windows\\Temp\\"}, {u"*"}}};
  s.sections[kReadRegistry] = {SampleRegistrySection()};
  s.sections[kReadFiles] = {SampleFilesSection()};
  s.sections[kReadApplications] = {SampleApplicationsSection()};
  s.versions = {SampleVersion(10, u"Notepad"), SampleVersion(1, u"\u0416 wide"),
                SampleVersion(2, std::u16string(300, u'd'))};
  return s;
}

}  // namespace orvalinth::test
