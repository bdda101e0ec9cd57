#pragma once
// The agent version an upgrade package carries: an executable's version
// block read as ReadVersionInfo reads the version information of any
// executable (the PE resource walk of platform/version_resources.h), from
// the package's bytes in memory. The agent's version is the revision, the
// fourth part of the fixed information's file version: OrvalinthSrv.exe of
// agent version 6 is FILEVERSION 2,10,0,6.

#include <cstdint>
#include <string>
#include <string_view>

namespace orvalinth {

// True with *version (above 0) when `bytes` are a PE file whose version
// block holds the fixed information with a revision above 0; else false
// with *error saying what is missing.
bool ReadPackageVersion(std::string_view bytes, int32_t* version, std::string* error);

}  // namespace orvalinth
