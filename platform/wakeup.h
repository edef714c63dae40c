// A wake-up for one waiting thread: it sleeps until another thread signals
// or its time limit passes, with no periodic wake-ups in between. Many idle
// waiters together cost nothing while nothing happens.
//
// Use: take Seen() before looking at the shared state the wait is about;
// when there is nothing to do, Wait(seen, ...) returns at once if a Wake
// came after Seen(), so a change made between the look and the wait is never
// missed. Writers change the shared state first, then call Wake().
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class Wakeup {
 public:
  // Wait's time limit for "no limit".
  static constexpr std::uint32_t kForever = 0xFFFFFFFFu;

  // The current signal count (acquire: a reader that sees a later count
  // sees the writes made before its Wake).
  std::uint32_t Seen() const { return count_.load(std::memory_order_acquire); }

  // Sleeps until Wake has been called since seen was taken, or timeout_ms
  // has passed (kForever: no limit). true when woken, false on the time
  // limit. Interrupted sleeps go on until one of the two.
  bool Wait(std::uint32_t seen, std::uint32_t timeout_ms);

  // Wakes every thread waiting on this signal; cheap (no system call) when
  // none waits. Any thread may call it.
  void Wake();

 private:
  std::atomic<std::uint32_t> count_{0};
  std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace platform
