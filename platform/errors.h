#pragma once
// Error codes as a Windows program sees them. Every platform operation that
// fails leaves its code as the calling thread's last error (GetLastError on
// win32; the POSIX backend maps errno onto the same codes once, at the
// boundary), so that messages and records carry the same numbers on both builds.

#include <cstdint>

namespace orvalinth::platform {

enum : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorNoMoreFiles = 18,
  kErrorWriteProtect = 19,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorBadPathname = 161,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorBadExeFormat = 193,
  kErrorEnvVarNotFound = 203,
  kErrorFilenameTooLong = 206,
  kErrorMoreData = 234,
  kErrorWaitTimeout = 258,
  kErrorNoMoreItems = 259,
  kErrorDirectory = 267,
  kErrorNotAReparsePoint = 4390,
  kErrorCantAccessFile = 1920,
  kErrorKeyDeleted = 1018,
  kErrorServiceDoesNotExist = 1060,
  kErrorServiceExists = 1073,
  kErrorNotAllAssigned = 1300,
  kErrorResourceDataNotFound = 1812,
};

// The calling thread's last error code.
uint32_t LastError();
void SetLastError(uint32_t code);

// True when the process runs under Wine (ntdll!wine_get_version exists); false
// on the POSIX backend.
bool RunningUnderWine();

}  // namespace orvalinth::platform
