// Volumes on POSIX: one per drive of the drive table (see
// platform/volume_devices.h).

#include "platform/volume_devices.h"

#include <string>

#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

class PosixVolumeDevices final : public VolumeDevices {
 public:
  bool List(std::vector<VolumeEntry>* entries, std::string* error) override {
    entries->clear();
    error->clear();
    const uint32_t mask = posix::DriveMask();
    int number = 0;
    for (int i = 0; i < 26; ++i) {
      if ((mask & (1u << i)) == 0) continue;
      const char letter = static_cast<char>('A' + i);
      VolumeEntry entry;
      entry.device = "\\Device\\HarddiskVolume" + std::to_string(++number);
      entry.volume = std::string("\\\\?\\Volume{") + letter + "}\\";
      entry.mount = std::string(1, letter) + ":\\";
      entries->push_back(entry);
    }
    return true;
  }
};

}  // namespace

template <>
VolumeDevices& Facility<VolumeDevices>::Real() {
  static PosixVolumeDevices instance;
  return instance;
}

}  // namespace orvalinth::platform
