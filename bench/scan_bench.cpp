// File-system scans, warm in the page cache: our file job storing a
// snapshot (the recording code of the build, compressing at its LZ4 level)
// against the listing that find prints of the same tree (relative path,
// size, time, mode), compressed with the lz4 tool at level 1:
//
//   find TREE -printf '%P %s %T@ %m\n' | lz4 -1 > out
//
// Trees, made once beside the benchmark program (in the build folder) and
// reused by later runs:
//   Scan                a tree of 160,000 files in about 9,000 folders
// and, only when ORVALINTH_BENCH_MILLION is set (scripts/bench-million):
//   ScanMillion         1,000,000 files in 100,000 folders (10 + 990 +
//                       99,000 folders three deep, ten files in each) and
//                       beside them one folder of 200,000 files
//   ScanFolder200000    that folder of 200,000 files alone
//   ScanFolder20000     a folder of 20,000 files (the same names and sizes):
//                       time per file must not grow with the folder
//   ScanUsr             /usr of this machine
//   ScanFiveMillion     5,000,000 files in 500,000 folders (50 + 4,950 +
//                       495,000, ten files in each) and the folder of
//                       200,000 beside them: memory must not grow with it
//   StreamedMillion     the million tree with its sections streamed (ours)
//                       and held whole, as before streaming (baseline):
//                       the memory of each, and every decoded section
//                       payload the same (else the run fails)
// The generated files are empty or sparse (sizes without data blocks), so
// the million take inodes but hardly any disk.
//
// Reported: the time, the stored size (the snapshot without its 20-byte
// header; the compressed listing) and the peak resident memory (ours: of
// Scan this process's high-water mark, reset first, and "grown_MB", its
// growth over the memory in use before the scan; of the large trees the
// peak of orvalinth_scan_probe, the file job alone in a process of its own
// as the agent runs it; the pipeline's: its largest process). For ours also "payload_MB", the largest block's payload
// (held whole it bounded the growth; streamed it no longer does), and
// "sort_MB", the most one folder's file records took while they waited to
// be sorted, the one term of the scan's memory that grows with a folder. "cpu_s" is the
// processor time (user and system) of a scan: ours of this process, the
// pipeline's of its processes together; a busy machine disturbs it less than
// the wall time.

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/strings.h"
#include "bench_memory.h"
#include "disk_names.h"
#include "platform/files.h"
#include "platform/posix/drive_table.h"
#include "platform/process.h"
#include "record/apps/system_info.h"
#include "record/file_scan.h"
#include "record/scan_request.h"
#include "storage/block_header.h"
#include "storage/lz4_block.h"
#include "storage/payload_spool.h"
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
    // Names as disks have them, unique in their folder.
    const std::string name = bench::DiskFileName(gen_);
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
    std::string name = bench::FolderWord(gen_);
    name += "_" + std::to_string(++folders_);
    return Widen(bench::MaybeAssembly(gen_, name));
  }

  uint32_t Pick(size_t n) { return static_cast<uint32_t>(gen_() % n); }

  std::u16string root_;
  std::mt19937 gen_;
  int files_ = 0;
  int folders_ = 0;
};

// The tree beside the program: made when its completion mark is missing.
const std::u16string& SmallTree() {
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

// Names and sizes as disks have them, from one seeded generator.
class Names {
 public:
  explicit Names(unsigned seed) : gen_(seed) {}

  std::string FileName() { return bench::DiskFileName(gen_); }

  std::string FolderName(int serial) {
    return bench::MaybeAssembly(gen_, bench::FolderWord(gen_) + "_" + std::to_string(serial));
  }

  // Mostly small, some large: spread over many orders of magnitude; a third empty.
  uint64_t Size() {
    if (Pick(3) == 0) return 0;
    std::lognormal_distribution<double> size(8.0, 2.5);
    return static_cast<uint64_t>(size(gen_));
  }

  // Last-write times clustered around a few installation dates (seconds).
  int64_t Age() { return static_cast<int64_t>(Pick(8)) * 40000000 + Pick(86400 * 3); }

  uint32_t Pick(size_t n) { return static_cast<uint32_t>(gen_() % n); }

 private:
  std::mt19937 gen_;
};

namespace fs = std::filesystem;

// `count` files of distinct names in `folder`: sparse, of the sizes and times drawn.
void MakeFiles(const fs::path& folder, int count, Names& names) {
  std::set<std::string> taken;
  const auto now = fs::file_time_type::clock::now();
  for (int made = 0; made < count;) {
    std::string name = names.FileName();
    if (!taken.insert(name).second) {
      name.insert(0, std::to_string(made) + "_");  // a crowded folder: made unique
      if (!taken.insert(name).second) continue;
    }
    const fs::path file = folder / name;
    { std::ofstream create(file); }
    const uint64_t size = names.Size();
    if (size != 0) fs::resize_file(file, size);
    fs::last_write_time(file, now - std::chrono::seconds(names.Age()));
    ++made;
  }
}

// `top` folders of 99 folders of 100 folders, ten files in each; and the
// folder "wide" of 200,000 files.
void MakeTree(const fs::path& root, int top) {
  Names names(20261209);
  int serial = 0;
  for (int a = 0; a < top; ++a) {
    const fs::path one = root / names.FolderName(++serial);
    fs::create_directory(one);
    MakeFiles(one, 10, names);
    for (int b = 0; b < 99; ++b) {
      const fs::path two = one / names.FolderName(++serial);
      fs::create_directory(two);
      MakeFiles(two, 10, names);
      for (int c = 0; c < 100; ++c) {
        const fs::path three = two / names.FolderName(++serial);
        fs::create_directory(three);
        MakeFiles(three, 10, names);
      }
    }
  }
  fs::create_directory(root / "wide");
  MakeFiles(root / "wide", 200000, names);
}

// 10 and 50 of them: 1,000,000 files in 100,000 folders, 5,000,000 in 500,000.
void MakeMillionTree(const fs::path& root) { MakeTree(root, 10); }
void MakeFiveMillionTree(const fs::path& root) { MakeTree(root, 50); }

void MakeFolder20000(const fs::path& root) {
  Names names(20261209);
  MakeFiles(root, 20000, names);
}

std::u16string BenchFolder() {
  const std::u16string exe = platform::Process::Get().ExecutablePath();
  return exe.substr(0, exe.find_last_of(u'\\') + 1);
}

// A generated tree beside the program, made when its completion mark is
// missing; the mark lies beside the tree, outside what is scanned.
std::u16string GeneratedTree(const char16_t* name, void (*make)(const fs::path&), const char* what) {
  const std::u16string root = BenchFolder() + name + u"\\";
  const fs::path host = platform::posix::ToHostPath(BenchFolder() + name);
  const fs::path mark = host.string() + ".complete";
  if (!fs::exists(mark)) {
    std::fprintf(stderr, "making the %s (once)...\n", what);
    const auto start = std::chrono::steady_clock::now();
    fs::remove_all(host);
    fs::create_directories(host);
    make(host);
    std::ofstream{mark};
    std::fprintf(stderr, "made in %.0f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return root;
}

const std::u16string& MillionTree() {
  static const std::u16string tree =
      GeneratedTree(u"million-tree-1", MakeMillionTree, "tree of 1,000,000 files and a folder of 200,000");
  return tree;
}

const std::u16string& FiveMillionTree() {
  static const std::u16string tree = GeneratedTree(u"five-million-tree-1", MakeFiveMillionTree,
                                                   "tree of 5,000,000 files and a folder of 200,000");
  return tree;
}

const std::u16string& Folder20000() {
  static const std::u16string tree = GeneratedTree(u"folder-20000-1", MakeFolder20000, "folder of 20,000 files");
  return tree;
}

std::u16string TempPath(const char16_t* name) {
  return platform::FileSystem::Get().TempFolder() + u"orvalinth-scan-bench-" +
         Widen(std::to_string(static_cast<long long>(std::rand()))) + name;
}

std::string Quoted(const std::u16string& path) { return "'" + platform::posix::ToHostPath(path) + "'"; }

uint64_t FileSize(const std::u16string& path) {
  uint64_t size = 0;
  if (auto file = platform::FileSystem::Get().Open(path, platform::kOpenRead)) file->Size(&size);
  return size;
}

// The longest payload of the snapshot's blocks, which follow one another
// from the 20-byte header on.
uint64_t LargestPayload(const std::u16string& path) {
  std::ifstream in(platform::posix::ToHostPath(path), std::ios::binary);
  uint64_t largest = 0;
  for (uint64_t at = 20;;) {
    uint8_t header[8] = {};
    in.clear();
    in.seekg(static_cast<std::streamoff>(at));
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (in.gcount() == 0) break;
    uint32_t stored = 0;
    uint32_t length = 0;
    bool compressed = false;
    const int32_t h = DecodeBlockHeader(header, &stored, &length, &compressed);
    if (h <= 0) break;
    largest = std::max<uint64_t>(largest, length);
    at += static_cast<uint64_t>(h) + stored;
  }
  return largest;
}

using bench::ResetPeakResident;
using bench::SectionPayloads;
using bench::StatusKb;

double Seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage);
}

void Warm(const std::u16string& tree) {
  const int listed = std::system(("find " + Quoted(tree) + " -printf '%s' > /dev/null").c_str());
  (void)listed;  // only the page cache matters here
}

// Our file job recording `tree` in this process, as often as the benchmark
// library asks.
void ScanOurs(benchmark::State& state, const std::u16string& tree) {
  const std::u16string path = TempPath(u".snp");
  Warm(tree);
  CXSnapshotWriter writer;
  CXScanRequest request;
  request.include[kScanFiles] = {tree};
  request.MakeExclusionSet(kScanFiles);
  uint64_t size = 0;
  int32_t files = 0;
  size_t sort_bytes = 0;
  ResetPeakResident();
  const long start_kb = StatusKb("VmRSS:");
  const double cpu_start = CpuSeconds();
  for (auto _ : state) {
    if (!writer.CreateSnapshot(path, "bench", request.InfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    {
      CXFileScan job(writer, request, {tree}, nullptr);
      job.StartJob(writer, kScanFiles);
      while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
      sort_bytes = job.largest_run_bytes();
    }
    files = writer.progress(kScanFiles, 1).Get();
    if (writer.FinishSnapshot(1, DescribeMachine()) == 0) state.SkipWithError("the snapshot was not finished");
    size = FileSize(path);
  }
  const double cpu = (CpuSeconds() - cpu_start) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  const long peak_kb = StatusKb("VmHWM:");
  state.counters["cpu_s"] = benchmark::Counter(cpu);
  state.counters["size_MB"] = benchmark::Counter(static_cast<double>(size - 20) / 1e6);
  state.counters["files"] = benchmark::Counter(files);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1e3);
  state.counters["peak_MiB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1024.0);
  state.counters["grown_MB"] = benchmark::Counter(static_cast<double>(peak_kb - start_kb) / 1e3);
  state.counters["payload_MB"] = benchmark::Counter(static_cast<double>(LargestPayload(path)) / 1e6);
  state.counters["sort_MB"] = benchmark::Counter(static_cast<double>(sort_bytes) / 1e6);
  platform::FileSystem::Get().RemoveFile(path);
}

// Runs `command` with the shell in a child process of its own, which
// reports the largest resident memory (kB) among the processes it waited
// for and their processor time.
bool RunMeasured(const std::string& command, long* peak_kb, double* cpu) {
  int report[2];
  if (pipe(report) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    long result[3] = {std::system(command.c_str()), 0, 0};
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    result[1] = usage.ru_maxrss;
    result[2] = static_cast<long>(Seconds(usage) * 1e6);
    const ssize_t sent = write(report[1], result, sizeof result);
    _exit(sent == sizeof result ? 0 : 1);
  }
  close(report[1]);
  long result[3] = {-1, 0, 0};
  const ssize_t got = child < 0 ? -1 : read(report[0], result, sizeof result);
  close(report[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  *peak_kb = result[1];
  *cpu += static_cast<double>(result[2]) / 1e6;
  return got == sizeof result && result[0] == 0;
}

// Our file job recording `tree` in a process of its own, as the agent runs
// it (orvalinth_scan_probe), measured as the pipeline is: its wall and
// processor time and its peak resident memory. Sections streamed in parts
// of `part` bytes (INT32_MAX: held whole, as they once were); the snapshot
// is kept at *kept when given.
void ScanOursApart(benchmark::State& state, const std::u16string& tree, int32_t part = CXPayloadSpool::kPart,
                   std::u16string* kept = nullptr) {
  const std::u16string path = TempPath(u".snp");
  const std::u16string report = TempPath(u".txt");
  Warm(tree);
  const std::string probe = platform::posix::ToHostPath(BenchFolder() + u"orvalinth_scan_probe");
  const std::string command = "'" + probe + "' '" + EncodeUtf8(tree) + "' '" + EncodeUtf8(path) + "' " +
                              std::to_string(part) + " > " + Quoted(report);
  long peak_kb = 0;
  double cpu = 0;
  for (auto _ : state) {
    if (!RunMeasured(command, &peak_kb, &cpu)) {
      state.SkipWithError("orvalinth_scan_probe failed");
      break;
    }
  }
  std::ifstream in(platform::posix::ToHostPath(report));
  long files = 0;
  size_t sort_bytes = 0;
  in >> files >> sort_bytes;
  state.counters["cpu_s"] = benchmark::Counter(cpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
  state.counters["size_MB"] = benchmark::Counter(static_cast<double>(FileSize(path) - 20) / 1e6);
  state.counters["files"] = benchmark::Counter(static_cast<double>(files));
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1e3);
  state.counters["peak_MiB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1024.0);
  state.counters["payload_MB"] = benchmark::Counter(static_cast<double>(LargestPayload(path)) / 1e6);
  state.counters["sort_MB"] = benchmark::Counter(static_cast<double>(sort_bytes) / 1e6);
  platform::FileSystem::Get().RemoveFile(report);
  if (kept != nullptr) {
    *kept = path;
  } else {
    platform::FileSystem::Get().RemoveFile(path);
  }
}

void ScanBaseline(benchmark::State& state, const std::u16string& tree) {
  const std::u16string out = TempPath(u".lz4");
  Warm(tree);
  const std::string command = "find " + Quoted(tree) + " -printf '%P %s %T@ %m\\n' | lz4 -1 -q > " + Quoted(out);
  long peak_kb = 0;
  double cpu = 0;
  for (auto _ : state) {
    if (!RunMeasured(command, &peak_kb, &cpu)) {
      state.SkipWithError("find or lz4 failed (is the lz4 tool installed?)");
      break;
    }
  }
  state.counters["size_MB"] = benchmark::Counter(static_cast<double>(FileSize(out)) / 1e6);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1e3);
  state.counters["cpu_s"] = benchmark::Counter(cpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
  platform::FileSystem::Get().RemoveFile(out);
}

const std::u16string& Usr() {
  static const std::u16string usr = platform::posix::FromHostPath("/usr") + u"\\";
  return usr;
}

void BM_ScanOurs(benchmark::State& state) { ScanOurs(state, SmallTree()); }
void BM_ScanBaseline(benchmark::State& state) { ScanBaseline(state, SmallTree()); }
void BM_MillionOurs(benchmark::State& state) { ScanOursApart(state, MillionTree()); }
void BM_MillionBaseline(benchmark::State& state) { ScanBaseline(state, MillionTree()); }
void BM_Wide200kOurs(benchmark::State& state) { ScanOursApart(state, MillionTree() + u"wide\\"); }
void BM_Wide200kBaseline(benchmark::State& state) { ScanBaseline(state, MillionTree() + u"wide\\"); }
void BM_Wide20kOurs(benchmark::State& state) { ScanOursApart(state, Folder20000()); }
void BM_Wide20kBaseline(benchmark::State& state) { ScanBaseline(state, Folder20000()); }
void BM_FiveMillionOurs(benchmark::State& state) { ScanOursApart(state, FiveMillionTree()); }
void BM_FiveMillionBaseline(benchmark::State& state) { ScanBaseline(state, FiveMillionTree()); }
// The million tree streamed (ours) and held whole, as before streaming
// (baseline): the memory of each, and every decoded payload the same.
std::u16string g_streamed;
void BM_StreamedMillionOurs(benchmark::State& state) {
  ScanOursApart(state, MillionTree(), CXPayloadSpool::kPart, &g_streamed);
}
void BM_StreamedMillionBaseline(benchmark::State& state) {
  std::u16string whole;
  ScanOursApart(state, MillionTree(), INT32_MAX, &whole);
  const std::vector<std::string> a = SectionPayloads(g_streamed), b = SectionPayloads(whole);
  if (a.empty() || a != b) state.SkipWithError("the streamed payloads differ from those held whole");
  state.counters["same_payloads"] = benchmark::Counter(!a.empty() && a == b ? 1 : 0);
  platform::FileSystem::Get().RemoveFile(g_streamed);
  platform::FileSystem::Get().RemoveFile(whole);
}
void BM_UsrOurs(benchmark::State& state) { ScanOursApart(state, Usr()); }
void BM_UsrBaseline(benchmark::State& state) { ScanBaseline(state, Usr()); }

BENCHMARK(BM_ScanOurs)->Name("Scan/ours")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ScanBaseline)->Name("Scan/baseline")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The large trees take a minute to make and seconds a scan: registered only
// when asked for, each pair measured once per run.
const bool kMillionRegistered = [] {
  if (std::getenv("ORVALINTH_BENCH_MILLION") == nullptr) return false;
  const struct {
    const char* group;
    void (*ours)(benchmark::State&);
    void (*baseline)(benchmark::State&);
  } pairs[] = {{"ScanUsr", BM_UsrOurs, BM_UsrBaseline},
               {"ScanFolder20000", BM_Wide20kOurs, BM_Wide20kBaseline},
               {"ScanFolder200000", BM_Wide200kOurs, BM_Wide200kBaseline},
               {"ScanMillion", BM_MillionOurs, BM_MillionBaseline},
               {"ScanFiveMillion", BM_FiveMillionOurs, BM_FiveMillionBaseline},
               {"StreamedMillion", BM_StreamedMillionOurs, BM_StreamedMillionBaseline}};
  for (const auto& pair : pairs) {
    for (int side = 0; side < 2; ++side) {
      benchmark::RegisterBenchmark((std::string(pair.group) + (side == 0 ? "/ours" : "/baseline")).c_str(),
                                   side == 0 ? pair.ours : pair.baseline)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->Iterations(1);
    }
  }
  return true;
}();

}  // namespace
}  // namespace orvalinth
