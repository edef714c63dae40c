#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Clock, TicksAreMonotonicAndFollowSleeps) {
  const std::uint64_t m0 = platform::Monotonic_Ms();
  const std::uint32_t t0 = platform::Get_Tick_Count();
  platform::Sleep_Ms(20);
  const std::uint32_t t1 = platform::Get_Tick_Count();
  const std::uint64_t m1 = platform::Monotonic_Ms();
  EXPECT_GE(m1 - m0, 20u);
  // Differences, not absolute values, survive the 32-bit wrap.
  EXPECT_GE(static_cast<std::uint32_t>(t1 - t0), 20u);
  EXPECT_LT(static_cast<std::uint32_t>(t1 - t0), 2000u);
  std::uint64_t prev = platform::Monotonic_Ms();
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t now = platform::Monotonic_Ms();
    ASSERT_GE(now, prev);
    prev = now;
  }
}

TEST(Clock, LocalTimeFieldsAreInRange) {
  const platform::LocalTime t = platform::Get_Local_Time();
  EXPECT_GE(t.year, 2000);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.day, 1);
  EXPECT_LE(t.day, 31);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 60);
  EXPECT_LE(t.weekday, 6);
  EXPECT_LE(t.millisecond, 999);
}

}  // namespace
