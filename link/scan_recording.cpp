#include "link/scan_recording.h"

namespace orvalinth {

// The recording step replaces this body with the record controller.
std::unique_ptr<CXScanRecording> CreateScanRecording(std::string* error) {
  *error = "recording is not available";
  return nullptr;
}

}  // namespace orvalinth
