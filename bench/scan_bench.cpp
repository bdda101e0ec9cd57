// A file system scan of a generated tree of 160,000 files in about 9,000
// folders, warm in the page cache: our file job storing a snapshot against
// the listing that find prints of the same tree (relative path, size, time,
// mode), compressed with the lz4 tool at level 1:
//
//   find TREE -printf '%P %s %T@ %m\n' | lz4 -1 > out
//
// The tree is made once, beside the benchmark program (in the build folder),
// and reused by later runs. Reported: the time, the stored size (snapshot
// without its header, and the compressed listing) and, for ours, the peak
// resident memory of the scan (the process's high-water mark, reset first).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/posix/drive_table.h"
#include "platform/process.h"
#include "record/apps/system_info.h"
#include "record/file_scan.h"
#include "record/scan_request.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

constexpr int kFiles = 160000;

// Folders of program, system and user kinds, nested up to five deep, with
// names from a vocabulary and numbers, files of common kinds and sizes.
class TreeMaker {
 public:
  explicit TreeMaker(std::u16string root) : root_(std::move(root)), gen_(20261208) {}

  void Make() {
    platform::FileSystem::Get().CreateFolder(root_.substr(0, root_.size() - 1));
    while (files_ < kFiles) Folder(root_, 0);
  }

 private:
  void Folder(const std::u16string& parent, int depth) {
    const std::u16string path = parent + FolderName() + u"\\";
    if (!platform::FileSystem::Get().CreateFolder(path.substr(0, path.size() - 1))) return;
    const int files = static_cast<int>(Pick(depth == 0 ? 10 : 35));
    std::set<std::string> names;
    for (int i = 0; i < files && files_ < kFiles; ++i) File(path, &names);
    if (depth >= 5) return;
    const int folders = static_cast<int>(Pick(depth < 2 ? 7 : 4));
    for (int i = 0; i < folders && files_ < kFiles; ++i) Folder(path, depth + 1);
  }

  void File(const std::u16string& folder, std::set<std::string>* names) {
    static const char* const kStems[] = {"setup", "readme", "kernel", "shell", "msvcr", "config", "update", "icon",
                                         "strings", "license", "install", "helper", "service", "manifest", "data",
                                         "resource", "font", "driver", "report", "index", "thumb", "cache",
                                         "api-ms-win-core-file-l1-2-0", "Microsoft.Windows.Common-Controls",
                                         "System.Runtime.Serialization", "wow64cpu", "ntoskrnl", "user32"};
    static const char* const kExts[] = {".dll", ".exe", ".sys", ".txt", ".xml", ".mui", ".dat", ".png", ".ini",
                                        ".log", ".cat", ".manifest", ".js", ".json", ".ttf", ".inf", ".cab", ".pf"};
    // Names as disks have them: words, often with a number, sometimes a long
    // one; unique in their folder.
    std::string name = kStems[Pick(sizeof kStems / sizeof kStems[0])];
    if (Pick(2) == 0) name += std::to_string(Pick(1000));
    if (Pick(7) == 0) name += "-" + std::to_string(Pick(0x7FFFFFFF));
    name += kExts[Pick(sizeof kExts / sizeof kExts[0])];
    if (!names->insert(name).second) return;
    // Small contents keep the tree a few dozen megabytes; sizes still vary.
    const std::string bytes(Pick(8) == 0 ? 1000 + Pick(4000) : Pick(300), 'x');
    auto file = platform::FileSystem::Get().Open(folder + Widen(name), platform::kOpenCreate);
    uint32_t written = 0;
    if (file != nullptr && (bytes.empty() || file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written))) {
      ++files_;
    }
  }

  std::u16string FolderName() {
    static const char* const kWords[] = {"Windows", "System32", "Program Files", "Common Files", "Microsoft",
                                         "Users", "AppData", "Local", "Roaming", "Temp", "drivers", "en-US",
                                         "Fonts", "WinSxS", "assembly", "Packages", "Cache", "Logs", "Data",
                                         "Resources", "bin", "lib", "Plugins", "Config", "Updates", "Help"};
    std::string name = kWords[Pick(sizeof kWords / sizeof kWords[0])];
    name += "_" + std::to_string(++folders_);
    if (Pick(5) == 0) name = "amd64_microsoft-windows-" + name + "_31bf3856ad364e35_10.0." + std::to_string(Pick(30000));
    return Widen(name);
  }

  uint32_t Pick(size_t n) { return static_cast<uint32_t>(gen_() % n); }

  std::u16string root_;
  std::mt19937 gen_;
  int files_ = 0;
  int folders_ = 0;
};

// The tree beside the program: made when its completion mark is missing.
const std::u16string& Tree() {
  static const std::u16string tree = [] {
    const std::u16string exe = platform::Process::Get().ExecutablePath();
    const std::u16string root = exe.substr(0, exe.find_last_of(u'\\') + 1) + u"scan-tree-2\\";
    const std::u16string mark = root + u"complete";
    if (platform::FileSystem::Get().Attributes(mark) == platform::kInvalidAttributes) {
      std::fprintf(stderr, "making the scan tree of %d files (once)...\n", kFiles);
      const int removed = std::system(("rm -rf '" + platform::posix::ToHostPath(root) + "'").c_str());
      (void)removed;  // a first run has nothing to remove
      TreeMaker(root).Make();
      platform::FileSystem::Get().Open(mark, platform::kOpenCreate);
    }
    return root;
  }();
  return tree;
}

std::u16string TempPath(const char16_t* name) {
  return platform::FileSystem::Get().TempFolder() + u"orvalinth-scan-bench-" +
         Widen(std::to_string(static_cast<long long>(std::rand()))) + name;
}

uint64_t FileSize(const std::u16string& path) {
  uint64_t size = 0;
  if (auto file = platform::FileSystem::Get().Open(path, platform::kOpenRead)) file->Size(&size);
  return size;
}

// The process's peak resident memory in kB ("VmHWM"), and its reset to the
// memory in use now (Linux 4.0 on).
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

void Warm() {
  const std::string command = "find '" + platform::posix::ToHostPath(Tree()) + "' -printf '%s' > /dev/null";
  const int listed = std::system(command.c_str());
  (void)listed;  // only the page cache matters here
}

void BM_ScanOurs(benchmark::State& state) {
  const std::u16string tree = Tree();
  const std::u16string path = TempPath(u".snp");
  Warm();
  CXSnapshotWriter writer;
  CXScanRequest request;
  request.include[kScanFiles] = {tree};
  request.MakeExclusionSet(kScanFiles);
  uint64_t size = 0;
  int32_t files = 0;
  ResetPeakResident();
  for (auto _ : state) {
    if (!writer.CreateSnapshot(path, "bench", request.InfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    {
      CXFileScan job(writer, request, {tree}, nullptr);
      job.StartJob(writer, kScanFiles);
      while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
    }
    files = writer.progress(kScanFiles, 1).Get();
    if (writer.FinishSnapshot(1, DescribeMachine()) == 0) state.SkipWithError("the snapshot was not finished");
    size = FileSize(path);
  }
  state.counters["size_MB"] = benchmark::Counter(static_cast<double>(size - 20) / 1e6);
  state.counters["files"] = benchmark::Counter(files);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(PeakResidentKb()) / 1e3);
  platform::FileSystem::Get().RemoveFile(path);
}

void BM_ScanBaseline(benchmark::State& state) {
  const std::u16string tree = Tree();
  const std::u16string out = TempPath(u".lz4");
  Warm();
  const std::string command = "find '" + platform::posix::ToHostPath(tree) + "' -printf '%P %s %T@ %m\\n' | lz4 -1 -q > '" +
                              platform::posix::ToHostPath(out) + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("find or lz4 failed (is the lz4 tool installed?)");
      break;
    }
  }
  state.counters["size_MB"] = benchmark::Counter(static_cast<double>(FileSize(out)) / 1e6);
  platform::FileSystem::Get().RemoveFile(out);
}

BENCHMARK(BM_ScanOurs)->Name("Scan/ours")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ScanBaseline)->Name("Scan/baseline")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace
}  // namespace orvalinth
