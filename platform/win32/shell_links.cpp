// Shortcuts as Windows resolves them: the Windows Installer first, then the
// shell's link object.

#include "platform/shell_links.h"

#include "platform/errors.h"
#include "platform/win32/win.h"

// clang-format off
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

namespace orvalinth::platform {
namespace {

constexpr int kInstallStateMoreData = -3;  // INSTALLSTATE_MOREDATA
constexpr DWORD kGuidRoom = 39;            // a GUID in braces and its zero

using GetShortcutTargetFn = UINT(WINAPI*)(LPCWSTR, LPWSTR, LPWSTR, LPWSTR);
using GetComponentPathFn = int(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, LPDWORD);

struct Installer {
  GetShortcutTargetFn shortcut_target = nullptr;
  GetComponentPathFn component_path = nullptr;
};

// msi.dll is loaded on the first shortcut and stays for the life of the
// process; a system without it has no installer shortcuts.
const Installer& LoadInstaller() {
  static const Installer installer = [] {
    Installer loaded;
    if (HMODULE msi = LoadLibraryW(L"msi.dll")) {
      loaded.shortcut_target =
          reinterpret_cast<GetShortcutTargetFn>(reinterpret_cast<void*>(GetProcAddress(msi, "MsiGetShortcutTargetW")));
      loaded.component_path =
          reinterpret_cast<GetComponentPathFn>(reinterpret_cast<void*>(GetProcAddress(msi, "MsiGetComponentPathW")));
    }
    return loaded;
  }();
  return installer;
}

// Releases a COM interface when it goes.
template <class T>
class Interface {
 public:
  Interface() = default;
  ~Interface() {
    if (p_ != nullptr) p_->Release();
  }
  Interface(const Interface&) = delete;
  Interface& operator=(const Interface&) = delete;
  T* operator->() const { return p_; }
  void** out() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

bool Failed(HRESULT result) {
  SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : static_cast<uint32_t>(result));
  return false;
}

class WinShellLinks final : public ShellLinks {
 public:
  bool InstallerTarget(const std::u16string& shortcut, std::u16string* target) override {
    const Installer& installer = LoadInstaller();
    if (installer.shortcut_target == nullptr || installer.component_path == nullptr) {
      SetLastError(kErrorNotSupported);
      return false;
    }
    wchar_t product[kGuidRoom] = {};
    wchar_t feature[kGuidRoom] = {};
    wchar_t component[kGuidRoom] = {};
    const UINT status = installer.shortcut_target(win32::W(shortcut), product, feature, component);
    if (status != ERROR_SUCCESS) {
      SetLastError(status);
      return false;
    }
    std::wstring path(MAX_PATH, L'\0');
    DWORD room = MAX_PATH;
    int state = installer.component_path(product, component, &path[0], &room);
    if (state == kInstallStateMoreData) {
      // A longer path is asked for again rather than taken cut.
      path.assign(static_cast<size_t>(room) + 1, L'\0');
      room = static_cast<DWORD>(path.size());
      state = installer.component_path(product, component, &path[0], &room);
    }
    *target = win32::U(path.c_str());
    if (state == kInstallStateMoreData || target->empty()) {
      target->clear();
      SetLastError(kErrorFileNotFound);
      return false;
    }
    return true;
  }

  bool LinkTarget(const std::u16string& shortcut, std::u16string* target) override {
    Interface<IShellLinkW> link;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      link.out());
    if (FAILED(result)) return Failed(result);
    Interface<IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.out());
    if (FAILED(result)) return Failed(result);
    result = file->Load(win32::W(shortcut), STGM_READ);
    if (FAILED(result)) return Failed(result);
    wchar_t path[MAX_PATH] = {};
    result = link->GetPath(path, MAX_PATH, /*pfd=*/nullptr, SLGP_UNCPRIORITY);
    if (FAILED(result)) return Failed(result);
    *target = win32::U(path);
    return true;
  }

  bool HasLinkObject() override { return true; }
};

}  // namespace

template <>
ShellLinks& Facility<ShellLinks>::Real() {
  static WinShellLinks instance;
  return instance;
}

}  // namespace orvalinth::platform
