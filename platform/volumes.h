#pragma once
// Drives and volumes.

#include <cstdint>
#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

// Drive types as GetDriveType reports them.
enum : uint32_t {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdRom = 5,
  kDriveRamDisk = 6,
};

class Volumes : public Facility<Volumes> {
 public:
  virtual ~Volumes() = default;
  // Bit i set when drive letter 'a' + i is present.
  virtual uint32_t LogicalDrives() = 0;
  // The type of the drive whose root is "x:\" (letter in either case).
  virtual uint32_t DriveType(char letter) = 0;
};

template <>
Volumes& Facility<Volumes>::Real();

}  // namespace orvalinth::platform
