// The file job of a recording alone in a process of its own, as the agent
// runs it: records TREE into the snapshot OUT with its sections streamed in
// parts of PART bytes (2147483647: held whole), then prints the files
// recorded and the most one folder's records took while they waited to be
// sorted. scripts/bench-million measures its peak resident memory and
// processor time from outside, as it does the pipeline's.
//
// usage: orvalinth_scan_probe TREE OUT PART   (paths in the agent's form: Z:\...)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/strings.h"
#include "platform/process.h"
#include "record/apps/system_info.h"
#include "record/file_scan.h"
#include "record/scan_request.h"
#include "storage/payload_spool.h"
#include "storage/snapshot_writer.h"

int main(int argc, char** argv) {
  using namespace orvalinth;
  if (argc != 4) {
    std::fprintf(stderr, "usage: orvalinth_scan_probe TREE OUT PART\n");
    return 2;
  }
  const std::u16string tree = DecodeUtf8(argv[1]);
  const std::u16string out = DecodeUtf8(argv[2]);
  CXPayloadSpool::set_part_size(static_cast<int32_t>(std::atol(argv[3])));
  CXSnapshotWriter writer;
  CXScanRequest request;
  request.include[kScanFiles] = {tree};
  request.MakeExclusionSet(kScanFiles);
  if (!writer.CreateSnapshot(out, "bench", request.InfoRequest())) {
    std::fprintf(stderr, "cannot create %s\n", argv[2]);
    return 1;
  }
  size_t sort_bytes = 0;
  {
    CXFileScan job(writer, request, {tree}, nullptr);
    job.StartJob(writer, kScanFiles);
    while (writer.running_jobs().Get() != 0) platform::SleepMs(1);
    sort_bytes = job.largest_run_bytes();
  }
  const int32_t files = writer.progress(kScanFiles, 1).Get();
  if (writer.FinishSnapshot(1, DescribeMachine()) == 0) {
    std::fprintf(stderr, "the snapshot was not finished: %s\n", writer.ChainText(false).c_str());
    return 1;
  }
  std::printf("%d %zu\n", static_cast<int>(files), sort_bytes);
  return 0;
}
