#pragma once
// The fleet server's configuration file ("orvalinth server --config FILE").
//
// Lines "key = value" under section headers; '#' starts a comment line;
// blanks around keys and values are ignored. A key given more than once in a
// section whose key is a list ("file", "reg", "app", "machine", "group")
// adds to the list; any other key given twice is an error.
//
//   [server]
//   listen = 0.0.0.0:51000        # the agents' port
//   data = /var/lib/orvalinth     # the store: machines/<id>/...
//   catalog = /var/lib/orvalinth/catalog.db   # default: <data>/catalog.db; or postgresql://user@host/db
//   log = /var/log/orvalinth/server.log       # default: <data>/server.log
//   tls-cert = /etc/orvalinth/console.crt     # both or neither: TLS links
//   tls-key = /etc/orvalinth/console.key
//   compare-workers = 1           # comparison threads (1..64)
//   idle-timeout = 60             # seconds without a frame before a link is dead
//   greeting-timeout = 30         # seconds for a new link to greet
//   download-timeout = 120        # seconds without a block during a download
//   scan-timeout = 6h             # a scan without "scan-done" this long is stopped
//   max-links = 20000             # links open at once; more are closed at once
//   keep-snapshots = 30           # retention per machine: the last N (0: all)
//   keep-days = 0                 # and those younger than D days (0: any age)
//   web-listen = 127.0.0.1:8080   # the web console (HTTPS with tls-cert/tls-key); off: none
//   node-name = fleet-1           # this node among those sharing a catalog (default: host name:agent port)
//   node-heartbeat = 5s           # its beat in the catalog; 3 beats missed: dead to the other nodes
//
//   [profile NAME]                # a target profile, what "set-scan" sends
//   file = C:\Windows\System32\drivers\etc
//   file = -C:\Windows\Temp       # a leading '-' excludes
//   reg = HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run
//   app = *
//   versions = 1
//   full = 0
//   removable = 0
//   name = scheduled              # the snapshot's name
//
//   [schedule NAME]               # which machines scan with which profile, how often
//   profile = NAME
//   every = 24h                   # s, m, h or d; a number alone is seconds
//   jitter = 1h                   # each machine's scan spread within this
//   machine = 12                  # ids; or
//   group = accounting            # groups; neither: every machine
//
// The profiles and schedules of the file go into the catalog at start
// (replacing those of the same names); a machine takes the schedule naming
// it by id, else the one naming its group, else the one naming neither.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvalinth::server {

struct SXConfigProfile {
  std::string name;
  std::vector<std::string> files;
  std::vector<std::string> regs;
  std::vector<std::string> apps;
  bool versions = false;
  bool full = false;
  bool removable = false;
  std::string snapshot_name;
};

struct SXConfigSchedule {
  std::string name;
  std::string profile;
  int64_t every_s = 24 * 3600;
  int64_t jitter_s = 0;
  std::vector<int32_t> machines;
  std::vector<std::string> groups;
};

struct SXServerConfig {
  std::string listen_address = "0.0.0.0";
  uint16_t listen_port = 51000;
  std::string data_folder;
  std::string catalog_path;
  std::string log_path;
  std::string tls_cert;
  std::string tls_key;
  int compare_workers = 1;
  int64_t idle_timeout_s = 60;
  int64_t greeting_timeout_s = 30;
  int64_t download_timeout_s = 120;
  int64_t scan_timeout_s = 6 * 3600;
  int max_links = 20000;
  int keep_snapshots = 30;
  int keep_days = 0;
  bool web_enabled = true;
  std::string web_address = "127.0.0.1";
  uint16_t web_port = 8080;
  std::string node_name;  // "" : the host name and ":" and the agents' port
  int64_t node_heartbeat_s = 5;
  std::vector<SXConfigProfile> profiles;
  std::vector<SXConfigSchedule> schedules;

  const SXConfigProfile* Profile(const std::string& name) const;
};

// Parses the configuration text; false with *error ("line 12: ...") when it
// is wrong. Paths left empty take their defaults under the data folder.
bool ParseServerConfig(const std::string& text, SXServerConfig* config, std::string* error);

// "24h", "90m", "30s", "2d", "600": seconds; false when it is none of these.
bool ParseDuration(const std::string& text, int64_t* seconds);

}  // namespace orvalinth::server
