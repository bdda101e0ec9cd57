// Storing one 64 MiB section payload of realistic file records: our writer
// (WriteBlock: LZ4 block compression and the file write) against the lz4
// command-line tool compressing the same bytes at its default level (-1),
// run as a process, in the same benchmark run ("StoreSection64MiB"). And the
// block made in parts of 1 MiB, in memory, against LZ4's one-call block
// compressor on the same bytes into a ready buffer ("Lz4Parts64MiB": what
// joining the parts into one block costs), both at the build's level.
// Besides the wall time, "cpu_s" gives the processor time of an iteration
// (ours: this process's; the tool's: its process's), which a busy machine
// disturbs less.

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/strings.h"
#include "disk_names.h"
#include "platform/files.h"
#include "platform/posix/drive_table.h"
#include "record/scan_request.h"
#include "storage/file_records.h"
#include "storage/lz4_block.h"
#include "storage/mem_writer.h"
#include "storage/node_table.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

constexpr int32_t kPayloadSize = 64 << 20;

// A disk as a scan sees it: nested folders of program, system and user
// files, names from a vocabulary with numbers and common extensions, sizes
// spread over many orders of magnitude, last-write times clustered around
// installation dates.
class TreeMaker {
 public:
  explicit TreeMaker(CXMemWriter& payload) : payload_(payload), gen_(20261208) {}

  // Writes folders until the payload holds `bytes`; returns the root table.
  int32_t Fill(int32_t bytes) {
    payload_.WriteU8(0x01);
    std::vector<std::u16string> roots;
    CXNodeTable top;
    while (payload_.position() < bytes) {
      const std::u16string name = FolderName();
      const int32_t children = Folder(0);
      const int32_t files = Files();
      SXNodeRecord* node = top.Append(name, 0x10);
      node->child_offset = children;
      node->content_offset = files;
    }
    const int32_t level = top.Flush(payload_, true);
    CXNodeTable root;
    root.Append(u"c:\\", 0x16)->child_offset = level;
    return root.Flush(payload_, true);
  }

 private:
  int32_t Folder(int depth) {
    if (depth >= 5) return 0;
    std::uniform_int_distribution<int> count(0, depth < 2 ? 6 : 3);
    const int n = count(gen_);
    if (n == 0) return 0;
    CXNodeTable table;
    std::vector<std::pair<int32_t, int32_t>> offsets;
    std::vector<std::u16string> names;
    for (int i = 0; i < n; ++i) {
      names.push_back(FolderName());
      const int32_t children = Folder(depth + 1);
      offsets.emplace_back(children, Files());
    }
    for (int i = 0; i < n; ++i) {
      SXNodeRecord* node = table.Append(names[i], 0x10);
      node->child_offset = offsets[i].first;
      node->content_offset = offsets[i].second;
    }
    return table.Flush(payload_, true);
  }

  int32_t Files() {
    std::geometric_distribution<int> count(0.05);
    const int n = count(gen_);
    CXSnapshotDataFileRecArray files;
    const int64_t base = kEpoch + static_cast<int64_t>(Pick(4000)) * kDay;
    for (int i = 0; i < n; ++i) {
      SXFileRecord* r = files.Append(FileName());
      std::lognormal_distribution<double> size(9.0, 2.5);
      r->size = static_cast<uint64_t>(size(gen_));
      // Most files of a folder were written together; a few later.
      r->last_write = base + (Pick(10) == 0 ? static_cast<int64_t>(Pick(900)) * kDay : 0) +
                      static_cast<int64_t>(Pick(3600)) * 10000000;
      r->attributes = Pick(8) == 0 ? 0x21 : 0x20;
      r->version_index = Pick(6) == 0 ? static_cast<int32_t>(Pick(30000)) : -1;
    }
    return files.Flush(payload_, true);
  }

  std::u16string FolderName() {
    std::string name = bench::FolderWord(gen_);
    if (Pick(3) == 0) name += "_" + std::to_string(Pick(100000));
    return Widen(bench::MaybeAssembly(gen_, name));
  }

  // Of the first 22 stems: the payload measured keeps its names.
  std::u16string FileName() { return Widen(bench::DiskFileName(gen_, 22)); }

  uint32_t Pick(size_t n) { return static_cast<uint32_t>(gen_() % n); }

  static constexpr int64_t kEpoch = 130000000000000000LL;  // 2012
  static constexpr int64_t kDay = 864000000000LL;
  CXMemWriter& payload_;
  std::mt19937 gen_;
};

const std::string& Payload() {
  static const std::string bytes = [] {
    CXMemWriter payload;
    TreeMaker(payload).Fill(kPayloadSize);
    return std::string(reinterpret_cast<const char*>(payload.data()), kPayloadSize);
  }();
  return bytes;
}

std::u16string TempPath(const char16_t* name) {
  return platform::FileSystem::Get().TempFolder() + u"orvalinth-bench-" +
         Widen(std::to_string(static_cast<long long>(std::rand()))) + name;
}

// Processor time (user and system) of this process or of its waited-for children.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void SetCpu(benchmark::State& state, double seconds) {
  state.counters["cpu_s"] = benchmark::Counter(seconds / static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}

void SetCounters(benchmark::State& state, double stored) {
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(kPayloadSize) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["size_MB"] = benchmark::Counter(stored / 1e6);
  state.counters["ratio"] = benchmark::Counter(stored / kPayloadSize);
}

void BM_StoreSectionOurs(benchmark::State& state) {
  const std::string& payload = Payload();
  const std::u16string path = TempPath(u".snp");
  CXSnapshotWriter writer;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!writer.CreateSnapshot(path, "bench", SXInfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    state.ResumeTiming();
    const double cpu_start = CpuSeconds(RUSAGE_SELF);
    const uint32_t at = writer.WriteBlock(reinterpret_cast<const uint8_t*>(payload.data()), kPayloadSize);
    cpu += CpuSeconds(RUSAGE_SELF) - cpu_start;
    state.PauseTiming();
    if (at == 0) state.SkipWithError("the block was not stored");
    writer.ResetWriter();
    state.ResumeTiming();
  }
  uint64_t file_size = 0;
  if (auto file = platform::FileSystem::Get().Open(path, platform::kOpenRead)) file->Size(&file_size);
  SetCounters(state, static_cast<double>(file_size) - 20);
  SetCpu(state, cpu);
  platform::FileSystem::Get().RemoveFile(path);
}

void BM_StoreSectionBaseline(benchmark::State& state) {
  const std::string& payload = Payload();
  const std::u16string in = TempPath(u".in");
  const std::u16string out = TempPath(u".lz4");
  {
    auto file = platform::FileSystem::Get().Open(in, platform::kOpenCreate);
    uint32_t written = 0;
    if (file == nullptr || !file->Write(payload.data(), kPayloadSize, &written)) {
      state.SkipWithError("cannot write the input file");
      return;
    }
  }
  const std::string command =
      "lz4 -1 -q -f '" + platform::posix::ToHostPath(in) + "' '" + platform::posix::ToHostPath(out) + "'";
  const double cpu_start = CpuSeconds(RUSAGE_CHILDREN);
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("lz4 failed (is the lz4 tool installed?)");
      break;
    }
  }
  SetCpu(state, CpuSeconds(RUSAGE_CHILDREN) - cpu_start);
  uint64_t size = 0;
  if (auto file = platform::FileSystem::Get().Open(out, platform::kOpenRead)) file->Size(&size);
  SetCounters(state, static_cast<double>(size));
  platform::FileSystem::Get().RemoveFile(in);
  platform::FileSystem::Get().RemoveFile(out);
}

// Counts the block's bytes and keeps none.
class CountingSink final : public CXLz4Sink {
 public:
  bool Put(const uint8_t*, int32_t n) override {
    bytes += n;
    return true;
  }
  int64_t bytes = 0;
};

void BM_Lz4PartsOurs(benchmark::State& state) {
  const std::string& payload = Payload();
  std::vector<uint8_t> work(static_cast<size_t>(Lz4CompressBound(CXSnapshotWriter::kPartSize)));
  int64_t size = 0;
  const double cpu_start = CpuSeconds(RUSAGE_SELF);
  for (auto _ : state) {
    CountingSink sink;
    size = Lz4CompressInParts(reinterpret_cast<const uint8_t*>(payload.data()), kPayloadSize,
                              CXSnapshotWriter::kPartSize, Lz4Level(), work.data(), static_cast<int32_t>(work.size()),
                              sink);
  }
  SetCounters(state, static_cast<double>(size));
  SetCpu(state, CpuSeconds(RUSAGE_SELF) - cpu_start);
}

void BM_Lz4PartsBaseline(benchmark::State& state) {
  const std::string& payload = Payload();
  std::vector<uint8_t> out(static_cast<size_t>(Lz4CompressBound(kPayloadSize)), 1);  // touched: no page faults
  int32_t size = 0;
  const double cpu_start = CpuSeconds(RUSAGE_SELF);
  for (auto _ : state) {
    size = Lz4CompressBlock(reinterpret_cast<const uint8_t*>(payload.data()), kPayloadSize, out.data(),
                            static_cast<int32_t>(out.size()));
  }
  SetCounters(state, static_cast<double>(size));
  SetCpu(state, CpuSeconds(RUSAGE_SELF) - cpu_start);
}

BENCHMARK(BM_StoreSectionOurs)->Name("StoreSection64MiB/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StoreSectionBaseline)->Name("StoreSection64MiB/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lz4PartsOurs)->Name("Lz4Parts64MiB/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lz4PartsBaseline)->Name("Lz4Parts64MiB/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orvalinth
