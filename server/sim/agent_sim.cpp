#include "server/sim/agent_sim.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <future>
#include <thread>

#include "base/strings.h"
#include "server/sim/sim_agent.h"

namespace orvalinth::sim {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct ModeName {
  HostileMode mode;
  const char* name;
  const char* help;
};

constexpr ModeName kModes[] = {
    {HostileMode::kNone, "none", "behaves as the service does"},
    {HostileMode::kGarbage, "garbage", "sends 4,096 bytes that are no frame in place of its greeting"},
    {HostileMode::kBadLength, "bad-length", "after \"info\", a frame header announcing 10,485,761 bytes"},
    {HostileMode::kBadBody, "bad-body", "after \"info\", a frame whose body does not decode"},
    {HostileMode::kCorruptSnapshot, "corrupt-snapshot", "serves snapshots whose blocks are damaged"},
    {HostileMode::kEndlessDownload, "endless-download", "a download of full blocks for ever, no end marker"},
    {HostileMode::kTrickleDownload, "trickle-download", "a download whose first block comes one byte at a time"},
    {HostileMode::kStallDownload, "stall-download", "stops in the middle of a block half way and hangs"},
    {HostileMode::kVanishDownload, "vanish-download", "closes its link in the middle of a block half way"},
    {HostileMode::kPingFlood, "ping-flood", "after \"info\", pings back to back for as long as the link lasts"},
    {HostileMode::kSilent, "silent", "connects and never greets"},
    {HostileMode::kClockOff, "clock-off", "its clock is a year ahead: so are its snapshots' finish times"},
    {HostileMode::kSameId, "same-id", "claims one computer id with the other same-id agents (--claim-id)"},
};

bool AnyAgent(const std::vector<SXSimAgentConfig>& agents, HostileMode mode) {
  return std::any_of(agents.begin(), agents.end(), [mode](const SXSimAgentConfig& a) { return a.hostile == mode; });
}

}  // namespace

const char* HostileModeName(HostileMode mode) {
  for (const ModeName& m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "?";
}

bool ParseHostileMode(std::string_view name, HostileMode* mode) {
  for (const ModeName& m : kModes) {
    if (name == m.name) {
      *mode = m.mode;
      return true;
    }
  }
  return false;
}

std::string HostileModesHelp() {
  std::string text;
  for (const ModeName& m : kModes) {
    if (m.mode == HostileMode::kNone) continue;
    text += Format("  %-18s %s\n", m.name, m.help);
  }
  return text;
}

std::vector<SXSimAgentConfig> PlanAgents(const SXSimFleetPlan& plan) {
  std::vector<SXSimAgentConfig> agents(static_cast<size_t>(std::max(plan.agents, 0)));
  for (size_t i = 0; i < agents.size(); ++i) {
    SXSimAgentConfig& a = agents[i];
    a.name = plan.name_prefix + Format("%05d", static_cast<int>(plan.first_number + static_cast<int32_t>(i)));
    a.saved = plan.saved;
    if (static_cast<int32_t>(i) < plan.hostile_agents && plan.hostile != HostileMode::kNone) {
      a.hostile = plan.hostile;
      a.hostile_times = plan.hostile_times;
      if (plan.hostile == HostileMode::kSameId) a.id = plan.claimed_id;
    }
  }
  return agents;
}

struct CXSimulatedFleet::Impl {
  using Guard = asio::executor_work_guard<asio::io_context::executor_type>;

  explicit Impl(SXSimFleetConfig c) : config(std::move(c)) {
    const size_t threads = static_cast<size_t>(std::max(config.threads, 1));
    for (size_t i = 0; i < threads; ++i) contexts.push_back(std::make_unique<asio::io_context>(1));
    agents.reserve(config.agents.size());
    for (size_t i = 0; i < config.agents.size(); ++i) {
      agents.push_back(std::make_unique<CXSimAgent>(ContextOf(i), shared, config.agents[i], i));
    }
  }

  asio::io_context& ContextOf(size_t agent) { return *contexts[agent % contexts.size()]; }

  // Runs `work` on the agent's thread and waits for it; at once when the
  // threads do not run.
  template <typename Work>
  auto OnAgent(size_t index, Work work) -> decltype(work(std::declval<CXSimAgent&>())) {
    CXSimAgent& agent = *agents.at(index);
    if (!running.load()) return work(agent);
    using Result = decltype(work(agent));
    std::packaged_task<Result()> task([&] { return work(agent); });
    std::future<Result> result = task.get_future();
    asio::post(ContextOf(index), [&task] { task(); });
    return result.get();
  }

  SXSimFleetConfig config;
  SXSimShared shared;
  std::vector<std::unique_ptr<asio::io_context>> contexts;
  std::vector<Guard> guards;
  std::vector<std::thread> threads;
  // After the contexts: agents (their sockets and timers) go first.
  std::vector<std::unique_ptr<CXSimAgent>> agents;
  std::atomic<bool> running{false};
  bool started = false;
};

CXSimulatedFleet::CXSimulatedFleet(SXSimFleetConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

CXSimulatedFleet::~CXSimulatedFleet() { Stop(); }

bool CXSimulatedFleet::Start(std::string* error) {
  Impl& m = *impl_;
  if (m.started) {
    *error = "the fleet has been started before";
    return false;
  }
  const SXSimFleetConfig& c = m.config;
  if (c.snapshot == nullptr) {
    *error = "no snapshot file to serve";
    return false;
  }
  boost::system::error_code resolved;
  tcp::resolver resolver(*m.contexts[0]);
  // IPv4, as the service connects.
  const tcp::resolver::results_type found = resolver.resolve(tcp::v4(), c.host, std::to_string(c.port), resolved);
  if (resolved || found.empty()) {
    *error = "cannot resolve the console's address " + c.host + (resolved ? ": " + resolved.message() : "");
    return false;
  }
  SXSimShared& shared = m.shared;
  shared.endpoint = found.begin()->endpoint();
  shared.endpoints = {shared.endpoint};
  for (const auto& [host, port] : c.more_servers) {
    const tcp::resolver::results_type more = resolver.resolve(tcp::v4(), host, std::to_string(port), resolved);
    if (resolved || more.empty()) {
      *error = "cannot resolve the console's address " + host + (resolved ? ": " + resolved.message() : "");
      return false;
    }
    shared.endpoints.push_back(more.begin()->endpoint());
  }
  shared.timing = c.timing;
  shared.on_event = c.on_event;
  const std::string clock_off_time = FinishTimeText(std::time(nullptr) + kClockOffSeconds);
  if (AnyAgent(c.agents, HostileMode::kClockOff)) {
    std::string shifted;
    std::string why;
    if (!ReplaceFinishTime(*c.snapshot, clock_off_time, &shifted, &why)) {
      *error = "clock-off agents need a snapshot whose finish time can be changed: " + why;
      return false;
    }
  }
  shared.snapshots = std::make_shared<CXSnapshotVariants>(c.snapshot, clock_off_time);
  // One block's worth of the snapshot, repeated (zeros for an empty file).
  std::string block(CXSimAgent::kBlockSize, '\0');
  if (!c.snapshot->empty()) {
    for (size_t i = 0; i < block.size(); ++i) block[i] = (*c.snapshot)[i % c.snapshot->size()];
  }
  shared.endless = std::make_shared<const std::string>(std::move(block));

  m.started = true;
  for (size_t i = 0; i < m.agents.size(); ++i) {
    const int64_t delay = c.ramp_per_second > 0 ? static_cast<int64_t>(static_cast<double>(i) * 1000.0 / c.ramp_per_second) : 0;
    CXSimAgent* agent = m.agents[i].get();
    asio::post(m.ContextOf(i), [agent, delay] { agent->Start(delay); });
  }
  for (auto& context : m.contexts) m.guards.emplace_back(asio::make_work_guard(*context));
  m.running.store(true);
  for (auto& context : m.contexts) {
    asio::io_context* io = context.get();
    m.threads.emplace_back([io] { io->run(); });
  }
  return true;
}

void CXSimulatedFleet::Stop() {
  Impl& m = *impl_;
  if (!m.running.load()) return;
  for (size_t t = 0; t < m.contexts.size(); ++t) {
    asio::io_context* io = m.contexts[t].get();
    asio::post(*io, [&m, t, io] {
      for (size_t i = t; i < m.agents.size(); i += m.contexts.size()) m.agents[i]->Shutdown();
      io->stop();
    });
  }
  for (std::thread& thread : m.threads) thread.join();
  m.threads.clear();
  m.guards.clear();
  m.running.store(false);
}

bool CXSimulatedFleet::running() const { return impl_->running.load(); }

size_t CXSimulatedFleet::size() const { return impl_->agents.size(); }

const SXSimAgentConfig& CXSimulatedFleet::agent_config(size_t index) const { return impl_->agents.at(index)->config(); }

SXSimCounters CXSimulatedFleet::Totals() const {
  SXSimCounters total;
  for (const auto& agent : impl_->agents) total += agent->counters().Copy();
  return total;
}

SXSimCounters CXSimulatedFleet::AgentCounters(size_t index) const { return impl_->agents.at(index)->counters().Copy(); }

SXSimAgentState CXSimulatedFleet::AgentState(size_t index) const {
  return impl_->OnAgent(index, [](CXSimAgent& agent) { return agent.State(); });
}

SnapshotBytes CXSimulatedFleet::Served(SnapshotVariant variant, int32_t number) const {
  const std::shared_ptr<CXSnapshotVariants>& snapshots = impl_->shared.snapshots;
  return snapshots != nullptr ? snapshots->Get(variant, number) : nullptr;
}

void CXSimulatedFleet::DropLink(size_t index) {
  impl_->OnAgent(index, [](CXSimAgent& agent) { agent.DropLink(); });
}

}  // namespace orvalinth::sim
