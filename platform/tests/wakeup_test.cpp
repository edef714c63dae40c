#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

// A limit that only a lost wake-up reaches.
constexpr std::uint32_t kLostMs = 10000;

TEST(Wakeup, AWakeBetweenLookAndWaitIsNotLost) {
  platform::Wakeup w;
  const std::uint32_t seen = w.Seen();
  w.Wake();
  EXPECT_TRUE(w.Wait(seen, kLostMs));
  // A fresh look sees the wake already counted: the next wait sleeps.
  EXPECT_FALSE(w.Wait(w.Seen(), 1));
}

TEST(Wakeup, WaitEndsAtItsLimitWithoutAWake) {
  platform::Wakeup w;
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_FALSE(w.Wait(w.Seen(), 30));
  EXPECT_GE(platform::Monotonic_Ms() - start, 30u);
  EXPECT_FALSE(w.Wait(w.Seen(), 0)) << "a zero limit only looks";
}

// Ping-pong between two threads over two wake-ups: every round depends on
// the other side's wake arriving, so a single lost one stops the exchange
// (seen here as a wait that reached its limit).
TEST(Wakeup, EveryWakeReachesASleepingWaiterOverManyRounds) {
  platform::Wakeup to_b, to_a;
  std::atomic<int> turn{0};  // whose move: even A, odd B
  constexpr int kRounds = 2000;
  std::atomic<int> b_lost{0};
  std::thread b([&] {
    for (int i = 0; i < kRounds; ++i) {
      for (;;) {
        const std::uint32_t seen = to_b.Seen();
        if (turn.load() == 2 * i + 1) break;
        if (!to_b.Wait(seen, kLostMs)) {
          b_lost.fetch_add(1);
          return;
        }
      }
      turn.store(2 * i + 2);
      to_a.Wake();
    }
  });
  int a_lost = 0;
  for (int i = 0; i < kRounds && a_lost == 0; ++i) {
    turn.store(2 * i + 1);
    to_b.Wake();
    for (;;) {
      const std::uint32_t seen = to_a.Seen();
      if (turn.load() == 2 * i + 2) break;
      if (!to_a.Wait(seen, kLostMs)) {
        ++a_lost;
        break;
      }
    }
  }
  b.join();
  EXPECT_EQ(a_lost, 0);
  EXPECT_EQ(b_lost.load(), 0);
  EXPECT_EQ(turn.load(), 2 * kRounds);
}

TEST(Wakeup, OneWakeEndsTheWaitOfEveryWaiter) {
  platform::Wakeup w;
  const std::uint32_t seen = w.Seen();
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (w.Wait(seen, kLostMs)) woken.fetch_add(1);
    });
  platform::Sleep_Ms(20);  // most of them asleep by now; the rest see the count
  w.Wake();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
}

}  // namespace
