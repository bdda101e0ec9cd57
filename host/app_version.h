#pragma once
// The application version: the number sent to the console and the text shown
// in the log banner, the crash report and the upgrade message.

namespace orvalinth {

#ifndef ORVALINTH_APP_VERSION
#define ORVALINTH_APP_VERSION 6
#endif

// A test build may be given another number (an upgrade needs two versions).
inline constexpr int APP_VERSION = ORVALINTH_APP_VERSION;

// 0 "2.0", 1 "2.2", 2 "2.4", 3 "2.6", 4 and 5 "2.8 x64", 6 "2.10 x64", any other "?".
const char* AppVersionText(int version);

}  // namespace orvalinth
