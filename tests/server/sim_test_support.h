#pragma once
// What the tests of the simulated agents share: quick timing, sample bytes,
// a real snapshot file made by the snapshot writer, and a fleet started
// against a console on loopback.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fakes/wait_until.h"
#include "server/sim/agent_sim.h"
#include "storage/snapshot_builder.h"
#include "test_support.h"

namespace orvalinth::test {

// The agents' rhythm for tests: no ping unless a test wants one, quick
// reconnects and scans.
inline sim::SXSimTiming FastSimTiming() {
  sim::SXSimTiming t;
  t.ping_idle_ms = 3600000;
  t.reconnect_ms = 20;
  t.greeting_timeout_ms = 10000;
  t.frame_timeout_ms = 10000;
  t.close_drain_ms = 200;
  t.scan_ms = 20;
  t.trickle_ms = 5;
  return t;
}

// n bytes of a fixed pseudo-random sequence.
inline std::string SampleBytes(size_t n, uint32_t seed = 1) {
  std::string bytes(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

inline sim::SnapshotBytes Shared(std::string bytes) { return std::make_shared<const std::string>(std::move(bytes)); }

inline sim::SXSimAgentConfig SimAgent(std::string name, int32_t saved = 0,
                                      sim::HostileMode mode = sim::HostileMode::kNone, int32_t times = 0) {
  sim::SXSimAgentConfig a;
  a.name = std::move(name);
  a.saved = saved;
  a.hostile = mode;
  a.hostile_times = times;
  return a;
}

// A snapshot file as the recorder writes it: one drive with `files` files.
inline std::string RealSnapshotBytes(int files = 40) {
  SnapshotPlan plan;
  plan.number = 1;
  plan.title = "PC-01 - snapshot #1";
  // Fixed, so that the bytes (and the golden answers that give their size) are the same on every machine.
  plan.machine = SXMachineDescription{"Win 10 Pro x64", "Windows 10 Pro", "Test Processor"};
  NodeSpec root = Node(u"c:\\", {Node(u"Windows")});
  for (int i = 0; i < files; ++i) {
    root.children[0].files.push_back(File(W("file" + std::to_string(i) + ".dll"), 1000u + 7u * static_cast<uint64_t>(i),
                                          0x01D5C0A1B2C3D4E5 + i, 0x20));
  }
  plan.sections.push_back({kSectionFiles, u"c:\\", root});
  TempFolder folder;
  const std::u16string path = folder / u"snapshot001.snp";
  std::string error;
  EXPECT_GT(WriteSnapshot(path, plan, &error), 0u) << error;
  return ReadFileBytes(path);
}

// A started fleet of `agents` serving `bytes` to the console at 127.0.0.1:port,
// on `threads` threads.
inline std::unique_ptr<sim::CXSimulatedFleet> StartFleet(uint16_t port, std::vector<sim::SXSimAgentConfig> agents,
                                                         sim::SnapshotBytes bytes,
                                                         sim::SXSimTiming timing = FastSimTiming(),
                                                         int threads = 1) {
  sim::SXSimFleetConfig config;
  config.host = "127.0.0.1";
  config.port = port;
  config.snapshot = std::move(bytes);
  config.agents = std::move(agents);
  config.timing = timing;
  config.threads = threads;
  auto fleet = std::make_unique<sim::CXSimulatedFleet>(std::move(config));
  std::string error;
  EXPECT_TRUE(fleet->Start(&error)) << error;
  return fleet;
}

// Waits until the fleet's counter reaches `at_least`.
inline bool WaitForCounter(const sim::CXSimulatedFleet& fleet, sim::SimCounter counter, uint64_t at_least) {
  return WaitUntil([&] { return fleet.Totals()[counter] >= at_least; });
}

}  // namespace orvalinth::test
