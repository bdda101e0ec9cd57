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

bool FileTimeToLocalTime(int64_t filetime, LocalTime* local) {
  if (filetime < 0) return false;
  FILETIME utc_file;
  utc_file.dwLowDateTime = static_cast<DWORD>(filetime & 0xFFFFFFFF);
  utc_file.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(filetime) >> 32);
  SYSTEMTIME utc, t;
  // The zone rule of that date, not today's bias.
  if (!FileTimeToSystemTime(&utc_file, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &t)) return false;
  local->year = t.wYear;
  local->month = t.wMonth;
  local->day = t.wDay;
  local->hour = t.wHour;
  local->minute = t.wMinute;
  local->second = t.wSecond;
  return true;
}

int64_t UnixMicros() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (win32::FileTimeValue(ft) - 116444736000000000LL) / 10;
}

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace orvalinth::platform
