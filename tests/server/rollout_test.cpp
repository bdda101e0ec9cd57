// Upgrade rollouts over simulated agents: the waves, a machine that comes
// back with its old version, packages refused, and a server that starts
// again in the middle of a rollout.

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <set>

#include "server/fleet_fixture.h"
#include "server/package_fixture.h"
#include "server/rollout.h"

namespace orvalinth::server {
namespace {

using test::Call;
using test::FleetFixture;
using test::WaitUntil;

constexpr int32_t kOld = 6;
constexpr int32_t kNew = 7;


// Machines PC-1 ... PC-n with ids 1 ... n at version 6 that take upgrades;
// those named in `keep_old` come back at their old version.
std::vector<sim::SXSimAgentConfig> Machines(int n, const std::set<int>& keep_old = {}) {
  std::vector<sim::SXSimAgentConfig> agents;
  for (int i = 1; i <= n; ++i) {
    sim::SXSimAgentConfig a = test::SimAgent("PC-" + std::to_string(i));
    a.id = i;
    a.app_version = kOld;
    a.upgrade = keep_old.count(i) != 0 ? sim::SimUpgrade::kKeepOld : sim::SimUpgrade::kApply;
    agents.push_back(a);
  }
  return agents;
}

void WaitAllOnline(FleetFixture& f, int n) {
  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 1; i <= n; ++i) {
      if (!f.server().IsOnline(i)) return false;
    }
    return true;
  }));
}

SXRolloutRequest Request(int32_t version, int32_t canary, int32_t wave) {
  SXRolloutRequest r;
  r.package = test::MakePackage(version);
  r.canary_percent = canary;
  r.wave_size = wave;
  r.wave_timeout_seconds = 60;
  r.by = "admin";
  return r;
}

SXRolloutRow Rollout(FleetFixture& f, int64_t id) {
  SXRolloutRow row;
  EXPECT_TRUE(f.catalog().GetRollout(id, &row).ok());
  return row;
}

bool WaitForState(FleetFixture& f, int64_t id, RolloutState state) {
  return WaitUntil([&] { return Rollout(f, id).state == state; });
}

TEST(Rollout, WavesAreTheCanaryShareThenWaveSize) {
  const struct {
    size_t machines;
    int32_t canary, wave;
    std::vector<int32_t> waves;
  } cases[] = {
      {10, 10, 3, {1, 2, 2, 2, 3, 3, 3, 4, 4, 4}},
      {1, 10, 50, {1}},
      {5, 100, 2, {1, 1, 1, 1, 1}},
      {7, 50, 2, {1, 1, 1, 1, 2, 2, 3}},
  };
  for (const auto& c : cases) EXPECT_EQ(RolloutWaves(c.machines, c.canary, c.wave), c.waves) << c.machines;
}

TEST(Rollout, GoesWaveByWaveToDone) {
  FleetFixture f;
  sim::CXSimulatedFleet& fleet = f.Agents(Machines(10));
  WaitAllOnline(f, 10);
  // At each wave's start, how many machines had been sent the package.
  std::mutex mutex;
  std::vector<std::pair<int, uint64_t>> seen;  // wave (0: done), upgrades sent so far
  const uint64_t listener = f.events().Subscribe([&](const SXFleetEvent& e) {
    if (e.type != "rollout") return;
    const Json data = Json::parse(e.data);
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(data["state"] == "done" ? 0 : data["wave"].get<int>(), fleet.Totals()[sim::kUpgrades]);
  });
  const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().StartRollout(Request(kNew, 10, 3), d); });
  ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
  const int64_t id = r.data["rollout"];
  ASSERT_TRUE(WaitForState(f, id, RolloutState::kDone)) << Rollout(f, id).reason;
  f.events().Unsubscribe(listener);
  EXPECT_EQ(seen, (std::vector<std::pair<int, uint64_t>>{{1, 0}, {2, 1}, {3, 4}, {4, 7}, {0, 10}}));

  std::vector<SXRolloutMachineRow> rows;
  ASSERT_TRUE(f.catalog().ListRolloutMachines(id, &rows).ok());
  ASSERT_EQ(rows.size(), 10u);
  for (const SXRolloutMachineRow& m : rows) {
    EXPECT_EQ(m.state, RolloutMachineState::kUpgraded) << m.uid << ": " << m.text;
    SXMachineRow machine;
    ASSERT_TRUE(f.catalog().GetMachine(m.uid, &machine).ok());
    EXPECT_EQ(machine.app_version, kNew);
  }
  const SXRolloutRow row = Rollout(f, id);
  EXPECT_EQ(row.package_path, "packages/" + row.package_sha256 + ".exe");
  EXPECT_EQ(FleetFixture::FileText(f.data() + "/" + row.package_path), test::MakePackage(kNew));
}

TEST(Rollout, AMachineBackWithItsOldVersionFailsItAndNothingMoreIsSent) {
  FleetFixture f;
  sim::CXSimulatedFleet& fleet = f.Agents(Machines(4, {1}));
  WaitAllOnline(f, 4);
  const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().StartRollout(Request(kNew, 25, 3), d); });
  ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
  const int64_t id = r.data["rollout"];
  ASSERT_TRUE(WaitForState(f, id, RolloutState::kFailed));
  EXPECT_EQ(Rollout(f, id).reason, "PC-1 (id 1) came back with version 6");
  EXPECT_EQ(fleet.Totals()[sim::kUpgrades], 1u);
  // A second rollout may start now; stopping one that failed is refused.
  EXPECT_EQ(Call([&](CXFleetActions::Done d) { f.server().StopRollout(id, "admin", d); }).error, "refused");
}

TEST(Rollout, PackagesWithoutANewerVersionAreRefused) {
  FleetFixture f;
  f.Agents(Machines(2));
  WaitAllOnline(f, 2);
  SXRolloutRequest no_version = Request(kNew, 10, 3);
  no_version.package = "MZ not really an executable";
  const struct {
    SXRolloutRequest request;
    const char* message;
  } cases[] = {
      {no_version, "the package's agent version cannot be read: the executable has no version resource"},
      {Request(kOld, 10, 3), "version 6 is not newer than every target: PC-1 (id 1) runs version 6"},
      {Request(kNew, 0, 3), "the canary share must be 1 to 100 percent"},
  };
  for (const auto& c : cases) {
    const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().StartRollout(c.request, d); });
    EXPECT_EQ(r.error, "refused");
    EXPECT_EQ(r.message, c.message);
  }
  std::vector<SXRolloutRow> rows;
  ASSERT_TRUE(f.catalog().ListRollouts(&rows).ok());
  EXPECT_TRUE(rows.empty());
}

TEST(Rollout, GoesOnAfterTheServerStartsAgain) {
  FleetFixture f;
  f.Agents(Machines(4));
  WaitAllOnline(f, 4);
  std::atomic<bool> second_wave{false};
  const uint64_t listener = f.events().Subscribe([&](const SXFleetEvent& e) {
    if (e.type == "rollout" && Json::parse(e.data)["wave"] == 2) second_wave = true;
  });
  const SXActionResult r = Call([&](CXFleetActions::Done d) { f.server().StartRollout(Request(kNew, 25, 3), d); });
  ASSERT_TRUE(r.ok) << r.error << ": " << r.message;
  const int64_t id = r.data["rollout"];
  ASSERT_TRUE(test::WaitFor(second_wave));
  f.events().Unsubscribe(listener);
  f.StopServer();
  const SXRolloutRow stopped = Rollout(f, id);
  EXPECT_EQ(stopped.state, RolloutState::kRunning);
  EXPECT_EQ(stopped.wave, 2);

  f.StartServer();
  ASSERT_TRUE(WaitForState(f, id, RolloutState::kDone)) << Rollout(f, id).reason;
  std::vector<SXRolloutMachineRow> rows;
  ASSERT_TRUE(f.catalog().ListRolloutMachines(id, &rows).ok());
  for (const SXRolloutMachineRow& m : rows) EXPECT_EQ(m.state, RolloutMachineState::kUpgraded) << m.uid;
}

}  // namespace
}  // namespace orvalinth::server
