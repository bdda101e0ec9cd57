// The simulated agents against the console's own link (tools/console_link.h,
// which checks every frame by the console's reply rules), and their first
// frames against those of the real agent (link/, in process) in the same
// situation, byte for byte.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <functional>
#include <mutex>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "base/strings.h"
#include "link/agent_fixture.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "server/sim/agent_sim.h"
#include "server/sim_test_support.h"
#include "tools/console_link.h"
#include "tools/snapshot_download.h"

namespace orvalinth {
namespace {

using sim::SimCounter;
using test::FastSimTiming;
using test::SimAgent;
using tools::CXConsoleLink;
using tools::CXSnapshotDownload;
using tools::SXScanDone;

constexpr int64_t kWaitMs = 10000;

class SimAgainstConsole : public ::testing::Test {
 protected:
  SimAgainstConsole() {
    EXPECT_TRUE(console_.Listen("127.0.0.1", 0)) << console_.failure_text();
    console_.set_reply_timeout_ms(kWaitMs);
  }
  ~SimAgainstConsole() override {
    console_.Close();
    if (fleet_ != nullptr) fleet_->Stop();
  }

  void Start(std::vector<sim::SXSimAgentConfig> agents, std::string bytes = test::SampleBytes(1000),
             sim::SXSimTiming timing = FastSimTiming()) {
    snapshot_ = test::Shared(std::move(bytes));
    fleet_ = test::StartFleet(console_.port(), std::move(agents), snapshot_, timing);
  }
  void Accept() { ASSERT_TRUE(console_.AcceptAgent(kWaitMs)) << console_.failure_text(); }
  // Drops the link; the agent comes back after its reconnect wait.
  void Reconnect() {
    console_.Close();
    Accept();
  }
  CXMessage& Ask(const std::string& command, CXMessage& request) {
    EXPECT_TRUE(console_.Request(command, request, &reply_)) << console_.failure_text();
    return reply_;
  }
  bool Download(int32_t n, CXSnapshotDownload* download) {
    const bool ok = download->Run(n, downloads_.path());
    EXPECT_TRUE(ok) << download->error() << " " << console_.failure_text();
    return ok;
  }
  uint64_t Count(SimCounter c) const { return fleet_->Totals()[c]; }

  CXConsoleLink console_;
  test::TempFolder downloads_;
  sim::SnapshotBytes snapshot_;
  std::unique_ptr<sim::CXSimulatedFleet> fleet_;
  CXMessage reply_;
};

TEST_F(SimAgainstConsole, GreetsAndSendsInfoAsTheAgentDoes) {
  Start({SimAgent("SIM-00001", 2)});
  Accept();
  // "hello", ver "QELMv1.0", app 6: 24 body bytes after the prefix.
  EXPECT_EQ(test::ToHex(console_.hello_frame()),
            test::ToHex(test::Hex("18 00 00 00 68 65 6C 6C 6F FE 76 65 72 FE 51 45 4C 4D 76 31 2E 30 FE 61 70 70 FE 36")));
  const tools::SXAgentInfo& info = console_.info();
  EXPECT_EQ(info.name, "SIM-00001");
  EXPECT_EQ(info.app_ver, 6);
  EXPECT_EQ(info.app_bit, 64);
  EXPECT_EQ(info.os_bit, 64);
  EXPECT_EQ(info.scanning, 0);
  EXPECT_EQ(info.id, 0);
  EXPECT_EQ(info.saved_uids, "1,2");
  EXPECT_EQ(info.scan_targets, "full");
  EXPECT_FALSE(info.upgraded);
  EXPECT_FALSE(info.has_crash);
  ASSERT_TRUE(test::WaitForCounter(*fleet_, sim::kOnlineNow, 1));
  EXPECT_EQ(Count(sim::kGreeted), 1u);
  EXPECT_EQ(Count(sim::kSnapshotsHeld), 2u);
}

TEST_F(SimAgainstConsole, TheFirstInfoTellsOfAnUpgradeAndACrashOnce) {
  sim::SXSimAgentConfig agent = SimAgent("SIM-00001");
  agent.upgraded = true;
  agent.upgrade_ok = false;
  agent.crash_report = "fault at 0x401000\r\nstack:";
  Start({agent});
  Accept();
  EXPECT_TRUE(console_.info().upgraded);
  EXPECT_EQ(console_.info().upgrade_ok, 0);
  EXPECT_TRUE(console_.info().has_crash);
  EXPECT_EQ(console_.info().crash, "fault at 0x401000\r\nstack:");
  Reconnect();
  EXPECT_FALSE(console_.info().upgraded);
  EXPECT_FALSE(console_.info().has_crash);
}

TEST_F(SimAgainstConsole, KeepsTheIdOfSetUidForTheNextConnections) {
  Start({SimAgent("SIM-00001")});
  Accept();
  CXMessage uid;
  uid.Init("set-uid").AddInt("id", 42);
  ASSERT_TRUE(console_.Send(uid));
  // No reply: the next command's reply is the next frame.
  CXMessage disk;
  disk.Init("get-disk");
  EXPECT_EQ(Ask("get-disk", disk).GetString("disk"), "c1");
  Reconnect();
  EXPECT_EQ(console_.info().id, 42);
  Reconnect();
  EXPECT_EQ(console_.info().id, 42);
  EXPECT_EQ(Count(sim::kIdsAssigned), 1u);
  EXPECT_EQ(Count(sim::kReconnects), 2u);
  EXPECT_EQ(Count(sim::kDrops), 2u);
}

TEST_F(SimAgainstConsole, SetScanAndScanGiveScanDoneWithANewSnapshot) {
  Start({SimAgent("SIM-00001", 2)});
  Accept();
  CXMessage set;
  set.Init("set-scan")
      .AddList("file", {u"C:\\Windows"})
      .AddList("regs", {})
      .AddList("apps", {u"*"})
      .AddInt("add-ver-inf", 1)
      .AddInt("full", 0)
      .AddInt("show-rem-dsk", 0)
      .AddString("snap-name", "");
  CXMessage& r = Ask("set-scan", set);
  EXPECT_EQ(r.GetInt("ok"), 1);
  EXPECT_EQ(r.GetString("scan-targets"), "files part.+ver, all apps");
  CXMessage get;
  get.Init("get-scan");
  EXPECT_EQ(Ask("get-scan", get).GetString("snap-name"), "SIM-00001 - snapshot #3");
  CXMessage scan;
  scan.Init("scan").AddInt("default", 1).AddString("snap-name", "");
  EXPECT_EQ(Ask("scan", scan).GetInt("ok"), 1);
  SXScanDone done;
  ASSERT_TRUE(console_.WaitScanDone(kWaitMs, &done)) << console_.failure_text();
  EXPECT_EQ(done.ok, 1);
  EXPECT_EQ(done.id_snapshot, 3);
  Reconnect();
  EXPECT_EQ(console_.info().saved_uids, "1,2,3");
  EXPECT_EQ(console_.info().scan_targets, "files part.+ver, all apps");
  EXPECT_EQ(Count(sim::kScansDone), 1u);
  EXPECT_EQ(Count(sim::kSnapshotsHeld), 3u);
}

TEST_F(SimAgainstConsole, OneScanAtATimeAndStopScanEndsItWithoutScanDone) {
  sim::SXSimTiming slow = FastSimTiming();
  slow.scan_ms = 3600000;
  Start({SimAgent("SIM-00001")}, test::SampleBytes(10), slow);
  Accept();
  CXMessage scan;
  scan.Init("scan").AddInt("default", 1).AddString("snap-name", "");
  EXPECT_EQ(Ask("scan", scan).GetInt("ok"), 1);
  scan.Init("scan").AddInt("default", 1).AddString("snap-name", "");
  CXMessage& again = Ask("scan", scan);
  EXPECT_EQ(again.GetInt("ok"), 0);
  EXPECT_EQ(again.GetString("msg"), "scan already in progress");
  Reconnect();
  EXPECT_EQ(console_.info().scanning, 1);
  CXMessage stop;
  stop.Init("stop-scan");
  EXPECT_EQ(Ask("stop-scan", stop).GetInt("ok"), 1);
  Reconnect();
  EXPECT_EQ(console_.info().scanning, 0);
  EXPECT_EQ(console_.info().saved_uids, "");
  EXPECT_TRUE(console_.kept_scan_done().empty());
  EXPECT_EQ(Count(sim::kScansStopped), 1u);
}

// Downloads of every shape of the block stream: the bytes arrive whole, in
// blocks of 131,072 and a last shorter (possibly empty) one.
TEST_F(SimAgainstConsole, DownloadsAreTheFileByteForByte) {
  const struct {
    size_t size;
    uint64_t blocks;  // with data or the last short one
  } cases[] = {{0, 1}, {1, 1}, {131071, 1}, {131072, 2}, {262144, 3}, {300000, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    // The agent goes before the link, so that it cannot connect again meanwhile.
    if (fleet_ != nullptr) fleet_->Stop();
    console_.Close();
    Start({SimAgent("SIM-00001", 1)}, test::SampleBytes(c.size, static_cast<uint32_t>(c.size)));
    Accept();
    CXSnapshotDownload download(console_, nullptr);
    ASSERT_TRUE(Download(1, &download));
    EXPECT_EQ(download.result().size, static_cast<int32_t>(c.size));
    EXPECT_EQ(test::ReadFileBytes(download.result().path), *snapshot_);
    ASSERT_TRUE(test::WaitForCounter(*fleet_, sim::kSnapshotsServed, 1));
    EXPECT_EQ(Count(sim::kBlocksServed), c.blocks);
    EXPECT_EQ(Count(sim::kBytesServed), c.size);
    EXPECT_EQ(Count(sim::kStreamingNow), 0u);
  }
}

TEST_F(SimAgainstConsole, DownAckRemovesTheSnapshotFromSavedUids) {
  Start({SimAgent("SIM-00001", 2)});
  Accept();
  CXSnapshotDownload download(console_, nullptr);
  ASSERT_TRUE(Download(1, &download));
  CXMessage ack;
  ack.Init("down-ack").AddInt("id-snapshot", 1);
  ASSERT_TRUE(console_.Send(ack));
  CXMessage again;
  again.Init("down-snap").AddInt("id-snapshot", 1);
  CXMessage& r = Ask("down-snap", again);
  EXPECT_EQ(r.GetInt("size"), 0);
  EXPECT_EQ(r.GetString("msg"), "cannot open C:\\Program Files\\Orvalinth\\data\\snapshot001.snp");
  Reconnect();
  EXPECT_EQ(console_.info().saved_uids, "2");
  EXPECT_EQ(Count(sim::kSnapshotsAcknowledged), 1u);
  EXPECT_EQ(Count(sim::kDownloadsRefused), 1u);
}

TEST_F(SimAgainstConsole, CommandsAreAnsweredWhileADownloadStreams) {
  // Larger than what the loopback's socket buffers hold (a few MB), so that
  // the download cannot be all written before "get-disk" is read, however
  // late this thread sends it: the console reads nothing until then.
  Start({SimAgent("SIM-00001", 1)}, test::SampleBytes(128 * 131072 + 5));
  Accept();
  CXMessage snap;
  snap.Init("down-snap").AddInt("id-snapshot", 1);
  ASSERT_TRUE(console_.Send(snap));
  CXMessage disk;
  disk.Init("get-disk");
  ASSERT_TRUE(console_.Send(disk));
  // The size, blocks, and the "get-disk" reply somewhere between them.
  int blocks = 0;
  bool answered = false;
  bool ended = false;
  while (!ended) {
    CXMessage m;
    ASSERT_EQ(console_.NextMessage(CXConsoleLink::DeadlineAfter(kWaitMs), &m), tools::NextResult::kMessage);
    if (m.IsNamed("get-disk")) answered = true;
    if (m.IsNamed("down-block")) {
      if (m.GetInt("done") == 1) {
        ended = true;
      } else {
        ++blocks;
      }
    }
  }
  EXPECT_TRUE(answered);
  EXPECT_EQ(blocks, 129);
}

TEST_F(SimAgainstConsole, AnUnknownCommandGetsNullAndTheLinkIsDropped) {
  Start({SimAgent("SIM-00001")});
  Accept();
  CXMessage bogus;
  bogus.Init("ping");  // a console's "ping" is no command of the agent's
  EXPECT_TRUE(Ask("ping", bogus).IsNamed("null"));
  ASSERT_TRUE(console_.WaitForDrop(kWaitMs)) << console_.failure_text();
  Accept();
  EXPECT_EQ(Count(sim::kUnknownCommands), 1u);
}

TEST_F(SimAgainstConsole, UninstallEndsTheAgent) {
  Start({SimAgent("SIM-00001")});
  Accept();
  CXMessage uninstall;
  uninstall.Init("uninstall");
  ASSERT_TRUE(console_.Send(uninstall));
  ASSERT_TRUE(console_.WaitForDrop(kWaitMs)) << console_.failure_text();
  ASSERT_TRUE(test::WaitUntil([&] { return fleet_->AgentState(0).ended; }));
  EXPECT_EQ(Count(sim::kConnects), 1u);
}

TEST_F(SimAgainstConsole, AnIdleLinkPings) {
  sim::SXSimTiming timing = FastSimTiming();
  timing.ping_idle_ms = 20;
  Start({SimAgent("SIM-00001")}, test::SampleBytes(10), timing);
  Accept();
  // Pings are set aside by the console's link: none of them is a message.
  const int64_t deadline = CXConsoleLink::DeadlineAfter(kWaitMs);
  while (console_.pings() < 2 && platform::MonotonicMs() < deadline) {
    CXMessage m;
    ASSERT_EQ(console_.NextMessage(CXConsoleLink::DeadlineAfter(20), &m), tools::NextResult::kTimeout);
  }
  EXPECT_GE(console_.pings(), 2);
  // Counted once written, which may come just after the console read them.
  EXPECT_TRUE(test::WaitForCounter(*fleet_, sim::kPingsSent, 2));
}

// A console for many agents at once: it accepts every link, answers the
// greeting and keeps the link, counting the names of "info" and the pings.
class ManyAgentsConsole {
 public:
  ManyAgentsConsole() : acceptor_(io_, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~ManyAgentsConsole() {
    io_.stop();
    thread_.join();
  }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }
  size_t names() {
    std::lock_guard<std::mutex> lock(lock_);
    return names_.size();
  }
  int pings() const { return pings_.load(); }

 private:
  struct Link {
    explicit Link(boost::asio::io_context& io) : socket(io) {}
    boost::asio::ip::tcp::socket socket;
    uint8_t prefix[4] = {};
    std::string body;
    bool greeted = false;
  };

  void Accept() {
    links_.push_back(std::make_unique<Link>(io_));
    Link* link = links_.back().get();
    acceptor_.async_accept(link->socket, [this, link](const boost::system::error_code& e) {
      if (e) return;
      Read(link);
      Accept();
    });
  }
  void Read(Link* link) {
    boost::asio::async_read(link->socket, boost::asio::buffer(link->prefix),
                            [this, link](const boost::system::error_code& e, size_t) {
                              if (e) return;
                              link->body.resize(static_cast<size_t>(CXMessage::ReadLength(link->prefix)));
                              boost::asio::async_read(link->socket, boost::asio::buffer(link->body),
                                                      [this, link](const boost::system::error_code& e2, size_t) {
                                                        if (!e2) Take(link);
                                                      });
                            });
  }
  void Take(Link* link) {
    CXMessage m;
    std::copy(link->body.begin(), link->body.end(), m.ReserveBody(static_cast<int32_t>(link->body.size())));
    if (!m.Decode()) return;
    if (m.IsNamed("hello")) {
      static const std::string hello = test::Frame(test::Hex("68 65 6C 6C 6F FE 76 65 72 FE") + "QELMv1.0");
      boost::asio::write(link->socket, boost::asio::buffer(hello));
    } else if (m.IsNamed("info")) {
      std::lock_guard<std::mutex> lock(lock_);
      names_.insert(m.GetString("name"));
    } else if (m.IsNamed("ping")) {
      pings_.fetch_add(1);
    }
    Read(link);
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::vector<std::unique_ptr<Link>> links_;
  std::mutex lock_;
  std::set<std::string> names_;
  std::atomic<int> pings_{0};
  std::thread thread_;
};

TEST(SimFleet, HundredsOfAgentsOnTwoThreadsGreetAndPing) {
  ManyAgentsConsole console;
  sim::SXSimFleetPlan plan;
  plan.agents = 300;
  sim::SXSimTiming timing = FastSimTiming();
  timing.ping_idle_ms = 50;
  auto fleet = test::StartFleet(console.port(), sim::PlanAgents(plan), test::Shared("x"), timing, /*threads=*/2);
  EXPECT_TRUE(test::WaitUntil([&] { return console.names() == 300; })) << console.names();
  EXPECT_TRUE(test::WaitForCounter(*fleet, sim::kOnlineNow, 300));
  // Every agent pings its idle link.
  EXPECT_TRUE(test::WaitUntil([&] { return console.pings() >= 600; })) << console.pings();
  EXPECT_EQ(fleet->Totals()[sim::kDrops], 0u);
  fleet->Stop();
  EXPECT_EQ(fleet->Totals()[sim::kConnectedNow], 0u);
}

// ---- the real agent and the simulated one, frame by frame ----

constexpr size_t kGoldenSnapshotSize = 300000;

// The console's side of one link: every frame the agent sends, as it came
// (body only), and "<closed>" when the agent closes the link at the end.
void GoldenScript(test::TestPeer& p, std::vector<std::string>* frames, const std::function<void()>& finish_scan) {
  const auto next = [&] {
    std::string body;
    if (!p.RecvFrame(&body)) return false;
    frames->push_back(body);
    return true;
  };
  const auto send = [&](CXMessage& m) { return p.SendMessage(m); };
  CXMessage m;
  if (!next()) return;  // hello
  m.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 6);
  send(m);
  if (!next()) return;  // info
  m.Init("set-uid").AddInt("id", 42);
  send(m);
  m.Init("set-scan")
      .AddList("file", {u"C:\\Windows", u"D:\\Data"})
      .AddList("regs", {u"HKEY_LOCAL_MACHINE\\SOFTWARE"})
      .AddList("apps", {u"*"})
      .AddInt("add-ver-inf", 1)
      .AddInt("full", 0)
      .AddInt("show-rem-dsk", 0)
      .AddString("snap-name", "");
  send(m);
  if (!next()) return;
  m.Init("get-scan");
  send(m);
  if (!next()) return;
  m.Init("scan").AddInt("default", 1).AddString("snap-name", "");
  send(m);
  if (!next()) return;
  finish_scan();
  if (!next()) return;  // scan-done
  m.Init("down-snap").AddInt("id-snapshot", 1);
  send(m);
  if (!next()) return;  // the size
  for (int blocks = 0; blocks < 10; ++blocks) {
    if (!next()) return;
    if (frames->back().find("done") != std::string::npos && frames->back().size() < 20) break;
  }
  m.Init("down-ack").AddInt("id-snapshot", 1);
  send(m);
  m.Init("stop-scan").AddString("msg", "stop it");
  send(m);
  if (!next()) return;
  m.Init("get-dir").AddString("path", "C:\\NoSuchFolder");
  send(m);
  if (!next()) return;
  m.Init("bogus");
  send(m);
  if (!next()) return;  // null
}

class SimAndRealAgent : public test::AgentTest {};

TEST_F(SimAndRealAgent, FirstFramesAreTheRealAgentsByteForByte) {
  const std::string bytes = test::SampleBytes(kGoldenSnapshotSize);
  // The files first: loading the settings drops snapshots without a file.
  test::WriteFileBytes(SnapshotPath(1), bytes);
  test::WriteFileBytes(SnapshotPath(2), bytes);
  WriteSettings(Text({"ComputerID:0", "SnapshotCnt:2", "SavedSnapshots:1,2", "ScanAll:1"}));
  std::shared_ptr<test::FakeRecordingState> recording = UseFakeRecording();

  std::vector<std::string> real;
  RunConsole([&](test::TestPeer& p) { GoldenScript(p, &real, [&] { recording->running.store(0); }); });

  std::vector<std::string> simulated;
  test::TestPeer peer;
  auto fleet = test::StartFleet(peer.port(), {SimAgent("PC-01", 2)}, test::Shared(bytes));
  std::atomic<bool> done{false};
  peer.Serve([&](test::TestPeer& p) {
    GoldenScript(p, &simulated, [] {});
    done.store(true);
    p.CloseAfterClient();
  });
  ASSERT_TRUE(test::WaitFor(done));
  peer.Join();
  fleet->Stop();

  // hello, info, set-scan, get-scan, scan, scan-done, down-snap, 3 blocks,
  // the end marker, stop-scan, get-dir, null.
  ASSERT_EQ(real.size(), 14u);
  ASSERT_EQ(simulated.size(), real.size());
  for (size_t i = 0; i < real.size(); ++i) {
    SCOPED_TRACE(i);
    if (real[i].size() > 200) {
      EXPECT_EQ(simulated[i].size(), real[i].size());
      EXPECT_TRUE(simulated[i] == real[i]) << "block " << i << " differs";
    } else {
      EXPECT_EQ(test::ToHex(simulated[i]), test::ToHex(real[i]));
    }
  }
}

}  // namespace
}  // namespace orvalinth
