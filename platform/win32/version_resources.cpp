// Version blocks as the system reads them.

#include "platform/version_resources.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

class WinVersionResources final : public VersionResources {
 public:
  uint32_t BlockSize(const std::u16string& path) override {
    DWORD ignored = 0;
    std::u16string call;
    return win32::CallPath(path, &call) ? GetFileVersionInfoSizeW(win32::W(call), &ignored) : 0;
  }
  bool ReadBlock(const std::u16string& path, void* buffer, uint32_t size) override {
    std::u16string call;
    return win32::CallPath(path, &call) && GetFileVersionInfoW(win32::W(call), /*dwHandle=*/0, size, buffer) != FALSE;
  }
};

}  // namespace

template <>
VersionResources& Facility<VersionResources>::Real() {
  static WinVersionResources instance;
  return instance;
}

}  // namespace orvalinth::platform
