#pragma once
// How the file system scan learns which files carry version information and
// how it is read: by default HasVersionInfoExtension and ReadVersionInfo
// (record/version_info.h); tests may put their own in.

#include <string>

#include "storage/version_table.h"

namespace orvalinth {

struct SXVersionInfoHooks {
  // Whether a file of this name (without its folder) has its version
  // information read; null: none has.
  bool (*has_version_info_extension)(const std::u16string& name) = nullptr;
  // Reads one file's version information into the version table; empty: none.
  ReadVersionInfoFn read_version_info;
};

// Installs the hooks for the recordings that start from now on.
void SetVersionInfoHooks(SXVersionInfoHooks hooks);
// The hooks in force.
SXVersionInfoHooks VersionInfoHooks();

}  // namespace orvalinth
