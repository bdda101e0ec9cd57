// What the service does with hostile input from the network, one row per
// claim of the threat model in README: each frame is sent by a console
// stand-in after the greeting; the agent either answers it, or drops the
// link and comes back. Either way it answers the next console within a
// second, and nothing reaches past what the claim allows.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "base/strings.h"
#include "link/agent_fixture.h"
#include "link/browse.h"
#include "link/tcpip_client.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "test_support.h"
#ifndef _WIN32
#include "platform/posix/drive_table.h"
#endif

namespace orvalinth {
namespace {

using test::AgentTest;
using test::Frame;
using test::Greet;
using test::Hex;
using test::LengthPrefix;
using test::TestPeer;
using Listing = std::vector<std::u16string>;

const std::string kFE = Hex("FE");

// Counts the folder searches, so that a row can show that none was made.
class CountedSearches final : public platform::FileSystemWrapper {
 public:
  explicit CountedSearches(platform::FileSystem& files) : FileSystemWrapper(files) {}
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    searches.fetch_add(1);
    return target().FindFirst(pattern, first);
  }
  std::atomic<int> searches{0};
};

// What a row sees: its scratch folder, the searches made, the reply.
struct Scene {
  test::TempFolder dir;
  CountedSearches* searches = nullptr;
  std::u16string root;  // a drive whose every folder is inside `dir` (host); C:\ under Windows
};

enum class Outcome { kAnswered, kDropped };

struct Claim {
  const char* name;
  std::function<std::string(Scene&)> frame;  // the whole frame, length prefix included
  Outcome outcome;
  std::function<void(Scene&, const CXMessage& reply)> check;  // for kAnswered
  bool console_vanishes = false;                               // the console closes right after the frame
};

void PrintTo(const Claim& claim, std::ostream* out) { *out << claim.name; }

std::string Pairs(int n, const char* key_format) {
  std::string body;
  for (int i = 0; i < n; ++i) body += kFE + Format(key_format, i) + kFE + "v";
  return body;
}

std::string GetDir(const std::u16string& path) { return Frame("get-dir" + kFE + "path" + kFE + EncodeUtf8(path)); }

Listing ListingOf(const CXMessage& reply) {
  Listing listing;
  EXPECT_TRUE(reply.IsNamed("get-dir")) << reply.Name();
  EXPECT_TRUE(reply.GetList("path", &listing));
  return listing;
}

void ExpectRefusedWithoutSearch(Scene& scene, const CXMessage& reply) {
  EXPECT_EQ(ListingOf(reply), Listing{});
  EXPECT_EQ(scene.searches->searches.load(), 0);
}

// A "set-scan" whose file list holds `entries` entries of `units` characters.
std::string SetScanOf(int entries, size_t units) {
  std::string list;
  for (int i = 0; i < entries; ++i) list += Hex("FF") + "C:\\" + std::string(units - 3, 'a');
  return Frame("set-scan" + kFE + "file" + kFE + list + kFE + "regs" + kFE + kFE + "apps" + kFE + kFE + "full" + kFE + "0");
}

void ExpectScanSettingsRefused(Scene&, const CXMessage& reply) {
  EXPECT_TRUE(reply.IsNamed("set-scan"));
  EXPECT_EQ(reply.GetInt("ok"), 0);
  EXPECT_LT(reply.GetString("scan-targets").size(), 1000u);
}

const Claim kClaims[] = {
    {"LengthAboveTheLimitDropsTheLink",
     [](Scene&) { return LengthPrefix(CXTCPIPclient::kMaxBody + 1) + "get-disk"; }, Outcome::kDropped, nullptr},
    {"NegativeLengthDropsTheLink", [](Scene&) { return LengthPrefix(-1) + "get-disk"; }, Outcome::kDropped, nullptr},
    {"BodyThatDoesNotDecodeDropsTheLink", [](Scene&) { return Frame("get-disk" + kFE + "key"); }, Outcome::kDropped,
     nullptr},
    {"ConsoleVanishingMidFrameIsADroppedLink", [](Scene&) { return LengthPrefix(1000) + "get-d"; },
     Outcome::kDropped, nullptr, /*console_vanishes=*/true},
    {"TenThousandKeysAreAnswered", [](Scene&) { return Frame("get-disk" + Pairs(10000, "k%05d")); },
     Outcome::kAnswered, [](Scene&, const CXMessage& reply) { EXPECT_TRUE(reply.IsNamed("get-disk")); }},
    {"MillionsOfPairsInOneFrameDropTheLink",
     [](Scene&) {
       // 3 bytes a pair: each would cost two strings' worth of memory.
       std::string body = "get-disk";
       while (body.size() + 3 <= static_cast<size_t>(CXTCPIPclient::kMaxBody)) body += kFE + "a" + kFE;
       return Frame(body);
     },
     Outcome::kDropped, nullptr},
    {"TenMegabyteValueIsAnsweredAtOnce",
     [](Scene& s) { return GetDir(s.root + std::u16string(CXTCPIPclient::kMaxBody - 100, u'a')); },
     Outcome::kAnswered, [](Scene&, const CXMessage& reply) { EXPECT_EQ(ListingOf(reply), Listing{}); }},
    {"TenMegabyteScanTargetIsRefused", [](Scene&) { return SetScanOf(1, CXTCPIPclient::kMaxBody - 100); },
     Outcome::kAnswered, ExpectScanSettingsRefused},
    {"ScanTargetsTooManyForAFrameAreRefused", [](Scene&) { return SetScanOf(200000, 50); }, Outcome::kAnswered,
     ExpectScanSettingsRefused},
    {"DeepBrowsePathIsAnsweredAtOnce",
     [](Scene& s) {
       std::u16string path = s.dir.path();
       for (int i = 0; i < 100000; ++i) path += u"a\\";
       return GetDir(path);
     },
     Outcome::kAnswered, [](Scene&, const CXMessage& reply) { EXPECT_EQ(ListingOf(reply), Listing{}); }},
    {"DotDotComponentsStayOnTheDrive",
     [](Scene& s) { return GetDir(s.root + u"inside\\..\\..\\..\\..\\..\\.\\..\\"); }, Outcome::kAnswered,
     [](Scene& s, const CXMessage& reply) {
       Listing root;
       ListSubfolders(s.root, &root);
       EXPECT_EQ(ListingOf(reply), root);
#ifndef _WIN32
       EXPECT_EQ(root, Listing{u"0inside"});
#endif
     }},
    {"SharePathIsNotSearched", [](Scene&) { return GetDir(u"\\\\127.0.0.1\\c$\\"); }, Outcome::kAnswered,
     ExpectRefusedWithoutSearch},
    {"DevicePathIsNotSearched", [](Scene&) { return GetDir(u"\\\\.\\pipe\\"); }, Outcome::kAnswered,
     ExpectRefusedWithoutSearch},
    {"ExtendedPathIsNotSearched", [](Scene&) { return GetDir(u"\\\\?\\C:\\"); }, Outcome::kAnswered,
     ExpectRefusedWithoutSearch},
    {"DownloadNumberNamesOnlyASnapshotFile",
     [](Scene&) { return Frame("down-snap" + kFE + "id-snapshot" + kFE + "-1\\..\\..\\OrvalinthSrv.ini"); },
     Outcome::kAnswered,
     [](Scene&, const CXMessage& reply) {
       EXPECT_TRUE(reply.IsNamed("down-snap"));
       EXPECT_EQ(reply.GetInt("size"), 0);
       EXPECT_NE(reply.GetString("msg").find("snapshot-01.snp"), std::string::npos) << reply.GetString("msg");
     }},
};

class HostileInput : public AgentTest, public ::testing::WithParamInterface<Claim> {};

TEST_P(HostileInput, Holds) {
  const Claim& claim = GetParam();
  Scene scene;
  platform::FileSystem& files = platform::FileSystem::Real();
  ASSERT_TRUE(files.CreateFolder(scene.dir / u"inside"));
#ifdef _WIN32
  scene.root = u"C:\\";
#else
  platform::posix::SetDrive('q', platform::posix::ToHostPath(scene.dir.path()), platform::kDriveFixed);
  scene.root = u"Q:\\";
#endif
  const std::string frame = claim.frame(scene);
  CountedSearches searches(platform::FileSystem::Get());
  scene.searches = &searches;
  platform::ScopedFacility<platform::FileSystem> use(searches);
  const std::string settings_before = test::ReadFileBytes(Ini());

  CXMessage reply;
  bool dropped = false;
  int64_t took = -1;
  std::atomic<bool> done{false};
  peer_.Serve([&](TestPeer& p) {
    if (!Greet(p)) return;
    searches.searches.store(0);  // those of the greeting do not count
    const int64_t start = platform::MonotonicMs();
    if (p.SendBytes(frame)) {
      if (claim.console_vanishes) {
        p.CloseConnection();
      } else if (claim.outcome == Outcome::kAnswered) {
        if (p.RecvMessage(&reply)) took = platform::MonotonicMs() - start;
      } else {
        // Closed at once, without a graceful close when bytes were left unread.
        std::string rest;
        p.DrainUntilClosed(&rest);
        took = platform::MonotonicMs() - start;
        dropped = rest.empty();
      }
    }
    p.CloseConnection();
    done.store(true);
  });
  StartAgent();
  ASSERT_TRUE(test::WaitFor(done, 20000));
  peer_.Join();

  if (!claim.console_vanishes) {
    EXPECT_GE(took, 0) << "no answer and no drop";
    EXPECT_LT(took, 1000);
  }
  if (claim.outcome == Outcome::kDropped) {
    EXPECT_TRUE(dropped || claim.console_vanishes) << "the link was answered";
  } else {
    claim.check(scene, reply);
    EXPECT_EQ(test::ReadFileBytes(Ini()), settings_before);
  }
  // The next console is greeted and answered at once.
  std::string disks;
  FinishWith([&](TestPeer& p) {
    if (Greet(p) && test::SendCommand(p, "get-disk")) p.RecvFrame(&disks);
  });
  EXPECT_EQ(disks.rfind("get-disk" + kFE, 0), 0u) << disks.substr(0, 100);
#ifndef _WIN32
  platform::posix::RemoveDrive('q');
#endif
}

INSTANTIATE_TEST_SUITE_P(Claims, HostileInput, ::testing::ValuesIn(kClaims),
                         [](const ::testing::TestParamInfo<Claim>& info) { return std::string(info.param.name); });

// A console that trickles a frame, a byte at a time, keeps the link as long
// as it likes; it must not keep the service from stopping.
using HostileConsole = AgentTest;

TEST_F(HostileConsole, TricklingAFrameDoesNotHoldUpAStop) {
  std::atomic<bool> trickling{false};
  std::atomic<bool> stopped{false};
  peer_.Serve([&](TestPeer& p) {
    if (!Greet(p) || !p.SendBytes(LengthPrefix(100) + "get-d")) return;
    trickling.store(true);
    for (int i = 0; i < 95 && !stopped.load() && p.SendBytes("x"); ++i) platform::SleepMs(100);
  });
  StartAgent();
  ASSERT_TRUE(test::WaitFor(trickling, 20000));
  platform::SleepMs(300);  // the agent is inside the frame
  const int64_t start = platform::MonotonicMs();
  StopAgent();
  const int64_t took = platform::MonotonicMs() - start;
  stopped.store(true);
  peer_.Join();
  EXPECT_LT(took, 1000);
}

}  // namespace
}  // namespace orvalinth
