#include "platform/console.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

void WriteAll(DWORD which, std::string_view text) {
  HANDLE out = GetStdHandle(which);
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

// A character device that answers console-mode queries is a console window;
// NUL is a character device too but has no console mode.
bool IsConsole(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(h) != FILE_TYPE_CHAR) return false;
  DWORD mode = 0;
  return GetConsoleMode(h, &mode) != 0;
}

}  // namespace

void WriteStdout(std::string_view text) { WriteAll(STD_OUTPUT_HANDLE, text); }

void WriteStderr(std::string_view text) { WriteAll(STD_ERROR_HANDLE, text); }

bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

bool StdinIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }

}  // namespace orvalinth::platform
