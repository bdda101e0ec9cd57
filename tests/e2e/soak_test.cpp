// The soak: the agent against a console on loopback for many cycles, its
// resident memory, open descriptors and threads read from /proc every ten
// cycles. Each cycle accepts the agent, asks "get-disk" and drops the link;
// every tenth cycle also scans a small tree, downloads and acknowledges the
// snapshot; every tenth (another one) starts a scan of a large tree and stops
// it while it records; every tenth (a third one) starts a large download and
// vanishes in the middle of a block. After the warm-up no resource may grow
// by more than the tolerance.
//
// Soak.Short runs the host daemon 50 cycles, WineSoak.Short the service
// under Wine 30 cycles, with descriptors and threads exact (ctests);
// Soak.Long and WineSoak.Long run what scripts/soak asks
// through the environment (ORVALINTH_SOAK_CYCLES, _WARMUP,
// _TOLERANCE_PERCENT) and are skipped without it.
//
// The agent is OrvalinthSrvSoak (the product's libraries with a reconnect
// wait of 50 ms instead of 5 s). On the host it runs as the daemon under
// AddressSanitizer without its quarantine, so that freed memory is reused as
// in the product; at the end it is stopped with SIGTERM and LeakSanitizer
// must find nothing. Under Wine its win64 build is installed and started as
// the service in a private prefix, and the figures are those of the Linux
// process that Wine runs it in.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/strings.h"
#include "e2e_support.h"
#include "host_process.h"
#include "installed_program.h"
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

// The plan scripts/soak gives through the environment; cycles 0 without it.
SXSoakPlan PlanOfScript(int default_warmup, bool exact_counts) {
  SXSoakPlan plan;
  const char* cycles = std::getenv("ORVALINTH_SOAK_CYCLES");
  plan.cycles = cycles != nullptr ? std::atoi(cycles) : 0;
  const char* warmup = std::getenv("ORVALINTH_SOAK_WARMUP");
  plan.warmup = warmup != nullptr ? std::atoi(warmup) : default_warmup;
  const char* tolerance = std::getenv("ORVALINTH_SOAK_TOLERANCE_PERCENT");
  plan.tolerance = (tolerance != nullptr ? std::atof(tolerance) : 5.0) / 100.0;
  plan.exact_counts = exact_counts;
  return plan;
}

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

CXMessage& ScanRequest(CXMessage& request, const std::u16string& target) {
  request.Init("scan").AddInt("default", 0).AddList("file", {target}).AddList("regs", {}).AddList("apps", {});
  request.AddInt("add-ver-inf", 0).AddInt("full", 0).AddString("snap-name", "soak");
  return request;
}

// What both soaks share: the files, the cycles, the samples and their check.
// A fixture sets the paths, starts the agent with the console's port, and
// names the process to sample.
class SoakTest : public ::testing::Test {
 protected:
  SoakTest() {
    folder_ = std::string(ORVALINTH_E2E_WORK) + "/soak-" + std::to_string(getpid());
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/downloads");
  }
  ~SoakTest() override {
    if (!HasFailure()) fs::remove_all(folder_);
  }

  // The small tree to scan (host path `tree`), the large download in the
  // data folder, and, when `big` is given, a large tree to stop a scan of.
  void MakeFiles(const std::string& tree, const std::string& big) {
    for (int d = 0; d < 5; ++d) {
      fs::create_directories(tree + "/d" + std::to_string(d));
      for (int f = 0; f < 20; ++f) {
        WriteWholeFile(tree + "/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", "soak");
      }
    }
    std::string large(kLargeDownloadBytes, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteWholeFile(data_ + "/snapshot900.snp", large);
    // 200 folders of 200 files: a scan of some seconds under Wine.
    for (int d = 0; !big.empty() && d < 200; ++d) {
      const std::string folder = big + "/d" + std::to_string(d) + "/";
      fs::create_directories(folder);
      for (int f = 0; f < 200; ++f) WriteWholeFile(folder + "f" + std::to_string(f) + ".txt", "");
    }
  }

  // The cycles of the plan, from the first link to the last sample.
  void Cycles(const SXSoakPlan& plan);
  // Scans the tree, downloads and acknowledges the snapshot.
  void ScanDownloadAcknowledge();
  // Starts a scan of the large tree and stops it in the middle.
  void StopMidScan();
  // Starts the large download and goes after its first block.
  void VanishMidBlock();
  // The files in the data folder besides the large download.
  int RecordingFiles() const;
  // Prints the samples' figures and checks them against the plan.
  void CheckGrowth(const SXSoakPlan& plan);

  std::string folder_;     // the test's own folder (downloads)
  std::string data_;       // the agent's data folder (host path)
  std::u16string tree_;    // the small tree, as the agent names it
  std::u16string big_;     // the large tree, as the agent names it
  pid_t sampled_ = -1;     // the process whose resources are read
  tools::CXConsoleLink link_;
  std::vector<SXSample> samples_;
};

void SoakTest::ScanDownloadAcknowledge() {
  CXMessage request;
  CXMessage reply;
  ASSERT_TRUE(link_.Request("scan", ScanRequest(request, tree_), &reply)) << link_.failure_text();
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

void SoakTest::StopMidScan() {
  CXMessage request;
  CXMessage reply;
  ASSERT_TRUE(link_.Request("scan", ScanRequest(request, big_), &reply)) << link_.failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  // In the middle: the snapshot being recorded is there.
  const long long end = NowMs() + kWaitMs;
  while (RecordingFiles() == 0 && NowMs() < end) SleepMs(5);
  ASSERT_EQ(RecordingFiles(), 1) << "the scan of " << Narrow(big_) << " was not seen recording";
  request.Init("stop-scan");
  ASSERT_TRUE(link_.Request("stop-scan", request, &reply)) << link_.failure_text();
  EXPECT_EQ(reply.GetInt("ok"), 1);
  EXPECT_EQ(RecordingFiles(), 0) << "the stopped scan left its file";
  EXPECT_TRUE(link_.kept_scan_done().empty()) << "a stopped scan reports nothing";
}

int SoakTest::RecordingFiles() const {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(data_)) {
    n += entry.path().filename() != "snapshot900.snp";
  }
  return n;
}

void SoakTest::VanishMidBlock() {
  CXMessage request;
  CXMessage reply;
  request.Init("down-snap").AddInt("id-snapshot", kLargeDownload);
  ASSERT_TRUE(link_.Request("down-snap", request, &reply)) << link_.failure_text();
  ASSERT_EQ(reply.GetInt("size"), static_cast<int32_t>(kLargeDownloadBytes)) << reply.GetString("msg");
  CXMessage block;
  ASSERT_EQ(link_.NextMessage(tools::CXConsoleLink::DeadlineAfter(kWaitMs), &block), tools::NextResult::kMessage);
  EXPECT_TRUE(block.IsNamed("down-block"));
}

void SoakTest::Cycles(const SXSoakPlan& plan) {
  for (int cycle = 1; cycle <= plan.cycles; ++cycle) {
    ASSERT_TRUE(link_.AcceptAgent(kWaitMs)) << "cycle " << cycle << ": " << link_.failure_text();
    CXMessage request;
    CXMessage reply;
    request.Init("get-disk");
    ASSERT_TRUE(link_.Request("get-disk", request, &reply)) << link_.failure_text();
    // The agent is idle between polls: the sample of the cycles before this
    // one (the first, "cycle 0", before any scan or download).
    if ((cycle - 1) % kSampleEvery == 0) samples_.push_back(SampleOf(sampled_, cycle - 1));
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
  samples_.push_back(SampleOf(sampled_, plan.cycles));
}

void SoakTest::CheckGrowth(const SXSoakPlan& plan) {
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
    std::printf("soak: %-22s first %ld, at baseline %ld, peak after %ld, last %ld, growth %+.2f%%; %s\n", r.name,
                first, at_base, peak, last, growth, r.exact ? "exact" : "tolerant");
    std::string series;
    for (const SXSample& s : samples_) series += " " + std::to_string(s.*r.field);
    std::printf("soak:   every %d cycles from 0:%s\n", kSampleEvery, series.c_str());
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

// The host daemon.
class Soak : public SoakTest {
 protected:
  Soak() {
    fs::create_directories(folder_ + "/program/data");
    fs::copy_file(ORVALINTH_HOST_SOAK_SERVICE, folder_ + "/program/OrvalinthSrv");
    data_ = folder_ + "/program/data";
    tree_ = WindowsForm(folder_ + "/tree/");
    big_ = u"Z:\\usr\\";
  }
  ~Soak() override {
    if (sampled_ > 0) {
      kill(sampled_, SIGKILL);
      int code = 0;
      WaitForExit(sampled_, kWaitMs, &code);
    }
  }

  void Run(const SXSoakPlan& plan) {
    MakeFiles(folder_ + "/tree", std::string());
    ASSERT_TRUE(link_.Listen("127.0.0.1", 0));
    link_.set_reply_timeout_ms(kWaitMs);
    ASSERT_TRUE(WriteWholeFile(folder_ + "/program/OrvalinthSrv.ini",
                               "ServerAddr:127.0.0.1\nServerPort:" + std::to_string(link_.port()) + "\n"));
    SXCommand daemon;
    daemon.argv = {folder_ + "/program/OrvalinthSrv"};
    daemon.directory = folder_ + "/program";
    daemon.output_path = folder_ + "/daemon.txt";
    daemon.set_environment = {{"ASAN_OPTIONS", "quarantine_size_mb=0:detect_leaks=1"}};
    sampled_ = StartCommand(daemon);
    ASSERT_GT(sampled_, 0);
    Cycles(plan);
    if (HasFatalFailure()) return;
    kill(sampled_, SIGTERM);
    int code = -1;
    ASSERT_TRUE(WaitForExit(sampled_, kWaitMs, &code));
    sampled_ = -1;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadWholeFile(folder_ + "/daemon.txt"), "") << "LeakSanitizer or another report";
    CheckGrowth(plan);
  }
};

TEST_F(Soak, Short) { Run(SXSoakPlan{}); }

TEST_F(Soak, Long) {
  const SXSoakPlan plan = PlanOfScript(100, false);
  if (plan.cycles == 0) GTEST_SKIP() << "scripts/soak runs it (ORVALINTH_SOAK_CYCLES)";
  Run(plan);
}

// The win64 build as the service in a private Wine prefix.
class WineSoak : public SoakTest {
 protected:
  void TearDown() override {
    link_.Close();
    if (program_ != nullptr) program_->RemoveService();
    program_.reset();
    prefix_.reset();
  }

  void Run(const SXSoakPlan& plan) {
    ASSERT_FALSE(WindowsExecutable().empty())
        << "no win64 OrvalinthSrv.exe: give --exe=PATH or set ORVALINTH_E2E_EXE";
    const std::string soak_exe = (fs::path(WindowsExecutable()).parent_path() / "tests" / "OrvalinthSrvSoak.exe").string();
    ASSERT_TRUE(fs::exists(soak_exe)) << soak_exe << " is not built";
    prefix_ = std::make_unique<WinePrefix>("soak");
    ASSERT_TRUE(prefix_->ok()) << prefix_->error();
    program_ = std::make_unique<InstalledProgram>(*prefix_);
    ASSERT_TRUE(link_.Listen("127.0.0.1", 0));
    link_.set_reply_timeout_ms(kWaitMs);
    ASSERT_TRUE(program_->Install(soak_exe, link_.port()));
    data_ = program_->HostPath("data");
    tree_ = u"C:\\soak\\tree\\";
    big_ = u"C:\\soak\\big\\";
    MakeFiles(prefix_->HostPath("C:\\soak\\tree"), prefix_->HostPath("C:\\soak\\big"));
    ASSERT_TRUE(program_->RegisterAndStart()) << Joined(program_->Log());
    sampled_ = WineProcessOf(prefix_->HostPath(InstalledProgram::kExe));
    ASSERT_GT(sampled_, 0) << "no Linux process runs " << InstalledProgram::kExe;
    std::printf("soak: the service runs in Linux process %d\n", static_cast<int>(sampled_));
    Cycles(plan);
    if (HasFatalFailure()) return;
    EXPECT_EQ(WineProcessOf(prefix_->HostPath(InstalledProgram::kExe)), sampled_) << "the service was started again";
    EXPECT_EQ(program_->State(), "RUNNING");
    CheckGrowth(plan);
  }

  std::unique_ptr<WinePrefix> prefix_;
  std::unique_ptr<InstalledProgram> program_;
};

TEST_F(WineSoak, Short) {
  SXSoakPlan plan;
  plan.cycles = 30;
  Run(plan);
}

TEST_F(WineSoak, Long) {
  // Descriptors and threads exact: what Wine opens lazily (the scan's and
  // the download's first use) is open by the end of the warm-up.
  const SXSoakPlan plan = PlanOfScript(10, true);
  if (plan.cycles == 0) GTEST_SKIP() << "scripts/soak --wine runs it (ORVALINTH_SOAK_CYCLES)";
  Run(plan);
}

}  // namespace
}  // namespace orvalinth::e2e
