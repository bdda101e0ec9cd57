#pragma once
// CXScanRequest: what one recording records, prepared from the settings when
// the recording starts and copied into the snapshot's info block. For each
// kind (registry, files, applications) an include list and an exclude list
// (entries beginning with "-") of targets, an exclusion set made when the
// kind's job starts, and the flags full, removable drives and version
// information. The jobs read the request and never change it after start.

#include <cstdint>
#include <string>
#include <vector>

#include "record/exclusion_set.h"
#include "storage/snapshot_io.h"

namespace orvalinth {

// The kinds in the order of the snapshot's sections.
enum : int32_t {
  kScanRegistry = kSectionRegistry,
  kScanFiles = kSectionFiles,
  kScanApps = kSectionApps,
  kScanKinds = kSectionKinds,
};

class CXScanRequest {
 public:
  CXScanRequest();

  // Empties the six lists and fills them from the settings' target lists of
  // the three kinds by the target rule (AddTarget); sets the three flags.
  void Build(bool full, bool removable_drives, bool version_info, const std::vector<std::u16string>& registry_targets,
             const std::vector<std::u16string>& file_targets, const std::vector<std::u16string>& app_targets);
  // The target rule: an empty entry is ignored; unless the entry begins with
  // "*" or ends with "\", a "\" is appended; a file target enters only when it
  // begins with "*" or is longer than two units (a leading "-" not counted);
  // an entry beginning with "-" goes to the exclude list (with its "-"), any
  // other to the include list.
  void AddTarget(int32_t kind, const std::u16string& entry);
  // Empties everything and clears the flags.
  void Clear();

  // True when the kind's job runs over everything: a full request, or an
  // include list of one entry beginning with "*".
  bool RunsOverEverything(int32_t kind) const;
  // Fills the kind's exclusion set from its exclude list (each entry without
  // its "-"), or marks it empty when the job runs over everything.
  void MakeExclusionSet(int32_t kind);

  // The kind's target list as the info block stores it: "*" alone for a full
  // request; otherwise the include entries and those exclude entries that lie
  // strictly inside an include entry (by more than one unit), sorted ("\"
  // first, A-Z folded, a leading "-" and each entry's last unit ignored), with
  // every entry that equals the entry before it over the shorter length
  // (A-Z folded) removed.
  std::vector<std::u16string> InfoTargets(int32_t kind) const;
  // The flags and the three InfoTargets lists, as the snapshot writer stores them.
  SXInfoRequest InfoRequest() const;

  bool full = false;
  bool removable_drives = false;
  bool version_info = false;
  std::vector<std::u16string> include[kScanKinds];
  std::vector<std::u16string> exclude[kScanKinds];
  CXExclusionSet exclusion[kScanKinds];
};

}  // namespace orvalinth
