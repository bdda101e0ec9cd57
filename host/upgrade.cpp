#include "host/upgrade.h"

namespace orvalinth {

// NOT AVAILABLE YET: the self-upgrade arrives with its own step; until then
// every "upgd-cli" is refused and the service keeps running unchanged.
int BeginUpgrade(const uint8_t*, int32_t, std::string* error_text) {
  *error_text = "upgrade is not available";
  return 0;
}

}  // namespace orvalinth
