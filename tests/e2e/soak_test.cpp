// The soak: the host daemon against a console on loopback for many cycles,
// its resident memory, open descriptors and threads read from /proc every
// ten cycles. Each cycle accepts the agent, asks "get-disk" and drops the
// link; every tenth cycle also scans a small tree, downloads and
// acknowledges the snapshot; every tenth (another one) starts a scan of
// /usr and stops it while it records; every tenth (a third one) starts a large
// download and vanishes in the middle of a block. After the warm-up no
// resource may grow by more than the tolerance.
//
// Soak.Short runs 50 cycles with descriptors and threads exact (a ctest);
// Soak.Long runs what scripts/soak asks through the environment
// (ORVALINTH_SOAK_CYCLES, _WARMUP, _TOLERANCE_PERCENT) and is skipped without it.
//
// The daemon is OrvalinthSrvSoak (the product's libraries with a reconnect
// wait of 50 ms instead of 5 s), under AddressSanitizer without its
// quarantine, so that freed memory is reused as in the product; at the end
// it is stopped with SIGTERM and LeakSanitizer must find nothing.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_process.h"
#include "tools/console_link.h"
#include "tools/snapshot_download.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 60000;
constexpr int kSampleEvery = 10;
// A file the vanishing console starts to download: larger than what the
// loopback's socket buffers hold, so that the agent is in the middle of
// sending when the console goes. Any file serves as a download.
constexpr int32_t kLargeDownload = 900;
constexpr size_t kLargeDownloadBytes = 32u << 20;

struct SXSoakPlan {
  int cycles = 50;
  int warmup = 10;
  double tolerance = 0.05;  // of the sample at the end of the warm-up
  bool exact_counts = true; // descriptors and threads never change
};

struct SXSample {
  int cycle = 0;
  long rss_kib = 0;
  long descriptors = 0;
  long threads = 0;
};

SXSample SampleOf(pid_t pid, int cycle) {
  SXSample sample;
  sample.cycle = cycle;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> sample.rss_kib;
    if (key == "Threads:") status >> sample.threads;
  }
  if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) sample.descriptors += entry->d_name[0] != '.';
    closedir(fds);
  }
  return sample;
}

// A host path in the Windows form the programs use (drive Z: is the root).
std::u16string WindowsForm(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return Widen(path);
}

class Soak : public ::testing::Test {
 protected:
  Soak() {
    folder_ = std::string(ORVALINTH_E2E_WORK) + "/soak-" + std::to_string(getpid());
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/program/data");
    fs::create_directories(folder_ + "/downloads");
    fs::copy_file(ORVALINTH_HOST_SOAK_SERVICE, folder_ + "/program/OrvalinthSrv");
  }
  ~Soak() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGKILL);
      int code = 0;
      WaitForExit(daemon_, kWaitMs, &code);
    }
    if (!HasFailure()) fs::remove_all(folder_);
  }

  // The tree to scan and the large download.
  void MakeFiles() {
    for (int d = 0; d < 5; ++d) {
      fs::create_directories(folder_ + "/tree/d" + std::to_string(d));
      for (int f = 0; f < 20; ++f) {
        WriteWholeFile(folder_ + "/tree/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", "soak");
      }
    }
    std::string large(kLargeDownloadBytes, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteWholeFile(folder_ + "/program/data/snapshot900.snp", large);
  }

  // Runs the plan; the samples go to samples_.
  void Run(const SXSoakPlan& plan);
  // Scans the tree, downloads and acknowledges the snapshot.
  void ScanDownloadAcknowledge();
  // Starts a scan of /usr and stops it in the middle.
  void StopMidScan();
  // Starts the large download and goes after its first block.
  void VanishMidBlock();
  // The files in the data folder besides the large download.
  int RecordingFiles() const;
  // Prints the samples' figures and checks them against the plan.
  void CheckGrowth(const SXSoakPlan& plan);

  std::string folder_;
  pid_t daemon_ = -1;
  tools::CXConsoleLink link_;
  std::vector<SXSample> samples_;
};

CXMessage& ScanRequest(CXMessage& request, const std::u16string& target) {
  request.Init("scan").AddInt("default", 0).AddList("file", {target}).AddList("regs", {}).AddList("apps", {});
  request.AddInt("add-ver-inf", 0).AddInt("full", 0).AddString("snap-name", "soak");
  return request;
}

void Soak::ScanDownloadAcknowledge() {
  CXMessage request;
  CXMessage reply;
  ASSERT_TRUE(link_.Request("scan", ScanRequest(request, WindowsForm(folder_ + "/tree/")), &reply))
      << link_.failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  tools::SXScanDone done;
  ASSERT_TRUE(link_.WaitScanDone(kWaitMs, &done)) << link_.failure_text();
  ASSERT_EQ(done.ok, 1) << done.msg;
  tools::CXSnapshotDownload download(link_, nullptr);
  ASSERT_TRUE(download.Run(done.id_snapshot, Widen(folder_ + "/downloads"))) << download.error();
  request.Init("down-ack").AddInt("id-snapshot", done.id_snapshot);
  ASSERT_TRUE(link_.Send(request));
  fs::remove(Narrow(download.result().path));
}

void Soak::StopMidScan() {
  CXMessage request;
  CXMessage reply;
  ASSERT_TRUE(link_.Request("scan", ScanRequest(request, u"Z:\\usr\\"), &reply)) << link_.failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  // In the middle: the snapshot being recorded is there.
  const long long end = NowMs() + kWaitMs;
  while (RecordingFiles() == 0 && NowMs() < end) SleepMs(5);
  ASSERT_EQ(RecordingFiles(), 1) << "the scan of /usr was not seen recording";
  request.Init("stop-scan");
  ASSERT_TRUE(link_.Request("stop-scan", request, &reply)) << link_.failure_text();
  EXPECT_EQ(reply.GetInt("ok"), 1);
  EXPECT_EQ(RecordingFiles(), 0) << "the stopped scan left its file";
  EXPECT_TRUE(link_.kept_scan_done().empty()) << "a stopped scan reports nothing";
}

int Soak::RecordingFiles() const {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(folder_ + "/program/data")) {
    n += entry.path().filename() != "snapshot900.snp";
  }
  return n;
}

void Soak::VanishMidBlock() {
  CXMessage request;
  CXMessage reply;
  request.Init("down-snap").AddInt("id-snapshot", kLargeDownload);
  ASSERT_TRUE(link_.Request("down-snap", request, &reply)) << link_.failure_text();
  ASSERT_EQ(reply.GetInt("size"), static_cast<int32_t>(kLargeDownloadBytes)) << reply.GetString("msg");
  CXMessage block;
  ASSERT_EQ(link_.NextMessage(tools::CXConsoleLink::DeadlineAfter(kWaitMs), &block), tools::NextResult::kMessage);
  EXPECT_TRUE(block.IsNamed("down-block"));
}

void Soak::Run(const SXSoakPlan& plan) {
  MakeFiles();
  ASSERT_TRUE(link_.Listen("127.0.0.1", 0));
  link_.set_reply_timeout_ms(kWaitMs);
  ASSERT_TRUE(WriteWholeFile(folder_ + "/program/OrvalinthSrv.ini",
                             "ServerAddr:127.0.0.1\nServerPort:" + std::to_string(link_.port()) + "\n"));
  SXCommand daemon;
  daemon.argv = {folder_ + "/program/OrvalinthSrv"};
  daemon.directory = folder_ + "/program";
  daemon.output_path = folder_ + "/daemon.txt";
  daemon.set_environment = {{"ASAN_OPTIONS", "quarantine_size_mb=0:detect_leaks=1"}};
  daemon_ = StartCommand(daemon);
  ASSERT_GT(daemon_, 0);

  for (int cycle = 1; cycle <= plan.cycles; ++cycle) {
    ASSERT_TRUE(link_.AcceptAgent(kWaitMs)) << "cycle " << cycle << ": " << link_.failure_text();
    CXMessage request;
    CXMessage reply;
    request.Init("get-disk");
    ASSERT_TRUE(link_.Request("get-disk", request, &reply)) << link_.failure_text();
    // The agent is idle between polls: the sample of the cycles before this one.
    if ((cycle - 1) % kSampleEvery == 0 && cycle > 1) samples_.push_back(SampleOf(daemon_, cycle - 1));
    switch (cycle % kSampleEvery) {
      case 2: ScanDownloadAcknowledge(); break;
      case 5: StopMidScan(); break;
      case 8: VanishMidBlock(); break;
      default: break;
    }
    if (HasFatalFailure()) return;
    link_.Close();
  }
  ASSERT_TRUE(link_.AcceptAgent(kWaitMs)) << link_.failure_text();
  CXMessage request;
  CXMessage reply;
  request.Init("get-disk");
  ASSERT_TRUE(link_.Request("get-disk", request, &reply)) << link_.failure_text();
  samples_.push_back(SampleOf(daemon_, plan.cycles));

  kill(daemon_, SIGTERM);
  int code = -1;
  ASSERT_TRUE(WaitForExit(daemon_, kWaitMs, &code));
  daemon_ = -1;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadWholeFile(folder_ + "/daemon.txt"), "") << "LeakSanitizer or another report";
  CheckGrowth(plan);
}

void Soak::CheckGrowth(const SXSoakPlan& plan) {
  const auto base = std::find_if(samples_.begin(), samples_.end(),
                                 [&](const SXSample& s) { return s.cycle >= plan.warmup; });
  ASSERT_NE(base, samples_.end()) << "no sample after the warm-up";
  struct Resource {
    const char* name;
    long SXSample::*field;
    bool exact;
  };
  const Resource resources[] = {{"resident memory (KiB)", &SXSample::rss_kib, false},
                                {"open descriptors", &SXSample::descriptors, plan.exact_counts},
                                {"threads", &SXSample::threads, plan.exact_counts}};
  std::printf("soak: %d cycles (%d scans with download and acknowledgement, %d stop-scans, %d vanishing consoles), "
              "baseline at cycle %d\n",
              plan.cycles, plan.cycles / kSampleEvery, plan.cycles / kSampleEvery, plan.cycles / kSampleEvery,
              base->cycle);
  for (const Resource& r : resources) {
    const long first = samples_.front().*r.field;
    const long at_base = (*base).*r.field;
    long peak = at_base;
    for (auto s = base; s != samples_.end(); ++s) peak = std::max(peak, (*s).*r.field);
    const long last = samples_.back().*r.field;
    const double growth = at_base > 0 ? 100.0 * static_cast<double>(peak - at_base) / static_cast<double>(at_base) : 0;
    std::printf("soak: %-22s first %ld, at baseline %ld, peak after %ld, last %ld, growth %+.2f%%\n", r.name, first,
                at_base, peak, last, growth);
    for (auto s = base; s != samples_.end(); ++s) {
      const long value = (*s).*r.field;
      if (r.exact) {
        EXPECT_EQ(value, at_base) << r.name << " at cycle " << s->cycle;
      } else {
        EXPECT_LE(static_cast<double>(value), static_cast<double>(at_base) * (1.0 + plan.tolerance))
            << r.name << " at cycle " << s->cycle;
      }
    }
  }
  std::fflush(stdout);
}

TEST_F(Soak, Short) { Run(SXSoakPlan{}); }

TEST_F(Soak, Long) {
  const char* cycles = std::getenv("ORVALINTH_SOAK_CYCLES");
  if (cycles == nullptr) GTEST_SKIP() << "scripts/soak runs it (ORVALINTH_SOAK_CYCLES)";
  SXSoakPlan plan;
  plan.cycles = std::atoi(cycles);
  plan.warmup = std::getenv("ORVALINTH_SOAK_WARMUP") ? std::atoi(std::getenv("ORVALINTH_SOAK_WARMUP")) : 100;
  plan.tolerance = (std::getenv("ORVALINTH_SOAK_TOLERANCE_PERCENT")
                        ? std::atof(std::getenv("ORVALINTH_SOAK_TOLERANCE_PERCENT"))
                        : 5.0) / 100.0;
  plan.exact_counts = false;
  Run(plan);
}

}  // namespace
}  // namespace orvalinth::e2e
