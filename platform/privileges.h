#pragma once
// Privileges of this process's token.

namespace orvalinth::platform {

// Enables the privilege `name` ("SeBackupPrivilege", "SeDebugPrivilege") in
// the process's token; false with the error code when the token cannot be
// adjusted or the account does not hold the privilege (1300). Always true on
// POSIX, which has no such privileges.
bool EnableTokenPrivilege(const char* name);

}  // namespace orvalinth::platform
