#pragma once
// Text that travels as a plain string value of a message. A value ends at the
// first FE (the separator) on the wire, and the console reads it as a string
// that ends at a zero byte, so text from outside (a computer name in the ANSI
// code page, a path narrowed to 8 bits, a crash report) is made safe first.

#include <string>

#include "link/message.h"
#include "settings/client_settings.h"

namespace orvalinth {

// `text` with every byte FE and 00, and an FF at its start (which would make
// the value read as a list), replaced by "?"; an FF further on stays.
std::string WireValue(std::string text);

// The "crash" value of "info" for the bytes of the crash copy: a report that
// starts with FF FE (UTF-16LE, as the crash handler writes it) becomes its
// text in UTF-8 without the byte-order mark, zero units dropped (an odd last
// byte is dropped too); any other content travels as WireValue(bytes).
std::string CrashReportValue(const std::string& bytes);

// Text from the console for a log line: control bytes become "?" and more
// than `limit` bytes are cut, ending with "...".
std::string LogSafe(const std::string& text, size_t limit = 100);

// The target lists of a "set-scan" or "scan" request into *targets (its
// flags stay): at most 1 MiB of lists as they came, empty entries left out,
// every entry one the settings file can hold (a list entry that read back
// as a settings key or section header would change the agent's own settings
// at the next load). False with *error saying what was refused.
bool ReadScanTargetLists(const CXMessage& request, SXScanTargets* targets, std::string* error);

}  // namespace orvalinth
