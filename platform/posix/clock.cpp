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
