#include "server/sim/agent_sim_command.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/strings.h"
#include "platform/open_files.h"

namespace orvalinth::sim {
namespace {

constexpr int32_t kMaxAgents = 1000000;
constexpr int kMaxThreads = 64;
constexpr int32_t kMaxSaved = 100000;
// A computer name has at most 15 characters: the prefix and five digits.
constexpr size_t kMaxPrefix = 10;
// Files besides the agents' links: the standard ones, the snapshot, the
// event loop's own.
constexpr uint64_t kSpareFiles = 64;

bool ParseInt(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == nullptr || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseNumber(const std::string& text, double low, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(v) || v < low) return false;
  *value = v;
  return true;
}

int64_t Milliseconds(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1000.0)); }

}  // namespace

std::string AgentSimUsage() {
  return "usage: orvalinth agent-sim --server HOST:PORT --agents N --snapshot FILE [OPTIONS]\n"
         "\n"
         "Simulated agents in one process, each speaking the agent's side of the link as\n"
         "the service does: greeting, \"info\", pings, scans answered with \"scan-done\",\n"
         "downloads served from FILE, reconnects after a drop.\n"
         "\n"
         "  --server HOST:PORT      the console or server to connect to; several, comma-separated:\n"
         "                          the nodes of one fleet (each agent starts at one and moves to\n"
         "                          the next when it cannot connect)\n"
         "  --agents N              how many agents (1 to 1000000)\n"
         "  --snapshot FILE         the snapshot file every agent serves, read once\n"
         "  --ramp PER_SECOND       first connects per second (default: all at once)\n"
         "  --hostile MODE          the first agents misbehave on purpose (modes below)\n"
         "  --hostile-agents K      how many of them (default 1)\n"
         "  --hostile-times T       how often each misbehaves before it behaves (default 0: always)\n"
         "  --claim-id ID           the id same-id agents claim (default 1)\n"
         "  --saved K               snapshots each agent holds at the start (default 0)\n"
         "  --scan-seconds S        how long a scan takes (default 5)\n"
         "  --ping-seconds S        a ping after this long without a command (default 10)\n"
         "  --reconnect-seconds S   the wait before connecting again (default 5)\n"
         "  --name-prefix P         computer names are P and a 5-digit number (default SIM-)\n"
         "  --first-number N        the number of the first name (default 1)\n"
         "  --threads T             event-loop threads (default 1)\n"
         "  --duration S            run this long, then stop (default: until interrupted)\n"
         "  --report-every S        a counter line this often (default 10; 0: only the last)\n"
         "  --json                  counter lines as JSON objects\n"
         "  --verbose               tell what happens to single agents (standard error)\n"
         "\n"
         "hostile modes:\n" +
         HostileModesHelp() +
         "\n"
         "Counter lines go to standard output, the last one when the run ends (after\n"
         "--duration, or on SIGINT or SIGTERM). Exit code 0; 1 when the agents could not\n"
         "start; 2 for a usage error.\n";
}

bool ParseAgentSimOptions(const std::vector<std::string>& arguments, SXAgentSimOptions* o, std::string* error) {
  bool have_server = false;
  bool have_agents = false;
  bool have_hostile_agents = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    std::string value;
    bool inline_value = false;
    const size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      inline_value = true;
    }
    if (name == "--help" || name == "-h") {
      o->help = true;
      return true;
    }
    if (name == "--json" || name == "--verbose") {
      if (inline_value) {
        *error = name + " takes no value";
        return false;
      }
      (name == "--json" ? o->json : o->verbose) = true;
      continue;
    }
    if (name.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + name + "'";
      return false;
    }
    if (!inline_value) {
      if (i + 1 >= arguments.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = arguments[++i];
    }
    int64_t n = 0;
    double x = 0;
    const auto bad = [&](const char* what) {
      *error = Format("%s: '%s' is not %s", name.c_str(), value.c_str(), what);
      return false;
    };
    if (name == "--server") {
      o->more_servers.clear();
      for (size_t at = 0; at <= value.size();) {
        size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        const std::string one = value.substr(at, end - at);
        const size_t colon = one.rfind(':');
        if (colon == std::string::npos || colon == 0 || !ParseInt(one.substr(colon + 1), 1, 65535, &n)) {
          return bad("HOST:PORT (or several, comma-separated) with a port from 1 to 65535");
        }
        if (at == 0) {
          o->host = one.substr(0, colon);
          o->port = static_cast<uint16_t>(n);
        } else {
          o->more_servers.emplace_back(one.substr(0, colon), static_cast<uint16_t>(n));
        }
        at = end + 1;
      }
      have_server = true;
    } else if (name == "--agents") {
      if (!ParseInt(value, 1, kMaxAgents, &n)) return bad("a number of agents from 1 to 1000000");
      o->plan.agents = static_cast<int32_t>(n);
      have_agents = true;
    } else if (name == "--snapshot") {
      if (value.empty()) return bad("a file");
      o->snapshot_path = value;
    } else if (name == "--ramp") {
      if (!ParseNumber(value, 0, &x) || x <= 0) return bad("a number of connects per second above 0");
      o->ramp_per_second = x;
    } else if (name == "--hostile") {
      if (!ParseHostileMode(value, &o->plan.hostile)) {
        *error = "--hostile: unknown mode '" + value + "'; the modes:\n" + HostileModesHelp();
        return false;
      }
    } else if (name == "--hostile-agents") {
      if (!ParseInt(value, 0, kMaxAgents, &n)) return bad("a number of agents");
      o->plan.hostile_agents = static_cast<int32_t>(n);
      have_hostile_agents = true;
    } else if (name == "--hostile-times") {
      if (!ParseInt(value, 0, INT32_MAX, &n)) return bad("a count (0: always)");
      o->plan.hostile_times = static_cast<int32_t>(n);
    } else if (name == "--claim-id") {
      if (!ParseInt(value, 1, INT32_MAX, &n)) return bad("a computer id from 1 on");
      o->plan.claimed_id = static_cast<int32_t>(n);
    } else if (name == "--saved") {
      if (!ParseInt(value, 0, kMaxSaved, &n)) return bad("a number of snapshots from 0 to 100000");
      o->plan.saved = static_cast<int32_t>(n);
    } else if (name == "--scan-seconds" || name == "--reconnect-seconds") {
      if (!ParseNumber(value, 0, &x)) return bad("a number of seconds");
      (name == "--scan-seconds" ? o->timing.scan_ms : o->timing.reconnect_ms) = Milliseconds(x);
    } else if (name == "--ping-seconds") {
      if (!ParseNumber(value, 0, &x) || Milliseconds(x) <= 0) return bad("a number of seconds above 0");
      o->timing.ping_idle_ms = Milliseconds(x);
    } else if (name == "--name-prefix") {
      if (value.size() > kMaxPrefix || value.find('\xFE') != std::string::npos) {
        return bad("a prefix of at most 10 characters");
      }
      o->plan.name_prefix = value;
    } else if (name == "--first-number") {
      if (!ParseInt(value, 0, 99999, &n)) return bad("a number from 0 to 99999");
      o->plan.first_number = static_cast<int32_t>(n);
    } else if (name == "--threads") {
      if (!ParseInt(value, 1, kMaxThreads, &n)) return bad("a number of threads from 1 to 64");
      o->threads = static_cast<int>(n);
    } else if (name == "--duration") {
      if (!ParseNumber(value, 0, &x)) return bad("a number of seconds");
      o->duration_seconds = x;
    } else if (name == "--report-every") {
      if (!ParseNumber(value, 0, &x)) return bad("a number of seconds");
      o->report_every_seconds = x;
    } else {
      *error = "unknown option '" + name + "'";
      return false;
    }
  }
  if (!have_server) {
    *error = "--server HOST:PORT is missing";
    return false;
  }
  if (!have_agents) {
    *error = "--agents N is missing";
    return false;
  }
  if (o->snapshot_path.empty()) {
    *error = "--snapshot FILE is missing";
    return false;
  }
  if (have_hostile_agents && o->plan.hostile == HostileMode::kNone) {
    *error = "--hostile-agents needs --hostile MODE";
    return false;
  }
  if (o->plan.hostile != HostileMode::kNone && !have_hostile_agents) o->plan.hostile_agents = 1;
  if (o->plan.hostile_agents > o->plan.agents) {
    *error = Format("--hostile-agents %d is more than the %d agents", static_cast<int>(o->plan.hostile_agents),
                    static_cast<int>(o->plan.agents));
    return false;
  }
  if (o->plan.first_number + o->plan.agents - 1 > 99999) {
    *error = "the agents' names would need more than 5 digits: lower --agents or --first-number";
    return false;
  }
  return true;
}

std::string CounterLine(double seconds, const SXSimCounters& totals, bool json, bool final_line) {
  if (json) {
    return Format("{\"t\":%.1f,\"final\":%s,", seconds, final_line ? "true" : "false") + CountersJsonMembers(totals) +
           "}";
  }
  return Format("t=%.1f%s ", seconds, final_line ? " final" : "") + CountersText(totals);
}

int RunAgentSimCommand(const std::vector<std::string>& arguments) {
  SXAgentSimOptions options;
  std::string error;
  if (!ParseAgentSimOptions(arguments, &options, &error)) {
    std::fprintf(stderr, "orvalinth agent-sim: %s\n\n%s", error.c_str(), AgentSimUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(AgentSimUsage().c_str(), stdout);
    return 0;
  }
  SnapshotBytes snapshot = LoadSnapshotFile(options.snapshot_path, &error);
  if (snapshot == nullptr) {
    std::fprintf(stderr, "orvalinth agent-sim: %s\n", error.c_str());
    return 1;
  }
  uint64_t limit = 0;
  const uint64_t wanted = static_cast<uint64_t>(options.plan.agents) + kSpareFiles;
  if (!platform::RaiseOpenFileLimit(wanted, &limit)) {
    std::fprintf(stderr,
                 "orvalinth agent-sim: warning: at most %llu files may be open, and %d agents need about %llu: "
                 "agents beyond that cannot connect (raise the hard limit, ulimit -Hn)\n",
                 static_cast<unsigned long long>(limit), static_cast<int>(options.plan.agents),
                 static_cast<unsigned long long>(wanted));
  }

  std::mutex tell_lock;
  SXSimFleetConfig config;
  config.host = options.host;
  config.port = options.port;
  config.more_servers = options.more_servers;
  config.snapshot = snapshot;
  config.agents = PlanAgents(options.plan);
  config.ramp_per_second = options.ramp_per_second;
  config.threads = options.threads;
  config.timing = options.timing;
  if (options.verbose) {
    config.on_event = [&tell_lock](const std::string& line) {
      std::lock_guard<std::mutex> lock(tell_lock);
      std::fprintf(stderr, "%s\n", line.c_str());
    };
  }
  // Taken before the agents start: an interrupt from then on ends the run
  // with its last line.
  boost::asio::io_context control;
  boost::asio::signal_set signals(control, SIGINT, SIGTERM);
  bool interrupted = false;
  signals.async_wait([&interrupted](const boost::system::error_code& e, int) {
    if (!e) interrupted = true;
  });
  CXSimulatedFleet fleet(std::move(config));
  if (!fleet.Start(&error)) {
    std::fprintf(stderr, "orvalinth agent-sim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "orvalinth agent-sim: %d agents to %s:%u, snapshot %s (%llu bytes)",
               static_cast<int>(options.plan.agents), options.host.c_str(), static_cast<unsigned>(options.port),
               options.snapshot_path.c_str(), static_cast<unsigned long long>(snapshot->size()));
  if (options.plan.hostile != HostileMode::kNone) {
    std::fprintf(stderr, ", %d of them %s", static_cast<int>(options.plan.hostile_agents),
                 HostileModeName(options.plan.hostile));
  }
  std::fputs("\n", stderr);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const auto after = [start](double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const bool timed = options.duration_seconds > 0;
  const Clock::time_point end = timed ? after(options.duration_seconds) : Clock::time_point::max();
  const bool reporting = options.report_every_seconds > 0;
  int reports = 0;
  Clock::time_point next = reporting ? after(options.report_every_seconds) : Clock::time_point::max();
  const auto seconds = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  while (!interrupted) {
    const Clock::time_point now = Clock::now();
    if (now >= end) break;
    if (now >= next) {
      std::printf("%s\n", CounterLine(seconds(), fleet.Totals(), options.json, false).c_str());
      std::fflush(stdout);
      next = after(options.report_every_seconds * (++reports + 1));
      continue;
    }
    // Wakes for a signal, the next line or the end, and at least twice a
    // second.
    const Clock::time_point wake = std::min({next, end, now + std::chrono::milliseconds(500)});
    control.run_one_until(wake);
  }
  fleet.Stop();
  std::printf("%s\n", CounterLine(seconds(), fleet.Totals(), options.json, true).c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace orvalinth::sim
