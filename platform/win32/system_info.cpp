#include "platform/system_info.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using win32::U;

class WinSystemInfo final : public SystemInfo {
 public:
  bool ComputerName(std::string* name) override {
    char buffer[1024];
    DWORD size = sizeof buffer;
    if (!GetComputerNameA(buffer, &size)) return false;
    name->assign(buffer, size);
    return true;
  }

  bool UserName(std::u16string* name) override {
    wchar_t buffer[257];
    DWORD size = 257;
    if (!GetUserNameW(buffer, &size)) return false;
    *name = U(buffer);
    return true;
  }

  uint32_t NativeArchitecture() override {
    using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
    SYSTEM_INFO info{};
    auto native = reinterpret_cast<GetNativeSystemInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo")));
    if (native != nullptr) {
      native(&info);
    } else {
      GetSystemInfo(&info);
    }
    return info.wProcessorArchitecture;
  }

  bool Memory(uint64_t* available, uint64_t* total) override {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return false;
    *available = status.ullAvailPhys;
    *total = status.ullTotalPhys;
    return true;
  }
};

}  // namespace

template <>
SystemInfo& Facility<SystemInfo>::Real() {
  static WinSystemInfo instance;
  return instance;
}

}  // namespace orvalinth::platform
