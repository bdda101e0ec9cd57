// Known folders through the shell.

#include "platform/known_folders.h"

#include "platform/errors.h"
#include "platform/win32/win.h"

// clang-format off
#include <shlobj.h>
// clang-format on

namespace orvalinth::platform {
namespace {

using win32::U;

class WinKnownFolder final : public KnownFolder {
 public:
  bool FolderPath(int csidl, bool current, std::u16string* path) override {
    wchar_t buffer[MAX_PATH + 1] = {};
    const HRESULT result = SHGetFolderPathW(/*hwnd=*/nullptr, csidl, /*hToken=*/nullptr,
                                            current ? SHGFP_TYPE_CURRENT : SHGFP_TYPE_DEFAULT, buffer);
    if (result != S_OK) {
      // An HRESULT made from a system error code carries that code.
      SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? static_cast<uint32_t>(HRESULT_CODE(result))
                                                              : kErrorFileNotFound);
      path->clear();
      return false;
    }
    *path = U(buffer);
    return true;
  }
};

}  // namespace

template <>
KnownFolder& Facility<KnownFolder>::Real() {
  static WinKnownFolder instance;
  return instance;
}

}  // namespace orvalinth::platform
