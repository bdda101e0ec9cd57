// The number of APP_VERSION, one object per program (see base/app_version.h).

#include "base/app_version.h"

#ifndef ORVALINTH_APP_VERSION
#define ORVALINTH_APP_VERSION 6
#endif

namespace orvalinth {

extern const int APP_VERSION = ORVALINTH_APP_VERSION;

}  // namespace orvalinth
