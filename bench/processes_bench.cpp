// The processes phase of the applications scan over the whole host machine:
// every process this user can read, with its modules, every open
// descriptor and every TCP and UDP endpoint.
//
//   Processes/ours      CXProcessesInfo on a job thread of a recording:
//                       the four categories made (files and versions
//                       looked up, items sorted and written)
//   Processes/baseline  the same reads of the machine without items: the
//                       process list, each process's modules and command
//                       line, every handle's type and name, the four port
//                       tables
//
// Reported: processes, handles and ports per second, and for ours the time
// spent waiting for handle names (name_query_ms, per pass).

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/handles.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/processes.h"
#include "record/apps/apps_scan.h"
#include "record/apps/processes_info.h"
#include "record/apps/system_info.h"
#include "record/scan_request.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

class ProcessesJob final : public CXScanThread {
 public:
  ProcessesJob(CXSnapshotWriter& writer, CXProcessesInfo& info) : writer_(writer), info_(info) {}
  ~ProcessesJob() override { StopJob(true); }

 protected:
  void Run() override {
    SXAppCategory categories[kAppCategoryCount];
    SXAppsScanContext context;
    context.thread = this;
    context.entries = &writer_.progress(kScanApps, 0);
    context.modules = &writer_.progress(kScanApps, 1);
    context.writer = &writer_;
    context.categories = categories;
    info_.Run(context);
  }

 private:
  CXSnapshotWriter& writer_;
  CXProcessesInfo& info_;
};

void Report(benchmark::State& state, double processes, double handles, double ports) {
  const auto rate = benchmark::Counter::kIsIterationInvariantRate;
  state.counters["processes_per_s"] = benchmark::Counter(processes, rate);
  state.counters["handles_per_s"] = benchmark::Counter(handles, rate);
  state.counters["ports_per_s"] = benchmark::Counter(ports, rate);
}

void BM_ProcessesOurs(benchmark::State& state) {
  const std::u16string path = platform::FileSystem::Get().TempFolder() + u"orvalinth-processes-bench.snp";
  CXSnapshotWriter writer;
  CXScanRequest request;
  request.include[kScanApps] = {u"*"};
  size_t processes = 0, handles = 0, ports = 0;
  double name_ms = 0;
  for (auto _ : state) {
    if (!writer.CreateSnapshot(path, "bench", request.InfoRequest())) {
      state.SkipWithError("cannot create the snapshot file");
      break;
    }
    CXProcessesInfo info;
    {
      ProcessesJob job(writer, info);
      job.StartJob(writer, kScanApps);
      while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
    }
    processes = info.processes().size();
    handles = info.handles().records().size();
    ports = info.ports().records().size();
    name_ms = static_cast<double>(info.handles().name_wait_us()) / 1e3;
    writer.FinishSnapshot(1, DescribeMachine());
  }
  if (processes == 0) state.SkipWithError("no process could be read");
  Report(state, static_cast<double>(processes), static_cast<double>(handles), static_cast<double>(ports));
  state.counters["name_query_ms"] = benchmark::Counter(name_ms);
  platform::FileSystem::Get().RemoveFile(path);
}

void BM_ProcessesBaseline(benchmark::State& state) {
  size_t processes = 0, handles = 0, ports = 0;
  std::vector<uint64_t> buffer(4096 / 8);
  for (auto _ : state) {
    processes = handles = ports = 0;
    std::vector<uint32_t> ids;
    uint32_t bytes = 0;
    platform::ProcessTable& table = platform::ProcessTable::Get();
    table.ProcessIds(1 << 20, &ids, &bytes);
    for (uint32_t pid : ids) {
      std::unique_ptr<platform::OpenedProcess> process = table.Open(pid);
      std::vector<uint64_t> modules;
      if (process == nullptr || !process->Modules(4096, &modules)) continue;
      std::u16string name;
      for (uint64_t module : modules) process->ModuleFileName(module, &name);
      uint64_t block = 0;
      process->EnvironmentBlock(&block);
      ++processes;
    }
    std::vector<platform::SystemHandleEntry> entries;
    std::string error;
    platform::HandleTable::Get().Entries(&entries, &error);
    std::unique_ptr<platform::HandleOwner> owner;
    uint32_t owner_pid = 0;
    for (const platform::SystemHandleEntry& entry : entries) {
      if (owner == nullptr || entry.pid != owner_pid) {
        owner = platform::HandleTable::Get().OpenOwner(entry.pid);
        owner_pid = entry.pid;
      }
      if (owner == nullptr) continue;
      std::unique_ptr<platform::DuplicatedHandle> duplicate = owner->Duplicate(entry.handle);
      std::u16string type, name;
      uint32_t needed = 0;
      if (duplicate == nullptr || !duplicate->TypeName(&type)) continue;
      if (type == u"File" || type == u"Directory") {
        duplicate->QueryName(buffer.data(), 4096, &needed, &name);
        ++handles;
      }
    }
    platform::PortTables& tables = platform::PortTables::Get();
    tables.Available();
    std::vector<platform::PortRow> rows;
    for (int t = 0; t < 4; ++t) {
      if (tables.Read(static_cast<platform::PortTableId>(t), &rows)) ports += rows.size();
    }
  }
  Report(state, static_cast<double>(processes), static_cast<double>(handles), static_cast<double>(ports));
}

BENCHMARK(BM_ProcessesOurs)->Name("Processes/ours")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ProcessesBaseline)->Name("Processes/baseline")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace orvalinth
