// Reparse data comes from the file system as bytes: whatever they hold, the
// reader must stay inside them and give a link only with a name from them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/reparse_points.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvalinth::platform::FolderLink link;
  const bool ok = orvalinth::platform::ParseReparseData(data, size, &link);
  if (!ok && link.kind != orvalinth::platform::kLinkNone) abort();
  if (ok && link.kind != orvalinth::platform::kLinkSymbolic && link.kind != orvalinth::platform::kLinkMountPoint) abort();
  if (link.target.size() * 2 > size) abort();
  return 0;
}
