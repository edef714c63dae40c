// The RS-232C driver of the channel layer (GInterface 0): one COM port, one
// HT. Its channels are the slots 1 (listening) and 2 (connected) of one
// port; listening raises DTR and RTS and looks at DSR, data flows with
// RTS/CTS flow control, closing drops RTS and DTR. A line-watch thread keeps
// the CTS and DSR flags. Reached through the channel API only; this header
// is for the built-in driver table and the tests.
#pragma once

#include <cstdint>

#include "channel/mux32.h"

// Driver results beyond the channel layer's own.
enum SerialDriverResult : int {
  SER_BAD_SLOT = -1,
  SER_SLOT_FREE = -2,
  SER_TIMEOUT = -5,
  SER_NO_SLOT = -8,
  SER_DSR_OFF = -18,
  SER_NOT_RUNNING = -25,
  SER_LINE_ERROR = -26,
};

const ChannelDriver& Serial_Channel_Driver();

// Time limit of a send or blocking receive of n bytes at baud code 0..9:
// (n / 8) x (ms per 8 bytes at that rate) + 60000 ms.
std::uint32_t Serial_Time_Limit_Ms(int baud_code, std::uint32_t n);

// The clock the driver measures its limits with and sleeps on; tests put a
// fast one in to check the 30-second and 11-second waits. Null restores the
// monotonic clock.
struct SerialDriverClock {
  std::uint64_t (*now_ms)();
  void (*sleep_ms)(std::uint32_t ms);
};
void Set_Serial_Driver_Clock(const SerialDriverClock* clock);
