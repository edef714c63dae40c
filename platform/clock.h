// Time: a millisecond tick counter, sleeps and the local date and time.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds on a monotonic clock since an arbitrary start; wraps at 2^32
// like the PC's tick count, so compare differences, never absolute values.
std::uint32_t Get_Tick_Count();

// Milliseconds on a monotonic clock, 64-bit: for deadlines.
std::uint64_t Monotonic_Ms();

void Sleep_Ms(std::uint32_t ms);

struct LocalTime {
  int year;    // full year, e.g. 2026
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..59
  int weekday; // 0 = Sunday
  int millisecond;
};

// The local date and time in the process's time zone (TZ; the system's
// zone file when TZ is unset), as Follow_Time_Zone last loaded it.
LocalTime Get_Local_Time();

// Loads the time zone again when TZ has changed since the last load, and
// otherwise at most once a second, so that a changed zone file is seen
// within a second. The C library looks at the zone file again (a stat) on
// every load while TZ is unset; converting without a load per conversion
// keeps that system call out of per-file work. Thread-safe.
void Follow_Time_Zone();

}  // namespace platform

namespace platform {

// Calendar time in whole seconds since the epoch (time(2)).
std::int64_t Calendar_Seconds();

}  // namespace platform
