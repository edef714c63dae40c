// Wakeup over a private futex on the signal count.
#include "platform/wakeup.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"

namespace platform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "the futex word is the count itself");

namespace {

// Sleeps while *word holds expected, at most ms (kForever: no limit).
void Futex_Wait(std::atomic<std::uint32_t>* word, std::uint32_t expected, std::uint32_t ms) {
  timespec ts{};
  timespec* limit = nullptr;
  if (ms != Wakeup::kForever) {
    ts.tv_sec = static_cast<time_t>(ms / 1000u);
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    limit = &ts;
  }
  // EAGAIN (the count changed already), EINTR and ETIMEDOUT all send the
  // caller back to look at the count and the clock.
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

}  // namespace

bool Wakeup::Wait(std::uint32_t seen, std::uint32_t timeout_ms) {
  const std::uint64_t start = Monotonic_Ms();
  // Registered before the count is looked at: a waker that bumps the count
  // afterwards sees this waiter and makes the system call (both sequentially
  // consistent, so one of the two sees the other).
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  bool woken = false;
  for (;;) {
    if (count_.load(std::memory_order_seq_cst) != seen) {
      woken = true;
      break;
    }
    std::uint32_t left = kForever;
    if (timeout_ms != kForever) {
      const std::uint64_t spent = Monotonic_Ms() - start;
      if (spent >= timeout_ms) break;
      left = static_cast<std::uint32_t>(timeout_ms - spent);
    }
    Futex_Wait(&count_, seen, left);
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
  // The acquire that pairs with the waker's release.
  (void)count_.load(std::memory_order_acquire);
  return woken;
}

void Wakeup::Wake() {
  count_.fetch_add(1, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) == 0) return;
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&count_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace platform
