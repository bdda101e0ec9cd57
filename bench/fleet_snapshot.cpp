// Snapshots of a made-up Windows machine, recorded on this machine by the
// agent's own recorder (the registry, file and applications jobs through one
// snapshot writer, as a scan of the service runs them), for the fleet
// server's benchmark (scripts/bench-server).
//
// The machine lives in this process: a folder tree of FILES files in folders
// of 50 (a temporary folder's "Program Files\<vendor> App <n>\", sizes and
// times that differ), the emulated registry with VALUES values under
// HKEY_LOCAL_MACHINE\SOFTWARE (the uninstall entries of the programs among
// them), SERVICES services in the emulated service manager and Run entries.
// Snapshot FIRST is recorded from it as made; before each next one twelve of
// its files change size and time, a registry value changes, a key and a
// service are added and a Run entry goes, so that two snapshots in a row
// compare with some changes of each kind, as two scans of one machine a day
// apart do.
//
// usage: orvalinth_fleet_snapshot OUT_FOLDER FIRST LAST [FILES VALUES SERVICES]
//   writes OUT_FOLDER/snapshot<NNN>.snp for FIRST..LAST (defaults: 5500
//   files, 11000 values, 650 services: about 250 KB) and prints each file's
//   path and size.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/posix/drive_table.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_emulation.h"
#include "platform/services.h"
#include "record/apps/system_info.h"
#include "record/scan_request.h"
#include "record/snapshot_recorder.h"

namespace orvalinth {
namespace {

constexpr int kFilesPerFolder = 50;
const char16_t kSoftware[] = u"SOFTWARE\\Fabrikam Bench";
const char16_t kUninstall[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char16_t kRun[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class Folders final : public platform::KnownFolder {
 public:
  bool FolderPath(int csidl, bool, std::u16string* path) override {
    if (csidl != platform::kFolderStartup) return false;
    *path = startup;
    return true;
  }
  std::u16string startup;
};

// The recorder of the service without its settings: the three jobs of one
// request, and the snapshot finished as the service finishes it.
class Recorder final : public CXSnapshotRecorder {
 public:
  bool Record(const std::u16string& path, CXScanRequest& request, int32_t number, std::string* error) {
    if (!writer().CreateSnapshot(path, "Fabrikam bench - snapshot #" + std::to_string(number), request.InfoRequest())) {
      *error = "cannot create the snapshot: " + ChainText(false);
      return false;
    }
    StartJobs(request, nullptr);
    while (RunningJobs() != 0) platform::SleepMs(2);
    DestroyEndedJobs();
    if (writer().FinishSnapshot(number, DescribeMachine()) == 0) {
      *error = "the snapshot was not finished: " + ChainText(false);
      return false;
    }
    return true;
  }
};

void WriteHostFile(const std::string& path, size_t size, int64_t mtime) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string bytes(size, 'x');
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::unique_ptr<platform::RegistryKey> Key(const std::u16string& path) {
  std::unique_ptr<platform::RegistryKey> key;
  platform::Registry::Get().CreateKey(platform::RegistryRoot::kLocalMachine, path, platform::kRegOptionNone, &key);
  return key;
}

struct Machine {
  std::u16string folder;  // the agent's form, ending in "\"
  std::string host;       // the same on this machine
  std::vector<std::string> files;
  Folders folders;
  platform::EmulatedServiceManager manager;
  std::mt19937 random{20240611};
  int services = 0;

  void Make(int file_count, int value_count, int service_count) {
    const std::u16string temp = platform::FileSystem::Get().TempFolder();
    folder = temp + u"orvalinth-fleet-snapshot-" + Widen(std::to_string(static_cast<long>(platform::CurrentProcessId()))) +
             u"\\";
    host = platform::posix::ToHostPath(folder);
    std::string command = "rm -rf '" + host + "' && mkdir -p '" + host + "Startup'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot make %s\n", host.c_str());
    folders.startup = folder + u"Startup";
    const char* const vendors[] = {"Contoso", "Fabrikam", "Northwind", "Tailspin", "Woodgrove", "Litware"};
    const char* const kinds[] = {".dll", ".exe", ".sys", ".dat", ".ini", ".mui", ".cat", ".xml"};
    for (int i = 0; i < file_count; ++i) {
      const int f = i / kFilesPerFolder;
      const std::string dir = host + "Program Files/" + vendors[f % 6] + " App " + std::to_string(f) + "/";
      if (i % kFilesPerFolder == 0) {
        command = "mkdir -p '" + dir + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot make %s\n", dir.c_str());
      }
      const std::string path = dir + "component" + std::to_string(i) + kinds[i % 8];
      WriteHostFile(path, 100 + random() % 3000, 1600000000 + static_cast<int64_t>(random() % 100000000));
      files.push_back(path);
    }
    // Registry: products of settings, uninstall entries, Run entries.
    int values = 0;
    for (int k = 0; values < value_count; ++k) {
      auto key = Key(std::u16string(kSoftware) + u"\\Product " + Widen(std::to_string(k / 10)) + u"\\Settings " +
                     Widen(std::to_string(k % 10)));
      if (key == nullptr) break;
      for (int v = 0; v < 8 && values < value_count; ++v, ++values) {
        const std::u16string name = Widen("Option" + std::to_string(v));
        if (v % 3 == 0) {
          key->SetValue(name, platform::kRegDword, platform::RegDwordData(static_cast<uint32_t>(random())));
        } else {
          key->SetValue(name, platform::kRegSz,
                        platform::RegSzData(Widen("C:\\ProgramData\\Fabrikam\\value " + std::to_string(random()))));
        }
      }
    }
    for (int a = 0; a < 120; ++a) {
      auto key = Key(std::u16string(kUninstall) + u"\\{BENCH-" + Widen(std::to_string(1000 + a)) + u"}");
      if (key == nullptr) continue;
      key->SetValue(u"DisplayName", platform::kRegSz,
                    platform::RegSzData(Widen(std::string(vendors[a % 6]) + " Application " + std::to_string(a))));
      key->SetValue(u"DisplayVersion", platform::kRegSz, platform::RegSzData(Widen("1." + std::to_string(a) + ".0")));
      key->SetValue(u"Publisher", platform::kRegSz, platform::RegSzData(Widen(vendors[a % 6])));
      key->SetValue(u"InstallLocation", platform::kRegSz,
                    platform::RegSzData(Widen("C:\\Program Files\\" + std::string(vendors[a % 6]) + " App " +
                                              std::to_string(a))));
    }
    for (int r = 0; r < 40; ++r) AddRun(r);
    for (int s = 0; s < service_count; ++s) AddService();
  }

  void AddRun(int r) {
    auto key = Key(kRun);
    if (key != nullptr) {
      key->SetValue(Widen("Bench tray " + std::to_string(r)), platform::kRegSz,
                    platform::RegSzData(folder + Widen("tray" + std::to_string(r) + ".exe") + u" /background"));
    }
  }

  void AddService() {
    const int i = services++;
    const bool driver = i % 5 == 0;
    const std::u16string name = Widen((driver ? "bdrv" : "bsvc") + std::to_string(i));
    platform::ServiceConfig config;
    config.name = name;
    config.display_name = u"Bench " + name;
    config.type = driver ? platform::kServiceKernelDriver : platform::kServiceWin32ShareProcess;
    config.start_type = static_cast<uint32_t>(i % 5);
    config.binary_path = folder + name + (driver ? u".sys" : u".exe");
    manager.Install(config, i % 3 == 0 ? platform::kServiceRunning : platform::kServiceStopped);
    manager.WriteDescription(name, u"The bench service " + name + u".");
  }

  // What a day changes on the machine.
  void Change(int32_t number) {
    for (int i = 0; i < 12; ++i) {
      const std::string& path = files[random() % files.size()];
      WriteHostFile(path, 100 + random() % 3000, 1700000000 + number * 86400 + i);
    }
    auto key = Key(std::u16string(kSoftware) + u"\\Product 0\\Settings 0");
    if (key != nullptr) key->SetValue(u"Option1", platform::kRegSz, platform::RegSzData(Widen("day " + std::to_string(number))));
    auto added = Key(std::u16string(kSoftware) + u"\\Added on day " + Widen(std::to_string(number)));
    if (added != nullptr) added->SetValue(u"Installed", platform::kRegDword, platform::RegDwordData(static_cast<uint32_t>(number)));
    auto run = Key(kRun);
    if (run != nullptr) run->DeleteValue(Widen("Bench tray " + std::to_string(number % 40)));
    AddService();
  }

  ~Machine() {
    if (!host.empty()) {
      const std::string command = "rm -rf '" + host + "'";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", host.c_str());
    }
  }
};

int Run(int argc, char** argv) {
  if (argc != 4 && argc != 7) {
    std::fprintf(stderr, "usage: orvalinth_fleet_snapshot OUT_FOLDER FIRST LAST [FILES VALUES SERVICES]\n");
    return 2;
  }
  const std::string out = argv[1];
  const int first = std::atoi(argv[2]);
  const int last = std::atoi(argv[3]);
  const int files = argc == 7 ? std::atoi(argv[4]) : 5500;
  const int values = argc == 7 ? std::atoi(argv[5]) : 11000;
  const int services = argc == 7 ? std::atoi(argv[6]) : 650;
  if (first < 1 || last < first || files < 1 || values < 0 || services < 0) {
    std::fprintf(stderr, "orvalinth_fleet_snapshot: FIRST from 1, LAST from FIRST on, FILES from 1\n");
    return 2;
  }
  Machine machine;
  machine.Make(files, values, services);
  platform::ScopedFacility<platform::ServiceManager> use_manager(machine.manager);
  platform::ScopedFacility<platform::KnownFolder> use_folders(machine.folders);
  for (int n = first; n <= last; ++n) {
    if (n > first) machine.Change(n);
    CXScanRequest request;
    request.Build(false, false, true, {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\"}, {machine.folder}, {u"*"});
    const std::string name = Format("snapshot%03d.snp", n);
    const std::u16string path = platform::posix::FromHostPath(out + "/" + name);
    Recorder recorder;
    std::string error;
    if (!recorder.Record(path, request, n, &error)) {
      std::fprintf(stderr, "orvalinth_fleet_snapshot: %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
    struct stat st {};
    stat((out + "/" + name).c_str(), &st);
    std::printf("%s/%s %lld\n", out.c_str(), name.c_str(), static_cast<long long>(st.st_size));
  }
  return 0;
}

}  // namespace
}  // namespace orvalinth

int main(int argc, char** argv) { return orvalinth::Run(argc, argv); }
