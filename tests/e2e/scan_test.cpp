// Scans by the real service under Wine, driven by the console library: a
// folder and a registry key that the test made in the prefix are recorded,
// downloaded, acknowledged and read back with the strict reader; a scan the
// console stops leaves no file and its number is used again.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_process.h"
#include "link/message.h"
#include "service_link_test.h"
#include "storage/reader/snapshot_reader.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using test::FullExeVersion;
using test::SampleData;
using test::SampleNode;
using test::SampleText;

constexpr char kTree[] = "C:\\e2e\\tree\\";
constexpr char kKey[] = "HKLM\\SOFTWARE\\OrvalinthE2E";
constexpr int64_t kScanWaitMs = 120000;

// A Windows FILETIME from a host file's modification time, as Wine reports it.
int64_t FileTime(const std::string& host_path) {
  struct stat st = {};
  if (stat(host_path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 + 116444736000000000LL;
}





const SXReadNode* Child(const SXReadNode& node, const std::u16string& name) {
  for (const SXReadNode& c : node.children) {
    if (EqualsFolded(c.name, name)) return &c;
  }
  return nullptr;
}

class WineScan : public ServiceLinkTest {
 public:
  static void SetUpTestSuite() { OpenService("scan"); }

 protected:
  // "set-scan" with the file and registry targets, then "scan".
  static void Scan(const std::vector<std::u16string>& files, const std::vector<std::u16string>& regs, int versions) {
    CXMessage m, reply;
    m.Init("set-scan").AddList("file", files).AddList("regs", regs).AddList("apps", {});
    m.AddInt("add-ver-inf", versions).AddInt("full", 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "e2e");
    ASSERT_TRUE(Console().Request("set-scan", m, &reply)) << Console().failure_text();
    ASSERT_EQ(reply.GetInt("ok"), 1);
    m.Init("scan").AddInt("default", 1);
    ASSERT_TRUE(Console().Request("scan", m, &reply)) << Console().failure_text();
    ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  }
};

TEST_F(WineScan, AFolderAndAKeyOfTheTestArriveAsTheyWereMade) {
  // The folder: nested folders, files of every kind, an excluded folder.
  const std::string pe = ReadWholeFile(Win64BuildFile("tests/pe_fixtures/full.exe"));
  ASSERT_FALSE(pe.empty()) << "no PE fixture next to " << WindowsExecutable();
  const std::string tree = service_->prefix().HostPath(kTree);
  fs::remove_all(tree);
  for (const char* folder : {"sub", "many", "Excluded"}) fs::create_directories(tree + folder);
  const std::map<std::string, std::string> files = {
      {"readme.txt", "read me"}, {"tool.exe", pe},          {"sub/deep.txt", "deep"},
      {"sub/copy.dll", pe},      {"Excluded/skip.txt", "x"}, {"empty.exe", ""}};
  for (const auto& [name, bytes] : files) ASSERT_TRUE(WriteWholeFile(tree + name, bytes));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(WriteWholeFile(tree + Format("many/f%03d.txt", i), std::string(static_cast<size_t>(i), 'm')));

  // The key: values of the common types by Wine's reg, a subkey, and a
  // registry link to it by the helper (reg cannot make links).
  WinePrefix& prefix = service_->prefix();
  const std::string key = kKey;
  prefix.Wine({"reg", "delete", key, "/f"});
  for (const std::vector<std::string>& value : std::vector<std::vector<std::string>>{
           {"Text", "REG_SZ", "text value"},
           {"Expand", "REG_EXPAND_SZ", "%SystemRoot%\\x"},
           {"Multi", "REG_MULTI_SZ", "one\\0two"},
           {"Dword", "REG_DWORD", "42"},
           {"Binary", "REG_BINARY", "0102ff"}}) {
    const SXRun run = prefix.Wine({"reg", "add", key, "/v", value[0], "/t", value[1], "/d", value[2], "/f"});
    ASSERT_EQ(run.exit_code, 0) << value[0] << ": " << run.output;
  }
  SXRun run = prefix.Wine({"reg", "add", key + "\\Target", "/v", "Inside", "/t", "REG_SZ", "/d", "inside", "/f"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  fs::create_directories(prefix.HostPath("C:\\e2e\\bin\\"));
  fs::copy_file(Win64BuildFile("tests/e2e/orvalinth_e2e_helper.exe"), prefix.HostPath("C:\\e2e\\bin\\helper.exe"),
                fs::copy_options::overwrite_existing);
  const std::string target = "\\Registry\\Machine\\SOFTWARE\\OrvalinthE2E\\Target";
  run = prefix.Wine({"C:\\e2e\\bin\\helper.exe", "reg-link", "SOFTWARE\\OrvalinthE2E\\Link", target});
  ASSERT_EQ(run.exit_code, 0) << run.output;

  const int number = NextSnapshotNumber(*service_);
  Scan({u"C:\\e2e\\tree", u"-C:\\e2e\\tree\\excluded"}, {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvalinthE2E"}, 1);
  tools::SXScanDone done;
  ASSERT_TRUE(Console().WaitScanDone(kScanWaitMs, &done)) << Console().failure_text();
  ASSERT_EQ(done.ok, 1) << done.msg;
  EXPECT_EQ(done.id_snapshot, number);

  std::string bytes;
  ASSERT_NO_FATAL_FAILURE(Download(number, &bytes));
  EXPECT_EQ(bytes, ReadWholeFile(service_->SnapshotPath(number)));
  CXMessage ack;
  ack.Init("down-ack").AddInt("id-snapshot", number);
  ASSERT_TRUE(Console().Send(ack));
  ASSERT_TRUE(service_->Reconnect()) << service_->error();
  EXPECT_EQ(Console().info().saved_uids, "");
  EXPECT_FALSE(fs::exists(service_->SnapshotPath(number)));

  CXSnapshotMemorySource source(bytes.data(), bytes.size());
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  ASSERT_EQ(reader.Read(source, &snapshot), 1) << reader.fault().message;
  EXPECT_EQ(reader.remark_count(), 0u) << (reader.remarks().empty() ? "" : reader.remarks()[0]);
  EXPECT_EQ(snapshot.info.number, number);
  EXPECT_EQ(snapshot.info.title, "e2e");
  EXPECT_EQ(snapshot.info.computer, Console().info().name);

  // The registry: HKEY_LOCAL_MACHINE -> SOFTWARE -> OrvalinthE2E, its values
  // sorted by name, the link recorded and not entered. Keys are named as the
  // registry stores them: Wine keeps SOFTWARE as "Software".
  SXReadNode e2e_key = SampleNode(u"OrvalinthE2E");
  e2e_key.values = {SampleData(u"Binary", 3, std::string("\x01\x02\xFF", 3)), SampleData(u"Dword", 4, std::string("\x2A\0\0\0", 4)),
                    SampleText(u"Expand", 2, u"%SystemRoot%\\x"), SampleText(u"Multi", 7, std::u16string(u"one\0two", 7)),
                    SampleText(u"Text", 1, u"text value")};
  SXReadNode link = SampleNode(u"Link");
  link.link_type = 1;
  link.link_target = Widen(target);
  SXReadNode target_key = SampleNode(u"Target");
  target_key.values = {SampleText(u"Inside", 1, u"inside")};
  e2e_key.children = {link, target_key};
  ASSERT_EQ(snapshot.sections[kReadRegistry].size(), 1u);
  const SXReadSection& registry = snapshot.sections[kReadRegistry][0];
  EXPECT_EQ(registry.name, u"HKEY_LOCAL_MACHINE");
  EXPECT_TRUE(registry.root == SampleNode(u"HKEY_LOCAL_MACHINE", {SampleNode(u"Software", {e2e_key})}))
      << N(registry.root.name) << " " << registry.root.children.size() << " "
      << (registry.root.children.empty() ? "" : N(registry.root.children[0].name) + " " +
                                                   std::to_string(registry.root.children[0].error) + " " +
                                                   std::to_string(registry.root.children[0].children.size()));
  const SXReadNode* software = Child(registry.root, u"SOFTWARE");
  ASSERT_NE(software, nullptr);
  const SXReadNode* scanned_key = Child(*software, u"OrvalinthE2E");
  ASSERT_NE(scanned_key, nullptr);
  EXPECT_TRUE(scanned_key->values == e2e_key.values);
  ASSERT_EQ(scanned_key->children.size(), 2u);
  EXPECT_TRUE(scanned_key->children[0] == link) << N(scanned_key->children[0].link_target);
  EXPECT_TRUE(scanned_key->children[1] == target_key);

  // The folder: c: -> e2e -> tree, as made, without the excluded folder.
  ASSERT_EQ(snapshot.sections[kReadFiles].size(), 1u);
  const SXReadSection& drive = snapshot.sections[kReadFiles][0];
  EXPECT_EQ(drive.name, u"c:\\");
  const SXReadNode* e2e = Child(drive.root, u"e2e");
  ASSERT_NE(e2e, nullptr);
  ASSERT_EQ(e2e->children.size(), 1u);
  const SXReadNode& scanned = e2e->children[0];
  EXPECT_EQ(scanned.name, u"tree");
  const auto file = [&tree](const std::string& name, uint64_t size, int32_t version) {
    SXReadFile f;
    f.name = Widen(name.substr(name.rfind('/') + 1));
    f.size = size;
    f.attributes = 0x20;  // Wine: archive, for a plain file
    f.last_write = FileTime(tree + name);
    f.version_index = version;
    return f;
  };
  // Each executable with version information has a record of its own (the
  // two are copies of one program); the numbers follow the order in which
  // the folders list their files.
  ASSERT_EQ(snapshot.versions.size(), 2u);
  for (const SXReadVersion& v : snapshot.versions) EXPECT_TRUE(v == FullExeVersion());
  int32_t tool_version = -1, copy_version = -1;
  for (const SXReadFile& f : scanned.files) {
    if (f.name == u"tool.exe") tool_version = f.version_index;
  }
  if (const SXReadNode* sub = Child(scanned, u"sub")) {
    for (const SXReadFile& f : sub->files) {
      if (f.name == u"copy.dll") copy_version = f.version_index;
    }
  }
  EXPECT_EQ(std::min(tool_version, copy_version), 0);
  EXPECT_EQ(std::max(tool_version, copy_version), 1);
  SXReadNode expected = SampleNode(u"tree");
  SXReadNode many = SampleNode(u"many");
  for (int i = 0; i < 100; ++i) many.files.push_back(file(Format("many/f%03d.txt", i), static_cast<uint64_t>(i), -1));
  SXReadNode sub = SampleNode(u"sub");
  sub.files = {file("sub/copy.dll", pe.size(), copy_version), file("sub/deep.txt", 4, -1)};
  many.attributes = sub.attributes = 0x10;
  expected.children = {many, sub};
  expected.files = {file("empty.exe", 0, -1), file("readme.txt", 7, -1), file("tool.exe", pe.size(), tool_version)};
  EXPECT_TRUE(scanned.children == expected.children);
  for (size_t i = 0; i < scanned.children.size() && i < expected.children.size(); ++i) {
    EXPECT_EQ(N(scanned.children[i].name), N(expected.children[i].name));
    EXPECT_EQ(scanned.children[i].attributes, expected.children[i].attributes) << N(expected.children[i].name);
    EXPECT_TRUE(scanned.children[i].files == expected.children[i].files) << N(expected.children[i].name);
  }
  EXPECT_TRUE(scanned.files == expected.files);
  for (size_t i = 0; i < scanned.files.size() && i < expected.files.size(); ++i) {
    const SXReadFile& a = scanned.files[i];
    const SXReadFile& b = expected.files[i];
    EXPECT_TRUE(a == b) << N(a.name) << " " << a.size << " " << a.attributes << " " << a.last_write << " "
                        << a.version_index << " / " << N(b.name) << " " << b.size << " " << b.attributes << " "
                        << b.last_write << " " << b.version_index;
  }
  // Keys: the target and its two subkeys; values: 5 + 1. Folders: tree, many
  // and sub; files: 3 + 100 + 2.
  EXPECT_EQ(snapshot.info.counters[kReadRegistry][0], 3);
  EXPECT_EQ(snapshot.info.counters[kReadRegistry][1], 6);
  EXPECT_EQ(snapshot.info.counters[kReadFiles][0], 3);
  EXPECT_EQ(snapshot.info.counters[kReadFiles][1], 105);
}

TEST_F(WineScan, StopScanInTheMiddleDeletesThePartialFileAndTheNumberIsUsedAgain) {
  // A big tree: 200 folders of 200 files, which Wine lists at some 30,000
  // entries a second.
  const std::string big = service_->prefix().HostPath("C:\\e2e\\big\\");
  if (!fs::exists(big + "d199/f199.txt")) {
    for (int d = 0; d < 200; ++d) {
      const std::string folder = big + Format("d%03d/", d);
      fs::create_directories(folder);
      for (int f = 0; f < 200; ++f) ASSERT_TRUE(WriteWholeFile(folder + Format("f%03d.txt", f), ""));
    }
  }
  const int number = NextSnapshotNumber(*service_);
  Scan({u"C:\\e2e\\big"}, {u"*"}, 0);
  const long long end = NowMs() + 30000;
  while (!fs::exists(service_->SnapshotPath(number)) && NowMs() < end) SleepMs(20);
  // The job has begun recording: stop it at once, far from its end.
  ASSERT_TRUE(fs::exists(service_->SnapshotPath(number)));

  CXMessage stop, reply;
  stop.Init("stop-scan");
  ASSERT_TRUE(Console().Request("stop-scan", stop, &reply)) << Console().failure_text();
  EXPECT_EQ(reply.GetInt("ok"), 1);
  EXPECT_TRUE(Console().kept_scan_done().empty()) << "the scan ended before it was stopped";
  EXPECT_FALSE(fs::exists(service_->SnapshotPath(number)));
  EXPECT_EQ(NextSnapshotNumber(*service_), number);

  // The next scan records the same number.
  Scan({}, {}, 0);
  tools::SXScanDone done;
  ASSERT_TRUE(Console().WaitScanDone(kScanWaitMs, &done)) << Console().failure_text();
  EXPECT_EQ(done.ok, 1) << done.msg;
  EXPECT_EQ(done.id_snapshot, number);
  EXPECT_TRUE(fs::exists(service_->SnapshotPath(number)));
}

}  // namespace
}  // namespace orvalinth::e2e
