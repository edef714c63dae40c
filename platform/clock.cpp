#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

std::uint64_t Monotonic_Ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t Get_Tick_Count() { return static_cast<std::uint32_t>(Monotonic_Ms()); }

void Sleep_Ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Follow_Time_Zone() {
  // Zone loads are rare; the common case only reads the clock and TZ.
  static std::mutex mutex;
  static std::string loaded_tz;           // guarded by mutex
  static bool loaded_tz_set = false;      // guarded by mutex
  static std::uint64_t next_load_ms = 0;  // guarded by mutex
  const std::uint64_t now = Monotonic_Ms();
  std::lock_guard<std::mutex> lock(mutex);
  const char* tz = std::getenv("TZ");
  const bool same_tz = (tz != nullptr) == loaded_tz_set && (tz == nullptr || loaded_tz == tz);
  if (same_tz && now < next_load_ms) return;
  ::tzset();
  loaded_tz_set = tz != nullptr;
  loaded_tz = tz != nullptr ? tz : "";
  next_load_ms = now + 1000;
}

LocalTime Get_Local_Time() {
  Follow_Time_Zone();
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                   tm.tm_sec,         tm.tm_wday,    static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace platform

namespace platform {

std::int64_t Calendar_Seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace platform
