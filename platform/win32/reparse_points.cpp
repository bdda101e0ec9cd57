// Folder links and volume mount paths through the Windows API.

#include "platform/reparse_points.h"

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/win.h"

#include <winioctl.h>

namespace orvalinth::platform {
namespace {

using win32::Handle;
using win32::U;
using win32::W;

// MAXIMUM_REPARSE_DATA_BUFFER_SIZE: room for any link's two names.
constexpr DWORD kReparseBufferSize = 16 * 1024;

class WinReparsePoints final : public ReparsePoints {
 public:
  bool ReadFolderLink(const std::u16string& path, FolderLink* link) override {
    // Reading the extended attributes is all the access the control needs; the
    // folder is shared fully so that nobody else's use of it is disturbed.
    std::u16string call;
    if (!win32::CallPath(path, &call)) return false;
    Handle folder(CreateFileW(W(call), FILE_READ_EA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    if (!folder.valid()) return false;
    std::vector<BYTE> buffer(kReparseBufferSize);
    DWORD got = 0;
    if (!DeviceIoControl(folder.get(), FSCTL_GET_REPARSE_POINT, /*lpInBuffer=*/nullptr, 0, buffer.data(),
                         kReparseBufferSize, &got, /*lpOverlapped=*/nullptr)) {
      return false;
    }
    if (ParseReparseData(buffer.data(), got, link)) return true;
    const DWORD tag = got >= 4 ? *reinterpret_cast<const DWORD*>(buffer.data()) : 0;
    const bool link_tag = tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK;
    ::SetLastError(link_tag ? ERROR_INVALID_DATA : ERROR_NOT_SUPPORTED);
    return false;
  }

  bool VolumeMountPaths(const std::u16string& volume, std::vector<std::u16string>* paths) override {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD needed = 0;
    BOOL ok = GetVolumePathNamesForVolumeNameW(W(volume), buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    // The mount paths may change between the two calls: ask again while they grow.
    for (int round = 0; !ok && GetLastError() == ERROR_MORE_DATA && round < 8; ++round) {
      buffer.resize(std::max<size_t>(needed, buffer.size() * 2));
      ok = GetVolumePathNamesForVolumeNameW(W(volume), buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    }
    if (!ok) return false;
    paths->clear();
    // A list of zero-terminated paths ending with an empty one.
    for (size_t at = 0; at < buffer.size() && buffer[at] != L'\0';) {
      size_t end = at;
      while (end < buffer.size() && buffer[end] != L'\0') ++end;
      paths->push_back(U(buffer.data() + at, end - at));
      at = end + 1;
    }
    return true;
  }
};

}  // namespace

template <>
ReparsePoints& Facility<ReparsePoints>::Real() {
  static WinReparsePoints instance;
  return instance;
}

}  // namespace orvalinth::platform
