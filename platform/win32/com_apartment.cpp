#include "platform/com_apartment.h"

#include <objbase.h>

#include "platform/win32/win.h"

namespace orvalinth::platform {

ScopedComApartment::ScopedComApartment() {
  const HRESULT result = CoInitializeEx(/*pvReserved=*/nullptr, COINIT_APARTMENTTHREADED);
  // S_FALSE: already initialised here, and this call must be balanced too.
  owned_ = SUCCEEDED(result);
  // A thread already in the multithreaded apartment can use COM as it is.
  ready_ = owned_ || result == RPC_E_CHANGED_MODE;
}

ScopedComApartment::~ScopedComApartment() {
  if (owned_) CoUninitialize();
}

}  // namespace orvalinth::platform
