// The agent and the console together, in one process and over loopback: the
// console library drives the real connection thread, dispatcher, scan thread,
// record controller, scans, writer and transfer, and the downloaded snapshot
// is read back with the strict reader and compared with the disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "base/paths.h"
#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "host_links.h"
#include "link/agent_fixture.h"
#include "link/client.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/record_support.h"
#include "settings/settings_fixture.h"
#include "storage/reader/snapshot_reader.h"
#include "tests/platform/pe_fixtures.h"
#include "tests/storage/snapshot_samples.h"
#include "tools/console_link.h"
#include "tools/snapshot_download.h"

namespace orvalinth {
namespace {

using test::FullExeVersion;
using test::N;
using test::W;
using tools::CXConsoleLink;
using tools::CXSnapshotDownload;
using tools::SXScanDone;

constexpr int64_t kWaitMs = 30000;  // a failing test ends instead of hanging

// What the scan settings of "set-scan" carry.
struct Targets {
  std::vector<std::u16string> files, regs, apps;
  int versions = 0;
  int full = 0;
  std::string name;
};

class AgentAndConsole : public test::SettingsTest {
 protected:
  AgentAndConsole() {
    EXPECT_TRUE(console_.Listen("127.0.0.1", 0)) << console_.failure_text();
    console_.set_reply_timeout_ms(kWaitMs);
    LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(console_.port()))}));
  }
  ~AgentAndConsole() override { Stop(); }

  // Stops the agent; the console goes first, so the agent's graceful close
  // ends at once.
  void Stop() {
    console_.Close();
    if (client_ != nullptr) client_->StopClient();
    client_.reset();
  }

  // Starts the agent and accepts it.
  void Start(SXClientTiming timing = test::FastTiming()) {
    client_ = std::make_unique<CXClient>(settings_, timing);
    ASSERT_EQ(client_->StartConnectionThread(), 1);
    ASSERT_TRUE(console_.AcceptAgent(kWaitMs)) << console_.failure_text();
  }
  // Drops the link and accepts the agent's next connection, for a fresh "info".
  void Reconnect() {
    console_.Close();
    ASSERT_TRUE(console_.AcceptAgent(kWaitMs)) << console_.failure_text();
  }

  bool SetScan(const Targets& t, CXMessage* reply) {
    CXMessage m;
    m.Init("set-scan").AddList("file", t.files).AddList("regs", t.regs).AddList("apps", t.apps);
    m.AddInt("add-ver-inf", t.versions).AddInt("full", t.full).AddInt("show-rem-dsk", 0).AddString("snap-name", t.name);
    return console_.Request("set-scan", m, reply);
  }
  // "set-scan", then "scan" with the settings: true when both said ok.
  bool StartScan(const Targets& t) {
    CXMessage reply;
    if (!SetScan(t, &reply)) return false;
    EXPECT_EQ(reply.GetInt("ok"), 1);
    CXMessage scan;
    scan.Init("scan").AddInt("default", 1).AddString("snap-name", "");
    if (!console_.Request("scan", scan, &reply)) return false;
    EXPECT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
    return reply.GetInt("ok") == 1;
  }
  SXScanDone Done() {
    SXScanDone done;
    EXPECT_TRUE(console_.WaitScanDone(kWaitMs, &done)) << console_.failure_text();
    return done;
  }
  // Downloads snapshot n and reads it; false when either fails.
  bool Download(int32_t n, SXReadSnapshot* snapshot) {
    CXSnapshotDownload download(console_, nullptr);
    if (!download.Run(n, downloads_.path())) {
      ADD_FAILURE() << "download: " << download.error();
      return false;
    }
    EXPECT_EQ(test::ReadFileBytes(download.result().path), test::ReadFileBytes(SnapshotPath(n)))
        << "the download differs from the agent's file";
    CXSnapshotReader reader;
    if (reader.ReadFile(download.result().path, snapshot) != 1) {
      ADD_FAILURE() << "read: " << reader.fault().message;
      return false;
    }
    EXPECT_EQ(reader.remark_count(), 0u) << (reader.remarks().empty() ? "" : reader.remarks()[0]);
    return true;
  }
  bool Acknowledge(int32_t n) {
    CXMessage ack;
    ack.Init("down-ack").AddInt("id-snapshot", n);
    return console_.Send(ack);
  }

  CXConsoleLink console_;
  test::TempFolder downloads_;
  std::unique_ptr<CXClient> client_;
};

// ---- the tree on disk, as the test made it ----

enum class Kind { kFile, kFolder, kLink };
struct Made {
  std::u16string path;  // below the base folder, "\" between components
  Kind kind;
  std::string bytes;    // a file's contents; a link's target below the base folder
  bool executable = false;  // carries version information
};

// The expected node of folder `rel` (below `base`; empty: the base itself),
// with names, sizes and structure from what was made, attributes and times as
// the file system reports them, entries in the name order. `version_of` gives
// the version index of executables by their path below the base.
SXReadNode Expected(const std::u16string& base, const std::u16string& rel, const std::vector<Made>& made,
                    const std::map<std::u16string, int32_t>& version_of) {
  SXReadNode node;
  const std::u16string prefix = rel.empty() ? rel : rel + u"\\";
  for (const Made& m : made) {
    if (m.path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::u16string name = m.path.substr(prefix.size());
    if (name.empty() || name.find(u'\\') != std::u16string::npos) continue;
    platform::FindData entry;
    const bool found = platform::FileSystem::Get().FindFirst(base + m.path, &entry) != nullptr;
    EXPECT_TRUE(found) << N(m.path);
    if (m.kind == Kind::kFile) {
      SXReadFile f;
      f.name = name;
      f.size = m.bytes.size();
      f.attributes = static_cast<uint16_t>(entry.attributes);
      f.last_write = entry.last_write;
      const auto version = version_of.find(m.path);
      f.version_index = version == version_of.end() ? -1 : version->second;
      node.files.push_back(f);
      continue;
    }
    SXReadNode child;
    if (m.kind == Kind::kFolder) child = Expected(base, m.path, made, version_of);
    child.name = name;
    child.attributes = static_cast<uint16_t>(entry.attributes);
    // Wine cannot read the target of a host's symbolic link: the folder is
    // then a plain node without contents (and is not entered either).
    if (m.kind == Kind::kLink && !test::running_under_wine()) {
      child.link_type = 2;
      child.link_target = base + W(m.bytes);
    }
    node.children.push_back(child);
  }
  std::sort(node.children.begin(), node.children.end(),
            [](const SXReadNode& a, const SXReadNode& b) { return CompareNames(a.name, b.name) < 0; });
  std::sort(node.files.begin(), node.files.end(),
            [](const SXReadFile& a, const SXReadFile& b) { return CompareNames(a.name, b.name) < 0; });
  return node;
}


// Every file of `node` with a version index, by its path below the node.
void VersionIndexes(const SXReadNode& node, const std::u16string& prefix, std::map<std::u16string, int32_t>* out) {
  for (const SXReadFile& f : node.files) {
    if (f.version_index >= 0) (*out)[prefix + f.name] = f.version_index;
  }
  for (const SXReadNode& c : node.children) VersionIndexes(c, prefix + c.name + u"\\", out);
}

const SXReadNode* Child(const SXReadNode& node, const std::u16string& name) {
  for (const SXReadNode& c : node.children) {
    if (EqualsFolded(c.name, name)) return &c;
  }
  return nullptr;
}

TEST_F(AgentAndConsole, AScannedTreeArrivesExactlyAsItIsOnDisk) {
  SKIP_WITHOUT_PE_FIXTURES();
  const std::string pe = test::ReadFileBytes(test::PeFixture("full.exe"));
  ASSERT_FALSE(pe.empty());
  test::HostTmpFolder tmp;
  const std::u16string base = tmp.path();
  std::vector<Made> made = {
      {u"a", Kind::kFolder, "", false},
      {u"a\\b", Kind::kFolder, "", false},
      {u"a\\b\\c", Kind::kFolder, "", false},
      {u"a\\b\\c\\deep.txt", Kind::kFile, "deep down", false},
      {u"a\\Tool.exe", Kind::kFile, pe, true},
      {u"many", Kind::kFolder, "", false},
      {u"Excluded", Kind::kFolder, "", false},
      {u"Excluded\\hidden.exe", Kind::kFile, pe, true},
      {u"lib.dll", Kind::kFile, "MZ but no resources", false},
      {u"readme.txt", Kind::kFile, "read me", false},
      {u"tool.exe", Kind::kFile, pe, true},
      {u"empty.exe", Kind::kFile, "", false},
  };
  for (int i = 0; i < 250; ++i) made.push_back({W(Format("many\\f%03d.txt", i)), Kind::kFile, std::string(static_cast<size_t>(i), 'x'), false});
  for (const Made& m : made) {
    if (m.kind == Kind::kFolder) {
      ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(base + m.path)) << N(m.path);
    } else {
      test::WriteFileBytes(base + m.path, m.bytes);
    }
  }
  ASSERT_TRUE(tmp.Link(tmp.host_path() + "a", "link"));
  made.push_back({u"link", Kind::kLink, "a", false});

  Start();
  EXPECT_EQ(console_.info().name, "PC-01");
  EXPECT_EQ(console_.info().saved_uids, "");
  Targets t;
  t.files = {base, u"-" + base + u"excluded"};
  t.versions = 1;
  t.name = "integration";
  ASSERT_TRUE(StartScan(t));
  const SXScanDone done = Done();
  ASSERT_EQ(done.ok, 1) << done.msg;
  EXPECT_EQ(done.id_snapshot, 1);
  EXPECT_TRUE(test::FileExists(SnapshotPath(1)));

  // Offered at the next connect until acknowledged.
  Reconnect();
  EXPECT_EQ(console_.info().saved_uids, "1");
  SXReadSnapshot snapshot;
  ASSERT_TRUE(Download(1, &snapshot));
  ASSERT_TRUE(Acknowledge(1));
  Reconnect();
  EXPECT_EQ(console_.info().saved_uids, "");
  EXPECT_FALSE(test::FileExists(SnapshotPath(1)));

  EXPECT_EQ(snapshot.info.number, 1);
  EXPECT_EQ(snapshot.info.title, "integration");
  EXPECT_TRUE(snapshot.info.version_info);
  EXPECT_EQ(snapshot.info.targets[kReadFiles], (std::vector<std::u16string>{base, u"-" + base + u"excluded\\"}));
  EXPECT_TRUE(snapshot.sections[kReadRegistry].empty());
  EXPECT_TRUE(snapshot.sections[kReadApplications].empty());
  ASSERT_EQ(snapshot.sections[kReadFiles].size(), 1u);
  const SXReadSection& drive = snapshot.sections[kReadFiles][0];
  EXPECT_EQ(drive.name, u"z:\\");
  // z: -> tmp -> the folder of the test.
  const std::u16string folder_name = base.substr(7, base.size() - 8);
  const SXReadNode* tmp_node = Child(drive.root, u"tmp");
  ASSERT_NE(tmp_node, nullptr);
  ASSERT_EQ(tmp_node->children.size(), 1u);
  const SXReadNode& tree = tmp_node->children[0];
  EXPECT_EQ(tree.name, folder_name);

  // Each executable with version information has a record of its own, the
  // two copies of one program equal records; nothing else has one.
  std::map<std::u16string, int32_t> indexes;
  VersionIndexes(tree, u"", &indexes);
  ASSERT_EQ(indexes.size(), 2u);
  ASSERT_EQ(indexes.count(u"tool.exe"), 1u);
  ASSERT_EQ(indexes.count(u"a\\Tool.exe"), 1u);
  EXPECT_NE(indexes[u"tool.exe"], indexes[u"a\\Tool.exe"]);
  ASSERT_EQ(snapshot.versions.size(), 2u);
  for (const SXReadVersion& v : snapshot.versions) EXPECT_TRUE(v == FullExeVersion());
  EXPECT_EQ(snapshot.info.version_count, 2);

  SXReadNode expected = Expected(base, u"", made, indexes);
  // The excluded folder is neither recorded nor entered.
  expected.children.erase(std::remove_if(expected.children.begin(), expected.children.end(),
                                         [](const SXReadNode& n) { return n.name == u"Excluded"; }),
                          expected.children.end());
  EXPECT_TRUE(tree.children == expected.children);
  EXPECT_TRUE(tree.files == expected.files);
  for (size_t i = 0; i < expected.children.size() && i < tree.children.size(); ++i) {
    EXPECT_TRUE(tree.children[i] == expected.children[i]) << N(expected.children[i].name);
  }
  // Folders entered: the target, a, a\b, a\b\c and many; files: 250 + 1 + 1 + 4.
  EXPECT_EQ(snapshot.info.counters[kReadFiles][0], 5);
  EXPECT_EQ(snapshot.info.counters[kReadFiles][1], 256);
}

TEST_F(AgentAndConsole, StopScanDuringALargeScanDeletesThePartialFileAndTheNumberIsUsedAgain) {
  test::MadeUpTreeFileSystem endless(u"Q:\\endless", 10, 10);
  platform::ScopedFacility<platform::FileSystem> use(endless);
  Start();
  Targets t;
  t.files = {u"Q:\\endless"};
  ASSERT_TRUE(StartScan(t));
  ASSERT_TRUE(test::WaitUntil([&endless] { return endless.searches() >= 200; }, static_cast<int>(kWaitMs)));
  EXPECT_TRUE(test::FileExists(SnapshotPath(1)));
  EXPECT_EQ(client_->scanning(), 1);

  CXMessage stop, reply;
  stop.Init("stop-scan");
  const int64_t asked = platform::MonotonicMs();
  ASSERT_TRUE(console_.Request("stop-scan", stop, &reply)) << console_.failure_text();
  const int64_t answered = platform::MonotonicMs();
  EXPECT_EQ(reply.GetInt("ok"), 1);
  // The reply comes once the job has ended: it searches no more folders.
  const int searched = endless.searches();
  platform::SleepMs(100);
  EXPECT_EQ(endless.searches(), searched);
  EXPECT_LT(answered - asked, 5000);
  EXPECT_FALSE(test::FileExists(SnapshotPath(1)));
  EXPECT_EQ(client_->scanning(), 0);
  EXPECT_TRUE(console_.kept_scan_done().empty());
  EXPECT_EQ(settings_.saved_snapshots(), "");

  // The next scan records snapshot 1 again.
  Targets nothing;
  ASSERT_TRUE(StartScan(nothing));
  const SXScanDone done = Done();
  EXPECT_EQ(done.ok, 1) << done.msg;
  EXPECT_EQ(done.id_snapshot, 1);
  EXPECT_TRUE(test::FileExists(SnapshotPath(1)));
}

TEST_F(AgentAndConsole, ScanDoneFollowsTheEndOfTheJobsAtOnceAndAStopIsSeenWithinTheSleep) {
  SXClientTiming timing = test::FastTiming();
  timing.sleep_ms = 500;  // the service's own
  test::TempFolder tree;
  test::WriteFileBytes(tree / u"one.txt", "1");
  test::MadeUpTreeFileSystem endless(u"Q:\\endless", 10, 10);
  platform::ScopedFacility<platform::FileSystem> use(endless);
  Start(timing);
  Targets one;
  one.files = {tree.path()};
  ASSERT_TRUE(StartScan(one));
  const int64_t started = platform::MonotonicMs();
  EXPECT_EQ(Done().ok, 1);
  // The scan of one file takes a few milliseconds; the scan thread used to
  // notice its end at its next look, half a second on.
  EXPECT_LT(platform::MonotonicMs() - started, 400) << "scan-done waited for the next look at the jobs";

  Targets large;
  large.files = {u"Q:\\endless"};
  ASSERT_TRUE(StartScan(large));
  ASSERT_TRUE(test::WaitUntil([&endless] { return endless.searches() >= 20; }, static_cast<int>(kWaitMs)));
  CXMessage stop, reply;
  stop.Init("stop-scan");
  const int64_t asked = platform::MonotonicMs();
  ASSERT_TRUE(console_.Request("stop-scan", stop, &reply)) << console_.failure_text();
  EXPECT_EQ(reply.GetInt("ok"), 1);
  // Within one look of the scan thread (500 ms) and the reply's way back; the
  // endless tree itself would never end. Loaded machines stretch the second.
  EXPECT_LT(platform::MonotonicMs() - asked, 500 + 1000);
}

TEST_F(AgentAndConsole, WithNothingToScanTheSnapshotHasEmptyTables) {
  Start();
  Targets nothing;
  nothing.name = "nothing";
  ASSERT_TRUE(StartScan(nothing));
  const SXScanDone done = Done();
  ASSERT_EQ(done.ok, 1) << done.msg;
  ASSERT_EQ(done.id_snapshot, 1);
  SXReadSnapshot snapshot;
  ASSERT_TRUE(Download(1, &snapshot));
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_TRUE(snapshot.sections[k].empty()) << k;
    EXPECT_EQ(snapshot.table_offsets[k], 0u) << k;
    EXPECT_TRUE(snapshot.info.targets[k].empty()) << k;
    EXPECT_EQ(snapshot.info.counters[k][0], 0) << k;
    EXPECT_EQ(snapshot.info.counters[k][1], 0) << k;
  }
  EXPECT_TRUE(snapshot.versions.empty());
  EXPECT_EQ(snapshot.info.title, "nothing");
  EXPECT_EQ(snapshot.info.computer, "PC-01");
  EXPECT_EQ(snapshot.block_count, 2u);  // the tables and the info block
}

// A disk that fills up while the snapshot is recorded, or before even its
// provisional header is written: either way the console is told why, and
// neither a file nor a catalog change is left behind.
TEST_F(AgentAndConsole, AWriteFailureWhileRecordingIsReportedAndLeavesNoFile) {
  test::TempFolder tree;
  test::WriteFileBytes(tree / u"a.txt", "a");
  MakeSnapshot(2);
  MakeSnapshot(4);
  LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(console_.port())), "SnapshotCnt:4",
                 "SavedSnapshots:2,4"}));
  test::FaultyFiles full_disk;  // snapshot files take their provisional header, then the disk is full
  full_disk.only_suffix = u".snp";
  full_disk.only_modes = platform::kOpenWrite;
  full_disk.fail_from_write = 2;
  Start();
  EXPECT_EQ(console_.info().saved_uids, "2,4");
  Targets t;
  t.files = {tree.path()};
  const struct {
    int good_writes;
    const char* failure;  // how the message starts
  } cases[] = {{1, "Cannot write("}, {0, "Cannot write(20) file"}};
  for (const auto& c : cases) {
    full_disk.fail_from_write.store(full_disk.writes.load() + c.good_writes + 1);
    ASSERT_TRUE(StartScan(t));
    const SXScanDone done = Done();
    EXPECT_EQ(done.ok, 0);
    EXPECT_EQ(done.msg.rfind(c.failure, 0), 0u) << done.msg;
    EXPECT_NE(done.msg.find(" file\n[" + N(SnapshotPath(5)) + "] [error:112]"), std::string::npos) << done.msg;
    EXPECT_FALSE(test::FileExists(SnapshotPath(5))) << c.good_writes << " good writes";
    // Logged as well (the log writes each line of the text as a line of its own).
    EXPECT_NE(LogText().find("Error: " + done.msg.substr(0, done.msg.find('\n'))), std::string::npos) << LogText();
  }

  // The catalog is as it was: the same snapshots offered, the same next number.
  Reconnect();
  EXPECT_EQ(console_.info().saved_uids, "2,4");
  EXPECT_EQ(settings_.snapshot_count(), 4);
  EXPECT_NE(test::ReadFileBytes(Ini()).find("SnapshotCnt:4"), std::string::npos);
  Stop();  // while the failing file system is still in place
}

}  // namespace
}  // namespace orvalinth
