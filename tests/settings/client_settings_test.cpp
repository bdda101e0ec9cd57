#include "settings/client_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "base/strings.h"
#include "fakes/faulty_files.h"
#include "platform/errors.h"
#include "settings/saved_snapshots.h"
#include "settings_fixture.h"

namespace orvalinth {
namespace {

using test::FileExists;
using test::N;
using test::ReadFileBytes;
using test::WriteFileBytes;
using L = std::vector<std::u16string>;

class ClientSettings : public test::SettingsTest {};

// The example file of the format description.
std::string ExampleFile() {
  return test::SettingsTest::Text({"ServerAddr:localhost", "ServerPort:51000", "ComputerID:0", "SnapshotCnt:2",
                                      "SnapshotName:", "SavedSnapshots:1,2", "ScanAll:0", "ShowRemDsk:0",
                                      "AddExeVerInfo:1", "Registry:", "*", "", "Files:", "C:\\Windows\\", "",
                                      "Applications:", "*", ""});
}

// UTF-16LE bytes with the byte-order mark.
std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST_F(ClientSettings, TextLinesEndAsOnThePlatform) {
#ifdef _WIN32
  EXPECT_EQ(Text({"a"}), "a\r\n");
#else
  EXPECT_EQ(Text({"a"}), "a\n");
#endif
}

TEST_F(ClientSettings, ExampleFileRoundTripsByteForByte) {
  MakeSnapshot(1);
  MakeSnapshot(2);
  LoadText(ExampleFile());
  EXPECT_EQ(settings_.server_address(), "localhost");
  EXPECT_EQ(settings_.server_port(), 51000);
  EXPECT_EQ(settings_.snapshot_count(), 2);
  EXPECT_EQ(settings_.saved_snapshots(), "1,2");
  EXPECT_EQ(settings_.full_scan(), 0);
  EXPECT_EQ(settings_.add_version_info(), 1);
  EXPECT_EQ(settings_.registry_targets(), L{u"*"});
  EXPECT_EQ(settings_.file_targets(), L{u"C:\\Windows\\"});
  EXPECT_EQ(settings_.application_targets(), L{u"*"});
  EXPECT_EQ(settings_.old_version(), -1);
  EXPECT_EQ(settings_.settings_path(), Ini());

  WriteFileBytes(Ini(), "overwritten");
  ASSERT_EQ(settings_.Save(), 1);
  EXPECT_EQ(ReadFileBytes(Ini()), ExampleFile());
  EXPECT_FALSE(FileExists(Ini() + u".tmp"));
}

TEST_F(ClientSettings, SaveWritesKeysInOrderOldVersionAndUtf8Entries) {
  LoadText("");
  settings_.set_server_address("10.0.0.7");
  settings_.set_server_port(6000);
  settings_.set_computer_id(42);
  settings_.set_snapshot_count(9);
  settings_.set_snapshot_name("Before patch");
  settings_.set_saved_snapshots("8,9");
  settings_.set_full_scan(0);
  settings_.set_show_removable_disks(1);
  settings_.set_add_version_info(0);
  settings_.set_old_version(6);
  settings_.set_registry_targets({u"HKEY_LOCAL_MACHINE\\Software\\\u20AC"});
  settings_.set_file_targets({u"C:\\Donn\u00E9es\\", u"D:\\"});
  settings_.set_application_targets({});
  ASSERT_EQ(settings_.Save(), 1);
  EXPECT_EQ(ReadFileBytes(Ini()),
            Text({"ServerAddr:10.0.0.7", "ServerPort:6000", "ComputerID:42", "SnapshotCnt:9",
                  "SnapshotName:Before patch", "SavedSnapshots:8,9", "ScanAll:0", "ShowRemDsk:1", "AddExeVerInfo:0",
                  "OldVer:6", "Registry:", "HKEY_LOCAL_MACHINE\\Software\\\xE2\x82\xAC", "", "Files:",
                  "C:\\Donn\xC3\xA9" "es\\", "D:\\", "", "Applications:", ""}));

  CXClientSettings again;
  ASSERT_EQ(again.Load(Ini()), 1);
  EXPECT_EQ(again.scan_targets(), settings_.scan_targets());
  EXPECT_EQ(again.old_version(), 6);
  EXPECT_EQ(again.snapshot_name(), "Before patch");
}

TEST_F(ClientSettings, TheLinkSecurityKeysAreKeptWithTheirTextAfterTheOthersAndOnlyWhenSet) {
  const std::string pin = "pin1 , pin2=";
  // In another order and case, with blanks: saved in their order, as read.
  LoadText(Text({"upgradesigner:" + pin, "ServerAddr:h", "ServerPIN:  " + pin, "ServerTLS:1", "Registry:", ""}));
  EXPECT_EQ(settings_.server_tls(), std::optional<std::string>("1"));
  EXPECT_EQ(settings_.server_pin(), std::optional<std::string>("  " + pin));
  EXPECT_EQ(settings_.upgrade_signer(), std::optional<std::string>(pin));
  ASSERT_EQ(settings_.Save(), 1);
  EXPECT_EQ(ReadFileBytes(Ini()),
            Text({"ServerAddr:h", "ServerPort:51000", "ComputerID:0", "SnapshotCnt:0", "SnapshotName:",
                  "SavedSnapshots:", "ScanAll:1", "ShowRemDsk:0", "AddExeVerInfo:0", "ServerTLS:1",
                  "ServerPin:  " + pin, "UpgradeSigner:" + pin, "Registry:", "", "Files:", "", "Applications:", ""}));
  // Gone from the file, gone from memory: a reload turns them off.
  LoadText(Text({"ServerTLS:0"}));
  EXPECT_EQ(settings_.server_tls(), std::optional<std::string>("0"));
  EXPECT_FALSE(settings_.server_pin().has_value());
  EXPECT_FALSE(settings_.upgrade_signer().has_value());
  ASSERT_EQ(settings_.Save(), 1);
  EXPECT_NE(ReadFileBytes(Ini()).find("ServerTLS:0"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(Ini()).find("ServerPin:"), std::string::npos);
}

TEST_F(ClientSettings, LowerCaseServerAddrAloneLeavesEverythingElseAtItsDefault) {
  // Fields that loading keeps, and fields that it resets.
  MakeSnapshot(7);
  settings_.set_snapshot_name("kept name");
  settings_.set_saved_snapshots("7");
  settings_.set_old_version(4);
  settings_.set_server_port(1);
  settings_.set_computer_id(5);
  settings_.set_snapshot_count(9);
  settings_.set_scan_targets({{u"*"}, {u"C:\\"}, {u"*"}, 0, 1, 1});
  LoadText(Text({"serveraddr:console.example.org"}));
  EXPECT_EQ(settings_.server_address(), "console.example.org");
  EXPECT_EQ(settings_.server_port(), 51000);
  EXPECT_EQ(settings_.computer_id(), 0);
  EXPECT_EQ(settings_.snapshot_count(), 0);
  EXPECT_EQ(settings_.scan_targets(), SXScanTargets());
  EXPECT_EQ(settings_.full_scan(), 1);
  EXPECT_EQ(settings_.computer_name(), "PC-01");
  EXPECT_EQ(settings_.snapshot_name(), "kept name");
  EXPECT_EQ(settings_.saved_snapshots(), "7");
  EXPECT_EQ(settings_.old_version(), 4);
}

TEST_F(ClientSettings, LinesBeginningWithADashAreCommentsBeforeTheFirstSection) {
  LoadText(Text({"-ServerPort:1234", "- ComputerID:3", "-Files:", "C:\\Windows\\", "ComputerID:8"}));
  EXPECT_EQ(settings_.server_port(), 51000);
  EXPECT_EQ(settings_.computer_id(), 8);
  EXPECT_TRUE(settings_.file_targets().empty());
}

TEST_F(ClientSettings, InASectionADashLineIsAnExclusionThatSetsNoKey) {
  LoadText(Text({"Files:", "C:\\", "-C:\\Windows\\Temp\\", "-ServerPort:1234", ""}));
  EXPECT_EQ(settings_.file_targets(), (L{u"C:\\", u"-C:\\Windows\\Temp\\", u"-ServerPort:1234"}));
  EXPECT_EQ(settings_.server_port(), 51000);
  // Saved and loaded again, the exclusion is still there.
  ASSERT_EQ(settings_.Save(), 1);
  CXClientSettings again;
  ASSERT_EQ(again.Load(Ini()), 1);
  EXPECT_EQ(again.file_targets(), settings_.file_targets());
}

TEST_F(ClientSettings, NoOldVersionIsNotWrittenAndLoadingKeepsTheOneInMemory) {
  LoadText("");
  ASSERT_EQ(settings_.old_version(), -1);
  ASSERT_EQ(settings_.Save(), 1);
  EXPECT_EQ(ReadFileBytes(Ini()).find("OldVer"), std::string::npos);

  CXClientSettings upgraded;
  upgraded.set_old_version(6);
  ASSERT_EQ(upgraded.Load(Ini()), 1);
  EXPECT_EQ(upgraded.old_version(), 6);

  WriteFileBytes(Ini(), Text({"OldVer:3"}));
  ASSERT_EQ(upgraded.Load(Ini()), 1);
  EXPECT_EQ(upgraded.old_version(), 3);
}

TEST_F(ClientSettings, AKeyLineAfterASectionHeaderIsAlsoAnEntry) {
  LoadText(Text({"Files:", "C:\\Data\\", Format("ScanAll:%d", 0)}));
  EXPECT_EQ(settings_.file_targets(), (L{u"C:\\Data\\", u"ScanAll:0"}));
  EXPECT_EQ(settings_.full_scan(), 0);
}

TEST_F(ClientSettings, Utf16FileLoadsKeysNarrowedAndEntriesAsTheyStand) {
  const std::u16string text =
      u"ServerAddr:\u0141x\u00E9\r\nComputerID:12\r\nfiles:\r\nC:\\Donn\u00E9es\\\u0141\r\n";
  LoadText(Utf16File(text));
  // Key values are 8-bit: every unit keeps its low byte (U+0141 gives 0x41).
  EXPECT_EQ(settings_.server_address(), "Ax\xE9");
  EXPECT_EQ(settings_.computer_id(), 12);
  // The entries keep their characters; read through UTF-8 they would not.
  EXPECT_EQ(settings_.file_targets(), L{u"C:\\Donn\u00E9es\\\u0141"});
}

TEST_F(ClientSettings, Utf16UnitsThatNarrowToLineBreaksStayInTheirValue) {
  // U+010A and U+010D narrow to LF and CR: saved as they stand they would
  // split the value into lines of their own, here a second port.
  LoadText(Utf16File(u"ServerAddr:console\u010AServerPort:666\r\nSnapshotName:a\u010Db\r\n"));
  EXPECT_EQ(settings_.server_address(), "console ServerPort:666");
  EXPECT_EQ(settings_.snapshot_name(), "a b");
  ASSERT_EQ(settings_.Save(), 1);
  CXClientSettings reloaded;
  ASSERT_EQ(reloaded.Load(Ini()), 1);
  EXPECT_EQ(reloaded.server_address(), "console ServerPort:666");
  EXPECT_EQ(reloaded.server_port(), CXClientSettings::kDefaultServerPort);
}

TEST_F(ClientSettings, Utf8ByteOrderMarkDoesNotHideTheFirstKey) {
  LoadText("\xEF\xBB\xBF" + Text({"ServerAddr:console", "Files:", "C:\\Donn\xC3\xA9" "es\\"}));
  EXPECT_EQ(settings_.server_address(), "console");
  EXPECT_EQ(settings_.file_targets(), L{u"C:\\Donn\u00E9es\\"});
}

TEST_F(ClientSettings, SavedSnapshotWhoseFileIsGoneIsDroppedWithoutRewritingTheFile) {
  MakeSnapshot(1);
  MakeSnapshot(3);
  const std::string file = Text({"SavedSnapshots:1,2,3"});
  LoadText(file);
  EXPECT_EQ(settings_.saved_snapshots(), "1,3");
  EXPECT_EQ(ReadFileBytes(Ini()), file);
}

TEST_F(ClientSettings, UnreadableFileFailsIsLoggedAndChangesNothing) {
  LoadText(Text({"ServerAddr:console.example.org", "ComputerID:77"}));
  const size_t before = LogText().size();
  EXPECT_EQ(settings_.Load(dir_ / u"missing.ini"), 0);
  const std::string logged = LogText().substr(before);
  EXPECT_NE(logged.find("Error: Cannot open file"), std::string::npos) << logged;
  EXPECT_NE(logged.find("missing.ini"), std::string::npos) << logged;
  EXPECT_FALSE(FileExists(dir_ / u"missing.ini"));
  EXPECT_EQ(settings_.server_address(), "console.example.org");
  EXPECT_EQ(settings_.computer_id(), 77);
  EXPECT_EQ(settings_.settings_path(), Ini());
}

TEST_F(ClientSettings, IntegersAreTheirLeadingDecimalNumber) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"51000", 51000}, {"+12x", 12}, {"-7", -7}, {" 42", 42}, {"x1", 0}, {"", 0}, {"-", 0},
      {"2147483647", std::numeric_limits<int32_t>::max()},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"99999999999", std::numeric_limits<int32_t>::max()},
      {"-99999999999", std::numeric_limits<int32_t>::min()},
  };
  for (const Case& c : cases) EXPECT_EQ(DecimalValue(c.text), c.value) << c.text;

  LoadText(Text({"ServerPort:abc", "ComputerID:-3", "SnapshotCnt:12 snapshots"}));
  EXPECT_EQ(settings_.server_port(), 0);
  EXPECT_EQ(settings_.computer_id(), -3);
  EXPECT_EQ(settings_.snapshot_count(), 12);
}

TEST_F(ClientSettings, LongLinesAreKeptWhole) {
  const std::u16string deep = u"C:\\" + std::u16string(3000, u'd') + u"\\";
  LoadText(Text({"Files:", N(deep)}));
  EXPECT_EQ(settings_.file_targets(), L{deep});
  ASSERT_EQ(settings_.Save(), 1);
  CXClientSettings again;
  ASSERT_EQ(again.Load(Ini()), 1);
  EXPECT_EQ(again.file_targets(), L{deep});
}

TEST_F(ClientSettings, AcceptsLineFeedAndCarriageReturnLineFeedAlike) {
  for (const char* nl : {"\n", "\r\n"}) {
    LoadText(std::string("ComputerID:5") + nl + "Registry:" + nl + "HKEY_USERS" + nl + nl);
    EXPECT_EQ(settings_.computer_id(), 5) << nl;
    EXPECT_EQ(settings_.registry_targets(), L{u"HKEY_USERS"}) << nl;
  }
}

TEST_F(ClientSettings, ComputerNameOrNoname) {
  LoadText("");
  EXPECT_EQ(settings_.computer_name(), "PC-01");
  system_.names_known = false;
  LoadText("");
  EXPECT_EQ(settings_.computer_name(), "<noname>");
}

TEST_F(ClientSettings, SaveFailsWhenTheFolderIsGone) {
  const std::u16string folder = dir_ / u"gone";
  ASSERT_TRUE(platform::FileSystem::Get().CreateFolder(folder));
  WriteFileBytes(folder + u"\\OrvalinthSrv.ini", "");
  ASSERT_EQ(settings_.Load(folder + u"\\OrvalinthSrv.ini"), 1);
  test::RemoveTree(folder);
  const size_t before = LogText().size();
  EXPECT_EQ(settings_.Save(), 0);
  EXPECT_EQ(LogText().size(), before);  // the caller decides what to log
  EXPECT_EQ(CXClientSettings().Save(), 0);                     // never loaded: nowhere to write
}

TEST_F(ClientSettings, AFailedWriteLeavesTheOldFileWhole) {
  LoadText(ExampleFile());
  settings_.set_computer_id(99);
  test::FaultyFiles disk;  // the temporary file cannot be written
  disk.only_suffix = u".tmp";
  disk.fail_from_write = 1;
  EXPECT_EQ(settings_.Save(), 0);
  EXPECT_EQ(ReadFileBytes(Ini()), ExampleFile());
  EXPECT_FALSE(FileExists(Ini() + u".tmp"));
}

TEST_F(ClientSettings, WritesInPlaceWhenTheFileCannotBeReplaced) {
  LoadText(ExampleFile());
  settings_.set_computer_id(99);
  test::FaultyFiles no_rename;  // the settings file held open by another program
  no_rename.fail_renames = true;
  EXPECT_EQ(settings_.Save(), 1);
  EXPECT_NE(ReadFileBytes(Ini()).find(Text({"ComputerID:99"})), std::string::npos);
  EXPECT_FALSE(FileExists(Ini() + u".tmp"));
}

TEST_F(ClientSettings, LoadPreviousReloadsTheFixedFileAndDiscardsSavedSnapshots) {
  // The upgrade copy runs under another name; its own settings are not the ones.
  test::test_process().set_executable(dir_ / u"upgrade_tmp.exe");
  WriteFileBytes(SettingsPath(), Text({"ServerAddr:wrong"}));
  ASSERT_EQ(settings_.Load(SettingsPath()), 1);
  for (int n : {1, 2, 3}) MakeSnapshot(n);
  WriteFileBytes(FixedSettingsPath(), Text({"ServerAddr:console", "SavedSnapshots:1,2", "OldVer:5"}));

  settings_.LoadPrevious();
  EXPECT_EQ(settings_.settings_path(), FixedSettingsPath());
  EXPECT_EQ(settings_.server_address(), "console");
  EXPECT_EQ(settings_.saved_snapshots(), "");
  EXPECT_EQ(settings_.old_version(), 5);
  EXPECT_FALSE(SnapshotExists(1));
  EXPECT_FALSE(SnapshotExists(2));
  EXPECT_TRUE(SnapshotExists(3));  // not in the list: not the upgrade's to delete
  const std::string file = ReadFileBytes(FixedSettingsPath());
  EXPECT_NE(file.find(Text({"SavedSnapshots:"})), std::string::npos) << file;
  EXPECT_NE(file.find(Text({"OldVer:5"})), std::string::npos) << file;
}

TEST_F(ClientSettings, LoadPreviousWithoutTheFixedFileLogsAndChangesNothing) {
  LoadText(Text({"ServerAddr:console", "ComputerID:3"}));
  test::test_process().set_executable(dir_ / u"elsewhere\\OrvalinthSrv.exe");
  const size_t before = LogText().size();
  settings_.LoadPrevious();
  EXPECT_NE(LogText().substr(before).find("Error: cannot load previous settings"), std::string::npos);
  EXPECT_EQ(settings_.settings_path(), Ini());
  EXPECT_EQ(settings_.computer_id(), 3);
}

TEST_F(ClientSettings, ValuesStayOneLine) {
  LoadText("");
  settings_.set_snapshot_name("evil\r\nServerPort:1");
  settings_.set_server_address(std::string("a\nb\0c", 5));
  EXPECT_EQ(settings_.snapshot_name(), "evil  ServerPort:1");
  EXPECT_EQ(settings_.server_address(), "a b?c");
  settings_.set_file_targets({u"C:\\a\nComputerID:9"});
  ASSERT_EQ(settings_.Save(), 1);
  CXClientSettings again;
  ASSERT_EQ(again.Load(Ini()), 1);
  EXPECT_EQ(again.server_port(), 51000);
  EXPECT_EQ(again.computer_id(), 0);
  EXPECT_EQ(again.snapshot_name(), "evil  ServerPort:1");
  EXPECT_EQ(again.file_targets(), L{u"C:\\a ComputerID:9"});
}

TEST_F(ClientSettings, StorableTargets) {
  struct Case {
    std::u16string entry;
    bool storable;
  } cases[] = {
      {u"C:\\Windows\\", true},       {u"*", true},         {u"HKEY_LOCAL_MACHINE\\\u20AC", true},
      {u" C:\\x ", true},             {u"", false},         {u"-backup", true},
      {u"-ServerAddr:x", true},
      {u"a\nb", false},               {u"a\r", false},      {std::u16string(u"a\0b", 3), false},
      {u"files:", false},             {u"ScanAll:1", false}, {u"serveraddr:x", false},
      {u"Files:\\x", true},
  };
  for (const Case& c : cases) EXPECT_EQ(CXClientSettings::IsStorableTarget(c.entry), c.storable) << N(c.entry);
}

TEST_F(ClientSettings, HoldMakesSeveralChangesAndTheSaveOneStep) {
  LoadText("");
  std::atomic<bool> changed{false};
  std::thread other;
  {
    CXClientSettings::Guard guard = settings_.Hold();
    other = std::thread([&] {
      settings_.set_computer_id(7);
      changed = true;
    });
    // The lock is recursive: the holder calls the operations as usual.
    settings_.set_file_targets({u"C:\\Data\\"});
    settings_.set_full_scan(0);
    settings_.set_snapshot_name("Nightly");
    ASSERT_EQ(settings_.Save(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(changed.load());
    EXPECT_EQ(settings_.computer_id(), 0);
  }
  other.join();
  EXPECT_EQ(settings_.computer_id(), 7);
  EXPECT_NE(ReadFileBytes(Ini()).find(Text({"ComputerID:0"})), std::string::npos);
}

}  // namespace
}  // namespace orvalinth
