#include "platform/clock.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {

bool GetLocalTime(LocalTime* now) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  now->year = t.wYear;
  now->month = t.wMonth;
  now->day = t.wDay;
  now->hour = t.wHour;
  now->minute = t.wMinute;
  now->second = t.wSecond;
  return true;
}

int64_t UnixMicros() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (win32::FileTimeValue(ft) - 116444736000000000LL) / 10;
}

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace orvalinth::platform
