#pragma once
// Words for the entries of a comparison or a report, shared by every output
// format: a file's size and time, a value's type and data, an item's fields,
// what changed between two items, a folder's roll-up.

#include <string>
#include <vector>

#include "tools/report/change.h"
#include "tools/report/filter.h"

namespace orvalinth::report {

// "added", "removed", "changed", "present".
const char* ChangeName(SXChangeType type);
// "section", "folder", "file", "key", "value", "node", or the item's kind
// ("service", "startup entry", ...).
std::string KindName(const SXChange& change);

// "1,234 bytes  2023-11-14 22:13:20"
std::string FileText(const SXReadFile& file, bool local_time);
// "REG_SZ \"text\""
std::string ValueText(const SXReadValue& value);
// The item's fields that matter to people, one line.
std::string ItemText(const SXReadItem& item, bool local_time);
// A service's or driver's start type ("automatic", ...) and state ("running", ...; "none" for 0).
std::string StartTypeText(uint8_t start_type);
std::string ServiceStateText(uint8_t state);
// "3 folders, 10 files, 1,234 bytes" (what the roll-up holds).
std::string RollUpText(const SXRollUp& r);
// What changed between two items: "state running -> stopped", ...
std::vector<std::string> ItemDifferences(const SXReadItem& a, const SXReadItem& b, bool local_time);

// The old and the new side of a change for people (empty for a side it lacks).
std::string OldText(const SXChange& change, bool local_time);
std::string NewText(const SXChange& change, bool local_time);
// One line of what changed: "size 100 -> 200 bytes; time ... -> ...".
std::string ChangedText(const SXChange& change, bool local_time);

// "mode 1 (executables only); 3 rules; categories left out: Opened Handles", or "none".
std::string FilterText(const CXReportFilter& filter);

// UTF-8 of a name, lone surrogates as U+FFFD, control characters as \xNN.
std::string Utf8(const std::u16string& text);

}  // namespace orvalinth::report
