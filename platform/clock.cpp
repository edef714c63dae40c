#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace platform {

std::uint64_t Monotonic_Ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t Get_Tick_Count() { return static_cast<std::uint32_t>(Monotonic_Ms()); }

void Sleep_Ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

LocalTime Get_Local_Time() {
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
