#pragma once
// The text helpers of the settings file and the snapshot catalog: decimal
// values as the file holds them, and the saved-snapshots field, the decimal
// numbers of the snapshots waiting for download joined with ",".

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvalinth {

// The leading optionally signed decimal number of `text` (blanks and tabs
// before it are skipped); 0 when there is none. Values beyond the 32-bit range
// are held at its ends.
int32_t DecimalValue(std::string_view text);

// The entries of a saved-snapshots text, split at every ",". The empty text is
// one empty entry; with `empty_is_none` it is no entry at all.
std::vector<std::string> SplitSavedSnapshots(const std::string& saved, bool empty_is_none);

// The entries joined with ",".
std::string JoinSavedSnapshots(const std::vector<std::string>& entries);

// `saved` without the entries whose snapshot file cannot be opened for
// reading; the order of the rest is kept.
std::string KeepReadableSnapshots(const std::string& saved);

}  // namespace orvalinth
