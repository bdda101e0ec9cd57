// The web console end to end: the real fleet server (orvalinth server of the
// host build) with its pages and API, the real service under Wine and a few
// simulated agents linked to it, and the pages driven in a headless Chromium
// by tests/web/console_test.mjs: sign-in, the lists, a comparison showing
// the change this test made between two scans of the service, a scan that
// appears live, the page's policy, and a rollout of the next version to the
// service until it reports version 7. The screenshots of every page go to
// the build folder (web-console-shots/).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "host_process.h"
#include "installed_program.h"
#include "service_link.h"

namespace orvalinth::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 60000;
constexpr char kUser[] = "tester";
constexpr char kPassword[] = "a long pass phrase for the console";

// A process of the test's, ended by SIGTERM (SIGKILL when it does not end).
void Stop(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  int code = 0;
  if (!WaitForExit(*pid, 20000, &code)) {
    kill(*pid, SIGKILL);
    WaitForExit(*pid, 5000, &code);
  }
  *pid = -1;
}

// The fleet server with its web console on a loopback port of its choosing,
// no schedule: every scan is asked for (by this test or on a page), with
// the profile "default".
class WebConsoleServer {
 public:
  explicit WebConsoleServer(const std::string& folder) : folder_(folder) {
    fs::remove_all(folder_);
    fs::create_directories(folder_ + "/data");
    WriteWholeFile(config(), std::string("[server]\nlisten = 127.0.0.1:0\nweb-listen = 127.0.0.1:0\ndata = ") + folder_ +
                                 "/data\ngreeting-timeout = 60\n\n"
                                 "[profile default]\nfile = C:\\e2e\\web\nreg = HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvalinthWeb\n"
                                 "name = web\n");
  }
  ~WebConsoleServer() {
    Stop(&pid_);
    if (!::testing::Test::HasFailure()) fs::remove_all(folder_);
  }
  // The password through standard input, as a person types it.
  int AddUser(const std::string& name, const std::string& password) {
    WriteWholeFile(folder_ + "/password.txt", password + "\n");
    return RunCommand({{"/bin/sh", "-c", "exec \"$0\" server --config \"$1\" --add-user \"$2\" < \"$3\"", ORVALINTH_TOOL_EXE,
                        config(), name, folder_ + "/password.txt"},
                       {}, {}, "", folder_ + "/add-user.txt"});
  }
  void Start() {
    pid_ = StartCommand({{ORVALINTH_TOOL_EXE, "server", "--config", config()}, {}, {}, "", folder_ + "/stdout.txt"});
  }
  std::string folder() const { return folder_; }
  std::string config() const { return folder_ + "/server.conf"; }
  std::string log() const { return ReadWholeFile(folder_ + "/data/server.log"); }
  std::string data() const { return folder_ + "/data"; }
  // The first match's group 1 in the log within 20 s, "" when none came.
  std::string WaitInLog(const std::string& pattern) {
    const std::regex re(pattern);
    for (const long long end = NowMs() + 20000; NowMs() < end; SleepMs(50)) {
      std::smatch m;
      const std::string text = log();
      if (std::regex_search(text, m, re)) return m[1];
    }
    return std::string();
  }
  std::string Fleet(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {ORVALINTH_TOOL_EXE, "fleet", "--config", config(), "--json"};
    argv.insert(argv.end(), words.begin(), words.end());
    const std::string out = folder_ + "/fleet.txt";
    RunCommand({argv, {}, {}, "", out});
    return ReadWholeFile(out);
  }
  bool WaitForFleet(const std::vector<std::string>& words, const std::string& needle, int timeout_ms = kWaitMs) {
    for (const long long end = NowMs() + timeout_ms; NowMs() < end; SleepMs(200)) {
      if (Fleet(words).find(needle) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
};

TEST(WineWebConsole, EveryPageWorksInABrowserAgainstTheServiceAndSimulatedAgents) {
  const std::string next = NextWindowsExecutable();
  ASSERT_TRUE(fs::exists(next)) << "the next version is not built: " << next;
  ServiceLink service("web");
  ASSERT_TRUE(service.ok()) << service.error();
  WebConsoleServer server(std::string(ORVALINTH_E2E_WORK) + "/web-console-" + std::to_string(getpid()));
  ASSERT_EQ(server.AddUser(kUser, kPassword), 0) << ReadWholeFile(server.folder() + "/add-user.txt");
  server.Start();
  const std::string agent_port = server.WaitInLog("listening on [0-9.]+:([0-9]+)");
  const std::string web_url = server.WaitInLog("web console at (http://[0-9.]+:[0-9]+/)");
  ASSERT_FALSE(agent_port.empty()) << server.log();
  ASSERT_FALSE(web_url.empty()) << server.log();

  // What the scans cover, before and after.
  WinePrefix& prefix = service.prefix();
  const std::string tree = prefix.HostPath("C:\\e2e\\web\\");
  fs::create_directories(tree);
  ASSERT_TRUE(WriteWholeFile(tree + "kept.txt", "the same in both"));
  ASSERT_TRUE(WriteWholeFile(tree + "console-changed.txt", "before"));
  auto set_value = [&](const std::string& value) {
    return prefix.Wine({"reg", "add", "HKLM\\SOFTWARE\\OrvalinthWeb", "/v", "Setting", "/t", "REG_SZ", "/d", value, "/f"})
        .exit_code;
  };
  ASSERT_EQ(set_value("before"), 0);

  service.WriteSettings("127.0.0.1", static_cast<uint16_t>(std::stoi(agent_port)));
  ASSERT_TRUE(service.Start()) << Joined(LogLines(service.LogPath()));
  ASSERT_TRUE(server.WaitForFleet({"machines"}, "\"online\":true")) << server.log();
  std::smatch m;
  const std::string machines = server.Fleet({"machines"});
  ASSERT_TRUE(std::regex_search(machines, m, std::regex("\"id\":1,\"name\":\"([^\"]+)\""))) << machines;
  const std::string wine_name = m[1];

  ASSERT_EQ(server.Fleet({"scan-now", "1", "--profile", "default"}).find("error"), std::string::npos);
  ASSERT_TRUE(server.WaitForFleet({"snapshots", "1"}, "\"number\":1,")) << server.log();
  ASSERT_TRUE(WriteWholeFile(tree + "console-changed.txt", "after, and longer"));
  ASSERT_EQ(set_value("after"), 0);
  server.Fleet({"scan-now", "1", "--profile", "default"});
  ASSERT_TRUE(server.WaitForFleet({"changes", "1"}, "console-changed.txt")) << server.log();

  // Two simulated agents beside it, serving the service's own first snapshot.
  pid_t sims = StartCommand({{ORVALINTH_TOOL_EXE, "agent-sim", "--server", "127.0.0.1:" + agent_port, "--agents", "2",
                              "--snapshot", server.data() + "/machines/1/snapshot001.snp", "--scan-seconds", "1",
                              "--name-prefix", "WEBSIM-", "--report-every", "0"},
                             {}, {}, "", server.folder() + "/sims.txt"});
  struct SimStopper {
    pid_t& pid;
    ~SimStopper() { Stop(&pid); }
  } sim_stopper{sims};
  ASSERT_TRUE(server.WaitForFleet({"machines"}, "\"name\":\"WEBSIM-00002\"")) << server.log();

  const std::string shots = std::string(ORVALINTH_E2E_WORK) + "/web-console-shots";
  fs::remove_all(shots);
  const std::string output = server.folder() + "/browser.txt";
  const int code = RunCommand({{"timeout", "150", "node", ORVALINTH_WEB_TESTS "/console_test.mjs", "--url", web_url,
                                "--user", kUser, "--password", kPassword, "--shots", shots,
                                "--machines", wine_name + ",WEBSIM-00001,WEBSIM-00002", "--wine", wine_name,
                                "--expect", "console-changed.txt", "--scan", "WEBSIM-00001",
                                "--group", "web-wine", "--rollout", next, "--rollout-version", "7",
                                "--other-port", agent_port},
                               {}, {}, "", output});
  const std::string said = ReadWholeFile(output);
  EXPECT_EQ(code, 0) << said << "\n" << server.log() << Joined(LogLines(service.LogPath()));
  EXPECT_NE(said.find("console test passed"), std::string::npos) << said;
  for (const char* page : {"signin", "overview", "machines", "machine", "comparison", "search", "schedules", "rollouts",
                           "health"}) {
    EXPECT_TRUE(fs::exists(shots + "/" + page + ".png")) << page;
  }
}

}  // namespace
}  // namespace orvalinth::e2e
