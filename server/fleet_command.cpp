// "orvalinth fleet": the fleet server's catalog for scripts and people.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "server/catalog.h"
#include "server/catalog_open.h"
#include "server/server_command.h"
#include "server/server_config.h"
#include "server/server_log.h"

namespace orvalinth::server {

namespace {

constexpr char kUsage[] =
    "usage: orvalinth fleet --config FILE COMMAND [ARGUMENTS] [--json]\n"
    "\n"
    "commands (MACHINE is a computer id or a computer name):\n"
    "  machines                         every machine: id, name, group, online, last seen\n"
    "  snapshots MACHINE                its snapshots, oldest first\n"
    "  scans MACHINE                    its last scans, newest first\n"
    "  changes MACHINE [--since WHEN]   what changed on it (default: the last 7 days)\n"
    "  gained KIND PATTERN [--since WHEN]\n"
    "                                   machines that gained an entry of KIND (files,\n"
    "                                   registry, apps) whose path matches PATTERN (* and ?)\n"
    "  scan-now MACHINE|--group G [--profile NAME]\n"
    "                                   ask for a scan at once (profile: the machine's schedule's)\n"
    "  stop-scan MACHINE                stop its scan\n"
    "  set-group MACHINE GROUP          put it in a group (\"\" for none)\n"
    "\n"
    "WHEN: a duration back from now (7d, 12h, 30m) or a date (2026-12-01, UTC).\n"
    "--json prints one JSON object per line.\n";

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

int64_t Now() { return platform::UnixMicros() / 1000000; }

// "7d", "12h" back from now, or "YYYY-MM-DD" (UTC); false when neither.
bool ParseWhen(const std::string& text, int64_t* time) {
  int64_t back = 0;
  if (ParseDuration(text, &back)) {
    *time = Now() - back;
    return true;
  }
  int y = 0, m = 0, d = 0;
  char rest = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &rest) != 3 || m < 1 || m > 12 || d < 1 || d > 31) {
    return false;
  }
  std::tm parts{};
  parts.tm_year = y - 1900;
  parts.tm_mon = m - 1;
  parts.tm_mday = d;
  *time = static_cast<int64_t>(timegm(&parts));
  return true;
}

struct Fleet {
  std::unique_ptr<CXCatalog> catalog;
  bool json = false;

  int Fail(const std::string& text) {
    std::fprintf(stderr, "orvalinth fleet: %s\n", text.c_str());
    return 1;
  }
  int Usage(const std::string& text) {
    std::fprintf(stderr, "orvalinth fleet: %s\n%s", text.c_str(), kUsage);
    return 2;
  }

  // A machine by id or by name; 0 with the error shown.
  int32_t Machine(const std::string& text, SXMachineRow* row) {
    char* end = nullptr;
    const long id = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && id > 0 && id <= INT32_MAX) {
      if (catalog->GetMachine(static_cast<int32_t>(id), row).ok()) return row->uid;
      Fail("no machine has the id " + text);
      return 0;
    }
    std::vector<SXMachineRow> rows;
    const SXCatalogStatus s = catalog->FindMachinesByName(text, &rows);
    if (!s) return Fail(s.message), 0;
    if (rows.empty()) return Fail("no machine is named " + text), 0;
    if (rows.size() > 1) {
      std::string ids;
      for (const SXMachineRow& r : rows) ids += (ids.empty() ? "" : ", ") + std::to_string(r.uid);
      return Fail(std::to_string(rows.size()) + " machines are named " + text + " (ids " + ids + "): give the id"), 0;
    }
    *row = rows[0];
    return row->uid;
  }

  int Machines() {
    std::vector<SXMachineRow> rows;
    const SXCatalogStatus s = catalog->ListMachines(&rows);
    if (!s) return Fail(s.message);
    if (!json) std::printf("%-8s %-20s %-12s %-7s %-21s %s\n", "id", "name", "group", "online", "last seen", "address");
    for (const SXMachineRow& r : rows) {
      if (json) {
        std::printf("{\"id\":%d,\"name\":%s,\"group\":%s,\"online\":%s,\"first_seen\":%s,\"last_seen\":%s,"
                    "\"address\":%s,\"app_version\":%d}\n",
                    r.uid, Json(r.name).c_str(), Json(r.group).c_str(), r.online ? "true" : "false",
                    Json(UtcText(r.first_seen)).c_str(), Json(UtcText(r.last_seen)).c_str(), Json(r.address).c_str(),
                    r.app_version);
      } else {
        std::printf("%-8d %-20s %-12s %-7s %-21s %s\n", r.uid, r.name.c_str(), r.group.c_str(),
                    r.online ? "yes" : "no", UtcText(r.last_seen).c_str(), r.address.c_str());
      }
    }
    return 0;
  }

  int Snapshots(const std::string& who) {
    SXMachineRow m;
    if (Machine(who, &m) == 0) return 1;
    std::vector<SXSnapshotRow> rows;
    const SXCatalogStatus s = catalog->ListSnapshots(m.uid, &rows);
    if (!s) return Fail(s.message);
    if (!json) std::printf("%-8s %-21s %-17s %12s %s\n", "number", "received", "agent's time", "bytes", "file");
    for (const SXSnapshotRow& r : rows) {
      if (json) {
        std::printf("{\"machine\":%d,\"number\":%d,\"received\":%s,\"agent_time\":%s,\"size\":%" PRId64
                    ",\"sha256\":%s,\"path\":%s,\"compared\":%s}\n",
                    r.uid, r.number, Json(UtcText(r.received_time)).c_str(), Json(r.agent_time).c_str(), r.size,
                    Json(r.sha256).c_str(), Json(r.path).c_str(), r.compared ? "true" : "false");
      } else {
        std::printf("%-8d %-21s %-17s %12" PRId64 " %s\n", r.number, UtcText(r.received_time).c_str(),
                    r.agent_time.c_str(), r.size, r.path.c_str());
      }
    }
    return 0;
  }

  int Scans(const std::string& who) {
    SXMachineRow m;
    if (Machine(who, &m) == 0) return 1;
    std::vector<SXScanRow> rows;
    const SXCatalogStatus s = catalog->ListScans(m.uid, 50, &rows);
    if (!s) return Fail(s.message);
    static const char* const kStates[] = {"requested", "started", "done", "failed", "stopped"};
    for (const SXScanRow& r : rows) {
      const char* state = kStates[static_cast<int>(r.state)];
      if (json) {
        std::printf("{\"machine\":%d,\"scan\":%" PRId64 ",\"state\":\"%s\",\"requested\":%s,\"by\":%s,\"profile\":%s,"
                    "\"snapshot\":%d,\"result\":%s}\n",
                    r.uid, r.id, state, Json(UtcText(r.requested_time)).c_str(), Json(r.requested_by).c_str(),
                    Json(r.profile).c_str(), r.snapshot_number, Json(r.result).c_str());
      } else {
        std::printf("%-21s %-9s by %-12s profile %-12s %s\n", UtcText(r.requested_time).c_str(), state,
                    r.requested_by.c_str(), r.profile.c_str(), r.result.c_str());
      }
    }
    return 0;
  }

  int Changes(const std::string& who, int64_t since) {
    SXMachineRow m;
    if (Machine(who, &m) == 0) return 1;
    std::vector<SXChangeRow> rows;
    const SXCatalogStatus s = catalog->ChangesSince(m.uid, since, 100000, &rows);
    if (!s) return Fail(s.message);
    for (const SXChangeRow& r : rows) {
      if (json) {
        std::printf("{\"machine\":%d,\"time\":%s,\"kind\":\"%s\",\"change\":\"%s\",\"entry\":%s,\"path\":%s,"
                    "\"old\":%s,\"new\":%s}\n",
                    r.uid, Json(UtcText(r.time)).c_str(), ChangeKindName(r.kind), ChangeCategoryName(r.category),
                    Json(r.entry).c_str(), Json(r.path).c_str(), Json(r.old_text).c_str(), Json(r.new_text).c_str());
      } else {
        std::printf("%s %-8s %-7s %-8s %s%s%s\n", UtcText(r.time).c_str(), ChangeKindName(r.kind),
                    ChangeCategoryName(r.category), r.entry.c_str(), r.path.c_str(),
                    r.new_text.empty() ? "" : "  ", r.new_text.c_str());
      }
    }
    std::vector<SXComparisonRow> comparisons;
    if (catalog->ListComparisons(m.uid, since, &comparisons).ok()) {
      for (const SXComparisonRow& c : comparisons) {
        std::vector<SXCategoryCount> counts;
        (void)catalog->CategoryCounts(c.id, &counts);
        for (const SXCategoryCount& n : counts) {
          if (json) {
            std::printf("{\"machine\":%d,\"snapshot\":%d,\"against\":%d,\"kind\":\"%s\",\"category\":%s,"
                        "\"added\":%" PRId64 ",\"removed\":%" PRId64 ",\"changed\":%" PRId64 "}\n",
                        c.uid, c.new_number, c.old_number, ChangeKindName(n.kind), Json(n.category).c_str(), n.added,
                        n.removed, n.changed);
          } else {
            // "files", "registry values", "apps services": the kind once.
            const std::string kind = ChangeKindName(n.kind);
            const std::string what = n.category.rfind(kind, 0) == 0 ? n.category : kind + " " + n.category;
            std::printf("snapshot %d against %d: %s: %" PRId64 " added, %" PRId64 " removed, %" PRId64 " changed\n",
                        c.new_number, c.old_number, what.c_str(), n.added, n.removed, n.changed);
          }
        }
        if (!c.change_file.empty() && !json) {
          std::printf("(snapshot %d changed more than the catalog keeps as rows: all of them in %s)\n", c.new_number,
                      c.change_file.c_str());
        }
      }
    }
    return 0;
  }

  int Gained(const std::string& kind_text, const std::string& pattern, int64_t since) {
    ChangeKind kind;
    if (kind_text == "files") {
      kind = ChangeKind::kFiles;
    } else if (kind_text == "registry") {
      kind = ChangeKind::kRegistry;
    } else if (kind_text == "apps") {
      kind = ChangeKind::kApps;
    } else {
      return Usage("KIND is files, registry or apps, not " + kind_text);
    }
    std::vector<SXGainRow> rows;
    const SXCatalogStatus s = catalog->MachinesWithChange(kind, ChangeCategory::kAdded, pattern, since, 100000, &rows);
    if (!s) return Fail(s.message);
    for (const SXGainRow& r : rows) {
      SXMachineRow m;
      (void)catalog->GetMachine(r.uid, &m);
      if (json) {
        std::printf("{\"machine\":%d,\"name\":%s,\"first\":%s,\"path\":%s}\n", r.uid, Json(m.name).c_str(),
                    Json(UtcText(r.first_time)).c_str(), Json(r.path).c_str());
      } else {
        std::printf("%-8d %-20s %s %s\n", r.uid, m.name.c_str(), UtcText(r.first_time).c_str(), r.path.c_str());
      }
    }
    return 0;
  }

  int ScanNow(const std::vector<int32_t>& uids, const std::string& profile_asked) {
    const char* user = std::getenv("USER");
    const std::string by = user != nullptr && *user != '\0' ? user : "fleet";
    std::vector<SXScheduleRow> schedules;
    (void)catalog->ListSchedules(&schedules);
    int failed = 0;
    for (int32_t uid : uids) {
      std::string profile = profile_asked;
      if (profile.empty()) {
        SXMachineRow m;
        (void)catalog->GetMachine(uid, &m);
        // The machine's own schedule, else its group's, else every machine's.
        for (const char* pass : {"uid", "group", "*"}) {
          for (const SXScheduleRow& s : schedules) {
            const bool match = std::string(pass) == "uid" ? s.uid == uid
                               : std::string(pass) == "group" ? (s.uid == 0 && !m.group.empty() && s.group == m.group)
                                                              : (s.uid == 0 && s.group == "*");
            if (match && profile.empty()) profile = s.profile;
          }
        }
      }
      if (profile.empty()) {
        ++failed;
        Fail("machine " + std::to_string(uid) + " has no schedule: give --profile NAME");
        continue;
      }
      int64_t id = 0;
      const SXCatalogStatus s = catalog->RequestScan(uid, ScanOrigin::kPerson, by, profile, Now(), &id);
      if (!s) {
        ++failed;
        Fail("machine " + std::to_string(uid) + ": " + s.message);
        continue;
      }
      if (json) {
        std::printf("{\"machine\":%d,\"scan\":%" PRId64 ",\"profile\":%s}\n", uid, id, Json(profile).c_str());
      } else {
        std::printf("machine %d: scan %" PRId64 " asked for (profile %s); the server starts it within seconds\n", uid,
                    id, profile.c_str());
      }
    }
    return failed == 0 ? 0 : 1;
  }

  int StopScan(const std::string& who) {
    SXMachineRow m;
    if (Machine(who, &m) == 0) return 1;
    std::vector<SXScanRow> rows;
    SXCatalogStatus s = catalog->ListScans(m.uid, 1, &rows);
    if (!s) return Fail(s.message);
    if (rows.empty() || (rows[0].state != ScanState::kRequested && rows[0].state != ScanState::kStarted)) {
      return Fail("machine " + std::to_string(m.uid) + " has no scan open");
    }
    s = catalog->EndScan(rows[0].id, ScanState::kStopped, Now(), 0, "stopped by a person");
    if (!s) return Fail(s.message);
    std::printf("machine %d: scan %" PRId64 " stopped; the server tells the agent within seconds\n", m.uid, rows[0].id);
    return 0;
  }
};

}  // namespace

int RunFleetCommand(const std::vector<std::string>& arguments) {
  std::string config_path, since_text = "7d", group, profile;
  bool json = false, group_given = false;
  std::vector<std::string> words;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (a == "--config" && has_value) {
      config_path = arguments[++i];
    } else if (a == "--since" && has_value) {
      since_text = arguments[++i];
    } else if (a == "--group" && has_value) {
      group = arguments[++i];
      group_given = true;
    } else if (a == "--profile" && has_value) {
      profile = arguments[++i];
    } else if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "orvalinth fleet: unknown option '%s'\n%s", a.c_str(), kUsage);
      return 2;
    } else {
      words.push_back(a);
    }
  }
  if (config_path.empty() || words.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  SXServerConfig config;
  std::string error;
  if (!LoadServerConfig(config_path, &config, &error)) {
    std::fprintf(stderr, "orvalinth fleet: %s\n", error.c_str());
    return 2;
  }
  Fleet fleet;
  fleet.json = json;
  fleet.catalog = OpenCatalog(config.catalog_path, &error);
  if (fleet.catalog == nullptr) {
    return fleet.Fail("cannot open the catalog " + CatalogDisplayName(config.catalog_path) + ": " + error);
  }
  int64_t since = 0;
  if (!ParseWhen(since_text, &since)) return fleet.Usage("--since wants 7d, 12h or YYYY-MM-DD, not " + since_text);
  const std::string& command = words[0];
  const size_t n = words.size();
  if (command == "machines" && n == 1) return fleet.Machines();
  if (command == "snapshots" && n == 2) return fleet.Snapshots(words[1]);
  if (command == "scans" && n == 2) return fleet.Scans(words[1]);
  if (command == "changes" && n == 2) return fleet.Changes(words[1], since);
  if (command == "gained" && n == 3) return fleet.Gained(words[1], words[2], since);
  if (command == "stop-scan" && n == 2) return fleet.StopScan(words[1]);
  if (command == "set-group" && n == 3) {
    SXMachineRow m;
    if (fleet.Machine(words[1], &m) == 0) return 1;
    const SXCatalogStatus s = fleet.catalog->SetMachineGroup(m.uid, words[2]);
    return s ? 0 : fleet.Fail(s.message);
  }
  if (command == "scan-now" && (n == 2) != group_given) {
    std::vector<int32_t> uids;
    if (group_given) {
      std::vector<SXMachineRow> rows;
      const SXCatalogStatus s = fleet.catalog->ListGroupMachines(group, &rows);
      if (!s) return fleet.Fail(s.message);
      if (rows.empty()) return fleet.Fail("no machine is in the group " + group);
      for (const SXMachineRow& r : rows) uids.push_back(r.uid);
    } else {
      SXMachineRow m;
      if (fleet.Machine(words[1], &m) == 0) return 1;
      uids.push_back(m.uid);
    }
    return fleet.ScanNow(uids, profile);
  }
  return fleet.Usage("cannot read the command: " + command);
}

}  // namespace orvalinth::server
