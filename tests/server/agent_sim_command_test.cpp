// "orvalinth agent-sim": its options, its usage errors and its counter lines,
// and a short run against the console's link.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "server/sim/agent_sim_command.h"
#include "server/sim_test_support.h"
#include "tools/console_link.h"

namespace orvalinth::sim {
namespace {

std::vector<std::string> Args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(AgentSimCommand, ReadsEveryOption) {
  SXAgentSimOptions o;
  std::string error;
  ASSERT_TRUE(ParseAgentSimOptions(
      Args({"--server", "10.0.0.5:51001,10.0.0.6:51002", "--agents=250", "--snapshot", "demo.snp", "--ramp", "500", "--hostile",
            "vanish-download", "--hostile-agents", "3", "--hostile-times", "2", "--claim-id", "9", "--saved", "1",
            "--scan-seconds", "1.5", "--ping-seconds", "2", "--reconnect-seconds", "0.25", "--name-prefix", "LAB-",
            "--first-number", "100", "--threads", "2", "--duration", "60", "--report-every", "0", "--json",
            "--verbose"}),
      &o, &error))
      << error;
  EXPECT_EQ(o.host, "10.0.0.5");
  EXPECT_EQ(o.port, 51001);
  ASSERT_EQ(o.more_servers.size(), 1u);
  EXPECT_EQ(o.more_servers[0].first, "10.0.0.6");
  EXPECT_EQ(o.more_servers[0].second, 51002);
  EXPECT_EQ(o.plan.agents, 250);
  EXPECT_EQ(o.snapshot_path, "demo.snp");
  EXPECT_EQ(o.ramp_per_second, 500);
  EXPECT_EQ(o.plan.hostile, HostileMode::kVanishDownload);
  EXPECT_EQ(o.plan.hostile_agents, 3);
  EXPECT_EQ(o.plan.hostile_times, 2);
  EXPECT_EQ(o.plan.claimed_id, 9);
  EXPECT_EQ(o.plan.saved, 1);
  EXPECT_EQ(o.timing.scan_ms, 1500);
  EXPECT_EQ(o.timing.ping_idle_ms, 2000);
  EXPECT_EQ(o.timing.reconnect_ms, 250);
  EXPECT_EQ(o.plan.name_prefix, "LAB-");
  EXPECT_EQ(o.plan.first_number, 100);
  EXPECT_EQ(o.threads, 2);
  EXPECT_EQ(o.duration_seconds, 60);
  EXPECT_EQ(o.report_every_seconds, 0);
  EXPECT_TRUE(o.json);
  EXPECT_TRUE(o.verbose);
}

TEST(AgentSimCommand, DefaultsAreTheServicesRhythm) {
  SXAgentSimOptions o;
  std::string error;
  ASSERT_TRUE(ParseAgentSimOptions(Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--hostile",
                                         "silent"}),
                                   &o, &error))
      << error;
  EXPECT_EQ(o.plan.hostile_agents, 1);
  EXPECT_EQ(o.timing.ping_idle_ms, 10000);
  EXPECT_EQ(o.timing.reconnect_ms, 5000);
  EXPECT_EQ(o.report_every_seconds, 10);
  EXPECT_EQ(o.duration_seconds, 0);
}

TEST(AgentSimCommand, UsageErrorsSayWhatIsWrong) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {Args({"--agents", "1", "--snapshot", "f"}), "--server HOST:PORT is missing"},
      {Args({"--server", "h:1", "--snapshot", "f"}), "--agents N is missing"},
      {Args({"--server", "h:1", "--agents", "1"}), "--snapshot FILE is missing"},
      {Args({"--server", "h", "--agents", "1", "--snapshot", "f"}),
       "--server: 'h' is not HOST:PORT (or several, comma-separated) with a port from 1 to 65535"},
      {Args({"--server", "h:1,h", "--agents", "1", "--snapshot", "f"}),
       "--server: 'h:1,h' is not HOST:PORT (or several, comma-separated) with a port from 1 to 65535"},
      {Args({"--server", "h:70000", "--agents", "1", "--snapshot", "f"}),
       "--server: 'h:70000' is not HOST:PORT (or several, comma-separated) with a port from 1 to 65535"},
      {Args({"--server", "h:1", "--agents", "0", "--snapshot", "f"}),
       "--agents: '0' is not a number of agents from 1 to 1000000"},
      {Args({"--server", "h:1", "--agents", "12x", "--snapshot", "f"}),
       "--agents: '12x' is not a number of agents from 1 to 1000000"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--ramp", "0"}),
       "--ramp: '0' is not a number of connects per second above 0"},
      {Args({"--server", "h:1", "--agents", "2", "--snapshot", "f", "--hostile-agents", "1"}),
       "--hostile-agents needs --hostile MODE"},
      {Args({"--server", "h:1", "--agents", "2", "--snapshot", "f", "--hostile", "silent", "--hostile-agents", "3"}),
       "--hostile-agents 3 is more than the 2 agents"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--threads", "65"}),
       "--threads: '65' is not a number of threads from 1 to 64"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--name-prefix", "ELEVENCHARS"}),
       "--name-prefix: 'ELEVENCHARS' is not a prefix of at most 10 characters"},
      {Args({"--server", "h:1", "--agents", "100", "--snapshot", "f", "--first-number", "99950"}),
       "the agents' names would need more than 5 digits: lower --agents or --first-number"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--duration"}), "--duration needs a value"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--json=1"}), "--json takes no value"},
      {Args({"--server", "h:1", "--agents", "1", "--snapshot", "f", "--frobnicate", "1"}),
       "unknown option '--frobnicate'"},
      {Args({"extra"}), "unexpected argument 'extra'"},
  };
  for (const auto& c : cases) {
    SXAgentSimOptions o;
    std::string error;
    EXPECT_FALSE(ParseAgentSimOptions(c.args, &o, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
  SXAgentSimOptions o;
  std::string error;
  EXPECT_FALSE(ParseAgentSimOptions(Args({"--hostile", "nasty"}), &o, &error));
  EXPECT_EQ(error.rfind("--hostile: unknown mode 'nasty'; the modes:\n", 0), 0u) << error;
  EXPECT_NE(error.find("vanish-download"), std::string::npos);
  EXPECT_EQ(RunAgentSimCommand(Args({"--agents", "1"})), 2);
}

TEST(AgentSimCommand, CounterLinesForPeopleAndForScripts) {
  SXSimCounters c;
  c[kGreeted] = 7;
  c[kBytesServed] = 1234567;
  const std::string text = CounterLine(12.34, c, /*json=*/false, /*final_line=*/false);
  EXPECT_EQ(text.rfind("t=12.3 connects=0 connect_failures=0 links=0 reconnects=0 greeted=7 ", 0), 0u) << text;
  EXPECT_NE(text.find(" bytes_served=1234567 "), std::string::npos);
  EXPECT_EQ(CounterLine(1, c, false, true).rfind("t=1.0 final connects=0", 0), 0u);
  const std::string json = CounterLine(2, c, /*json=*/true, /*final_line=*/true);
  EXPECT_EQ(json.rfind("{\"t\":2.0,\"final\":true,\"connects\":0,", 0), 0u) << json;
  EXPECT_NE(json.find("\"greeted\":7,"), std::string::npos);
  EXPECT_EQ(json.back(), '}');
  for (size_t i = 0; i < kCounterCount; ++i) {
    EXPECT_NE(json.find(std::string("\"") + CounterName(static_cast<SimCounter>(i)) + "\":"), std::string::npos);
  }
}

TEST(AgentSimCommand, ARunGreetsTheConsoleAndEnds) {
  tools::CXConsoleLink console;
  ASSERT_TRUE(console.Listen("127.0.0.1", 0));
  const std::string path = ::testing::TempDir() + "agent_sim_command.snp";
  std::ofstream(path, std::ios::binary) << test::SampleBytes(5000);
  int result = -1;
  std::thread run([&] {
    result = RunAgentSimCommand(Args({"--server", ("127.0.0.1:" + std::to_string(console.port())).c_str(),
                                      "--agents", "2", "--snapshot", path.c_str(), "--duration", "30",
                                      "--report-every", "0"}));
  });
  // Both agents greet; the run then goes on to its end.
  std::set<std::string> names;
  while (names.size() < 2 && console.AcceptAgent(10000)) names.insert(console.info().name);
  EXPECT_EQ(names, (std::set<std::string>{"SIM-00001", "SIM-00002"}));
  console.Close();
  std::raise(SIGINT);
  run.join();
  EXPECT_EQ(result, 0);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace orvalinth::sim
