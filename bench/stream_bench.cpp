// Sections recorded with their payloads streamed in parts (ours) and held
// whole, as before streaming (baseline), registered only when
// ORVALINTH_BENCH_MILLION is set (scripts/bench-million):
//
//   StreamedRegistry  the emulated registry's HKEY_USERS with 100,000 keys of
//                     the bench's own (1,000 keys of 100 subkeys, two values
//                     each)
//   StreamedApps      the applications job over 2,000 processes with 40
//                     modules, 20 handles and 4 ports each (the process,
//                     handle and port tables made up; the rest of the
//                     machine as the host's emulation has it)
//
// Reported: the time and the peak resident memory of each recording; the
// baseline run compares every decoded section payload of the two and fails
// when one differs (same_payloads 1 when none does).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "bench_memory.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "record/apps/apps_scan.h"
#include "record/apps/system_info.h"
#include "record/reg_scan.h"
#include "record/scan_request.h"
#include "storage/payload_spool.h"
#include "storage/snapshot_writer.h"
#include "tests/fakes/process_fakes.h"

namespace orvalinth {
namespace {

std::u16string SnapshotPath(const char16_t* name) {
  return platform::FileSystem::Get().TempFolder() + u"orvalinth-stream-bench-" +
         Widen(std::to_string(static_cast<long long>(std::rand()))) + name;
}

// One recording: `start` starts the job on the writer; the snapshot's path.
std::u16string Record(benchmark::State& state, const CXScanRequest& request, int32_t part,
                      const std::function<std::unique_ptr<CXScanThread>(CXSnapshotWriter&)>& start) {
  const std::u16string path = SnapshotPath(u".snp");
  CXPayloadSpool::set_part_size(part);
  CXSnapshotWriter writer;
  bench::ResetPeakResident();
  for (auto _ : state) {
    if (!writer.CreateSnapshot(path, "bench", request.InfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    {
      std::unique_ptr<CXScanThread> job = start(writer);
      while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
    }
    if (writer.FinishSnapshot(1, DescribeMachine()) == 0) state.SkipWithError("the snapshot was not finished");
  }
  CXPayloadSpool::set_part_size(CXPayloadSpool::kPart);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(bench::PeakResidentKb()) / 1e3);
  return path;
}

// The streamed recording's file, kept for the baseline run to compare.
std::u16string g_streamed;

void Compare(benchmark::State& state, const std::u16string& whole) {
  const std::vector<std::string> a = bench::SectionPayloads(g_streamed), b = bench::SectionPayloads(whole);
  size_t bytes = 0;
  for (const std::string& p : b) bytes += p.size();
  if (a.empty() || a != b) state.SkipWithError("the streamed payloads differ from those held whole");
  state.counters["same_payloads"] = benchmark::Counter(!a.empty() && a == b ? 1 : 0);
  state.counters["payloads_MB"] = benchmark::Counter(static_cast<double>(bytes) / 1e6);
  platform::FileSystem::Get().RemoveFile(g_streamed);
  platform::FileSystem::Get().RemoveFile(whole);
}

// ---- the registry ----

constexpr char16_t kBenchKey[] = u"S-1-5-21-orvalinth-bench";

void MakeRegistry() {
  static const bool made = [] {
    platform::Registry& registry = platform::Registry::Get();
    for (int a = 0; a < 1000; ++a) {
      for (int b = 0; b < 100; ++b) {
        std::unique_ptr<platform::RegistryKey> key;
        const std::u16string path = std::u16string(kBenchKey) + u"\\Software\\Vendor" + Widen(std::to_string(a)) +
                                    u"\\Setting" + Widen(std::to_string(b));
        if (registry.CreateKey(platform::RegistryRoot::kUsers, path, platform::kRegOptionNone, &key) != 0) continue;
        key->SetValue(u"Path", platform::kRegSz, platform::RegSzData(u"C:\\Program Files\\Vendor\\" + path));
        key->SetValue(u"Count", platform::kRegDword, platform::RegDwordData(static_cast<uint32_t>(a * b)));
      }
    }
    return true;
  }();
  (void)made;
}

std::u16string RecordRegistry(benchmark::State& state, int32_t part) {
  MakeRegistry();
  CXScanRequest request;
  const std::u16string root = u"HKEY_USERS\\" + std::u16string(kBenchKey) + u"\\";
  request.include[kScanRegistry] = {root};
  request.MakeExclusionSet(kScanRegistry);
  return Record(state, request, part, [&](CXSnapshotWriter& writer) {
    auto job = std::make_unique<CXRegScan>(writer);
    job->Start(request, {root});
    return job;
  });
}

void BM_RegistryOurs(benchmark::State& state) { g_streamed = RecordRegistry(state, CXPayloadSpool::kPart); }
void BM_RegistryBaseline(benchmark::State& state) { Compare(state, RecordRegistry(state, INT32_MAX)); }

// ---- the applications ----

struct Processes {
  Processes() {
    for (uint32_t pid = 100; pid < 100 + 2000; ++pid) {
      test::FakeProcess& process = table.processes[pid];
      const std::u16string program = u"C:\\Program Files\\App" + Widen(std::to_string(pid % 300)) + u"\\app.exe";
      process.modules.push_back(program);
      for (int m = 0; m < 40; ++m) {
        process.modules.push_back(u"C:\\Windows\\System32\\lib" + Widen(std::to_string((pid * 7 + m * 13) % 900)) +
                                  u".dll");
      }
      process.command_line = u"\"" + program + u"\" --instance " + Widen(std::to_string(pid));
      for (uint16_t h = 4; h < 4 + 20 * 4; h += 4) {
        handles.handles.push_back({pid, h, h % 8 == 0 ? u"File" : u"Key",
                                   h % 8 == 0 ? u"\\??\\C:\\Users\\user\\AppData\\file" + Widen(std::to_string(pid + h))
                                              : u"\\REGISTRY\\MACHINE\\SOFTWARE\\App" + Widen(std::to_string(h))});
      }
      for (uint16_t p = 0; p < 4; ++p) {
        ports.tables[p % 2 == 0 ? 0 : 2].push_back(
            test::FakePortTables::Row(pid, {127, 0, 0, 1}, static_cast<uint16_t>(40000 + (pid * 4 + p) % 20000)));
      }
    }
  }
  test::FakeProcessTable table;
  test::FakeHandleTable handles;
  test::FakePortTables ports;
  test::FakeVolumeDevices volumes;
};

std::u16string RecordApps(benchmark::State& state, int32_t part) {
  static Processes processes;
  platform::ScopedFacility<platform::ProcessTable> use_processes(processes.table);
  platform::ScopedFacility<platform::HandleTable> use_handles(processes.handles);
  platform::ScopedFacility<platform::PortTables> use_ports(processes.ports);
  platform::ScopedFacility<platform::VolumeDevices> use_volumes(processes.volumes);
  CXScanRequest request;
  request.include[kScanApps] = {u"*"};
  return Record(state, request, part, [](CXSnapshotWriter& writer) {
    auto job = std::make_unique<CXAppsScan>(writer);
    job->StartJob(writer, kScanApps);
    return job;
  });
}

void BM_AppsOurs(benchmark::State& state) { g_streamed = RecordApps(state, CXPayloadSpool::kPart); }
void BM_AppsBaseline(benchmark::State& state) { Compare(state, RecordApps(state, INT32_MAX)); }

const bool kRegistered = [] {
  if (std::getenv("ORVALINTH_BENCH_MILLION") == nullptr) return false;
  const struct {
    const char* name;
    void (*run)(benchmark::State&);
  } runs[] = {{"StreamedRegistry/ours", BM_RegistryOurs},
              {"StreamedRegistry/baseline", BM_RegistryBaseline},
              {"StreamedApps/ours", BM_AppsOurs},
              {"StreamedApps/baseline", BM_AppsBaseline}};
  for (const auto& r : runs) {
    benchmark::RegisterBenchmark(r.name, r.run)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  }
  return true;
}();

}  // namespace
}  // namespace orvalinth
