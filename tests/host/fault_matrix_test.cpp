// The fault matrix: the agent with its real connection thread, dispatcher,
// recorder, scans, writer, catalog and transfer, a console on loopback, and
// one fault per cell injected through the facilities while a whole session
// runs (greeting, "set-scan", "scan", "scan-done", download, "down-ack",
// "get-dir"). After the faulty session every cell must find the same:
// the agent still runs and greets the next console, whose session (with a
// scan) succeeds; no partial snapshot or temporary file is left; the files,
// the catalog in memory, the one on disk and the list the console is
// offered agree; and the log told what happened in exactly one entry.
// The cells run on both builds; under Wine a folder that holds an open file
// cannot be removed, so the data folder's cell checks what Windows does.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "fakes/wait_until.h"
#include "link/agent_fixture.h"
#include "link/client.h"
#include "link/test_peer.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/version_resources.h"
#include "registry_scratch.h"
#include "settings/saved_snapshots.h"
#include "settings/settings_fixture.h"
#include "storage/payload_spool.h"
#include "storage/reader/snapshot_reader.h"
#include "tests/platform/pe_fixtures.h"

namespace orvalinth {
namespace {

using test::N;
using test::W;

constexpr int kWaitMs = 20000;  // a failing cell ends instead of hanging
// The writes of a recording of the fixture's tree are numbered 1 to at most
// this; the cell one beyond must record the snapshot whole.
constexpr int kMostWrites = 10;
// The saves of the settings in one session: "set-scan", the snapshot added,
// the scan completed, "down-ack".
constexpr int kSaves = 4;
// The frames of a whole session (below).
constexpr int kFrames = 15;

enum class Kind { kFullDisk, kDataFolderRemoved, kSettingsUnwritable, kFolderVanishes, kVersionCut, kKeyDeleted,
                  kLinkClosed, kSpoolFull, kStoppedAtPart };

// The cells of streamed sections cut the sections into parts this long, so
// that the fixture's small tree streams in several; a recording writes at
// most kMostParts of them.
constexpr int32_t kMatrixPart = 64;
constexpr int kMostParts = 6;

struct Fault {
  Kind kind;
  int n;  // the write, the save or the frame after which the link closes
};

std::string CellName(const ::testing::TestParamInfo<Fault>& info) {
  static const char* const kNames[] = {"FullDiskAtWrite", "DataFolderRemoved", "SettingsUnwritableAtSave",
                                       "FolderVanishes", "VersionBlockCut", "RegistryKeyDeleted",
                                       "LinkClosedAfterFrame", "FullDiskAtSpoolWrite", "StoppedAtPart"};
  const Fault& f = info.param;
  return std::string(kNames[static_cast<int>(f.kind)]) + (f.n > 0 || f.kind == Kind::kLinkClosed ? Format("%d", f.n) : "");
}

// What one console session saw. The frames, counted from the console: 1 the
// agent's "hello", 2 the console's, 3 "info", 4-5 "set-scan" and its reply,
// 6-7 "scan" and its reply, 8 "scan-done", 9-10 "down-snap" and its reply,
// 11 the one block of a small snapshot, 12 the end marker, 13 "down-ack",
// 14-15 "get-dir" and its reply. A failed scan is not downloaded.
struct Seen {
  int frames = 0;
  std::string saved_uids;
  std::string files_at_info;  // the snapshot files when "info" came
  size_t log_at_info = 0;     // the log's size then
  int scan_ok = -1;
  int done_ok = -1;
  int32_t done_id = 0;
  std::string done_msg;
  std::string download;
  bool stopped = false;  // "stop-scan" answered ok
  bool complete = false;
};

// The error of the first node named `name` (A-Z folded) below `node`; -1
// when there is none.
int32_t ErrorOf(const SXReadNode& node, const std::u16string& name) {
  for (const SXReadNode& child : node.children) {
    if (EqualsFolded(child.name, name)) return child.error;
    const int32_t below = ErrorOf(child, name);
    if (below >= 0) return below;
  }
  return -1;
}

// The error of the node named `name` in the sections of `kind` of the
// snapshot `bytes`; -1 when there is none or the snapshot cannot be read.
int32_t RecordedError(const std::string& bytes, int kind, const std::u16string& name) {
  test::TempFolder folder;
  test::WriteFileBytes(folder / u"s.snp", bytes);
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  if (reader.ReadFile(folder / u"s.snp", &snapshot) != 1) return -1;
  for (const SXReadSection& section : snapshot.sections[kind]) {
    const int32_t error = ErrorOf(section.root, name);
    if (error >= 0) return error;
  }
  return -1;
}

// ---- the faults ----

// The listing of one folder breaks off after its first entry, the folder
// then gone: a folder deleted while it is listed.
class VanishingFolder final : public platform::FileSystemWrapper {
 public:
  explicit VanishingFolder(std::u16string folder)
      : FileSystemWrapper(platform::FileSystem::Real()), folder_(std::move(folder)), use_(*this) {}
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    std::unique_ptr<platform::FindHandle> search = target().FindFirst(pattern, first);
    if (search == nullptr || !armed || !EqualsFolded(pattern, folder_ + u"*.*")) return search;
    search.reset();
    test::RemoveTree(folder_);
    platform::FileSystem::Real().RemoveFolder(folder_.substr(0, folder_.size() - 1));
    return std::make_unique<BrokenOff>();
  }
  std::atomic<bool> armed{true};

 private:
  struct BrokenOff final : platform::FindHandle {
    bool Next(platform::FindData*) override {
      platform::SetLastError(platform::kErrorPathNotFound);
      return false;
    }
  };
  const std::u16string folder_;
  platform::ScopedFacility<platform::FileSystem> use_;
};

// The n-th part written to a spool holds the job (the write waits) until
// the console has asked for a stop, so that the stop comes while part n is
// being written.
class PartStop final : public platform::FileSystemWrapper {
 public:
  explicit PartStop(int n) : FileSystemWrapper(platform::FileSystem::Real()), n_(n), use_(*this) {}
  ~PartStop() override { released = true; }
  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override {
    std::unique_ptr<platform::File> file = target().Open(path, mode);
    if (file == nullptr || !EndsWithFolded(path, u".part")) return file;
    return std::make_unique<Held>(std::move(file), *this);
  }
  std::atomic<bool> armed{true};
  std::atomic<bool> reached{false};
  std::atomic<bool> released{false};
  std::atomic<int> writes{0};

 private:
  class Held final : public platform::File {
   public:
    Held(std::unique_ptr<platform::File> inner, PartStop& owner) : inner_(std::move(inner)), owner_(owner) {}
    bool Read(void* b, uint32_t n, uint32_t* got) override { return inner_->Read(b, n, got); }
    bool Write(const void* b, uint32_t n, uint32_t* written) override {
      if (++owner_.writes == owner_.n_ && owner_.armed) {
        owner_.reached = true;
        test::WaitUntil([this] { return owner_.released.load(); }, kWaitMs);
      }
      return inner_->Write(b, n, written);
    }
    bool Seek(int64_t offset) override { return inner_->Seek(offset); }
    bool SeekToEnd(int64_t* position) override { return inner_->SeekToEnd(position); }
    bool Size(uint64_t* size) override { return inner_->Size(size); }
    bool Flush() override { return inner_->Flush(); }

   private:
    std::unique_ptr<platform::File> inner_;
    PartStop& owner_;
  };
  const int n_;
  platform::ScopedFacility<platform::FileSystem> use_;
};

// The data folder is removed, with what is in it, when the scan first lists
// a folder of its targets (on Windows what is open, the recording, stays,
// and so does the folder).
class DataFolderRemoval final : public platform::FileSystemWrapper {
 public:
  explicit DataFolderRemoval(std::u16string below)
      : FileSystemWrapper(platform::FileSystem::Real()), below_(std::move(below)), use_(*this) {}
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    if (armed && StartsWithFolded(pattern, below_) && armed.exchange(false)) {
      test::RemoveTree(DataFolder());
      target().RemoveFolder(DataFolder().substr(0, DataFolder().size() - 1));
      removed_ = target().Attributes(DataFolder()) == platform::kInvalidAttributes;
    }
    return target().FindFirst(pattern, first);
  }
  bool removed() const { return removed_; }
  std::atomic<bool> armed{true};

 private:
  const std::u16string below_;
  std::atomic<bool> removed_{false};
  platform::ScopedFacility<platform::FileSystem> use_;
};

// Files named `name` are cut to their first bytes between the size of their
// version block and its reading.
class CuttingVersions final : public platform::VersionResources {
 public:
  explicit CuttingVersions(std::u16string name) : name_(std::move(name)), use_(*this) {}
  uint32_t BlockSize(const std::u16string& path) override {
    const uint32_t size = Real().BlockSize(path);
    if (size != 0 && armed && EndsWithFolded(path, name_)) test::WriteFileBytes(path, test::ReadFileBytes(path).substr(0, 64));
    return size;
  }
  bool ReadBlock(const std::u16string& path, void* buffer, uint32_t size) override {
    return Real().ReadBlock(path, buffer, size);
  }
  std::atomic<bool> armed{true};

 private:
  const std::u16string name_;
  platform::ScopedFacility<platform::VersionResources> use_;
};

// The key `doomed` (below `root`) is deleted right after the scan opens it
// by its name `leaf`.
class DeletingRegistry final : public platform::Registry {
 public:
  DeletingRegistry(platform::RegistryRoot root, std::u16string doomed, std::u16string leaf)
      : root_(root), doomed_(std::move(doomed)), leaf_(std::move(leaf)), use_(*this) {}
  uint32_t OpenKey(platform::RegistryRoot root, const std::u16string& path, uint32_t options, uint32_t access,
                   std::unique_ptr<platform::RegistryKey>* key) override {
    const uint32_t result = Real().OpenKey(root, path, options, access, key);
    if (result == platform::kErrorSuccess) *key = std::make_unique<Key>(*this, std::move(*key));
    return result;
  }
  uint32_t CreateKey(platform::RegistryRoot root, const std::u16string& path, uint32_t options,
                     std::unique_ptr<platform::RegistryKey>* key) override {
    return Real().CreateKey(root, path, options, key);
  }
  uint32_t DeleteKey(platform::RegistryRoot root, const std::u16string& path) override {
    return Real().DeleteKey(root, path);
  }
  std::atomic<bool> armed{true};

 private:
  class Key final : public platform::RegistryKey {
   public:
    Key(DeletingRegistry& owner, std::unique_ptr<platform::RegistryKey> inner) : owner_(owner), inner_(std::move(inner)) {}
    uint32_t EnumKey(uint32_t index, std::u16string* name, size_t max_units) override {
      return inner_->EnumKey(index, name, max_units);
    }
    uint32_t EnumValue(uint32_t index, std::u16string* name, uint32_t* type, std::string* data) override {
      return inner_->EnumValue(index, name, type, data);
    }
    uint32_t QueryValue(const std::u16string& name, uint32_t* type, std::string* data) override {
      return inner_->QueryValue(name, type, data);
    }
    uint32_t QueryInfo(Info* info) override { return inner_->QueryInfo(info); }
    uint32_t OpenSubKey(const std::u16string& path, uint32_t options, uint32_t access,
                        std::unique_ptr<RegistryKey>* key) override {
      const uint32_t result = inner_->OpenSubKey(path, options, access, key);
      if (result != platform::kErrorSuccess) return result;
      *key = std::make_unique<Key>(owner_, std::move(*key));
      if (owner_.armed && EqualsFolded(path, owner_.leaf_)) test::DeleteRegistryTree(owner_.root_, owner_.doomed_);
      return result;
    }
    uint32_t CreateSubKey(const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key) override {
      return inner_->CreateSubKey(path, options, key);
    }
    uint32_t SetValue(const std::u16string& name, uint32_t type, const std::string& data) override {
      return inner_->SetValue(name, type, data);
    }
    uint32_t DeleteValue(const std::u16string& name) override { return inner_->DeleteValue(name); }
    uint32_t DeleteSubKey(const std::u16string& name) override { return inner_->DeleteSubKey(name); }

   private:
    DeletingRegistry& owner_;
    std::unique_ptr<platform::RegistryKey> inner_;
  };

  const platform::RegistryRoot root_;
  const std::u16string doomed_;
  const std::u16string leaf_;
  platform::ScopedFacility<platform::Registry> use_;
};

// ---- the fixture ----

class FaultMatrix : public test::SettingsTest, public ::testing::WithParamInterface<Fault> {
 protected:
  FaultMatrix() {
    EXPECT_TRUE(CXSocket::Startup());
    // An earlier snapshot waits for download in every cell.
    MakeSnapshot(1);
    LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(peer_.port())), "SnapshotCnt:1",
                   "SavedSnapshots:1"}));
    test::WriteFileBytes(tree_ / u"a.txt", "a");
    platform::FileSystem::Real().CreateFolder(tree_ / u"kept");
    platform::FileSystem::Real().CreateFolder(tree_ / u"doomed");
    for (const char16_t* name : {u"doomed\\1.txt", u"doomed\\2.txt", u"doomed\\3.txt"}) {
      test::WriteFileBytes(tree_ / name, "x");
    }
    pe_ = test::ReadFileBytes(test::PeFixture("full.exe"));
    if (!pe_.empty()) test::WriteFileBytes(tree_ / u"tool.exe", pe_);
    std::unique_ptr<platform::RegistryKey> doomed;
    EXPECT_EQ(scratch_.key().CreateSubKey(u"Doomed", platform::kRegOptionNone, &doomed), platform::kErrorSuccess);
    EXPECT_EQ(doomed->SetValue(u"v", platform::kRegDword, platform::RegDwordData(1)), platform::kErrorSuccess);
    EXPECT_TRUE(scratch_.Create(u"Doomed\\Below"));
    EXPECT_TRUE(scratch_.Create(u"Kept"));
  }
  void SetUp() override {
    client_ = std::make_unique<CXClient>(settings_, test::FastTiming());
    ASSERT_EQ(client_->StartConnectionThread(), 1);
  }
  // The agent ends before the faulty facilities go: it may be using them.
  ~FaultMatrix() override {
    if (client_ != nullptr) client_->StopClient();
  }

  std::u16string KeyPath() const { return u"HKEY_CURRENT_USER\\" + scratch_.path() + u"\\"; }

  // Puts the cell's fault in place; false when this build cannot have it.
  bool Arm(const Fault& f) {
    switch (f.kind) {
      case Kind::kFullDisk:
      case Kind::kSettingsUnwritable:
      case Kind::kSpoolFull:
        // The agent's thread runs already: which files are faulty is set
        // before the facility is in place.
        if (f.kind == Kind::kSpoolFull) CXPayloadSpool::set_part_size(kMatrixPart);
        files_ = std::make_unique<test::FaultyFiles>(
            f.kind == Kind::kFullDisk ? u".snp" : f.kind == Kind::kSpoolFull ? u".part" : u".ini.tmp",
            platform::kOpenWrite | platform::kOpenCreate);
        files_->fail_from_write = f.n;
        if (f.kind == Kind::kSettingsUnwritable) files_->failing_writes = 1;
        return true;
      case Kind::kStoppedAtPart:
        CXPayloadSpool::set_part_size(kMatrixPart);
        part_stop_ = std::make_unique<PartStop>(f.n);
        return true;
      case Kind::kDataFolderRemoved:
        removal_ = std::make_unique<DataFolderRemoval>(tree_.path());
        return true;
      case Kind::kFolderVanishes:
        vanishing_ = std::make_unique<VanishingFolder>(tree_ / u"doomed\\");
        return true;
      case Kind::kVersionCut:
        if (pe_.empty()) return false;
        versions_ = std::make_unique<CuttingVersions>(u"tool.exe");
        return true;
      case Kind::kKeyDeleted:
        registry_ = std::make_unique<DeletingRegistry>(scratch_.root(), scratch_.path() + u"\\Doomed", u"Doomed");
        return true;
      case Kind::kLinkClosed:
        return true;
    }
    return false;
  }
  // The fault passes; its facility stays in place (passing every call on)
  // while the agent may be inside it.
  void Disarm() {
    if (files_ != nullptr) files_->fail_from_write = 0;
    if (removal_ != nullptr) removal_->armed = false;
    if (vanishing_ != nullptr) vanishing_->armed = false;
    if (versions_ != nullptr) versions_->armed = false;
    if (registry_ != nullptr) registry_->armed = false;
    if (part_stop_ != nullptr) {
      part_stop_->armed = false;
      part_stop_->released = true;
    }
    CXPayloadSpool::set_part_size(CXPayloadSpool::kPart);
  }

  // Serves the agent's next connection as a console that closes the link
  // after `cut` frames (0: none; -1: after the whole session).
  Seen Session(int cut) {
    Seen s;
    peer_.Serve([&](test::TestPeer& p) {
      if (cut == 0) return;
      auto more = [&] { return ++s.frames != cut; };
      CXMessage m;
      if (!p.RecvMessage(&m) || !m.IsNamed("hello") || !more()) return;
      m.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 1);
      if (!p.SendMessage(m) || !more()) return;
      if (!p.RecvMessage(&m) || !m.IsNamed("info")) return;
      s.saved_uids = m.GetString("saved-uids");
      s.files_at_info = SnapshotFiles();
      s.log_at_info = LogText().size();
      if (!more()) return;
      m.Init("set-scan").AddList("file", {tree_.path()}).AddList("regs", {KeyPath()}).AddList("apps", {});
      m.AddInt("add-ver-inf", 1).AddInt("full", 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "matrix");
      if (!p.SendMessage(m) || !more() || !Reply(p, "set-scan", &m) || !more()) return;
      m.Init("scan").AddInt("default", 1).AddString("snap-name", "");
      if (!p.SendMessage(m) || !more() || !Reply(p, "scan", &m)) return;
      s.scan_ok = m.GetInt("ok");
      if (part_stop_ != nullptr && part_stop_->armed &&
          test::WaitUntil([this] { return part_stop_->reached.load() || client_->scanning() == 0; }, kWaitMs) &&
          part_stop_->reached) {
        // The job waits in part n: the console stops the scan, which then lets it go on.
        m.Init("stop-scan");
        const bool sent = p.SendMessage(m);
        part_stop_->released = true;
        if (!sent || !Reply(p, "stop-scan", &m)) return;
        s.stopped = m.GetInt("ok") == 1;
        m.Init("get-dir").AddString("path", N(tree_.path()));
        if (!p.SendMessage(m) || !Reply(p, "get-dir", &m)) return;
        std::vector<std::u16string> listing;
        s.complete = m.GetList("path", &listing) && !listing.empty();
        return;
      }
      if (!more() || !Reply(p, "scan-done", &m)) return;
      s.done_ok = m.GetInt("ok");
      s.done_id = m.GetInt("id-snapshot");
      s.done_msg = m.GetString("msg");
      if (!more()) return;
      if (s.done_ok == 1) {
        m.Init("down-snap").AddInt("id-snapshot", s.done_id);
        if (!p.SendMessage(m) || !more() || !Reply(p, "down-snap", &m) || !more()) return;
        for (;;) {
          if (!Reply(p, "down-block", &m)) return;
          s.download.append(reinterpret_cast<const char*>(m.Payload()), static_cast<size_t>(m.PayloadSize()));
          const bool last = m.GetInt("done") != 0;
          if (!more()) return;
          if (last) break;
        }
        m.Init("down-ack").AddInt("id-snapshot", s.done_id);
        if (!p.SendMessage(m) || !more()) return;
      }
      m.Init("get-dir").AddString("path", N(tree_.path()));
      if (!p.SendMessage(m) || !more() || !Reply(p, "get-dir", &m)) return;
      std::vector<std::u16string> listing;
      s.complete = m.GetList("path", &listing) && !listing.empty();
    });
    peer_.Join();
    peer_.CloseConnection();
    return s;
  }

  // The next frame named `name`; a "scan-done" of an earlier session that
  // the agent kept for this greeting may come first.
  static bool Reply(test::TestPeer& p, const char* name, CXMessage* m) {
    for (;;) {
      if (!p.RecvMessage(m)) return false;
      if (m->IsNamed(name)) return true;
      if (!m->IsNamed("scan-done")) return false;
    }
  }

  // The snapshot files in the data folder, as the catalog would list them.
  static std::string SnapshotFiles() {
    std::set<int> numbers;
    platform::FindData entry;
    if (auto search = platform::FileSystem::Real().FindFirst(DataFolder() + u"*.snp", &entry)) {
      do {
        numbers.insert(static_cast<int>(DecimalValue(N(entry.name).substr(8))));
      } while (search->Next(&entry));
    }
    std::string text;
    for (int n : numbers) text += (text.empty() ? "" : ",") + Format("%d", n);
    return text;
  }
  // Files in the program and data folders that are neither snapshots,
  // settings nor the log: what a failed write or save left behind.
  std::string Leftovers() const {
    std::string found;
    for (const std::u16string& folder : {dir_.path(), DataFolder()}) {
      platform::FindData entry;
      if (auto search = platform::FileSystem::Real().FindFirst(folder + u"*", &entry)) {
        do {
          const std::string name = N(entry.name);
          if ((entry.attributes & platform::kAttrDirectory) != 0 || EndsWithFolded(entry.name, u".snp") ||
              name == "OrvalinthSrv.ini" || name.rfind("OrvalinthSrv.log", 0) == 0) {
            continue;
          }
          found += name + " ";
        } while (search->Next(&entry));
      }
    }
    return found;
  }

  // The log entries (a time-stamped line with the lines that go on from it)
  // written between the sizes `from` and `to` that contain `part`.
  static int Entries(size_t from, size_t to, const std::string& part) {
    const std::string all = LogText();
    const std::string log = all.substr(std::min(from, all.size()), to - std::min(from, to));
    int count = 0;
    std::string entry;
    // Paths are spelled as the scan stored them (the drive letter in lower case).
    auto close = [&] { count += FoldedAZ(entry).find(FoldedAZ(part)) != std::string::npos ? 1 : 0; };
    for (size_t at = 0; at < log.size();) {
      size_t end = log.find('\n', at);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(at, end - at);
      if (line.size() > 20 && line[4] == '-' && line[13] == ':') {
        close();
        entry.clear();
      }
      entry += line + "\n";
      at = end + 1;
    }
    close();
    return count;
  }

  // What every cell must find once the fault has passed: `told` the text of
  // the one log entry that says what happened (empty: no error entry at all).
  void ExpectRecovered(size_t log_mark, const std::string& told) {
    ASSERT_TRUE(test::WaitUntil([this] { return client_->scanning() == 0; }, kWaitMs));
    EXPECT_GT(client_->running_threads(), 0) << "the agent gave up";
    EXPECT_EQ(client_->stop_requested(), 0);

    const Seen next = Session(-1);
    EXPECT_TRUE(next.complete) << "the next session stopped after frame " << next.frames;
    EXPECT_EQ(next.saved_uids, next.files_at_info) << "the console is offered what is not there, or not what is";
    // What the agent logged up to the next greeting: the faulty session and
    // the drop that ended it.
    const std::string log = LogText().substr(log_mark, next.log_at_info - std::min(log_mark, next.log_at_info));
    if (told.empty()) {
      EXPECT_EQ(Entries(log_mark, next.log_at_info, "Error: "), 0) << log;
    } else {
      EXPECT_EQ(Entries(log_mark, next.log_at_info, told), 1) << "not once: " << told << "\n" << log;
    }
    EXPECT_EQ(next.scan_ok, 1);
    EXPECT_EQ(next.done_ok, 1) << next.done_msg;
    test::TempFolder fetched;
    test::WriteFileBytes(fetched / u"s.snp", next.download);
    CXSnapshotReader reader;
    SXReadSnapshot snapshot;
    EXPECT_EQ(reader.ReadFile(fetched / u"s.snp", &snapshot), 1) << reader.fault().message;

    EXPECT_EQ(Leftovers(), "");
    EXPECT_EQ(SnapshotFiles(), settings_.saved_snapshots());
    CXClientSettings on_disk;
    ASSERT_EQ(on_disk.Load(Ini()), 1);
    EXPECT_EQ(on_disk.saved_snapshots(), settings_.saved_snapshots());
    EXPECT_EQ(on_disk.snapshot_count(), settings_.snapshot_count());
  }

  test::TestPeer peer_;
  test::TempFolder tree_;
  test::ScratchKey scratch_;
  std::string pe_;
  std::unique_ptr<CXClient> client_;
  std::unique_ptr<test::FaultyFiles> files_;
  std::unique_ptr<DataFolderRemoval> removal_;
  std::unique_ptr<VanishingFolder> vanishing_;
  std::unique_ptr<CuttingVersions> versions_;
  std::unique_ptr<DeletingRegistry> registry_;
  std::unique_ptr<PartStop> part_stop_;
};

TEST_P(FaultMatrix, TheAgentCarriesOnAndLeavesNoTrace) {
  const Fault f = GetParam();
  if (!Arm(f)) GTEST_SKIP() << "PE fixtures not built (scripts/setup)";
  const size_t mark = LogText().size();
  const Seen seen = Session(f.kind == Kind::kLinkClosed ? f.n : -1);
  const bool data_folder_removed = removal_ != nullptr && removal_->removed();
  const int snapshot_writes = files_ != nullptr ? files_->writes.load() : 0;
  const int parts = part_stop_ != nullptr ? part_stop_->writes.load() : 0;
  Disarm();

  std::string told;
  switch (f.kind) {
    case Kind::kFullDisk:
      // Whole only when the recording never came to write n.
      if (seen.done_ok == 1) {
        EXPECT_LT(snapshot_writes, f.n) << "write " << f.n << " failed, yet the snapshot was reported whole";
      } else {
        EXPECT_NE(seen.done_msg.find("[error:112]"), std::string::npos) << seen.done_msg;
        told = "Error: " + seen.done_msg.substr(0, seen.done_msg.find('\n'));
      }
      if (f.n > kMostWrites) {
        EXPECT_EQ(seen.done_ok, 1) << "a recording takes more than " << kMostWrites << " writes: " << seen.done_msg;
      }
      break;
    case Kind::kDataFolderRemoved:
      if (test::running_under_wine()) {
        // Windows keeps a folder that holds an open file: the removal takes
        // the earlier snapshot and leaves the folder and the recording, which
        // completes; the next greeting finds the snapshot gone.
        EXPECT_FALSE(data_folder_removed);
        EXPECT_EQ(seen.done_ok, 1) << seen.done_msg;
        told = "Error: snapshot 1 is missing";
      } else {
        EXPECT_TRUE(data_folder_removed);
        EXPECT_EQ(seen.done_ok, 0);
        told = "Error: Cannot find file";
      }
      break;
    case Kind::kSettingsUnwritable:
      EXPECT_EQ(seen.done_ok, 1) << seen.done_msg;
      told = "Error: cannot save settings";
      break;
    case Kind::kFolderVanishes:
      EXPECT_EQ(seen.done_ok, 1) << seen.done_msg;
      // What was listed stays, with the error on the folder.
      EXPECT_EQ(RecordedError(seen.download, kReadFiles, u"doomed"), 3);
      told = "Error: cannot read folder [" + N(tree_ / u"doomed\\") + "] [error:3]";
      break;
    case Kind::kVersionCut:
      EXPECT_EQ(seen.done_ok, 1) << seen.done_msg;
      told = "Error: cannot read version information [" + N(tree_ / u"tool.exe") + "]";
      break;
    case Kind::kKeyDeleted:
      EXPECT_EQ(seen.done_ok, 1) << seen.done_msg;
      // It opened: what was read stays, without an error (which would say
      // that it could not be opened).
      EXPECT_EQ(RecordedError(seen.download, kReadRegistry, u"Doomed"), 0);
      told = "Error: cannot read registry key [" + N(KeyPath()) + "Doomed\\] [error:1018]";
      break;
    case Kind::kSpoolFull:
      // Whole only when the recording never came to write part n.
      if (seen.done_ok == 1) {
        EXPECT_LT(snapshot_writes, f.n) << "part " << f.n << " failed, yet the snapshot was reported whole";
      } else {
        EXPECT_NE(seen.done_msg.find(".part] [error:112]"), std::string::npos) << seen.done_msg;
        told = "Error: " + seen.done_msg.substr(0, seen.done_msg.find('\n'));
      }
      if (f.n > kMostParts) {
        EXPECT_EQ(seen.done_ok, 1) << "a recording writes more than " << kMostParts << " parts";
      }
      break;
    case Kind::kStoppedAtPart:
      // Stopped while part n was written (when it came to n): nothing recorded.
      if (parts >= f.n) {
        EXPECT_TRUE(seen.stopped);
        EXPECT_EQ(seen.done_ok, -1) << "no scan-done after a stop";
      }
      if (f.n > kMostParts) {
        EXPECT_LT(parts, f.n) << "a recording writes more than " << kMostParts << " parts";
      }
      break;
    case Kind::kLinkClosed:
      EXPECT_EQ(seen.frames, f.n);
      // "connection closed", "connection error" when the agent was sending,
      // "download of snapshot <n> broke off: connection lost" when a block
      // could not go; an error while it greets.
      told = "connection ";
      break;
  }
  if (f.kind != Kind::kLinkClosed) {
    EXPECT_TRUE(seen.complete) << "stopped after frame " << seen.frames;
  }
  ExpectRecovered(mark, told);
}

std::vector<Fault> Cells(Kind kind, int first, int last) {
  std::vector<Fault> cells;
  for (int n = first; n <= last; ++n) cells.push_back({kind, n});
  return cells;
}

INSTANTIATE_TEST_SUITE_P(FullDisk, FaultMatrix, ::testing::ValuesIn(Cells(Kind::kFullDisk, 1, kMostWrites + 1)), CellName);
INSTANTIATE_TEST_SUITE_P(SettingsUnwritable, FaultMatrix, ::testing::ValuesIn(Cells(Kind::kSettingsUnwritable, 1, kSaves)),
                         CellName);
INSTANTIATE_TEST_SUITE_P(SpoolFull, FaultMatrix, ::testing::ValuesIn(Cells(Kind::kSpoolFull, 1, kMostParts + 1)),
                         CellName);
INSTANTIATE_TEST_SUITE_P(StoppedAtPart, FaultMatrix,
                         ::testing::ValuesIn(Cells(Kind::kStoppedAtPart, 1, kMostParts + 1)), CellName);
INSTANTIATE_TEST_SUITE_P(LinkClosed, FaultMatrix, ::testing::ValuesIn(Cells(Kind::kLinkClosed, 0, kFrames - 1)),
                         CellName);
INSTANTIATE_TEST_SUITE_P(Scan, FaultMatrix,
                         ::testing::Values(Fault{Kind::kDataFolderRemoved, 0}, Fault{Kind::kFolderVanishes, 0},
                                           Fault{Kind::kVersionCut, 0}, Fault{Kind::kKeyDeleted, 0}),
                         CellName);

}  // namespace
}  // namespace orvalinth
