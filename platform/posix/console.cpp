#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

namespace orvalinth::platform {

void WriteStdout(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace orvalinth::platform
