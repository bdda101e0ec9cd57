// The field accessors of CXClientSettings: each copies under the lock.

#include "settings/client_settings.h"

namespace orvalinth {
namespace {

// The 8-bit values are written one line each; a line break inside one would
// start a line of its own in the file (a key of its choosing, at the next load).
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
    if (c == '\0') c = '?';
  }
  return text;
}

}  // namespace

CXClientSettings::Guard CXClientSettings::Hold() { return Guard(lock_); }

CXClientSettings& ProcessSettings() {
  static CXClientSettings settings;
  return settings;
}

#define ORVALINTH_FIELD(type, getter, member)      \
  type CXClientSettings::getter() {                \
    Guard guard = Hold();                          \
    return fields_.member;                         \
  }

#define ORVALINTH_SETTER(type, setter, member)     \
  void CXClientSettings::setter(type value) {      \
    Guard guard = Hold();                          \
    fields_.member = std::move(value);             \
  }

ORVALINTH_FIELD(std::string, server_address, server_address)
ORVALINTH_FIELD(int32_t, server_port, server_port)
ORVALINTH_SETTER(int32_t, set_server_port, server_port)
ORVALINTH_FIELD(int32_t, computer_id, computer_id)
ORVALINTH_SETTER(int32_t, set_computer_id, computer_id)
ORVALINTH_FIELD(std::string, computer_name, computer_name)

ORVALINTH_FIELD(std::vector<std::u16string>, registry_targets, targets.registry)
ORVALINTH_SETTER(std::vector<std::u16string>, set_registry_targets, targets.registry)
ORVALINTH_FIELD(std::vector<std::u16string>, file_targets, targets.files)
ORVALINTH_SETTER(std::vector<std::u16string>, set_file_targets, targets.files)
ORVALINTH_FIELD(std::vector<std::u16string>, application_targets, targets.applications)
ORVALINTH_SETTER(std::vector<std::u16string>, set_application_targets, targets.applications)
ORVALINTH_FIELD(int32_t, full_scan, targets.full_scan)
ORVALINTH_SETTER(int32_t, set_full_scan, targets.full_scan)
ORVALINTH_FIELD(int32_t, show_removable_disks, targets.show_removable_disks)
ORVALINTH_SETTER(int32_t, set_show_removable_disks, targets.show_removable_disks)
ORVALINTH_FIELD(int32_t, add_version_info, targets.add_version_info)
ORVALINTH_SETTER(int32_t, set_add_version_info, targets.add_version_info)
ORVALINTH_FIELD(std::optional<std::string>, server_tls, server_tls)
ORVALINTH_FIELD(std::optional<std::string>, server_pin, server_pin)
ORVALINTH_FIELD(std::optional<std::string>, upgrade_signer, upgrade_signer)

ORVALINTH_FIELD(SXScanTargets, scan_targets, targets)
ORVALINTH_SETTER(SXScanTargets, set_scan_targets, targets)

ORVALINTH_FIELD(std::string, snapshot_name, snapshot_name)
ORVALINTH_FIELD(int32_t, snapshot_count, snapshot_count)
ORVALINTH_SETTER(int32_t, set_snapshot_count, snapshot_count)
ORVALINTH_FIELD(std::string, saved_snapshots, saved_snapshots)
ORVALINTH_FIELD(int32_t, old_version, old_version)
ORVALINTH_SETTER(int32_t, set_old_version, old_version)
ORVALINTH_FIELD(std::u16string, settings_path, settings_path)

#undef ORVALINTH_FIELD
#undef ORVALINTH_SETTER

void CXClientSettings::set_server_address(const std::string& address) {
  Guard guard = Hold();
  fields_.server_address = OneLine(address);
}

void CXClientSettings::set_snapshot_name(const std::string& name) {
  Guard guard = Hold();
  fields_.snapshot_name = OneLine(name);
}

#define ORVALINTH_OPTIONAL_SETTER(setter, member)                \
  void CXClientSettings::setter(std::optional<std::string> text) { \
    Guard guard = Hold();                                          \
    if (text) text = OneLine(*text);                               \
    fields_.member = std::move(text);                              \
  }

ORVALINTH_OPTIONAL_SETTER(set_server_tls, server_tls)
ORVALINTH_OPTIONAL_SETTER(set_server_pin, server_pin)
ORVALINTH_OPTIONAL_SETTER(set_upgrade_signer, upgrade_signer)

#undef ORVALINTH_OPTIONAL_SETTER

void CXClientSettings::set_saved_snapshots(const std::string& saved) {
  Guard guard = Hold();
  fields_.saved_snapshots = OneLine(saved);
}

}  // namespace orvalinth
