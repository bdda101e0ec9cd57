// CXProgramsInfo over a registry, known folders, shortcuts and a PATH of the
// test's own: the Uninstall field and grouping rules, the program search, and
// the bytes of a small "Programs" payload.

#include "record/apps/programs_info.h"

#include <gtest/gtest.h>

#include <map>

#include "base/strings.h"
#include "host_links.h"
#include "platform/files.h"
#include "record/apps/collector_fixture.h"
#include "record/version_info.h"
#include "tests/platform/pe_fixtures.h"
#include "tests/storage/snapshot_bytes.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using platform::RegistryRoot;
using test::N;

constexpr RegistryRoot kMachine = RegistryRoot::kLocalMachine;
// 2019-12-31 23:59:59 UTC.
constexpr int64_t kWritten = 132223103990000000LL;

const SXReadNode* Child(const SXReadNode& node, const std::u16string& name) {
  for (const SXReadNode& child : node.children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : separator) + parts[i];
  return out;
}

// "name|path" of each item, or only the names.
std::vector<std::string> Listed(const SXReadNode* node, bool paths = false) {
  std::vector<std::string> out;
  if (node == nullptr) return {"(no node)"};
  for (const SXReadItem& item : node->items) out.push_back(N(item.name) + (paths ? "|" + N(item.path) : ""));
  return out;
}

class ProgramsInfo : public test::ShellCollectorTest {
 protected:
  void Set(const std::u16string& key, const std::u16string& name, const std::u16string& text,
           RegistryRoot root = kMachine) {
    registry_.SetText(root, std::u16string(kUninstallKey) + u"\\" + key, name, text);
  }
  std::vector<SXUninstallEntry> Read() {
    std::vector<SXUninstallEntry> entries;
    ReadUninstallEntries(kMachine, &entries);
    ReadUninstallEntries(RegistryRoot::kCurrentUser, &entries);
    return entries;
  }
  SXReadNode Collect() {
    CXProgramsInfo programs;
    EXPECT_TRUE(run_.Run(programs));
    EXPECT_EQ(run_.category(kAppPrograms).items_offset, 0);
    return run_.Tree(kAppPrograms);
  }
  // The node below "Programs Found" at `path` (names joined by "/").
  static const SXReadNode* Found(const SXReadNode& tree, const std::vector<std::u16string>& path) {
    const SXReadNode* node = Child(tree, u"Programs Found");
    for (const std::u16string& name : path) node = node == nullptr ? nullptr : Child(*node, name);
    return node;
  }

  test::FakeEnvironment environment_;
  platform::ScopedFacility<platform::Environment> use_environment_{environment_};
};

TEST_F(ProgramsInfo, FieldsOfTheUninstallKeys) {
  registry_.Set(kMachine, std::u16string(kUninstallKey) + u"\\Hidden", u"SystemComponent", platform::kRegDword,
                platform::RegDwordData(1));
  registry_.Set(kMachine, std::u16string(kUninstallKey) + u"\\Minus", u"SystemComponent", platform::kRegDword,
                platform::RegDwordData(0xFFFFFFFF));
  for (const char16_t* key : {u"Hidden", u"Minus"}) Set(key, u"DisplayName", key + std::u16string(u" Name"));
  Set(u"Default", u"", u"From Default");
  registry_.AddKey(kMachine, std::u16string(kUninstallKey) + u"\\Bare");
  Set(u"Dashes", u"InstallDate", u"2015-1-3");
  Set(u"Digits", u"InstallDate", u"20150103");
  Set(u"Letter", u"InstallDate", u"2015a103");
  registry_.SetWriteTime(kMachine, std::u16string(kUninstallKey) + u"\\Dashes", kWritten);
  registry_.SetWriteTime(kMachine, std::u16string(kUninstallKey) + u"\\Letter", kWritten);
  Set(u"Quoted", u"InstallLocation", u"\"C:\\Program Files\\Quoted\"");
  Set(u"Quoted", u"QuietUninstallString", u"C:\\q.exe /quiet");
  Set(u"Quoted", u"DisplayVersion", std::u16string(1023, u'v'));  // 2,048 bytes: too long
  Set(u"User", u"DisplayName", u"Per User", RegistryRoot::kCurrentUser);

  std::map<std::string, std::string> got;
  for (const SXUninstallEntry& e : Read()) {
    got[N(e.key_name)] = std::to_string(e.status) + "|" + N(e.name) + "|" + N(e.install_date) + "|" + N(e.folder) +
                         "|" + N(e.uninstall) + "|" + N(e.version);
  }
  const std::map<std::string, std::string> expected = {
      {"Bare", "0|Bare|20210304|||"},
      {"Dashes", "0|Dashes|20191231|||"},
      {"Default", "0|From Default|20210304|||"},
      {"Digits", "0|Digits|20150103|||"},
      {"Hidden", "0|Hidden Name|20210304|||"},
      {"Letter", "0|Letter|20191231|||"},
      {"Minus", "1|Minus Name|20210304|||"},
      {"Quoted", "0|Quoted|20210304|C:\\Program Files\\Quoted\\|C:\\q.exe /quiet|"},
      {"User", "1|Per User|20210304|||"},
  };
  EXPECT_EQ(got, expected);
  EXPECT_EQ(N(UtcDateText(0)), "16010101");
  EXPECT_EQ(N(InstallDateOf(u"2015-1-3", 0)), "2015-1-3");  // no write time: kept as read
}

// A suite with a component naming it by key; a braced identifier whose
// prefix is a key, with a publisher; a component by parent name; a lone
// hidden entry.
class ProgramsGrouping : public ProgramsInfo {
 protected:
  ProgramsGrouping() {
    Set(u"Suite", u"DisplayName", u"Suite");
    Set(u"Part", u"DisplayName", u"Part");
    Set(u"Part", u"ParentKeyName", u"Suite");
    Set(u"{ABC}", u"DisplayName", u"ABC Base");
    Set(u"{ABC}.Extra", u"Publisher", u"Acme");
    Set(u"Plugin", u"DisplayName", u"Plugin");
    Set(u"Plugin", u"ParentDisplayName", u"Host App");
    Set(u"Lone", u"InstallDate", u"20200101");
  }
};

TEST_F(ProgramsGrouping, StatusesAndGroups) {
  std::vector<SXUninstallEntry> entries = Read();
  GroupEntries(&entries);
  SortEntries(&entries);
  std::vector<std::string> got;
  for (const SXUninstallEntry& e : entries) got.push_back(N(e.key_name) + "|" + std::to_string(e.status) + "|" + N(e.group));
  EXPECT_EQ(got, (std::vector<std::string>{"{ABC}|2|ABC Base", "Suite|2|Suite", "Lone|4|", "Part|4|Suite",
                                           "Plugin|4|Host App", "{ABC}.Extra|4|Acme"}));
  EXPECT_EQ(GroupNames(entries).size(), 4u);
}

TEST_F(ProgramsGrouping, TheInstalledNodes) {
  const SXReadNode root = Collect();
  EXPECT_EQ(N(root.name), "Programs");
  ASSERT_EQ(root.children.size(), 3u);
  EXPECT_EQ(N(root.children[0].name), "Installed Programs");
  EXPECT_EQ(Listed(&root.children[0]), (std::vector<std::string>{"ABC Base", "Suite"}));
  for (const SXReadItem& item : root.children[0].items) EXPECT_EQ(item.kind, kAppItemInstalled);
  const SXReadNode& components = root.children[1];
  EXPECT_EQ(N(components.name), "Installed Components");
  std::vector<std::string> nodes;
  for (const SXReadNode& group : components.children) nodes.push_back(N(group.name) + ":" + Join(Listed(&group), ","));
  EXPECT_EQ(nodes, (std::vector<std::string>{"ABC Base:ABC Base", "Acme:{ABC}.Extra", "Host App:Plugin",
                                             "Suite:Suite,Part", "Unknown:Lone"}));
  EXPECT_EQ(N(root.children[2].name), "Programs Found");
}

// A start menu holding an uninstaller itself, a shortcut to another one and
// a shortcut to a program with version information; a programs tree with a
// subfolder and a folder link; a PATH of the Windows folder, an empty piece
// and another folder.
TEST_F(ProgramsInfo, FindingPrograms) {
  SKIP_WITHOUT_PE_FIXTURES();
  test::HostTmpFolder links;
  auto fs = [](const std::u16string& path) { platform::FileSystem::Get().CreateFolder(path); };
  for (const char16_t* sub : {u"start", u"app", u"win", u"other"}) fs(dir_ / sub);
  const std::u16string tool = dir_ / u"app\\tool.exe";
  test::WriteFileBytes(tool, test::ReadFileBytes(test::PeFixture("full.exe")));
  test::WriteFileBytes(dir_ / u"app\\unins000.exe", "MZ");
  test::WriteFileBytes(dir_ / u"start\\unins000.exe", "MZ");
  test::WriteFileBytes(dir_ / u"start\\Tool.lnk", "link");
  test::WriteFileBytes(dir_ / u"start\\Remove.lnk", "link");
  test::WriteFileBytes(dir_ / u"start\\Notes.txt", "text");
  links_.link_targets[dir_ / u"start\\Tool.lnk"] = tool;
  links_.link_targets[dir_ / u"start\\Remove.lnk"] = dir_ / u"app\\unins000.exe";
  folders_.paths[platform::kFolderCommonStartMenu] = dir_ / u"start";
  fs(links / u"programs");
  fs(links / u"programs\\sub");
  fs(links / u"elsewhere");
  test::WriteFileBytes(links / u"programs\\sub\\deep.exe", "MZ");
  test::WriteFileBytes(links / u"elsewhere\\beyond.exe", "MZ");
  ASSERT_TRUE(links.Link(links.host_path() + "elsewhere", "programs/loop"));
  folders_.paths[platform::kFolderPrograms] = links / u"programs";
  const std::u16string win = dir_ / u"win";
  folders_.paths[platform::kFolderWindows] = win;
  test::WriteFileBytes(win + u"\\a.exe", "MZ");
  test::WriteFileBytes(dir_ / u"other\\b.EXE", "MZ");
  environment_.variables[u"PATH"] = win + u"\\;;" + (dir_ / u"other");
  InstallVersionReader(run_.writer().version_table());

  const SXReadNode tree = Collect();
  const std::string d = N(dir_.path());
  EXPECT_EQ(Listed(Found(tree, {u"Start Menu"}), true),
            (std::vector<std::string>{"Orvalinth Fixture|" + d + "app\\tool.exe", "unins000.exe|" + d + "start\\unins000.exe"}));
  EXPECT_EQ(Listed(Found(tree, {u"Start Menu", u"Programs"})), (std::vector<std::string>{"deep.exe"}));
  const SXReadNode* search = Found(tree, {u"Search Paths"});
  ASSERT_NE(search, nullptr);
  std::vector<std::string> pieces;
  for (const SXReadNode& piece : search->children) pieces.push_back(N(piece.name) + ":" + Join(Listed(&piece), ","));
  EXPECT_EQ(pieces, (std::vector<std::string>{":", d + "other\\:b.EXE", d + "win\\:a.exe"}));
  EXPECT_EQ(Listed(Found(tree, {u"Windows"})), (std::vector<std::string>{"a.exe"}));
  EXPECT_EQ(Listed(Found(tree, {})), (std::vector<std::string>{"a.exe", "b.EXE", "deep.exe", "Orvalinth Fixture",
                                                                  "unins000.exe"}));
  // Each node's programs once: the Windows run serves its PATH piece too.
  EXPECT_EQ(run_.entries(), 5);
}

TEST(ProgramsPathPieces, SplitAndEnded) {
  auto pieces = [](const std::u16string& path) {
    std::vector<std::string> out;
    for (const std::u16string& piece : CXProgramsInfo::PathPieces(path)) out.push_back(N(piece));
    return out;
  };
  EXPECT_EQ(pieces(u""), std::vector<std::string>{});
  EXPECT_EQ(pieces(u"C:\\a;;C:\\b\\;D:/c/;e"),
            (std::vector<std::string>{"C:\\a\\", "", "C:\\b\\", "D:/c/", "e\\"}));
  for (const char16_t* rejected : {u"C:\\App\\Unins001.exe", u"C:\\Setup\\INSTALLER.exe", u"C:\\x\\unvise32.exe",
                                   u"C:\\Windows\\RunDll32.exe"}) {
    EXPECT_FALSE(PassesUninstallerFilter(rejected)) << N(rejected);
  }
  EXPECT_TRUE(PassesUninstallerFilter(u"C:\\App\\app.exe"));
  EXPECT_TRUE(PassesUninstallerFilter(u"unins000.exe"));  // the rule wants the "\" before it
}

// The whole payload of a suite with one component, a lone hidden entry and
// one App Paths registration to a missing program, with no folders.
TEST_F(ProgramsInfo, GoldenPayload) {
  Set(u"Suite", u"DisplayName", u"Suite");
  Set(u"Suite", u"InstallDate", u"20200102");
  Set(u"Suite", u"InstallLocation", u"C:\\S");
  Set(u"Part", u"ParentKeyName", u"Suite");
  Set(u"Part", u"InstallDate", u"20200103");
  Set(u"Lone", u"InstallDate", u"20200104");
  registry_.SetText(kMachine, std::u16string(CXProgramsInfo::kAppPathsKey) + u"\\a.exe", u"",
                    u"C:\\orvalinth-none\\a.exe");
  const SXReadNode tree = Collect();

  test::ByteWriter w;
  std::map<std::string, uint32_t> at;
  auto installed = [&](uint8_t flags, const std::u16string& group, const std::u16string& name,
                       const std::u16string& folder, const std::u16string& date) {
    w.U8(flags).U8(4).Text(group, true).Text(name, true).Text(u"", true).Text(u"", true).Text(folder, true);
    w.Text(u"", true).Text(date, true);
  };
  auto node = [&](uint8_t flags, const std::string& name, uint32_t child, uint32_t content) {
    w.U8(flags);
    if (flags & 0x01) w.U32(child);
    if (flags & 0x02) w.U32(content);
    w.U8(static_cast<uint32_t>(name.size())).Raw(name);
  };
  auto registered = [&](uint8_t kind) {
    w.U8(0x90).U8(kind).U8(10).U8(0).Text(u"a.exe", false).Text(u"C:\\orvalinth-none\\a.exe", false);
    w.Text(u"", false).Text(u"", false);
    if (kind == 5) w.Text(u"a.exe", true);
  };
  w.U8(0x01);
  at["installed"] = w.size();
  installed(0x80, u"Suite", u"Suite", u"C:\\S\\", u"20200102");
  at["suite"] = w.size();
  installed(0x00, u"Suite", u"Suite", u"C:\\S\\", u"20200102");
  installed(0x80, u"Suite", u"Part", u"", u"20200103");
  at["unknown"] = w.size();
  installed(0x80, u"", u"Lone", u"", u"20200104");
  at["components"] = w.size();
  node(0x02, "Suite", 0, at["suite"]);
  node(0x82, "Unknown", 0, at["unknown"]);
  at["programs"] = w.size();
  node(0x80, "Programs", 0, 0);
  at["system"] = w.size();
  node(0x80, "System", 0, 0);
  at["app paths"] = w.size();
  registered(5);
  at["found nodes"] = w.size();
  node(0x00, "Desktop", 0, 0);
  node(0x01, "Start Menu", at["programs"], 0);
  node(0x01, "Windows", at["system"], 0);
  node(0x00, "Search Paths", 0, 0);
  node(0x82, "App Paths", 0, at["app paths"]);
  at["all found"] = w.size();
  registered(1);
  at["root"] = w.size();
  node(0x02, "Installed Programs", 0, at["installed"]);
  node(0x01, "Installed Components", at["components"], 0);
  node(0x83, "Programs Found", at["found nodes"], at["all found"]);
  EXPECT_EQ(test::ToHex(run_.Payload(kAppPrograms)), test::ToHex(w.bytes()));
  EXPECT_EQ(run_.category(kAppPrograms).child_offset, static_cast<int32_t>(at["root"]));

  // Read back: the kind-5 item with its registered name, the missing file.
  const SXReadNode* app_paths = Found(tree, {u"App Paths"});
  ASSERT_NE(app_paths, nullptr);
  ASSERT_EQ(app_paths->items.size(), 1u);
  EXPECT_EQ(app_paths->items[0].kind, kAppItemRegistered);
  EXPECT_EQ(N(app_paths->items[0].registered_name), "a.exe");
  EXPECT_TRUE(app_paths->items[0].file_missing);
  EXPECT_EQ(run_.entries(), 1);
}

}  // namespace
}  // namespace orvalinth
