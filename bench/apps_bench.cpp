// A full applications pass on the host: 1,000 services and drivers in the
// emulated service manager (image paths of files that exist, and some that
// do not, with descriptions) and 200 startup entries (180 Run values over the
// machine's and the user's Run keys, 20 programs in a startup folder).
//
//   Apps/ours      the applications job: every category made, sorted,
//                  stored and the snapshot finished
//   Apps/baseline  the same enumeration without items: every Run key's
//                  values read, the startup folder listed, the manager's
//                  list, each service opened and its configuration and
//                  description read, and each image file looked up on disk
//
// Reported: the time, items per second (entries made a second, counted on
// both sides) and, for ours, the peak resident memory of the pass.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/strings.h"
#include "bench_memory.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/posix/drive_table.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_emulation.h"
#include "platform/services.h"
#include "record/apps/apps_scan.h"
#include "record/apps/system_info.h"
#include "record/scan_request.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

constexpr int kServices = 1000;
constexpr int kDrivers = 200;  // of the services
constexpr int kRunValues = 180;
constexpr int kFolderPrograms = 20;
const char16_t* const kRunKeys[] = {u"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"};

class BenchFolders final : public platform::KnownFolder {
 public:
  bool FolderPath(int csidl, bool, std::u16string* path) override {
    if (csidl != platform::kFolderStartup) return false;
    *path = startup;
    return true;
  }
  std::u16string startup;
};

// The machine the pass looks at, made once.
struct Machine {
  Machine() {
    const std::u16string temp = platform::FileSystem::Get().TempFolder();
    folder = temp + u"orvalinth-apps-bench-" + Widen(std::to_string(static_cast<unsigned long>(std::random_device()()))) + u"\\";
    platform::FileSystem::Get().CreateFolder(folder.substr(0, folder.size() - 1));
    folders.startup = folder + u"Startup";
    platform::FileSystem::Get().CreateFolder(folders.startup);
    const auto make = [](const std::u16string& path, size_t size) {
      auto file = platform::FileSystem::Get().Open(path, platform::kOpenCreate);
      const std::string bytes(size, 'x');
      uint32_t written = 0;
      if (file != nullptr) file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
    };
    for (int i = 0; i < kServices; ++i) {
      const bool driver = i < kDrivers;
      const std::u16string name = Widen((driver ? "drv" : "svc") + std::to_string(i));
      const std::u16string image = folder + name + (driver ? u".sys" : u".exe");
      if (i % 10 != 0) make(image, 1000 + static_cast<size_t>(i));  // every tenth is gone
      platform::ServiceConfig config;
      config.name = name;
      config.display_name = u"Bench " + name;
      config.type = driver ? platform::kServiceKernelDriver : platform::kServiceWin32ShareProcess;
      config.start_type = static_cast<uint32_t>(i % 5);
      config.binary_path = driver ? image : u"\"" + image + u"\" -k netsvcs -p";
      manager.Install(config, i % 3 == 0 ? platform::kServiceRunning : platform::kServiceStopped);
      manager.WriteDescription(name, u"The bench service " + name + u", which does nothing of note.");
    }
    for (int i = 0; i < kRunValues; ++i) {
      const std::u16string program = folder + Widen("run" + std::to_string(i) + ".exe");
      make(program, 500);
      std::unique_ptr<platform::RegistryKey> key;
      const platform::RegistryRoot root = i % 2 ? platform::RegistryRoot::kCurrentUser : platform::RegistryRoot::kLocalMachine;
      platform::Registry::Get().CreateKey(root, kRunKeys[i % 3 == 0], platform::kRegOptionNone, &key);
      if (key != nullptr) {
        key->SetValue(Widen("Run entry " + std::to_string(i)), platform::kRegSz,
                      platform::RegSzData(u"\"" + program + u"\" /background"));
      }
    }
    for (int i = 0; i < kFolderPrograms; ++i) make(folders.startup + Widen("\\tool" + std::to_string(i) + ".exe"), 700);
  }
  ~Machine() {
    const int removed = std::system(("rm -rf '" + platform::posix::ToHostPath(folder) + "'").c_str());
    (void)removed;
  }

  std::u16string folder;
  BenchFolders folders;
  platform::EmulatedServiceManager manager;
};

Machine& TheMachine() {
  static Machine machine;
  return machine;
}

using bench::PeakResidentKb;
using bench::ResetPeakResident;

void BM_AppsOurs(benchmark::State& state) {
  Machine& machine = TheMachine();
  platform::ScopedFacility<platform::ServiceManager> use_manager(machine.manager);
  platform::ScopedFacility<platform::KnownFolder> use_folders(machine.folders);
  const std::u16string path = machine.folder + u"apps.snp";
  CXSnapshotWriter writer;
  CXScanRequest request;
  request.include[kScanApps] = {u"*"};
  int32_t items = 0;
  ResetPeakResident();
  for (auto _ : state) {
    if (!writer.CreateSnapshot(path, "bench", request.InfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    {
      CXAppsScan job(writer);
      job.StartJob(writer, kScanApps);
      while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
    }
    items = writer.progress(kScanApps, 0).Get();
    if (writer.FinishSnapshot(1, DescribeMachine()) == 0) state.SkipWithError("the snapshot was not finished");
  }
  if (items != kServices + kRunValues + kFolderPrograms) state.SkipWithError("not every entry became an item");
  state.counters["items_per_s"] = benchmark::Counter(items, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(PeakResidentKb()) / 1e3);
  platform::FileSystem::Get().RemoveFile(path);
}

// The image path of a configuration, without its quotes and arguments.
std::u16string ImageOf(const std::u16string& command) {
  if (!command.empty() && command[0] == u'"') return command.substr(1, command.find(u'"', 1) - 1);
  return command;
}

void BM_AppsBaseline(benchmark::State& state) {
  Machine& machine = TheMachine();
  std::vector<uint64_t> buffer(8192 / 8);
  int32_t items = 0;
  for (auto _ : state) {
    items = 0;
    std::u16string name;
    std::string data;
    uint32_t type = 0;
    platform::FindData found;
    for (platform::RegistryRoot root : {platform::RegistryRoot::kLocalMachine, platform::RegistryRoot::kCurrentUser}) {
      for (const char16_t* run : kRunKeys) {
        std::unique_ptr<platform::RegistryKey> key;
        if (platform::Registry::Get().OpenKey(root, run, platform::kRegOptionNone, platform::kRegRead, &key) != 0) continue;
        for (uint32_t i = 0; key->EnumValue(i, &name, &type, &data) == 0; ++i) {
          platform::FileSystem::Get().FindFirst(ImageOf(platform::RegDataText(data)), &found);
          ++items;
        }
      }
    }
    if (auto search = platform::FileSystem::Get().FindFirst(machine.folders.startup + u"\\*.*", &found)) {
      do {
        if ((found.attributes & platform::kAttrDirectory) == 0) ++items;
      } while (search->Next(&found));
    }
    std::unique_ptr<platform::ServiceDatabase> database;
    std::vector<platform::ServiceEntry> entries;
    if (!machine.manager.OpenManager(platform::kGenericRead, &database) ||
        !database->Enumerate(platform::kServiceTypeAll, platform::kServiceStateAll, &entries)) {
      state.SkipWithError("no service list");
      break;
    }
    for (const platform::ServiceEntry& entry : entries) {
      std::unique_ptr<platform::Service> service;
      if (!database->Open(entry.name, platform::kGenericRead, &service)) continue;
      platform::ServiceConfig config;
      std::u16string description;
      uint32_t needed = 0;
      service->QueryConfig(buffer.data(), 8192, &needed, &config);
      service->QueryDescription(buffer.data(), 8192, &needed, &description);
      platform::FileSystem::Get().FindFirst(ImageOf(config.binary_path), &found);
      ++items;
    }
  }
  state.counters["items_per_s"] = benchmark::Counter(items, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_AppsOurs)->Name("Apps/ours")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_AppsBaseline)->Name("Apps/baseline")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace orvalinth
