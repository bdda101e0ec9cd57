// Application items: the bytes of every kind, read back by the strict reader
// and by the read-side record, the item order and the change rules.

#include <gtest/gtest.h>

#include "storage/app_items.h"
#include "storage/data_apps.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "storage/reader/snapshot_reader_records.h"
#include "test_support.h"
#include "tests/storage/snapshot_bytes.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

SXFileRecord FileOf(int32_t version, uint16_t attributes, int64_t time, uint64_t size) {
  SXFileRecord f = SXSnapshotDataAppsBase().file;
  f.version_index = version;
  f.attributes = attributes;
  f.last_write = time;
  f.size = size;
  return f;
}

SXAddrRecord Address(std::initializer_list<uint8_t> bytes, uint16_t port) {
  const std::vector<uint8_t> b(bytes);
  return SXAddrRecord::Of(b.data(), static_cast<int>(b.size()), port);
}

SXSnapshotDataAppsBase Item(uint8_t kind, std::u16string name, std::u16string path) {
  SXSnapshotDataAppsBase item;
  item.kind = kind;
  item.name = std::move(name);
  item.path = std::move(path);
  return item;
}

std::string Bytes(const SXSnapshotDataAppsBase& item, bool last = true) {
  CXMemWriter w;
  WriteAppItem(w, item, last);
  return std::string(reinterpret_cast<const char*>(w.data()), static_cast<size_t>(w.position()));
}

struct Golden {
  const char* what;
  SXSnapshotDataAppsBase item;
  const char* hex;
};

std::vector<Golden> GoldenItems() {
  std::vector<Golden> g;
  SXSnapshotDataAppsBase startup = Item(1, u"ab", u"p");
  startup.source = 2;
  startup.file = FileOf(3, 0x20, 0x0102030405060708LL, 0x1234);
  g.push_back({"kind 1, narrow, file with version and attributes", startup,
               "80 01 02 00 02 00 61 62 01 00 70 00 00 00 00 61 20 00 03 00 00 00 08 07 06 05 04 03 02 01 34 12 00"});
  SXSnapshotDataAppsBase wide = Item(1, u"\u0100x", u"");
  wide.source = 10;
  wide.file.missing = 1;
  g.push_back({"kind 1, wide name, missing file", wide, "91 01 0A 00 02 00 00 01 78 00 00 00 00 00 00 00"});
  SXSnapshotDataAppsBase driver = Item(2, u"D", u"");
  driver.source = 1;
  driver.state = 1;
  driver.description = u"\u0416";
  driver.file.missing = 1;
  g.push_back({"kind 2, wide description", driver, "98 02 01 01 01 00 44 00 00 00 00 01 00 16 04"});
  SXSnapshotDataAppsBase service = Item(3, u"S", u"s.exe");
  service.source = 2;
  service.state = 4;
  service.arguments = u"-k \u20AC";
  service.description = u"d";
  g.push_back({"kind 3, wide arguments", service,
               "84 03 02 04 01 00 53 05 00 73 2E 65 78 65 04 00 2D 00 6B 00 20 00 AC 20 01 00 64 "
               "00 00 00 00 00 00 00 00 00 00 00"});
  SXSnapshotDataAppsBase installed = Item(4, u"n", u"f");
  installed.group = u"g";
  installed.version = u"1";
  installed.publisher = u"p";
  installed.uninstall = u"u";
  installed.install_date = u"20260101";
  g.push_back({"kind 4, every text wide", installed,
               "80 04 01 00 67 00 01 00 6E 00 01 00 31 00 01 00 70 00 01 00 66 00 01 00 75 00 "
               "08 00 32 00 30 00 32 00 36 00 30 00 31 00 30 00 31 00"});
  SXSnapshotDataAppsBase registered = Item(5, u"t", u"x");
  registered.source = 10;
  registered.registered_name = u"t.exe";
  registered.file = FileOf(-1, 0, 0, 0x10000);
  g.push_back({"kind 5, registered name", registered,
               "80 05 0A 00 01 00 74 01 00 78 00 00 00 00 05 00 74 00 2E 00 65 00 78 00 65 00 "
               "02 00 00 00 00 00 00 00 00 00 00 01 00 00"});
  SXSnapshotDataAppsBase handle = Item(6, u"", u"");
  handle.handle_type = 1;
  handle.object_name = u"o";
  handle.object_file = FileOf(-1, 0x10, 0, 0xFF);
  g.push_back({"kind 6, file with its record", handle, "80 06 01 00 01 00 6F 00 40 10 00 00 00 00 00 00 00 00 00 FF 00"});
  SXSnapshotDataAppsBase key = Item(6, u"", u"");
  key.handle_type = 3;
  key.object_name = u"k";
  g.push_back({"kind 6, key without a record", key, "80 06 03 00 01 00 6B 00"});
  SXSnapshotDataAppsBase gone = Item(6, u"", u"");
  gone.handle_type = 1;
  gone.object_name = u"x";
  gone.object_file.missing = 1;
  g.push_back({"kind 6, missing object file", gone, "80 06 01 01 01 00 78 00"});
  SXSnapshotDataAppsBase tcp4 = Item(7, u"", u"");
  tcp4.protocol = kAppTcp4;
  tcp4.port_state = 2;
  tcp4.local = Address({127, 0, 0, 1}, 0x1BD);
  tcp4.remote = Address({0, 0, 0, 0}, 0);
  g.push_back({"kind 7, TCP4, codes 4 and 0", tcp4, "80 07 01 02 04 BD 01 7F 00 00 01 00 00 00"});
  SXSnapshotDataAppsBase tcp6 = Item(7, u"", u"");
  tcp6.protocol = kAppTcp6;
  tcp6.port_state = 5;
  tcp6.local = Address({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 80);
  tcp6.remote = Address({0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 0xC350);
  g.push_back({"kind 7, TCP6, codes 1 and 16", tcp6,
               "80 07 03 05 01 50 00 10 50 C3 20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 09"});
  SXSnapshotDataAppsBase udp4 = Item(7, u"", u"");
  udp4.protocol = kAppUdp4;
  udp4.local = Address({10, 0, 0, 1}, 53);
  udp4.remote = Address({1, 2, 3, 4}, 9);  // never stored for UDP
  g.push_back({"kind 7, UDP4 without a remote address", udp4, "80 07 02 00 04 35 00 0A 00 00 01"});
  SXSnapshotDataAppsBase folder = Item(8, u"n", u"p");
  folder.handle_type = 2;
  folder.object_name = u"c";
  folder.object_file = FileOf(-1, 0x10, 0, 0);
  folder.file.missing = 1;
  g.push_back({"kind 8, folder handle, missing process file", folder,
               "90 08 02 00 01 00 63 00 40 10 00 00 00 00 00 00 00 00 00 00 00 01 00 6E 00 01 00 70 00"});
  SXSnapshotDataAppsBase port = Item(9, u"n", u"p");
  port.protocol = kAppUdp4;
  port.local = Address({0, 0, 0, 0}, 0x89);
  g.push_back({"kind 9, UDP4 with code 0", port, "80 09 01 00 70 00 01 00 6E 00 02 00 00 89 00"});
  return g;
}

TEST(AppItems, GoldenBytesOfEveryKindReadBack) {
  const std::vector<Golden> golden = GoldenItems();
  std::string run;
  for (size_t i = 0; i < golden.size(); ++i) {
    const Golden& g = golden[i];
    EXPECT_EQ(ToHex(Bytes(g.item)), ToHex(Hex(g.hex))) << g.what;
    run += Bytes(g.item, i + 1 == golden.size());
  }
  // The strict reader takes the whole run, remarks nothing, and its model
  // encodes to the same bytes again.
  const std::vector<uint8_t> payload(run.begin(), run.end());
  snapshot_read::ReadContext context;
  context.version_count = 4;
  snapshot_read::CXPayloadCursor cursor(payload, 20, "section block", context);
  const std::vector<SXReadItem> items = snapshot_read::ReadItemRun(cursor);
  ASSERT_EQ(items.size(), golden.size());
  EXPECT_EQ(cursor.remaining(), 0u);
  EXPECT_EQ(context.remark_count, 0u) << (context.remarks.empty() ? "" : context.remarks[0]);
  // The read-side record reads each item and writes it back as it was.
  CXMemReader reader(payload.data());
  for (size_t i = 0; i < golden.size(); ++i) {
    const bool last = i + 1 == golden.size();
    EXPECT_EQ(ToHex(test::ItemRecordBytes(items[i], last)), ToHex(Bytes(golden[i].item, last))) << golden[i].what;
    SXSnapshotDataApps record;
    record.Read(reader);
    EXPECT_EQ(record.SectionType(), 2);
    EXPECT_EQ(ToHex(Bytes(record, last)), ToHex(Bytes(golden[i].item, last))) << golden[i].what;
  }
  EXPECT_EQ(reader.position(), static_cast<int32_t>(payload.size()));
}

TEST(AppItems, TextsAreCutTo65535UnitsAndTheirFlagFollowsTheCut) {
  SXSnapshotDataAppsBase item = Item(1, std::u16string(65535, u'a') + u"\u0100", u"");
  item.file.missing = 1;
  const std::string bytes = Bytes(item);
  EXPECT_EQ(ToHex(bytes.substr(0, 6)), "90 01 00 00 FF FF");  // narrow: the wide unit was cut off
  EXPECT_EQ(bytes.size(), 6u + 65535u + 6u);
  item.kind = 9;  // always wide
  EXPECT_EQ(Bytes(item).size(), 2u + 2u + 2u + 2u * 65535u + 5u);  // flags, kind, path, name, port body
}

TEST(AppItems, AddressCodes) {
  EXPECT_EQ(Address({0, 0, 0, 0}, 1).length_code, 0);
  EXPECT_EQ(Address({0, 0, 0, 1}, 1).length_code, 1);
  EXPECT_EQ(Address({0, 0, 1, 1}, 1).length_code, 4);
  EXPECT_EQ(Address({0, 0, 0, 2}, 1).length_code, 4);
  EXPECT_EQ(Address(std::initializer_list<uint8_t>(), 1).length_code, 0);
  EXPECT_EQ(Address({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 1).length_code, 1);
  EXPECT_EQ(Address({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 1).length_code, 16);
}

TEST(AppItems, Order) {
  const auto port = [](uint32_t protocol, SXAddrRecord local, uint8_t state) {
    SXSnapshotDataAppsBase p = Item(9, u"svc", u"c:\\svc.exe");
    p.protocol = protocol;
    p.local = local;
    p.port_state = state;
    return p;
  };
  const auto handle = [](uint8_t kind, std::u16string object) {
    SXSnapshotDataAppsBase h = Item(kind, u"", u"");
    h.object_name = std::move(object);
    return h;
  };
  SXSnapshotDataAppsBase args_a = Item(1, u"x", u"p");
  args_a.arguments = u"-A";
  SXSnapshotDataAppsBase args_b = Item(1, u"x", u"p");
  args_b.arguments = u"-b";
  struct Case {
    const char* what;
    SXSnapshotDataAppsBase a, b;
    int sign;
  } cases[] = {
      {"name, A-Z folded", Item(1, u"Alpha", u"z"), Item(1, u"beta", u"a"), -1},
      {"a name before its longer form", Item(1, u"ab", u""), Item(1, u"abc", u""), -1},
      {"units above Z compare as numbers", Item(1, u"_", u""), Item(1, u"a", u""), -1},
      {"then path", Item(3, u"S", u"C:\\B"), Item(3, u"s", u"c:\\a"), 1},
      {"then arguments", args_a, args_b, -1},
      {"equal", Item(2, u"D", u"P"), Item(2, u"d", u"p"), 0},
      {"handles by object name", handle(6, u"B"), handle(6, u"a"), 1},
      {"global handles too", handle(8, u"a"), handle(8, u"A"), 0},
      {"ports: protocol", port(1, Address({1, 2, 3, 4}, 1), 0), port(2, Address({0, 0, 0, 0}, 1), 0), -1},
      {"ports: code 0 before code 4", port(1, Address({0, 0, 0, 0}, 9), 0), port(1, Address({1, 1, 1, 1}, 1), 0), -1},
      {"ports: same address by port", port(1, Address({1, 1, 1, 1}, 80), 0), port(1, Address({1, 1, 1, 1}, 443), 0), -1},
      {"ports: bytes before port", port(1, Address({1, 1, 1, 2}, 1), 0), port(1, Address({1, 1, 1, 1}, 9), 0), 1},
      {"ports: code 0 by port", port(1, Address({0, 0, 0, 0}, 2), 0), port(1, Address({0, 0, 0, 0}, 1), 0), 1},
      {"ports: then state", port(1, Address({0, 0, 0, 1}, 1), 2), port(1, Address({0, 0, 0, 1}, 1), 5), -1},
  };
  for (const Case& c : cases) {
    const int order = CompareAppItems(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.sign) << c.what;
    const int reverse = CompareAppItems(c.b, c.a);
    EXPECT_EQ((reverse > 0) - (reverse < 0), -c.sign) << c.what;
  }
}

TEST(AppItems, ChangeRules) {
  struct Case {
    const char* what;
    uint8_t kind;
    void (*change)(SXSnapshotDataAppsBase*);
    bool differs;
  } cases[] = {
      {"entry: state", 3, [](SXSnapshotDataAppsBase* i) { i->state = 4; }, true},
      {"entry: source", 2, [](SXSnapshotDataAppsBase* i) { i->source = 4; }, true},
      {"entry: file gone", 1, [](SXSnapshotDataAppsBase* i) { i->file.missing = 1; }, true},
      {"entry: file written", 1, [](SXSnapshotDataAppsBase* i) { i->file.last_write = 9; }, true},
      {"entry: file grew", 5, [](SXSnapshotDataAppsBase* i) { i->file.size = 9; }, true},
      {"entry: attributes are not compared", 1, [](SXSnapshotDataAppsBase* i) { i->file.attributes = 2; }, false},
      {"entry: description is not compared", 3, [](SXSnapshotDataAppsBase* i) { i->description = u"x"; }, false},
      {"installed: version", 4, [](SXSnapshotDataAppsBase* i) { i->version = u"2.0"; }, true},
      {"installed: version case", 4, [](SXSnapshotDataAppsBase* i) { i->version = u"1.0A"; }, false},
      {"installed: publisher", 4, [](SXSnapshotDataAppsBase* i) { i->publisher = u"q"; }, false},
      {"handle: type", 6, [](SXSnapshotDataAppsBase* i) { i->handle_type = 2; }, true},
      {"handle: object name case", 6, [](SXSnapshotDataAppsBase* i) { i->object_name = u"C:\\O"; }, true},
      {"handle: object file written", 6, [](SXSnapshotDataAppsBase* i) { i->object_file.last_write = 9; }, true},
      {"handle: object file gone", 6,
       [](SXSnapshotDataAppsBase* i) {
         i->object_file.missing = 1;
         i->object_file.size = 0;
       },
       false},
      {"handle: process file is not compared", 6, [](SXSnapshotDataAppsBase* i) { i->file.size = 9; }, false},
      {"global handle: path", 8, [](SXSnapshotDataAppsBase* i) { i->path = u"c:\\P"; }, true},
      {"global handle: object file grew", 8, [](SXSnapshotDataAppsBase* i) { i->object_file.size = 9; }, true},
      {"port: never", 7, [](SXSnapshotDataAppsBase* i) { i->port_state = 9; }, false},
      {"global port: never", 9, [](SXSnapshotDataAppsBase* i) { i->name = u"other"; }, false},
  };
  for (const Case& c : cases) {
    SXSnapshotDataAppsBase a = Item(c.kind, u"n", u"c:\\p");
    a.version = u"1.0a";
    a.handle_type = 1;
    a.object_name = u"c:\\o";
    a.object_file = FileOf(-1, 0, 5, 5);
    a.file = FileOf(0, 0x20, 7, 7);
    SXSnapshotDataAppsBase b = a;
    EXPECT_FALSE(AppItemsDiffer(a, b)) << c.what;
    c.change(&b);
    EXPECT_EQ(AppItemsDiffer(a, b), c.differs) << c.what;
  }
}

TEST(AppItems, ReadSideRunsCompareInStep) {
  const auto run = [](std::vector<SXSnapshotDataAppsBase> items) {
    CXMemWriter w;
    for (size_t i = 0; i < items.size(); ++i) WriteAppItem(w, items[i], i + 1 == items.size());
    return std::string(reinterpret_cast<const char*>(w.data()), static_cast<size_t>(w.position()));
  };
  SXSnapshotDataAppsBase a = Item(3, u"A", u"a.exe");
  a.state = 1;
  SXSnapshotDataAppsBase b = Item(3, u"B", u"b.exe");
  SXSnapshotDataAppsBase b_running = b;
  b_running.state = 4;
  const std::string base = run({a, b});
  const std::string cases[][2] = {
      {base, run({a, b})}, {base, run({a, b_running})}, {base, run({a})}, {run({a}), base}, {base, run({b, a})}};
  const int expected[] = {0, 1, 1, 1, 1};
  for (size_t i = 0; i < 5; ++i) {
    CXMemReader left(reinterpret_cast<const uint8_t*>(cases[i][0].data()));
    CXMemReader right(reinterpret_cast<const uint8_t*>(cases[i][1].data()));
    SXScanContext context;
    SXSnapshotDataApps record;
    EXPECT_EQ(record.Compare(&left, &right, context), expected[i]) << i;
  }
  SXSnapshotDataApps record;
  SXScanContext context;
  CXMemReader only(reinterpret_cast<const uint8_t*>(base.data()));
  EXPECT_EQ(record.Compare(&only, nullptr, context), 1);
}

}  // namespace
}  // namespace orvalinth
