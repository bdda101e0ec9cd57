#include "server/server_command.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/strings.h"
#include "platform/open_files.h"

#include "platform/password_hash.h"
#include "server/catalog_open.h"
#include "server/fleet_events.h"
#include "server/fleet_server.h"
#include "server/http_server.h"
#include "server/web_api.h"
#include "server/web_auth.h"
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
    "usage: orvalinth server --config FILE [--log-to-stderr] [--counters-every SECONDS]\n"
    "       orvalinth server --config FILE --add-user NAME\n"
    "\n"
    "Runs the fleet server: listens for agents, scans machines on their\n"
    "schedules, stores and compares their snapshots (see README, \"Fleet\n"
    "server\"). SIGTERM or SIGINT stop it cleanly.\n"
    "\n"
    "  --counters-every SECONDS  a \"counters:\" line in the log this often\n"
    "                            (default 300; 0: only when it stops)\n"
    "  --add-user NAME           adds a user of the web console, or sets the\n"
    "                            password of the one of that name (read from\n"
    "                            standard input), then exits\n";

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// --add-user: the password from standard input, the user in the catalog.
int AddUser(CXCatalog& catalog, CXServerLog& log, const std::string& name) {
  std::string password;
  if (!platform::ReadPasswordLine("password for " + name + ": ", &password)) {
    std::fputs("orvalinth server: --add-user: no password on standard input\n", stderr);
    return 2;
  }
  bool created = false;
  std::string error;
  if (!AddOrResetUser(catalog, name, password, NowSeconds(), &created, &error)) {
    std::fprintf(stderr, "orvalinth server: --add-user %s: %s\n", name.c_str(), error.c_str());
    return 1;
  }
  const std::string what = created ? "web console: user " + name + " added"
                                   : "web console: the password of " + name + " is set (its sessions ended)";
  log.Write(LogLevel::kInfo, what);
  std::printf("%s\n", what.c_str());
  return 0;
}

// Files besides the agents' links: the log, the catalog and its journal,
// downloads being written, the event loop's own.
constexpr uint64_t kSpareFiles = 256;

// The server's counters as one log line of name=value pairs.
std::string CountersLine(const CXFleetServer& server) {
  const SXFleetCounters& c = server.counters();
  return Format("counters: links=%llu online=%llu accepted=%llu greeted=%llu refused=%llu violations=%llu "
                "stored=%llu stored_before=%llu downloads_failed=%llu bytes_stored=%llu compared=%llu "
                "compare_failed=%llu scans=%llu pings_of_closed_links=%llu",
                static_cast<unsigned long long>(c.links_open.load()),
                static_cast<unsigned long long>(server.agents_online()),
                static_cast<unsigned long long>(c.accepted.load()), static_cast<unsigned long long>(c.greeted.load()),
                static_cast<unsigned long long>(c.refused_links.load()),
                static_cast<unsigned long long>(c.violations.load()),
                static_cast<unsigned long long>(c.snapshots_stored.load()),
                static_cast<unsigned long long>(c.snapshots_again.load()),
                static_cast<unsigned long long>(c.downloads_failed.load()),
                static_cast<unsigned long long>(c.bytes_stored.load()),
                static_cast<unsigned long long>(c.comparisons_done.load()),
                static_cast<unsigned long long>(c.comparisons_failed.load()),
                static_cast<unsigned long long>(c.scans_started.load()),
                static_cast<unsigned long long>(c.pings.load()));
}

}  // namespace

int RunServerCommand(const std::vector<std::string>& arguments) {
  std::string config_path;
  std::string add_user;
  bool echo = false;
  double counters_every = 300;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--config" && i + 1 < arguments.size()) {
      config_path = arguments[++i];
    } else if (arguments[i] == "--counters-every" && i + 1 < arguments.size()) {
      char* end = nullptr;
      const std::string& text = arguments[++i];
      counters_every = std::strtod(text.c_str(), &end);
      if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(counters_every) || counters_every < 0) {
        std::fprintf(stderr, "orvalinth server: --counters-every: '%s' is not a number of seconds\n%s", text.c_str(),
                     kServerUsage);
        return 2;
      }
    } else if (arguments[i] == "--add-user" && i + 1 < arguments.size()) {
      add_user = arguments[++i];
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
  std::unique_ptr<CXCatalog> catalog = OpenCatalog(config.catalog_path, &error);
  if (catalog == nullptr) {
    const std::string name = CatalogDisplayName(config.catalog_path);
    log.Write(LogLevel::kError, "cannot open the catalog " + name + ": " + error);
    std::fprintf(stderr, "orvalinth server: cannot open the catalog %s: %s\n", name.c_str(), error.c_str());
    return 1;
  }
  if (!add_user.empty()) return AddUser(*catalog, log, add_user);
  // A link per agent: thousands of open files, beyond the usual soft limit.
  uint64_t limit = 0;
  const uint64_t wanted = static_cast<uint64_t>(config.max_links) + kSpareFiles;
  if (!platform::RaiseOpenFileLimit(wanted, &limit)) {
    log.Write(LogLevel::kWarning, Format("at most %llu files may be open, and max-links %d needs about %llu: links "
                                         "beyond that are refused (raise the hard limit, LimitNOFILE=)",
                                         static_cast<unsigned long long>(limit), config.max_links,
                                         static_cast<unsigned long long>(wanted)));
  }
  CXSnapshotStore store(tools::Utf8ToUtf16(config.data_folder));
  // What happens in the fleet, for the web console's live updates; it
  // outlives the server, whose comparison workers publish until it is gone.
  CXFleetEvents events;
  CXFleetServer server(config, *catalog, store, log);
  server.set_events(&events);
  log.Write(LogLevel::kInfo, "starting (configuration " + config_path + ", data " + config.data_folder + ")");
  if (!server.Start(&error)) {
    log.Write(LogLevel::kError, "cannot start: " + error);
    std::fprintf(stderr, "orvalinth server: %s\n", error.c_str());
    return 1;
  }
  // The web console, on threads of its own, asking the agents through the fleet server.
  SXApiContext api;
  api.catalog = catalog.get();
  api.store = &store;
  api.actions = &server;
  api.events = &events;
  api.data_folder = config.data_folder;
  api.now = NowSeconds;
  std::unique_ptr<CXWebServer> web;
  if (config.web_enabled) {
    std::string password;
    if (!CreateFirstUser(*catalog, NowSeconds(), &password, &error)) {
      log.Write(LogLevel::kError, "web console: cannot make the first user: " + error);
    } else if (!password.empty()) {
      const std::string words = "web console: first start, so there is one user: admin, password " + password +
                                " (shown only now: sign in and change it)";
      log.Write(LogLevel::kWarning, words);
      std::printf("%s\n", words.c_str());
      std::fflush(stdout);
    }
    SXWebServerOptions options;
    options.address = config.web_address;
    options.port = config.web_port;
    options.tls_cert = config.tls_cert;
    options.tls_key = config.tls_key;
    options.catalog = catalog.get();
    options.actions = &server;
    options.events = &events;
    options.log = &log;
    options.routes = FleetApiRoutes(api);
    options.now = NowSeconds;
    web = std::make_unique<CXWebServer>(std::move(options));
    if (!web->Start(&error)) {
      log.Write(LogLevel::kError, error);
      std::fprintf(stderr, "orvalinth server: %s\n", error.c_str());
      server.Stop();
      return 1;
    }
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
  // The counters now and then, from a thread of their own (they are atomics).
  std::mutex counters_lock;
  std::condition_variable counters_wake;
  bool counters_done = false;
  std::thread counters_thread;
  if (counters_every > 0) {
    counters_thread = std::thread([&] {
      const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(counters_every));
      auto next = std::chrono::steady_clock::now() + period;
      std::unique_lock<std::mutex> lock(counters_lock);
      while (!counters_wake.wait_until(lock, next, [&] { return counters_done; })) {
        log.Write(LogLevel::kInfo, CountersLine(server));
        next += period;
      }
    });
  }
  server.Run();
  if (web != nullptr) web->Stop();
  if (counters_thread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(counters_lock);
      counters_done = true;
    }
    counters_wake.notify_all();
    counters_thread.join();
  }
  signals_loop.stop();
  signal_thread.join();
  (void)catalog->SetAllOffline();
  log.Write(LogLevel::kInfo, CountersLine(server));
  log.Write(LogLevel::kInfo, "stopped");
  return 0;
}

}  // namespace orvalinth::server
