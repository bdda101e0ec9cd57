// Version blocks on POSIX: read from the PE file's resource section.

#include "platform/version_resources.h"

namespace orvalinth::platform {

template <>
VersionResources& Facility<VersionResources>::Real() {
  static PeVersionResources instance;
  return instance;
}

}  // namespace orvalinth::platform
