#pragma once
// Faults on purpose, for the tests of the crash handler and the recovery:
// compiled only into test builds of the service (ORVALINTH_TEST_FAULTS, set
// on the OrvalinthSrvFault targets alone). There the file system scan faults
// with a real access violation (SIGSEGV on POSIX) through a null pointer when
// it lists a folder named "orvalinth-fault-here" below a scanned root. The
// product never contains any of this.

#ifndef ORVALINTH_TEST_FAULTS
#error "record/test_faults.h belongs to test builds only"
#endif

#include <string>

namespace orvalinth::test_faults {

inline constexpr char16_t kFaultFolderName[] = u"orvalinth-fault-here";

// Writes through a null pointer. Not inlined, so the report's stack shows it
// above the scan that called it; not instrumented, so that the sanitizer
// build faults for real instead of reporting the null pointer itself.
__attribute__((noinline, no_sanitize("address", "undefined"))) inline void AccessViolation() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// The scan found a folder `name`: the fault when it is the trigger.
inline void FaultOnFolder(const std::u16string& name) {
  if (name == kFaultFolderName) AccessViolation();
}

}  // namespace orvalinth::test_faults
