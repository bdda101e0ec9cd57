// CXProcessesInfo over fake process, handle, port and volume tables: the
// payload of "Running Processes" byte for byte, the four categories read
// back, the name translations, and the name query that blocks.

#include "record/apps/processes_info.h"

#include <gtest/gtest.h>

#include <chrono>

#include "fakes/apps_fakes.h"
#include "fakes/process_fakes.h"
#include "fakes/thread_fakes.h"
#include "record/apps/collector_run.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::FakeHandle;
using test::FakePortTables;
using test::N;

class ProcessesPhase : public ::testing::Test {
 protected:
  // A file the resolver finds and the folder search does not (its record: missing).
  void Executable(const std::u16string& path) {
    files_.files.insert(path);
    lookup_.answers[path] = path;
  }
  void Collect() { ASSERT_TRUE(run_.Run(info_)); }

  // "name|path|object" of each item.
  static std::vector<std::string> Lines(const std::vector<SXReadItem>& items) {
    std::vector<std::string> lines;
    for (const SXReadItem& i : items) lines.push_back(N(i.name) + "|" + N(i.path) + "|" + N(i.object_name));
    return lines;
  }

  test::FakeProcessTable processes_;
  test::FakeHandleTable handles_;
  test::FakePortTables ports_;
  test::FakeVolumeDevices volumes_;
  test::PhantomFiles files_;
  test::SpyPathLookup lookup_;
  platform::ScopedFacility<platform::ProcessTable> use_processes_{processes_};
  platform::ScopedFacility<platform::HandleTable> use_handles_{handles_};
  platform::ScopedFacility<platform::PortTables> use_ports_{ports_};
  platform::ScopedFacility<platform::VolumeDevices> use_volumes_{volumes_};
  platform::ScopedFacility<platform::FileSystem> use_files_{files_};
  platform::ScopedFacility<platform::PathLookup> use_lookup_{lookup_};
  test::CollectorRun run_;
  CXProcessesInfo info_;
};

// Little-endian bytes of a payload, built by hand.
struct Bytes {
  std::string b;
  Bytes& u8(int v) { b += static_cast<char>(v); return *this; }
  Bytes& u16(int v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
  Bytes& i32(int v) { return u16(v & 0xFFFF).u16((v >> 16) & 0xFFFF); }
  Bytes& narrow(const std::string& s) { u16(static_cast<int>(s.size())); b += s; return *this; }
  Bytes& wide(const std::string& s) { u16(static_cast<int>(s.size())); for (char c : s) u16(c); return *this; }
  Bytes& node(int flags, int child, int content, const std::string& name) {
    u8(flags);
    if (flags & 0x01) i32(child);
    if (flags & 0x02) i32(content);
    u8(static_cast<int>(name.size()));
    b += name;
    return *this;
  }
};

TEST_F(ProcessesPhase, RunningProcessesPayloadByteForByte) {
  Executable(u"C:\\app\\Main.exe");
  Executable(u"C:\\app\\LIB.dll");
  Executable(u"C:\\tool\\t.exe");
  processes_.processes[100] = {{u"C:\\app\\Main.exe", u"C:\\app\\LIB.dll"}, u"\"C:\\app\\Main.exe\" -x"};
  processes_.processes[200] = {{u"C:\\tool\\t.exe"}, u""};  // command line unreadable: the module's path, no arguments
  processes_.unopenable = {300};
  handles_.handles = {{100, 8, u"File", u"C:\\data\\a.txt"}};
  ports_.tables[platform::kPortTableTcp4] = {FakePortTables::Row(100, {0, 0, 0, 0}, 445, 2)};
  Collect();

  const SXAppCategory& c = run_.category(kAppProcesses);
  Bytes want;
  want.u8(0x01);
  // pid 100: its handle run (1), port run (33), child table (43), module run (81).
  want.u8(0x80).u8(6).u8(1).u8(1).wide("C:\\data\\a.txt");
  want.u8(0x80).u8(7).u8(1).u8(2).u8(0).u16(445).u8(0).u16(0);
  want.node(0x02, 0, 1, "Opened Handles").node(0x82, 0, 33, "Opened Ports");
  want.u8(0x90).u8(1).u8(10).u8(0).narrow("lib.dll").narrow("c:\\app\\lib.dll").narrow("").narrow("");
  // pid 200 has neither handles, ports nor modules. The process items (114), then the nodes (181).
  want.u8(0x10).u8(1).u8(10).u8(0).narrow("Main.exe").narrow("C:\\app\\Main.exe").narrow("-x").narrow("");
  want.u8(0x90).u8(1).u8(10).u8(0).narrow("t.exe").narrow("C:\\tool\\t.exe").narrow("").narrow("");
  want.node(0x03, 43, 81, "Main.exe -x").node(0x80, 0, 0, "t.exe");
  EXPECT_EQ(test::ToHex(std::string(reinterpret_cast<const char*>(c.payload.data()), c.payload.position())),
            test::ToHex(want.b));
  EXPECT_EQ(c.items_offset, 114);
  EXPECT_EQ(c.child_offset, 181);

  const SXReadNode root = run_.Tree(kAppProcesses);
  ASSERT_EQ(root.children.size(), 2u);
  const SXReadNode& main = root.children[0];
  EXPECT_EQ(N(main.name), "Main.exe -x");
  ASSERT_EQ(main.children.size(), 2u);
  EXPECT_EQ(N(main.children[0].name), "Opened Handles");
  ASSERT_EQ(main.children[0].items.size(), 1u);
  EXPECT_EQ(N(main.children[0].items[0].object_name), "C:\\data\\a.txt");
  ASSERT_EQ(main.children[1].items.size(), 1u);
  EXPECT_EQ(main.children[1].items[0].local.port, 445);
  ASSERT_EQ(main.items.size(), 1u);
  EXPECT_EQ(N(main.items[0].path), "c:\\app\\lib.dll");
  EXPECT_TRUE(root.children[1].children.empty());
  EXPECT_EQ(Lines(run_.Items(kAppModules)), std::vector<std::string>{"lib.dll|c:\\app\\lib.dll|"});
  EXPECT_EQ(run_.writer().progress(kScanApps, 1).Get(), 1);
}

TEST_F(ProcessesPhase, OpenedHandlesOnePerOwnerAndObject) {
  Executable(u"C:\\app\\a.exe");
  Executable(u"C:\\app\\b.exe");
  processes_.processes[100] = {{u"C:\\app\\a.exe"}, u""};
  processes_.processes[200] = {{u"C:\\app\\b.exe"}, u""};
  volumes_.entries = {{"\\Device\\HarddiskVolume2", "\\\\?\\Volume{2}\\", "D:\\"}};
  handles_.handles = {
      {100, 4, u"File", u"\\Device\\HarddiskVolume2\\data\\log.txt"},
      {100, 8, u"File", u"\\Device\\HarddiskVolume2\\data\\log.txt"},  // the same file again
      {100, 12, u"Event", u"\\BaseNamedObjects\\ev"},                  // not a file, folder or key
      {200, 4, u"file", u"\\Device\\HarddiskVolume2\\data\\log.txt"},
      {4, 16, u"Key", u"\\REGISTRY\\MACHINE\\SOFTWARE"},
      {777, 4, u"Directory", u"\\BaseNamedObjects"},
      {100, 20, u"File", u"C:\\late.txt"},  // pid 100 again: its owner is opened a second time
      {900, 4, u"File", u"C:\\hidden.txt"},  // its owner cannot be opened
  };
  handles_.closed_owners = {900};
  Collect();

  EXPECT_EQ(handles_.owners_opened, 6);  // once per run of a pid
  EXPECT_EQ(Lines(run_.Items(kAppHandles)),
            (std::vector<std::string>{"a.exe|C:\\app\\a.exe|C:\\late.txt", "a.exe|C:\\app\\a.exe|D:\\data\\log.txt",
                                      "b.exe|C:\\app\\b.exe|D:\\data\\log.txt", "pid 777|?|\\BaseNamedObjects",
                                      "System|-|HKLM\\SOFTWARE"}));
  const std::vector<SXReadItem> handles = run_.Items(kAppHandles);
  EXPECT_EQ(handles[3].handle_type, 2u);
  EXPECT_EQ(handles[4].handle_type, 3u);
  const SXReadNode root = run_.Tree(kAppProcesses);
  ASSERT_EQ(root.children.size(), 2u);
  ASSERT_EQ(root.children[0].children.size(), 1u);
  EXPECT_EQ(root.children[0].children[0].items.size(), 2u);  // one per object name
}

TEST_F(ProcessesPhase, OpenedPortsWithTheirAddressCodes) {
  Executable(u"C:\\srv\\web.exe");
  processes_.processes[100] = {{u"C:\\srv\\web.exe"}, u""};
  std::vector<uint8_t> loopback6(16, 0);
  loopback6[15] = 1;
  ports_.tables[platform::kPortTableTcp4] = {FakePortTables::Row(100, {0, 0, 0, 0}, 445, 2),
                                             FakePortTables::Row(555, {10, 0, 0, 7}, 50000, 5, {10, 0, 0, 9}, 443)};
  ports_.tables[platform::kPortTableTcp6] = {FakePortTables::Row(100, loopback6, 445, 2)};
  ports_.tables[platform::kPortTableUdp4] = {FakePortTables::Row(4, {127, 0, 0, 1}, 53)};
  ports_.tables[platform::kPortTableUdp6] = {FakePortTables::Row(0, std::vector<uint8_t>(16, 0), 500)};
  Collect();

  const std::vector<SXReadItem> items = run_.Items(kAppPorts);
  ASSERT_EQ(items.size(), 5u);
  // Sorted by name, path, then protocol and addresses.
  EXPECT_EQ(Lines(items), (std::vector<std::string>{"-|-|", "pid 555|?|", "System|-|", "web.exe|C:\\srv\\web.exe|",
                                                    "web.exe|C:\\srv\\web.exe|"}));
  const auto shape = [](const SXReadItem& i) {
    return Format("%u %u %u:%u>%u:%u", i.protocol, i.port_state, i.local.length_code, i.local.port,
                  i.remote.length_code, i.remote.port);
  };
  EXPECT_EQ(shape(items[0]), "4 0 0:500>0:0");
  EXPECT_EQ(shape(items[1]), "1 5 4:50000>4:443");
  EXPECT_EQ(items[1].local.bytes, std::string("\x0a\x00\x00\x07", 4));
  EXPECT_EQ(shape(items[2]), "2 0 4:53>0:0");
  EXPECT_EQ(shape(items[3]), "1 2 0:445>0:0");
  EXPECT_EQ(shape(items[4]), "3 2 1:445>0:0");
  const SXReadNode root = run_.Tree(kAppProcesses);
  ASSERT_EQ(root.children.size(), 1u);
  ASSERT_EQ(root.children[0].children.size(), 1u);
  EXPECT_EQ(N(root.children[0].children[0].name), "Opened Ports");
  EXPECT_EQ(root.children[0].children[0].items.size(), 2u);
}

TEST_F(ProcessesPhase, NothingWrittenWithoutTheProcessList) {
  processes_.available = false;
  handles_.handles = {{4, 16, u"Key", u"\\REGISTRY\\USER\\S-1"}};
  Collect();
  for (int which : {kAppProcesses, kAppModules, kAppHandles, kAppPorts}) {
    EXPECT_EQ(run_.category(which).payload.position(), 1) << which;
    EXPECT_EQ(run_.category(which).items_offset, 0) << which;
  }
}

TEST(HandleNames, Translations) {
  CXVolumeMap volumes;
  volumes.Fill({{"\\Device\\HarddiskVolume2", "\\\\?\\Volume{a}\\", "C:\\"},
                {"\\Device\\HarddiskVolume12", "\\\\?\\Volume{b}\\", "E:\\"},
                {"\\Device\\HarddiskVolume3", "\\\\?\\Volume{c}\\", "C:\\mnt\\"},  // not a drive root
                {"\\Device\\HarddiskVolume123", "\\\\?\\Volume{d}\\", "F:\\"}});
  EXPECT_EQ(volumes.Letter(3), 0);
  static const struct {
    const char16_t* name;
    const char16_t* shown;
  } kCases[] = {
      {u"\\Device\\HarddiskVolume2\\Windows\\a.dll", u"C:\\Windows\\a.dll"},
      {u"\\device\\harddiskvolume2\\x", u"C:\\x"},
      {u"\\Device\\HarddiskVolume3\\x", u"\\Device\\HarddiskVolume3\\x"},  // mounted, but not at a drive
      {u"\\Device\\HarddiskVolume4\\x", u"\\Device\\HarddiskVolume4\\x"},  // not mounted
      {u"\\Device\\HarddiskVolume12\\x", u"E:\\x"},
      {u"\\Device\\HarddiskVolume123\\x", u"\\Device\\HarddiskVolume123\\x"},
      {u"\\Device\\HarddiskVolume2", u"\\Device\\HarddiskVolume2"},
      {u"\\REGISTRY\\MACHINE\\SOFTWARE\\x", u"HKLM\\SOFTWARE\\x"},
      {u"\\REGISTRY\\MACHINE", u"HKLM"},
      {u"\\Registry\\User\\S-1-5", u"HKU\\S-1-5"},
      {u"\\REGISTRY\\MACHINEX", u"\\REGISTRY\\MACHINEX"},
      {u"\\Device\\NamedPipe\\srvsvc", u"\\Device\\NamedPipe\\srvsvc"},
      {u"\\BaseNamedObjects", u"\\BaseNamedObjects"},
      {u"C:\\plain.txt", u"C:\\plain.txt"},
      {u"\\??\\C:\\users\\a.txt", u"C:\\users\\a.txt"},
      {u"\\??\\pipe\\x", u"\\??\\pipe\\x"},
  };
  for (const auto& c : kCases) EXPECT_EQ(N(TranslateObjectName(c.name, volumes)), N(c.shown)) << N(c.name);
}

TEST_F(ProcessesPhase, AFailedSecondReadOfTheIdsKeepsTheFirstList) {
  Executable(u"C:\\a.exe");
  processes_.processes[8] = {{u"C:\\a.exe"}, u""};
  // 1,024 ids fill the first room exactly; the read with more room fails.
  for (uint32_t pid = 100; pid < 100 + 1023; ++pid) processes_.unopenable.push_back(pid);
  processes_.failing_from_query = 2;
  Collect();
  EXPECT_EQ(processes_.id_queries, 2);
  ASSERT_EQ(info_.processes().size(), 1u);
  EXPECT_EQ(N(info_.processes()[0]->path), "C:\\a.exe");
  EXPECT_NE(run_.category(kAppProcesses).items_offset, 0);
}

// The handle table over fake handles, with a name-query memory of the test's own.
class HandleNameQueries : public ::testing::Test {
 protected:
  void Blocking(uint16_t handle) { handles_.handles.push_back({50, handle, u"File", u"\\Device\\NamedPipe\\stuck", true}); }
  void Plain(uint16_t handle, const std::u16string& name) { handles_.handles.push_back({50, handle, u"Key", name}); }
  // Builds a table with the given limit; the seconds it took.
  double Build(CXHandleTable& table) {
    const auto start = std::chrono::steady_clock::now();
    table.Build();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::vector<std::string> Names(const CXHandleTable& table) {
    std::vector<std::string> names;
    for (const SXHandleRecord& r : table.records()) names.push_back(N(r.object_name));
    return names;
  }

  test::FakeHandleTable handles_;
  test::FakeVolumeDevices volumes_;
  test::CountedThreads threads_;
  CXHungHandles hung_;
  platform::ScopedFacility<platform::HandleTable> use_handles_{handles_};
  platform::ScopedFacility<platform::VolumeDevices> use_volumes_{volumes_};
  platform::ScopedFacility<platform::ThreadSystem> use_threads_{threads_};
};

TEST_F(HandleNameQueries, ABlockedQueryIsGivenUpAfterHalfASecondAndNotAskedAgainInTheNextScan) {
  Plain(1, u"\\REGISTRY\\USER\\before");
  Blocking(2);
  Plain(3, u"\\REGISTRY\\USER\\after");
  CXHandleTable first(CXNameQueryWorker::kDefaultTimeoutMs, hung_);
  const double seconds = Build(first);
  EXPECT_EQ(first.replaced_workers(), 1);
  EXPECT_GE(seconds, 0.45);
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(Names(first), (std::vector<std::string>{"HKU\\after", "HKU\\before"}));
  CXHandleTable second(CXNameQueryWorker::kDefaultTimeoutMs, hung_);
  EXPECT_LT(Build(second), 0.4);
  EXPECT_EQ(second.replaced_workers(), 0);
  EXPECT_EQ(Names(second), Names(first));
  EXPECT_EQ(threads_.started.load(), 3) << "two workers in the first scan, one in the second";
  EXPECT_EQ(hung_.threads(), 1) << "one worker abandoned, not two";
}

TEST_F(HandleNameQueries, PastTheCapOfBlockedWorkersNoThreadStartsAndTheRestGoWithoutNames) {
  for (uint16_t h = 1; h <= CXHungHandles::kMaxAbandoned + 2; ++h) Blocking(h);
  Plain(20, u"\\REGISTRY\\USER\\after");
  for (int scan = 0; scan < 2; ++scan) {
    CXHandleTable table(20, hung_);
    Build(table);
    EXPECT_EQ(table.replaced_workers(), scan == 0 ? CXHungHandles::kMaxAbandoned : 0);
    EXPECT_EQ(table.unnamed(), 3) << "scan " << scan;
    EXPECT_TRUE(table.records().empty());
  }
  EXPECT_EQ(threads_.started.load(), CXHungHandles::kMaxAbandoned);
  EXPECT_EQ(hung_.threads(), CXHungHandles::kMaxAbandoned);
  EXPECT_EQ(hung_.remembered(), static_cast<size_t>(CXHungHandles::kMaxAbandoned));
}

TEST_F(HandleNameQueries, AWorkerThatCannotStartLeavesTheHandleWithoutANameAndTheScanGoesOn) {
  Plain(1, u"\\REGISTRY\\USER\\one");
  Plain(2, u"\\REGISTRY\\USER\\two");
  threads_.fail = true;
  CXHandleTable table(CXNameQueryWorker::kDefaultTimeoutMs, hung_);
  EXPECT_LT(Build(table), 0.4);
  EXPECT_EQ(table.unnamed(), 2);
  EXPECT_TRUE(table.records().empty());
  threads_.fail = false;
  CXHandleTable next(CXNameQueryWorker::kDefaultTimeoutMs, hung_);
  Build(next);
  EXPECT_EQ(Names(next), (std::vector<std::string>{"HKU\\one", "HKU\\two"}));
}

TEST_F(HandleNameQueries, WhatHungIsForgottenWhenItsProcessHasGone) {
  Blocking(2);
  CXHandleTable first(20, hung_);
  Build(first);
  EXPECT_EQ(hung_.remembered(), 1u);
  handles_.handles = {{51, 2, u"Key", u"\\REGISTRY\\USER\\x"}};
  CXHandleTable second(20, hung_);
  Build(second);
  EXPECT_EQ(hung_.remembered(), 0u);
}

}  // namespace
}  // namespace orvalinth
