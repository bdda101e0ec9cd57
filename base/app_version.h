#pragma once
// The application version: the number sent to the console and the text shown
// in the log banner, the crash report and the upgrade message.

namespace orvalinth {

// The number, 6. Not part of the base library: every program links exactly
// one version object (CMake target orvalinth_version, base/app_version_number.cpp),
// and the test build that calls itself 7 for the upgrade tests links
// orvalinth_version_next instead, built from the same file. A program that
// links none, or two, fails to link; none can pick up the wrong number.
extern const int APP_VERSION;

// 0 "2.0", 1 "2.2", 2 "2.4", 3 "2.6", 4 and 5 "2.8 x64", 6 "2.10 x64", any other "?".
const char* AppVersionText(int version);

}  // namespace orvalinth
