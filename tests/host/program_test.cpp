#include "host/program.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/console.h"
#include "platform/process.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::N;
using test::ReadFileBytes;
using test::W;

class RecordingActions final : public ProgramActions {
 public:
  std::vector<std::string> calls;
  std::u16string folder;
  bool quiet = false;
  void RunService() override { calls.push_back("service"); }
  void Register() override { calls.push_back("register"); }
  void Unregister() override { calls.push_back("unregister"); }
  void Start() override { calls.push_back("start"); }
  void Stop() override { calls.push_back("stop"); }
  void Restart() override { calls.push_back("restart"); }
  void Uninstall(const std::u16string& f, bool q) override {
    calls.push_back("uninstall");
    folder = f;
    quiet = q;
  }
  void Upgrade() override { calls.push_back("upgrade"); }
  void Configure(const std::vector<std::string>& s) override {
    calls.push_back("configure");
    settings = s;
  }
  void RemoveData() override { calls.push_back("remove-data"); }
  void MarkUpgrade() override { calls.push_back("mark-upgrade"); }
  std::vector<std::string> settings;
};

class ProgramTest : public ::testing::Test {
 protected:
  // Runs a command line: the 8-bit vector is what the C runtime gives main,
  // the UTF-16 vector the Windows splitting of the same text.
  std::vector<std::string> Run(const std::u16string& command_line) {
    const std::vector<std::u16string> wide = platform::SplitCommandLine(command_line);
    std::vector<std::string> narrow;
    for (const auto& w : wide) narrow.push_back(N(w));
    test::test_process().set_arguments(wide);
    actions_.calls.clear();
    EXPECT_EQ(ProgramMain(narrow, actions_), 0);
    return actions_.calls;
  }
  std::string Log() { return ReadFileBytes(test::test_process().program_folder() + u"OrvalinthSrv.log"); }

  RecordingActions actions_;
};

TEST_F(ProgramTest, OptionsIgnoreCase) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Run(u"srv.exe -register"), V{"register"});
  EXPECT_EQ(Run(u"srv.exe -UNREGISTER"), V{"unregister"});
  EXPECT_EQ(Run(u"srv.exe -START"), V{"start"});
  EXPECT_EQ(Run(u"srv.exe -Stop"), V{"stop"});
  EXPECT_EQ(Run(u"srv.exe -restart extra"), V{"restart"});
  EXPECT_EQ(Run(u"srv.exe -upgrade"), V{"upgrade"});
  EXPECT_EQ(Run(u"srv.exe -Remove-Data"), V{"remove-data"});
  EXPECT_EQ(Run(u"srv.exe -mark-upgrade"), V{"mark-upgrade"});
  EXPECT_EQ(Run(u"srv.exe -CONFIGURE \"ServerAddr:a b\" ServerPort:"), V{"configure"});
  EXPECT_EQ(actions_.settings, (V{"ServerAddr:a b", "ServerPort:"}));
  EXPECT_EQ(Run(u"srv.exe"), V{"service"});
}

TEST_F(ProgramTest, UninstallFolderAndQuiet) {
  EXPECT_EQ(Run(u"srv.exe -uninstall -quiet"), std::vector<std::string>{"uninstall"});
  EXPECT_EQ(actions_.folder, u"");
  EXPECT_TRUE(actions_.quiet);

  Run(u"srv.exe -uninstall \"C:\\dir\\\\\" -quiet");
  EXPECT_EQ(actions_.folder, u"C:\\dir\\");
  EXPECT_TRUE(actions_.quiet);

  Run(u"srv.exe -uninstall \"C:\\Program Files\\Orv\u00E9\\\\\"");
  EXPECT_EQ(actions_.folder, u"C:\\Program Files\\Orv\u00E9\\");  // taken from the UTF-16 vector
  EXPECT_FALSE(actions_.quiet);

  Run(u"srv.exe -uninstall -QUIET");  // -quiet is matched exactly: -QUIET is neither flag nor folder
  EXPECT_EQ(actions_.folder, u"");
  EXPECT_FALSE(actions_.quiet);
}

TEST_F(ProgramTest, InvalidParametersAreLogged) {
  EXPECT_TRUE(Run(u"srv.exe -bogus").empty());
  EXPECT_TRUE(Run(u"srv.exe -quiet").empty());  // a lone -quiet is no action
  const std::string log = Log();
  EXPECT_NE(log.find("Error: invalid param -bogus"), std::string::npos) << log;
  EXPECT_NE(log.find("Error: invalid param -quiet"), std::string::npos) << log;
}

TEST_F(ProgramTest, NothingHappensWithoutTheUtf16Vector) {
  test::test_process().set_arguments({}, false);
  actions_.calls.clear();
  EXPECT_EQ(ProgramMain({"srv.exe", "-start"}, actions_), 0);
  EXPECT_TRUE(actions_.calls.empty());
  // Fewer UTF-16 arguments than 8-bit ones: nothing either.
  test::test_process().set_arguments({u"srv.exe"});
  EXPECT_EQ(ProgramMain({"srv.exe", "-start"}, actions_), 0);
  EXPECT_TRUE(actions_.calls.empty());
}

// The real executable: "-bogus" appends the error line to the log beside it
// and exits; started without arguments by hand it writes nothing.
TEST(ServiceExecutable, InvalidParamGoesToTheLogBesideTheExecutable) {
  test::TempFolder dir;
  const std::u16string exe = dir / u"OrvalinthSrv.exe";
  ASSERT_TRUE(platform::FileSystem::Real().CopyFileTo(test::ServiceExecutable(), exe, false));
  ASSERT_TRUE(platform::Process::Real().Start(exe, u"\"" + exe + u"\" -bogus", platform::RunMode::kWait));
  const std::string log = ReadFileBytes(dir / u"OrvalinthSrv.log");
  EXPECT_TRUE(std::regex_match(log, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Error: invalid param -bogus" +
                                               std::string(platform::kNewline))))
      << log;
}

}  // namespace
}  // namespace orvalinth
