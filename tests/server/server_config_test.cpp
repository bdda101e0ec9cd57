// The fleet server's configuration file: what it takes, and the line and
// reason of what it refuses.

#include <gtest/gtest.h>

#include "server/server_config.h"

namespace orvalinth::server {
namespace {

TEST(ServerConfig, AFileWithEverySectionIsTakenWithItsDefaults) {
  SXServerConfig c;
  std::string error;
  ASSERT_TRUE(ParseServerConfig("# the fleet\n[server]\n  listen = 127.0.0.1:51001  \ndata = /srv/o/\nkeep-days = 9\n"
                                "node-name = fleet-2\nnode-heartbeat = 2s\n"
                                "[profile daily]\nfile = C:\\Windows\nfile = -C:\\Windows\\Temp\nreg = HKLM\\X\napp = *\n"
                                "versions = yes\n[schedule lab]\nprofile = daily\nevery = 2h\njitter = 30m\n"
                                "group = lab\nmachine = 7\n",
                                &c, &error))
      << error;
  EXPECT_EQ(c.listen_address, "127.0.0.1");
  EXPECT_EQ(c.listen_port, 51001);
  EXPECT_EQ(c.data_folder, "/srv/o");
  EXPECT_EQ(c.catalog_path, "/srv/o/catalog.db");
  EXPECT_EQ(c.log_path, "/srv/o/server.log");
  EXPECT_EQ(c.keep_snapshots, 30);
  EXPECT_EQ(c.keep_days, 9);
  EXPECT_EQ(c.node_name, "fleet-2");
  EXPECT_EQ(c.node_heartbeat_s, 2);
  EXPECT_TRUE(c.web_enabled);
  EXPECT_EQ(c.web_address, "127.0.0.1");
  EXPECT_EQ(c.web_port, 8080);
  ASSERT_EQ(c.profiles.size(), 1u);
  EXPECT_EQ(c.profiles[0].files, (std::vector<std::string>{"C:\\Windows", "-C:\\Windows\\Temp"}));
  EXPECT_TRUE(c.profiles[0].versions);
  ASSERT_EQ(c.schedules.size(), 1u);
  EXPECT_EQ(c.schedules[0].every_s, 7200);
  EXPECT_EQ(c.schedules[0].jitter_s, 1800);
  EXPECT_EQ(c.schedules[0].groups, std::vector<std::string>{"lab"});
  EXPECT_EQ(c.schedules[0].machines, std::vector<int32_t>{7});
}

TEST(ServerConfig, WhatIsWrongIsNamedWithItsLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"listen = 1.2.3.4:5\n", "line 1: \"listen\" before any section"},
      {"[server]\ndata = /d\nlisten = 1.2.3.4\n", "line 3: listen wants ADDRESS:PORT"},
      {"[server]\ndata = /d\nweb-listen = on\n", "line 3: web-listen wants ADDRESS:PORT or off"},
      {"[server]\ndata = /d\ndata = /e\n", "line 3: \"data\" is given twice"},
      {"[server]\ndata = /d\ncolour = blue\n", "line 3: unknown key \"colour\" in [server]"},
      {"[servers]\n", "line 1: unknown section [servers]"},
      {"[profile]\n", "line 1: [profile] needs a name"},
      {"[server]\ndata = /d\n[profile a]\n[profile a]\n", "line 4: a second profile named a"},
      {"[server]\ndata = /d\ncompare-workers = 65\n", "line 3: compare-workers wants 1 to 64"},
      {"[server]\ndata = /d\nidle-timeout = 2s\n", "line 3: idle-timeout wants 5 s to 24 h"},
      {"[server]\ndata = /d\nnode-heartbeat = 2m\n", "line 3: node-heartbeat wants 1 s to 1 min"},
      {"[server]\ndata = /d\nnode-name =\n", "line 3: node-name wants a name of 1 to 200 characters"},
      {"[server]\ndata = /d\nscan-timeout = 30s\n", "line 3: scan-timeout wants 1 min to 7 d"},
      {"[server]\ndata = /d\n[profile p]\nfull = maybe\n", "line 4: full wants 0 or 1"},
      {"[server]\ndata = /d\n[schedule s]\nprofile = p\nevery = 5s\n", "line 5: every wants a duration of 10 s or more"},
      {"[server]\ndata = /d\n[schedule s]\nmachine = 0\n", "line 4: machine wants a computer id"},
      {"[server]\ndata = /d\n[schedule s]\nprofile = none\n", "schedule s names no profile of this file"},
      {"[server]\nlisten = 0.0.0.0:1\n", "[server] needs \"data\""},
      {"[server]\ndata = /d\ntls-cert = /c\n", "tls-cert and tls-key go together"},
      {"[server]\ndata = /d\nno equals sign\n", "line 3: expected \"key = value\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SXServerConfig config;
    std::string error;
    EXPECT_FALSE(ParseServerConfig(c.text, &config, &error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST(ServerConfig, Durations) {
  const struct {
    const char* text;
    int64_t seconds;  // -1: refused
  } cases[] = {{"90", 90}, {"30s", 30}, {"15m", 900}, {"2h", 7200}, {"3d", 259200}, {"", -1}, {"h", -1},
               {"1.5h", -1}, {"-5m", -1}, {"10w", -1}, {"99999999999d", -1}};
  for (const auto& c : cases) {
    int64_t seconds = -1;
    const bool ok = ParseDuration(c.text, &seconds);
    EXPECT_EQ(ok ? seconds : -1, c.seconds) << c.text;
  }
}

}  // namespace
}  // namespace orvalinth::server
