// Self-upgrade of the real service under Wine: the console (the project's
// console library) sends a new executable in "upgd-cli"; the service hands
// over to the copy, which replaces the executable, registers and starts the
// service again; the new service tells the console at its next greeting.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "e2e_support.h"
#include "fakes/tls_fixtures.h"
#include "host_process.h"
#include "installed_program_test.h"
#include "tools/console_link.h"

namespace orvalinth::e2e {
namespace {

using Lines = std::vector<std::string>;
using tools::CXConsoleLink;

constexpr int64_t kAgentWaitMs = 60000;  // a service start under Wine, with its first connection
constexpr int kFileWaitMs = 20000;
constexpr uint64_t kLargestFrameBody = 10485760;

uint32_t Le(const std::string& bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

// What a win64 executable says of its debug information: the names of its
// sections, whether it has a COFF symbol table, and the symbol file that its
// CodeView record names.
struct SXImageDebugFacts {
  std::vector<std::string> sections;
  bool symbol_table = false;
  std::string symbol_file;
};

SXImageDebugFacts DebugFactsOf(const std::string& image) {
  SXImageDebugFacts facts;
  const size_t pe = Le(image, 0x3C, 4);
  if (image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return facts;
  const size_t coff = pe + 4;
  facts.symbol_table = Le(image, coff + 8, 4) != 0;
  const size_t count = Le(image, coff + 2, 2);
  const size_t table = coff + 20 + Le(image, coff + 16, 2);
  for (size_t n = 0; n < count; ++n) {
    const std::string name = image.substr(table + n * 40, 8);
    facts.sections.push_back(name.substr(0, name.find('\0')));
  }
  // "RSDS", the 16-byte signature, the 4-byte age, then the name.
  const size_t record = image.find("RSDS");
  if (record != std::string::npos && record + 24 < image.size()) facts.symbol_file = image.c_str() + record + 24;
  return facts;
}

class WineUpgrade : public InstalledProgramTest {
 public:
  static void SetUpTestSuite() { OpenPrefix("upgrade"); }

 protected:
  // The service at version 6 running with two snapshots waiting for
  // download (and the settings lines `more`), and the console linked to it.
  void RunningWithSnapshots(const std::string& more = std::string()) {
    ASSERT_TRUE(
        program_->Install(WindowsExecutable(), console_.port(), "SnapshotCnt:2\r\nSavedSnapshots:1,2\r\n" + more));
    WriteWholeFile(program_->HostPath("data/snapshot001.snp"), "first");
    WriteWholeFile(program_->HostPath("data/snapshot002.snp"), "second");
    ASSERT_TRUE(program_->RegisterAndStart()) << Joined(program_->Log());
    ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
    EXPECT_EQ(console_.info().app_ver, 6);
    EXPECT_FALSE(console_.info().upgraded);
    EXPECT_EQ(console_.info().saved_uids, "1,2");
  }

  // Sends "upgd-cli" with the bytes of `executable`, exactly as built.
  bool SendUpgrade(const std::string& executable) {
    const std::string bytes = ReadWholeFile(executable);
    EXPECT_FALSE(bytes.empty()) << "cannot read " << executable;
    return !bytes.empty() && SendUpgradeBytes(bytes);
  }
  bool SendUpgradeBytes(const std::string& bytes) {
    sent_ = bytes;
    CXMessage message;
    message.Init("upgd-cli");
    std::memcpy(message.ReservePayload(static_cast<int32_t>(bytes.size())), bytes.data(), bytes.size());
    message.SetPayloadSize(static_cast<int32_t>(bytes.size()));
    return console_.Send(message);
  }

  // Upgrades the running service with `executable`: the old process drops
  // the link, the new service connects and greets.
  void Upgrade(const std::string& executable) {
    ASSERT_TRUE(SendUpgrade(executable)) << console_.failure_text();
    ASSERT_TRUE(console_.Reconnect(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
    EXPECT_TRUE(console_.info().upgraded);
    // The copy goes once "info" is sent.
    EXPECT_TRUE(program_->WaitForExistence("upgrade_tmp.exe", false, kFileWaitMs));
  }

  // The agent's answer to "upgd-cli", which comes only when the upgrade fails.
  void ExpectRefusal(const std::string& msg) {
    CXMessage reply;
    ASSERT_EQ(console_.NextMessage(CXConsoleLink::DeadlineAfter(kAgentWaitMs), &reply), tools::NextResult::kMessage)
        << console_.failure_text() << "\n" << Joined(program_->Log());
    EXPECT_EQ(reply.Name(), "upgd-cli");
    EXPECT_EQ(reply.GetInt("ok"), 0);
    EXPECT_EQ(reply.GetString("msg"), msg);
  }
  // The snapshots of RunningWithSnapshots are still there, and the service
  // goes on with the link it had.
  void ExpectAgentAsBefore() {
    EXPECT_EQ(ReadWholeFile(program_->HostPath("data/snapshot001.snp")), "first");
    EXPECT_EQ(ReadWholeFile(program_->HostPath("data/snapshot002.snp")), "second");
    EXPECT_EQ(program_->State(), "RUNNING");
    CXMessage request, answer;
    request.Init("get-disk");
    EXPECT_TRUE(console_.Request("get-disk", request, &answer)) << console_.failure_text();
  }

  std::string sent_;  // the last executable sent
};


// The executables the console sends, as the build leaves them: within the
// build's size limit, well under the largest frame; no debug sections (the
// names of those are long ones, "/4" and the like, or ".debug_..."), no
// symbol table; their symbols in "OrvalinthSrv.pdb", the file beside them.
TEST(ProductExecutable, FitsAnUpgradeFrameWithRoomToSpareAndNamesItsSymbolFile) {
  static_assert(ORVALINTH_EXE_SIZE_LIMIT <= kLargestFrameBody / 2, "the limit leaves room in a frame");
  ASSERT_FALSE(WindowsExecutable().empty()) << "no win64 OrvalinthSrv.exe: give --exe=PATH or set ORVALINTH_E2E_EXE";
  for (const std::string& executable : {WindowsExecutable(), NextWindowsExecutable()}) {
    SCOPED_TRACE(executable);
    const std::string image = ReadWholeFile(executable);
    ASSERT_GT(image.size(), 100000u);
    EXPECT_LE(image.size(), static_cast<uint64_t>(ORVALINTH_EXE_SIZE_LIMIT));
    const SXImageDebugFacts facts = DebugFactsOf(image);
    EXPECT_FALSE(facts.sections.empty());
    for (const std::string& section : facts.sections) {
      EXPECT_TRUE(section.rfind(".debug", 0) != 0 && section.rfind("/", 0) != 0) << section;
    }
    EXPECT_FALSE(facts.symbol_table);
    EXPECT_EQ(facts.symbol_file, "OrvalinthSrv.pdb");
    EXPECT_EQ(ReadWholeFile(SymbolFileOf(executable)).substr(0, 24), "Microsoft C/C++ MSF 7.00");
  }
}

TEST_F(WineUpgrade, ANewVersionReplacesTheServiceAndTellsTheConsole) {
  RunningWithSnapshots();
  Upgrade(NextWindowsExecutable());
  EXPECT_EQ(console_.info().app_ver, 7);
  EXPECT_EQ(console_.info().upgrade_ok, 1);
  // The snapshots waiting before the upgrade are gone.
  EXPECT_EQ(console_.info().saved_uids, "");
  EXPECT_FALSE(program_->Exists("data/snapshot001.snp"));
  EXPECT_FALSE(program_->Exists("data/snapshot002.snp"));
  // The executable is now the one the console sent.
  EXPECT_TRUE(ReadWholeFile(program_->HostPath("OrvalinthSrv.exe")) == sent_);
  EXPECT_EQ(program_->State(), "RUNNING");
  const Lines log = program_->Log();
  EXPECT_TRUE(InOrder(log, {"Start upgrading...", "Uninstall previous version...", "Uninstall service...",
                            "Service uninstalled", "Finalizing upgrade...", "Installing service...",
                            "Service installed", "Starting Orvalinth service ...", "Upgrade to v? is complete."}))
      << Joined(log);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Error: upgrade failed - file version is the same"), 0) << Joined(log);
}

// The second upgrade finds the first one's "OldVer:" in the settings; it must
// still compare with the version that sent it.
TEST_F(WineUpgrade, TheSameVersionAgainIsReportedAsNoChange) {
  RunningWithSnapshots();
  Upgrade(NextWindowsExecutable());
  ASSERT_EQ(console_.info().upgrade_ok, 1);
  const size_t second = program_->Log().size();
  Upgrade(NextWindowsExecutable());
  EXPECT_EQ(console_.info().app_ver, 7);
  EXPECT_EQ(console_.info().upgrade_ok, 0);
  const Lines log = program_->Log();
  const Lines after(log.begin() + static_cast<long>(second), log.end());
  EXPECT_TRUE(InOrder(after, {"Start upgrading...", "Finalizing upgrade...", "Upgrade to v? is complete."}))
      << Joined(after);
  // The new service says so at its greeting, while the copy may still be
  // writing its last line.
  EXPECT_TRUE(InOrder(after, {"Finalizing upgrade...", "Error: upgrade failed - file version is the same"}))
      << Joined(after);
}

TEST_F(WineUpgrade, AnUpgradeThatCannotBeWrittenIsRefusedAndLosesNothing) {
  RunningWithSnapshots();
  std::error_code error;
  std::filesystem::create_directory(program_->HostPath("upgrade_tmp.exe"), error);  // in the copy's way
  ASSERT_TRUE(SendUpgrade(NextWindowsExecutable()));
  ExpectRefusal("cannot create file C:\\Program Files\\Orvalinth\\upgrade_tmp.exe");
  ExpectAgentAsBefore();
}

// Bytes that Windows cannot start as a program (error 193). The service must
// still be registered, not marked for deletion: a service so marked would be
// gone once stopped, and could not be registered again while it runs.
TEST_F(WineUpgrade, ACopyThatCannotBeStartedIsRefusedAndTheAgentStaysInstalled) {
  RunningWithSnapshots();
  ASSERT_TRUE(SendUpgradeBytes("MZ this is no program"));
  ExpectRefusal("cannot start C:\\Program Files\\Orvalinth\\upgrade_tmp.exe");
  EXPECT_TRUE(program_->WaitForExistence("upgrade_tmp.exe", false, kFileWaitMs));
  ExpectAgentAsBefore();
  const Lines log = program_->Log();
  EXPECT_TRUE(InOrder(log, {"Start upgrading...", "Error: cannot start C:\\Program Files\\Orvalinth\\upgrade_tmp.exe"}))
      << Joined(log);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Uninstall previous version..."), 0) << Joined(log);

  program_->Program("-stop");
  EXPECT_EQ(program_->State(), "STOPPED") << Joined(program_->Log());
  program_->Program("-start");
  ASSERT_TRUE(console_.Reconnect(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
  EXPECT_FALSE(console_.info().upgraded);
  EXPECT_EQ(console_.info().saved_uids, "1,2");
}

// The next version as built, signed by the test RSA key (tests/CMakeLists.txt).
std::string SignedNextWindowsExecutable() { return Win64BuildFile("signed/OrvalinthSrvNext.exe"); }
const std::string kSignerRequired = std::string("UpgradeSigner:") + ORVALINTH_TEST_PIN_RSA + "\r\n";

TEST_F(WineUpgrade, AnExecutableSignedByAPinnedKeyUpgradesTheService) {
  RunningWithSnapshots(kSignerRequired);
  Upgrade(SignedNextWindowsExecutable());
  EXPECT_EQ(console_.info().app_ver, 7);
  EXPECT_EQ(console_.info().upgrade_ok, 1);
  EXPECT_TRUE(ReadWholeFile(program_->HostPath("OrvalinthSrv.exe")) == sent_);
  EXPECT_EQ(program_->State(), "RUNNING");
}

TEST_F(WineUpgrade, AnUnsignedExecutableIsRefusedWhenASignerIsRequired) {
  RunningWithSnapshots(kSignerRequired);
  ASSERT_TRUE(SendUpgrade(NextWindowsExecutable()));
  ExpectRefusal("upgrade refused - the executable is not signed");
  EXPECT_FALSE(program_->Exists("upgrade_tmp.exe"));
  ExpectAgentAsBefore();
  const Lines log = program_->Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Error: upgrade refused - the executable is not signed"), 1)
      << Joined(log);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Uninstall previous version..."), 0) << Joined(log);
}

// Over a TLS link with the console's key pinned: the signed next version
// upgrades the service, which greets again through TLS.
TEST_F(WineUpgrade, ASignedUpgradeOverTlsGreetsAgainThroughTls) {
  console_.set_tls_identity(test::TlsFixtureIdentity("p256"));
  const std::string tls = "ServerTLS:1\r\nServerPin:" + PinText(test::TlsFixturePin("p256")) + "\r\n";
  RunningWithSnapshots(tls + kSignerRequired);
  EXPECT_FALSE(console_.link_description().empty());
  Upgrade(SignedNextWindowsExecutable());
  EXPECT_EQ(console_.info().app_ver, 7);
  EXPECT_EQ(console_.info().upgrade_ok, 1);
  EXPECT_FALSE(console_.link_description().empty()) << "the new service greeted on a plain link";
  const std::string settings = ReadWholeFile(program_->HostPath("OrvalinthSrv.ini"));
  EXPECT_NE(settings.find(tls + kSignerRequired), std::string::npos) << settings;
}

}  // namespace
}  // namespace orvalinth::e2e
