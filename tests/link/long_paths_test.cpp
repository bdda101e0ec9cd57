// Paths of very many components, as a hostile console sends them: each
// answer comes within a second, the link stays responsive, and a stop is
// not held up by the lookups of the scan's targets.

#include <gtest/gtest.h>

#include "link/agent_fixture.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "record/record_support.h"
#include "base/strings.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::Greet;
using test::TestPeer;

using Listing = std::vector<std::u16string>;

// `base` followed by `n` components "a".
std::u16string Components(const std::u16string& base, int n) {
  std::u16string path = base;
  path.reserve(base.size() + 2 * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) path += u"a\\";
  return path;
}

// Sends `request`, receives the reply into it; the milliseconds it took, or
// -1 when the link failed.
int64_t Ask(TestPeer& p, CXMessage* request) {
  const int64_t start = platform::MonotonicMs();
  if (!p.SendMessage(*request) || !p.RecvMessage(request)) return -1;
  return platform::MonotonicMs() - start;
}

// Files whose every search takes a while, as on a slow network share.
class SlowSearches final : public platform::FileSystemWrapper {
 public:
  explicit SlowSearches(platform::FileSystem& files) : FileSystemWrapper(files) {}
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    platform::SleepMs(2);
    return target().FindFirst(pattern, first);
  }
};

class LongPaths : public AgentTest {
 protected:
  test::TempFolder dir_;
};

TEST_F(LongPaths, GetDirOfVeryManyComponentsAnswersAtOnce) {
  // 10,000 components fit a Windows path (20,000 units), 80,000 and 160,000 do not.
  const int sizes[] = {10000, 80000, 160000};
  int64_t took[3] = {-1, -1, -1};
  Listing listings[3];
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    for (int i = 0; i < 3; ++i) {
      CXMessage request;
      request.Init("get-dir").AddString("path", EncodeUtf8(Components(dir_.path(), sizes[i])));
      took[i] = Ask(p, &request);
      if (took[i] < 0 || !request.IsNamed("get-dir") || !request.GetList("path", &listings[i])) return;
    }
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(took[i], 0) << sizes[i];
    EXPECT_LT(took[i], 1000) << sizes[i];
    EXPECT_TRUE(listings[i].empty()) << sizes[i];
  }
}

TEST_F(LongPaths, ScanOfATargetOfFourThousandComponentsIsDoneWithinASecond) {
  CXMessage scan;
  std::string done;
  int64_t took = -1;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    scan.Init("scan").AddInt("default", 0).AddList("file", {Components(dir_.path(), 4000)});
    scan.AddList("regs", {}).AddList("apps", {}).AddInt("add-ver-inf", 0).AddInt("full", 0);
    const int64_t start = platform::MonotonicMs();
    if (!p.SendMessage(scan) || !p.RecvMessage(&scan) || !p.RecvFrame(&done)) return;
    took = platform::MonotonicMs() - start;
  });
  EXPECT_EQ(scan.GetInt("ok"), 1);
  EXPECT_EQ(done.rfind(std::string("scan-done\xFEok\xFE" "1"), 0), 0u) << done;
  EXPECT_GE(took, 0);
  EXPECT_LT(took, 1000);
}

TEST_F(LongPaths, StopScanIsNotHeldUpByTheLookupsOfTheTargets) {
  // Forty targets of 1,000 components each, all there, every lookup slow:
  // looking them all up would take over a minute.
  test::MadeUpTreeFileSystem tree(dir_.path() + u"deep", 1, 0);
  SlowSearches slow(tree);
  platform::ScopedFacility<platform::FileSystem> use(slow);
  Listing targets;
  for (int i = 0; i < 40; ++i) {
    targets.push_back(Components(dir_.path() + u"deep\\" + Widen(std::to_string(i)) + u"\\", 999));
  }
  CXMessage scan;
  CXMessage stop;
  int64_t took = -1;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p)) return;
    scan.Init("scan").AddInt("default", 0).AddList("file", targets);
    scan.AddList("regs", {}).AddList("apps", {}).AddInt("add-ver-inf", 0).AddInt("full", 0);
    if (Ask(p, &scan) < 0) return;
    platform::SleepMs(200);  // the job is among its lookups
    stop.Init("stop-scan");
    took = Ask(p, &stop);
  });
  EXPECT_EQ(scan.GetInt("ok"), 1);
  EXPECT_TRUE(stop.IsNamed("stop-scan"));
  EXPECT_EQ(stop.GetInt("ok"), 1);
  EXPECT_GE(took, 0);
  EXPECT_LT(took, 1000);
}

}  // namespace
}  // namespace orvalinth
