#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

namespace orvalinth::platform {
namespace {

void WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void WriteStdout(std::string_view text) { WriteAll(STDOUT_FILENO, text); }

void WriteStderr(std::string_view text) { WriteAll(STDERR_FILENO, text); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

}  // namespace orvalinth::platform
