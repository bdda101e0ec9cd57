// The agent's answers to the console's commands, over the link: browsing,
// the computer id, the scan settings, upgrade and uninstall, and what "info"
// tells after an upgrade or a crash.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/app_version.h"
#include "base/strings.h"
#include "host/application.h"
#include "host_links.h"
#include "link/agent_fixture.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "recording_process.h"
#include "registry_scratch.h"
#include "tests/platform/pe_fixtures.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::Greet;
using test::ReadFileBytes;
using test::SendCommand;
using test::TestPeer;
using test::ToHex;
using test::W;
using Listing = std::vector<std::u16string>;

const std::u16string kArrow = u" \u25BA ";

Listing Sorted(Listing listing) {
  std::sort(listing.begin(), listing.end());
  return listing;
}

// Sends `request` and receives the reply into it.
bool Ask(TestPeer& p, CXMessage* request) { return p.SendMessage(*request) && p.RecvMessage(request); }

class FakeVolumes final : public platform::Volumes {
 public:
  uint32_t LogicalDrives() override { return 1u << 0 | 1u << 2 | 1u << 25; }
  uint32_t DriveType(char letter) override {
    switch (letter) {
      case 'a': return platform::kDriveRemovable;
      case 'c': return platform::kDriveFixed;
      case 'z': return platform::kDriveRemote;
      default: return platform::kDriveNoRootDir;
    }
  }
};

using Dispatcher = AgentTest;

TEST_F(Dispatcher, GetDiskListsEachDriveWithItsFixedDiskDigit) {
  FakeVolumes volumes;
  platform::ScopedFacility<platform::Volumes> use(volumes);
  std::string reply;
  RunConsole([&](TestPeer& p) {
    if (Greet(p) && SendCommand(p, "get-disk")) p.RecvFrame(&reply);
  });
  EXPECT_EQ(ToHex(reply), ToHex(std::string("get-disk\xFE" "disk\xFE" "a0c1z0")));
}

TEST_F(Dispatcher, GetDirListsFoldersBranchesAndLinks) {
  test::HostTmpFolder dir;
  platform::FileSystem& fs = platform::FileSystem::Real();
  ASSERT_TRUE(fs.CreateFolder(dir / u"Caf\u00E9"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Branch"));
  ASSERT_TRUE(fs.CreateFolder(dir / u"Branch\\Sub"));
  ASSERT_TRUE(dir.Link(dir.host_path() + "Branch", "Linked"));
  CXMessage request;
  RunConsole([&](TestPeer& p) {
    request.Init("get-dir").AddString("path", EncodeUtf8(dir.path()));
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_TRUE(request.IsNamed("get-dir"));
  Listing listing;
  ASSERT_TRUE(request.GetList("path", &listing));
  // Wine cannot read where a host link leads (see the browsing tests).
  const std::u16string target = test::running_under_wine() ? u"" : dir.path() + u"Branch";
  EXPECT_EQ(Sorted(listing), Sorted({u"0Caf\u00E9", u"1Branch", u"2Linked" + kArrow + target}));
}

TEST_F(Dispatcher, GetRegIsAnsweredAsGetDirWithKeysAndLinkTargets) {
  test::ScratchKey scratch;
  ASSERT_TRUE(scratch.Create(u"Branch\\Child"));
  ASSERT_TRUE(scratch.Create(u"Leaf"));
  ASSERT_TRUE(scratch.CreateLink(u"Link", u"\\Registry\\Machine\\System\\ControlSet001"));
  CXMessage request;
  RunConsole([&](TestPeer& p) {
    request.Init("get-reg").AddString("path", EncodeUtf8(u"HKEY_CURRENT_USER\\" + scratch.path()));
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.Name(), "get-dir");
  Listing listing;
  ASSERT_TRUE(request.GetList("path", &listing));
  EXPECT_EQ(listing, (Listing{u"1Branch", u"0Leaf", u"2Link" + kArrow + u"HKEY_LOCAL_MACHINE\\System\\ControlSet001"}));
}

TEST_F(Dispatcher, SetUidIsSavedWithoutAReply) {
  CXMessage next;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    CXMessage uid;
    uid.Init("set-uid").AddInt("id", 77);
    p.SendMessage(uid);
    SendCommand(p, "get-disk");
    p.RecvMessage(&next);
  });
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
  EXPECT_NE(ReadFileBytes(Ini()).find("ComputerID:77"), std::string::npos);
}

TEST_F(Dispatcher, GetScanGivesTheTargetsAndFillsTheSnapshotTitle) {
  WriteSettings(Text({"SnapshotCnt:4", "ScanAll:0", "AddExeVerInfo:1", "Registry:", "HKEY_USERS\\", "",
                      "Files:", "C:\\Data\\", "D:\\", "", "Applications:", "*", ""}));
  CXMessage request;
  RunConsole([&](TestPeer& p) {
    request.Init("get-scan");
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.keys(),
            (std::vector<std::string>{"full", "add-ver-inf", "show-rem-dsk", "snap-name", "regs", "file", "apps"}));
  EXPECT_EQ(request.GetInt("full"), 0);
  EXPECT_EQ(request.GetInt("add-ver-inf"), 1);
  EXPECT_EQ(request.GetString("snap-name"), "PC-01 - snapshot #5");
  Listing regs, files, apps;
  request.GetList("regs", &regs);
  request.GetList("file", &files);
  request.GetList("apps", &apps);
  EXPECT_EQ(regs, Listing{u"HKEY_USERS\\"});
  EXPECT_EQ(files, (Listing{u"C:\\Data\\", u"D:\\"}));
  EXPECT_EQ(apps, Listing{u"*"});
}

// FF is a character of the ANSI code page (y with diaeresis): inside a name
// or a title it arrives as it is; only a leading one would read as a list.
TEST_F(Dispatcher, ANameAndATitleWithFFInsideArriveUnchanged) {
  system_.computer_name = "J\xFFRGEN-PC";
  WriteSettings(Text({"SnapshotName:Caf\xFF weekly"}));
  CXMessage info, request;
  RunConsole([&](TestPeer& p) {
    request.Init("get-scan");
    if (Greet(p, &info)) Ask(p, &request);
  });
  EXPECT_EQ(ToHex(info.GetString("name")), ToHex("J\xFFRGEN-PC"));
  EXPECT_EQ(ToHex(request.GetString("snap-name")), ToHex("Caf\xFF weekly"));
}

void SetScanRequest(CXMessage* m, const char* name, Listing files) {
  m->Init(name)
      .AddInt("default", 0)
      .AddList("file", files)
      .AddList("regs", {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\"})
      .AddList("apps", {u"*"})
      .AddInt("add-ver-inf", 1)
      .AddInt("full", 0)
      .AddInt("show-rem-dsk", 1)
      .AddString("snap-name", "Weekly");
}

TEST_F(Dispatcher, SetScanTakesTheTargetsAndSavesThem) {
  CXMessage request;
  SetScanRequest(&request, "set-scan", {u"C:\\Data\\", u"", u"-C:\\Data\\Temp\\"});
  RunConsole([&](TestPeer& p) {
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.Name(), "set-scan");
  EXPECT_EQ(request.keys(), (std::vector<std::string>{"ok", "scan-targets"}));
  EXPECT_EQ(request.GetInt("ok"), 1);
  EXPECT_EQ(request.GetString("scan-targets"), "files part.+ver, regs part., all apps");
  // The empty entry is left out; the exclusion is kept.
  EXPECT_EQ(ReadFileBytes(Ini()),
            Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", peer_.port()), "ComputerID:0", "SnapshotCnt:0",
                  "SnapshotName:Weekly", "SavedSnapshots:", "ScanAll:0", "ShowRemDsk:1", "AddExeVerInfo:1",
                  "Registry:", "HKEY_LOCAL_MACHINE\\SOFTWARE\\", "", "Files:", "C:\\Data\\", "-C:\\Data\\Temp\\", "",
                  "Applications:", "*", ""}));
}

TEST_F(Dispatcher, SetScanRefusesATargetThatWouldReadBackAsASetting) {
  const std::string before = ReadFileBytes(Ini());
  MarkLog();
  CXMessage request;
  SetScanRequest(&request, "set-scan", {u"C:\\Data\\", u"ServerAddr:console.example"});
  RunConsole([&](TestPeer& p) {
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.keys(), (std::vector<std::string>{"ok", "scan-targets"}));
  EXPECT_EQ(request.GetInt("ok"), 0);
  EXPECT_EQ(request.GetString("scan-targets"), "full") << "the targets in force";
  EXPECT_EQ(ReadFileBytes(Ini()), before);
  EXPECT_EQ(settings_.server_address(), "127.0.0.1");
  EXPECT_EQ(Count(LogSinceMark(), "Error: cannot store scan target [ServerAddr:console.example]"), 1);
}

TEST_F(Dispatcher, ScanWithDefaultTakesOnlyTheNameAndAnswersWhyNoRecordingStarted) {
  RefuseRecordings("no recording in this test");
  CXMessage request;
  RunConsole([&](TestPeer& p) {
    request.Init("scan").AddInt("default", 1).AddString("snap-name", "Nightly");
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.Name(), "scan");
  EXPECT_EQ(request.keys(), (std::vector<std::string>{"ok", "msg"}));
  EXPECT_EQ(request.GetInt("ok"), 0);
  EXPECT_EQ(request.GetString("msg"), "no recording in this test");
  EXPECT_EQ(settings_.snapshot_name(), "Nightly");
  EXPECT_EQ(ReadFileBytes(Ini()).find("Nightly"), std::string::npos) << "the name is not saved";
}

TEST_F(Dispatcher, ScanWithoutDefaultSavesTheTargetsFirst) {
  RefuseRecordings("no recording in this test");
  CXMessage request;
  SetScanRequest(&request, "scan", {u"E:\\"});
  RunConsole([&](TestPeer& p) {
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.GetInt("ok"), 0);
  const std::string file = ReadFileBytes(Ini());
  EXPECT_NE(file.find("E:\\"), std::string::npos);
  EXPECT_NE(file.find("ShowRemDsk:0"), std::string::npos) << "\"scan\" leaves the removable-disk flag as it is";
}

TEST_F(Dispatcher, AnUpgradeThatCannotBeWrittenIsRefusedWithItsReason) {
  // A folder where the upgrade copy goes; should the copy be written anyway,
  // the hand-over is only recorded.
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(UpgradeCopyPath()));
  test::RecordingProcess process;
  platform::ScopedFacility<platform::Process> use(process);
  CXMessage request;
  RunConsole([&](TestPeer& p) {
    request.Init("upgd-cli");
    std::memcpy(request.ReservePayload(4), "MZ\x90\x00", 4);
    request.SetPayloadSize(4);
    if (Greet(p)) Ask(p, &request);
  });
  EXPECT_EQ(request.Name(), "upgd-cli");
  EXPECT_EQ(request.GetInt("ok"), 0);
  EXPECT_EQ(request.GetString("msg"), "cannot create file " + Narrow(UpgradeCopyPath()));
  EXPECT_TRUE(process.starts.empty());
}

// The names in the program folder and its data folder.
std::vector<std::u16string> FilesIn(const std::u16string& folder) {
  std::vector<std::u16string> names;
  platform::FindData entry;
  for (const std::u16string& part : {folder, folder + u"data\\"}) {
    if (auto search = platform::FileSystem::Get().FindFirst(part + u"*", &entry)) {
      do {
        names.push_back(part + entry.name);
      } while (search->Next(&entry));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// With "UpgradeSigner:" set an unsigned executable is refused with the
// reason; the link stays up, nothing is written and the snapshots stay.
TEST_F(Dispatcher, AnUnsignedUpgradeIsRefusedWhenASignerIsRequired) {
  SKIP_WITHOUT_PE_FIXTURES();
  const std::string unsigned_exe = ReadFileBytes(test::PeFixture("full.exe"));
  MakeSnapshot(1);
  MakeSnapshot(2);
  WriteSettings(Text({"SnapshotCnt:2", "SavedSnapshots:1,2", "UpgradeSigner:" ORVALINTH_TEST_PIN_RSA}));
  ASSERT_EQ(settings_.saved_snapshots(), "1,2");
  test::RecordingProcess process;
  platform::ScopedFacility<platform::Process> use(process);
  const std::vector<std::u16string> before = FilesIn(dir_.path());
  MarkLog();
  CXMessage request, next;
  RunConsole([&](TestPeer& p) {
    request.Init("upgd-cli");
    const int32_t size = static_cast<int32_t>(unsigned_exe.size());
    std::memcpy(request.ReservePayload(size), unsigned_exe.data(), unsigned_exe.size());
    request.SetPayloadSize(size);
    if (Greet(p) && Ask(p, &request)) {
      next.Init("get-disk");
      Ask(p, &next);
    }
  });
  EXPECT_EQ(request.Name(), "upgd-cli");
  EXPECT_EQ(request.GetInt("ok"), 0);
  EXPECT_EQ(request.GetString("msg"), "upgrade refused - the executable is not signed");
  EXPECT_TRUE(next.IsNamed("get-disk")) << "the link stays up";
  EXPECT_TRUE(process.starts.empty());
  EXPECT_EQ(Count(LogSinceMark(), "Error: upgrade refused - the executable is not signed"), 1);
  // The log is the only file that may have grown.
  EXPECT_EQ(FilesIn(dir_.path()), before);
  EXPECT_TRUE(SnapshotExists(1) && SnapshotExists(2));
  EXPECT_EQ(settings_.saved_snapshots(), "1,2");
}

std::atomic<int> g_stop_requests{0};

TEST_F(Dispatcher, UninstallAsksTheServiceToStopWithoutAReply) {
  SetStopRequestHandler([] { g_stop_requests.fetch_add(1); });
  g_stop_requests.store(0);
  CXMessage next;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    SendCommand(p, "uninstall");
    SendCommand(p, "get-disk");
    p.RecvMessage(&next);
  });
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
  EXPECT_EQ(g_uninstall_requested.exchange(0), 1);
  EXPECT_EQ(g_stop_requests.load(), 1);
  SetStopRequestHandler(nullptr);
}

// The crash handler's report: UTF-16LE with FF FE and CR LF line ends.
std::string Utf16Report(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST_F(Dispatcher, InfoCarriesTheCrashReportAsUtf8Once) {
  const std::u16string report = u"Orvalinth service v2.10 x64\r\nC:\\Programme\\Orvalinth\u00E9\\OrvalinthSrv.exe\r\n"
                                u"exception at 00007FF6A1B2C3D4 - C0000005 3.20/15.90\r\n.\r\n\r\n";
  test::WriteFileBytes(CrashCopyPath(), Utf16Report(report));
  CXMessage first, second;
  StartAgent();
  std::atomic<bool> dropped{false};
  peer_.Serve([&](TestPeer& p) {
    Greet(p, &first);
    p.CloseConnection();
    dropped.store(true);
  });
  ASSERT_TRUE(test::WaitFor(dropped));
  peer_.Join();
  FinishWith([&](TestPeer& p) { Greet(p, &second); });
  EXPECT_EQ(first.keys().back(), "crash");
  EXPECT_EQ(first.GetString("crash"), EncodeUtf8(report));
  EXPECT_FALSE(test::FileExists(CrashCopyPath()));
  EXPECT_NE(second.keys().back(), "crash") << "a report is sent once";
}

TEST_F(Dispatcher, InfoAfterAnUpgradeTellsWhetherTheVersionChanged) {
  const struct {
    const char* old_version_line;  // none: no upgrade recorded
    int upgrade_ok;
  } cases[] = {{"OldVer:5", 1}, {"OldVer:6", 0}, {nullptr, 1}};
  for (const auto& c : cases) {
    WriteSettings(c.old_version_line != nullptr ? Text({c.old_version_line}) : std::string());
    if (c.old_version_line == nullptr) settings_.set_old_version(CXClientSettings::kNoOldVersion);
    test::WriteFileBytes(UpgradeCopyPath(), "MZ new executable");
    MarkLog();
    CXMessage info;
    RunConsole([&](TestPeer& p) { Greet(p, &info); });
    EXPECT_EQ(info.keys(), (std::vector<std::string>{"name", "app-ver", "app-bit", "os-bit", "scanning", "id",
                                                     "saved-uids", "scan-targets", "upgraded", "app-ver",
                                                     "upgrade-ok"}));
    EXPECT_EQ(info.values()[8], "1");
    EXPECT_EQ(info.values()[9], Format("%d", APP_VERSION));
    EXPECT_EQ(info.GetInt("upgrade-ok"), c.upgrade_ok) << (c.old_version_line ? c.old_version_line : "none");
    EXPECT_FALSE(test::FileExists(UpgradeCopyPath())) << "the copy goes once \"info\" is sent";
    EXPECT_EQ(Count(LogSinceMark(), "Error: upgrade failed - file version is the same"), 1 - c.upgrade_ok);
  }
}

}  // namespace
}  // namespace orvalinth
