// Internal to the channel layer: the driver tables and the settings reader.
#pragma once

#include <cstdint>
#include <string_view>

#include "channel/mux32.h"

// Built-in driver of interface gi (0 RS-232C, 1 SCSI, 2 TCP/IP).
const ChannelDriver* Builtin_Driver(int gi);

// The driver of interface gi in use now (a table installed by
// Set_Channel_Driver, else the built-in one); null for any other gi.
const ChannelDriver* Driver_Of(int gi);

// Calls the init entry of interface gi's driver (CH_NO_INTERFACE for an
// invalid gi) and returns its result unchanged.
int Start_Driver(int gi);

// What the device.ini reader found for one interface type.
struct ChannelSettings {
  int result = 0;                  // 0, or a ChannelResult code
  int interface = -1;              // GInterface to select; -1 until the type is known
  bool scan_time_set = false;      // a SCANTIME value was read
  std::uint32_t scan_time_ms = 0;  // that value, clamped to 500..30000
  int serial_keys = 0;             // different serial keys seen (PORT..DATA, IRQ, IO_ADDR)
  unsigned serial_seen = 0;        // which of them, one bit each
  SerialSettings serial{};         // codes of the serial keys that were read
};

// Parses device.ini's text for interface type (1..3) as Startup_Channels
// does, without touching any global. A read error is the caller's business.
ChannelSettings Parse_Channel_Settings(std::string_view text, int type);
