// Self-uninstall of the real program: under Wine from the console's
// "uninstall" (the service stops, hands over to "-uninstall -quiet", which
// hands over to its copy in the temporary folder), and on the host, where the
// same two stages replace the process in turn.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include "e2e_support.h"
#include "host_process.h"
#include "installed_program_test.h"
#include "tools/console_link.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;
using tools::CXConsoleLink;

constexpr int64_t kAgentWaitMs = 60000;
constexpr int kRemovalWaitMs = 30000;
constexpr char kEntry[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalinth Service";

// Every file and folder below `folder`, relative and with "/".
std::set<std::string> Tree(const std::string& folder) {
  std::set<std::string> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    entries.insert(fs::relative(it->path(), folder, error).generic_string());
  }
  return entries;
}

// The same, one a line, for failure messages.
std::string Listed(const std::string& folder) {
  const std::set<std::string> entries = Tree(folder);
  return Joined(std::vector<std::string>(entries.begin(), entries.end()));
}

class WineUninstall : public InstalledProgramTest {
 public:
  static void SetUpTestSuite() { OpenPrefix("uninstall"); }

 protected:
  void TearDown() override {
    InstalledProgramTest::TearDown();
    prefix_->Wine({"reg", "delete", kEntry, "/f"});
  }

  // The running service with two snapshots (one waiting for download), the
  // installed-programs entry and, once the console is linked, both crash files.
  void RunningAndLinked() {
    ASSERT_TRUE(program_->Install(WindowsExecutable(), console_.port(), "SnapshotCnt:2\r\nSavedSnapshots:2\r\n"));
    WriteWholeFile(program_->HostPath("data/snapshot001.snp"), "first");
    WriteWholeFile(program_->HostPath("data/snapshot002.snp"), "second");
    const SXRun reg = prefix_->Wine({"reg", "add", kEntry, "/v", "DisplayName", "/d", "Orvalinth Service", "/f"});
    ASSERT_EQ(reg.exit_code, 0) << reg.output;
    ASSERT_TRUE(program_->RegisterAndStart()) << Joined(program_->Log());
    ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
    // The service reads and deletes the crash copy at its greeting: these
    // come later, as a crash would leave them.
    WriteWholeFile(program_->HostPath("error-log.txt"), "report");
    WriteWholeFile(program_->HostPath("error-log.tmp"), "report");
  }

  void Uninstall() {
    CXMessage message;
    message.Init("uninstall");
    ASSERT_TRUE(console_.Send(message)) << console_.failure_text();
    EXPECT_TRUE(console_.WaitForDrop(kAgentWaitMs)) << console_.failure_text();
  }

  bool EntryExists() const { return prefix_->Wine({"reg", "query", kEntry}).exit_code == 0; }

  // The uninstaller copies in the users' temporary folders.
  std::vector<std::string> UninstallerCopies() const {
    std::vector<std::string> copies;
    std::error_code error;
    for (const fs::directory_entry& user : fs::directory_iterator(prefix_->path() + "/drive_c/users", error)) {
      const fs::path copy = user.path() / "Temp" / "orvalinthsrv_uninst.exe";
      if (fs::exists(copy, error)) copies.push_back(copy.string());
    }
    return copies;
  }

};


TEST_F(WineUninstall, TheConsolesUninstallRemovesTheWholeProgram) {
  RunningAndLinked();
  Uninstall();
  ASSERT_TRUE(program_->WaitForExistence("", false, kRemovalWaitMs))
      << "left:\n" << Listed(program_->HostPath(""));
  EXPECT_EQ(program_->State(), "");
  EXPECT_FALSE(EntryExists());
  // The copy stays until the next restart, which is to delete it.
  const std::vector<std::string> copies = UninstallerCopies();
  EXPECT_EQ(copies.size(), 1u);
  const SXRun pending = prefix_->Wine(
      {"reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Session Manager", "/v", "PendingFileRenameOperations"});
  EXPECT_NE(pending.output.find("orvalinthsrv_uninst.exe"), std::string::npos) << pending.output;
}

TEST_F(WineUninstall, AFileInTheDataFolderKeepsTheDataAndProgramFolders) {
  RunningAndLinked();
  WriteWholeFile(program_->HostPath("data/notes.txt"), "mine");
  Uninstall();
  ASSERT_TRUE(program_->WaitForExistence("OrvalinthSrv.exe", false, kRemovalWaitMs));
  EXPECT_EQ(Tree(program_->HostPath("")), (std::set<std::string>{"data", "data/notes.txt"}));
  EXPECT_EQ(program_->State(), "");
  EXPECT_FALSE(EntryExists());
}

// Without a display the question cannot be shown: that is not a Yes.
TEST_F(WineUninstall, AnUnansweredQuestionChangesNothing) {
  ASSERT_TRUE(program_->Install(WindowsExecutable(), console_.port()));
  ASSERT_TRUE(program_->RegisterAndStart()) << Joined(program_->Log());
  ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text();
  const std::set<std::string> before = Tree(program_->HostPath(""));
  const SXRun run = program_->Program("-uninstall");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(program_->State(), "RUNNING");
  EXPECT_EQ(Tree(program_->HostPath("")), before);
}

// The host build: "-uninstall -quiet" of a program folder, with the
// temporary folder (TMPDIR) of the test's own.
TEST(HostUninstall, QuietUninstallRemovesTheProgramFolderAndItsCopy) {
  const std::string base = std::string(ORVALINTH_E2E_WORK) + "/uninstall-" + std::to_string(getpid());
  const std::string folder = base + "/program";
  const std::string temp = base + "/tmp";
  std::error_code error;
  fs::remove_all(base, error);
  fs::create_directories(folder + "/data");
  fs::create_directories(temp);
  fs::copy_file(HostExecutable(), folder + "/OrvalinthSrv");
  WriteWholeFile(folder + "/OrvalinthSrv.ini", "ServerAddr:127.0.0.1\nSnapshotCnt:1\nSavedSnapshots:1\n");
  WriteWholeFile(folder + "/OrvalinthSrv.log", "old lines\n");
  WriteWholeFile(folder + "/data/snapshot001.snp", "first");

  SXCommand command;
  command.argv = {folder + "/OrvalinthSrv", "-uninstall", "-quiet"};
  command.set_environment = {{"TMPDIR", temp}};
  command.directory = base;
  command.output_path = base + "/output.txt";
  EXPECT_EQ(RunCommand(command), 0);
  EXPECT_FALSE(fs::exists(folder)) << Listed(folder);
  // On POSIX the running copy can go at once.
  EXPECT_EQ(Tree(temp), std::set<std::string>{});
  EXPECT_EQ(ReadWholeFile(base + "/output.txt"), "");
  fs::remove_all(base, error);
}

}  // namespace
}  // namespace orvalinth::e2e
