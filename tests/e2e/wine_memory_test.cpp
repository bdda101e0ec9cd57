// The memory of the service under Wine while it scans a generated tree in
// its prefix: the peak resident memory of the Linux process Wine runs it
// in, before and after one scan. Run by scripts/bench-wine-memory (which
// gives the number of files, and the executable, new and old) and skipped
// otherwise.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "e2e_support.h"
#include "host_process.h"
#include "link/message.h"
#include "service_link.h"
#include "service_link_test.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

class WineMemory : public ServiceLinkTest {
 public:
  static void SetUpTestSuite() { OpenService("memory"); }
};

// `files` files in folders of 100 (names as disks have them, empty, with
// times of their own), the same at every run.
void MakeTree(const fs::path& root, int files) {
  const fs::file_time_type base = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  std::mt19937 gen(20261209);
  static const char* const kStems[] = {"setup", "readme", "kernel", "shell", "config", "update", "icon", "data"};
  static const char* const kExts[] = {".dll", ".exe", ".txt", ".xml", ".dat", ".png"};
  for (int made = 0; made < files; ++made) {
    const fs::path folder = root / ("folder" + std::to_string(made / 100));
    if (made % 100 == 0) fs::create_directories(folder);
    const std::string name = std::string(kStems[gen() % 8]) + std::to_string(made) + kExts[gen() % 6];
    std::ofstream{folder / name};
    fs::last_write_time(folder / name, base - std::chrono::seconds(made));
  }
}

TEST_F(WineMemory, ScanOfAGeneratedTree) {
  const char* wanted = std::getenv("ORVALINTH_WINE_MEMORY_FILES");
  if (wanted == nullptr) GTEST_SKIP() << "scripts/bench-wine-memory runs it (ORVALINTH_WINE_MEMORY_FILES)";
  const int files = std::atoi(wanted);
  const fs::path root = Prefix().HostPath("C:\\bench\\");
  if (!fs::exists(root / "complete")) {
    fs::remove_all(root);
    MakeTree(root, files);
    std::ofstream{root / "complete"};
  }
  const int pid = WineProcessOf(Prefix().HostPath(ServiceLink::kExe));
  ASSERT_GT(pid, 0) << "no Wine process of the service";
  const long before = ProcessStatus(pid, "VmHWM:");
  CXMessage m, reply;
  m.Init("set-scan").AddList("file", {u"C:\\bench\\"}).AddList("regs", {}).AddList("apps", {});
  m.AddInt("add-ver-inf", 0).AddInt("full", 0).AddInt("show-rem-dsk", 0).AddString("snap-name", "memory");
  ASSERT_TRUE(Console().Request("set-scan", m, &reply)) << Console().failure_text();
  m.Init("scan").AddInt("default", 1);
  ASSERT_TRUE(Console().Request("scan", m, &reply)) << Console().failure_text();
  ASSERT_EQ(reply.GetInt("ok"), 1) << reply.GetString("msg");
  tools::SXScanDone done;
  ASSERT_TRUE(Console().WaitScanDone(600000, &done)) << Console().failure_text();
  ASSERT_EQ(done.ok, 1) << done.msg;
  const long peak = ProcessStatus(pid, "VmHWM:");
  std::string bytes;
  ASSERT_NO_FATAL_FAILURE(Download(done.id_snapshot, &bytes));
  if (const char* keep = std::getenv("ORVALINTH_WINE_MEMORY_SNAPSHOT")) WriteWholeFile(keep, bytes);
  std::printf("[ memory   ] %d files, snapshot %zu bytes: peak resident memory of the service's Wine process "
              "%ld KiB (%ld KiB before the scan)\n",
              files, bytes.size(), peak, before);
}

}  // namespace
}  // namespace orvalinth::e2e
