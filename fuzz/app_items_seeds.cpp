// Writes seed inputs for app_items_fuzz into the folder given as the
// argument: runs of items of every kind as the writer stores them (narrow
// and wide texts, files present and missing, IPv4 and IPv6 ports, handles
// with and without object files), each after a version count of 2.

#include <cstdio>
#include <string>
#include <vector>

#include "storage/app_items.h"
#include "storage/mem_writer.h"

namespace {

using orvalinth::SXAddrRecord;
using orvalinth::SXSnapshotDataAppsBase;

SXSnapshotDataAppsBase Item(uint8_t kind, std::u16string name, std::u16string path) {
  SXSnapshotDataAppsBase item;
  item.kind = kind;
  item.source = kind == 1 ? 10 : 2;
  item.state = kind == 3 ? 4 : 0;
  item.name = std::move(name);
  item.path = std::move(path);
  item.file.version_index = kind == 1 ? 1 : -1;
  item.file.size = 4096;
  item.file.last_write = 0x01D9000000000000;
  item.file.attributes = 0x20;
  return item;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::vector<std::vector<SXSnapshotDataAppsBase>> runs;
  {
    SXSnapshotDataAppsBase a = Item(1, u"agent", u"C:\\Program Files\\agent.exe");
    a.arguments = u"--run";
    SXSnapshotDataAppsBase b = Item(2, u"\u0100driver", u"C:\\windows\\system32\\drivers\\x.sys");
    b.description = u"A driver \u4E2D";
    b.file.missing = 1;
    SXSnapshotDataAppsBase c = Item(3, u"svc", u"C:\\svc.exe");
    c.description = u"Service";
    SXSnapshotDataAppsBase r = Item(5, u"app.exe", u"C:\\app.exe");
    r.registered_name = u"app";
    runs.push_back({a, b, c, r});
  }
  {
    SXSnapshotDataAppsBase p = Item(4, u"Program", u"C:\\Program Files\\P\\");
    p.group = u"Group";
    p.version = u"1.2.3";
    p.publisher = u"Maker";
    p.uninstall = u"C:\\P\\uninstall.exe /S";
    p.install_date = u"20240131";
    runs.push_back({p});
  }
  {
    SXSnapshotDataAppsBase h = Item(6, u"", u"");
    h.handle_type = 1;
    h.object_name = u"C:\\pagefile.sys";
    SXSnapshotDataAppsBase k = Item(6, u"", u"");
    k.handle_type = 3;
    k.object_name = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
    k.object_file.missing = 1;
    SXSnapshotDataAppsBase t = Item(7, u"", u"");
    t.protocol = 1;
    t.port_state = 2;
    const uint8_t local[4] = {127, 0, 0, 1};
    t.local = SXAddrRecord::Of(local, 4, 445);
    const uint8_t remote[4] = {10, 0, 0, 2};
    t.remote = SXAddrRecord::Of(remote, 4, 50000);
    SXSnapshotDataAppsBase u = Item(7, u"", u"");
    u.protocol = 4;
    uint8_t six[16] = {};
    six[15] = 1;
    u.local = SXAddrRecord::Of(six, 16, 53);
    runs.push_back({h, k, t, u});
  }
  {
    SXSnapshotDataAppsBase h = Item(8, u"proc.exe", u"C:\\proc.exe");
    h.handle_type = 2;
    h.object_name = u"C:\\windows\\";
    SXSnapshotDataAppsBase p = Item(9, u"proc.exe", u"C:\\proc.exe");
    p.protocol = 3;
    uint8_t six[16] = {0x20, 0x01, 0x0d, 0xb8};
    p.local = SXAddrRecord::Of(six, 16, 443);
    p.remote = SXAddrRecord::Of(six, 16, 1);
    runs.push_back({h, p});
  }
  int n = 0;
  for (const std::vector<SXSnapshotDataAppsBase>& run : runs) {
    orvalinth::CXMemWriter writer(0);
    writer.WriteU8(2);
    for (size_t i = 0; i < run.size(); ++i) orvalinth::WriteAppItem(writer, run[i], i + 1 == run.size());
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(writer.data(), 1, static_cast<size_t>(writer.position()), f);
    std::fclose(f);
  }
  return 0;
}
