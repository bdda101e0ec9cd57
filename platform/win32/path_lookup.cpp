// Program paths as Windows finds them.

#include "platform/path_lookup.h"

#include <vector>

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

constexpr DWORD kPathRoom = MAX_PATH;

// Calls `fill(buffer, room)`, which returns the units written (without the
// terminating zero) or, when the room is too small, the room it needs; calls
// again with that room so that a long answer is never cut. False when `fill`
// gives 0.
template <class Fill>
bool TakeWhole(Fill fill, std::u16string* out) {
  std::vector<wchar_t> buffer(kPathRoom + 1, L'\0');
  DWORD n = fill(buffer.data(), kPathRoom);
  for (int tries = 0; n >= buffer.size() - 1 && tries < 3; ++tries) {
    buffer.assign(static_cast<size_t>(n) + 2, L'\0');
    n = fill(buffer.data(), static_cast<DWORD>(buffer.size() - 1));
  }
  if (n == 0 || n >= buffer.size()) return false;
  *out = win32::U(buffer.data());
  return true;
}

class WinPathLookup final : public PathLookup {
 public:
  std::u16string WindowsFolder() override {
    std::u16string folder;
    TakeWhole([](wchar_t* b, DWORD room) { return static_cast<DWORD>(GetWindowsDirectoryW(b, room)); }, &folder);
    return folder;
  }

  bool SearchExecutable(const std::u16string& name, std::u16string* found) override {
    return TakeWhole(
        [&name](wchar_t* b, DWORD room) {
          return SearchPathW(/*lpPath=*/nullptr, win32::W(name), /*lpExtension=*/nullptr, room, b,
                             /*lpFilePart=*/nullptr);
        },
        found);
  }

  std::u16string ExpandEnvironment(const std::u16string& text) override {
    std::u16string expanded;
    // ExpandEnvironmentStringsW counts the terminating zero in what it returns.
    const bool ok = TakeWhole(
        [&text](wchar_t* b, DWORD room) {
          const DWORD n = ExpandEnvironmentStringsW(win32::W(text), b, room + 1);
          return n == 0 ? 0 : n - 1;
        },
        &expanded);
    return ok || text.empty() ? expanded : text;
  }

  bool LongPathName(const std::u16string& path, std::u16string* long_path) override {
    return TakeWhole([&path](wchar_t* b, DWORD room) { return GetLongPathNameW(win32::W(path), b, room); },
                     long_path);
  }
};

}  // namespace

template <>
PathLookup& Facility<PathLookup>::Real() {
  static WinPathLookup instance;
  return instance;
}

}  // namespace orvalinth::platform
