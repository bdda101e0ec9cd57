#include "platform/privileges.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {

bool EnableTokenPrivilege(const char* name) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) return false;
  win32::Handle token(raw);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(/*lpSystemName=*/nullptr, name, &privileges.Privileges[0].Luid)) return false;
  // Success leaves ERROR_NOT_ALL_ASSIGNED when the account lacks the privilege;
  // Wine leaves the last error alone, so it starts cleared.
  ::SetLastError(ERROR_SUCCESS);
  if (!AdjustTokenPrivileges(token.get(), /*DisableAllPrivileges=*/FALSE, &privileges, sizeof privileges,
                             /*PreviousState=*/nullptr, /*ReturnLength=*/nullptr)) {
    return false;
  }
  return GetLastError() == ERROR_SUCCESS;
}

}  // namespace orvalinth::platform
