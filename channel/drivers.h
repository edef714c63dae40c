// Internal to the channel layer: the built-in driver tables.
#pragma once

#include "channel/mux32.h"

// Built-in driver of interface gi (0 RS-232C, 1 SCSI, 2 TCP/IP).
const ChannelDriver* Builtin_Driver(int gi);

// Calls the selected driver's init entry (used by Startup_Channels).
int Start_Driver(int gi);

// Result of every entry of a driver that this build does not contain yet.
constexpr int CH_NO_DRIVER = -31;
