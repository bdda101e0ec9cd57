#include "platform/clock.h"

#include <time.h>

namespace orvalinth::platform {

bool GetLocalTime(LocalTime* now) {
  const time_t t = time(nullptr);
  struct tm local;
  if (t == static_cast<time_t>(-1) || localtime_r(&t, &local) == nullptr) return false;
  now->year = local.tm_year + 1900;
  now->month = local.tm_mon + 1;
  now->day = local.tm_mday;
  now->hour = local.tm_hour;
  now->minute = local.tm_min;
  now->second = local.tm_sec;
  return true;
}

bool FileTimeToLocalTime(int64_t filetime, LocalTime* local) {
  // Whole seconds since 1970, rounded down also before 1970.
  int64_t seconds = filetime / 10000000;
  if (filetime % 10000000 < 0) --seconds;
  const time_t t = static_cast<time_t>(seconds - 11644473600LL);
  struct tm parts;
  if (localtime_r(&t, &parts) == nullptr) return false;
  local->year = parts.tm_year + 1900;
  local->month = parts.tm_mon + 1;
  local->day = parts.tm_mday;
  local->hour = parts.tm_hour;
  local->minute = parts.tm_min;
  local->second = parts.tm_sec;
  return true;
}

int64_t UnixMicros() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace orvalinth::platform
