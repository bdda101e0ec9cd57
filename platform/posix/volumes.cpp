// Drives on POSIX are the entries of the drive table.

#include "platform/volumes.h"

#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

class PosixVolumes final : public Volumes {
 public:
  uint32_t LogicalDrives() override { return posix::DriveMask(); }
  uint32_t DriveType(char letter) override { return posix::DriveTypeOf(letter); }
};

}  // namespace

template <>
Volumes& Facility<Volumes>::Real() {
  static PosixVolumes instance;
  return instance;
}

}  // namespace orvalinth::platform
