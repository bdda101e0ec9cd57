#include "platform/console.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {

void WriteStdout(std::string_view text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &n, /*lpOverlapped=*/nullptr) ||
        n == 0) {
      return;
    }
    done += n;
  }
}

}  // namespace orvalinth::platform
