// The link manager: starts and stops the link of the chosen interface,
// accepts HT connections and runs one engine per HT on its own thread.
#pragma once

#include <cstdint>

#include "platform/window.h"

// TCP/IP connection marks, shared with the TCP/IP driver (atomic accessors):
//   1..255   1 while that HT number holds a connection
//   256..262 IO-box hang-up already reported (SCSI), boxes 1..7
//   263      number of TCP/IP connections counted now
//   264      MAX_IO, read at TCP/IP start
constexpr int TCPIP_CONN_SIZE = 265;
constexpr int TCPIP_HANGUP_BASE = 256;
constexpr int TCPIP_COUNT_INDEX = 263;
constexpr int TCPIP_MAXIO_INDEX = 264;
extern int TCPIP_Connections[TCPIP_CONN_SIZE];
// IO boxes to scan (bit i = IO box i + 1), read by the SCSI driver.
extern unsigned char Gscsi_scan;

extern platform::HWND HandleForTetherToMainWindow;
