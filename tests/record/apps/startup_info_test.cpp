// CXStartupInfo over a registry and startup folders of the test's own, and
// the shell-folder lookup it shares with the other collectors.

#include "record/apps/startup_info.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "record/apps/shell_folder.h"
#include "base/strings.h"
#include "test_support.h"
#include "record/apps/collector_fixture.h"

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using test::N;

// UTF-16LE bytes of `text` without a terminating zero.
std::string Units(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

class StartupInfo : public test::ShellCollectorTest {
 protected:
  StartupInfo() {
    test::WriteFileBytes(dir_ / u"tool.exe", "MZ tool");
    platform::FileSystem::Get().CreateFolder(dir_ / u"startup");
    folders_.paths[platform::kFolderStartup] = dir_ / u"startup";  // without its final "\"
  }

  std::vector<SXReadItem> Collect() {
    CXStartupInfo startup;
    EXPECT_TRUE(run_.Run(startup));
    EXPECT_EQ(run_.category(kAppStartup).child_offset, 0);
    return run_.Items(kAppStartup);
  }
};

TEST_F(StartupInfo, TheTwelveLocationsInOrder) {
  const CXStartupInfo startup;
  const auto& l = startup.locations();
  ASSERT_EQ(l.size(), 12u);
  EXPECT_EQ(N(l[0].subkey), "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  EXPECT_EQ(N(l[6].subkey), "Software\\Microsoft\\Windows\\CurrentVersion\\policies\\Explorer\\Run");
  EXPECT_EQ(N(l[7].subkey), "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run");
  EXPECT_EQ(N(l[8].subkey), "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\Run");
  EXPECT_EQ(N(l[11].subkey), "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx");
  for (size_t i = 0; i < l.size(); ++i) {
    EXPECT_EQ(l[i].root, i < 8 ? RegistryRoot::kLocalMachine : RegistryRoot::kCurrentUser) << i;
  }
}

TEST_F(StartupInfo, RunValuesAndAStartupFolder) {
  const std::u16string run = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::u16string tool = dir_ / u"tool.exe";
  // The same program under both roots; a number, which is no command; an
  // unexpanded variable; data without its terminating zero.
  registry_.SetText(RegistryRoot::kLocalMachine, run, u"Tool", u"\"" + tool + u"\" -a");
  registry_.SetText(RegistryRoot::kCurrentUser, run, u"Tool", u"\"" + tool + u"\" -a");
  registry_.Set(RegistryRoot::kLocalMachine, run + u"Once", u"Count", platform::kRegDword, platform::RegDwordData(7));
  registry_.SetText(RegistryRoot::kLocalMachine, run + u"Services", u"Later", u"%SystemRoot%\\orvalinth-gone.exe",
                    platform::kRegExpandSz);
  registry_.Set(RegistryRoot::kCurrentUser, u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", u"Bare",
                platform::kRegSz, Units(tool) + "Z");  // and an odd byte
  // The folder: "Desktop.INI", a subfolder and one shortcut.
  const std::u16string startup = dir_ / u"startup";
  test::WriteFileBytes(startup + u"\\Desktop.INI", "[.ShellClassInfo]");
  platform::FileSystem::Get().CreateFolder(startup + u"\\sub");
  test::WriteFileBytes(startup + u"\\Tool.lnk", "link");
  links_.link_targets[startup + u"\\Tool.lnk"] = tool;

  const std::vector<SXReadItem> items = Collect();
  std::vector<std::string> seen;
  for (const SXReadItem& item : items) {
    EXPECT_EQ(item.kind, 1);
    EXPECT_EQ(item.source, 2);
    EXPECT_EQ(item.state, 0);
    seen.push_back(N(item.name) + "|" + N(item.path) + "|" + N(item.arguments) + (item.file_missing ? "|missing" : ""));
  }
  const std::string t = N(tool);
  EXPECT_EQ(seen, (std::vector<std::string>{"Bare|" + t + "|", "Later|%SystemRoot%\\orvalinth-gone.exe||missing",
                                            "Tool|" + t + "|-a", "Tool|" + t + "|-a", "Tool.lnk|" + t + "|"}));
  for (const SXReadItem& item : items) {
    if (item.file_missing) continue;
    ASSERT_TRUE(item.file.has_value()) << N(item.name);
    EXPECT_EQ(item.file->size, 7u) << N(item.name);
  }
  EXPECT_EQ(run_.entries(), 5);
}

TEST_F(StartupInfo, NothingToFindGivesAnEmptyCategory) {
  folders_.paths.clear();  // no startup folders either
  EXPECT_TRUE(Collect().empty());
  EXPECT_EQ(run_.category(kAppStartup).items_offset, 0);
  EXPECT_EQ(run_.entries(), 0);
}

// Current first, else the default; a final "\" added; empty when neither.
class TwoAnswers final : public platform::KnownFolder {
 public:
  bool FolderPath(int csidl, bool current, std::u16string* path) override {
    if (csidl == 1 && current) return false;
    if (csidl == 3) return false;
    *path = csidl == 2 ? u"C:\\" : (current ? u"C:\\now" : u"C:\\default");
    return true;
  }
};

TEST(KnownFolders, TheCollectorsLookup) {
  TwoAnswers answers;
  platform::ScopedFacility<platform::KnownFolder> use(answers);
  EXPECT_EQ(N(ShellFolderPath(0)), "C:\\now\\");
  EXPECT_EQ(N(ShellFolderPath(1)), "C:\\default\\");
  EXPECT_EQ(N(ShellFolderPath(2)), "C:\\");
  EXPECT_EQ(N(ShellFolderPath(3)), "");
}

}  // namespace
}  // namespace orvalinth
