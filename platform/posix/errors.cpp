#include "platform/errors.h"

namespace orvalinth::platform {
namespace {
thread_local uint32_t last_error = 0;
}  // namespace

uint32_t LastError() { return last_error; }
void SetLastError(uint32_t code) { last_error = code; }
bool RunningUnderWine() { return false; }

}  // namespace orvalinth::platform
