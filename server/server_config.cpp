#include "server/server_config.h"

#include <cctype>
#include <cstdlib>
#include <set>

namespace orvalinth::server {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool ParseInt(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *value = std::strtoll(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

bool ParseFlag(const std::string& text, bool* value) {
  if (text == "1" || text == "yes" || text == "true" || text == "on") return *value = true, true;
  if (text == "0" || text == "no" || text == "false" || text == "off") return *value = false, true;
  return false;
}

bool SplitAddress(const std::string& text, std::string* address, uint16_t* port) {
  const size_t colon = text.rfind(':');
  int64_t number = 0;
  if (colon == std::string::npos || colon == 0 || !ParseInt(text.substr(colon + 1), 0, 65535, &number)) return false;
  *address = text.substr(0, colon);
  *port = static_cast<uint16_t>(number);
  return true;
}

struct Parser {
  Parser(SXServerConfig* c, std::string* e) : config(c), error(e) {}
  SXServerConfig* config;
  std::string* error;
  int line = 0;
  enum class Section { kNone, kServer, kProfile, kSchedule } section = Section::kNone;
  std::set<std::string> seen;  // single keys given in this section

  bool Fail(const std::string& what) {
    *error = "line " + std::to_string(line) + ": " + what;
    return false;
  }

  bool Header(const std::string& text) {
    const std::string inside = Trim(text.substr(1, text.size() - 2));
    const size_t blank = inside.find(' ');
    const std::string kind = inside.substr(0, blank);
    const std::string name = blank == std::string::npos ? std::string() : Trim(inside.substr(blank));
    seen.clear();
    if (kind == "server" && name.empty()) {
      section = Section::kServer;
      return true;
    }
    if (kind != "profile" && kind != "schedule") return Fail("unknown section [" + inside + "]");
    if (name.empty()) return Fail("[" + kind + "] needs a name: [" + kind + " NAME]");
    if (kind == "profile") {
      if (config->Profile(name)) return Fail("a second profile named " + name);
      section = Section::kProfile;
      config->profiles.push_back(SXConfigProfile{});
      config->profiles.back().name = name;
    } else {
      for (const SXConfigSchedule& s : config->schedules) {
        if (s.name == name) return Fail("a second schedule named " + name);
      }
      section = Section::kSchedule;
      config->schedules.push_back(SXConfigSchedule{});
      config->schedules.back().name = name;
    }
    return true;
  }

  bool Once(const std::string& key) {
    if (!seen.insert(key).second) return Fail("\"" + key + "\" is given twice");
    return true;
  }

  bool Server(const std::string& key, const std::string& value) {
    SXServerConfig& c = *config;
    int64_t n = 0;
    if (!Once(key)) return false;
    if (key == "listen") {
      if (!SplitAddress(value, &c.listen_address, &c.listen_port)) return Fail("listen wants ADDRESS:PORT");
    } else if (key == "data") {
      c.data_folder = value;
    } else if (key == "catalog") {
      c.catalog_path = value;
    } else if (key == "log") {
      c.log_path = value;
    } else if (key == "tls-cert") {
      c.tls_cert = value;
    } else if (key == "tls-key") {
      c.tls_key = value;
    } else if (key == "compare-workers") {
      if (!ParseInt(value, 1, 64, &n)) return Fail("compare-workers wants 1 to 64");
      c.compare_workers = static_cast<int>(n);
    } else if (key == "idle-timeout" || key == "greeting-timeout" || key == "download-timeout") {
      if (!ParseDuration(value, &n) || n < 5 || n > 24 * 3600) return Fail(key + " wants 5 s to 24 h");
      (key == "idle-timeout" ? c.idle_timeout_s : key == "greeting-timeout" ? c.greeting_timeout_s : c.download_timeout_s) = n;
    } else if (key == "scan-timeout") {
      if (!ParseDuration(value, &n) || n < 60 || n > 7 * 86400) return Fail("scan-timeout wants 1 min to 7 d");
      c.scan_timeout_s = n;
    } else if (key == "max-links") {
      if (!ParseInt(value, 1, 1000000, &n)) return Fail("max-links wants 1 to 1000000");
      c.max_links = static_cast<int>(n);
    } else if (key == "keep-snapshots") {
      if (!ParseInt(value, 0, 1000000, &n)) return Fail("keep-snapshots wants a count (0: all)");
      c.keep_snapshots = static_cast<int>(n);
    } else if (key == "keep-days") {
      if (!ParseInt(value, 0, 100000, &n)) return Fail("keep-days wants a number of days (0: any age)");
      c.keep_days = static_cast<int>(n);
    } else if (key == "node-name") {
      if (value.empty() || value.size() > 200) return Fail("node-name wants a name of 1 to 200 characters");
      c.node_name = value;
    } else if (key == "node-heartbeat") {
      if (!ParseDuration(value, &n) || n < 1 || n > 60) return Fail("node-heartbeat wants 1 s to 1 min");
      c.node_heartbeat_s = n;
    } else if (key == "web-listen") {
      c.web_enabled = value != "off";
      if (c.web_enabled && !SplitAddress(value, &c.web_address, &c.web_port)) {
        return Fail("web-listen wants ADDRESS:PORT or off");
      }
    } else {
      return Fail("unknown key \"" + key + "\" in [server]");
    }
    return true;
  }

  bool Profile(const std::string& key, const std::string& value) {
    SXConfigProfile& p = config->profiles.back();
    if (key == "file") return p.files.push_back(value), true;
    if (key == "reg") return p.regs.push_back(value), true;
    if (key == "app") return p.apps.push_back(value), true;
    if (!Once(key)) return false;
    if (key == "name") return p.snapshot_name = value, true;
    bool* flag = key == "versions" ? &p.versions : key == "full" ? &p.full : key == "removable" ? &p.removable : nullptr;
    if (flag == nullptr) return Fail("unknown key \"" + key + "\" in [profile " + p.name + "]");
    if (!ParseFlag(value, flag)) return Fail(key + " wants 0 or 1");
    return true;
  }

  bool Schedule(const std::string& key, const std::string& value) {
    SXConfigSchedule& s = config->schedules.back();
    int64_t n = 0;
    if (key == "machine") {
      if (!ParseInt(value, 1, INT32_MAX, &n)) return Fail("machine wants a computer id (1 and up)");
      return s.machines.push_back(static_cast<int32_t>(n)), true;
    }
    if (key == "group") return s.groups.push_back(value), true;
    if (!Once(key)) return false;
    if (key == "profile") return s.profile = value, true;
    if (key == "every") {
      if (!ParseDuration(value, &n) || n < 10) return Fail("every wants a duration of 10 s or more");
      return s.every_s = n, true;
    }
    if (key == "jitter") {
      if (!ParseDuration(value, &n)) return Fail("jitter wants a duration");
      return s.jitter_s = n, true;
    }
    return Fail("unknown key \"" + key + "\" in [schedule " + s.name + "]");
  }

  bool Line(const std::string& raw) {
    const std::string text = Trim(raw);
    if (text.empty() || text[0] == '#') return true;
    if (text.front() == '[') {
      if (text.back() != ']') return Fail("a section header ends with ']'");
      return Header(text);
    }
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return Fail("expected \"key = value\"");
    const std::string key = Trim(text.substr(0, equals));
    const std::string value = Trim(text.substr(equals + 1));
    switch (section) {
      case Section::kNone: return Fail("\"" + key + "\" before any section");
      case Section::kServer: return Server(key, value);
      case Section::kProfile: return Profile(key, value);
      case Section::kSchedule: return Schedule(key, value);
    }
    return false;
  }
};

}  // namespace

const SXConfigProfile* SXServerConfig::Profile(const std::string& name) const {
  for (const SXConfigProfile& p : profiles) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

bool ParseDuration(const std::string& text, int64_t* seconds) {
  if (text.empty()) return false;
  int64_t unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: unit = 0;
  }
  if (unit != 0) {
    digits.pop_back();
  } else {
    unit = 1;
  }
  int64_t n = 0;
  if (!ParseInt(digits, 0, 100LL * 365 * 86400, &n)) return false;
  *seconds = n * unit;
  return *seconds <= 100LL * 365 * 86400;
}

bool ParseServerConfig(const std::string& text, SXServerConfig* config, std::string* error) {
  *config = SXServerConfig{};
  Parser parser(config, error);
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    ++parser.line;
    if (!parser.Line(text.substr(at, end - at))) return false;
    at = end + 1;
  }
  parser.line = 0;
  SXServerConfig& c = *config;
  if (c.data_folder.empty()) {
    *error = "[server] needs \"data\", the folder of the store";
    return false;
  }
  while (c.data_folder.size() > 1 && c.data_folder.back() == '/') c.data_folder.pop_back();
  if (c.catalog_path.empty()) c.catalog_path = c.data_folder + "/catalog.db";
  if (c.log_path.empty()) c.log_path = c.data_folder + "/server.log";
  if (c.tls_cert.empty() != c.tls_key.empty()) {
    *error = "tls-cert and tls-key go together";
    return false;
  }
  for (const SXConfigSchedule& s : c.schedules) {
    if (s.profile.empty() || c.Profile(s.profile) == nullptr) {
      *error = "schedule " + s.name + " names no profile of this file (\"profile = NAME\")";
      return false;
    }
  }
  return true;
}

}  // namespace orvalinth::server
