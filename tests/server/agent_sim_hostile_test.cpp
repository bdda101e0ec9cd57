// The misbehaving simulated agents, one table: what each sends on the wire,
// as a console sees it byte by byte, and what the agent does after.

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "link/agent_fixture.h"
#include "link/test_peer.h"
#include "platform/clock.h"
#include "server/sim/agent_sim.h"
#include "server/sim/sim_snapshot.h"
#include "server/sim_test_support.h"
#include "tools/console_link.h"

namespace orvalinth::sim {
namespace {

using test::TestPeer;

constexpr int32_t kBlock = 131072;
constexpr int32_t kQuietMs = 100;  // how long "nothing more comes" is watched

std::string BlockHead(int32_t payload) {
  return test::LengthPrefix(12 + payload) + "down-block" + test::Hex("FE FE");
}

std::string Recv(TestPeer& p, size_t n) {
  std::string bytes;
  EXPECT_TRUE(p.RecvBytes(n, &bytes)) << "only " << bytes.size() << " of " << n << " bytes came";
  return bytes;
}

// Nothing comes for a while (and the link stays up: checked afterwards).
void ExpectQuiet(TestPeer& p) {
  p.SetReceiveTimeout(kQuietMs);
  std::string bytes;
  EXPECT_FALSE(p.RecvBytes(1, &bytes)) << "unexpected " << test::ToHex(bytes);
  p.SetReceiveTimeout(TestPeer::kDefaultWaitMs);
}

// "down-snap" 1: the size of the reply.
int32_t DownSnap(TestPeer& p) {
  CXMessage m;
  m.Init("down-snap").AddInt("id-snapshot", 1);
  EXPECT_TRUE(p.SendMessage(m));
  CXMessage reply;
  EXPECT_TRUE(p.RecvMessage(&reply));
  EXPECT_TRUE(reply.IsNamed("down-snap"));
  return reply.GetInt("size");
}

// The payloads of the blocks up to the end marker.
std::string Blocks(TestPeer& p) {
  std::string bytes;
  for (;;) {
    CXMessage block;
    if (!p.RecvMessage(&block)) {
      ADD_FAILURE() << "the download broke off";
      return bytes;
    }
    if (block.GetInt("done") == 1) return bytes;
    bytes.append(reinterpret_cast<const char*>(block.Payload()), static_cast<size_t>(block.PayloadSize()));
  }
}

bool GreetAgent(TestPeer& p) {
  const bool greeted = test::Greet(p);
  EXPECT_TRUE(greeted);
  return greeted;
}

struct HostileCase {
  const char* name;
  HostileMode mode;
  std::string snapshot;
  // The console's side of the link, on the peer's thread.
  std::function<void(TestPeer&, const std::string& snapshot)> console;
  // Then, with the link still open: the fleet.
  std::function<void(CXSimulatedFleet&)> after;
};

std::vector<HostileCase> Cases() {
  const std::string small = test::SampleBytes(1000, 7);
  const std::string large = test::SampleBytes(300000, 8);
  const std::string real = test::RealSnapshotBytes();
  return {
      {"garbage", HostileMode::kGarbage, small,
       [](TestPeer& p, const std::string&) {
         const std::string bytes = Recv(p, 4096);
         EXPECT_EQ(bytes.substr(0, 16), "GET / HTTP/1.1\r\n");
         // Read as a frame, a length far beyond any frame's.
         EXPECT_GT(CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(bytes.data())), 10485760);
         ExpectQuiet(p);
         p.CloseConnection();
       },
       [](CXSimulatedFleet& fleet) {
         EXPECT_TRUE(test::WaitForCounter(fleet, kDrops, 1));
         EXPECT_EQ(fleet.Totals()[kGreeted], 0u);
       }},
      {"bad-length", HostileMode::kBadLength, small,
       [](TestPeer& p, const std::string&) {
         if (!GreetAgent(p)) return;
         EXPECT_EQ(test::ToHex(Recv(p, 4)), "01 00 A0 00");  // 10,485,761
         ExpectQuiet(p);
       },
       [](CXSimulatedFleet& fleet) { EXPECT_EQ(fleet.Totals()[kConnectedNow], 1u); }},
      {"bad-body", HostileMode::kBadBody, small,
       [](TestPeer& p, const std::string&) {
         if (!GreetAgent(p)) return;
         std::string body;
         ASSERT_TRUE(p.RecvFrame(&body));
         EXPECT_EQ(test::ToHex(body), "70 69 6E 67 FE");
         CXMessage m;
         std::copy(body.begin(), body.end(), m.ReserveBody(static_cast<int32_t>(body.size())));
         EXPECT_FALSE(m.Decode());
         ExpectQuiet(p);
       },
       nullptr},
      {"corrupt-snapshot", HostileMode::kCorruptSnapshot, real,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         EXPECT_EQ(DownSnap(p), static_cast<int32_t>(snapshot.size()));
         const std::string served = Blocks(p);
         EXPECT_EQ(served, CorruptSnapshot(snapshot));
         EXPECT_NE(served, snapshot);
       },
       [](CXSimulatedFleet& fleet) { EXPECT_TRUE(test::WaitForCounter(fleet, kSnapshotsServed, 1)); }},
      {"clock-off", HostileMode::kClockOff, real,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         DownSnap(p);
         const std::string served = Blocks(p);
         std::string time;
         std::string error;
         ASSERT_TRUE(SnapshotFinishTime(served, &time, &error)) << error;
         // A year from the fleet's start (which came before now).
         EXPECT_LE(time, FinishTimeText(std::time(nullptr) + kClockOffSeconds));
         EXPECT_GE(time, FinishTimeText(std::time(nullptr) + kClockOffSeconds - 3600));
         std::string original;
         ASSERT_TRUE(SnapshotFinishTime(snapshot, &original, &error));
         EXPECT_NE(time, original);
       },
       nullptr},
      {"endless-download", HostileMode::kEndlessDownload, small,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         EXPECT_EQ(DownSnap(p), 1000);
         // Full blocks, past the 1,000 bytes announced, and no end marker.
         for (int i = 0; i < 3; ++i) {
           CXMessage block;
           ASSERT_TRUE(p.RecvMessage(&block));
           EXPECT_TRUE(block.IsNamed("down-block"));
           EXPECT_TRUE(block.keys().empty());
           ASSERT_EQ(block.PayloadSize(), kBlock);
           EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.Payload()), 1000), snapshot);
         }
       },
       nullptr},
      {"trickle-download", HostileMode::kTrickleDownload, small,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         DownSnap(p);
         // A whole block announced; its bytes one at a time.
         EXPECT_EQ(test::ToHex(Recv(p, 16)), test::ToHex(BlockHead(kBlock)));
         for (int i = 0; i < 3; ++i) EXPECT_EQ(Recv(p, 1), snapshot.substr(static_cast<size_t>(i), 1));
       },
       [](CXSimulatedFleet& fleet) { EXPECT_EQ(fleet.Totals()[kSnapshotsServed], 0u); }},
      {"stall-download", HostileMode::kStallDownload, large,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         DownSnap(p);
         std::string first;
         ASSERT_TRUE(p.RecvFrame(&first));
         EXPECT_EQ(first.substr(12), snapshot.substr(0, kBlock));
         // The second block's frame, cut at half the file.
         EXPECT_EQ(test::ToHex(Recv(p, 16)), test::ToHex(BlockHead(kBlock)));
         EXPECT_EQ(Recv(p, 150000 - kBlock), snapshot.substr(kBlock, 150000 - kBlock));
         // Hung: no byte more, not even for a command.
         CXMessage disk;
         disk.Init("get-disk");
         EXPECT_TRUE(p.SendMessage(disk));
         ExpectQuiet(p);
       },
       [](CXSimulatedFleet& fleet) {
         EXPECT_EQ(fleet.Totals()[kConnectedNow], 1u);
         EXPECT_TRUE(fleet.AgentState(0).streaming);
       }},
      {"vanish-download", HostileMode::kVanishDownload, large,
       [](TestPeer& p, const std::string& snapshot) {
         if (!GreetAgent(p)) return;
         DownSnap(p);
         std::string first;
         ASSERT_TRUE(p.RecvFrame(&first));
         EXPECT_EQ(test::ToHex(Recv(p, 16)), test::ToHex(BlockHead(kBlock)));
         EXPECT_EQ(Recv(p, 150000 - kBlock), snapshot.substr(kBlock, 150000 - kBlock));
         // Then the link ends there, in the middle of the frame.
         std::string rest;
         EXPECT_FALSE(p.RecvBytes(1, &rest));
       },
       [](CXSimulatedFleet& fleet) {
         // It comes back (into the listener's queue), the snapshot still held.
         EXPECT_TRUE(test::WaitForCounter(fleet, kLinks, 2));
         EXPECT_EQ(fleet.Totals()[kDrops], 1u);
         EXPECT_EQ(fleet.AgentState(0).saved, std::vector<int32_t>{1});
       }},
      {"ping-flood", HostileMode::kPingFlood, small,
       [](TestPeer& p, const std::string&) {
         if (!GreetAgent(p)) return;
         const std::string ping = test::Hex("04 00 00 00 70 69 6E 67");
         for (int i = 0; i < 2000; ++i) ASSERT_EQ(Recv(p, 8), ping) << i;
         // Commands are still answered amid the flood.
         CXMessage disk;
         disk.Init("get-disk");
         EXPECT_TRUE(p.SendMessage(disk));
         for (int i = 0; i < 1000000; ++i) {
           CXMessage m;
           ASSERT_TRUE(p.RecvMessage(&m));
           if (m.IsNamed("ping")) continue;
           EXPECT_TRUE(m.IsNamed("get-disk"));
           EXPECT_EQ(m.GetString("disk"), "c1");
           break;
         }
       },
       [](CXSimulatedFleet& fleet) { EXPECT_TRUE(test::WaitForCounter(fleet, kPingsSent, 2000)); }},
      {"silent", HostileMode::kSilent, small, [](TestPeer& p, const std::string&) { ExpectQuiet(p); },
       [](CXSimulatedFleet& fleet) {
         EXPECT_EQ(fleet.Totals()[kConnectedNow], 1u);
         EXPECT_EQ(fleet.Totals()[kGreeted], 0u);
       }},
  };
}

TEST(SimHostile, EachModeDoesWhatItSaysOnTheWire) {
  for (const HostileCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    HostileMode parsed = HostileMode::kNone;
    EXPECT_TRUE(ParseHostileMode(c.name, &parsed));
    EXPECT_EQ(parsed, c.mode);
    EXPECT_STREQ(HostileModeName(c.mode), c.name);

    TestPeer peer;
    const std::string snapshot = c.snapshot;
    auto fleet = test::StartFleet(peer.port(), {test::SimAgent("SIM-00001", 1, c.mode)}, test::Shared(snapshot));
    std::atomic<bool> scripted{false};
    std::atomic<bool> checked{false};
    peer.Serve([&](TestPeer& p) {
      c.console(p, snapshot);
      scripted.store(true);
      test::WaitFor(checked);
      p.CloseConnection();
    });
    EXPECT_TRUE(test::WaitFor(scripted)) << "the console's side did not end";
    if (c.after) c.after(*fleet);
    EXPECT_GE(fleet->Totals()[kHostileActs], 1u);
    checked.store(true);
    peer.Join();
    fleet->Stop();
  }
}

class SimHostileAgainstConsole : public ::testing::Test {
 protected:
  SimHostileAgainstConsole() {
    EXPECT_TRUE(console_.Listen("127.0.0.1", 0));
    console_.set_reply_timeout_ms(10000);
  }
  ~SimHostileAgainstConsole() override {
    if (fleet_ != nullptr) fleet_->Stop();
  }
  tools::CXConsoleLink console_;
  std::unique_ptr<CXSimulatedFleet> fleet_;
};

TEST_F(SimHostileAgainstConsole, MisbehavesAsOftenAsToldThenBehaves) {
  fleet_ = test::StartFleet(console_.port(), {test::SimAgent("SIM-00001", 0, HostileMode::kBadBody, 1)},
                            test::Shared("x"));
  ASSERT_TRUE(console_.AcceptAgent(10000)) << console_.failure_text();
  CXMessage m;
  EXPECT_EQ(console_.NextMessage(tools::CXConsoleLink::DeadlineAfter(10000), &m), tools::NextResult::kFailed);
  EXPECT_EQ(console_.failure(), tools::LinkFailure::kViolation);
  EXPECT_EQ(console_.failure_text(), "frame body does not decode");
  // The console closed the link; the agent comes back and behaves.
  ASSERT_TRUE(console_.AcceptAgent(10000)) << console_.failure_text();
  CXMessage disk;
  disk.Init("get-disk");
  CXMessage reply;
  EXPECT_TRUE(console_.Request("get-disk", disk, &reply)) << console_.failure_text();
  EXPECT_EQ(fleet_->Totals()[kHostileActs], 1u);
}

TEST_F(SimHostileAgainstConsole, SameIdAgentsClaimOneIdUnderTheirOwnNames) {
  SXSimFleetPlan plan;
  plan.agents = 3;
  plan.hostile = HostileMode::kSameId;
  plan.hostile_agents = 2;
  plan.claimed_id = 77;
  fleet_ = test::StartFleet(console_.port(), PlanAgents(plan), test::Shared("x"));
  std::map<std::string, int32_t> ids;
  const int64_t deadline = tools::CXConsoleLink::DeadlineAfter(10000);
  while (ids.size() < 3 && platform::MonotonicMs() < deadline) {
    if (console_.AcceptAgent(10000)) ids[console_.info().name] = console_.info().id;
  }
  EXPECT_EQ(ids, (std::map<std::string, int32_t>{{"SIM-00001", 77}, {"SIM-00002", 77}, {"SIM-00003", 0}}));
}

TEST(SimPlan, NamesNumbersAndTheMisbehavingFirst) {
  SXSimFleetPlan plan;
  plan.agents = 4;
  plan.first_number = 9;
  plan.name_prefix = "LAB-";
  plan.saved = 2;
  plan.hostile = HostileMode::kPingFlood;
  plan.hostile_agents = 2;
  plan.hostile_times = 3;
  const std::vector<SXSimAgentConfig> agents = PlanAgents(plan);
  ASSERT_EQ(agents.size(), 4u);
  const char* names[] = {"LAB-00009", "LAB-00010", "LAB-00011", "LAB-00012"};
  for (size_t i = 0; i < agents.size(); ++i) {
    EXPECT_EQ(agents[i].name, names[i]);
    EXPECT_EQ(agents[i].saved, 2);
    EXPECT_EQ(agents[i].id, 0);
    EXPECT_EQ(agents[i].hostile, i < 2 ? HostileMode::kPingFlood : HostileMode::kNone);
    EXPECT_EQ(agents[i].hostile_times, i < 2 ? 3 : 0);
  }
}

}  // namespace
}  // namespace orvalinth::sim
