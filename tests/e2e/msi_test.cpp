// The agent's Windows Installer packages as the win64 build made them
// (build/win64/OrvalinthSrv.msi, and build/win64/tests/OrvalinthSrvNext.msi,
// the same package of the version-7 build), installed, upgraded and removed
// with Wine's msiexec in one prefix, with the project's console library as
// the console the properties name.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "e2e_support.h"
#include "host_process.h"
#include "installed_program_test.h"
#include "tools/console_link.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kAgentWaitMs = 60000;
constexpr int kRemovalWaitMs = 30000;
constexpr int kMsiexecSeconds = 120;
constexpr char kPackageKey[] = "HKLM\\Software\\Orvalinth";
constexpr char kInstalledPrograms[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// Where the tests put the packages inside the prefix (which has no drive for
// the host's files).
constexpr char kPackages[] = "C:\\packages\\";

// The lines of the settings file that an installation may give.
std::vector<std::string> GivenSettings(const std::string& text) {
  std::vector<std::string> lines;
  std::smatch match;
  const std::regex given("^(ServerAddr|ServerPort|ServerTLS|ServerPin|UpgradeSigner):.*$", std::regex::icase);
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, match, given)) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

class WineMsi : public InstalledProgramTest {
 public:
  static void SetUpTestSuite() { OpenPrefix("msi"); }

 protected:
  void SetUp() override {
    InstalledProgramTest::SetUp();
    for (const char* name : {"OrvalinthSrv.msi", "tests/OrvalinthSrvNext.msi"}) {
      const std::string built = Win64BuildFile(name);
      ASSERT_TRUE(fs::exists(built)) << built << ": the win64 build makes it (wixl)";
      std::error_code error;
      fs::create_directories(prefix_->HostPath(kPackages), error);
      fs::copy_file(built, prefix_->HostPath(std::string(kPackages) + fs::path(name).filename().string()),
                    fs::copy_options::overwrite_existing, error);
      ASSERT_FALSE(error) << error.message();
    }
  }

  SXRun Msiexec(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"msiexec"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return prefix_->Wine(command, kMsiexecSeconds);
  }
  // Installs a package (by its file name in kPackages) with these properties.
  void Install(const std::string& package, const std::vector<std::string>& properties) {
    std::vector<std::string> arguments{"/i", std::string(kPackages) + package};
    arguments.insert(arguments.end(), properties.begin(), properties.end());
    arguments.push_back("/qn");
    const SXRun run = Msiexec(arguments);
    ASSERT_EQ(run.exit_code, 0) << run.output << "\n" << Joined(program_->Log());
  }
  std::vector<std::string> ConsoleProperties() const {
    return {"SERVERADDR=127.0.0.1", "SERVERPORT=" + std::to_string(console_.port())};
  }

  // The product code the package recorded; empty when there is none.
  std::string RecordedProductCode() const {
    const SXRun run = prefix_->Wine({"reg", "query", kPackageKey, "/v", "ProductCode"});
    std::smatch match;
    if (run.exit_code != 0 || !std::regex_search(run.output, match, std::regex("\\{[0-9A-Fa-f-]{36}\\}"))) return "";
    return match.str();
  }
  bool KeyExists(const std::string& key) const { return prefix_->Wine({"reg", "query", key}).exit_code == 0; }
  bool Registered(const std::string& code) const { return KeyExists(kInstalledPrograms + code); }
  bool WaitUnregistered(const std::string& code, int timeout_ms) const {
    const long long end = NowMs() + timeout_ms;
    while (Registered(code)) {
      if (NowMs() >= end) return false;
      SleepMs(200);
    }
    return true;
  }
  std::string Settings() const { return ReadWholeFile(program_->HostPath("OrvalinthSrv.ini")); }
};

// Install with two properties, upgrade to the next version's package without
// properties, remove: one case, since each step starts from the last.
TEST_F(WineMsi, InstallsUpgradesAndRemovesTheAgent) {
  Install("OrvalinthSrv.msi", ConsoleProperties());
  EXPECT_EQ(program_->State(), "RUNNING");
  ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
  EXPECT_EQ(console_.info().app_ver, 6);
  EXPECT_TRUE(program_->Exists("OrvalinthSrv.exe"));
  EXPECT_TRUE(program_->Exists("OrvalinthSrv.pdb"));
  EXPECT_EQ(GivenSettings(Settings()),
            (std::vector<std::string>{"ServerAddr:127.0.0.1", "ServerPort:" + std::to_string(console_.port())}));
  const std::string first = RecordedProductCode();
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(Registered(first));

  // What the package did not install: a snapshot and the settings as the
  // agent keeps them.
  std::error_code error;
  fs::create_directories(program_->HostPath("data"), error);
  ASSERT_TRUE(WriteWholeFile(program_->HostPath("data\\snapshot001.snp"), "first"));
  const std::string settings = Settings();
  // The next version's package is signed as the build signs a release's,
  // here by the test key.
  SXCommand verify;
  verify.argv = {"osslsigncode", "verify", "-CAfile", std::string(ORVALINTH_SIGN_FIXTURES) + "/test-rsa.crt", "-in",
                 Win64BuildFile("tests/OrvalinthSrvNext.msi")};
  verify.output_path = std::string(ORVALINTH_E2E_WORK) + "/msi-verify.txt";
  EXPECT_EQ(RunCommand(verify), 0) << ReadWholeFile(verify.output_path);
  Install("OrvalinthSrvNext.msi", {});
  ASSERT_TRUE(console_.WaitForDrop(kAgentWaitMs)) << console_.failure_text();
  ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
  EXPECT_EQ(console_.info().app_ver, 7);
  EXPECT_EQ(program_->State(), "RUNNING");
  EXPECT_EQ(Settings(), settings);
  EXPECT_EQ(ReadWholeFile(program_->HostPath("data\\snapshot001.snp")), "first");
  const std::string next = RecordedProductCode();
  EXPECT_NE(next, first);
  EXPECT_TRUE(Registered(next));
  EXPECT_FALSE(Registered(first));
  // The upgrade's mark went with the upgrade: a later removal removes all.
  EXPECT_NE(prefix_->Wine({"reg", "query", kPackageKey, "/v", "Upgrading"}).exit_code, 0);

  const SXRun removal = Msiexec({"/x", std::string(kPackages) + "OrvalinthSrvNext.msi", "/qn"});
  EXPECT_EQ(removal.exit_code, 0) << removal.output;
  EXPECT_TRUE(console_.WaitForDrop(kAgentWaitMs)) << console_.failure_text();
  EXPECT_EQ(program_->State(), "");
  EXPECT_FALSE(program_->Exists("")) << "left: " << Joined(program_->Log());
  EXPECT_FALSE(Registered(next));
  EXPECT_FALSE(KeyExists(kPackageKey));
}

// The console's "uninstall" of an agent the package installed: the program
// removes itself as ever, and then the package's registration.
TEST_F(WineMsi, TheSelfUninstallOfAPackagedAgentRemovesThePackage) {
  Install("OrvalinthSrv.msi", ConsoleProperties());
  ASSERT_TRUE(console_.AcceptAgent(kAgentWaitMs)) << console_.failure_text() << "\n" << Joined(program_->Log());
  const std::string code = RecordedProductCode();
  ASSERT_TRUE(Registered(code)) << code;

  CXMessage message;
  message.Init("uninstall");
  ASSERT_TRUE(console_.Send(message)) << console_.failure_text();
  EXPECT_TRUE(console_.WaitForDrop(kAgentWaitMs)) << console_.failure_text();
  EXPECT_TRUE(program_->WaitForExistence("", false, kRemovalWaitMs));
  EXPECT_TRUE(WaitUnregistered(code, kRemovalWaitMs));
  EXPECT_EQ(program_->State(), "");
  EXPECT_FALSE(KeyExists(kPackageKey));
}

}  // namespace
}  // namespace orvalinth::e2e
