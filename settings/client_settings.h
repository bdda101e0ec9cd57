#pragma once
// CXClientSettings: the client's whole configuration, held in memory for the
// process and kept in "OrvalinthSrv.ini" beside the executable, together with
// the snapshot catalog (the numbered snapshot files waiting for download).
//
// The file is 8-bit text, one "Key:value" line each, in this order:
//   ServerAddr:  ServerPort:  ComputerID:  SnapshotCnt:  SnapshotName:
//   SavedSnapshots:  ScanAll:  ShowRemDsk:  AddExeVerInfo:  [OldVer:]
//   [ServerTLS:]  [ServerPin:]  [UpgradeSigner:]
// (the last three, the link's security, only when the file had them or they
// were set, each with its text as it was read: see link/link_security.h),
// then the sections "Registry:", "Files:" and "Applications:", each its header
// line, one line per list entry (UTF-8) and one empty line. Lines end with the
// platform's text line end; reading accepts CR LF and LF alike, and a file
// that starts with FF FE as UTF-16LE. Keys are matched without regard to A-Z
// case; empty lines, and lines beginning with "-" before the first section,
// are comments; in a section a line beginning with "-" is an exclusion entry.
// A key line after a section header both sets its field and becomes an entry
// of that section.
//
// Thread safety: the object is shared by the connection thread (console
// commands) and the scan thread (a finished snapshot joins the catalog). Every
// operation below takes the object's one lock, and Save writes the file under
// it, so each operation and the file it writes are one step. To make several
// operations one step (for example a command that sets the scan targets and
// the snapshot name and then saves), hold the guard that Hold() returns while
// calling them: the lock is recursive, so the operations may be called as
// usual while it is held. Do not wait for another thread while holding it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "settings/scan_targets.h"

namespace orvalinth {

class CXClientSettings {
 public:
  static constexpr const char* kDefaultServerAddress = "localhost";
  static constexpr int32_t kDefaultServerPort = 51000;
  static constexpr int32_t kNoOldVersion = -1;
  static constexpr const char* kUnknownComputerName = "<noname>";

  // Strings empty, old version -1, the other fields at their defaults.
  CXClientSettings();
  CXClientSettings(const CXClientSettings&) = delete;
  CXClientSettings& operator=(const CXClientSettings&) = delete;

  using Guard = std::unique_lock<std::recursive_mutex>;
  // Holds the object's lock until the guard goes (see above).
  [[nodiscard]] Guard Hold();

  // ---- the file ------------------------------------------------------------

  // Reads the settings from `path`, which becomes the path Save writes. The
  // computer name is read anew; server address and port, computer id, the
  // scan targets and flags and the snapshot count take their defaults unless
  // the file sets them; snapshot name, saved snapshots and old version keep
  // their values unless the file sets them. Saved snapshots whose files are
  // gone are dropped (the file is not rewritten). 1 on success; 0 when the file
  // cannot be read: the reader's error text is logged as an error line and
  // the object is left as it was.
  int Load(const std::u16string& path);

  // Writes the whole file to the settings path. 1 on success; 0 when the file
  // cannot be written, without a log line (the caller decides). The text goes
  // to "<settings path>.tmp" first and replaces the file by a rename, so the
  // old file stays whole until the new one is complete (written in place only
  // when the folder takes no new file or the rename is refused).
  int Save();

  // The upgrade's reload: Load from the program folder's "OrvalinthSrv.ini",
  // delete every saved snapshot's file, empty saved snapshots and Save. When
  // the file cannot be loaded, logs "cannot load previous settings" and
  // changes nothing else.
  void LoadPrevious();

  // The short text of the current scan targets (see settings/scan_targets.h).
  std::string ScanTargetsText();

  // Whether a target list entry comes back unchanged, and changes nothing
  // else, after Save and Load: not empty, no line break or zero unit, and
  // either an exclusion (beginning with "-") or neither a section header nor
  // beginning with a key.
  static bool IsStorableTarget(const std::u16string& entry);

  // ---- the snapshot catalog (settings/catalog.cpp) ---------------------------

  // The number the next snapshot gets: snapshot count + 1.
  int32_t NextSnapshotNumber();
  // The title of the next snapshot; an empty snapshot name is first set to
  // "<computer name> - snapshot #<next number>". The file is not written.
  std::string SnapshotTitle();
  // A finished snapshot joins the catalog: its number (count + 1) is appended
  // to saved snapshots (unless already there) and the file is saved. The Save
  // result.
  int AddSnapshot();
  // The completion step of a successful scan, after AddSnapshot: snapshot
  // count + 1, so that the number is never handed out again; snapshot name
  // emptied; file saved. The Save result.
  int CompleteSnapshot();
  // The console acknowledged snapshot `number` (or a scan was stopped): the
  // number leaves saved snapshots (its first occurrence, when there), the file
  // is saved, and the snapshot file is deleted. Whether the deletion succeeded.
  int RemoveSnapshot(int32_t number);
  // Drops from saved snapshots every entry whose snapshot file cannot be
  // opened for reading. The file is not written.
  void CheckSavedSnapshots();
  // Drops from saved snapshots every entry whose snapshot file is not there
  // any more (deleted by hand, or with the data folder), logging each as
  // "snapshot <n> is missing", and saves when it dropped any. A file that is
  // there but cannot be opened just now stays listed.
  void DropMissingSnapshots();

  // ---- fields ----------------------------------------------------------------
  // Values are copied out and in under the lock. The 8-bit values are single
  // lines: a line break given to a setter becomes a blank, a zero byte "?".

  std::string server_address();
  void set_server_address(const std::string& address);
  int32_t server_port();
  void set_server_port(int32_t port);
  int32_t computer_id();
  void set_computer_id(int32_t id);
  // Read by Load; "<noname>" when the machine's name cannot be read.
  std::string computer_name();

  std::vector<std::u16string> registry_targets();
  void set_registry_targets(std::vector<std::u16string> targets);
  std::vector<std::u16string> file_targets();
  void set_file_targets(std::vector<std::u16string> targets);
  std::vector<std::u16string> application_targets();
  void set_application_targets(std::vector<std::u16string> targets);
  int32_t full_scan();
  void set_full_scan(int32_t on);
  int32_t show_removable_disks();
  void set_show_removable_disks(int32_t on);
  int32_t add_version_info();
  void set_add_version_info(int32_t on);
  // The three lists and three flags at once.
  SXScanTargets scan_targets();
  void set_scan_targets(SXScanTargets targets);

  std::string snapshot_name();
  void set_snapshot_name(const std::string& name);
  int32_t snapshot_count();
  void set_snapshot_count(int32_t count);
  std::string saved_snapshots();
  void set_saved_snapshots(const std::string& saved);
  // kNoOldVersion (-1): no upgrade recorded; such a value is not written.
  int32_t old_version();
  void set_old_version(int32_t version);
  // The path of the last Load, where Save writes.
  std::u16string settings_path();

  // The link's security as the file has it, each text as it was read; an
  // empty optional when the file has no such line (none is then written).
  // "ServerTLS:" 1 asks for TLS; "ServerPin:" and "UpgradeSigner:" are pins
  // (link/link_security.h reads them).
  std::optional<std::string> server_tls();
  void set_server_tls(std::optional<std::string> text);
  std::optional<std::string> server_pin();
  void set_server_pin(std::optional<std::string> text);
  std::optional<std::string> upgrade_signer();
  void set_upgrade_signer(std::optional<std::string> text);

 private:
  struct Fields {
    SXScanTargets targets;
    std::string server_address;
    int32_t server_port = kDefaultServerPort;
    int32_t computer_id = 0;
    std::string computer_name;
    std::u16string settings_path;
    std::string snapshot_name;
    int32_t snapshot_count = 0;
    std::string saved_snapshots;
    int32_t old_version = kNoOldVersion;
    std::optional<std::string> server_tls;
    std::optional<std::string> server_pin;
    std::optional<std::string> upgrade_signer;
  };

  // The file's bytes for the current fields.
  std::string FileText() const;

  std::recursive_mutex lock_;
  Fields fields_;
};

// The process-wide settings object.
CXClientSettings& ProcessSettings();

}  // namespace orvalinth
