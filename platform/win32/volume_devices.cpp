// The volumes with their device names and mount paths (see
// platform/volume_devices.h).

#include "platform/volume_devices.h"

#include <cstdio>

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

std::string Narrowed(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c != 0 && c < 256 ? static_cast<char>(c) : '?';
  return out;
}

class WinVolumeDevices final : public VolumeDevices {
 public:
  bool List(std::vector<VolumeEntry>* entries, std::string* error) override {
    entries->clear();
    error->clear();
    wchar_t name[261];
    HANDLE search = FindFirstVolumeW(name, 260);
    if (search == INVALID_HANDLE_VALUE) return Fail(error, "FindFirstVolumeW error %d", GetLastError());
    bool ok = true;
    for (;;) {
      std::wstring volume = name;
      if (volume.size() < 5 || volume.compare(0, 4, L"\\\\?\\") != 0 || volume.back() != L'\\') {
        ok = Fail(error, "FFW bad path: [%s]", 0, Narrowed(volume).c_str());
        break;
      }
      wchar_t device[261];
      const std::wstring inner = volume.substr(4, volume.size() - 5);
      if (QueryDosDeviceW(inner.c_str(), device, 260) == 0) {
        ok = Fail(error, "QDD error %d", GetLastError());
        break;
      }
      AddEntries(volume, device, entries);
      if (!FindNextVolumeW(search, name, 260)) {
        const DWORD code = GetLastError();
        if (code != ERROR_NO_MORE_FILES) ok = Fail(error, "FNV error %d", code);
        break;
      }
    }
    FindVolumeClose(search);
    return ok;
  }

 private:
  static bool Fail(std::string* error, const char* format, DWORD code, const char* text = nullptr) {
    char buffer[400];
    if (text != nullptr) {
      std::snprintf(buffer, sizeof buffer, format, text);
    } else {
      std::snprintf(buffer, sizeof buffer, format, static_cast<int>(code));
    }
    *error = buffer;
    return false;
  }

  // One entry per mount path; one with an empty path when there is none.
  static void AddEntries(const std::wstring& volume, const wchar_t* device, std::vector<VolumeEntry>* entries) {
    std::vector<wchar_t> paths(261, 0);
    DWORD needed = 0;
    BOOL ok = GetVolumePathNamesForVolumeNameW(volume.c_str(), paths.data(), static_cast<DWORD>(paths.size()), &needed);
    if (!ok && GetLastError() == ERROR_MORE_DATA) {
      paths.assign(needed + 1, 0);
      ok = GetVolumePathNamesForVolumeNameW(volume.c_str(), paths.data(), static_cast<DWORD>(paths.size()), &needed);
    }
    VolumeEntry entry;
    entry.device = Narrowed(device);
    entry.volume = Narrowed(volume);
    bool any = false;
    if (ok) {
      for (const wchar_t* p = paths.data(); *p != 0; p += wcslen(p) + 1) {
        entry.mount = Narrowed(p);
        entries->push_back(entry);
        any = true;
      }
    }
    if (!any) {
      entry.mount.clear();
      entries->push_back(entry);
    }
  }
};

}  // namespace

template <>
VolumeDevices& Facility<VolumeDevices>::Real() {
  static WinVolumeDevices instance;
  return instance;
}

}  // namespace orvalinth::platform
