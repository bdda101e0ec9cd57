#include "base/app_version.h"

namespace orvalinth {

const char* AppVersionText(int version) {
  switch (version) {
    case 0: return "2.0";
    case 1: return "2.2";
    case 2: return "2.4";
    case 3: return "2.6";
    case 4:
    case 5: return "2.8 x64";
    case 6: return "2.10 x64";
    default: return "?";
  }
}

}  // namespace orvalinth
