// POSIX has no COM; every caller may go on.

#include "platform/com_apartment.h"

namespace orvalinth::platform {

ScopedComApartment::ScopedComApartment() : ready_(true) {}
ScopedComApartment::~ScopedComApartment() = default;

}  // namespace orvalinth::platform
