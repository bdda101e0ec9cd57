#include "platform/volumes.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

class WinVolumes final : public Volumes {
 public:
  uint32_t LogicalDrives() override { return GetLogicalDrives(); }
  uint32_t DriveType(char letter) override {
    const char root[4] = {letter, ':', '\\', '\0'};
    return GetDriveTypeA(root);
  }
};

}  // namespace

template <>
Volumes& Facility<Volumes>::Real() {
  static WinVolumes instance;
  return instance;
}

}  // namespace orvalinth::platform
