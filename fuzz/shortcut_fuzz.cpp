// A shortcut file comes from the disk as bytes: whatever they hold, the reader
// must stay inside them and give a target only when it reads one.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "record/apps/shell_link_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string target;
  const bool read = orvalinth::ReadShellLinkTarget(data, size, &target);
  if (!read && !target.empty()) abort();
  // Every unit of a target comes from the file, and a byte serves at most
  // twice (a base path and a suffix may share their bytes).
  if (target.size() > 2 * size) abort();
  return 0;
}
