// A full scan by the real service under Wine, downloaded and read back with
// the strict reader: the eight applications categories in order, a Run value
// and a startup-folder shortcut that the test made, and the services and
// drivers of Wine's service manager as the manager itself lists them (name,
// state, start type and description); then the installed and found programs
// of Uninstall entries, start-menu shortcuts and an App Paths registration
// that the test made.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "e2e_support.h"
#include "host_process.h"
#include "link/message.h"
#include "service_link_test.h"
#include "record/apps/uninstall_entries.h"
#include "storage/app_items.h"
#include "storage/reader/snapshot_reader.h"
#include "tools/report/compare.h"
#include "base/strings.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kTool[] = "C:\\e2e\\apps\\tool.exe";
constexpr char kHelper[] = "C:\\e2e\\bin\\helper.exe";
constexpr char kHeldFile[] = "C:\\e2e\\held.txt";
constexpr char kHeldPortFile[] = "C:\\e2e\\held.port";
constexpr char kRunKey[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr int kCommonStartup = 24;
constexpr int64_t kScanWaitMs = 600000;

const SXReadSection* Category(const SXReadSnapshot& snapshot, int which) {
  const std::vector<SXReadSection>& apps = snapshot.sections[kReadApplications];
  return static_cast<size_t>(which) < apps.size() ? &apps[static_cast<size_t>(which)] : nullptr;
}

// The host file of a path on drive C: of `prefix`, its components matched
// without regard to A-Z case as Windows matches them; empty when none.
std::string HostFile(WinePrefix& prefix, const std::string& windows_path) {
  if (windows_path.size() < 3 || (windows_path[0] | 0x20) != 'c' || windows_path.compare(1, 2, ":\\") != 0) return "";
  fs::path at = prefix.HostPath("C:\\");
  std::istringstream parts(windows_path.substr(3));
  std::error_code error;
  for (std::string part; std::getline(parts, part, '\\');) {
    if (part.empty()) continue;
    fs::path next;
    for (const fs::directory_entry& entry : fs::directory_iterator(at, error)) {
      if (EqualsFolded(entry.path().filename().string(), part)) next = entry.path();
    }
    if (next.empty()) return "";
    at = next;
  }
  return fs::is_regular_file(at, error) ? at.string() : "";
}

// One service as the manager lists it: "display name|state|start type|description".
struct Listed {
  uint32_t type = 0;
  std::string line;
};

class WineApps : public ServiceLinkTest {
 public:
  static void SetUpTestSuite() { OpenService("apps"); }

 protected:
  // A full scan with version information, downloaded and read back.
  static void FullScan(SXReadSnapshot* snapshot, long long* took_ms) {
    std::string bytes;
    ASSERT_NO_FATAL_FAILURE(Scan(true, &bytes, took_ms));
    CXSnapshotMemorySource source(bytes.data(), bytes.size());
    CXSnapshotReader reader;
    ASSERT_EQ(reader.Read(source, snapshot), 1) << reader.fault().message;
    EXPECT_EQ(reader.remark_count(), 0u) << (reader.remarks().empty() ? "" : reader.remarks()[0]);
  }
  // A scan, full or of the applications alone, with version information;
  // the downloaded file's bytes.
  static void Scan(bool full, std::string* bytes, long long* took_ms) {
    const int number = NextSnapshotNumber(*service_);
    CXMessage m, reply;
    m.Init("set-scan").AddList("file", {}).AddList("regs", {}).AddList("apps", full ? std::vector<std::u16string>{}
                                                                                      : std::vector<std::u16string>{u"*"});
    m.AddInt("add-ver-inf", 1).AddInt("full", full ? 1 : 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "apps");
    ASSERT_TRUE(Console().Request("set-scan", m, &reply)) << Console().failure_text();
    ASSERT_EQ(reply.GetInt("ok"), 1);
    const long long start = NowMs();
    m.Init("scan").AddInt("default", 1);
    ASSERT_TRUE(Console().Request("scan", m, &reply)) << Console().failure_text();
    ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
    tools::SXScanDone done;
    ASSERT_TRUE(Console().WaitScanDone(kScanWaitMs, &done)) << Console().failure_text();
    *took_ms = NowMs() - start;
    ASSERT_EQ(done.ok, 1) << done.msg;
    ASSERT_EQ(done.id_snapshot, number);
    ASSERT_NO_FATAL_FAILURE(Download(number, bytes));
  }

  // The manager's list through the helper, by service name.
  static std::map<std::string, Listed> ListServices() {
    std::map<std::string, Listed> listed;
    const SXRun run = Prefix().Wine({kHelper, "services"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::vector<std::string> f(1);
      for (char c : line) {
        if (c == '\t') {
          f.emplace_back();
        } else {
          f.back().push_back(c);
        }
      }
      if (f.size() != 6) continue;  // not a line of the list
      listed[f[0]] = Listed{static_cast<uint32_t>(std::stoul(f[2])), f[1] + "|" + f[3] + "|" + f[4] + "|" + f[5]};
    }
    return listed;
  }

  // The shell folder `csidl` as the shell spells it, with a final "\".
  static std::string ShellFolder(int csidl) {
    const SXRun run = Prefix().Wine({kHelper, "folder", std::to_string(csidl)});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() >= 3 && line[1] == ':' && line[2] == '\\') return line.back() == '\\' ? line : line + "\\";
    }
    return "";
  }

  // The programs that the "Programs" category counts: every node's run
  // below "Programs Found", each once (a search-path piece that is the
  // Windows or System folder shares that folder's run).
  static size_t CountedPrograms(const SXReadSnapshot& snapshot) {
    const std::string windows = ShellFolder(36), system = ShellFolder(37);
    size_t counted = 0;
    std::vector<std::pair<const SXReadNode*, bool>> pending;
    for (const SXReadNode& node : Category(snapshot, kAppPrograms)->root.children) {
      if (node.name == u"Programs Found") {
        for (const SXReadNode& child : node.children) pending.emplace_back(&child, child.name == u"Search Paths");
      }
    }
    while (!pending.empty()) {
      const auto [node, in_search_paths] = pending.back();
      pending.pop_back();
      const bool shared = in_search_paths && (N(node->name) == windows || N(node->name) == system);
      if (!shared) counted += node->items.size();
      for (const SXReadNode& child : node->children) pending.emplace_back(&child, in_search_paths);
    }
    return counted;
  }
};

// The helper left running with "hold": its process node with its command
// line and its file handle under the Windows path, the same handle in
// "Opened Handles", and its port in "Opened Ports" (Wine gives most
// endpoints the owner pid 0: then the port is checked without its owner).
void CheckHeldProgram(const SXReadSnapshot& snapshot, int port) {
  const std::string arguments = std::string("hold ") + kHeldFile + " " + kHeldPortFile;
  const SXReadSection* processes = Category(snapshot, kAppProcesses);
  ASSERT_NE(processes, nullptr);
  const SXReadItem* process = nullptr;
  for (const SXReadItem& item : processes->root.items) {
    if (EqualsFolded(item.path, Widen(kHelper)) && N(item.arguments) == arguments) process = &item;
  }
  ASSERT_NE(process, nullptr) << "the helper is not among " << processes->root.items.size() << " processes";
  const SXReadNode* node = nullptr;
  for (const SXReadNode& n : processes->root.children) {
    if (EqualsFolded(n.name, Widen("helper.exe " + arguments))) node = &n;
  }
  ASSERT_NE(node, nullptr);
  bool handle = false;
  for (const SXReadNode& child : node->children) {
    for (const SXReadItem& item : child.items) {
      handle = handle || (item.kind == kAppItemProcessHandle && item.handle_type == 1 &&
                          EqualsFolded(item.object_name, Widen(kHeldFile)));
    }
  }
  EXPECT_TRUE(handle) << "no handle to " << kHeldFile << " under the helper's node";
  bool listed = false;
  for (const SXReadItem& item : Category(snapshot, kAppHandles)->root.items) {
    listed = listed || (EqualsFolded(item.path, Widen(kHelper)) && EqualsFolded(item.object_name, Widen(kHeldFile)));
  }
  EXPECT_TRUE(listed) << "no \"Opened Handles\" item for " << kHeldFile;
  const SXReadItem* endpoint = nullptr;
  for (const SXReadItem& item : Category(snapshot, kAppPorts)->root.items) {
    if (item.protocol == kAppTcp4 && item.local.port == port) endpoint = &item;
  }
  ASSERT_NE(endpoint, nullptr) << "port " << port << " is not in \"Opened Ports\"";
  EXPECT_EQ(endpoint->port_state, 2);
  EXPECT_EQ(endpoint->local.bytes, std::string("\x7f\x00\x00\x01", 4));
  if (N(endpoint->name) == "-") {
    std::printf("[ info     ] Wine reports owner pid 0 for port %d: its owner is not checked\n", port);
  } else {
    EXPECT_TRUE(EqualsFolded(endpoint->path, Widen(kHelper))) << N(endpoint->path);
  }
}

TEST_F(WineApps, AFullScanRecordsTheApplicationsOfThePrefix) {
  // A program with version information, started by a Run value and by a
  // shortcut in the common startup folder.
  const std::string pe = ReadWholeFile(Win64BuildFile("tests/pe_fixtures/full.exe"));
  ASSERT_FALSE(pe.empty()) << "no PE fixture next to " << WindowsExecutable();
  fs::create_directories(Prefix().HostPath("C:\\e2e\\apps\\"));
  fs::create_directories(Prefix().HostPath("C:\\e2e\\bin\\"));
  ASSERT_TRUE(WriteWholeFile(Prefix().HostPath(kTool), pe));
  fs::copy_file(Win64BuildFile("tests/e2e/orvalinth_e2e_helper.exe"), Prefix().HostPath(kHelper),
                fs::copy_options::overwrite_existing);
  SXRun run = Prefix().Wine({"reg", "add", kRunKey, "/v", "OrvalinthE2E", "/t", "REG_SZ", "/d",
                             std::string("\"") + kTool + "\" -start", "/f"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  run = Prefix().Wine({kHelper, "shortcut", std::to_string(kCommonStartup), "E2E Tool.lnk", kTool});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  // A program left running that holds a file open and listens on a port.
  // A helper that ends before it listens is started once more (its exit
  // code says why in the failure).
  int exit_code = 0;
  bool ended = true;
  for (int attempt = 0; attempt < 2 && ended; ++attempt) {
    const pid_t helper = Prefix().Start({kHelper, "hold", kHeldFile, kHeldPortFile});
    ASSERT_GT(helper, 0);
    ended = false;
    const long long until = NowMs() + 60000;
    while (ReadWholeFile(Prefix().HostPath(kHeldPortFile)).empty() && NowMs() < until && !ended) {
      ended = WaitForExit(helper, 50, &exit_code);
    }
  }
  const int held_port = std::atoi(ReadWholeFile(Prefix().HostPath(kHeldPortFile)).c_str());
  ASSERT_GT(held_port, 0) << "the helper did not start listening"
                          << (ended ? " (it ended with exit code " + std::to_string(exit_code) + ")" : "");

  SXReadSnapshot snapshot;
  long long took_ms = 0;
  FullScan(&snapshot, &took_ms);
  if (HasFatalFailure()) return;
  std::printf("[ info     ] a full scan of the prefix took %lld ms: %d keys, %d values, %d folders, %d files, %d "
              "applications entries, %zu version records\n",
              took_ms, snapshot.info.counters[0][0], snapshot.info.counters[0][1], snapshot.info.counters[1][0],
              snapshot.info.counters[1][1], snapshot.info.counters[2][0], snapshot.versions.size());
  const std::map<std::string, Listed> listed = ListServices();
  Prefix().Wine({"reg", "delete", kRunKey, "/v", "OrvalinthE2E", "/f"});

  ASSERT_EQ(snapshot.sections[kReadApplications].size(), static_cast<size_t>(kAppCategoryCount));
  for (int i = 0; i < kAppCategoryCount; ++i) {
    EXPECT_EQ(N(Category(snapshot, i)->name), N(kAppCategoryNames[i]));
    EXPECT_EQ(N(Category(snapshot, i)->root.name), N(kAppCategoryNames[i]));
  }

  // Startup: the Run value and the shortcut, both the program with its version.
  std::map<std::string, const SXReadItem*> startup;
  for (const SXReadItem& item : Category(snapshot, kAppStartup)->root.items) startup[N(item.name)] = &item;
  for (const char* name : {"OrvalinthE2E", "E2E Tool.lnk"}) {
    ASSERT_EQ(startup.count(name), 1u) << name;
    const SXReadItem& item = *startup[name];
    EXPECT_EQ(item.kind, kAppItemExecutable);
    EXPECT_EQ(item.source, kAppSourceStartup);
    EXPECT_TRUE(EqualsFolded(item.path, Widen(kTool))) << name << ": " << N(item.path);
    EXPECT_EQ(N(item.arguments), std::string(name) == "OrvalinthE2E" ? "-start" : "") << name;
    ASSERT_TRUE(item.file.has_value()) << name;
    EXPECT_EQ(item.file->size, pe.size()) << name;
    ASSERT_GE(item.file->version_index, 0) << name;
    ASSERT_LT(static_cast<size_t>(item.file->version_index), snapshot.versions.size());
    EXPECT_TRUE(snapshot.versions[static_cast<size_t>(item.file->version_index)] == test::FullExeVersion()) << name;
  }

  CheckHeldProgram(snapshot, held_port);

  // Services and drivers: what the manager lists, with its state, start type
  // and description.
  std::multiset<std::string> expected_services, expected_drivers, got_services, got_drivers;
  for (const auto& [name, l] : listed) (l.type & 0x30 ? expected_services : expected_drivers).insert(l.line);
  ASSERT_FALSE(expected_services.empty());
  ASSERT_FALSE(expected_drivers.empty());
  int with_file = 0, with_version = 0;
  for (int which : {kAppServices, kAppDrivers}) {
    for (const SXReadItem& item : Category(snapshot, which)->root.items) {
      EXPECT_EQ(item.kind, which == kAppServices ? kAppItemService : kAppItemDriver) << N(item.name);
      const std::string start = item.source == kAppSourceUnread ? "-" : std::to_string(item.source);
      (which == kAppServices ? got_services : got_drivers)
          .insert(N(item.name) + "|" + std::to_string(item.state) + "|" + start + "|" +
                  (item.source == kAppSourceUnread ? "-" : N(item.description)));
      if (item.file_missing) continue;
      ++with_file;
      // A path resolved to a file of the prefix, whose size it recorded.
      const std::string host = HostFile(Prefix(), N(item.path));
      EXPECT_FALSE(host.empty()) << N(item.name) << ": " << N(item.path);
      if (!host.empty() && item.file) {
        EXPECT_EQ(item.file->size, fs::file_size(host)) << N(item.path);
      }
      if (item.file && item.file->version_index >= 0) ++with_version;
    }
  }
  EXPECT_EQ(got_services, expected_services);
  EXPECT_EQ(got_drivers, expected_drivers);
  EXPECT_GT(with_file, 0);
  EXPECT_GT(with_version, 0);
  // The running service itself.
  bool found_self = false;
  for (const SXReadItem& item : Category(snapshot, kAppServices)->root.items) {
    if (item.name == u"Orvalinth Service") {
      found_self = true;
      EXPECT_EQ(item.state, 4);
      EXPECT_EQ(item.source, 2);
      EXPECT_TRUE(EqualsFolded(item.path, Widen(ServiceLink::kExe))) << N(item.path);
    }
  }
  EXPECT_TRUE(found_self);
  // The counter of entries: startup entries, services, drivers and the
  // programs found.
  EXPECT_EQ(static_cast<size_t>(snapshot.info.counters[kReadApplications][0]),
            Category(snapshot, kAppStartup)->root.items.size() + got_services.size() + got_drivers.size() +
                CountedPrograms(snapshot));
}

const SXReadNode* ChildNamed(const SXReadNode* node, const std::u16string& name) {
  if (node == nullptr) return nullptr;
  for (const SXReadNode& child : node->children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

TEST_F(WineApps, AFullScanRecordsTheProgramsOfThePrefix) {
  // A suite with a component below it, a program started from the common
  // programs menu, a shortcut there to an uninstaller, and an App Paths
  // registration of the program.
  constexpr char kProg[] = "C:\\e2e\\progs\\prog.exe";
  constexpr char kUnins[] = "C:\\e2e\\progs\\unins000.exe";
  constexpr char kUninstall[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  constexpr char kAppPaths[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\OrvalinthE2E.exe";
  constexpr int kCommonPrograms = 23;
  const std::string pe = ReadWholeFile(Win64BuildFile("tests/pe_fixtures/full.exe"));
  ASSERT_FALSE(pe.empty()) << "no PE fixture next to " << WindowsExecutable();
  fs::create_directories(Prefix().HostPath("C:\\e2e\\progs\\"));
  fs::create_directories(Prefix().HostPath("C:\\e2e\\bin\\"));
  ASSERT_TRUE(WriteWholeFile(Prefix().HostPath(kProg), pe));
  ASSERT_TRUE(WriteWholeFile(Prefix().HostPath(kUnins), pe));
  fs::copy_file(Win64BuildFile("tests/e2e/orvalinth_e2e_helper.exe"), Prefix().HostPath(kHelper),
                fs::copy_options::overwrite_existing);
  const std::vector<std::vector<std::string>> values = {
      {"OrvalinthE2ESuite", "DisplayName", "E2E Suite"},
      {"OrvalinthE2ESuite", "DisplayVersion", "1.2"},
      {"OrvalinthE2ESuite", "Publisher", "E2E Makers"},
      {"OrvalinthE2ESuite", "InstallLocation", "C:\\e2e\\progs"},
      {"OrvalinthE2ESuite", "InstallDate", "20240102"},
      {"OrvalinthE2ESuite", "UninstallString", std::string(kUnins) + " /x"},
      {"OrvalinthE2EPart", "DisplayName", "E2E Part"},
      {"OrvalinthE2EPart", "ParentKeyName", "OrvalinthE2ESuite"},
  };
  for (const std::vector<std::string>& v : values) {
    const SXRun run = Prefix().Wine({"reg", "add", kUninstall + v[0], "/v", v[1], "/t", "REG_SZ", "/d", v[2], "/f"});
    ASSERT_EQ(run.exit_code, 0) << run.output;
  }
  SXRun run = Prefix().Wine({"reg", "add", kAppPaths, "/ve", "/t", "REG_SZ", "/d", kProg, "/f"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  std::vector<std::string> shortcuts;
  for (const auto& [name, target] : {std::pair<std::string, std::string>{"E2E Prog.lnk", kProg},
                                     std::pair<std::string, std::string>{"E2E Uninstall.lnk", kUnins}}) {
    run = Prefix().Wine({kHelper, "shortcut", std::to_string(kCommonPrograms), name, target});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    shortcuts.push_back(run.output.substr(0, run.output.find_first_of("\r\n")));
  }

  SXReadSnapshot snapshot;
  long long took_ms = 0;
  FullScan(&snapshot, &took_ms);
  for (const char* key : {"OrvalinthE2EPart", "OrvalinthE2ESuite"}) {
    Prefix().Wine({"reg", "delete", kUninstall + std::string(key), "/f"});
  }
  Prefix().Wine({"reg", "delete", kAppPaths, "/f"});
  for (const std::string& shortcut : shortcuts) fs::remove(Prefix().HostPath(shortcut));
  if (HasFatalFailure()) return;

  const SXReadNode& root = Category(snapshot, kAppPrograms)->root;
  ASSERT_EQ(root.children.size(), 3u);
  // Installed: the suite, visible with its component, and its group node.
  const SXReadNode* installed = ChildNamed(&root, u"Installed Programs");
  ASSERT_NE(installed, nullptr);
  std::map<std::string, const SXReadItem*> programs;
  for (const SXReadItem& item : installed->items) programs[N(item.name)] = &item;
  ASSERT_EQ(programs.count("E2E Suite"), 1u);
  EXPECT_EQ(programs.count("E2E Part"), 0u);
  const SXReadItem& suite = *programs["E2E Suite"];
  EXPECT_EQ(suite.kind, kAppItemInstalled);
  EXPECT_EQ(N(suite.version) + "|" + N(suite.publisher) + "|" + N(suite.path) + "|" + N(suite.install_date) + "|" +
                N(suite.group) + "|" + N(suite.uninstall),
            "1.2|E2E Makers|C:\\e2e\\progs\\|20240102|E2E Suite|" + std::string(kUnins) + " /x");
  const SXReadNode* group = ChildNamed(ChildNamed(&root, u"Installed Components"), u"E2E Suite");
  ASSERT_NE(group, nullptr);
  std::vector<std::string> members;
  for (const SXReadItem& item : group->items) members.push_back(N(item.name) + "|" + N(item.group));
  EXPECT_EQ(members, (std::vector<std::string>{"E2E Suite|E2E Suite", "E2E Part|E2E Suite"}));

  // Found: the program behind the shortcut, named after its product, with
  // its version; the uninstaller behind the other shortcut nowhere.
  const SXReadNode* found = ChildNamed(&root, u"Programs Found");
  const SXReadNode* menu = ChildNamed(ChildNamed(found, u"Start Menu"), u"Programs");
  ASSERT_NE(menu, nullptr);
  int prog_items = 0;
  for (const SXReadNode* node : {menu, found}) {
    for (const SXReadItem& item : node->items) {
      // Programs lying in a folder are listed whatever their name; those
      // behind shortcuts only when they pass the uninstaller filter.
      if (node == menu) {
        EXPECT_TRUE(PassesUninstallerFilter(item.path)) << N(item.path);
      }
      EXPECT_FALSE(EqualsFolded(item.path, Widen(kUnins))) << N(item.path);
      if (!EqualsFolded(item.path, Widen(kProg))) continue;
      ++prog_items;
      EXPECT_EQ(item.kind, kAppItemExecutable);
      EXPECT_EQ(item.source, kAppSourceFound);
      EXPECT_EQ(N(item.name), "Orvalinth Fixture");
      ASSERT_TRUE(item.file.has_value());
      EXPECT_EQ(item.file->size, pe.size());
      EXPECT_GE(item.file->version_index, 0);
    }
  }
  EXPECT_EQ(prog_items, 2);  // once in its node, once among all found
  const SXReadNode* app_paths = ChildNamed(found, u"App Paths");
  ASSERT_NE(app_paths, nullptr);
  std::vector<std::string> registered;
  for (const SXReadItem& item : app_paths->items) {
    EXPECT_EQ(item.kind, kAppItemRegistered);
    if (item.registered_name == u"OrvalinthE2E.exe") registered.push_back(N(item.path) + "|" + N(item.name));
  }
  EXPECT_EQ(registered, (std::vector<std::string>{std::string(kProg) + "|Orvalinth Fixture"}));
  // The Windows folder's piece of PATH shows the Windows node's programs.
  const SXReadNode* windows = ChildNamed(found, u"Windows");
  const SXReadNode* piece = ChildNamed(ChildNamed(found, u"Search Paths"), Widen(ShellFolder(36)));
  ASSERT_NE(windows, nullptr);
  ASSERT_NE(piece, nullptr);
  EXPECT_FALSE(windows->items.empty());
  EXPECT_EQ(piece->items.size(), windows->items.size());
}

// The items of the changes between two snapshots: kind, local and remote port.
using ChangedItem = std::tuple<int, int, int>;
class ItemLines final : public report::CXChangeSink {
 public:
  void Change(const report::SXChange& c) override {
    for (const SXReadItem* item : {c.old_item, c.new_item}) {
      if (item != nullptr) lines.emplace(item->kind, item->local.port, item->remote.port);
    }
  }
  std::set<ChangedItem> lines;
};

std::set<ChangedItem> ChangedItems(const std::string& old_bytes, const std::string& new_bytes,
                                   const std::string& rules) {
  const std::string folder = std::string(ORVALINTH_E2E_WORK) + "/compare-" + std::to_string(getpid());
  fs::create_directories(folder);
  EXPECT_TRUE(WriteWholeFile(folder + "/old.snp", old_bytes) && WriteWholeFile(folder + "/new.snp", new_bytes));
  report::CXSnapshotStream a, b;
  EXPECT_TRUE(a.Open(Widen(folder + "/old.snp"))) << a.fault().message;
  EXPECT_TRUE(b.Open(Widen(folder + "/new.snp"))) << b.fault().message;
  report::CXReportFilter filter;
  std::string error;
  EXPECT_TRUE(filter.Parse(rules, &error)) << error;
  ItemLines sink;
  SXReadFault fault;
  EXPECT_TRUE(report::CompareSnapshots(a, b, filter, sink, &fault)) << fault.message;
  fs::remove_all(folder);
  return sink.lines;
}

// As the demo compares two scans: the agent reconnected between them (its
// link has a new port); with the default filter no open handle is left, and
// nothing of the agent's own link, wherever they appear.
TEST_F(WineApps, TheDefaultFilterLeavesOutTheHandlesAndTheAgentsOwnLink) {
  std::string first, second;
  long long took_ms = 0;
  ASSERT_NO_FATAL_FAILURE(Scan(false, &first, &took_ms));
  ASSERT_TRUE(service_->Reconnect()) << service_->error();
  ASSERT_NO_FATAL_FAILURE(Scan(false, &second, &took_ms));
  const int console = Console().port();
  const auto of_the_link = [console](const ChangedItem& i) {
    return std::get<1>(i) == console || std::get<2>(i) == console;
  };
  const std::set<ChangedItem> unfiltered = ChangedItems(first, second, "");
  EXPECT_TRUE(std::any_of(unfiltered.begin(), unfiltered.end(), of_the_link)) << "the link's port did not change";
  std::ifstream in(ORVALINTH_DEFAULT_FILTER, std::ios::binary);
  const std::string rules((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(rules.empty());
  for (const ChangedItem& item : ChangedItems(first, second, rules)) {
    const int kind = std::get<0>(item);
    EXPECT_TRUE(kind != kAppItemProcessHandle && kind != kAppItemHandle) << "an open handle, kind " << kind;
    EXPECT_FALSE(of_the_link(item)) << "an end of the agent's link: ports " << std::get<1>(item) << ", "
                                    << std::get<2>(item);
  }
}

}  // namespace
}  // namespace orvalinth::e2e
