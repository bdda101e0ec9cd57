#pragma once
// The file-information service of a recording: a file's attributes, times,
// size and executable-version index in one call, through the writer whose
// executable-version table the snapshot stores.

#include <string>

namespace orvalinth {

class CXSnapshotIO;
struct SXExeVersion;
struct SXFileRecord;

// Looks `path` up on disk: found, the record gets the low 16 bits of its
// attributes, its last-write time, its size, missing 0 and its version index
// (LookupVersion); not found (or a path holding wildcards, which names no
// file), the disk fields are zero, the version index -1 and missing 1.
// `out`, when given, receives the version data (empty for none). 1 when the
// file was found.
int GetFileInfo(CXSnapshotIO& writer, const std::u16string& path, SXFileRecord* record, SXExeVersion* out);

// For a record whose disk fields the caller already has: only the version
// index (and `out` when given), by LookupVersion.
void GetFileVersion(CXSnapshotIO& writer, const std::u16string& path, SXFileRecord* record, SXExeVersion* out);

}  // namespace orvalinth
