#pragma once
// The application version: the number sent to the console and the text shown
// in the log banner, the crash report and the upgrade message.

namespace orvalinth {

// The number, 6. Defined once, in host/app_version.cpp, so that a test
// program built with -DORVALINTH_APP_VERSION=<n> on that one file (an upgrade
// needs two versions) gets another number everywhere without another build of
// the rest of the code.
extern const int APP_VERSION;

// 0 "2.0", 1 "2.2", 2 "2.4", 3 "2.6", 4 and 5 "2.8 x64", 6 "2.10 x64", any other "?".
const char* AppVersionText(int version);

}  // namespace orvalinth
