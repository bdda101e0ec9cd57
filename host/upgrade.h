#pragma once
// Self-upgrade: the console sends a new executable ("upgd-cli") and the
// service replaces itself with it.

#include <cstdint>
#include <string>

namespace orvalinth {

// The first stage, in the running service: writes `bytes` as the upgrade copy
// and hands the process over to it. Does not return when the hand-over
// starts; 1 when the copy was written but could not be started; 0 with
// *error_text when the upgrade cannot be made.
int BeginUpgrade(const uint8_t* bytes, int32_t length, std::string* error_text);

}  // namespace orvalinth
