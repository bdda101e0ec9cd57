#pragma once
// The volumes of the machine with their device names and mount paths, as
// the open-handles collector needs them to turn device paths into drive
// letters.
//
// win32: FindFirstVolumeW / FindNextVolumeW / FindVolumeClose,
// QueryDosDeviceW and GetVolumePathNamesForVolumeNameW.
// POSIX: the drive table: one volume per drive, "\\?\Volume{<letter>}\" on
// device "\Device\HarddiskVolume<n>" (n counting the drives from 1 in
// letter order) mounted at "<letter>:\".

#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// One mount path of a volume (a volume without any gives one entry with an
// empty path). 8-bit text.
struct VolumeEntry {
  std::string device;  // "\Device\HarddiskVolume2"
  std::string volume;  // "\\?\Volume{...}\"
  std::string mount;   // "C:\", or empty
};

class VolumeDevices : public Facility<VolumeDevices> {
 public:
  virtual ~VolumeDevices() = default;
  // The entries found; false with a short text ("FindFirstVolumeW error %d",
  // "FFW bad path: [%s]", "QDD error %d", "FNV error %d") when the
  // enumeration ended early; the entries found until then are kept.
  virtual bool List(std::vector<VolumeEntry>* entries, std::string* error) = 0;
};

template <>
VolumeDevices& Facility<VolumeDevices>::Real();

}  // namespace orvalinth::platform
