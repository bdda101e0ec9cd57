// The readable, summary and JSON views of a decoded snapshot.

#include "storage/reader/snapshot_dump.h"

#include <gtest/gtest.h>

#include "storage/reader/snapshot_dump_format.h"
#include "storage/reader/snapshot_reader.h"
#include "test_support.h"
#include "tests/storage/json_check.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth {
namespace {

using namespace snapshot_dump;  // NOLINT

// A small known snapshot: one key with two values, one folder with two files,
// one category with one item, one version record.
SXReadSnapshot TinySnapshot() {
  SXReadSnapshot s;
  s.info.number = 12;
  s.info.title = "Snapshot 12";
  s.info.time = "2026-12-08 09:30";
  s.info.computer = "PC1";
  s.info.os = "Windows 11";
  s.info.os_details = "Build 22631";
  s.info.processor = "CPU";
  s.info.user = u"SYSTEM";
  s.info.counters = {{{1, 2}, {1, 2}, {1, 0}}};
  s.info.elapsed_seconds = 7;
  s.info.full = true;
  s.info.targets = {{{u"*"}, {u"*"}, {u"*"}}};
  SXReadSection reg;
  reg.name = u"HKEY_CURRENT_USER";
  reg.root = test::SampleNode(u"HKEY_CURRENT_USER");
  reg.root.values = {test::SampleText(u"Name", 1, u"a \"b\""),
                     test::SampleData(u"Flags", 4, std::string("\x10\x00\x00\x00", 4))};
  SXReadSection files;
  files.name = u"d:\\";
  files.root = test::SampleNode(u"d:");
  files.root.files = {test::SampleFile(u"app.exe", 1536, 0x21, 0), test::SampleFile(u"notes.txt", 0)};
  SXReadSection apps;
  apps.name = u"Startup";
  apps.root = test::SampleNode(u"Startup");
  SXReadItem entry = test::SampleItem(1, u"App", u"d:\\app.exe");
  entry.source = 2;
  entry.arguments = u"/min";
  entry.file = test::SampleFile(u"", 1536, 0x21, 0);
  apps.root.items = {entry};
  s.sections[kReadRegistry] = {reg};
  s.sections[kReadFiles] = {files};
  s.sections[kReadApplications] = {apps};
  s.versions = {test::SampleVersion(3, u"App")};
  return s;
}

SXDumpOptions Utc() {
  SXDumpOptions options;
  options.local_time = false;
  return options;
}

struct Read {
  SXReadSnapshot snapshot;
  SXDumpDocument document;
};

// Builds the file of `s`, reads it back and makes the document of it.
void ReadBack(SXReadSnapshot s, Read* r) {
  const std::string file = test::BuildSnapshotFile(s);
  CXSnapshotMemorySource source(file.data(), file.size());
  CXSnapshotReader reader;
  ASSERT_EQ(reader.Read(source, &r->snapshot), 1) << reader.fault().message;
  r->document.snapshot = &r->snapshot;
  r->document.file_name = "tiny.snp";
  r->document.remarks = reader.remarks();
  r->document.remark_count = reader.remark_count();
}

TEST(SnapshotDump, ReadableViewOfASmallKnownFile) {
  Read r;
  ReadBack(TinySnapshot(), &r);
  CXStringSink out;
  DumpText(r.document, Utc(), out);
  const std::string expected =
      "snapshot file:        tiny.snp (478 bytes, 6 blocks)\n"
      "number:               12\n"
      "title:                Snapshot 12\n"
      "time:                 2026-12-08 09:30\n"
      "computer:             PC1\n"
      "operating system:     Windows 11\n"
      "details:              Build 22631\n"
      "processor:            CPU\n"
      "user:                 SYSTEM\n"
      "elapsed time:         0 min 07 s\n"
      "registry scan:        1 keys entered, 2 values\n"
      "file scan:            1 folders entered, 2 files\n"
      "applications scan:    1 entries, services, drivers and programs, 0 modules\n"
      "version records:      1 (500 per chunk, 1 chunk)\n"
      "scan request:         full yes, removable drives no, version information no\n"
      "registry targets:     *\n"
      "file targets:         *\n"
      "applications targets: *\n"
      "\n"
      "== registry section \"HKEY_CURRENT_USER\": block at file offset 20, 50 bytes (51 stored)\n"
      "HKEY_CURRENT_USER\\\n"
      "  \"Name\"  REG_SZ  \"a \\\"b\\\"\"\n"
      "  \"Flags\"  REG_DWORD  16 (0x00000010)\n"
      "\n"
      "== file-system section \"d:\\\": block at file offset 71, 54 bytes (55 stored)\n"
      "d:\\\n"
      "  app.exe  1,536 bytes  2023-11-14 22:13:20 UTC  RA (0x0021)  version #0\n"
      "  notes.txt  0 bytes  2023-11-14 22:13:20 UTC  - (0x0000)\n"
      "\n"
      "== applications section \"Startup\": block at file offset 126, 61 bytes (62 stored)\n"
      "[Startup]\n"
      "  executable \"App\"  path \"d:\\app.exe\"  arguments \"/min\"  source 2  file: 1,536 bytes  2023-11-14 "
      "22:13:20 UTC  RA (0x0021)  version #0\n"
      "\n"
      "== version records: 1\n"
      "#0  3.2.3.4  FileVersion \"1.2.3.4\"  FileDescription \"App\"  ProductName \"Product\"  ProductVersion "
      "\"1.2\"  CompanyName \"Maker\"\n"
      "    used by: d:\\app.exe; Startup: executable \"App\"\n";
  EXPECT_EQ(out.text(), expected);
}

TEST(SnapshotDump, SummaryCounts) {
  Read r;
  ReadBack(test::SampleSnapshot(), &r);
  const SXSnapshotCounts c = CountSnapshot(r.snapshot);
  EXPECT_EQ(c.sections[0] + c.sections[1] + c.sections[2], 3u);
  EXPECT_EQ(c.keys, 5u);     // HKLM, SAM, SOFTWARE, Vendor, Deep
  EXPECT_EQ(c.values, 9u);
  EXPECT_EQ(c.folders, 3u);  // c:, Windows, System Volume Information
  EXPECT_EQ(c.files, 6u);
  EXPECT_EQ(c.file_bytes, 0x100000000ULL + 0xFF + 0x10000 + 0x100 + 7);
  EXPECT_EQ(c.application_nodes, 5u);
  EXPECT_EQ(c.items, 13u);
  ASSERT_EQ(c.category_items.size(), 1u);
  EXPECT_EQ(c.category_items[0], std::make_pair(std::u16string(u"Running Processes"), uint64_t{13}));
  EXPECT_EQ(c.links, 3u);
  EXPECT_EQ(c.errors, 2u);
  EXPECT_EQ(c.versions, 3u);
  CXStringSink out;
  DumpSummary(r.document, Utc(), out);
  EXPECT_NE(out.text().find("sections:             3 (1 registry, 1 file-system, 1 applications)\n"
                            "registry keys:        5\n"
                            "values:               9\n"
                            "folders:              3\n"
                            "files:                6\n"
                            "file bytes:           4,295,033,350\n"),
            std::string::npos)
      << out.text();
  EXPECT_NE(out.text().find("items:                13\n  Running Processes:  13\n"), std::string::npos) << out.text();
}

TEST(SnapshotDump, JsonIsValidAndHoldsTheTree) {
  SXReadSnapshot s = test::SampleSnapshot();
  // Text that JSON must escape: quotes, backslashes, control characters, a lone surrogate.
  s.sections[kReadFiles][0].root.files[1].name = std::u16string(u"q\"\\\x01\xD800z", 6);
  Read r;
  ReadBack(s, &r);
  r.document.remarks = {"remark with \"quotes\""};
  CXStringSink out;
  DumpJson(r.document, out);
  std::string error;
  EXPECT_TRUE(test::JsonCheck::Valid(out.text(), &error)) << error;
  EXPECT_NE(out.text().find(R"("name":"q\"\\\u0001\uD800z")"), std::string::npos);
  EXPECT_NE(out.text().find(R"("type_name":"REG_DWORD","data_hex":"2a000000")"), std::string::npos);
  EXPECT_NE(out.text().find(R"("link":{"type":3,"target":"c:\\Users\\é中"})"), std::string::npos);
}

TEST(SnapshotDump, JsonCheckRejectsBrokenJson) {
  std::string error;
  for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "\"\x01\"", "01", "{\"a\" 1}", "[] []", "\"\\x\"", "\"\xC3\""}) {
    EXPECT_FALSE(test::JsonCheck::Valid(bad, &error)) << bad;
  }
  EXPECT_TRUE(test::JsonCheck::Valid(R"({"a":[1,-2.5e3,true,null,"\u00e9"]})", &error)) << error;
}

TEST(SnapshotDumpFormat, Pieces) {
  EXPECT_EQ(AttributeText(0x27), "RHSA (0x0027)");
  EXPECT_EQ(AttributeText(0x10), "D (0x0010)");
  EXPECT_EQ(AttributeText(0), "- (0x0000)");
  EXPECT_EQ(ValueTypeName(7), "REG_MULTI_SZ");
  EXPECT_EQ(ValueTypeName(0x20), "type 0x20");
  EXPECT_EQ(ValueDataText(test::SampleText(u"", 7, std::u16string(u"a\0b", 3))), "[\"a\", \"b\"]");
  EXPECT_EQ(ValueDataText(test::SampleData(u"", 5, std::string("\x00\x00\x01\x00", 4))), "256 (0x00000100)");
  EXPECT_EQ(ValueDataText(test::SampleData(u"", 3, std::string(70, '\xAB')), 3), "AB AB AB... (70 bytes)");
  EXPECT_EQ(ValueDataText(test::SampleData(u"", 4, "12")), "31 32");  // a DWORD of the wrong size is bytes
  EXPECT_EQ(ValueDataText(test::SampleData(u"", 3, "")), "(no data)");
  EXPECT_EQ(FileTimeText(116444736000000000LL, false), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(FileTimeText(0, false), "1601-01-01 00:00:00 UTC");
  EXPECT_EQ(FileTimeIso(133444736000000000LL), "2023-11-14T22:13:20Z");
  EXPECT_EQ(FileVersionText(0x000A0000, 0x4A610001), "10.0.19041.1");
  EXPECT_EQ(Thousands(1234567), "1,234,567");
  EXPECT_EQ(Thousands(999), "999");
  EXPECT_EQ(AddressText({4, 445, std::string("\x0A\x00\x00\x01", 4)}, 1), "10.0.0.1:445");
  EXPECT_EQ(AddressText({0, 53, ""}, 2), "0.0.0.0:53");
  EXPECT_EQ(AddressText({1, 80, ""}, 3), "[::1]:80");
  const auto v6 = [](const char* hex) { return SXReadAddress{16, 443, test::Hex(hex)}; };
  EXPECT_EQ(AddressText(v6("20010db8000000000000000000000001"), 3), "[2001:db8::1]:443");
  EXPECT_EQ(AddressText(v6("fe800000000000000000000000000000"), 3), "[fe80::]:443");
  EXPECT_EQ(AddressText(v6("20010db8000000010000000000000000"), 3), "[2001:db8:0:1::]:443");
  EXPECT_EQ(AddressText(v6("20010db8000100020003000400050006"), 3), "[2001:db8:1:2:3:4:5:6]:443");
  EXPECT_EQ(AddressText(v6("00000000ffff0000000000000000abcd"), 4), "[0:0:ffff::abcd]:443");
  EXPECT_STREQ(TcpStateName(2), "LISTENING");
  EXPECT_STREQ(TcpStateName(4), "SEN_RECEIVED");
  EXPECT_EQ(Display(u"a\tb", true), "\"a\\x09b\"");
  EXPECT_EQ(Display(std::u16string(u"\xD83D\xDE00", 2), false), "\xF0\x9F\x98\x80");  // a joined pair
  EXPECT_EQ(Display(std::u16string(1, u'\xDC00'), false), "\xEF\xBF\xBD");           // a lone one
  EXPECT_EQ(Display(u"abcdef", false, 3), "abc... (6 units)");
  EXPECT_EQ(JsonString(u"\u00e9\n"), "\"\xC3\xA9\\u000A\"");
}

}  // namespace
}  // namespace orvalinth
