#include "server/server_command.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "server/fleet_server.h"
#include "server/sqlite_catalog.h"
#include "tools/console_text.h"

namespace orvalinth::server {

bool LoadServerConfig(const std::string& path, SXServerConfig* config, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read the configuration " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (!ParseServerConfig(text.str(), config, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

namespace {

constexpr char kServerUsage[] =
    "usage: orvalinth server --config FILE [--log-to-stderr]\n"
    "\n"
    "Runs the fleet server: listens for agents, scans machines on their\n"
    "schedules, stores and compares their snapshots (see README, \"Fleet\n"
    "server\"). SIGTERM or SIGINT stop it cleanly.\n";

}  // namespace

int RunServerCommand(const std::vector<std::string>& arguments) {
  std::string config_path;
  bool echo = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--config" && i + 1 < arguments.size()) {
      config_path = arguments[++i];
    } else if (arguments[i] == "--log-to-stderr") {
      echo = true;
    } else if (arguments[i] == "--help" || arguments[i] == "-h") {
      std::fputs(kServerUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "orvalinth server: unknown argument '%s'\n%s", arguments[i].c_str(), kServerUsage);
      return 2;
    }
  }
  if (config_path.empty()) {
    std::fputs(kServerUsage, stderr);
    return 2;
  }
  SXServerConfig config;
  std::string error;
  if (!LoadServerConfig(config_path, &config, &error)) {
    std::fprintf(stderr, "orvalinth server: %s\n", error.c_str());
    return 2;
  }
  CXServerLog log;
  log.set_echo(echo);
  if (!log.Open(config.log_path, &error)) {
    std::fprintf(stderr, "orvalinth server: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<CXCatalog> catalog = OpenSqliteCatalog(config.catalog_path, &error);
  if (catalog == nullptr) {
    log.Write(LogLevel::kError, "cannot open the catalog " + config.catalog_path + ": " + error);
    std::fprintf(stderr, "orvalinth server: cannot open the catalog %s: %s\n", config.catalog_path.c_str(),
                 error.c_str());
    return 1;
  }
  CXSnapshotStore store(tools::Utf8ToUtf16(config.data_folder));
  CXFleetServer server(config, *catalog, store, log);
  log.Write(LogLevel::kInfo, "starting (configuration " + config_path + ", data " + config.data_folder + ")");
  if (!server.Start(&error)) {
    log.Write(LogLevel::kError, "cannot start: " + error);
    std::fprintf(stderr, "orvalinth server: %s\n", error.c_str());
    return 1;
  }
  // The signals on a loop of their own, so that a stop reaches the server
  // however busy its loop is.
  boost::asio::io_context signals_loop;
  boost::asio::signal_set signals(signals_loop, SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code& e, int number) {
    if (e) return;
    log.Write(LogLevel::kInfo, number == SIGTERM ? "SIGTERM: stopping" : "SIGINT: stopping");
    server.Stop();
  });
  std::thread signal_thread([&] { signals_loop.run(); });
  server.Run();
  signals_loop.stop();
  signal_thread.join();
  (void)catalog->SetAllOffline();
  log.Write(LogLevel::kInfo, "stopped");
  return 0;
}

}  // namespace orvalinth::server
