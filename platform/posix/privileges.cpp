#include "platform/privileges.h"

namespace orvalinth::platform {

// Access on POSIX follows the user; there is nothing to enable.
bool EnableTokenPrivilege(const char*) { return true; }

}  // namespace orvalinth::platform
