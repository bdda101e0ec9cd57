// Environment variables through the system.

#include "platform/environment.h"

#include <vector>

#include "platform/errors.h"
#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

class WinEnvironment final : public Environment {
 public:
  bool Variable(const std::u16string& name, std::u16string* value) override {
    // The first call asks with a buffer the size of a long PATH; a longer
    // value is read again with the room it needs, so it is never cut.
    std::vector<wchar_t> buffer(10240, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD n = GetEnvironmentVariableW(win32::W(name), buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0 && ::GetLastError() != ERROR_SUCCESS) {
        SetLastError(static_cast<uint32_t>(::GetLastError()));
        value->clear();
        return false;
      }
      if (n < buffer.size()) {
        *value = win32::U(buffer.data(), n);
        return true;
      }
      buffer.assign(static_cast<size_t>(n) + 1, L'\0');
    }
    value->clear();
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
};

}  // namespace

template <>
Environment& Facility<Environment>::Real() {
  static WinEnvironment instance;
  return instance;
}

}  // namespace orvalinth::platform
