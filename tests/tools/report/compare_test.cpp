// The comparison of two snapshots: each kind of change reported exactly
// once, nothing for identical snapshots or attribute-only changes, the filter
// modes and rules, and corrupt input.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/strings.h"
#include "test_support.h"
#include "tests/storage/snapshot_builder.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/tools/report/report_pair.h"
#include "tools/report/compare.h"
#include "tools/report/describe.h"

namespace orvalinth::report {
namespace {

using test::TempFolder;

// "~ file C:\Data\grow.log" for every change, in the order of the walk.
class CXListSink final : public CXChangeSink {
 public:
  void Change(const SXChange& c) override {
    static const char* const kSigns[] = {"+", "-", "~", "="};
    lines.push_back(std::string(kSigns[static_cast<int>(c.type)]) + " " + KindName(c) + " " + Utf8(EntryPath(c)));
  }
  std::vector<std::string> lines;
};

class Compare : public ::testing::Test {
 protected:
  std::u16string Write(const std::u16string& name, SXReadSnapshot snapshot) {
    test::WriteFileBytes(folder_ / name, test::BuildSnapshotFile(snapshot));
    return folder_ / name;
  }
  // The changes from `a` to `b` (files in the test's folder) under `filter`.
  std::vector<std::string> Diff(const std::u16string& a, const std::u16string& b,
                                const CXReportFilter& filter = CXReportFilter()) {
    CXSnapshotStream sa, sb;
    sa.set_chunking(chunk_, cached_);
    sb.set_chunking(chunk_, cached_);
    EXPECT_TRUE(sa.Open(a)) << sa.fault().message;
    EXPECT_TRUE(sb.Open(b)) << sb.fault().message;
    CXListSink sink;
    SXReadFault fault;
    EXPECT_TRUE(CompareSnapshots(sa, sb, filter, sink, &fault)) << fault.message;
    return sink.lines;
  }
  std::vector<std::string> PairDiff(const CXReportFilter& filter = CXReportFilter()) {
    return Diff(Write(u"before.snp", test::PairSnapshot(false)), Write(u"after.snp", test::PairSnapshot(true)), filter);
  }

  TempFolder folder_;
  uint32_t chunk_ = CXChunkedPayload::kDefaultChunk;
  uint32_t cached_ = CXChunkedPayload::kDefaultCached;
};

const std::vector<std::string> kPairChanges = {
    "~ value HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Mode",
    "~ value HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Name",
    "+ file C:\\Data\\new.txt",
    "- file C:\\Data\\gone.txt",
    "~ file C:\\Data\\grow.log",
    "~ file C:\\Data\\tool.exe",
    "~ file C:\\Data\\touch.txt",
    "+ file C:\\Data\\\u8cc7\u6599.txt",
    "+ folder C:\\NewName",
    "- folder C:\\OldName",
    "~ file C:\\Temp\\x.tmp",
    "+ file C:\\Temp\\y.tmp",
    "+ startup entry Startup\\Updater",
    "~ service Services\\Spooler",
    "~ installed program Programs\\Installed Programs\\Editor",
    "+ open port Opened Ports\\TCP 0.0.0.0:8080",
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(Compare, EveryKindOfChangeIsReportedExactlyOnce) {
  EXPECT_EQ(Sorted(PairDiff()), Sorted(kPairChanges));
}

TEST_F(Compare, RunsStoredOutOfNameOrderGiveTheSameChanges) {
  // The recorder stores runs in the name order and the comparison reads them
  // a record at a time; a run stored otherwise is sorted first.
  const auto reverse = [](SXReadSnapshot s) {
    const auto walk = [](auto& self, SXReadNode& node) -> void {
      std::reverse(node.files.begin(), node.files.end());
      std::reverse(node.values.begin(), node.values.end());
      for (SXReadNode& child : node.children) self(self, child);
    };
    for (auto& sections : s.sections) {
      for (SXReadSection& section : sections) walk(walk, section.root);
    }
    return s;
  };
  const std::u16string before = Write(u"before.snp", test::PairSnapshot(false));
  const std::u16string after = Write(u"after.snp", test::PairSnapshot(true));
  const std::u16string reversed_before = Write(u"rbefore.snp", reverse(test::PairSnapshot(false)));
  const std::u16string reversed_after = Write(u"rafter.snp", reverse(test::PairSnapshot(true)));
  const std::vector<std::string> expected = Diff(before, after);
  EXPECT_EQ(Sorted(expected), Sorted(kPairChanges));
  EXPECT_EQ(Diff(before, reversed_after), expected);
  EXPECT_EQ(Diff(reversed_before, after), expected);
  EXPECT_TRUE(Diff(reversed_after, after).empty());
}

TEST_F(Compare, ChangesCarryTheirOldAndNewValues) {
  struct Probe final : CXChangeSink {
    std::vector<std::string> what;
    void Change(const SXChange& c) override {
      if (c.type == SXChangeType::kChanged) what.push_back(Utf8(c.name) + ": " + ChangedText(c, false));
      if (c.kind == SXEntryKind::kFolder) what.push_back(Utf8(c.name) + ": " + (c.old_node ? OldText(c, false) : NewText(c, false)));
    }
  } probe;
  CXSnapshotStream a, b;
  ASSERT_TRUE(a.Open(Write(u"a.snp", test::PairSnapshot(false))));
  ASSERT_TRUE(b.Open(Write(u"b.snp", test::PairSnapshot(true))));
  SXReadFault fault;
  ASSERT_TRUE(CompareSnapshots(a, b, CXReportFilter(), probe, &fault));
  const std::vector<std::string> expected = {
      "Mode: REG_DWORD 1 (0x00000001) -> REG_SZ \"1\"",
      "Name: REG_SZ \"a\" -> REG_SZ \"b\"",
      "grow.log: size 100 -> 200 bytes",
      "tool.exe: size 2,000 -> 2,100 bytes; time 2023-11-14 22:13:20 UTC -> 2023-11-14 23:13:20 UTC",
      "touch.txt: time 2023-11-14 22:13:20 UTC -> 2023-11-14 23:13:20 UTC",
      "NewName: 2 folders, 2 files, 3,000 bytes",
      "OldName: 2 folders, 2 files, 3,000 bytes",
      "x.tmp: size 10 -> 11 bytes",
      "Spooler: state running -> stopped",
      "Editor: version 1.0 -> 1.1",
  };
  EXPECT_EQ(probe.what, expected);
}

TEST_F(Compare, IdenticalSnapshotsFromTheWriterGiveNoChange) {
  test::SnapshotPlan plan;
  test::NodeSpec root = test::Node(u"C:\\", {test::Node(u"Windows", {test::Node(u"System32")})});
  root.children[0].files = {test::File(u"notepad.exe", 193536, test::kBefore, 0x20)};
  for (int i = 0; i < 300; ++i) {
    root.children[0].children[0].files.push_back(test::File(test::W(Format("file%03d.dll", i)), 1000 + i, test::kBefore));
  }
  plan.sections.push_back({kSectionFiles, u"C:\\", root});
  test::NodeSpec key = test::Node(u"HKEY_LOCAL_MACHINE", {test::Node(u"SOFTWARE")});
  key.children[0].values = {test::Value(u"Version", 4, std::string("\x07\0\0\0", 4))};
  plan.sections.push_back({kSectionRegistry, u"HKEY_LOCAL_MACHINE", key});
  ASSERT_GT(test::WriteSnapshot(folder_ / u"one.snp", plan), 0u);
  plan.number = 2;
  ASSERT_GT(test::WriteSnapshot(folder_ / u"two.snp", plan), 0u);
  EXPECT_TRUE(Diff(folder_ / u"one.snp", folder_ / u"two.snp").empty());

  SXReadSnapshot same = test::PairSnapshot(true);
  EXPECT_TRUE(Diff(Write(u"x.snp", same), Write(u"y.snp", same)).empty());
}

TEST_F(Compare, SectionsReadInSmallChunksGiveTheSameChanges) {
  // The writer's snapshots of 300 files, one of them grown: runs and tables
  // straddle chunks, equal runs are passed over by their bytes.
  test::SnapshotPlan plan;
  test::NodeSpec root = test::Node(u"C:\\", {test::Node(u"Windows")});
  for (int i = 0; i < 300; ++i) root.children[0].files.push_back(test::File(test::W(Format("file%03d.dll", i)), 1000 + i, test::kBefore));
  plan.sections.push_back({kSectionFiles, u"C:\\", root});
  ASSERT_GT(test::WriteSnapshot(folder_ / u"one.snp", plan), 0u);
  plan.sections[0].root.children[0].files[123].size += 1;
  ASSERT_GT(test::WriteSnapshot(folder_ / u"two.snp", plan), 0u);
  for (const auto& [chunk, cached] : {std::pair<uint32_t, uint32_t>{16, 1}, {200, 2}, {1u << 20, 4}}) {
    chunk_ = chunk;
    cached_ = cached;
    EXPECT_EQ(Sorted(PairDiff()), Sorted(kPairChanges)) << "chunk " << chunk;
    EXPECT_EQ(Diff(folder_ / u"one.snp", folder_ / u"two.snp"),
              std::vector<std::string>{"~ file C:\\Windows\\file123.dll"})
        << "chunk " << chunk;
  }
}

TEST_F(Compare, FilterModesAndRules) {
  const std::vector<std::string> registry_and_apps = {
      kPairChanges[0], kPairChanges[1], kPairChanges[12], kPairChanges[13], kPairChanges[14], kPairChanges[15]};
  const auto with = [&](std::vector<std::string> files) {
    files.insert(files.end(), registry_and_apps.begin(), registry_and_apps.end());
    return Sorted(files);
  };
  const auto without = [&](std::vector<std::string> gone) {
    std::vector<std::string> out;
    for (const std::string& c : kPairChanges) {
      if (std::find(gone.begin(), gone.end(), c) == gone.end()) out.push_back(c);
    }
    return Sorted(out);
  };
  struct Case {
    int mode;
    std::string rules;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {1, "", with({"~ file C:\\Data\\tool.exe"})},
      {3, "", with({"~ file C:\\Data\\tool.exe"})},
      {2, "", without({"~ file C:\\Data\\tool.exe"})},
      {0, "exclude C:\\Temp", without({"~ file C:\\Temp\\x.tmp", "+ file C:\\Temp\\y.tmp"})},
      {0, "exclude *.TMP\ninclude *\\y.tmp", without({"~ file C:\\Temp\\x.tmp"})},
      {0, "exclude c:\\data\\*\ninclude *.exe", without({kPairChanges[2], kPairChanges[3], kPairChanges[4],
                                                          kPairChanges[6], kPairChanges[7]})},
      {0, "exclude *\\Vendor\\Na?e\ncategory services", without({kPairChanges[1], kPairChanges[13]})},
      {0, "exclude C:\\OldName\\sub", without({})},  // the folder still holds a.txt
      {0, "exclude C:\\OldName\nexclude C:\\NewName", without({kPairChanges[8], kPairChanges[9]})},
  };
  for (const Case& c : cases) {
    CXReportFilter filter;
    std::string error;
    ASSERT_TRUE(filter.Parse(c.rules, &error)) << error;
    filter.set_mode(c.mode);
    EXPECT_EQ(Sorted(PairDiff(filter)), c.expected) << "mode " << c.mode << " rules " << c.rules;
  }
}

std::string DefaultFilter() {
  std::ifstream in(ORVALINTH_DEFAULT_FILTER, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A machine whose agent reconnected between two scans, its console on the
// same machine: the agent's link and the console's end of it have new ports
// (the console's end of the old link still waits), a browser's connection
// has a new port too, and the agent's handles and modules changed.
SXReadSnapshot ProcessesSnapshot(bool after) {
  SXReadSnapshot s = test::PairSnapshot(after);
  s.sections[kReadRegistry].clear();
  s.sections[kReadFiles].clear();
  const auto address = [](uint16_t port) { return SXReadAddress{4, port, std::string("\x7F\x00\x00\x01", 4)}; };
  const auto port = [](uint8_t kind, std::u16string owner, SXReadAddress local, SXReadAddress remote) {
    SXReadItem i = test::SampleItem(kind, kind == 9 ? u"owner" : u"", kind == 9 ? owner : u"");
    i.protocol = 1;
    i.port_state = 5;
    i.local = std::move(local);
    i.remote = std::move(remote);
    return i;
  };
  const std::u16string agent = u"C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe";
  const SXReadAddress link = address(after ? 50002 : 50001), console = address(51000);
  const SXReadAddress browser = address(after ? 50102 : 50101), web{4, 443, "\x5D\xB8\xD8\x22"};
  std::vector<SXReadItem> ports = {port(9, agent, link, console), port(9, u"?", console, link),
                                   port(9, u"C:\\browser.exe", browser, web)};
  if (after) {
    // The console's end of the link before, closed and waiting.
    ports.push_back(port(9, u"-", console, address(50001)));
    ports.back().port_state = 11;
  }
  SXReadItem handle = test::SampleItem(8, u"OrvalinthSrv.exe", agent);
  handle.handle_type = 1;
  handle.object_name = after ? u"C:\\b.txt" : u"C:\\a.txt";
  SXReadItem process_handle = handle;
  process_handle.kind = 6;
  SXReadNode process = test::SampleNode(u"OrvalinthSrv.exe", {test::SampleNode(u"Opened Handles"),
                                                              test::SampleNode(u"Opened Ports")});
  process.children[0].items = {process_handle};
  process.children[1].items = {port(7, u"", link, console)};
  process.items = {test::SampleItem(1, u"lz4", after ? u"c:\\lz4-new.dll" : u"c:\\lz4.dll")};
  s.sections[kReadApplications] = {test::PairApps(u"Running Processes", {}, {process}),
                                   test::PairApps(u"Opened Handles", {handle}), test::PairApps(u"Opened Ports", ports)};
  return s;
}

TEST_F(Compare, ACategoryLeftOutGoesFromUnderTheProcessesAndTheAgentLinkFromEverywhere) {
  const std::u16string a = Write(u"a.snp", ProcessesSnapshot(false)), b = Write(u"b.snp", ProcessesSnapshot(true));
  const std::string agent = "Running Processes\\OrvalinthSrv.exe\\";
  const std::vector<std::string> browser = {"+ open port Opened Ports\\TCP 127.0.0.1:50102",
                                            "- open port Opened Ports\\TCP 127.0.0.1:50101"};
  const std::vector<std::string> modules = {"+ module " + agent + "lz4", "- module " + agent + "lz4"};
  const std::vector<std::string> handles = {"+ open handle " + agent + "Opened Handles\\C:\\b.txt",
                                            "- open handle " + agent + "Opened Handles\\C:\\a.txt",
                                            "+ open handle Opened Handles\\C:\\b.txt",
                                            "- open handle Opened Handles\\C:\\a.txt"};
  const std::vector<std::string> link = {
      "+ open port " + agent + "Opened Ports\\TCP 127.0.0.1:50002",
      "- open port " + agent + "Opened Ports\\TCP 127.0.0.1:50001",
      "+ open port Opened Ports\\TCP 127.0.0.1:50002", "- open port Opened Ports\\TCP 127.0.0.1:50001",
      "+ open port Opened Ports\\TCP 127.0.0.1:51000", "- open port Opened Ports\\TCP 127.0.0.1:51000",
      "+ open port Opened Ports\\TCP 127.0.0.1:51000"};
  const auto join = [](std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return Sorted(all);
  };
  struct Case {
    std::string rules;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"", join({browser, modules, handles, link})},
      {"category Opened Handles", join({browser, modules, link})},
      {"category Loaded Dlls\ncategory Opened Ports", join({handles})},
      {"agent-link", join({browser, modules, handles})},
      {DefaultFilter(), join({browser, modules})},
  };
  for (const Case& c : cases) {
    CXReportFilter filter;
    std::string error;
    ASSERT_TRUE(filter.Parse(c.rules, &error)) << error;
    EXPECT_EQ(Sorted(Diff(a, b, filter)), c.expected) << c.rules;
  }
}

TEST(ReportFilter, ReadsRulesAndRejectsWhatItCannotRead) {
  CXReportFilter filter;
  std::string error;
  ASSERT_TRUE(filter.Parse("\xEF\xBB\xBF# noise\r\n\r\nexclude  C:\\Windows\\Temp \r\nINCLUDE *.exe\ncategory Opened Handles\nmode 2\n",
                           &error))
      << error;
  ASSERT_EQ(filter.rules().size(), 2u);
  EXPECT_EQ(filter.rules()[0].pattern, u"c:\\windows\\temp");
  EXPECT_TRUE(filter.rules()[1].include);
  EXPECT_TRUE(filter.DropsCategory(u"opened handles"));
  EXPECT_EQ(filter.mode(), 2);
  for (const char* bad : {"exclude", "drop C:\\x", "mode 4", "category"}) {
    CXReportFilter f;
    EXPECT_FALSE(f.Parse(std::string("# first\n") + bad + "\n", &error)) << bad;
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  }
}

TEST(ReportFilter, Wildcards) {
  struct Case {
    const char16_t* pattern;  // folded
    const char16_t* text;
    bool match;
  } const cases[] = {
      {u"c:\\windows\\temp", u"C:\\Windows\\Temp", true},  {u"c:\\windows\\temp", u"C:\\Windows\\Temp2", false},
      {u"*.tmp", u"C:\\a\\B.TMP", true},                   {u"*.tmp", u"C:\\a\\b.tmp.txt", false},
      {u"*\\temp", u"D:\\x\\y\\Temp", true},               {u"?:\\pagefile.sys", u"C:\\pagefile.sys", true},
      {u"?:\\pagefile.sys", u"C:\\x\\pagefile.sys", false}, {u"a*b*c", u"aXbYbZc", true},
      {u"a*b*c", u"aXbYbZ", false},                        {u"\u00e9*", u"\u00c9t\u00e9", false},
      {u"*", u"", true},
  };
  for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match) << Utf8(c.pattern) << " " << Utf8(c.text);
}

TEST_F(Compare, ACorruptSnapshotIsAClearErrorNamingTheFile) {
  const std::u16string good = Write(u"good.snp", test::PairSnapshot(false));
  std::string bytes = test::BuildSnapshotFile(*std::make_unique<SXReadSnapshot>(test::PairSnapshot(true)));
  // Cut the first section block's payload short: the file no longer ends where its blocks do.
  test::WriteFileBytes(folder_ / u"bad.snp", bytes.substr(0, bytes.size() - 3));
  CXSnapshotStream a, b;
  a.set_label("good.snp");
  b.set_label("bad.snp");
  ASSERT_TRUE(a.Open(good));
  EXPECT_FALSE(b.Open(folder_ / u"bad.snp"));
  EXPECT_EQ(b.fault().message.rfind("bad.snp: ", 0), 0u) << b.fault().message;

  // A node whose child table does not lie before it: the walk stops with a fault, not a loop.
  SXReadSnapshot looped = test::PairSnapshot(false);
  bytes = test::BuildSnapshotFile(looped);
  const SXReadSection& files = looped.sections[kReadFiles][0];
  // The root table is the last thing in the payload; point its child offset at itself.
  test::StoredBlock block;
  ASSERT_TRUE(test::DecodeBlock(bytes, files.block_offset, &block));
  std::string payload = block.payload;
  ASSERT_EQ(static_cast<uint8_t>(payload[files.root_offset]) & 0x01, 0x01);
  const uint32_t at = files.root_offset;
  for (int k = 0; k < 4; ++k) payload[at + 1 + k] = static_cast<char>((at >> (8 * k)) & 0xFF);
  test::SnapshotFileBuilder builder(test::Store::kRaw);
  builder.AddSection(kReadFiles, files.name, payload, files.root_offset);
  looped.info.chunk_offsets.clear();
  looped.info.version_count = 0;
  looped.info.tables_offset = builder.AddTables();
  builder.AddInfo(looped.info);
  test::WriteFileBytes(folder_ / u"loop.snp", builder.bytes());
  CXSnapshotStream c;
  c.set_label("loop.snp");
  ASSERT_TRUE(c.Open(folder_ / u"loop.snp")) << c.fault().message;
  CXListSink sink;
  SXReadFault fault;
  EXPECT_FALSE(CompareSnapshots(a, c, CXReportFilter(), sink, &fault));
  EXPECT_NE(fault.message.find("loop.snp: "), std::string::npos) << fault.message;
  EXPECT_NE(fault.message.find("not before its own table"), std::string::npos) << fault.message;
}

}  // namespace
}  // namespace orvalinth::report
