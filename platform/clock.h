#pragma once
// Time.

#include <cstdint>

namespace orvalinth::platform {

struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;  // 0 to 23
  int minute = 0;
  int second = 0;
};

// The local time now; false when it cannot be computed.
bool GetLocalTime(LocalTime* now);

// The local date and time of a FILETIME (100 ns units since 1601-01-01 UTC),
// with the daylight-saving rule in force at that moment; false when it cannot
// be converted (out of the system's range).
bool FileTimeToLocalTime(int64_t filetime, LocalTime* local);

// Wall-clock time in microseconds since 1970-01-01 UTC.
int64_t UnixMicros();

// Milliseconds from an arbitrary fixed point; never goes back.
int64_t MonotonicMs();

// Converts seconds and nanoseconds since 1970-01-01 UTC into a FILETIME (100 ns
// units since 1601-01-01 UTC).
constexpr int64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
  return (seconds + 11644473600LL) * 10000000LL + nanoseconds / 100;
}

}  // namespace orvalinth::platform
